#include "support/table_check.h"

#include <cstring>
#include <set>
#include <sstream>

#include "support/kova_test.h"

namespace kt {
namespace {

struct Checker {
    std::vector<std::string> problems;
    std::vector<bool> seen = std::vector<bool>(KOVA_LUT_ENTRIES, false);

    template <typename... A> void fail(A &&...parts) {
        std::ostringstream o;
        (o << ... << parts);
        problems.push_back(o.str());
    }

    // The slot a shadow link points at, or -1 after reporting a bad link.
    int64_t target_of(uint64_t link, uint32_t from, const char *field) {
        uint64_t base = shadow_addr(0);
        if (link < base || (link - base) % KOVA_LUT_SIZE || (link - base) / KOVA_LUT_SIZE >= KOVA_LUT_ENTRIES) {
            fail("slot ", from, " ", field, " holds a link outside the shadow table");
            return -1;
        }
        return int64_t((link - base) / KOVA_LUT_SIZE);
    }

    void check_engine_copy(uint32_t s) {
        const uint8_t *sh = shadow_slot(s), *en = engine_slot(s);
        if (le32_at(en + KOVA_LUT_OFF_VALID) != KOVA_LUT_VALID_LIVE)
            fail("slot ", s, " is live but its engine valid word is ", le32_at(en + KOVA_LUT_OFF_VALID));
        if (le32_at(sh + KOVA_LUT_OFF_VALID) != 0)
            fail("slot ", s, " has a non-zero valid word in the shadow");
        if (std::memcmp(sh, en, KOVA_LUT_OFF_NEXT_CRC12) != 0 ||
            std::memcmp(sh + 96, en + 96, KOVA_LUT_OFF_VALID - 96) != 0)
            fail("slot ", s, " differs between shadow and engine copy");
        for (uint32_t field : {KOVA_LUT_OFF_NEXT_CRC12, KOVA_LUT_OFF_NEXT_CRC32, KOVA_LUT_OFF_NEXT_EXT}) {
            uint64_t cpu = le64_at(sh + field), qe = le64_at(en + field);
            uint64_t want = cpu ? kova.hashtable_base_qe + (cpu - shadow_addr(0)) : 0;
            if (qe != want)
                fail("slot ", s, " engine link at ", field, " is ", qe, ", expected ", want);
        }
    }

    void visit(uint32_t s, uint32_t bucket, uint32_t prev) {
        if (seen[s]) {
            fail("slot ", s, " reached twice");
            return;
        }
        seen[s] = true;
        const kova_LUT_INFO &r = kova.lut_info[s];
        const uint8_t *sh = shadow_slot(s);
        if (!r.in_use)
            fail("slot ", s, " is in a chain but not in use");
        if ((le32_at(sh + KOVA_LUT_OFF_CRC32) >> KOVA_LUT_BUCKET_SHIFT) != bucket)
            fail("slot ", s, " is in bucket ", bucket, " with another crc");
        if (r.prev_flowid != prev)
            fail("slot ", s, " prev_flowid ", r.prev_flowid, ", expected ", prev);
        if (prev != KOVA_NO_SLOT && s < KOVA_LUT_OVERFLOW_FIRST)
            fail("slot ", s, " is chained but is a head slot");
        if (r.is_extended)
            fail("slot ", s, " is in a bucket chain but marked extended");
        check_owner(s);
        check_engine_copy(s);
        walk_extended(s);
    }

    void check_owner(uint32_t s) {
        const kova_LUT_INFO &r = kova.lut_info[s];
        if (r.appflowid >= KOVA_APP_FLOWS)
            fail("slot ", s, " owner ", r.appflowid, " is not an appflowid");
        else if (kova.appflow_map[r.appflowid] != s)
            fail("slot ", s, " owner ", r.appflowid, " maps to ", kova.appflow_map[r.appflowid]);
        if (r.lut_cpu != shadow_slot(s) || r.lut_qe != engine_addr(s))
            fail("slot ", s, " record addresses are wrong");
    }

    // The chain of extended flows behind a bucket entry: each one sits in an
    // overflow slot, carries its parent's lookup data, links only onward
    // through next_ext, and is named by its parent's record.
    void walk_extended(uint32_t bucket_entry) {
        uint32_t parent = bucket_entry;
        for (;;) {
            const uint64_t link = le64_at(shadow_slot(parent) + KOVA_LUT_OFF_NEXT_EXT);
            const int64_t next = link ? target_of(link, parent, "next_ext") : -1;
            if (next < 0)
                return;
            const uint32_t e = uint32_t(next);
            if (seen[e]) {
                fail("extended slot ", e, " reached twice");
                return;
            }
            seen[e] = true;
            const kova_LUT_INFO &r = kova.lut_info[e];
            const uint8_t *sh = shadow_slot(e);
            if (e < KOVA_LUT_OVERFLOW_FIRST)
                fail("extended slot ", e, " is a head slot");
            if (r.in_use != 1)
                fail("extended slot ", e, " is linked but not in use");
            if (r.is_extended != 1)
                fail("extended slot ", e, " is not marked extended");
            if (r.prev_flowid != parent)
                fail("extended slot ", e, " prev_flowid ", r.prev_flowid, ", expected ", parent);
            if (kova.lut_info[parent].ext_appflowid != r.appflowid)
                fail("slot ", parent, " ext_appflowid ", kova.lut_info[parent].ext_appflowid, " but its extended flow is ",
                     r.appflowid);
            if (std::memcmp(sh, shadow_slot(parent), KOVA_LUT_OFF_NEXT_CRC12) != 0)
                fail("extended slot ", e, " has other lookup data than its parent ", parent);
            if (le64_at(sh + KOVA_LUT_OFF_NEXT_CRC12) != 0 || le64_at(sh + KOVA_LUT_OFF_NEXT_CRC32) != 0)
                fail("extended slot ", e, " has a bucket-chain link");
            check_owner(e);
            check_engine_copy(e);
            parent = e;
        }
    }

