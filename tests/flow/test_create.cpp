// Flow creation: where entries land, how they are linked in both copies,
// the counters, and every refusal.
#include <cstring>
#include <regex>

#include "support/kova_test.h"
#include "support/table_check.h"

namespace {

using kt::engine_slot;
using kt::le32_at;
using kt::le64_at;
using kt::shadow_slot;
using kt::take_log;

class Create : public kt::StoreTest {
protected:
    uint32_t create(uint32_t crc, uint32_t appflowid) {
        kt::Flow f = kt::keyed_flow(crc, appflowid);
        uint32_t r = kovaAPIcreateVoipFlow(f.get(), appflowid);
        if (r == KOVA_OK)
            model_[appflowid] = crc;
        return r;
    }
    void expect_counts(uint32_t chained, uint32_t same, uint32_t other, uint32_t heads) {
        const uint32_t want[4] = {chained, same, other, heads};
        EXPECT_EQ(std::memcmp(kova.create_branch_count, want, sizeof want), 0);
    }
    kt::FlowModel model_;
};

// A head flow: its record, counter and state word (3 for a VoIP flow, else
// the given state 0 or 1 in the top byte).
TEST_F(Create, FirstFlowOfABucketTakesTheHeadSlot) {
    ASSERT_EQ(create(0x12345678, 42), KOVA_OK);
    const uint32_t head = 0x12345678u >> 18;
    EXPECT_EQ(kova.appflow_map[42], head);
    EXPECT_EQ(kova.lut_info[head].ucc, 42 % 36);
    expect_counts(0, 0, 0, 1);
    const uint8_t state[4] = {0, 0, 0, 3};
    EXPECT_EQ(std::memcmp(engine_slot(head) + 100, state, 4), 0);
    kt::Flow f(0x11110000), g(0x22220000);
    ASSERT_EQ(kovaAPIcreateFlow(f.get(), 1, 0), KOVA_OK);
    EXPECT_EQ(le32_at(shadow_slot(0x11110000u >> 18) + 100), 0u);
    ASSERT_EQ(kovaAPIcreateFlow(g.get(), 2, 1), KOVA_OK);
    EXPECT_EQ(le32_at(shadow_slot(0x22220000u >> 18) + 100), 0x1000000u);
    EXPECT_EQ(take_log(), "");
    model_[1] = 0x11110000;
    model_[2] = 0x22220000;
    EXPECT_TABLE_OK(&model_);
}

// Each chained flow takes the next overflow slot and hangs behind the right
// predecessor; the table walk checks both copies' links and prev_flowid.
TEST_F(Create, ChainsBySameAndOtherCrc) {
    const uint32_t A = 0x40000001, B = 0x40000002, C = 0x40000003; // one bucket
    const uint32_t head = A >> 18;
    const struct {
        uint32_t crc, pred, field, counts[4];
    } steps[] = {
        {A, head, KOVA_LUT_OFF_NEXT_CRC32, {1, 1, 0, 1}},   // behind the head, same CRC32
        {B, head, KOVA_LUT_OFF_NEXT_CRC12, {2, 1, 1, 1}},   // behind the head, next value
        {B, 16385, KOVA_LUT_OFF_NEXT_CRC32, {3, 2, 1, 1}},  // behind the B entry
        {A, 16384, KOVA_LUT_OFF_NEXT_CRC32, {4, 3, 1, 1}},  // end of the A group, not the bucket
        {C, 16385, KOVA_LUT_OFF_NEXT_CRC12, {5, 3, 2, 1}},  // end of the next_crc12 list
    };
    ASSERT_EQ(create(A, 1), KOVA_OK);
    for (uint32_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(create(steps[i].crc, i + 2), KOVA_OK);
        EXPECT_EQ(kova.appflow_map[i + 2], 16384 + i);
        expect_counts(steps[i].counts[0], steps[i].counts[1], steps[i].counts[2], steps[i].counts[3]);
        EXPECT_EQ(le64_at(shadow_slot(steps[i].pred) + steps[i].field), kt::shadow_addr(16384 + i));
    }
    EXPECT_EQ(kova.ext_free_used, 5u);
    // Bucket 0: slot 0's engine address is 0 while the table base is 0; that
    // is not a missing address.
    ASSERT_EQ(create(0x00000005, 10), KOVA_OK);
    ASSERT_EQ(create(0x00000005, 11), KOVA_OK);
    ASSERT_EQ(create(0x00000006, 12), KOVA_OK);
    EXPECT_EQ(take_log(), "");
    EXPECT_TABLE_OK(&model_);
}

// Refusals leave the table untouched.
TEST_F(Create, Refusals) {
    kt::Flow h(0x33330000);
    for (uint32_t bad : {2u, 0xFFFFFFFFu}) {
        EXPECT_EQ(kovaAPIcreateFlow(h.get(), 3, bad), KOVA_ERR_INVALID);
        EXPECT_EQ(take_log(), "Failed to create new lut, Wrong state of flow.\n\r");
    }
    kt::Flow none(0x33330000, 1, 0), seven(0x33330000, 1, 7), unknown(0x33330000);
    unknown.rules[0].type = 10;
    const struct {
        kt::Flow *flow;
        uint32_t result;
        const char *log;
    } builder[] = {
        {&none, KOVA_ERR_NO_RULES, "Failed to create new lut, err = 1\n\r"},
        {&unknown, KOVA_ERR_UNKNOWN_RULE, "Failed to create new lut, err = 2\n\r"},
        {&seven, KOVA_ERR_TOO_MANY_RULES, "Failed to create new lut, err = 4\n\r"},
    };
    for (auto &c : builder) {
        EXPECT_EQ(kovaAPIcreateVoipFlow(c.flow->get(), 3), c.result);
        EXPECT_EQ(take_log(), c.log);
    }

    // Appflowids: out of range silently, a used one with a line.
    EXPECT_EQ(kovaAPIcreateVoipFlow(h.get(), 32768), KOVA_ERR_INVALID);
    EXPECT_EQ(kovaAPIcreateVoipFlow(h.get(), 0x100000000ull), KOVA_ERR_INVALID);
    EXPECT_EQ(take_log(), "");
    ASSERT_EQ(create(0x12340000, 32767), KOVA_OK);
    EXPECT_EQ(kovaAPIcreateVoipFlow(h.get(), 32767), KOVA_ERR_INVALID);
    EXPECT_EQ(take_log(), "kovaAPI: trying to add flow with used appflowid\n");
    EXPECT_EQ(kovaAPIcreateVoipFlow(nullptr, 5), KOVA_ERR_INVALID);
    EXPECT_EQ(le32_at(shadow_slot(0x33330000u >> 18) + KOVA_LUT_OFF_CRC32), 0u);
    expect_counts(0, 0, 0, 1);
    EXPECT_TABLE_OK(&model_);
}

// A broken invariant is reported with the source file and line of its check.
std::string internal_error_line(const std::string &log) {
    std::smatch m;
    std::regex re("^kovaAPI: internal error create\\.cpp ([0-9]+)$");
    return std::regex_match(log, m, re) ? m[1].str() : "";
}

TEST_F(Create, BrokenInvariantsAreInternalErrors) {
    std::set<std::string> lines;
    kt::Flow f(0x44440000);
    const uint32_t head = 0x44440000u >> 18;
    auto refused = [&](uint32_t appflowid) {
        EXPECT_EQ(kovaAPIcreateVoipFlow(f.get(), appflowid), KOVA_ERR_INTERNAL);
        lines.insert(internal_error_line(take_log()));
    };
    // Head slot marked in use while its shadow entry is empty.
    kova.lut_info[head].in_use = 1;
    refused(1);
    EXPECT_EQ(kova.appflow_map[1], KOVA_NO_SLOT);
    EXPECT_EQ(le32_at(engine_slot(head) + KOVA_LUT_OFF_VALID), 0u);
    kova.lut_info[head].in_use = 0;

    // The next overflow slot is not empty in the shadow: it stays taken.
    ASSERT_EQ(kovaAPIcreateVoipFlow(f.get(), 1), KOVA_OK);
    shadow_slot(16384)[KOVA_LUT_OFF_CRC32] = 1;
    refused(2);
    EXPECT_EQ(kova.ext_free_used, 1u);
    EXPECT_EQ(kova.appflow_map[2], 16384u);

    // The predecessor has lost its engine address: it must stay unlinked.
    kova.lut_info[head].lut_qe = 0x1234;
    refused(3);
    EXPECT_EQ(le64_at(shadow_slot(head) + KOVA_LUT_OFF_NEXT_CRC32), 0u);

    kova_LUT *scratch = kova.temp_lut;
    kova.temp_lut = nullptr;
    refused(4);
    kova.temp_lut = scratch;

    lines.erase("");
    EXPECT_EQ(lines.size(), 4u) << "each check logs its own line";
}

// 16383 heads and 16384 chained flows: no overflow slot is left, yet an
// empty head still takes a flow.
TEST_F(Create, FullTable) {
    const uint32_t spare_head = 777;
    uint32_t a = 0;
    for (uint32_t h = 0; h < KOVA_LUT_HEADS; ++h) {
        if (h != spare_head) {
            ASSERT_EQ(create(h << 18 | 1, a++), KOVA_OK);
        }
    }
    for (uint32_t i = 0; i < KOVA_OVERFLOW_SLOTS; ++i) {
        const uint32_t h = i % KOVA_LUT_HEADS == spare_head ? 0 : i % KOVA_LUT_HEADS;
        ASSERT_EQ(create(h << 18 | (1 + i / 7 % 3), a++), KOVA_OK) << i;
    }
    EXPECT_EQ(kova.ext_free_used, KOVA_OVERFLOW_SLOTS);
    const uint32_t chained_before = kova.create_branch_count[0];

    EXPECT_EQ(create(5u << 18 | 1, 32767), KOVA_ERR_TABLE_FULL);
    EXPECT_EQ(take_log(), "");
    EXPECT_EQ(kova.create_branch_count[0], chained_before + 1); // attempts count too
    EXPECT_EQ(kova.appflow_map[32767], KOVA_NO_SLOT);

    EXPECT_EQ(create(spare_head << 18 | 9, 32767), KOVA_OK);
    EXPECT_EQ(kova.appflow_map[32767], spare_head);
    EXPECT_TABLE_OK(&model_);
}

} // namespace
