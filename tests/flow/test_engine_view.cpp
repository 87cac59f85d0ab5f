// The engine reads its copy of the table without any lock of ours. These
// tests look at the table as the engine does: at every barrier of every
// table operation (each barrier is a point at which the engine may observe
// the copy), and from a reader thread that walks the copy while the table
// changes. Every entry the engine may use must be whole and belong to a flow
// that exists at that moment, a link must never lead into an entry that is
// being cleared or written, and a flow the operation does not remove must
// stay reachable throughout.
#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/kova_test.h"
#include "support/table_check.h"

namespace {

using kt::le32_at;

constexpr uint32_t kNone = 0xFFFFFFFFu;

// ---- Flows whose every byte follows from their appflowid -----------------
//
// Main flows are appflowids 0..kMains-1. Main flow r may carry a chain of up
// to kDepth extended flows; the one at depth d is kExtBase + r * kDepth + d.
// The key bytes name the chain's main flow, the action bytes name the flow
// itself (twice), so an entry made of two flows' bytes, or half written, or
// zeroed, cannot pass for any flow.
constexpr uint32_t kMains = 192;
constexpr uint32_t kDepth = 4;
constexpr uint32_t kExtBase = 1000;
constexpr uint32_t kIds = kExtBase + kMains * kDepth;
constexpr uint32_t kIdTag = 0x4B000000u;

// Bucket heads in use, including the first and the last head slot. Bucket b
// spreads its flows over 1 + b % 4 CRC32 values.
constexpr uint32_t kHeads[] = {0x0000, 0x0001, 0x0155, 0x1000, 0x2AAA, 0x3000, 0x3FFE, 0x3FFF};
constexpr uint32_t kBuckets = sizeof kHeads / sizeof kHeads[0];

constexpr bool is_ext(uint32_t id) { return id >= kExtBase; }
constexpr uint32_t root_of(uint32_t id) { return is_ext(id) ? (id - kExtBase) / kDepth : id; }
constexpr uint32_t depth_of(uint32_t id) { return (id - kExtBase) % kDepth; }
constexpr uint32_t ext_id(uint32_t root, uint32_t depth) { return kExtBase + root * kDepth + depth; }
// The flow an extended flow hangs on.
constexpr uint32_t parent_of(uint32_t id) { return depth_of(id) == 0 ? root_of(id) : id - 1; }
constexpr uint32_t bucket_of(uint32_t id) { return root_of(id) % kBuckets; }
constexpr uint32_t crc_of(uint32_t id) {
    const uint32_t r = root_of(id), b = r % kBuckets, variant = (r / kBuckets) % (1 + b % 4);
    return kHeads[b] << KOVA_LUT_BUCKET_SHIFT | (1 + variant) * 0x111u;
}

kt::Flow describe(uint32_t id) {
    const uint32_t r = root_of(id);
    kt::Flow f(crc_of(id), uint16_t(1 + r % 30), 3);
    const uint8_t dmac[6] = {0x02, uint8_t(r >> 8), uint8_t(r), uint8_t(~r >> 8), uint8_t(~r), 0x5A};
    const uint8_t smac[6] = {0x02, 0x00, 0xC0, 0xDE, uint8_t(r >> 8), uint8_t(r)};
    std::memcpy(f.f.eth_dmac, dmac, 6);
    std::memcpy(f.f.eth_smac, smac, 6);
    f.f.ip_src.v4[0] = 10;
    f.f.ip_src.v4[2] = uint8_t(r >> 8);
    f.f.ip_src.v4[3] = uint8_t(r);
    f.f.udp_dport = uint16_t(5000 + r);
    f.rules[0].type = RULE_POLICING;
    f.rules[0].param.policing.weight = kIdTag | id;
    f.rules[1].type = RULE_FORWARD_TO_QE;
    f.rules[1].param.forward_qe.port = uint8_t(id % 4);
    f.rules[1].param.forward_qe.subport = uint16_t(id);
    f.rules[1].param.forward_qe.priority = uint8_t(id >> 8);
    f.rules[2].type = RULE_DROP_PACKET;
    return f;
}

// The bytes an entry of each flow must hold, links aside (the engine keeps
// no counters here, so those stay zero).
struct Expected {
    std::vector<std::vector<uint8_t>> bytes = std::vector<std::vector<uint8_t>>(kIds);

