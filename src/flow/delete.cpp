// Flow deletion: one flow leaves both copies, and its bucket's chains are
// repaired so every other flow stays reachable from the head slot. The
// engine reads throughout: a link to an entry is changed before the entry
// is cleared, a successor is fully linked before anything leads to it, and a
// head being overwritten carries valid word 2 until the copy is complete.
#include "flow/ctrl.h"
#include "flow/lookup.h"
#include "flow/publish.h"
#include "flow/slots.h"
#include "flow/table.h"
#include "flow/table_lock.h"
#include "lib/log.h"
#include "lib/once.h"
#include "platform.h"

namespace {

using namespace kv;

constexpr uint32_t kDetachCapacity = sizeof kova.detach_list / sizeof kova.detach_list[0];

uint64_t engine_of(uint32_t slot) {
    return kova.hashtable_base_qe + uint64_t(slot) * KOVA_LUT_SIZE;
}
uint64_t cpu_addr_of(uint32_t slot) { return uint64_t(uintptr_t(table::shadow(slot))); }

// The slot a shadow link leads to, or KOVA_NO_SLOT for none. A corrupted
// link gives an out-of-range slot, which the overflow checks catch.
uint64_t target(uint32_t slot, uint32_t field) {
    const uint64_t link = table::link(table::shadow(slot), field);
    return link ? table::slot_of_cpu(link) : KOVA_NO_SLOT;
}

// One deletion in progress.
struct Deletion {
    uint32_t appflowid;
    uint32_t x;        // the flow's slot
    uint32_t ucc;      // passed to the engine writes
    uint32_t detached; // entries of kova.detach_list in use
    TableLock *lock;

    // Gives a link field of p a new target (KOVA_NO_SLOT: none), shadow
    // first, then one 8-byte engine store.
    void set_link(uint32_t p, uint32_t field, uint32_t to) {
        table::set_link(table::shadow(p), field, to == KOVA_NO_SLOT ? 0 : cpu_addr_of(to));
        if (to == KOVA_NO_SLOT)
            storeQE64(engine_of(p) + field, 0, ucc);
        else
            publish::engine_link(engine_of(p) + field, engine_of(to), ucc);
    }

    void mark_detached() {
        for (uint32_t i = 0; i < detached; ++i)
            memsetQE32bit(engine_of(kova.detach_list[i]) + KOVA_LUT_OFF_VALID,
                          KOVA_LUT_VALID_DETACHED, 4, ucc);
    }

    // The engine stops using the entry (valid 0) before its bytes go.
    void clear_entry(uint32_t s, bool with_detached) {
        __builtin_memset(table::shadow(s), 0, KOVA_LUT_SIZE);
        kovaLockCoreExternalExceptions();
        memsetQE32bit(engine_of(s) + KOVA_LUT_OFF_VALID, KOVA_LUT_VALID_OFF, 4, ucc);
        if (with_detached)
            mark_detached();
        memsetQE(engine_of(s), 0, KOVA_LUT_SIZE, ucc);
        kovaUnLockCoreExternalExceptions();
    }

    // false when the target of link `field` of `from` is not an overflow slot.
    [[nodiscard]] bool set_prev_of_target(uint32_t from, uint32_t field, uint32_t prev) {
        const uint64_t t = target(from, field);
        if (t == KOVA_NO_SLOT)
            return true;
        if (!slots::is_overflow(t))
            return false;
        kova.lut_info[t].prev_flowid = prev;
        return true;
    }

