// The control block and the flow-table store: initialise, reset, release.
#include "flow/store.h"

#include "flow/ctrl.h"
#include "flow/publish.h"
#include "flow/table.h"
#include "flow/table_lock.h"
#include "lib/log.h"
#include "lib/once.h"
#include "platform.h"

extern "C" {
kova_CTRL kova;
}

namespace {

// Every slot free, every appflowid unmapped, the whole overflow stack free.
void reset_slot_records() {
    for (uint32_t s = 0; s < KOVA_LUT_ENTRIES; ++s) {
        kova_LUT_INFO &r = kova.lut_info[s];
        r.lut_qe = kova.hashtable_base_qe + uint64_t(KOVA_LUT_SIZE) * s;
        r.lut_cpu = kova.hashtable_base_cpu + KOVA_LUT_SIZE * s;
        kv::write_once(r.in_use, uint16_t(0));
        r.is_extended = 0;
        r.ucc = 0;
        r.appflowid = 0;
        r.prev_flowid = KOVA_NO_SLOT;
        kv::write_once(kova.appflow_map[s], KOVA_NO_SLOT);
    }
    for (uint32_t i = 0; i < KOVA_OVERFLOW_SLOTS; ++i)
        kova.ext_free_list[i] = KOVA_LUT_OVERFLOW_FIRST + i;
    kova.ext_free_used = 0;
}

// The flow-table half of initialisation: scratch entry, shadow table, slot
// records, free list, and the stand-in engine copy used until an attach.
uint32_t init_flow_store() {
    kova.temp_lut = static_cast<kova_LUT *>(XX_Malloc(KOVA_LUT_SIZE));
    if (!kova.temp_lut) {
        plat_printk("kovaAPI: no memory for temp_lut\n");
        return KOVA_ERR_NO_MEMORY;
    }
    kova.hashtable_base_qe = 0;
    plat_printk("kovaAPI: kova.hashtable_base_qe %llx\n",
                (unsigned long long)kova.hashtable_base_qe);

    kova.hashtable_base_cpu = static_cast<uint8_t *>(XX_Malloc(KOVA_LUT_TABLE_BYTES));
    if (!kova.hashtable_base_cpu)
        return KOVA_ERR_NO_MEMORY;
    plat_printk("kovaAPI: kova.hashtable_base_cpu %llx\n",
                (unsigned long long)plat_shown_address(kova.hashtable_base_cpu));

    reset_slot_records();
    __builtin_memset(kova.hashtable_base_cpu, 0, KOVA_LUT_TABLE_BYTES);

    // Without an engine there is no engine memory: table writes go to a
    // zeroed buffer of our own, never to physical address 0.
    kova.qe_placeholder = static_cast<uint8_t *>(plat_vmalloc(KOVA_LUT_TABLE_BYTES));
    kova.hashtable_base_qe_remapped = kova.qe_placeholder;
    if (!kova.hashtable_base_qe_remapped) {
        plat_printk("kovaAPI: can not ioremap kova.hashtable_base_qe\n");
        return KOVA_ERR_NO_MEMORY;
    }
    __builtin_memset(kova.qe_placeholder, 0, KOVA_LUT_TABLE_BYTES);
    plat_printk("kovaAPI: kova.hashtable_base_qe remapped %llx\n",
                (unsigned long long)plat_shown_address(kova.hashtable_base_qe_remapped));
    return KOVA_OK;
}

} // namespace

namespace kv::store {

uint32_t init() { return init_flow_store(); }

void release() {
    XX_Free(kova.temp_lut);
    kova.temp_lut = nullptr;
    XX_Free(kova.hashtable_base_cpu);
    kova.hashtable_base_cpu = nullptr;
    kova.hashtable_base_qe_remapped = nullptr;
    plat_vfree(kova.qe_placeholder);
    kova.qe_placeholder = nullptr;
}

} // namespace kv::store

extern "C" {

uint32_t kovaAPIReInitKovaFlowTablePrivate(void) {
    plat_mutex_assert_held(&kovaAPI_lock);
    // With the current bases: after an attach the engine addresses are the
    // engine's. ext_appflowid is left as it was.
    reset_slot_records();
    __builtin_memset(kova.hashtable_base_cpu, 0, KOVA_LUT_TABLE_BYTES);
    // Ends with the barrier: the engine sees the cleared table before the
    // caller goes on.
    memsetQE(kova.hashtable_base_qe, 0, KOVA_LUT_TABLE_BYTES, 0);
    return KOVA_OK;
}

uint32_t kovaAPIReInitKovaFlowTable(void) {
    kv::TableLock lock(0, __func__);
    return kovaAPIReInitKovaFlowTablePrivate();
}

} // extern "C"