    // One CRC group: its head and the members behind it on next_crc32.
    void walk_group(uint32_t group_head, uint32_t bucket, uint32_t prev) {
        const uint32_t crc = le32_at(shadow_slot(group_head) + KOVA_LUT_OFF_CRC32);
        visit(group_head, bucket, prev);
        uint32_t cur = group_head;
        for (;;) {
            uint64_t link = le64_at(shadow_slot(cur) + KOVA_LUT_OFF_NEXT_CRC32);
            int64_t next = link ? target_of(link, cur, "next_crc32") : -1;
            if (next < 0 || seen[next])
                break;
            if (le32_at(shadow_slot(next) + KOVA_LUT_OFF_CRC32) != crc)
                fail("slot ", next, " is in the same-crc list of another crc");
            if (le64_at(shadow_slot(next) + KOVA_LUT_OFF_NEXT_CRC12) != 0)
                fail("group member ", next, " has a next_crc12 link");
            visit(uint32_t(next), bucket, cur);
            cur = uint32_t(next);
        }
    }

    void walk_bucket(uint32_t head) {
        std::set<uint32_t> crcs;
        uint32_t cur = head, prev = KOVA_NO_SLOT;
        for (;;) {
            uint32_t crc = le32_at(shadow_slot(cur) + KOVA_LUT_OFF_CRC32);
            if (!crcs.insert(crc).second)
                fail("bucket ", head, " has two groups of crc ", crc);
            walk_group(cur, head, prev);
            uint64_t link = le64_at(shadow_slot(cur) + KOVA_LUT_OFF_NEXT_CRC12);
            int64_t next = link ? target_of(link, cur, "next_crc12") : -1;
            if (next < 0 || seen[next])
                break;
            prev = cur;
            cur = uint32_t(next);
        }
    }

    void check_free_slots() {
        std::vector<char> on_stack(KOVA_LUT_ENTRIES + 1, 0); // the last one: out-of-range entries
        for (uint32_t i = kova.ext_free_used; i < KOVA_OVERFLOW_SLOTS; ++i) {
            const uint32_t s = kova.ext_free_list[i] < KOVA_LUT_ENTRIES ? kova.ext_free_list[i] : KOVA_LUT_ENTRIES;
            if (on_stack[s]++ && s != KOVA_LUT_ENTRIES)
                fail("free stack holds slot ", s, " twice");
        }
        for (uint32_t s = 0; s < KOVA_LUT_ENTRIES; ++s) {
            const kova_LUT_INFO &r = kova.lut_info[s];
            if (r.in_use && !seen[s])
                fail("slot ", s, " is in use but unreachable");
            if (s >= KOVA_LUT_OVERFLOW_FIRST && (r.in_use != 0) == (on_stack[s] != 0))
                fail("overflow slot ", s, r.in_use ? " is in use and on the free stack" : " is lost");
            if (!r.in_use && le32_at(engine_slot(s) + KOVA_LUT_OFF_VALID) != 0)
                fail("free slot ", s, " has a non-zero engine valid word");
            if (!r.in_use && r.prev_flowid != KOVA_NO_SLOT)
                fail("free slot ", s, " has a predecessor");
        }
    }

    void check_map(const FlowModel *model) {
        size_t mapped = 0;
        for (uint32_t a = 0; a < KOVA_APP_FLOWS; ++a) {
            uint32_t s = kova.appflow_map[a];
            if (s == KOVA_NO_SLOT) {
                if (model && model->count(a))
                    fail("appflowid ", a, " is missing");
                continue;
            }
            ++mapped;
            if (s >= KOVA_LUT_ENTRIES || !kova.lut_info[s].in_use || kova.lut_info[s].appflowid != a) {
                fail("appflowid ", a, " maps to slot ", s, " which it does not own");
                continue;
            }
            if (model) {
                auto it = model->find(a);
                if (it == model->end())
                    fail("appflowid ", a, " is in the table but not expected");
                else if (le32_at(shadow_slot(s) + KOVA_LUT_OFF_CRC32) != it->second)
                    fail("appflowid ", a, " has crc ", le32_at(shadow_slot(s) + KOVA_LUT_OFF_CRC32));
            }
        }
        size_t in_use = 0;
        for (uint32_t s = 0; s < KOVA_LUT_ENTRIES; ++s)
            in_use += kova.lut_info[s].in_use;
        if (mapped != in_use)
            fail(mapped, " appflowids mapped but ", in_use, " slots in use");
    }
};

} // namespace

std::vector<std::string> check_table(const FlowModel *model) {
    Checker c;
    for (uint32_t h = 0; h < KOVA_LUT_HEADS; ++h) {
        const uint8_t *sh = shadow_slot(h);
        bool empty = le32_at(sh + KOVA_LUT_OFF_CRC32) == 0 && le32_at(sh + 4) == 0 && le32_at(sh + 8) == 0 &&
                     le32_at(sh + 12) == 0;
        if (!empty)
            c.walk_bucket(h);
    }
    c.check_free_slots();
    c.check_map(model);
    return c.problems;
}

} // namespace kt
