// The engine reads its copy of the table without any lock of ours. These
// tests look at the copy as the engine does, at every barrier of every table
// operation and from a reader thread walking it while the table changes.
// Every entry the engine may use must be whole and belong to a flow that
// exists at that moment, no link may lead into an entry being cleared or
// written, and a flow the operation does not remove must stay reachable.
// Links are followed while they change, so each is written by one 8-byte
// store, never in pieces.
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
    std::memcpy(f.f.eth_dmac, dmac, 6);
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
// no counters here, so those stay zero). Built before any reader needs it.
const std::vector<std::vector<uint8_t>> &expected() {
    static const std::vector<std::vector<uint8_t>> bytes = [] {
        std::vector<std::vector<uint8_t>> b(kIds);
        for (uint32_t id = 0; id < kIds; ++id) {
            if (id >= kMains && (!is_ext(id) || root_of(id) >= kMains))
                continue;
            kt::Flow f = describe(id);
            kova_LUT lut{};
            int32_t length = KOVA_LUT_SIZE;
            if (kovaAPIcreateVoipLutEntry(f.get(), &lut, &length, KOVA_FLOW_STATE_WORD(3)) == KOVA_OK)
                b[id].assign(reinterpret_cast<uint8_t *>(&lut), reinterpret_cast<uint8_t *>(&lut) + 256);
        }
        return b;
    }();
    return bytes;
}

// The flow an entry is, or an explanation of why it is none.
bool identify(const uint8_t *e, uint32_t *id, std::string *why) {
    const uint32_t tag = kt::le32_at(e + KOVA_LUT_OFF_ACTIONS + 4);
    *id = tag & 0xFFFFFFu;
    if ((e[KOVA_LUT_OFF_ACTIONS] & 0x7F) != RULE_POLICING || (tag & 0xFF000000u) != kIdTag || *id >= kIds ||
        expected()[*id].empty()) {
        *why = "an entry that is no flow's (zeroed or half written)";
        return false;
    }
    const uint8_t *want = expected()[*id].data();
    if (std::memcmp(e, want, KOVA_LUT_OFF_NEXT_CRC12) != 0 ||
        std::memcmp(e + 96, want + 96, KOVA_LUT_OFF_VALID - 96) != 0) {
        *why = "a torn or mixed entry of flow " + std::to_string(*id);
        return false;
    }
    return true;
}

// ---- The engine's side of the copy ---------------------------------------

template <typename T> T load(uint32_t slot, uint32_t field) {
    return __atomic_load_n(reinterpret_cast<const T *>(kt::engine_slot(slot) + field), __ATOMIC_ACQUIRE);
}
uint32_t valid_of(uint32_t slot) { return load<uint32_t>(slot, KOVA_LUT_OFF_VALID); }

struct Faults {
    std::vector<std::string> faults;
    template <typename... A> void fault(A &&...parts) {
        std::ostringstream o;
        (o << ... << parts);
        faults.push_back(o.str());
    }
    std::string text(size_t max) const {
        std::string all;
        for (size_t i = 0; i < faults.size() && i < max; ++i)
            all += "  " + faults[i] + "\n";
        return all;
    }
};