    Expected() {
        for (uint32_t id = 0; id < kIds; ++id) {
            if (id >= kMains && (!is_ext(id) || root_of(id) >= kMains))
                continue;
            kt::Flow f = describe(id);
            kova_LUT lut{};
            int32_t length = KOVA_LUT_SIZE;
            if (kovaAPIcreateVoipLutEntry(f.get(), &lut, &length, KOVA_FLOW_STATE_WORD(3)) == KOVA_OK)
                bytes[id].assign(reinterpret_cast<uint8_t *>(&lut), reinterpret_cast<uint8_t *>(&lut) + 256);
        }
    }

    // The flow an entry (a copy of it) is, or an explanation of why it is
    // none.
    bool identify(const uint8_t *e, uint32_t *id, std::string *why) const {
        const uint32_t tag = le32_at(e + KOVA_LUT_OFF_ACTIONS + 4);
        if ((e[KOVA_LUT_OFF_ACTIONS] & 0x7F) != RULE_POLICING || (tag & 0xFF000000u) != kIdTag ||
            (tag & 0xFFFFFFu) >= kIds || bytes[tag & 0xFFFFFFu].empty()) {
            *why = "an entry that is no flow's (zeroed or half written)";
            return false;
        }
        *id = tag & 0xFFFFFFu;
        const uint8_t *want = bytes[*id].data();
        if (std::memcmp(e, want, KOVA_LUT_OFF_NEXT_CRC12) != 0 ||
            std::memcmp(e + 96, want + 96, KOVA_LUT_OFF_VALID - 96) != 0) {
            *why = "a torn or mixed entry of flow " + std::to_string(*id);
            return false;
        }
        return true;
    }
};

const Expected &expected() {
    static const Expected e;
    return e;
}

// ---- The engine's side of the copy ---------------------------------------

const uint8_t *engine_entry(uint32_t slot) { return kt::engine_slot(slot); }
uint32_t valid_of(uint32_t slot) {
    return __atomic_load_n(reinterpret_cast<const uint32_t *>(engine_entry(slot) + KOVA_LUT_OFF_VALID),
                           __ATOMIC_ACQUIRE);
}
uint64_t link_of(uint32_t slot, uint32_t field) {
    return __atomic_load_n(reinterpret_cast<const uint64_t *>(engine_entry(slot) + field), __ATOMIC_ACQUIRE);
}
// The slot an engine link leads to; kNone for no link; false for an address
// that is no slot of the table.
bool slot_of_link(uint64_t link, uint32_t *slot) {
    *slot = kNone;
    if (link == 0)
        return true;
    const uint64_t off = link - kova.hashtable_base_qe;
    if (link < kova.hashtable_base_qe || off % KOVA_LUT_SIZE != 0 || off / KOVA_LUT_SIZE >= KOVA_LUT_ENTRIES)
        return false;
    *slot = uint32_t(off / KOVA_LUT_SIZE);
    return true;
}

// One walk of the buckets in use, at a moment when no engine write is in
// progress: what the engine may use and reach from the heads.
struct Walk {
    std::vector<std::string> faults;
    std::vector<uint32_t> reached = std::vector<uint32_t>(kIds, 0);
    bool in_transition[kBuckets] = {};
    const std::vector<bool> *may_use = nullptr; // flows that may be seen now
    std::vector<bool> visited = std::vector<bool>(KOVA_LUT_ENTRIES, false);

    template <typename... A> void fault(A &&...parts) {
        std::ostringstream o;
        (o << ... << parts);
        faults.push_back(o.str());
    }

    // Uses the entry in `slot`, reached from bucket b (through a chain link,
    // or through next_ext from flow `parent`). The flow, or kNone.
    uint32_t use(uint32_t slot, uint32_t b, uint32_t parent) {
        if (visited[slot]) {
            fault("slot ", slot, " is reached twice: the links form a loop");
            return kNone;
        }
        visited[slot] = true;
        uint32_t id;
        std::string why;
        if (!expected().identify(engine_entry(slot), &id, &why)) {
            fault("slot ", slot, " with valid word 1 holds ", why);
            return kNone;
        }
        if (bucket_of(id) != b)
            fault("flow ", id, " in slot ", slot, " is reached from the head of another bucket");
        if (parent == kNone && is_ext(id))
            fault("extended flow ", id, " in slot ", slot, " is in a bucket chain");
        if (parent != kNone && (!is_ext(id) || parent_of(id) != parent))
            fault("flow ", id, " in slot ", slot, " is reached through next_ext of flow ", parent);
        if (may_use && !(*may_use)[id])
            fault("flow ", id, " in slot ", slot, " is used but does not exist now");
        ++reached[id];
        return id;
    }

