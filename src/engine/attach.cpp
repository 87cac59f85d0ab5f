// The attach: the engine hands over its shared area and everything the
// module writes for the engine moves into it, at the area's fixed map.
#include "engine/attach.h"

#include "engine/memory_map.h"
#include "flow/ctrl.h"
#include "lib/log.h"
#include "platform.h"

namespace kv::engine {
namespace {

void put64(uint8_t *pram, uint32_t off, uint64_t v) {
    if (pram)
        __builtin_memcpy(pram + off, &v, 8);
}

// Records an area's offset for the engine and where the module reaches it.
void place(uint32_t u, uint32_t pram_off, uint8_t **base_of_ucc, uint8_t *base, uint32_t offset) {
    put64(kova.kovaUCCPRAM[u], pram_off, offset);
    base_of_ucc[u] = base + offset;
}

void take_version(const char (&text)[KOVA_UCODE_VERSION_LEN]) {
    // The engine's text need not be terminated inside its field.
    uint32_t n = 0;
    while (n < KOVA_UCODE_VERSION_LEN && text[n])
        ++n;
    __builtin_memcpy(kova.ucode_version, text, n);
    kova.ucode_version[n] = '\0';
}

void repoint(const kova_attach_args &args, uint8_t *base) {
    take_version(args.ucode_version);
    plat_printk("kovaAPI: kova ucode version %s\n", kova.ucode_version);
    kova.hashtable_base_qe = args.qe_base;
    kova.hashtable_base_qe_remapped = base;
    if (kova.hashtable_base_qe == 0)
        plat_printk("kovaAPI: kova.hashtable_base_qe NULL\n");
    else
        plat_printk("kovaAPI: kova.hashtable_base_qe %llx\n", (unsigned long long)kova.hashtable_base_qe);
    plat_printk("kovaAPI: kova.hashtable_base_qe remapped %llx\n", (unsigned long long)(uintptr_t)base);

    for (uint32_t s = 0; s < KOVA_LUT_ENTRIES; ++s)
        kova.lut_info[s].lut_qe = args.qe_base + uint64_t(KOVA_LUT_SIZE) * s;
    kova.lkup_mask_port_qe = base + KOVA_SHM_LKUP_MASK_PORT;
    kova.lkup_mask_vlan_qe = base + KOVA_SHM_LKUP_MASK_VLAN;

    // UCCs 36..39 keep their fixed OQ, IC and ONU IC areas and have no ONU
    // shaping area; their counters and storm control move like the rest.
    for (uint32_t u = 0; u < KOVA_UCCS; ++u) {
        place(u, kPramCnt, kova.CNT_BASE, base, ucc_is_eth(int(u)) ? KOVA_SHM_CNT_ETH(u) : KOVA_SHM_CNT_OTHER(u));
        if (u < 36) {
            place(u, kPramOq, kova.OQ_BASE, base, KOVA_SHM_OQ_UCC(u));
            place(u, kPramOnuOq, kova.ONUOQ_BASE, base, KOVA_SHM_ONUOQ_UCC(u));
            place(u, kPramIc, kova.IC_BASE, base, KOVA_SHM_IC_UCC(u));
            place(u, kPramOnuIc, kova.ONUIC_BASE, base, KOVA_SHM_ONUIC_UCC(u));
        }
        place(u, kPramStorm, kova.STORM_BASE, base, KOVA_SHM_STORM_UCC(u));
    }
}

} // namespace

long attach(const kova_attach_args &args) {
    // The module writes up to KOVA_SHM_SIZE bytes past the area's first
    // byte: the caller's whole area must be there and stay there.
    uint64_t phys = 0;
    void *pin = plat_pin_user(args.shm_vaddr, KOVA_SHM_SIZE, &phys);
    uint8_t *base = pin ? static_cast<uint8_t *>(plat_phys_to_virt(phys)) : nullptr;
    if (!base) {
        plat_unpin_user(pin);
        plat_printk(KOVA_KERN_ERR "kovaAPI: engine area %llx is not mapped and contiguous over %#x bytes\n",
                    (unsigned long long)args.shm_vaddr, KOVA_SHM_SIZE);
        return -14;
    }
    // Flow and port functions use these addresses under the lock.
    if (acquire_ucode_lock(__func__, __LINE__) != 0) {
        plat_unpin_user(pin);
        plat_printk("kovaAPI: kovaAPIcreateFlow unable to obtain ucode lock\n");
        return -14;
    }
    repoint(args, base);
    void *previous = kova.engine_pin;
    kova.engine_pin = pin;
    release_ucode_lock(__func__, __LINE__);
    plat_unpin_user(previous);
    return 0;
}

void detach() {
    plat_unpin_user(kova.engine_pin);
    kova.engine_pin = nullptr;
}

} // namespace kv::engine
