// Flow deletion: the eight chain situations, their repairs in both copies,
// the refusals, statistics taken before anything changes, and the order in
// which the engine sees the writes.
#include <cstring>
#include <numeric>
#include <regex>
#include <tuple>

#include "support/kova_test.h"
#include "support/table_check.h"

namespace {

using kt::engine_slot;
using kt::le32_at;
using kt::le64_at;
using kt::shadow_slot;
using kt::take_log;

constexpr uint32_t kHead = 0x123;
constexpr uint32_t crc_of(uint32_t variant) { return kHead << 18 | variant; }

class Delete : public kt::StoreTest {
protected:
    void create(uint32_t appflowid, uint32_t variant) {
        kt::Flow f = kt::keyed_flow(crc_of(variant), appflowid);
        ASSERT_EQ(kovaAPIcreateVoipFlow(f.get(), appflowid), KOVA_OK);
        model_[appflowid] = crc_of(variant);
    }
    void remove(uint32_t appflowid) {
        ASSERT_EQ(kovaAPIdeleteVoipFlow(appflowid), KOVA_OK) << take_log();
        model_.erase(appflowid);
    }
    uint32_t slot_of(uint32_t appflowid) { return kova.appflow_map[appflowid]; }
    kt::FlowModel model_;
};

// Each scenario builds one bucket (appflowid i gets the i-th CRC variant),
// deletes one flow and names the case that must run.
struct Scenario {
    const char *what;
    std::vector<uint32_t> variants;
    uint32_t victim;
    uint32_t expected_case;
};

TEST_F(Delete, EveryChainSituationKeepsTheBucketWhole) {
    const Scenario scenarios[] = {
        {"only flow of its bucket", {1}, 0, 1},
        {"head with a same-CRC member", {1, 1}, 0, 2},
        {"head with a next group", {1, 2}, 0, 3},
        {"head with a next group that has members", {1, 2, 2}, 0, 3},
        {"head with member and next group", {1, 1, 2}, 0, 4},
        {"last member of a group", {1, 1, 1}, 2, 5},
        {"last group head of a bucket", {1, 2}, 1, 5},
        {"group head with members", {1, 2, 2, 2}, 1, 6},
        {"member with a member behind it", {1, 1, 1}, 1, 6},
        {"group head with a next group", {1, 2, 3}, 1, 7},
        {"group head with members and a next group", {1, 2, 2, 3, 3}, 1, 8},
    };
    for (const Scenario &s : scenarios) {
        SCOPED_TRACE(s.what);
        for (uint32_t i = 0; i < s.variants.size(); ++i)
            create(i, s.variants[i]);
        uint32_t counts[8];
        std::memcpy(counts, kova.delete_branch_count, sizeof counts);
        take_log();
        remove(s.victim);
        EXPECT_EQ(take_log(), "");
        for (uint32_t c = 0; c < 8; ++c)
            EXPECT_EQ(kova.delete_branch_count[c] - counts[c], c + 1 == s.expected_case ? 1u : 0u) << "case " << c + 1;
        EXPECT_EQ(kova.appflow_map[s.victim], KOVA_NO_SLOT);
        EXPECT_TABLE_OK(&model_);
        // Empty the bucket again, any order, for the next scenario.
        while (!model_.empty())
            remove(model_.begin()->first);
        EXPECT_TABLE_OK(&model_);
        EXPECT_EQ(kova.ext_free_used, 0u);
    }
}

TEST_F(Delete, OnlyFlowLeavesTheHeadEmpty) {
    create(0, 1);
    remove(0);
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(shadow_slot(kHead)[i], 0) << i;
        ASSERT_EQ(engine_slot(kHead)[i], 0) << i;
    }
    EXPECT_EQ(kova.lut_info[kHead].in_use, 0);
    EXPECT_EQ(kova.ext_free_used, 0u);
    // The head takes a flow again.
    create(1, 3);
    EXPECT_EQ(slot_of(1), kHead);
}