// A walk of buckets in use, at a moment when no engine write completes:
// what the engine may use and reach from the heads.
struct Walk : Faults {
    std::vector<uint32_t> reached = std::vector<uint32_t>(kIds, 0);
    bool in_transition[kBuckets] = {};
    const std::vector<bool> *may_use = nullptr; // flows that may be seen now
    std::vector<bool> visited = std::vector<bool>(KOVA_LUT_ENTRIES, false);

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
        if (!identify(kt::engine_slot(slot), &id, &why)) {
            fault("slot ", slot, " with valid word 1 holds ", why);
            return kNone;
        }
        if (bucket_of(id) != b)
            fault("flow ", id, " in slot ", slot, " is reached from the head of another bucket");
        if (parent == kNone ? is_ext(id) : !is_ext(id) || parent_of(id) != parent)
            fault("flow ", id, " in slot ", slot, " is reached through the wrong link (parent ", parent, ")");
        if (may_use && !(*may_use)[id])
            fault("flow ", id, " in slot ", slot, " is used but does not exist now");
        ++reached[id];
        return id;
    }

    // Follows a link of a used entry. The target's slot when the engine may
    // use it; kNone at the end of a list or at an entry in transition.
    uint32_t follow(uint32_t from, uint32_t field) {
        const uint64_t link = load<uint64_t>(from, field), off = link - kova.hashtable_base_qe;
        if (link == 0)
            return kNone;
        if (link < kova.hashtable_base_qe || off % KOVA_LUT_SIZE != 0 || off / KOVA_LUT_SIZE >= KOVA_LUT_ENTRIES) {
            fault("slot ", from, " link at byte ", field, " leads outside the table");
            return kNone;
        }
        const uint32_t to = uint32_t(off / KOVA_LUT_SIZE), v = valid_of(to);
        if (v == KOVA_LUT_VALID_LIVE)
            return to;
        if (v == KOVA_LUT_VALID_OFF)
            fault("slot ", from, " link at byte ", field, " leads into slot ", to, " whose valid word is 0");
        else if (v != KOVA_LUT_VALID_DETACHED) // detached: in transition, not used
            fault("slot ", to, " has valid word ", v);
        return kNone;
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
        const uint32_t head = kHeads[b], v = valid_of(head);
        in_transition[b] = v == KOVA_LUT_VALID_DETACHED;
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

    enum Kind { Create, Extend, DeleteLast, Delete, DeleteWithChain };
    struct Op {
        Kind kind;
        uint32_t id; // the main flow, or the extended flow for Extend and DeleteLast
        std::string text() const { return "kind " + std::to_string(kind) + " on " + std::to_string(id); }
    };

    // A random operation that must succeed; the population swings between
    // almost nothing and most of the main flows.
    Op next() {
        if (growing && mains >= kMains * 5 / 8)
            growing = false;
        else if (!growing && mains <= 2)
            growing = true;
        // Cumulative percentages of the kinds in the order of Kind.
        static const uint32_t grow[] = {55, 70, 78, 90}, shrink[] = {10, 25, 40, 70};
        const uint32_t *split = growing ? grow : shrink;
        for (;;) {
            const uint32_t roll = below(100);
            uint32_t k = 0;
            while (k < 4 && roll >= split[k])
                ++k;
            const Kind kind = Kind(k);
            std::vector<uint32_t> roots;
            for (uint32_t r = 0; r < kMains; ++r)
                if (kind == Create       ? !main_live[r]
                    : kind == Extend     ? main_live[r] && chain[r] < kDepth
                    : kind == DeleteLast ? chain[r] > 0
                    : kind == Delete     ? main_live[r] && chain[r] == 0
                                         : main_live[r])
                    roots.push_back(r);
            if (roots.empty())
                continue;
            const uint32_t r = roots[below(uint32_t(roots.size()))];
            return {kind, kind == Extend ? ext_id(r, chain[r]) : kind == DeleteLast ? ext_id(r, chain[r] - 1) : r};
        }
    }

    static uint32_t call(const Op &op) {
        kt::Flow f = describe(op.id);
        switch (op.kind) {
        case Create:
            return kovaAPIcreateVoipFlow(f.get(), op.id);
        case Extend:
            return kovaAPIcreateExtendedFlow(f.get(), parent_of(op.id), op.id);
        case DeleteLast:
            return kovaAPIdeleteExtendedFlow(op.id);
        case Delete:
            return kovaAPIdeleteVoipFlow(op.id);
        default:
            return kovaAPIdeleteFlowWithExtended(op.id);
        }
    }

    void apply(const Op &op) {
        const uint32_t r = root_of(op.id);
        if (op.kind == Extend || op.kind == DeleteLast) {
            chain[r] += op.kind == Extend ? 1 : -1;
        } else {
            mains += op.kind == Create ? 1 : -1;
            main_live[r] = op.kind == Create;
            chain[r] = 0;
        }
    }
};

