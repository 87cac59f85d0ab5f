// Long random sequences of creations, deletions and extended-flow
// operations, each checked against a plain model of the table: which
// appflowids are live, their CRC32, which are extended and how their chains
// run. Every call's result must be the one the model predicts, and after
// every call the whole table must be sound and hold exactly the model's
// flows. Runs are reproducible: a failure names the seed and the step.
#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/kova_test.h"
#include "support/table_check.h"

namespace {

using kt::le64_at;

constexpr uint32_t kNone = 0xFFFFFFFFu;
// Appflowids are drawn from a small range so that freed ones come back.
constexpr uint32_t kIdSpace = 3000;

// How the CRC32 values of new flows are chosen.
enum class Crcs {
    Uniform,   // any 32-bit value: mostly lone heads, some collisions
    OneCrc,    // one value for all: a single group in a single bucket
    OneBucket, // one top-14-bit value, two dozen low parts: many groups
};

struct Plan {
    Crcs crcs;
    uint32_t seed;
    uint32_t steps;
    uint32_t target_live; // the population swings between these two
    uint32_t low_live;
};

// What the model knows of one live flow.
struct Live {
    uint32_t crc;
    uint32_t key;     // key seed of its chain's main flow (extended flows share it)
    bool extended;
    uint32_t parent;  // extended: the flow it hangs on
    uint32_t child;   // the extended flow hung on it, or kNone
};

// The description of a main flow, and of an extended flow with the same
// lookup data (same key, same CRC32) but rules of its own.
kt::Flow main_flow(uint32_t crc, uint32_t key) {
    kt::Flow f = kt::keyed_flow(crc, key);
    f.rules.resize(2);
    f.rules[0].type = RULE_POLICING;
    f.rules[0].param.policing.weight = key;
    f.rules[1].type = RULE_DROP_PACKET;
    return f;
}
kt::Flow extended_flow(uint32_t crc, uint32_t key, uint32_t appflowid) {
    kt::Flow f = kt::keyed_flow(crc, key);
    f.rules.resize(3);
    f.rules[0].type = RULE_FORWARD_TO_CPU;
    f.rules[0].param.forward_cpu.priority = uint8_t(appflowid & 7);
    f.rules[1].type = RULE_POLICING;
    f.rules[1].param.policing.weight = appflowid;
    f.rules[2].type = RULE_DROP_PACKET;
    return f;
}

class Model : public kt::StoreTest {
protected:
    void run(const Plan &r);

private:
    // The next random number below n; one engine for the whole run keeps it
    // reproducible from the seed.
    uint32_t below(uint32_t n) { return uint32_t(rng_() % n); }
    bool chance(uint32_t percent) { return below(100) < percent; }

    uint32_t new_crc() {
        switch (crcs_) {
        case Crcs::Uniform:
            return uint32_t(rng_());
        case Crcs::OneCrc:
            return 0x5A5A0003u;
        case Crcs::OneBucket: {
            // Two dozen groups; every other swing of the population, two.
            const uint32_t group = below(swings_ % 2 ? 2 : 24);
            return 0x1234u << KOVA_LUT_BUCKET_SHIFT | (1 + group) * 0x0101u;
        }
        }
        return 0;
    }

    bool live(uint64_t a) const { return a < KOVA_APP_FLOWS && flows_.count(uint32_t(a)) != 0; }
    uint32_t unused_id() {
        for (;;) {
            const uint32_t a = below(kIdSpace);
            if (!live(a))
                return a;
        }
    }
    // A live flow with the property, or kNone.
    template <typename P> uint32_t pick(P pred) {
        std::vector<uint32_t> c;
        for (const auto &[a, f] : flows_)
            if (pred(f))
                c.push_back(a);
        return c.empty() ? kNone : c[below(uint32_t(c.size()))];
    }