TEST_F(Delete, MemberMovesIntoTheHeadAndItsSlotIsReusedFirst) {
    create(10, 1);
    create(11, 1);
    create(12, 1); // a second member, behind 11
    const uint32_t moved_from = slot_of(11);
    remove(10);
    EXPECT_EQ(slot_of(11), kHead);
    const kova_LUT_INFO &r = kova.lut_info[kHead];
    EXPECT_EQ(r.appflowid, 11u);
    EXPECT_EQ(r.prev_flowid, KOVA_NO_SLOT);
    EXPECT_EQ(kova.lut_info[slot_of(12)].prev_flowid, kHead);
    EXPECT_EQ(le64_at(engine_slot(kHead) + KOVA_LUT_OFF_NEXT_CRC32), kt::engine_addr(slot_of(12)));
    EXPECT_EQ(le32_at(engine_slot(moved_from) + KOVA_LUT_OFF_VALID), 0u);
    EXPECT_EQ(le32_at(shadow_slot(moved_from) + KOVA_LUT_OFF_CRC32), 0u);
    create(13, 7);
    EXPECT_EQ(slot_of(13), moved_from) << "the freed slot is on top of the stack";
    EXPECT_TABLE_OK(&model_);
}

TEST_F(Delete, HeadWithMemberAndNextGroupKeepsTheGroupOrder) {
    create(0, 1);
    create(1, 1); // B
    create(2, 2); // A
    const uint32_t a = slot_of(2);
    remove(0);
    EXPECT_EQ(slot_of(1), kHead);
    EXPECT_EQ(le64_at(shadow_slot(kHead) + KOVA_LUT_OFF_NEXT_CRC12), kt::shadow_addr(a));
    EXPECT_EQ(le64_at(engine_slot(kHead) + KOVA_LUT_OFF_NEXT_CRC12), kt::engine_addr(a));
    EXPECT_EQ(kova.lut_info[a].prev_flowid, kHead);
    EXPECT_TABLE_OK(&model_);
}

// What the engine could observe of a move into the head and of an overflow
// deletion: the head reads 2 while it is overwritten, and a link is switched
// away from an entry before that entry is cleared.
TEST_F(Delete, EngineSeesMovesAndClearsInOrder) {
    create(0, 1);
    create(1, 1);
    const uint64_t head = kHead * 256ull, member = slot_of(1) * 256ull;
    kova_host_trace_start();
    remove(0);
    kova_host_trace_stop();
    auto ev = kt::trace_events();
    std::vector<std::tuple<uint32_t, uint64_t, uint64_t, uint32_t>> writes;
    for (auto &e : ev)
        if (e.op != KOVA_TRACE_BARRIER)
            writes.emplace_back(e.op, e.engine_off, e.len, e.value);
    using W = std::tuple<uint32_t, uint64_t, uint64_t, uint32_t>;
    const std::vector<W> want = {
        W{KOVA_TRACE_MEMSET32, head + 252, 4, 2}, W{KOVA_TRACE_MEMCPY2, head, 252, 0},
        W{KOVA_TRACE_MEMSET32, head + 252, 4, 1}, W{KOVA_TRACE_MEMSET32, member + 252, 4, 0},
        W{KOVA_TRACE_MEMSET, member, 256, 0}};
    EXPECT_EQ(writes, want);
    EXPECT_EQ(ev.size(), 2 * want.size()) << "one barrier after every write";

    create(2, 2);
    create(3, 2);
    const uint64_t group = slot_of(2) * 256ull, next = slot_of(3) * 256ull;
    kova_host_trace_start();
    remove(2); // P (the head) must lead to 3 before 2 is cleared
    kova_host_trace_stop();
    writes.clear();
    for (auto &e : kt::trace_events())
        if (e.op != KOVA_TRACE_BARRIER)
            writes.emplace_back(e.op, e.engine_off, e.len, e.value);
    const std::vector<W> want2 = {W{KOVA_TRACE_MEMCPY, head + KOVA_LUT_OFF_NEXT_CRC12, 8, 0},
                                  W{KOVA_TRACE_MEMSET32, group + 252, 4, 0}, W{KOVA_TRACE_MEMSET, group, 256, 0}};
    EXPECT_EQ(writes, want2);
    EXPECT_EQ(le64_at(engine_slot(kHead) + KOVA_LUT_OFF_NEXT_CRC12), kt::engine_addr(uint32_t(next / 256)));
    EXPECT_TABLE_OK(&model_);
}