    // Follows a link of a used entry. The target's slot when the engine may
    // use it; kNone at the end of a list or at an entry in transition.
    uint32_t follow(uint32_t from, uint32_t field) {
        uint32_t to;
        if (!slot_of_link(link_of(from, field), &to)) {
            fault("slot ", from, " link at byte ", field, " leads outside the table");
            return kNone;
        }
        if (to == kNone)
            return kNone;
        switch (valid_of(to)) {
        case KOVA_LUT_VALID_LIVE:
            return to;
        case KOVA_LUT_VALID_DETACHED:
            return kNone; // in transition: the engine does not use it
        case KOVA_LUT_VALID_OFF:
            fault("slot ", from, " link at byte ", field, " leads into slot ", to, " whose valid word is 0");
            return kNone;
        default:
            fault("slot ", to, " has valid word ", valid_of(to));
            return kNone;
        }
    }

    void extended_chain(uint32_t slot, uint32_t id, uint32_t b) {
        for (uint32_t guard = 0; guard <= kDepth && id != kNone; ++guard) {
            slot = follow(slot, KOVA_LUT_OFF_NEXT_EXT);
            if (slot == kNone)
                return;
            id = use(slot, b, id);
        }
    }

    void bucket(uint32_t b) {
        const uint32_t head = kHeads[b];
        const uint32_t v = valid_of(head);
        if (v == KOVA_LUT_VALID_DETACHED)
            in_transition[b] = true;
        if (v != KOVA_LUT_VALID_LIVE)
            return; // empty, being written or overwritten: not used
        for (uint32_t group = head; group != kNone; group = follow(group, KOVA_LUT_OFF_NEXT_CRC12)) {
            const uint32_t id = use(group, b, kNone);
            if (id == kNone)
                return;
            extended_chain(group, id, b);
            for (uint32_t m = follow(group, KOVA_LUT_OFF_NEXT_CRC32); m != kNone; m = follow(m, KOVA_LUT_OFF_NEXT_CRC32)) {
                const uint32_t mid = use(m, b, kNone);
                if (mid == kNone)
                    break;
                if (crc_of(mid) != crc_of(id))
                    fault("flow ", mid, " is in the same-CRC list of flow ", id, " with another CRC32");
                extended_chain(m, mid, b);
            }
        }
    }

    void all() {
        for (uint32_t b = 0; b < kBuckets; ++b)
            bucket(b);
    }
};

// ---- A random churn of table operations over those flows -----------------

struct Churn {
    std::mt19937_64 rng;
    std::vector<bool> main_live = std::vector<bool>(kMains, false);
    std::vector<uint32_t> chain = std::vector<uint32_t>(kMains, 0); // extended flows per main flow
    uint32_t mains = 0;
    bool growing = true;

    explicit Churn(uint32_t seed) : rng(seed) {}
    uint32_t below(uint32_t n) { return uint32_t(rng() % n); }

    std::vector<bool> live_set() const {
        std::vector<bool> s(kIds, false);
        for (uint32_t r = 0; r < kMains; ++r) {
            s[r] = main_live[r];
            for (uint32_t d = 0; d < chain[r]; ++d)
                s[ext_id(r, d)] = true;
        }
        return s;
    }
    kt::FlowModel model() const {
        kt::FlowModel m;
        const std::vector<bool> s = live_set();
        for (uint32_t id = 0; id < kIds; ++id)
            if (s[id])
                m[id] = crc_of(id);
        return m;
    }

    enum Kind { Create, Delete, Extend, DeleteLast, DeleteWithChain };
    struct Op {
        Kind kind;
        uint32_t id; // the main flow, or the extended flow for Extend and DeleteLast
        std::string text() const {
            static const char *const names[] = {"create", "delete", "create extended", "delete extended",
                                                "delete with chain"};
            return std::string(names[kind]) + " " + std::to_string(id);
        }
    };

