// Long random sequences of flow and extended-flow operations, each built to
// be valid or to be refused, checked against a plain model of the table:
// after every step the table must be sound and hold exactly the model's
// flows and chains. A failure names the seed and the step.
#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/kova_test.h"
#include "support/table_check.h"

namespace {

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
    uint32_t seed, steps;
    uint32_t target_live, low_live; // the population swings between these two
};

struct Live {
    uint32_t crc;
    uint32_t key;    // key seed of its chain's main flow (extended flows share it)
    uint32_t depth;  // 0 for a main flow, n for the n-th extended flow of a chain
    uint32_t parent; // extended: the flow it hangs on
    uint32_t child;  // the extended flow hung on it, or kNone
};

// A main flow, and an extended flow with the same lookup data (same key,
// same CRC32) but rules of its own.
kt::Flow main_flow(uint32_t crc, uint32_t key) {
    kt::Flow f = kt::keyed_flow(crc, key);
    f.rules.resize(2);
    f.rules[0].type = RULE_POLICING;
    f.rules[0].param.policing.weight = key;
    f.rules[1].type = RULE_DROP_PACKET;
    return f;
}
kt::Flow extended_flow(const Live &parent, uint32_t appflowid) {
    kt::Flow f = kt::keyed_flow(parent.crc, parent.key);
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
    uint32_t below(uint32_t n) { return uint32_t(rng_() % n); }
    bool chance(uint32_t percent) { return below(100) < percent; }

    uint32_t new_crc() {
        if (plan_.crcs == Crcs::Uniform)
            return uint32_t(rng_());
        if (plan_.crcs == Crcs::OneCrc)
            return 0x5A5A0003u;
        // Two dozen groups; every other swing of the population, two.
        return 0x1234u << KOVA_LUT_BUCKET_SHIFT | (1 + below(swings_ % 2 ? 2 : 24)) * 0x0101u;
    }

    uint32_t unused_id() {
        for (;;)
            if (const uint32_t a = below(kIdSpace); !flows_.count(a))
                return a;
    }
    // A live flow with the property, or kNone.
    template <typename P> uint32_t pick(P pred) {
        std::vector<uint32_t> c;
        for (const auto &[a, f] : flows_)
            if (pred(f))
                c.push_back(a);
        return c.empty() ? kNone : c[below(uint32_t(c.size()))];
    }

    // One random operation that must succeed (applied to the model) or, when
    // it returns false, one that must be refused. `what` describes it.
    bool step(std::ostringstream &what, uint32_t &got);
    void invalid_step(std::ostringstream &what, uint32_t &got);

    // Half the deletions go through the call that hands back the statistics
    // the engine kept, planted in the flow's engine entry just before.
    template <typename Plain, typename WithStats>
    uint32_t delete_flow(std::ostringstream &o, uint32_t a, Plain plain, WithStats with_stats) {
        if (chance(50))
            return plain(a);
        o << " with statistics";
        uint32_t want[3], got[3] = {};
        for (uint32_t i = 0; i < 3; ++i)
            want[i] = step_no_ * 3 + i + 1;
        std::memcpy(kt::engine_slot(kova.appflow_map[a]) + KOVA_LUT_OFF_PACKET_CNT, want, sizeof want);
        const uint32_t r = with_stats(a, got);
        if (r == KOVA_OK && std::memcmp(want, got, sizeof got) != 0)
            problems_.push_back("statistics " + std::to_string(got[0]) + " " + std::to_string(got[1]) + " " +
                             std::to_string(got[2]) + ", expected " + std::to_string(want[0]) + "..");
        return r;
    }

    // Where the model's chains and the module's records disagree.
    void chain_problems();

    std::mt19937_64 rng_;
    Plan plan_{};
    uint32_t next_key_ = 1, step_no_ = 0;
    bool growing_ = true;
    uint32_t swings_ = 0; // times the population went up and down
    uint32_t longest_chain_ = 0;
    std::vector<std::string> problems_; // of the current step
    std::map<uint32_t, Live> flows_;
};

