// Extended flows: further entries hung on a flow through next_ext, each
// with the parent's lookup data but its own appflowid, rules and counters.
// They live in overflow slots and are never part of a bucket chain; the
// engine reaches them only through their parent's link.
#include "flow/ctrl.h"
#include "flow/lookup.h"
#include "flow/publish.h"
#include "flow/slots.h"
#include "flow/table.h"
#include "flow/table_lock.h"
#include "lib/bytes.h"
#include "lib/log.h"
#include "lib/once.h"
#include "platform.h"

namespace {

using namespace kv;

// Bytes 0..71: the key, crc32 and flow_cnt. An extended flow must match
// exactly the packets its parent matches.
constexpr uint32_t kLookupBytes = KOVA_LUT_OFF_NEXT_CRC12;

// A chain deleted together with its main flow holds at most this many
// appflowids; one more is refused.
constexpr uint32_t kChainMax = 256;

// The appflowids of the chain being deleted with its main flow. 1 KiB is
// the whole kernel-stack budget of one frame, so the list lives here, not
// on the stack; it is only touched under kovaAPI_lock, which makes one
// buffer enough.
uint32_t chain_ids[kChainMax];

inline uint64_t next_ext_of(uint32_t slot) {
    return table::link(table::shadow(slot), KOVA_LUT_OFF_NEXT_EXT);
}

// The engine address a slot's record must carry. Slot 0's is 0 while the
// table base is 0 (before an attach), so 0 alone does not mean "missing".
inline bool has_engine_addr(uint32_t slot) {
    return kova.lut_info[slot].lut_qe == kova.hashtable_base_qe + uint64_t(slot) * KOVA_LUT_SIZE;
}

uint32_t create_locked(TableLock &lock, const kova_FLOW *flow, uint64_t parent_appflowid,
                       uint64_t appflowid) {
    if (appflowid >= KOVA_APP_FLOWS)
        return KOVA_ERR_INVALID;
    if (kova.appflow_map[appflowid] != KOVA_NO_SLOT) {
        plat_printk("kovaAPI: trying to add extended flow with existing appflowid\n");
        return KOVA_ERR_INVALID;
    }
    const uint32_t parent =
        flows::flow_slot(uint32_t(parent_appflowid), flows::Kind::any, flows::kExtendRefusals);
    if (parent == KOVA_NO_SLOT)
        return KOVA_ERR_INVALID;
    // One extended flow per entry: a longer chain grows at its end.
    if (next_ext_of(parent) != 0) {
        plat_printk(
            "kovaAPI: trying to add extended flow to parent flow that has extended flow active\n");
        return KOVA_ERR_INVALID;
    }
    if (flow == nullptr)
        return KOVA_ERR_INVALID;
    if (kova.temp_lut == nullptr)
        return KOVA_INTERNAL_ERROR(&lock);

    __builtin_memset(kova.temp_lut, 0, KOVA_LUT_SIZE);
    int32_t length = KOVA_LUT_SIZE;
    const uint32_t built =
        kovaAPIcreateVoipLutEntry(flow, kova.temp_lut, &length, KOVA_FLOW_STATE_WORD(3));
    if (built != KOVA_OK) {
        plat_printk("Failed to create new lut, err = %d\n\r", int(built));
        return built;
    }
    if (__builtin_memcmp(kova.temp_lut, table::shadow(parent), kLookupBytes) != 0) {
        plat_printk("kovaAPI: trying to add extended flow which has different lookup data than "
                    "original flow\n");
        return KOVA_ERR_INVALID;
    }

    // Not slots::take(): a stack entry that is not a slot number is
    // consumed here rather than left on the stack.
    if (kova.ext_free_used >= KOVA_OVERFLOW_SLOTS)
        return KOVA_ERR_TABLE_FULL;
    const uint32_t slot = kova.ext_free_list[kova.ext_free_used++];
    if (slot >= KOVA_LUT_ENTRIES)
        return KOVA_ERR_TABLE_FULL;

    kova_LUT_INFO &r = kova.lut_info[slot];
    r.appflowid = uint32_t(appflowid);
    write_once(kova.appflow_map[appflowid], slot);
    write_once(r.in_use, uint16_t(1));
    r.is_extended = 1;
    r.ucc = flow->flow_ucc;
    r.prev_flowid = parent;

    publish::entry(r.lut_qe, kova.temp_lut, length, flow->flow_ucc, r.lut_cpu);

    if (!has_engine_addr(parent))
        return KOVA_INTERNAL_ERROR(&lock); // the entry stays written and mapped, unlinked

    // The entry is complete and valid: only now may the engine reach it.
    kova_LUT_INFO &p = kova.lut_info[parent];
    publish::engine_link(p.lut_qe + KOVA_LUT_OFF_NEXT_EXT, r.lut_qe, flow->flow_ucc);
    table::set_link(p.lut_cpu, KOVA_LUT_OFF_NEXT_EXT, uintptr_t(r.lut_cpu));
    p.ext_appflowid = uint32_t(appflowid);
    return KOVA_OK;
}

uint32_t delete_ext_locked(TableLock &lock, uint32_t appflowid, uint8_t unlink_parent) {
    const uint32_t slot =
        flows::flow_slot(appflowid, flows::Kind::extended, flows::kDeleteExtendedRefusals);
    if (slot == KOVA_NO_SLOT)
        return KOVA_ERR_INVALID;
    kova_LUT_INFO &r = kova.lut_info[slot];
    // Only the last of a chain goes alone; its successor would be cut off.
    if (next_ext_of(slot) != 0) {
        plat_printk("kovaAPI: trying to delete flow which has extended flow active\n");
        return KOVA_ERR_INVALID;
    }

    write_once(kova.appflow_map[appflowid], KOVA_NO_SLOT);

    if (unlink_parent) {
        const uint32_t parent = r.prev_flowid;
        const bool linked =
            parent < KOVA_LUT_ENTRIES && next_ext_of(parent) == uint64_t(uintptr_t(r.lut_cpu));
        if (linked) {
            // The parent stops leading here before the entry is invalidated,
            // so the engine never follows a link into a cleared entry.
            kova_LUT_INFO &p = kova.lut_info[parent];
            table::set_link(p.lut_cpu, KOVA_LUT_OFF_NEXT_EXT, 0);
            p.ext_appflowid = KOVA_NO_SLOT;
            storeQE64(p.lut_qe + KOVA_LUT_OFF_NEXT_EXT, 0, r.ucc);
        } else {
            // A parent deleted in detach mode no longer links here and left
            // the entry marked detached; nothing leads to it, so it can go
            // without touching the parent. Without that mark the chain is
            // broken in a way we did not make.
            const uint8_t *valid = table::qe_to_kernel(r.lut_qe + KOVA_LUT_OFF_VALID);
            if (bytes::load_le32_once(valid) != KOVA_LUT_VALID_DETACHED)
                return KOVA_INTERNAL_ERROR(&lock); // stays in use, unmapped
        }
    }

    __builtin_memset(r.lut_cpu, 0, KOVA_LUT_SIZE);
    kovaLockCoreExternalExceptions();
    memsetQE32bit(r.lut_qe + KOVA_LUT_OFF_VALID, KOVA_LUT_VALID_DETACHED, 4, r.ucc);
    memsetQE(r.lut_qe, 0, KOVA_LUT_SIZE, r.ucc);
    memsetQE32bit(r.lut_qe + KOVA_LUT_OFF_VALID, KOVA_LUT_VALID_OFF, 4, r.ucc);
    kovaUnLockCoreExternalExceptions();

    slots::release_record(slot);
    if (!slots::give_back(slot))
        return KOVA_INTERNAL_ERROR(&lock);
    return KOVA_OK;
}

// Fills chain_ids with the appflowids of the flow's extended chain, first
// to last. Returns false (after its message) when the chain is too long.
bool collect_chain(uint32_t slot, uint32_t *count) {
    uint32_t n = 0;
    for (uint32_t cur = slot; next_ext_of(cur) != 0;) {
        const uint32_t id = kova.lut_info[cur].ext_appflowid;
        chain_ids[n++] = id;
        // An id that is free (or not an appflowid at all) has no slot to go on from.
        cur = id < KOVA_APP_FLOWS ? kova.appflow_map[id] : KOVA_NO_SLOT;
        if (cur >= KOVA_LUT_ENTRIES) {
            plat_printk("kovaAPI: trying to delete non-existing extended application flowid\n");
            break;
        }
        if (n == kChainMax) {
            plat_printk("kovaAPI: maximum amount of extended flows reached\n");
            return false;
        }
    }
    *count = n;
    return true;
}

} // namespace

