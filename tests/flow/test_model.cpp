// Long random sequences of operations against a plain model: after each step
// the table holds exactly the model's flows and chains. The engine reads its
// copy without our lock, so at every barrier the copy is also walked as the
// engine walks it.
#include <cstring>
#include <random>
#include <sstream>

#include "support/kova_test.h"
#include "support/table_check.h"

namespace {

using namespace kt;

constexpr uint32_t kNone = 0xFFFFFFFFu, kIdSpace = 3000, kHead = 0x1234;

struct Live {
    uint32_t crc, key; // an extended flow has its chain's key and CRC32
    uint32_t depth;    // 0 for a main flow, n for the n-th extended flow of a chain
    uint32_t parent, child;
};
using Flows = std::map<uint32_t, Live>;

// An entry names its flow: appflowid in the first rule, key in the second,
// kind in the third; one mixed from two flows, half written or zeroed is none.
Flow flow(uint32_t crc, uint32_t key, uint32_t a, bool extended) {
    Flow f = keyed_flow(crc, key);
    f.rules.resize(3);
    f.rules[0].type = f.rules[1].type = RULE_POLICING;
    f.rules[0].param.policing.weight = a;
    f.rules[1].param.policing.weight = key;
    f.rules[2].type = extended ? RULE_FORWARD_TO_CPU : RULE_SET_TOS;
    return f;
}

uint32_t valid_of(uint32_t slot) {
    return __atomic_load_n(
        reinterpret_cast<const uint32_t *>(engine_slot(slot) + KOVA_LUT_OFF_VALID),
        __ATOMIC_ACQUIRE);
}

class Model : public StoreTest {
protected:
    void run(uint32_t seed, uint32_t steps, uint32_t high, uint32_t low);
    uint32_t below(uint32_t n) { return uint32_t(rng_() % n); }
    // One bucket of 24, then 2, then 1 groups: long same-CRC lists, every head
    // deletion a move, and every chain situation a deletion can meet.
    uint32_t new_crc() {
        const uint32_t groups[3] = {24, 2, 1};
        return kHead << KOVA_LUT_BUCKET_SHIFT | (1 + below(groups[swings_ % 3])) * 0x0101u;
    }
    uint32_t unused_id() {
        for (;;)
            if (const uint32_t a = below(kIdSpace); !flows_.count(a))
                return a;
    }
    template <typename P> uint32_t pick(P pred) { // a live flow with the property, or kNone
        std::vector<uint32_t> c;
        for (const auto &[a, f] : flows_)
            if (pred(f))
                c.push_back(a);
        return c.empty() ? kNone : c[below(uint32_t(c.size()))];
    }
    uint32_t create(uint32_t a) {
        const uint32_t crc = new_crc(), key = next_key_++;
        flows_[a] = {crc, key, 0, kNone, kNone};
        what_ << "create " << a << " crc " << std::hex << crc << std::dec;
        return kovaAPIcreateVoipFlow(flow(crc, key, a, false).get(), a);
    }
    uint32_t extend(uint32_t parent, uint32_t a) {
        Live &p = flows_.at(parent);
        flows_[a] = {p.crc, p.key, p.depth + 1, parent, kNone};
        p.child = a;
        longest_ = std::max(longest_, p.depth + 1);
        what_ << "extend " << parent << " with " << a;
        return kovaAPIcreateExtendedFlow(flow(p.crc, p.key, a, true).get(), parent, a);
    }
    template <typename... A> void fail(A &&...parts) {
        std::ostringstream o;
        (o << ... << parts);
        problems_.push_back(o.str());
    }
    uint32_t step();
    void check_engine_view(const std::string &when);
    static void hook(const kova_host_trace_event *ev, void *ctx);