    // Predicted results. The runs stay far below the 16384 overflow slots,
    // so a full table is not among them.
    uint32_t predict_create(uint64_t a) const { return a >= KOVA_APP_FLOWS || live(a) ? KOVA_ERR_INVALID : KOVA_OK; }
    uint32_t predict_extend(uint64_t parent, uint64_t a, bool same_lookup) const {
        if (parent >= KOVA_APP_FLOWS || a >= KOVA_APP_FLOWS || live(a) || !live(parent))
            return KOVA_ERR_INVALID;
        if (flows_.at(uint32_t(parent)).child != kNone || !same_lookup)
            return KOVA_ERR_INVALID;
        return KOVA_OK;
    }
    uint32_t predict_delete(uint64_t a) const {
        if (!live(a))
            return KOVA_ERR_INVALID;
        const Live &f = flows_.at(uint32_t(a));
        return f.extended || f.child != kNone ? KOVA_ERR_INVALID : KOVA_OK;
    }
    uint32_t predict_delete_last_extended(uint64_t a) const {
        if (!live(a))
            return KOVA_ERR_INVALID;
        const Live &f = flows_.at(uint32_t(a));
        return !f.extended || f.child != kNone ? KOVA_ERR_INVALID : KOVA_OK;
    }
    uint32_t predict_delete_with_chain(uint64_t a) const {
        if (!live(a))
            return KOVA_ERR_INVALID;
        return flows_.at(uint32_t(a)).extended ? KOVA_ERR_INVALID : KOVA_OK;
    }

    // The model's side of the successful operations.
    void add_main(uint32_t a, uint32_t crc, uint32_t key) { flows_[a] = {crc, key, false, kNone, kNone}; }
    void add_extended(uint32_t parent, uint32_t a) {
        Live &p = flows_.at(parent);
        flows_[a] = {p.crc, p.key, true, parent, kNone};
        p.child = a;
        uint32_t length = 0;
        for (uint32_t cur = a; flows_.at(cur).extended; cur = flows_.at(cur).parent)
            ++length;
        longest_chain_ = std::max(longest_chain_, length);
    }
    void remove_last_extended(uint32_t a) {
        flows_.at(flows_.at(a).parent).child = kNone;
        flows_.erase(a);
    }
    void remove_with_chain(uint32_t a) {
        for (uint32_t cur = a; cur != kNone;) {
            const uint32_t next = flows_.at(cur).child;
            flows_.erase(cur);
            cur = next;
        }
    }

    // One random operation: its description, the predicted and the actual
    // result. Applies the model's change when the prediction is success.
    void step(std::string &what, uint32_t &want, uint32_t &got);
    void invalid_step(std::string &what, uint32_t &want, uint32_t &got);

    // Statistics the engine would have kept, put into the flow's engine
    // entry just before a deletion that must hand them back.
    void plant_stats(uint32_t a) {
        uint8_t *e = kt::engine_slot(kova.appflow_map[a]);
        for (uint32_t i = 0; i < 3; ++i) {
            const uint32_t v = step_no_ * 3 + i + 1;
            std::memcpy(e + KOVA_LUT_OFF_PACKET_CNT + 4 * i, &v, 4);
        }
    }
    void expect_stats(uint32_t result, const uint32_t *stats) {
        for (uint32_t i = 0; i < 3; ++i)
            if (result == KOVA_OK && stats[i] != step_no_ * 3 + i + 1 && extra_problem_.empty())
                extra_problem_ = "statistics word " + std::to_string(i) + " is " + std::to_string(stats[i]);
    }

    // Where the model's chains and the module's records disagree.
    std::vector<std::string> chain_problems() const;
    kt::FlowModel crc_model() const {
        kt::FlowModel m;
        for (const auto &[a, f] : flows_)
            m[a] = f.crc;
        return m;
    }

