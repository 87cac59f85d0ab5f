#include "support/table_check.h"

#include <cstring>
#include <set>
#include <sstream>

#include "support/kova_test.h"

namespace kt {
namespace {

constexpr uint32_t kLinks[] = {KOVA_LUT_OFF_NEXT_CRC12, KOVA_LUT_OFF_NEXT_CRC32,
                               KOVA_LUT_OFF_NEXT_EXT};

struct Checker {
    std::vector<std::string> problems;
    std::vector<bool> seen = std::vector<bool>(KOVA_LUT_ENTRIES, false);

    template <typename... A> void want(bool ok, A &&...parts) {
        if (ok)
            return;
        std::ostringstream o;
        (o << ... << parts);
        problems.push_back(o.str());
    }
    static uint32_t crc(uint32_t s) { return le32_at(shadow_slot(s) + KOVA_LUT_OFF_CRC32); }
    static uint64_t link(uint32_t s, uint32_t field) { return le64_at(shadow_slot(s) + field); }

    // The slot a shadow link leads to; -1 at the end of a list, and after
    // reporting a bad link or a slot reached before.
    int64_t next(uint32_t from, uint32_t field) {
        const uint64_t l = link(from, field), base = shadow_addr(0);
        if (!l)
            return -1;
        const bool ok = l >= base && (l - base) % KOVA_LUT_SIZE == 0 &&
                        (l - base) / KOVA_LUT_SIZE < KOVA_LUT_ENTRIES;
        want(ok, "slot ", from, " link at ", field, " leads outside the shadow table");
        const int64_t to = ok ? int64_t((l - base) / KOVA_LUT_SIZE) : -1;
        want(to < 0 || !seen[to], "slot ", to, " reached twice");
        return to >= 0 && seen[to] ? -1 : to;
    }

    // A reachable entry is owned and the same in the engine copy, links translated;
    // its extended flows follow in overflow slots through next_ext only.
    void entry(uint32_t s, uint32_t prev, bool extended, uint32_t bucket) {
        for (int64_t e;; prev = s, s = uint32_t(e), extended = true) {
            seen[s] = true;
            const kova_LUT_INFO &r = kova.lut_info[s];
            const uint8_t *sh = shadow_slot(s), *en = engine_slot(s);
            want(crc(s) >> KOVA_LUT_BUCKET_SHIFT == bucket, "slot ", s, " in the wrong bucket");
            want(r.in_use == 1, "slot ", s, " is linked but not in use");
            want(r.is_extended == extended, "slot ", s, " extended mark is ", r.is_extended);
            want(r.prev_flowid == prev, "slot ", s, " prev_flowid ", r.prev_flowid, " not ", prev);
            want(prev == KOVA_NO_SLOT || s >= KOVA_LUT_OVERFLOW_FIRST, "head slot ", s, " chained");
            want(r.appflowid < KOVA_APP_FLOWS && kova.appflow_map[r.appflowid] == s, "slot ", s,
                 " owner ", r.appflowid, " does not map to it");
            want(r.lut_cpu == sh && r.lut_qe == engine_addr(s), "slot ", s, " addresses wrong");
            want(le32_at(en + KOVA_LUT_OFF_VALID) == KOVA_LUT_VALID_LIVE, "slot ", s,
                 " engine valid word is ", le32_at(en + KOVA_LUT_OFF_VALID));
            want(le32_at(sh + KOVA_LUT_OFF_VALID) == 0, "slot ", s, " shadow valid word set");
            want(!std::memcmp(sh, en, KOVA_LUT_OFF_NEXT_CRC12) &&
                     !std::memcmp(sh + 96, en + 96, KOVA_LUT_OFF_VALID - 96),
                 "slot ", s, " differs between shadow and engine copy");
            for (uint32_t f : kLinks) {
                const uint64_t cpu = link(s, f), qe = le64_at(en + f);
                want(qe == (cpu ? kova.hashtable_base_qe + (cpu - shadow_addr(0)) : 0), "slot ", s,
                     " engine link at ", f, " is ", qe);
            }
            if ((e = next(s, KOVA_LUT_OFF_NEXT_EXT)) < 0)
                return;
            want(r.ext_appflowid == kova.lut_info[e].appflowid, "slot ", s, " ext_appflowid ",
                 r.ext_appflowid, " but its extended flow is ", kova.lut_info[e].appflowid);
            want(!std::memcmp(shadow_slot(uint32_t(e)), sh, KOVA_LUT_OFF_NEXT_CRC12) &&
                     !link(uint32_t(e), KOVA_LUT_OFF_NEXT_CRC12) &&
                     !link(uint32_t(e), KOVA_LUT_OFF_NEXT_CRC32),
                 "extended slot ", e, " has other lookup data than ", s, " or a bucket link");
        }
    }

