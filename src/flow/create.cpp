// Flow creation: a new entry goes into its empty bucket head, or into an
// overflow slot chained behind the last entry of the right list.
#include "flow/ctrl.h"
#include "flow/publish.h"
#include "flow/slots.h"
#include "flow/table.h"
#include "flow/table_lock.h"
#include "lib/log.h"
#include "lib/once.h"
#include "platform.h"

namespace {

using namespace kv;

// The flow_state argument as the entry's state word; false for a state the
// engine does not know.
bool state_word_of(uint32_t flow_state, uint32_t *word) {
    switch (flow_state) {
    case 0:
    case 1:
    case 3:
        *word = KOVA_FLOW_STATE_WORD(flow_state);
        return true;
    default:
        return false;
    }
}

void record_owner(uint32_t slot, uint64_t appflowid, uint16_t ucc) {
    kova_LUT_INFO &r = kova.lut_info[slot];
    write_once(r.in_use, uint16_t(1));
    r.ucc = ucc;
    r.appflowid = uint32_t(appflowid);
    write_once(kova.appflow_map[appflowid], slot);
}

uint32_t place_at_head(uint32_t head, int32_t length, const kova_FLOW *flow, uint64_t appflowid) {
    ++kova.create_branch_count[3];
    kova_LUT_INFO &r = kova.lut_info[head];
    if (r.in_use) {
        return KOVA_INTERNAL_ERROR(nullptr);
    }
    publish::entry(kova.hashtable_base_qe + uint64_t(head) * KOVA_LUT_SIZE, kova.temp_lut, length,
                   flow->flow_ucc, kova.hashtable_base_cpu + head * KOVA_LUT_SIZE);
    record_owner(head, appflowid, flow->flow_ucc);
    r.prev_flowid = KOVA_NO_SLOT;
    return KOVA_OK;
}

// The last entry on the new flow's path through the bucket: the end of its
// same-CRC32 list if the bucket holds that CRC32, else the end of the
// bucket's list of distinct CRC32 values.
uint8_t *last_on_path(uint8_t *head, uint32_t crc) {
    uint8_t *last = head;
    for (uint8_t *cur = head; cur != nullptr;) {
        last = cur;
        const uint32_t field =
            table::crc_of(cur) == crc ? KOVA_LUT_OFF_NEXT_CRC32 : KOVA_LUT_OFF_NEXT_CRC12;
        cur = reinterpret_cast<uint8_t *>(uintptr_t(table::link(cur, field)));
    }
    return last;
}

uint32_t place_in_chain(uint8_t *head, int32_t length, const kova_FLOW *flow, uint64_t appflowid) {
    ++kova.create_branch_count[0];
    const uint32_t crc = table::crc_of(reinterpret_cast<const uint8_t *>(kova.temp_lut));
    uint8_t *last = last_on_path(head, crc);

    const uint32_t slot = slots::take();
    if (slot == KOVA_NO_SLOT)
        return KOVA_ERR_TABLE_FULL;

    record_owner(slot, appflowid, flow->flow_ucc);
    kova_LUT_INFO &r = kova.lut_info[slot];
    if (!table::shadow_is_empty(r.lut_cpu)) {
        return KOVA_INTERNAL_ERROR(nullptr);
    }
    publish::entry(r.lut_qe, kova.temp_lut, length, flow->flow_ucc, r.lut_cpu);

    const uint64_t prev = table::slot_of_cpu(uintptr_t(last));
    if (prev >= KOVA_LUT_ENTRIES) {
        return KOVA_INTERNAL_ERROR(nullptr);
    }
    r.prev_flowid = uint32_t(prev);
    // The predecessor must have its engine address. Slot 0's address is 0
    // while the table base is 0, so compare with the address it must have
    // rather than with 0.
    const uint64_t prev_qe = kova.lut_info[prev].lut_qe;
    if (prev_qe != kova.hashtable_base_qe + prev * KOVA_LUT_SIZE) {
        return KOVA_INTERNAL_ERROR(nullptr);
    }

    // The entry is valid in the engine copy; only now make it reachable,
    // engine link first, then the shadow's.
    uint32_t field = KOVA_LUT_OFF_NEXT_CRC12;
    if (table::crc_of(last) == crc) {
        ++kova.create_branch_count[1];
        field = KOVA_LUT_OFF_NEXT_CRC32;
    } else {
        ++kova.create_branch_count[2];
    }
    publish::engine_link(prev_qe + field, r.lut_qe, flow->flow_ucc);
    table::set_link(last, field, uintptr_t(r.lut_cpu));
    return KOVA_OK;
}

// The slots a creation touches lie anywhere in two 8 MiB tables. Starting
// their cache misses together, before the entry is built, overlaps them
// with that work instead of paying them one after the other. Hints only.
void prefetch_slot(uint32_t slot) {
    const uint8_t *shadow = kova.hashtable_base_cpu + slot * KOVA_LUT_SIZE;
    __builtin_prefetch(shadow);                      // MAC words of the empty test
    __builtin_prefetch(shadow + KOVA_LUT_OFF_CRC32); // crc32 and links
    __builtin_prefetch(&kova.lut_info[slot], 1);
}

uint32_t create_locked(const kova_FLOW *flow, uint64_t appflowid, uint32_t flow_state) {
    if (appflowid >= KOVA_APP_FLOWS)
        return KOVA_ERR_INVALID;
    if (kova.appflow_map[appflowid] != KOVA_NO_SLOT) {
        plat_printk("kovaAPI: trying to add flow with used appflowid\n");
        return KOVA_ERR_INVALID;
    }
    if (flow == nullptr)
        return KOVA_ERR_INVALID;
    if (kova.temp_lut == nullptr) {
        return KOVA_INTERNAL_ERROR(nullptr);
    }
    if (kova.ext_free_used < KOVA_OVERFLOW_SLOTS &&
        kova.ext_free_list[kova.ext_free_used] < KOVA_LUT_ENTRIES)
        prefetch_slot(kova.ext_free_list[kova.ext_free_used]);
    __builtin_memset(kova.temp_lut, 0, KOVA_LUT_SIZE);
    int32_t length = KOVA_LUT_SIZE;

    uint32_t state_word;
    if (!state_word_of(flow_state, &state_word)) {
        plat_printk("Failed to create new lut, Wrong state of flow.\n\r");
        return KOVA_ERR_INVALID;
    }
    const uint32_t built = kovaAPIcreateVoipLutEntry(flow, kova.temp_lut, &length, state_word);
    if (built != KOVA_OK) {
        plat_printk("Failed to create new lut, err = %d\n\r", int(built));
        return built;
    }

    const uint32_t offset = kovaAPIcalculateLutEntryOffset(kova.temp_lut);
    uint8_t *head = kova.hashtable_base_cpu + offset;
    if (table::shadow_is_empty(head))
        return place_at_head(offset / KOVA_LUT_SIZE, length, flow, appflowid);
    return place_in_chain(head, length, flow, appflowid);
}

} // namespace

extern "C" {

uint32_t kovaAPIcreateFlow(const kova_FLOW *flow, uint64_t appflowid, uint32_t flow_state) {
    if (flow != nullptr && kova.hashtable_base_cpu != nullptr)
        prefetch_slot(flow->crc32 >> KOVA_LUT_BUCKET_SHIFT);
    TableLock lock(0, __func__);
    return create_locked(flow, appflowid, flow_state);
}

uint32_t kovaAPIcreateVoipFlow(const kova_FLOW *flow, uint64_t appflowid) {
    return kovaAPIcreateFlow(flow, appflowid, 3);
}

} // extern "C"