    // A random operation that must succeed; the population swings between
    // almost nothing and most of the main flows.
    Op next() {
        if (growing && mains >= kMains * 5 / 8)
            growing = false;
        else if (!growing && mains <= 2)
            growing = true;
        // Percentages of create, extend, delete last extended, delete.
        static const uint32_t grow[] = {55, 70, 78, 90}, shrink[] = {10, 25, 40, 70};
        const uint32_t *split = growing ? grow : shrink;
        for (;;) {
            const uint32_t roll = below(100);
            const Kind kind = roll < split[0]   ? Create
                              : roll < split[1] ? Extend
                              : roll < split[2] ? DeleteLast
                              : roll < split[3] ? Delete
                                                : DeleteWithChain;
            std::vector<uint32_t> roots;
            for (uint32_t r = 0; r < kMains; ++r) {
                const bool fits = kind == Create       ? !main_live[r]
                                  : kind == Extend     ? main_live[r] && chain[r] < kDepth
                                  : kind == DeleteLast ? chain[r] > 0
                                  : kind == Delete     ? main_live[r] && chain[r] == 0
                                                       : main_live[r];
                if (fits)
                    roots.push_back(r);
            }
            if (roots.empty())
                continue;
            const uint32_t r = roots[below(uint32_t(roots.size()))];
            if (kind == Extend)
                return {kind, ext_id(r, chain[r])};
            if (kind == DeleteLast)
                return {kind, ext_id(r, chain[r] - 1)};
            return {kind, r};
        }
    }

    uint32_t call(const Op &op) {
        switch (op.kind) {
        case Create: {
            kt::Flow f = describe(op.id);
            return kovaAPIcreateVoipFlow(f.get(), op.id);
        }
        case Delete:
            return kovaAPIdeleteVoipFlow(op.id);
        case Extend: {
            kt::Flow f = describe(op.id);
            return kovaAPIcreateExtendedFlow(f.get(), parent_of(op.id), op.id);
        }
        case DeleteLast:
            return kovaAPIdeleteExtendedFlow(op.id);
        case DeleteWithChain:
            return kovaAPIdeleteFlowWithExtended(op.id);
        }
        return kNone;
    }

    void apply(const Op &op) {
        const uint32_t r = root_of(op.id);
        switch (op.kind) {
        case Create:
            main_live[r] = true, ++mains;
            break;
        case Delete:
        case DeleteWithChain:
            main_live[r] = false, chain[r] = 0, --mains;
            break;
        case Extend:
            ++chain[r];
            break;
        case DeleteLast:
            --chain[r];
            break;
        }
    }
};

class EngineView : public kt::StoreTest {};

// What every barrier of one operation must show.
struct BarrierCheck {
    std::vector<bool> may_use;  // live before or after the operation
    std::vector<bool> must_see; // live before and after it
    std::vector<std::string> faults;
    uint64_t barriers = 0;
    std::string last_write = "none";

    static void hook(const kova_host_trace_event *ev, void *ctx) {
        auto *self = static_cast<BarrierCheck *>(ctx);
        if (ev->op != KOVA_TRACE_BARRIER) {
            static const char *const names[] = {"", "memcpyQE", "memsetQE", "memsetQE32bit", "memcpyQE2"};
            std::ostringstream o;
            o << names[ev->op < 5 ? ev->op : 0] << " at slot " << ev->engine_off / KOVA_LUT_SIZE << " byte "
              << ev->engine_off % KOVA_LUT_SIZE << " len " << ev->len << " value " << ev->value;
            self->last_write = o.str();
            return;
        }
        ++self->barriers;
        self->check("barrier " + std::to_string(self->barriers) + " after " + self->last_write, false);
    }