void Model::chain_problems() {
    auto fail = [&](uint32_t a, const std::string &why) { problems_.push_back("appflowid " + std::to_string(a) + ": " + why); };
    for (const auto &[a, f] : flows_) {
        const uint32_t s = kova.appflow_map[a];
        if (s >= KOVA_LUT_ENTRIES)
            continue; // reported by the table check
        const kova_LUT_INFO &r = kova.lut_info[s];
        if (r.is_extended != (f.depth ? 1 : 0))
            fail(a, f.depth ? "should be extended" : "should not be extended");
        if (f.depth && r.prev_flowid != kova.appflow_map[f.parent])
            fail(a, "does not hang on appflowid " + std::to_string(f.parent));
        const uint64_t ext = kt::le64_at(kt::shadow_slot(s) + KOVA_LUT_OFF_NEXT_EXT);
        if (f.child == kNone && ext != 0)
            fail(a, "carries an extended flow it should not have");
        if (f.child != kNone && (ext != kt::shadow_addr(kova.appflow_map[f.child]) || r.ext_appflowid != f.child))
            fail(a, "does not carry appflowid " + std::to_string(f.child));
    }
}

bool Model::step(std::ostringstream &o, uint32_t &got) {
    // The population swings between almost empty and the target, so that
    // buckets fill up and empty out again.
    const uint32_t n = uint32_t(flows_.size());
    if (growing_ && n >= plan_.target_live)
        growing_ = false;
    else if (!growing_ && n <= plan_.low_live)
        growing_ = true, ++swings_;
    // Creations take `grow` percent; the rest is shared 25/35/15/15 in
    // order below, and what is left goes to calls that must be refused.
    const uint32_t grow = growing_ ? 60 : 10, rest = 100 - grow;
    const uint32_t extend = grow + rest * 25 / 100, remove = extend + rest * 35 / 100,
                   remove_last = remove + rest * 15 / 100, remove_chain = remove_last + rest * 15 / 100;
    const uint32_t roll = below(100);

    if (roll < grow) {
        const uint32_t a = unused_id(), crc = new_crc(), key = next_key_++;
        kt::Flow f = main_flow(crc, key);
        o << "create " << a << " crc " << std::hex << crc;
        got = kovaAPIcreateVoipFlow(f.get(), a);
        flows_[a] = {crc, key, 0, kNone, kNone};
        return true;
    }
    if (roll < extend) {
        // On a flow without an extended flow: a main flow, or the last of a chain.
        const uint32_t parent = pick([](const Live &l) { return l.child == kNone; });
        if (parent == kNone)
            return false;
        const uint32_t a = unused_id();
        kt::Flow f = extended_flow(flows_.at(parent), a);
        o << "extend " << parent << " with " << a;
        got = kovaAPIcreateExtendedFlow(f.get(), parent, a);
        Live &p = flows_.at(parent);
        flows_[a] = {p.crc, p.key, p.depth + 1, parent, kNone};
        p.child = a;
        longest_chain_ = std::max(longest_chain_, p.depth + 1);
        return true;
    }
    if (roll < remove) {
        const uint32_t a = pick([](const Live &l) { return !l.depth && l.child == kNone; });
        if (a == kNone)
            return false;
        o << "delete " << a;
        got = delete_flow(o, a, kovaAPIdeleteVoipFlow, kovaAPIdeleteVoipFlowWithStats);
        flows_.erase(a);
        return true;
    }
    if (roll < remove_last) {
        const uint32_t a = pick([](const Live &l) { return l.depth && l.child == kNone; });
        if (a == kNone)
            return false;
        o << "delete last extended " << a;
        got = kovaAPIdeleteExtendedFlow(a);
        flows_.at(flows_.at(a).parent).child = kNone;
        flows_.erase(a);
        return true;
    }
    const uint32_t a = roll < remove_chain ? pick([](const Live &l) { return !l.depth; }) : kNone;
    if (a == kNone)
        return false;
    o << "delete " << a << " with its chain";
    got = delete_flow(o, a, kovaAPIdeleteFlowWithExtended, kovaAPIdeleteFlowWithExtendedWithStats);
    for (uint32_t cur = a, next; cur != kNone; cur = next) {
        next = flows_.at(cur).child;
        flows_.erase(cur);
    }
    return true;
}