TEST_F(Delete, Refusals) {
    create(0, 1);
    create(1, 1);
    const struct {
        uint32_t appflowid;
        const char *log;
    } cases[] = {
        {32768, "kovaAPI: trying to delete flowid which is out of range\n"},
        {0xFFFFFFFFu, "kovaAPI: trying to delete flowid which is out of range\n"},
        {5, "kovaAPI: trying to delete non-existing application flowid\n"},
    };
    for (auto &c : cases) {
        EXPECT_EQ(kovaAPIdeleteVoipFlow(c.appflowid), KOVA_ERR_INVALID);
        EXPECT_EQ(take_log(), c.log);
    }
    kova.appflow_map[5] = 40000;
    EXPECT_EQ(kovaAPIdeleteVoipFlow(5), KOVA_ERR_INVALID);
    EXPECT_EQ(take_log(), "kovaAPI: trying to delete flowid which is out of range\n");
    kova.appflow_map[5] = 999; // a free slot
    EXPECT_EQ(kovaAPIdeleteVoipFlow(5), KOVA_ERR_INVALID);
    EXPECT_EQ(take_log(), "kovaAPI: trying to delete non-existing flow\n");
    kova.appflow_map[5] = KOVA_NO_SLOT;

    kova.lut_info[slot_of(1)].is_extended = 1;
    EXPECT_EQ(kovaAPIdeleteVoipFlow(1), KOVA_ERR_INVALID);
    EXPECT_EQ(take_log(), "kovaAPI: trying to delete extended flow with normal flow delete function\n");
    kova.lut_info[slot_of(1)].is_extended = 0;

    // A flow carrying an extended flow: refused in normal mode, unchanged.
    uint8_t before[256];
    std::memcpy(before, shadow_slot(kHead), 256);
    shadow_slot(kHead)[KOVA_LUT_OFF_NEXT_EXT] = 1;
    for (uint32_t mode : {0u, 2u}) {
        EXPECT_EQ(kovaAPIdeleteFlow2(0, mode), KOVA_ERR_INVALID);
        EXPECT_EQ(take_log(), "kovaAPI: trying to delete flow which has extended flow active\n");
    }
    shadow_slot(kHead)[KOVA_LUT_OFF_NEXT_EXT] = 0;
    EXPECT_EQ(std::memcmp(before, shadow_slot(kHead), 256), 0);
    EXPECT_EQ(std::accumulate(std::begin(kova.delete_branch_count), std::end(kova.delete_branch_count), 0u), 0u);
    EXPECT_TABLE_OK(&model_);
}

TEST_F(Delete, StatisticsAreTakenBeforeAnythingChanges) {
    create(0, 1);
    uint8_t *e = engine_slot(kHead);
    for (auto [off, v] : {std::pair{104u, 0xFFFFFFF0u}, std::pair{108u, 77u}, std::pair{112u, 0x80000001u}})
        std::memcpy(e + off, &v, 4);
    uint32_t stats[3] = {};
    // Refused after the statistics step: the words are filled all the same.
    shadow_slot(kHead)[KOVA_LUT_OFF_NEXT_EXT] = 1;
    EXPECT_EQ(kovaAPIdeleteVoipFlowWithStats(0, stats), KOVA_ERR_INVALID);
    EXPECT_EQ(stats[0], 0xFFFFFFF0u);
    shadow_slot(kHead)[KOVA_LUT_OFF_NEXT_EXT] = 0;
    std::memset(stats, 0, sizeof stats);
    EXPECT_EQ(kovaAPIdeleteVoipFlowWithStats(0, stats), KOVA_OK);
    EXPECT_EQ(stats[0], 0xFFFFFFF0u);
    EXPECT_EQ(stats[1], 77u);
    EXPECT_EQ(stats[2], 0x80000001u);
    EXPECT_EQ(le32_at(e + 104), 0u) << "the entry is gone";
    model_.erase(0);
    EXPECT_TABLE_OK(&model_);
}