extern "C" {

uint32_t kovaAPIcreateExtendedFlow(const kova_FLOW *flow, uint64_t parent_appflowid,
                                   uint64_t appflowid) {
    if (parent_appflowid >= KOVA_APP_FLOWS) {
        plat_printk("%s", flows::kExtendRefusals.out_of_range);
        return KOVA_ERR_INVALID;
    }
    TableLock lock(0, "kovaAPIcreateExtendedFlow");
    return create_locked(lock, flow, parent_appflowid, appflowid);
}

uint32_t kovaAPIdeleteExtendedFlow3(uint32_t appflowid, uint8_t unlink_parent, uint32_t lock_held) {
    if (appflowid >= KOVA_APP_FLOWS) {
        plat_printk("%s", flows::kDeleteExtendedRefusals.out_of_range);
        return KOVA_ERR_INVALID;
    }
    TableLock lock(lock_held, "kovaAPIdeleteExtendedFlow3");
    return delete_ext_locked(lock, appflowid, unlink_parent);
}

uint32_t kovaAPIdeleteExtendedFlow2(uint32_t appflowid, uint8_t unlink_parent) {
    return kovaAPIdeleteExtendedFlow3(appflowid, unlink_parent, 0);
}

uint32_t kovaAPIdeleteExtendedFlow(uint32_t appflowid) {
    return kovaAPIdeleteExtendedFlow2(appflowid, 1);
}

uint32_t kovaAPIdeleteFlowWithExtended2(uint32_t appflowid, uint32_t *stats) {
    if (appflowid >= KOVA_APP_FLOWS) {
        plat_printk("%s", flows::kDeleteRefusals.out_of_range);
        return KOVA_ERR_INVALID;
    }
    TableLock lock(0, "kovaAPIdeleteFlowWithExtended2");
    const uint32_t slot = flows::flow_slot(appflowid, flows::Kind::main, flows::kDeleteRefusals);
    if (slot == KOVA_NO_SLOT)
        return KOVA_ERR_INVALID;

    if (next_ext_of(slot) == 0) {
        // Nothing hangs on it: an ordinary deletion, which takes the lock itself.
        lock.release();
        return kovaAPIdeleteFlow4(appflowid, 0, 0, stats);
    }

    uint32_t count = 0;
    if (!collect_chain(slot, &count))
        return KOVA_ERR_TOO_MANY_EXTENDED;

    // Detach mode marks the whole chain valid 2 before the main entry goes,
    // so the engine stops using it while its head is being removed.
    const uint32_t main_result = kovaAPIdeleteFlow4(appflowid, 1, 1, stats);
    if (main_result != KOVA_OK)
        plat_printk("kovaAPI: Can not delete main flow\n");

    // Last to first: each one is then the end of what is left of the chain.
    // The first is not unlinked: its parent is gone, and the parent's slot
    // may hold another flow by now.
    uint32_t acc = KOVA_OK;
    for (uint32_t i = count; i-- > 0;) {
        acc |= kovaAPIdeleteExtendedFlow3(chain_ids[i], i > 0 ? 1 : 0, 1);
        if (acc != KOVA_OK)
            plat_printk("kovaAPI: Can not delete one of extended flows\n");
    }
    return main_result != KOVA_OK ? main_result : acc;
}

uint32_t kovaAPIdeleteFlowWithExtended(uint32_t appflowid) {
    return kovaAPIdeleteFlowWithExtended2(appflowid, nullptr);
}

uint32_t kovaAPIdeleteFlowWithExtendedWithStats(uint32_t appflowid, uint32_t *stats) {
    return kovaAPIdeleteFlowWithExtended2(appflowid, stats);
}

} // extern "C"