    // Moves the flow of overflow slot s into head slot h: h carries valid
    // word 2 while the engine copy is overwritten, and s is cleared only once
    // h holds the copy. `relink` runs between the copy and the clear.
    template <typename Relink> uint32_t move_into_head(uint32_t s, uint32_t h, Relink relink) {
        __builtin_memcpy(table::shadow(h), table::shadow(s), KOVA_LUT_SIZE);
        kovaLockCoreExternalExceptions();
        memsetQE32bit(engine_of(h) + KOVA_LUT_OFF_VALID, KOVA_LUT_VALID_DETACHED, 4, ucc);
        mark_detached();
        // The source's valid word is not copied along: the head must read 2
        // until every byte of the copy is in place.
        memcpyQE2(engine_of(h), engine_of(s), KOVA_LUT_OFF_VALID, ucc);
        memsetQE32bit(engine_of(h) + KOVA_LUT_OFF_VALID, KOVA_LUT_VALID_LIVE, 4, ucc);
        kovaUnLockCoreExternalExceptions();
        if (!relink())
            return KOVA_INTERNAL_ERROR(lock);
        clear_entry(s, false);

        kova_LUT_INFO &to = kova.lut_info[h];
        const kova_LUT_INFO &from = kova.lut_info[s];
        write_once(to.in_use, uint16_t(1));
        to.is_extended = from.is_extended;
        to.ucc = from.ucc;
        to.appflowid = from.appflowid;
        to.ext_appflowid = from.ext_appflowid;
        to.prev_flowid = KOVA_NO_SLOT;
        write_once(kova.appflow_map[from.appflowid], h);
        slots::release_record(s);
        if (!slots::give_back(s))
            return KOVA_INTERNAL_ERROR(lock);
        return KOVA_OK;
    }

    // The end of every overflow case: clear, release, free.
    uint32_t remove_overflow_entry() {
        clear_entry(x, true);
        slots::release_record(x);
        if (!slots::give_back(x))
            return KOVA_INTERNAL_ERROR(lock);
        return KOVA_OK;
    }

    uint32_t head_only() { // case 1: the bucket becomes empty
        clear_entry(x, true);
        slots::release_record(x);
        return KOVA_OK;
    }

    uint32_t head_with_member(uint32_t b) { // case 2
        if (!slots::is_overflow(b))
            return KOVA_INTERNAL_ERROR(lock);
        return move_into_head(b, x, [&] {
            return set_prev_of_target(b, KOVA_LUT_OFF_NEXT_CRC32, x) &&
                   set_prev_of_target(b, KOVA_LUT_OFF_NEXT_EXT, x);
        });
    }

    uint32_t head_with_next_group(uint32_t a) { // case 3
        if (!slots::is_overflow(a))
            return KOVA_INTERNAL_ERROR(lock);
        return move_into_head(a, x, [&] {
            return set_prev_of_target(a, KOVA_LUT_OFF_NEXT_CRC12, x) &&
                   set_prev_of_target(a, KOVA_LUT_OFF_NEXT_CRC32, x) &&
                   set_prev_of_target(a, KOVA_LUT_OFF_NEXT_EXT, x);
        });
    }

    uint32_t head_with_both(uint32_t a, uint32_t b) { // case 4
        if (!slots::is_overflow(b))
            return KOVA_INTERNAL_ERROR(lock);
        // B becomes the group head, fully linked, before it is copied.
        set_link(b, KOVA_LUT_OFF_NEXT_CRC12, a);
        if (!slots::is_overflow(a))
            return KOVA_INTERNAL_ERROR(lock);
        kova.lut_info[a].prev_flowid = x;
        if (!set_prev_of_target(b, KOVA_LUT_OFF_NEXT_EXT, x) ||
            !set_prev_of_target(b, KOVA_LUT_OFF_NEXT_CRC32, x))
            return KOVA_INTERNAL_ERROR(lock);
        return move_into_head(b, x, [] { return true; });
    }

    bool links_here(uint32_t p, uint32_t field) { return target(p, field) == x; }