    std::mt19937_64 rng_;
    Crcs crcs_ = Crcs::Uniform;
    uint32_t target_live_ = 0, low_live_ = 0;
    uint32_t next_key_ = 1;
    uint32_t step_no_ = 0;
    bool growing_ = true;
    uint32_t swings_ = 0; // times the population went up and down
    uint32_t longest_chain_ = 0;
    std::string extra_problem_; // found by the step itself
    std::map<uint32_t, Live> flows_;
};

std::vector<std::string> Model::chain_problems() const {
    std::vector<std::string> out;
    auto fail = [&](uint32_t a, const std::string &why) {
        std::ostringstream o;
        o << "appflowid " << a << ": " << why;
        out.push_back(o.str());
    };
    for (const auto &[a, f] : flows_) {
        const uint32_t s = kova.appflow_map[a];
        if (s >= KOVA_LUT_ENTRIES)
            continue; // reported by the table check
        const kova_LUT_INFO &r = kova.lut_info[s];
        if (r.is_extended != (f.extended ? 1 : 0))
            fail(a, f.extended ? "should be extended" : "should not be extended");
        if (f.extended && r.prev_flowid != kova.appflow_map[f.parent])
            fail(a, "does not hang on appflowid " + std::to_string(f.parent));
        const uint64_t ext = le64_at(kt::shadow_slot(s) + KOVA_LUT_OFF_NEXT_EXT);
        if (f.child == kNone && ext != 0)
            fail(a, "carries an extended flow it should not have");
        if (f.child != kNone && (ext != kt::shadow_addr(kova.appflow_map[f.child]) || r.ext_appflowid != f.child))
            fail(a, "does not carry appflowid " + std::to_string(f.child));
    }
    return out;
}

void Model::step(std::string &what, uint32_t &want, uint32_t &got) {
    std::ostringstream o;
    // The population swings between almost empty and the target, so that
    // buckets fill up and empty out again.
    const uint32_t n = uint32_t(flows_.size());
    if (growing_ && n >= target_live_)
        growing_ = false;
    else if (!growing_ && n <= low_live_)
        growing_ = true, ++swings_;
    // Creations take `grow` percent; the rest is shared out in fixed parts.
    const uint32_t grow = growing_ ? 60 : 10, rest = 100 - grow;
    const uint32_t extend = grow + rest * 25 / 100, remove = extend + rest * 35 / 100,
                   remove_last = remove + rest * 15 / 100, remove_chain = remove_last + rest * 15 / 100;
    const uint32_t roll = below(100);

    if (roll < grow) {
        const uint32_t a = unused_id(), crc = new_crc(), key = next_key_++;
        kt::Flow f = main_flow(crc, key);
        o << "create " << a << " crc " << std::hex << crc;
        want = predict_create(a);
        got = kovaAPIcreateVoipFlow(f.get(), a);
        if (want == KOVA_OK)
            add_main(a, crc, key);
    } else if (roll < extend) {
        // On a flow without an extended flow: a main flow, or the last of a chain.
        const uint32_t parent = pick([](const Live &l) { return l.child == kNone; });
        if (parent == kNone)
            return invalid_step(what, want, got);
        const uint32_t a = unused_id();
        const Live &p = flows_.at(parent);
        kt::Flow f = extended_flow(p.crc, p.key, a);
        o << "extend " << parent << " with " << a;
        want = predict_extend(parent, a, true);
        got = kovaAPIcreateExtendedFlow(f.get(), parent, a);
        if (want == KOVA_OK)
            add_extended(parent, a);
    } else if (roll < remove) {
        const uint32_t a = pick([](const Live &l) { return !l.extended && l.child == kNone; });
        if (a == kNone)
            return invalid_step(what, want, got);
        want = predict_delete(a);
        if (chance(50)) {
            o << "delete " << a;
            got = kovaAPIdeleteVoipFlow(a);
        } else {
            o << "delete " << a << " with statistics";
            plant_stats(a);
            uint32_t stats[3] = {};
            got = kovaAPIdeleteVoipFlowWithStats(a, stats);
            expect_stats(got, stats);
        }
        if (want == KOVA_OK)
            flows_.erase(a);
    } else if (roll < remove_last) {
        const uint32_t a = pick([](const Live &l) { return l.extended && l.child == kNone; });
        if (a == kNone)
            return invalid_step(what, want, got);
        o << "delete last extended " << a;
        want = predict_delete_last_extended(a);
        got = kovaAPIdeleteExtendedFlow(a);
        if (want == KOVA_OK)
            remove_last_extended(a);
    } else if (roll < remove_chain) {
        const uint32_t a = pick([](const Live &l) { return !l.extended; });
        if (a == kNone)
            return invalid_step(what, want, got);
        o << "delete " << a << " with its chain";
        want = predict_delete_with_chain(a);
        if (chance(50)) {
            got = kovaAPIdeleteFlowWithExtended(a);
        } else {
            plant_stats(a);
            uint32_t stats[3] = {};
            got = kovaAPIdeleteFlowWithExtendedWithStats(a, stats);
            expect_stats(got, stats);
        }
        if (want == KOVA_OK)
            remove_with_chain(a);
    } else {
        return invalid_step(what, want, got);
    }
    what = o.str();
}

// Calls the model says must be refused; a refusal changes nothing, which
// the table check after the step confirms.
void Model::invalid_step(std::string &what, uint32_t &want, uint32_t &got) {
    std::ostringstream o;
    const uint32_t any = pick([](const Live &) { return true; });
    const uint32_t ext = pick([](const Live &l) { return l.extended; });
    const uint32_t inner = pick([](const Live &l) { return l.child != kNone; }); // not last of its chain
    const uint32_t plain = pick([](const Live &l) { return !l.extended; });
    const uint32_t unknown = unused_id();
    const uint32_t out_of_range = KOVA_APP_FLOWS + below(3) * 0x10000u;

    switch (below(11)) {
    case 0: { // a used appflowid
        if (any == kNone)
            break;
        kt::Flow f = main_flow(new_crc(), next_key_++);
        o << "create with used appflowid " << any;
        want = predict_create(any);
        got = kovaAPIcreateVoipFlow(f.get(), any);
        what = o.str();
        return;
    }
    case 1:
        o << "delete unknown " << unknown;
        want = predict_delete(unknown);
        got = chance(50) ? kovaAPIdeleteVoipFlow(unknown) : kovaAPIdeleteFlowWithExtended(unknown);
        what = o.str();
        return;
    case 2:
        o << "delete unknown extended " << unknown;
        want = predict_delete_last_extended(unknown);
        got = kovaAPIdeleteExtendedFlow(unknown);
        what = o.str();
        return;
    case 3: { // an extended flow through the functions for main flows
        if (ext == kNone)
            break;
        o << "delete extended " << ext << " as a main flow";
        const bool combined = chance(50);
        want = combined ? predict_delete_with_chain(ext) : predict_delete(ext);
        got = combined ? kovaAPIdeleteFlowWithExtended(ext) : kovaAPIdeleteVoipFlow(ext);
        what = o.str();
        return;
    }
    case 4: // an extended flow that is not the last of its chain, or a main
            // flow that carries one, through the single deletions
        if (inner == kNone)
            break;
        o << "delete " << inner << " which carries an extended flow";
        if (flows_.at(inner).extended) {
            want = predict_delete_last_extended(inner);
            got = kovaAPIdeleteExtendedFlow(inner);
        } else {
            want = predict_delete(inner);
            got = kovaAPIdeleteVoipFlow(inner);
        }
        what = o.str();
        return;
    case 5: // a main flow through single extended deletion
        if (plain == kNone)
            break;
        o << "delete main " << plain << " as an extended flow";
        want = predict_delete_last_extended(plain);
        got = kovaAPIdeleteExtendedFlow(plain);
        what = o.str();
        return;
    case 6: { // a second extended flow on the same parent
        if (inner == kNone)
            break;
        const Live &p = flows_.at(inner);
        const uint32_t a = unused_id();
        kt::Flow f = extended_flow(p.crc, p.key, a);
        o << "extend " << inner << " again with " << a;
        want = predict_extend(inner, a, true);
        got = kovaAPIcreateExtendedFlow(f.get(), inner, a);
        what = o.str();
        return;
    }
    case 7: { // other lookup data than the parent
        const uint32_t parent = pick([](const Live &l) { return l.child == kNone; });
        if (parent == kNone)
            break;
        const Live &p = flows_.at(parent);
        const uint32_t a = unused_id();
        kt::Flow f = extended_flow(p.crc, p.key, a);
        f.f.eth_dmac[5] ^= 0x40;
        o << "extend " << parent << " with " << a << " of other lookup data";
        want = predict_extend(parent, a, false);
        got = kovaAPIcreateExtendedFlow(f.get(), parent, a);
        what = o.str();
        return;
    }
    case 8: { // an extended flow with a used appflowid, or on an unknown parent
        const uint32_t parent = pick([](const Live &l) { return l.child == kNone; });
        if (parent == kNone || any == kNone)
            break;
        const Live &p = flows_.at(parent);
        const bool used = chance(50);
        const uint32_t on = used ? parent : unknown, a = used ? any : unused_id();
        kt::Flow f = extended_flow(p.crc, p.key, a);
        o << "extend " << on << " with " << a << (used ? " (used)" : " (unknown parent)");
        want = predict_extend(on, a, true);
        got = kovaAPIcreateExtendedFlow(f.get(), on, a);
        what = o.str();
        return;
    }
    case 9: { // appflowids out of range
        kt::Flow f = main_flow(new_crc(), next_key_++);
        o << "out-of-range appflowid " << out_of_range;
        want = KOVA_ERR_INVALID;
        const uint32_t results[] = {
            kovaAPIcreateVoipFlow(f.get(), out_of_range),
            kovaAPIdeleteVoipFlow(out_of_range),
            kovaAPIdeleteExtendedFlow(out_of_range),
            kovaAPIdeleteFlowWithExtended(out_of_range),
            kovaAPIcreateExtendedFlow(f.get(), out_of_range, unused_id()),
            any == kNone ? KOVA_ERR_INVALID : kovaAPIcreateExtendedFlow(f.get(), any, out_of_range),
        };
        got = KOVA_ERR_INVALID;
        for (uint32_t r : results)
            if (r != KOVA_ERR_INVALID)
                got = r;
        what = o.str();
        return;
    }
    default:
        break;
    }
    o << "create extended on unknown parent " << unknown;
    kt::Flow f = main_flow(new_crc(), next_key_++);
    const uint32_t a = unused_id();
    want = predict_extend(unknown, a, true);
    got = kovaAPIcreateExtendedFlow(f.get(), unknown, a);
    what = o.str();
}

void Model::run(const Plan &r) {
    rng_.seed(r.seed);
    crcs_ = r.crcs;
    target_live_ = r.target_live;
    low_live_ = r.low_live;
    for (step_no_ = 0; step_no_ < r.steps; ++step_no_) {
        std::string what;
        uint32_t want = 0, got = 0;
        extra_problem_.clear();
        step(what, want, got);
        std::vector<std::string> problems;
        if (!extra_problem_.empty())
            problems.push_back(extra_problem_);
        if (got != want)
            problems.push_back("result " + std::to_string(got) + ", the model expects " + std::to_string(want));
        const kt::FlowModel crcs = crc_model();
        for (auto &p : kt::check_table(&crcs))
            problems.push_back(p);
        for (auto &p : chain_problems())
            problems.push_back(p);
        if (!problems.empty()) {
            std::string all;
            for (size_t i = 0; i < problems.size() && i < 10; ++i)
                all += "  " + problems[i] + "\n";
            ADD_FAILURE() << "seed " << r.seed << ", step " << step_no_ << ": " << what << "\n"
                          << all << kt::take_log();
            return;
        }
        kova_host_log_clear();
    }
    // The run went through what it was meant to exercise.
    EXPECT_GE(swings_, 2u) << "the population did not swing to " << r.target_live << " and back twice";
    EXPECT_GE(longest_chain_, 3u);
}

// The deletion cases (counter n of kova.delete_branch_count is case n + 1)
// a run went through.
std::vector<uint32_t> deletion_cases() {
    std::vector<uint32_t> cases;
    for (uint32_t i = 0; i < 8; ++i)
        if (kova.delete_branch_count[i] != 0)
            cases.push_back(i + 1);
    return cases;
}

TEST_F(Model, UniformCrcs) {
    run({Crcs::Uniform, 11, 2000, 150, 15});
    // Almost every flow has a bucket to itself.
    EXPECT_GT(kova.delete_branch_count[0], 10 * kova.delete_branch_count[4]);
}

// Every flow in one group: long same-CRC lists, every head deletion a move.
TEST_F(Model, EveryFlowOneCrc) {
    run({Crcs::OneCrc, 12, 2000, 60, 1});
    EXPECT_EQ(deletion_cases(), (std::vector<uint32_t>{1, 2, 5, 6}));
}

// One bucket, many groups: next_crc12 and next_crc32 lists interleave.
TEST_F(Model, OneBucketManyGroups) {
    run({Crcs::OneBucket, 13, 2000, 100, 2});
    EXPECT_EQ(deletion_cases(), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8}));
}

} // namespace