    std::mt19937_64 rng_;
    uint32_t next_key_ = 1, step_ = 0, swings_ = 0, longest_ = 0, barriers_ = 0;
    bool growing_ = true;
    std::ostringstream what_;
    std::string last_write_;
    std::vector<std::string> problems_; // of the current step
    Flows flows_, before_;
};

// The write before each barrier is named in the failures found at it; the
// golden write sequences of the table tests check each write's shape.
void Model::hook(const kova_host_trace_event *e, void *ctx) {
    auto *self = static_cast<Model *>(ctx);
    if (e->op == KOVA_TRACE_BARRIER)
        return self->check_engine_view("barrier " + std::to_string(++self->barriers_) + " after " +
                                       self->last_write_);
    self->last_write_ = "write op " + std::to_string(e->op) + " at " +
                        std::to_string(e->engine_off) + " len " + std::to_string(e->len);
}

// Walks the bucket as the engine does: a flow living across the step is reached
// unless its head is in transition (the table check covers the settled table).
void Model::check_engine_view(const std::string &when) {
    if (problems_.size() > 20)
        return;
    std::map<uint32_t, uint32_t> reached;
    std::vector<bool> visited(KOVA_LUT_ENTRIES, false);
    const Flows &old = before_;
    // Where a link leads if the engine may use the entry there, else kNone.
    auto follow = [&](uint32_t from, uint32_t field) {
        const uint64_t link = le64_at(engine_slot(from) + field),
                       off = link - kova.hashtable_base_qe;
        if (link == 0)
            return kNone;
        if (link < kova.hashtable_base_qe || off % KOVA_LUT_SIZE ||
            off / KOVA_LUT_SIZE >= KOVA_LUT_ENTRIES) {
            fail(when, ": slot ", from, " link ", field, " leads outside the table");
            return kNone;
        }
        const uint32_t to = uint32_t(off / KOVA_LUT_SIZE), v = valid_of(to);
        if (v != KOVA_LUT_VALID_LIVE && v != KOVA_LUT_VALID_DETACHED)
            fail(when, ": slot ", from, " link ", field, " leads to slot ", to, " valid ", v);
        return v == KOVA_LUT_VALID_LIVE ? to : kNone;
    };
    // The flow of an entry reached through a bucket link or `parent`'s next_ext.
    auto use = [&](uint32_t slot, uint32_t head, uint32_t parent) {
        const uint8_t *e = engine_slot(slot);
        const uint32_t a = le32_at(e + KOVA_LUT_OFF_ACTIONS + 4) & 0xFFFFFFu;
        const Live *m = flows_.count(a) ? &flows_.at(a) : old.count(a) ? &old.at(a) : nullptr;
        kova_LUT lut{};
        int32_t length = KOVA_LUT_SIZE;
        const uint8_t *w = reinterpret_cast<const uint8_t *>(&lut);
        if (visited[slot] || !m ||
            kovaAPIcreateVoipLutEntry(flow(m->crc, m->key, a, m->depth).get(), &lut, &length,
                                      0x3000000) ||
            std::memcmp(e, w, KOVA_LUT_OFF_NEXT_CRC12) || std::memcmp(e + 96, w + 96, 8) ||
            std::memcmp(e + KOVA_LUT_OFF_ACTIONS, w + KOVA_LUT_OFF_ACTIONS,
                        KOVA_LUT_OFF_VALID - KOVA_LUT_OFF_ACTIONS)) {
            fail(when, ": slot ", slot, " is reached twice or holds no whole entry of a flow");
            return kNone;
        }
        visited[slot] = true;
        if (m->crc >> KOVA_LUT_BUCKET_SHIFT != head ||
            (parent == kNone ? m->depth != 0 : m->parent != parent))
            fail(when, ": flow ", a, " in slot ", slot, " is reached from parent ", parent);
        ++reached[a];
        return a;
    };
    auto with_extended = [&](uint32_t slot, uint32_t a, uint32_t head) {
        while (a != kNone && (slot = follow(slot, KOVA_LUT_OFF_NEXT_EXT)) != kNone)
            a = use(slot, head, a);
    };
    const uint32_t head = kHead, v = valid_of(head);
    for (uint32_t g = head, a;
         v == KOVA_LUT_VALID_LIVE && g != kNone && (a = use(g, head, kNone)) != kNone;
         g = follow(g, KOVA_LUT_OFF_NEXT_CRC12)) {
        with_extended(g, a, head);
        for (uint32_t s = follow(g, KOVA_LUT_OFF_NEXT_CRC32), b;
             s != kNone && (b = use(s, head, kNone)) != kNone;
             s = follow(s, KOVA_LUT_OFF_NEXT_CRC32)) {
            if (le32_at(engine_slot(s) + KOVA_LUT_OFF_CRC32) !=
                le32_at(engine_slot(g) + KOVA_LUT_OFF_CRC32))
                fail(when, ": flow ", b, " has another CRC32 than its group's ", a);
            with_extended(s, b, head);
        }
    }
    for (const auto &[a, f] : flows_)
        if (before_.count(a) && v != KOVA_LUT_VALID_DETACHED && !reached.count(a))
            fail(when, ": flow ", a, " is not reached");
}

// One random operation, applied to the model; kNone when none of its kind is
// possible. The population swings between `low` and `high`, filling and emptying buckets.
uint32_t Model::step() {
    const uint32_t grow = growing_ ? 60 : 10, rest = 100 - grow, roll = below(100);
    const uint32_t extend_to = grow + rest * 25 / 100, remove_to = extend_to + rest * 35 / 100,
                   last_to = remove_to + rest * 15 / 100, chain_to = last_to + rest * 15 / 100;
    if (roll < grow)
        return create(unused_id());
    if (roll < extend_to) { // on a main flow or the last of a chain
        const uint32_t parent = pick([](const Live &l) { return l.child == kNone; });
        return parent == kNone ? kNone : extend(parent, unused_id());
    }
    const uint32_t a = pick([&](const Live &l) {
        return roll < remove_to ? !l.depth && l.child == kNone
               : roll < last_to ? l.depth && l.child == kNone
                                : !l.depth;
    });
    if (a == kNone || roll >= chain_to)
        return kNone;
    if (roll < remove_to) {
        what_ << "delete " << a;
        flows_.erase(a);
        return kovaAPIdeleteVoipFlow(a);
    }
    if (roll < last_to) {
        what_ << "delete last extended " << a;
        flows_.at(flows_.at(a).parent).child = kNone;
        flows_.erase(a);
        return kovaAPIdeleteExtendedFlow(a);
    }
    what_ << "delete " << a << " with its chain";
    for (uint32_t cur = a, next; cur != kNone; cur = next) {
        next = flows_.at(cur).child;
        flows_.erase(cur);
    }
    return kovaAPIdeleteFlowWithExtended(a);
}

void Model::run(uint32_t seed, uint32_t steps, uint32_t high, uint32_t low) {
    rng_.seed(seed);
    kova_host_trace_hook(&Model::hook, this);
    for (step_ = 0; step_ < steps; ++step_) {
        what_.str("");
        problems_.clear();
        last_write_ = "none";
        if (growing_ && flows_.size() >= high)
            growing_ = false;
        else if (!growing_ && flows_.size() <= low)
            growing_ = true, ++swings_;
        before_ = flows_;
        kova_host_trace_start(); // drops the events recorded so far
        uint32_t got = kNone;
        while (got == kNone)
            got = step();
        if (got != KOVA_OK)
            fail("result ", got);
        FlowModel model;
        for (const auto &[a, f] : flows_)
            model[a] = f.crc;
        for (auto &p : check_table(&model))
            problems_.push_back(p);
        if (!problems_.empty()) {
            ADD_FAILURE() << "seed " << seed << ", step " << step_ << ": " << what_.str() << "\n"
                          << first_problems(problems_) << take_log();
            break;
        }
        kova_host_log_clear();
    }
    kova_host_trace_hook(nullptr, nullptr);
    EXPECT_GE(swings_, 2u) << "the population did not swing to " << high << " and back twice";
    EXPECT_GE(longest_, 3u);
    EXPECT_GT(barriers_, steps);
}

TEST_F(Model, OneBucketManyGroups) {
    run(14, 2000, 100, 2);
    for (uint32_t c = 0; c < 8; ++c)
        EXPECT_GT(kova.delete_branch_count[c], 0u) << "deletion case " << c + 1 << " never ran";
}

} // namespace