    uint32_t overflow_alone(uint32_t p) { // case 5
        if (links_here(p, KOVA_LUT_OFF_NEXT_CRC12)) {
            set_link(p, KOVA_LUT_OFF_NEXT_CRC12, KOVA_NO_SLOT);
            if (links_here(p, KOVA_LUT_OFF_NEXT_CRC32))
                return KOVA_INTERNAL_ERROR(lock);
        } else if (links_here(p, KOVA_LUT_OFF_NEXT_CRC32)) {
            set_link(p, KOVA_LUT_OFF_NEXT_CRC32, KOVA_NO_SLOT);
        } else {
            return KOVA_INTERNAL_ERROR(lock);
        }
        return remove_overflow_entry();
    }

    uint32_t overflow_with_member(uint32_t p, uint32_t b) { // case 6
        const bool group_head = links_here(p, KOVA_LUT_OFF_NEXT_CRC12);
        if (!group_head && !links_here(p, KOVA_LUT_OFF_NEXT_CRC32))
            return KOVA_INTERNAL_ERROR(lock);
        set_link(p, group_head ? KOVA_LUT_OFF_NEXT_CRC12 : KOVA_LUT_OFF_NEXT_CRC32, b);
        if (!slots::is_overflow(b))
            return KOVA_INTERNAL_ERROR(lock);
        kova.lut_info[b].prev_flowid = p;
        if (group_head && links_here(p, KOVA_LUT_OFF_NEXT_CRC32))
            return KOVA_INTERNAL_ERROR(lock);
        return remove_overflow_entry();
    }

    uint32_t overflow_with_next_group(uint32_t p, uint32_t a) { // case 7
        if (!links_here(p, KOVA_LUT_OFF_NEXT_CRC12))
            return KOVA_INTERNAL_ERROR(lock);
        set_link(p, KOVA_LUT_OFF_NEXT_CRC12, a);
        if (a >= KOVA_LUT_ENTRIES)
            return KOVA_INTERNAL_ERROR(lock);
        kova.lut_info[a].prev_flowid = p;
        if (links_here(p, KOVA_LUT_OFF_NEXT_CRC32))
            return KOVA_INTERNAL_ERROR(lock);
        return remove_overflow_entry();
    }

    uint32_t overflow_with_both(uint32_t p, uint32_t a, uint32_t b) { // case 8
        if (!links_here(p, KOVA_LUT_OFF_NEXT_CRC12))
            return KOVA_INTERNAL_ERROR(lock);
        // B takes X's place as group head, fully linked, before P leads to it.
        set_link(b, KOVA_LUT_OFF_NEXT_CRC12, a);
        if (!slots::is_overflow(a) || !slots::is_overflow(b))
            return KOVA_INTERNAL_ERROR(lock);
        kova.lut_info[a].prev_flowid = b;
        kova.lut_info[b].prev_flowid = p;
        set_link(p, KOVA_LUT_OFF_NEXT_CRC12, b);
        if (links_here(p, KOVA_LUT_OFF_NEXT_CRC32))
            return KOVA_INTERNAL_ERROR(lock);
        return remove_overflow_entry();
    }

    uint32_t repair() {
        const uint32_t p = kova.lut_info[x].prev_flowid;
        const bool head = x < KOVA_LUT_HEADS;
        if (head != (p == KOVA_NO_SLOT))
            return KOVA_INTERNAL_ERROR(lock);
        const uint64_t a = target(x, KOVA_LUT_OFF_NEXT_CRC12),
                       b = target(x, KOVA_LUT_OFF_NEXT_CRC32);
        const uint32_t n =
            (head ? 0 : 4) + (a != KOVA_NO_SLOT ? 2 : 0) + (b != KOVA_NO_SLOT ? 1 : 0);
        ++kova.delete_branch_count[n];
        // Out-of-range targets fail the overflow checks of the cases.
        const uint32_t A =
            a < KOVA_LUT_ENTRIES || a == KOVA_NO_SLOT ? uint32_t(a) : KOVA_LUT_ENTRIES;
        const uint32_t B =
            b < KOVA_LUT_ENTRIES || b == KOVA_NO_SLOT ? uint32_t(b) : KOVA_LUT_ENTRIES;
        if (!head && p >= KOVA_LUT_ENTRIES)
            return KOVA_INTERNAL_ERROR(lock);
        switch (n) {
        case 0:
            return head_only();
        case 1:
            return head_with_member(B);
        case 2:
            return head_with_next_group(A);
        case 3:
            return head_with_both(A, B);
        case 4:
            return overflow_alone(p);
        case 5:
            return overflow_with_member(p, B);
        case 6:
            return overflow_with_next_group(p, A);
        default:
            return overflow_with_both(p, A, B);
        }
    }