// ---- A reader thread beside the writer ------------------------------------
//
// The reader walks the copy as the engine does, with no lock, while the
// writer changes the table. A bucket's walk is judged only when no engine
// write completed during it (the writer counts them), so a walk that merely
// overlapped an orderly sequence of writes is not taken for a fault: at most
// one write was under way, and a sound writer never touches a live entry's
// bytes other than its links and its valid word.
struct Reader : Faults {
    std::atomic<uint64_t> writes{0}; // engine writes and barriers so far
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> passes{0};
    uint64_t judged = 0, unsettled = 0;

    void run() {
        while (!stop.load() && faults.size() < 10) {
            for (uint32_t b = 0; b < kBuckets; ++b) {
                const uint64_t w1 = writes.load(std::memory_order_acquire);
                Walk w;
                w.bucket(b);
                if (writes.load(std::memory_order_acquire) != w1) {
                    ++unsettled;
                    continue;
                }
                ++judged;
                faults.insert(faults.end(), w.faults.begin(), w.faults.end());
            }
            passes.fetch_add(1);
        }
    }
};

// ---- The writer's side: what every barrier of one operation must show ----
struct BarrierCheck : Faults {
    std::vector<bool> may_use;  // live before or after the operation
    std::vector<bool> must_see; // live before and after it
    uint64_t barriers = 0;
    std::string last_write = "none";
    Reader *reader = nullptr;

    // A write reaching a link field is one 8-byte store of exactly that
    // field, of the value the engine now reads there; only an entry the
    // engine does not use (valid word not 1) is written whole, from its
    // first byte over its links.
    void check_link_write(const kova_host_trace_event &e, const std::string &what) {
        const uint32_t slot = uint32_t(e.engine_off / KOVA_LUT_SIZE), first = uint32_t(e.engine_off % KOVA_LUT_SIZE);
        const uint64_t end = first + e.len;
        if ((end <= KOVA_LUT_OFF_NEXT_CRC12 || first >= KOVA_LUT_OFF_NEXT_EXT + 8) && end <= KOVA_LUT_SIZE)
            return;
        if (e.op == KOVA_TRACE_STORE64 ? e.len != 8 || (first != KOVA_LUT_OFF_NEXT_CRC12 && first != KOVA_LUT_OFF_NEXT_CRC32 &&
                                                        first != KOVA_LUT_OFF_NEXT_EXT)
                                       : first != 0 || end > KOVA_LUT_SIZE || valid_of(slot) == KOVA_LUT_VALID_LIVE)
            fault(what, ": not a single store of one link, nor a whole unused entry");
        else if (e.op == KOVA_TRACE_STORE64 && load<uint64_t>(slot, first) != e.src_off)
            fault(what, ": the engine reads ", load<uint64_t>(slot, first), ", not the stored value");
    }

    // Counts every engine write for the reader. At a barrier, walks the copy
    // and then gives the reader a moment to walk what is there: a short busy
    // wait, as yielding would hand a loaded machine's CPU to other work for a
    // whole time slice at every barrier.
    static void hook(const kova_host_trace_event *ev, void *ctx) {
        auto *self = static_cast<BarrierCheck *>(ctx);
        self->reader->writes.fetch_add(1);
        if (ev->op != KOVA_TRACE_BARRIER) {
            std::ostringstream o;
            o << "write op " << ev->op << " at slot " << ev->engine_off / KOVA_LUT_SIZE << " byte "
              << ev->engine_off % KOVA_LUT_SIZE << " len " << ev->len << " value "
              << (ev->op == KOVA_TRACE_STORE64 ? ev->src_off : ev->value);
            self->last_write = o.str();
            self->check_link_write(*ev, o.str());
            return;
        }
        ++self->barriers;
        self->check("barrier " + std::to_string(self->barriers) + " after " + self->last_write, false);
        const uint64_t p = self->reader->passes.load();
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(50);
        while (self->reader->passes.load() < p + 2 && std::chrono::steady_clock::now() < until) {
        }
    }