    // `settled`: the operation has returned, so every live flow must be
    // reachable exactly once and nothing may be in transition.
    void check(const std::string &when, bool settled) {
        if (faults.size() > 20)
            return;
        Walk w;
        w.may_use = &may_use;
        w.all();
        for (auto &f : w.faults)
            faults.push_back(when + ": " + f);
        for (uint32_t id = 0; id < kIds; ++id) {
            if (!must_see[id] || (!settled && w.in_transition[bucket_of(id)]))
                continue;
            if (w.reached[id] == 0)
                faults.push_back(when + ": flow " + std::to_string(id) + " cannot be reached");
            else if (settled && w.reached[id] > 1)
                faults.push_back(when + ": flow " + std::to_string(id) + " is reached twice");
        }
        for (uint32_t b = 0; settled && b < kBuckets; ++b)
            if (w.in_transition[b])
                faults.push_back(when + ": the head of bucket " + std::to_string(b) + " is left in transition");
    }
};

TEST_F(EngineView, EveryBarrierOfEveryOperation) {
    constexpr uint32_t kSeed = 21, kOps = 4000;
    Churn churn(kSeed);
    BarrierCheck check;
    uint32_t deletions_before[8];
    std::memcpy(deletions_before, kova.delete_branch_count, sizeof deletions_before);
    uint32_t kinds[5] = {};
    kova_host_trace_hook(&BarrierCheck::hook, &check);
    kova_host_trace_start();

    for (uint32_t n = 0; n < kOps; ++n) {
        const Churn::Op op = churn.next();
        check.may_use = churn.live_set();
        check.must_see = check.may_use;
        Churn after = churn;
        after.apply(op);
        const std::vector<bool> live_after = after.live_set();
        for (uint32_t id = 0; id < kIds; ++id) {
            check.must_see[id] = check.must_see[id] && live_after[id];
            check.may_use[id] = check.may_use[id] || live_after[id];
        }
        check.last_write = "none";

        const uint32_t r = churn.call(op);
        churn.apply(op);
        ++kinds[op.kind];
        check.may_use = live_after;
        check.must_see = live_after;
        check.check("after the operation", true);
        if (r != KOVA_OK)
            check.faults.insert(check.faults.begin(), "result " + std::to_string(r));
        if (n % 100 == 99 || !check.faults.empty()) {
            const kt::FlowModel model = churn.model();
            for (auto &p : kt::check_table(&model))
                check.faults.push_back("table check: " + p);
        }
        if (!check.faults.empty()) {
            std::string all;
            for (size_t i = 0; i < check.faults.size() && i < 12; ++i)
                all += "  " + check.faults[i] + "\n";
            kova_host_trace_hook(nullptr, nullptr);
            FAIL() << "seed " << kSeed << ", operation " << n << ": " << op.text() << "\n" << all << kt::take_log();
        }
        kova_host_trace_start(); // keep the recorded events from piling up
    }
    kova_host_trace_hook(nullptr, nullptr);

    EXPECT_GT(check.barriers, 3u * kOps);
    for (uint32_t k = 0; k < 5; ++k)
        EXPECT_GT(kinds[k], kOps / 20) << "operation kind " << k;
    for (uint32_t c = 0; c < 8; ++c)
        EXPECT_GE(kova.delete_branch_count[c] - deletions_before[c], 10u) << "deletion case " << c + 1;
}

// ---- A reader thread beside the writer ------------------------------------
//
// The reader walks the copy as the engine does, with no lock, while the
// writer changes the table. It judges only what it read inside a window in
// which no engine write completed (the writer counts them), so a read that
// merely overlapped an orderly sequence of writes is not taken for a fault:
// in such a window at most one write was under way, and a sound writer never
// touches a live entry's bytes other than its links and its valid word.
struct Reader {
    const std::atomic<uint64_t> *writes; // engine writes and barriers so far
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> passes{0};
    uint64_t judged = 0, unsettled = 0;
    std::vector<std::string> faults;

    template <typename... A> void fault(A &&...parts) {
        std::ostringstream o;
        (o << ... << parts);
        faults.push_back(o.str());
    }

    static uint32_t tag_of(uint32_t slot) {
        return __atomic_load_n(reinterpret_cast<const uint32_t *>(engine_entry(slot) + KOVA_LUT_OFF_ACTIONS + 4),
                               __ATOMIC_ACQUIRE);
    }

    // One hop of the walk: from flow `from_id` in slot `from` along link
    // `field` (from == kNone: to the head of bucket b). The slot and flow
    // reached, or false where the walk ends.
    bool hop(uint32_t from, uint32_t from_id, uint32_t field, uint32_t b, uint32_t *slot, uint32_t *id) {
        for (int attempt = 0; attempt < 8; ++attempt) {
            uint8_t copy[KOVA_LUT_SIZE];
            const uint64_t w1 = writes->load(std::memory_order_acquire);
            bool from_used = true, link_ok = true;
            uint32_t to = kHeads[b];
            if (from != kNone) {
                from_used = valid_of(from) == KOVA_LUT_VALID_LIVE && tag_of(from) == (kIdTag | from_id);
                link_ok = slot_of_link(link_of(from, field), &to);
            }
            uint32_t v1 = 0, v2 = 0;
            if (link_ok && to != kNone) {
                v1 = valid_of(to);
                std::memcpy(copy, engine_entry(to), sizeof copy);
                std::atomic_thread_fence(std::memory_order_acquire);
                v2 = valid_of(to);
            }
            if (writes->load(std::memory_order_acquire) != w1) {
                ++unsettled;
                continue;
            }
            ++judged;
            if (!from_used)
                return false; // the entry we came from went out of use
            if (!link_ok) {
                fault("slot ", from, " link at byte ", field, " leads outside the table");
                return false;
            }
            if (to == kNone)
                return false;
            if (v1 == KOVA_LUT_VALID_OFF && from != kNone)
                fault("flow ", from_id, " in slot ", from, " links at byte ", field, " into slot ", to,
                      " whose valid word is 0");
            if (v1 != KOVA_LUT_VALID_LIVE || v2 != KOVA_LUT_VALID_LIVE)
                return false;
            std::string why;
            if (!expected().identify(copy, id, &why)) {
                fault("slot ", to, " with valid word 1 holds ", why);
                return false;
            }
            if (bucket_of(*id) != b)
                fault("flow ", *id, " in slot ", to, " is reached from the head of another bucket");
            if (field == KOVA_LUT_OFF_NEXT_EXT ? !is_ext(*id) || parent_of(*id) != from_id : is_ext(*id))
                fault("flow ", *id, " in slot ", to, " is reached through byte ", field, " of flow ", from_id);
            *slot = to;
            return true;
        }
        return false; // the writer kept writing; try this bucket again later
    }