    // Detach mode: collects the flow's extended flows and cuts the shadow's
    // link to them; the engine keeps its link until the entry goes.
    uint32_t collect_detached() {
        uint32_t cur = x;
        while (table::link(table::shadow(cur), KOVA_LUT_OFF_NEXT_EXT) != 0) {
            const uint32_t id = kova.lut_info[cur].ext_appflowid;
            const uint32_t next = id < KOVA_APP_FLOWS ? kova.appflow_map[id] : KOVA_NO_SLOT;
            if (next == KOVA_NO_SLOT) {
                plat_printk("kovaAPI: trying to delete non-existing extended application flowid\n");
                break;
            }
            if (next >= KOVA_LUT_ENTRIES)
                return KOVA_INTERNAL_ERROR(lock);
            kova.detach_list[detached++] = next;
            cur = next;
            if (detached == kDetachCapacity) {
                plat_printk("kovaAPI: maximum amount of extended flows reached\n");
                return KOVA_ERR_TOO_MANY_EXTENDED;
            }
        }
        table::set_link(table::shadow(x), KOVA_LUT_OFF_NEXT_EXT, 0);
        return KOVA_OK;
    }
};

} // namespace

extern "C" {

uint32_t kovaAPIdeleteFlow4(uint32_t appflowid, uint32_t with_extended, uint32_t lock_held,
                            uint32_t *stats) {
    if (appflowid >= KOVA_APP_FLOWS) {
        plat_printk("%s", flows::kDeleteRefusals.out_of_range);
        return KOVA_ERR_INVALID;
    }
    TableLock lock(lock_held, "kovaAPIdeleteFlow4");
    const uint32_t x = flows::flow_slot(appflowid, flows::Kind::main, flows::kDeleteRefusals);
    if (x == KOVA_NO_SLOT)
        return KOVA_ERR_INVALID;
    if (stats) {
        const uint32_t r = kovaAPIgetFlowStatistics(int32_t(appflowid), stats);
        if (r != KOVA_OK)
            return r;
    }
    Deletion d{appflowid, x, kova.lut_info[x].ucc, 0, &lock};
    if (with_extended == 1) {
        const uint32_t r = d.collect_detached();
        if (r != KOVA_OK)
            return r;
    }
    if (table::link(table::shadow(x), KOVA_LUT_OFF_NEXT_EXT) != 0) {
        plat_printk("kovaAPI: trying to delete flow which has extended flow active\n");
        return KOVA_ERR_INVALID;
    }
    const uint32_t r = d.repair();
    if (r == KOVA_OK)
        write_once(kova.appflow_map[appflowid], KOVA_NO_SLOT);
    return r;
}

uint32_t kovaAPIdeleteFlow3(uint32_t appflowid, uint32_t with_extended, uint32_t lock_held) {
    return kovaAPIdeleteFlow4(appflowid, with_extended, lock_held, nullptr);
}

uint32_t kovaAPIdeleteFlow2(uint32_t appflowid, uint32_t with_extended) {
    return kovaAPIdeleteFlow3(appflowid, with_extended, 0);
}

uint32_t kovaAPIdeleteVoipFlow(uint32_t appflowid) { return kovaAPIdeleteFlow3(appflowid, 0, 0); }

uint32_t kovaAPIdeleteVoipFlowWithStats(uint32_t appflowid, uint32_t *stats) {
    return kovaAPIdeleteFlow4(appflowid, 0, 0, stats);
}

} // extern "C"
