// Long random sequences of operations against a plain model: after each step the table
// holds exactly its flows; at every barrier the engine, which takes no lock, finds
// only entries it may use behind the links of the flows that lived before the step.
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
        return kovaAPIcreateVoipFlow(keyed_flow(crc, key).get(), a);
    }
    uint32_t extend(uint32_t parent, uint32_t a) {
        Live &p = flows_.at(parent);
        flows_[a] = {p.crc, p.key, p.depth + 1, parent, kNone};
        p.child = a;
        what_ << "extend " << parent << " with " << a;
        Flow f = keyed_flow(p.crc, p.key);
        f.rules[0].type = RULE_FORWARD_TO_CPU;
        return kovaAPIcreateExtendedFlow(f.get(), parent, a);
    }
    uint32_t step();

    std::mt19937_64 rng_;
    uint32_t next_key_ = 1, swings_ = 0;
    bool growing_ = true;
    std::ostringstream what_;
    std::map<uint32_t, Live> flows_;
    LinkWatch watch_;
};

// One random operation, applied to the model; kNone when none of its kind is possible.
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
    kova_host_trace_hook(&LinkWatch::at, &watch_);
    for (uint32_t n = 0; n < steps; ++n) {
        what_.str("");
        if (growing_ && flows_.size() >= high)
            growing_ = false;
        else if (!growing_ && flows_.size() <= low)
            growing_ = true, ++swings_;
        kova_host_trace_start(); // drops the events recorded so far
        watch_.slots.clear();
        for (const auto &[a, f] : flows_)
            watch_.slots.push_back(kova.appflow_map[a]);
        uint32_t got = kNone;
        while (got == kNone)
            got = step();
        FlowModel model;
        for (const auto &[a, f] : flows_)
            model[a] = f.crc;
        auto problems = check_table(&model);
        if (got != KOVA_OK || watch_.bad)
            problems.push_back("result " + std::to_string(got) + ", " + std::to_string(watch_.bad) +
                               " links to entries not in use");
        if (!problems.empty()) {
            ADD_FAILURE() << "seed " << seed << ", step " << n << ": " << what_.str() << "\n"
                          << first_problems(problems) << take_log();
            break;
        }
        kova_host_log_clear();
    }
    kova_host_trace_hook(nullptr, nullptr);
    EXPECT_GT(watch_.barriers, steps);
}

TEST_F(Model, OneBucketManyGroups) {
    run(14, 2000, 100, 2);
    for (uint32_t c = 0; c < 8; ++c)
        EXPECT_GT(kova.delete_branch_count[c], 0u) << "deletion case " << c + 1 << " never ran";
}

} // namespace
