// Flow deletion: the eight chain situations, their repairs in both copies,
// the refusals, statistics taken before anything changes, and the order in
// which the engine sees the writes.
#include <cstring>
#include <functional>
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
TEST_F(Delete, EveryChainSituationKeepsTheBucketWhole) {
    const struct {
        const char *what;
        std::vector<uint32_t> variants;
        uint32_t victim, expected_case;
    } scenarios[] = {
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
    for (const auto &s : scenarios) {
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

// Repairs beyond what the table walk sees: a freed head is zero in both
// copies, a member moved into the head frees its old slot for the next flow.
TEST_F(Delete, HeadRepairsClearAndReuseSlots) {
    create(0, 1);
    remove(0);
    for (int i = 0; i < 256; ++i)
        ASSERT_TRUE(shadow_slot(kHead)[i] == 0 && engine_slot(kHead)[i] == 0) << i;
    EXPECT_EQ(kova.lut_info[kHead].in_use, 0);

    create(10, 1);
    create(11, 1);
    create(12, 1); // a second member, behind 11
    create(14, 2); // a next group, whose order must survive
    const uint32_t moved_from = slot_of(11);
    remove(10);
    EXPECT_EQ(slot_of(11), kHead);
    EXPECT_EQ(kova.lut_info[kHead].appflowid, 11u);
    EXPECT_EQ(le64_at(engine_slot(kHead) + KOVA_LUT_OFF_NEXT_CRC12), kt::engine_addr(slot_of(14)));
    EXPECT_EQ(le32_at(shadow_slot(moved_from) + KOVA_LUT_OFF_CRC32), 0u);
    create(13, 7);
    EXPECT_EQ(slot_of(13), moved_from) << "the freed slot is on top of the stack";
    EXPECT_TABLE_OK(&model_);
}

using W = std::tuple<uint32_t, uint64_t, uint64_t, uint32_t>;

// The engine writes of one deletion, barriers left out; every write must be
// followed by one barrier.
std::vector<W> traced_writes(const std::function<void()> &run) {
    kova_host_trace_start();
    run();
    kova_host_trace_stop();
    std::vector<W> writes;
    auto ev = kt::trace_events();
    for (auto &e : ev)
        if (e.op != KOVA_TRACE_BARRIER)
            writes.emplace_back(e.op, e.engine_off, e.len, e.value);
    EXPECT_EQ(ev.size(), 2 * writes.size()) << "one barrier after every write";
    return writes;
}

// What the engine could observe of a move into the head and of an overflow
// deletion: the head reads 2 while it is overwritten, and a link is switched
// away from an entry before that entry is cleared.
TEST_F(Delete, EngineSeesMovesAndClearsInOrder) {
    create(0, 1);
    create(1, 1);
    const uint64_t head = kHead * 256ull, member = slot_of(1) * 256ull;
    EXPECT_EQ(traced_writes([&] { remove(0); }),
              (std::vector<W>{W{KOVA_TRACE_MEMSET32, head + 252, 4, 2}, W{KOVA_TRACE_MEMCPY2, head, 252, 0},
                              W{KOVA_TRACE_MEMSET32, head + 252, 4, 1}, W{KOVA_TRACE_MEMSET32, member + 252, 4, 0},
                              W{KOVA_TRACE_MEMSET, member, 256, 0}}));
    create(2, 2);
    create(3, 2);
    const uint64_t group = slot_of(2) * 256ull;
    // The head must lead to 3 before 2 is cleared.
    EXPECT_EQ(traced_writes([&] { remove(2); }),
              (std::vector<W>{W{KOVA_TRACE_STORE64, head + KOVA_LUT_OFF_NEXT_CRC12, 8, 0},
                              W{KOVA_TRACE_MEMSET32, group + 252, 4, 0}, W{KOVA_TRACE_MEMSET, group, 256, 0}}));
    EXPECT_TABLE_OK(&model_);
}

TEST_F(Delete, Refusals) {
    create(0, 1);
    create(1, 1);
    const char *out = "kovaAPI: trying to delete flowid which is out of range\n";
    const struct {
        uint32_t appflowid, mapped_to; // a map entry planted for appflowid 5
        const char *log;
    } cases[] = {
        {32768, KOVA_NO_SLOT, out},
        {0xFFFFFFFFu, KOVA_NO_SLOT, out},
        {5, KOVA_NO_SLOT, "kovaAPI: trying to delete non-existing application flowid\n"},
        {5, 40000, out},
        {5, 999, "kovaAPI: trying to delete non-existing flow\n"}, // a free slot
    };
    for (auto &c : cases) {
        kova.appflow_map[5] = c.mapped_to;
        EXPECT_EQ(kovaAPIdeleteVoipFlow(c.appflowid), KOVA_ERR_INVALID);
        EXPECT_EQ(take_log(), c.log);
    }
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
    // The statistics step comes first: the words are filled all the same.
    const uint32_t words[3] = {0xFFFFFFF0u, 77u, 0x80000001u};
    std::memcpy(engine_slot(kHead) + KOVA_LUT_OFF_PACKET_CNT, words, sizeof words);
    uint32_t stats[3] = {};
    EXPECT_EQ(kovaAPIdeleteVoipFlowWithStats(0, stats), KOVA_ERR_INVALID);
    EXPECT_EQ(std::memcmp(stats, words, sizeof words), 0);
    std::memset(engine_slot(kHead) + KOVA_LUT_OFF_PACKET_CNT, 0, sizeof words);
    take_log();
    shadow_slot(kHead)[KOVA_LUT_OFF_NEXT_EXT] = 0;
    EXPECT_EQ(std::memcmp(before, shadow_slot(kHead), 256), 0);
    EXPECT_EQ(std::accumulate(std::begin(kova.delete_branch_count), std::end(kova.delete_branch_count), 0u), 0u);
    EXPECT_TABLE_OK(&model_);
}

// The variants for callers that already hold the table lock check that the
// calling thread does.
using DeleteDeathTest = Delete;
TEST_F(DeleteDeathTest, LockHeldWithoutTheLockStops) {
    EXPECT_DEATH(kovaAPIdeleteFlow3(1, 0, 1), "is not held by this thread");
    EXPECT_DEATH(kovaAPIdeleteExtendedFlow3(1, 1, 1), "is not held by this thread");
    EXPECT_DEATH(kovaAPIReInitKovaFlowTablePrivate(), "is not held by this thread");
}

// Detach mode marks every extended entry 2 before the flow goes (a short
// chain is covered with the extended flows); a chain too long to collect is
// refused with nothing changed, one shorter is not.
TEST_F(Delete, DetachModeHandles255ButNot256) {
    create(0, 1);
    for (uint32_t i = 1; i <= 256; ++i)
        ASSERT_EQ(kovaAPIcreateExtendedFlow(kt::keyed_flow(crc_of(1), 0).get(), i - 1, i), KOVA_OK) << i;
    take_log();
    EXPECT_EQ(kovaAPIdeleteFlow2(0, 1), KOVA_ERR_TOO_MANY_EXTENDED);
    EXPECT_EQ(take_log(), "kovaAPI: maximum amount of extended flows reached\n");
    EXPECT_NE(le64_at(shadow_slot(kHead) + KOVA_LUT_OFF_NEXT_EXT), 0u);
    EXPECT_EQ(std::accumulate(std::begin(kova.delete_branch_count), std::end(kova.delete_branch_count), 0u), 0u);

    ASSERT_EQ(kovaAPIdeleteExtendedFlow(256), KOVA_OK);
    EXPECT_EQ(kovaAPIdeleteFlow2(0, 1), KOVA_OK);
    EXPECT_EQ(kova.delete_branch_count[0], 1u) << "the only flow of its bucket";
    for (uint32_t i = 1; i <= 255; ++i)
        ASSERT_EQ(le32_at(engine_slot(kova.appflow_map[i]) + KOVA_LUT_OFF_VALID), KOVA_LUT_VALID_DETACHED) << i;
    for (uint32_t i = 255; i >= 1; --i)
        ASSERT_EQ(kovaAPIdeleteExtendedFlow(i), KOVA_OK) << i << take_log();
    kt::FlowModel none;
    EXPECT_TABLE_OK(&none);
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