    void extended_chain(uint32_t slot, uint32_t id, uint32_t b) {
        for (uint32_t guard = 0; guard <= kDepth; ++guard)
            if (!hop(slot, id, KOVA_LUT_OFF_NEXT_EXT, b, &slot, &id))
                return;
    }

    void bucket(uint32_t b) {
        uint32_t group, id;
        if (!hop(kNone, kNone, 0, b, &group, &id))
            return;
        // A guard against loops: no bucket holds more entries than this.
        for (uint32_t guard = 0; guard < kMains; ++guard) {
            extended_chain(group, id, b);
            uint32_t m = group, mid = id;
            for (uint32_t g2 = 0; g2 < kMains && hop(m, mid, KOVA_LUT_OFF_NEXT_CRC32, b, &m, &mid); ++g2)
                extended_chain(m, mid, b);
            if (!hop(group, id, KOVA_LUT_OFF_NEXT_CRC12, b, &group, &id))
                return;
        }
    }

    void run() {
        while (!stop.load() && faults.size() < 10) {
            for (uint32_t b = 0; b < kBuckets; ++b)
                bucket(b);
            passes.fetch_add(1);
        }
    }
};

// The writer's side: counts every engine write and barrier for the reader,
// and at each barrier gives the reader a moment to walk what is there.
struct WriterPace {
    std::atomic<uint64_t> writes{0};
    Reader *reader = nullptr;

    static void hook(const kova_host_trace_event *ev, void *ctx) {
        auto *self = static_cast<WriterPace *>(ctx);
        self->writes.fetch_add(1);
        if (ev->op != KOVA_TRACE_BARRIER)
            return;
        // A short busy wait: yielding would hand a loaded machine's CPU
        // to other work for a whole time slice at every barrier.
        const uint64_t p = self->reader->passes.load();
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(50);
        while (self->reader->passes.load() < p + 2 && std::chrono::steady_clock::now() < until) {
        }
    }
};

TEST_F(EngineView, ReaderThreadDuringChurn) {
    constexpr uint32_t kSeed = 22, kOps = 3000;
    WriterPace pace;
    Reader reader;
    reader.writes = &pace.writes;
    pace.reader = &reader;
    (void)expected(); // built before the reader needs it
    kova_host_trace_hook(&WriterPace::hook, &pace);
    kova_host_trace_start();
    std::thread engine([&] { reader.run(); });

    Churn churn(kSeed);
    uint32_t failed_at = kNone, result = KOVA_OK;
    std::string failed_op;
    for (uint32_t n = 0; n < kOps && reader.faults.empty(); ++n) {
        const Churn::Op op = churn.next();
        result = churn.call(op);
        if (result != KOVA_OK) {
            failed_at = n, failed_op = op.text();
            break;
        }
        churn.apply(op);
        if (n % 256 == 255)
            kova_host_trace_start(); // keep the recorded events from piling up
    }
    reader.stop = true;
    engine.join();
    kova_host_trace_hook(nullptr, nullptr);

    EXPECT_EQ(failed_at, kNone) << "seed " << kSeed << ", operation " << failed_at << ": " << failed_op
                                << " gave " << result;
    std::string all;
    for (auto &f : reader.faults)
        all += "  " + f + "\n";
    EXPECT_TRUE(reader.faults.empty()) << "seed " << kSeed << ":\n" << all;
    EXPECT_GT(reader.judged, 20000u) << reader.unsettled << " reads overlapped a write";
    const kt::FlowModel model = churn.model();
    EXPECT_TABLE_OK(&model);
}

} // namespace