// Calls that must be refused; a refusal changes nothing, which the table
// check after the step confirms.
void Model::invalid_step(std::ostringstream &o, uint32_t &got) {
    const uint32_t any = pick([](const Live &) { return true; });
    const uint32_t ext = pick([](const Live &l) { return l.depth; });
    const uint32_t inner = pick([](const Live &l) { return l.child != kNone; }); // not last of its chain
    const uint32_t plain = pick([](const Live &l) { return !l.depth; });
    const uint32_t last = pick([](const Live &l) { return l.child == kNone; });
    const uint32_t unknown = unused_id(), a = unused_id();
    kt::Flow f = main_flow(new_crc(), next_key_++);

    switch (below(11)) {
    case 0: // a used appflowid
        if (any == kNone)
            break;
        o << "create with used appflowid " << any;
        got = kovaAPIcreateVoipFlow(f.get(), any);
        return;
    case 1:
    case 2: { // unknown appflowids, through each deletion
        const uint32_t k = below(3);
        o << "delete unknown " << unknown << " by call " << k;
        got = k == 0 ? kovaAPIdeleteVoipFlow(unknown)
                     : k == 1 ? kovaAPIdeleteFlowWithExtended(unknown) : kovaAPIdeleteExtendedFlow(unknown);
        return;
    }
    case 3: // an extended flow through the functions for main flows
        if (ext == kNone)
            break;
        o << "delete extended " << ext << " as a main flow";
        got = chance(50) ? kovaAPIdeleteFlowWithExtended(ext) : kovaAPIdeleteVoipFlow(ext);
        return;
    case 4: // a flow that carries an extended flow, through the single deletions
        if (inner == kNone)
            break;
        o << "delete " << inner << " which carries an extended flow";
        got = flows_.at(inner).depth ? kovaAPIdeleteExtendedFlow(inner) : kovaAPIdeleteVoipFlow(inner);
        return;
    case 5: // a main flow through single extended deletion
        if (plain == kNone)
            break;
        o << "delete main " << plain << " as an extended flow";
        got = kovaAPIdeleteExtendedFlow(plain);
        return;
    case 6: // a second extended flow on the same parent
        if (inner == kNone)
            break;
        o << "extend " << inner << " again with " << a;
        got = kovaAPIcreateExtendedFlow(extended_flow(flows_.at(inner), a).get(), inner, a);
        return;
    case 7: { // other lookup data than the parent
        if (last == kNone)
            break;
        kt::Flow g = extended_flow(flows_.at(last), a);
        g.f.eth_dmac[5] ^= 0x40;
        o << "extend " << last << " with " << a << " of other lookup data";
        got = kovaAPIcreateExtendedFlow(g.get(), last, a);
        return;
    }
    case 8: { // an extended flow with a used appflowid, or on an unknown parent
        if (last == kNone || any == kNone)
            break;
        const bool used = chance(50);
        const uint32_t on = used ? last : unknown, id = used ? any : a;
        o << "extend " << on << " with " << id << (used ? " (used)" : " (unknown parent)");
        got = kovaAPIcreateExtendedFlow(extended_flow(flows_.at(last), id).get(), on, id);
        return;
    }
    case 9: { // appflowids out of range, through every call
        const uint32_t out = KOVA_APP_FLOWS + below(3) * 0x10000u;
        o << "out-of-range appflowid " << out;
        const uint32_t results[] = {
            kovaAPIcreateVoipFlow(f.get(), out),
            kovaAPIdeleteVoipFlow(out),
            kovaAPIdeleteExtendedFlow(out),
            kovaAPIdeleteFlowWithExtended(out),
            kovaAPIcreateExtendedFlow(f.get(), out, a),
            any == kNone ? KOVA_ERR_INVALID : kovaAPIcreateExtendedFlow(f.get(), any, out),
        };
        got = KOVA_ERR_INVALID;
        for (uint32_t r : results)
            got = r != KOVA_ERR_INVALID ? r : got;
        return;
    }
    default:
        break;
    }
    o << "create extended on unknown parent " << unknown;
    got = kovaAPIcreateExtendedFlow(f.get(), unknown, a);
}

void Model::run(const Plan &r) {
    rng_.seed(r.seed);
    plan_ = r;
    for (step_no_ = 0; step_no_ < r.steps; ++step_no_) {
        std::ostringstream what;
        uint32_t got = 0;
        problems_.clear();
        const uint32_t want = step(what, got) ? KOVA_OK : KOVA_ERR_INVALID;
        if (want != KOVA_OK)
            what.str(""), invalid_step(what, got);
        if (got != want)
            problems_.push_back("result " + std::to_string(got) + ", expected " + std::to_string(want));
        kt::FlowModel crcs;
        for (const auto &[a, f] : flows_)
            crcs[a] = f.crc;
        for (auto &p : kt::check_table(&crcs))
            problems_.push_back(p);
        chain_problems();
        if (!problems_.empty()) {
            std::string all;
            for (size_t i = 0; i < problems_.size() && i < 10; ++i)
                all += "  " + problems_[i] + "\n";
            ADD_FAILURE() << "seed " << r.seed << ", step " << step_no_ << ": " << what.str() << "\n"
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
    run({Crcs::OneBucket, 14, 2000, 100, 2});
    EXPECT_EQ(deletion_cases(), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8}));
}

} // namespace
