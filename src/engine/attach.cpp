// The attach: the engine hands over its shared area and everything the
// module writes for the engine moves into it, at the area's fixed map.
#include "engine/attach.h"

#include "engine/memory_map.h"
#include "flow/ctrl.h"
#include "flow/republish.h"
#include "flow/slots.h"
#include "flow/table_lock.h"
#include "lib/engine_mem.h"
#include "lib/errno.h"
#include "lib/log.h"
#include "lib/once.h"
#include "platform.h"

namespace kv::engine {
namespace {

// Records an area's offset for the engine and where the module reaches it.
// Port functions read the pointer without the table lock: one whole store.
void place(uint32_t u, uint32_t pram_off, uint8_t **base_of_ucc, uint8_t *base, uint32_t offset) {
    if (kova.kovaUCCPRAM[u])
        engine_mem::store64(kova.kovaUCCPRAM[u] + pram_off, offset);
    write_once(base_of_ucc[u], base + offset);
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
        plat_printk("kovaAPI: kova.hashtable_base_qe %llx\n",
                    (unsigned long long)kova.hashtable_base_qe);
    plat_printk("kovaAPI: kova.hashtable_base_qe remapped %llx\n",
                (unsigned long long)plat_shown_address(base));

    for (uint32_t s = 0; s < KOVA_LUT_ENTRIES; ++s)
        kova.lut_info[s].lut_qe = args.qe_base + uint64_t(KOVA_LUT_SIZE) * s;

    // UCCs 36..39 keep their fixed OQ, IC and ONU IC areas and have no ONU
    // shaping area; their counters and storm control move like the rest.
    for (uint32_t u = 0; u < KOVA_UCCS; ++u) {
        place(u, kPramCnt, kova.CNT_BASE, base,
              ucc_is_eth(int(u)) ? KOVA_SHM_CNT_ETH(u) : KOVA_SHM_CNT_OTHER(u));
        if (u < 36) {
            place(u, kPramOq, kova.OQ_BASE, base, KOVA_SHM_OQ_UCC(u));
            place(u, kPramOnuOq, kova.ONUOQ_BASE, base, KOVA_SHM_ONUOQ_UCC(u));
            place(u, kPramIc, kova.IC_BASE, base, KOVA_SHM_IC_UCC(u));
            place(u, kPramOnuIc, kova.ONUIC_BASE, base, KOVA_SHM_ONUIC_UCC(u));
        }
        place(u, kPramStorm, kova.STORM_BASE, base, KOVA_SHM_STORM_UCC(u));
    }
}

// The lookup masks keep a CPU copy, so the new area gets them (the other
// port settings have none and start from what the engine put there). Under
// the port lock: a concurrent kovaAPIsetLKUPMask either changed the CPU
// copy before this copy of it or finds the new pointers.
void move_lookup_masks(uint8_t *base) {
    uint8_t *port = base + KOVA_SHM_LKUP_MASK_PORT, *vlan = base + KOVA_SHM_LKUP_MASK_VLAN;
    const unsigned long state = plat_spin_lock(&kova_port_lock);
    engine_mem::copy(port, kova.lkup_mask_port, sizeof kova.lkup_mask_port);
    engine_mem::copy(vlan, kova.lkup_mask_vlan, sizeof kova.lkup_mask_vlan);
    // The engine has the masks before any later setter's byte.
    engine_mem::barrier();
    write_once(kova.lkup_mask_port_qe, port);
    write_once(kova.lkup_mask_vlan_qe, vlan);
    plat_spin_unlock(&kova_port_lock, state);
}

// A superseded view: nothing can reach it any more once the readers that
// might have read it are gone.
void release_view(const kova_ENGINE_VIEW *view) {
    if (!view || view == &kova.standin_view)
        return;
    plat_unpin_user(view->pin);
    plat_kfree(const_cast<kova_ENGINE_VIEW *>(view));
}

} // namespace

long attach(const kova_attach_args &args) {
    plat_might_sleep();
    // The module writes up to KOVA_SHM_SIZE bytes past the area's first
    // byte: the caller's whole area must be there and stay there.
    uint64_t phys = 0;
    void *pin = plat_pin_user(args.shm_vaddr, KOVA_SHM_SIZE, &phys);
    uint8_t *base = pin ? static_cast<uint8_t *>(plat_phys_to_virt(phys)) : nullptr;
    if (!base) {
        plat_unpin_user(pin);
        plat_printk(KOVA_KERN_ERR
                    "kovaAPI: engine area %llx is not mapped and contiguous over %#x bytes\n",
                    (unsigned long long)args.shm_vaddr, KOVA_SHM_SIZE);
        return err::kEFAULT;
    }
    auto *view = static_cast<kova_ENGINE_VIEW *>(plat_kmalloc(sizeof(kova_ENGINE_VIEW)));
    if (!view) {
        plat_unpin_user(pin);
        return err::kENOMEM;
    }
    *view = {args.qe_base, base, pin};
    // Flow functions use the table addresses under the lock; the engine's
    // new area gets every live flow before anything can be added to it.
    const kova_ENGINE_VIEW *previous;
    {
        TableLock lock(0, __func__);
        previous = kova.engine_view;
        repoint(args, base);
        kv::publish::republish_table(previous->area);
        move_lookup_masks(base);
        publish_pointer(kova.engine_view, static_cast<const kova_ENGINE_VIEW *>(view));
    }
    // Paths without the lock may still be inside the area just replaced.
    plat_readers_wait();
    release_view(previous);
    return 0;
}

void init_view(uint8_t *standin) {
    kova.standin_view = {0, standin, nullptr};
    publish_pointer(kova.engine_view, static_cast<const kova_ENGINE_VIEW *>(&kova.standin_view));
}

void detach() {
    release_view(kova.engine_view);
    publish_pointer(kova.engine_view, static_cast<const kova_ENGINE_VIEW *>(nullptr));
}

} // namespace kv::engine