// Detach mode cuts a flow's extended chain off: the engine sees every
// extended entry marked 2 before the flow itself goes, and a chain too long
// to collect is refused with nothing changed.
TEST_F(Delete, DetachModeMarksTheChainAndHasALimit) {
    for (uint32_t chain : {3u, 255u, 256u}) {
        SCOPED_TRACE(chain);
        kt::Flow main = kt::keyed_flow(crc_of(1), 1);
        ASSERT_EQ(kovaAPIcreateVoipFlow(main.get(), 0), KOVA_OK);
        for (uint32_t i = 1; i <= chain; ++i)
            ASSERT_EQ(kovaAPIcreateExtendedFlow(main.get(), i - 1, i), KOVA_OK) << i;
        take_log();
        uint32_t counts[8];
        std::memcpy(counts, kova.delete_branch_count, sizeof counts);
        if (chain == 256) {
            EXPECT_EQ(kovaAPIdeleteFlow2(0, 1), KOVA_ERR_TOO_MANY_EXTENDED);
            EXPECT_EQ(take_log(), "kovaAPI: maximum amount of extended flows reached\n");
            EXPECT_NE(le64_at(shadow_slot(kHead) + KOVA_LUT_OFF_NEXT_EXT), 0u);
            EXPECT_EQ(std::memcmp(counts, kova.delete_branch_count, sizeof counts), 0);
            EXPECT_EQ(kovaAPIdeleteFlowWithExtended(0), KOVA_ERR_TOO_MANY_EXTENDED);
            break;
        }
        EXPECT_EQ(kovaAPIdeleteFlow2(0, 1), KOVA_OK);
        EXPECT_EQ(kova.delete_branch_count[0], counts[0] + 1) << "the only flow of its bucket";
        for (uint32_t i = 1; i <= chain; ++i)
            ASSERT_EQ(le32_at(engine_slot(kova.appflow_map[i]) + KOVA_LUT_OFF_VALID), KOVA_LUT_VALID_DETACHED) << i;
        // Detached flows stay deletable, last first.
        for (uint32_t i = chain; i >= 1; --i)
            ASSERT_EQ(kovaAPIdeleteExtendedFlow(i), KOVA_OK) << i << take_log();
        kt::FlowModel none;
        EXPECT_TABLE_OK(&none);
    }
}

// A broken invariant ends the deletion with the file and line of its check.
TEST_F(Delete, BrokenChainsAreInternalErrors) {
    std::regex line("^kovaAPI: internal error delete\\.cpp [0-9]+$");
    create(0, 1);
    create(1, 1);
    create(2, 1);
    // An overflow entry that claims to be a head.
    kova.lut_info[slot_of(2)].prev_flowid = KOVA_NO_SLOT;
    EXPECT_EQ(kovaAPIdeleteVoipFlow(2), KOVA_ERR_INTERNAL);
    EXPECT_TRUE(std::regex_match(take_log(), line));
    EXPECT_EQ(slot_of(2), 16385u) << "the appflowid stays mapped";
    kova.lut_info[16385].prev_flowid = 16384;
    // Its predecessor no longer links to it: the counter of the case still grows.
    const uint32_t before = kova.delete_branch_count[4];
    std::memset(shadow_slot(16384) + KOVA_LUT_OFF_NEXT_CRC32, 0, 8);
    EXPECT_EQ(kovaAPIdeleteVoipFlow(2), KOVA_ERR_INTERNAL);
    EXPECT_TRUE(std::regex_match(take_log(), line));
    EXPECT_EQ(kova.delete_branch_count[4], before + 1);
    // Freeing a slot onto a stack that is already full.
    kova.ext_free_used = 0;
    EXPECT_EQ(kovaAPIdeleteVoipFlow(1), KOVA_ERR_INTERNAL);
    EXPECT_TRUE(std::regex_match(take_log(), line));
    EXPECT_EQ(kova.lut_info[16384].in_use, 0) << "entry and record are cleared before the free fails";
}

} // namespace