    // Head, then on next_crc12 one group head per CRC32, each with its
    // same-CRC32 members on next_crc32.
    void bucket(uint32_t head) {
        want(!seen[head], "head slot ", head, " is reached from another bucket");
        std::set<uint32_t> crcs;
        uint32_t prev = KOVA_NO_SLOT;
        for (int64_t g = head; g >= 0;
             prev = uint32_t(g), g = next(uint32_t(g), KOVA_LUT_OFF_NEXT_CRC12)) {
            want(crcs.insert(crc(uint32_t(g))).second, "bucket ", head, " has two groups of a crc");
            entry(uint32_t(g), prev, false, head);
            for (int64_t m = next(uint32_t(g), KOVA_LUT_OFF_NEXT_CRC32), p = g; m >= 0;
                 p = m, m = next(uint32_t(m), KOVA_LUT_OFF_NEXT_CRC32)) {
                want(crc(uint32_t(m)) == crc(uint32_t(g)) &&
                         !link(uint32_t(m), KOVA_LUT_OFF_NEXT_CRC12),
                     "member ", m, " has another crc or a next_crc12");
                entry(uint32_t(m), uint32_t(p), false, head);
            }
        }
    }

    void rest(const FlowModel *model) {
        std::vector<char> stacked(KOVA_LUT_ENTRIES + 1, 0); // the last: entries that are no slot
        for (uint32_t i = kova.ext_free_used; i < KOVA_OVERFLOW_SLOTS; ++i) {
            const uint32_t s = std::min<uint32_t>(kova.ext_free_list[i], KOVA_LUT_ENTRIES);
            want(!stacked[s]++ || s == KOVA_LUT_ENTRIES, "free stack holds slot ", s, " twice");
        }
        size_t in_use = 0, mapped = 0;
        for (uint32_t s = 0; s < KOVA_LUT_ENTRIES; ++s) {
            const kova_LUT_INFO &r = kova.lut_info[s];
            in_use += r.in_use;
            want(!r.in_use || seen[s], "slot ", s, " is in use but unreachable");
            want(s < KOVA_LUT_OVERFLOW_FIRST || (r.in_use != 0) != (stacked[s] != 0),
                 "overflow slot ", s, r.in_use ? " is in use and on the free stack" : " is lost");
            want(r.in_use || (le32_at(engine_slot(s) + KOVA_LUT_OFF_VALID) == 0 &&
                              r.prev_flowid == KOVA_NO_SLOT),
                 "free slot ", s, " has an engine valid word or a predecessor");
        }
        for (uint32_t a = 0; a < KOVA_APP_FLOWS; ++a) {
            const uint32_t s = kova.appflow_map[a];
            const auto it = model ? model->find(a) : FlowModel::const_iterator();
            if (s == KOVA_NO_SLOT) {
                want(!model || it == model->end(), "appflowid ", a, " is missing");
                continue;
            }
            ++mapped;
            want(s < KOVA_LUT_ENTRIES && kova.lut_info[s].in_use && kova.lut_info[s].appflowid == a,
                 "appflowid ", a, " maps to slot ", s, " which it does not own");
            if (model && s < KOVA_LUT_ENTRIES)
                want(it != model->end() && crc(s) == it->second, "appflowid ", a,
                     " is not expected with crc ", crc(s));
        }
        want(mapped == in_use, mapped, " appflowids mapped but ", in_use, " slots in use");
    }
};

} // namespace

std::vector<std::string> check_table(const FlowModel *model) {
    Checker c;
    for (uint32_t h = 0; h < KOVA_LUT_HEADS; ++h)
        if (Checker::crc(h) || le64_at(shadow_slot(h) + 4) || le32_at(shadow_slot(h) + 12))
            c.bucket(h);
    c.rest(model);
    return c.problems;
}

void LinkWatch::at(const kova_host_trace_event *e, void *ctx) {
    auto *w = static_cast<LinkWatch *>(ctx);
    auto valid = [](uint64_t s) {
        const uint32_t v = le32_at(engine_slot(uint32_t(s)) + KOVA_LUT_OFF_VALID);
        return v == KOVA_LUT_VALID_LIVE || v == KOVA_LUT_VALID_DETACHED;
    };
    if (e->op != KOVA_TRACE_BARRIER)
        return;
    ++w->barriers;
    for (uint32_t s : w->slots)
        for (uint32_t f : kLinks) {
            const uint64_t l = le64_at(engine_slot(s) + f), t = (l - engine_addr(0)) / 256;
            w->bad += valid(s) && l &&
                      (l != engine_addr(uint32_t(t)) || t >= KOVA_LUT_ENTRIES || !valid(t));
        }
}

std::string first_problems(const std::vector<std::string> &problems, size_t max) {
    std::string all;
    for (size_t i = 0; i < problems.size() && i < max; ++i)
        all += "  " + problems[i] + "\n";
    return all;
}

} // namespace kt