    // `settled`: the operation has returned, so every live flow must be
    // reachable exactly once and nothing may be in transition.
    void check(const std::string &when, bool settled) {
        if (faults.size() > 20)
            return;
        Walk w;
        w.may_use = &may_use;
        for (uint32_t b = 0; b < kBuckets; ++b)
            w.bucket(b);
        for (auto &f : w.faults)
            faults.push_back(when + ": " + f);
        for (uint32_t id = 0; id < kIds; ++id) {
            if (!must_see[id] || (!settled && w.in_transition[bucket_of(id)]))
                continue;
            if (w.reached[id] == 0)
                fault(when, ": flow ", id, " cannot be reached");
            else if (settled && w.reached[id] > 1)
                fault(when, ": flow ", id, " is reached twice");
        }
        for (uint32_t b = 0; settled && b < kBuckets; ++b)
            if (w.in_transition[b])
                fault(when, ": the head of bucket ", b, " is left in transition");
    }
};

class EngineView : public kt::StoreTest {};

TEST_F(EngineView, EveryBarrierAndReaderThreadDuringChurn) {
    constexpr uint32_t kSeed = 21, kOps = 4000;
    Churn churn(kSeed);
    Reader reader;
    BarrierCheck check;
    check.reader = &reader;
    uint32_t kinds[5] = {};
    (void)expected();
    kova_host_trace_hook(&BarrierCheck::hook, &check);
    kova_host_trace_start();
    std::thread engine([&] { reader.run(); });

    std::string failed;
    for (uint32_t n = 0; n < kOps && failed.empty() && reader.faults.empty(); ++n) {
        const Churn::Op op = churn.next();
        check.may_use = check.must_see = churn.live_set();
        churn.apply(op);
        const std::vector<bool> live_after = churn.live_set();
        for (uint32_t id = 0; id < kIds; ++id) {
            check.must_see[id] = check.must_see[id] && live_after[id];
            check.may_use[id] = check.may_use[id] || live_after[id];
        }
        check.last_write = "none";

        const uint32_t r = Churn::call(op);
        ++kinds[op.kind];
        check.may_use = check.must_see = live_after;
        check.check("after the operation", true);
        if (r != KOVA_OK)
            check.faults.insert(check.faults.begin(), "result " + std::to_string(r));
        if (n % 100 == 99 || !check.faults.empty()) {
            kt::FlowModel model;
            for (uint32_t id = 0; id < kIds; ++id)
                if (live_after[id])
                    model[id] = crc_of(id);
            for (auto &p : kt::check_table(&model))
                check.faults.push_back("table check: " + p);
        }
        if (!check.faults.empty())
            failed = "operation " + std::to_string(n) + ": " + op.text() + "\n" + check.text(12) + kt::take_log();
        kova_host_trace_start(); // keep the recorded events from piling up
    }
    reader.stop = true;
    engine.join();
    kova_host_trace_hook(nullptr, nullptr);

    ASSERT_EQ(failed, "") << "seed " << kSeed;
    EXPECT_TRUE(reader.faults.empty()) << "seed " << kSeed << ", reader thread:\n" << reader.text(10);
    EXPECT_GT(reader.judged, 20000u) << reader.unsettled << " bucket walks overlapped a write";
    EXPECT_GT(check.barriers, 3u * kOps);
    for (uint32_t k = 0; k < 5; ++k)
        EXPECT_GT(kinds[k], kOps / 20) << "operation kind " << k;
    for (uint32_t c = 0; c < 8; ++c)
        EXPECT_GE(kova.delete_branch_count[c], 10u) << "deletion case " << c + 1;
}

} // namespace
