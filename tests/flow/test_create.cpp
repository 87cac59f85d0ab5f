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
    void expect_counts(uint32_t b1, uint32_t b11, uint32_t b12, uint32_t b2) {
        EXPECT_EQ(kova.create_branch_count[0], b1);
        EXPECT_EQ(kova.create_branch_count[1], b11);
        EXPECT_EQ(kova.create_branch_count[2], b12);
        EXPECT_EQ(kova.create_branch_count[3], b2);
    }
    // The link from slot `from` in both copies: shadow holds the CPU address,
    // the engine copy the engine address.
    void expect_link(uint32_t from, uint32_t field, uint32_t to) {
        EXPECT_EQ(le64_at(shadow_slot(from) + field), kt::shadow_addr(to));
        EXPECT_EQ(le64_at(engine_slot(from) + field), kt::engine_addr(to));
    }
    kt::FlowModel model_;
};

TEST_F(Create, FirstFlowOfABucketTakesTheHeadSlot) {
    ASSERT_EQ(create(0x12345678, 42), KOVA_OK);
    const uint32_t head = 0x12345678u >> 18;
    EXPECT_EQ(kova.appflow_map[42], head);
    const kova_LUT_INFO &r = kova.lut_info[head];
    EXPECT_EQ(r.in_use, 1);
    EXPECT_EQ(r.appflowid, 42u);
    EXPECT_EQ(r.ucc, 42 % 36);
    EXPECT_EQ(r.prev_flowid, KOVA_NO_SLOT);
    expect_counts(0, 0, 0, 1);
    // The entry is live in the engine copy, with state 3 and no links.
    EXPECT_EQ(le32_at(engine_slot(head) + KOVA_LUT_OFF_VALID), 1u);
    const uint8_t state[4] = {0, 0, 0, 3};
    EXPECT_EQ(std::memcmp(engine_slot(head) + 100, state, 4), 0);
    EXPECT_EQ(std::memcmp(shadow_slot(head), engine_slot(head), 252), 0);
    EXPECT_EQ(take_log(), "");
    EXPECT_TABLE_OK(&model_);
}

TEST_F(Create, ChainsBySameAndOtherCrc) {
    const uint32_t A = 0x40000001, B = 0x40000002; // same bucket, other CRC32
    const uint32_t head = A >> 18;
    ASSERT_EQ(create(A, 1), KOVA_OK);
    ASSERT_EQ(create(A, 2), KOVA_OK); // behind the head on next_crc32
    expect_counts(1, 1, 0, 1);
    EXPECT_EQ(kova.appflow_map[2], 16384u);
    EXPECT_EQ(kova.lut_info[16384].prev_flowid, head);
    expect_link(head, KOVA_LUT_OFF_NEXT_CRC32, 16384);

    ASSERT_EQ(create(B, 3), KOVA_OK); // behind the head on next_crc12
    expect_counts(2, 1, 1, 1);
    EXPECT_EQ(kova.appflow_map[3], 16385u);
    EXPECT_EQ(kova.lut_info[16385].prev_flowid, head);
    expect_link(head, KOVA_LUT_OFF_NEXT_CRC12, 16385);

    ASSERT_EQ(create(B, 4), KOVA_OK); // behind the B entry on next_crc32
    expect_counts(3, 2, 1, 1);
    EXPECT_EQ(kova.lut_info[16386].prev_flowid, 16385u);
    expect_link(16385, KOVA_LUT_OFF_NEXT_CRC32, 16386);

    ASSERT_EQ(create(A, 5), KOVA_OK); // end of the A group, not the bucket
    expect_counts(4, 3, 1, 1);
    EXPECT_EQ(kova.lut_info[16387].prev_flowid, 16384u);
    expect_link(16384, KOVA_LUT_OFF_NEXT_CRC32, 16387);

    const uint32_t C = 0x40000003;
    ASSERT_EQ(create(C, 6), KOVA_OK); // end of the next_crc12 list, behind B
    expect_counts(5, 3, 2, 1);
    EXPECT_EQ(kova.lut_info[16388].prev_flowid, 16385u);
    expect_link(16385, KOVA_LUT_OFF_NEXT_CRC12, 16388);
    // New entries carry no links of their own.
    EXPECT_EQ(le64_at(shadow_slot(16388) + 72) | le64_at(shadow_slot(16388) + 80) | le64_at(shadow_slot(16388) + 88), 0u);
    EXPECT_TABLE_OK(&model_);
}

TEST_F(Create, BucketZeroChainsBeforeAnAttach) {
    // Slot 0's engine address is 0 while the table base is 0; that is not a
    // missing address.
    ASSERT_EQ(create(0x00000005, 1), KOVA_OK);
    ASSERT_EQ(create(0x00000005, 2), KOVA_OK);
    ASSERT_EQ(create(0x00000006, 3), KOVA_OK);
    EXPECT_EQ(take_log(), "");
    EXPECT_TABLE_OK(&model_);
}

TEST_F(Create, OverflowSlotsComeOffTheFreeListInOrder) {
    for (uint32_t a = 0; a < 5; ++a)
        ASSERT_EQ(create(0x80000000u + (a == 0 ? 0 : 1), a), KOVA_OK);
    for (uint32_t a = 1; a < 5; ++a) {
        EXPECT_EQ(kova.appflow_map[a], 16383u + a);
    }
    EXPECT_EQ(kova.ext_free_used, 4u);
    // A slot pushed back on the stack is handed out next.
    kova.ext_free_list[--kova.ext_free_used] = 16387;
    kova.lut_info[16387].in_use = 0;
    kova.appflow_map[4] = KOVA_NO_SLOT;
    std::memset(shadow_slot(16387), 0, 256);
    std::memset(shadow_slot(16386) + KOVA_LUT_OFF_NEXT_CRC32, 0, 8);
    std::memset(engine_slot(16386) + KOVA_LUT_OFF_NEXT_CRC32, 0, 8);
    std::memset(engine_slot(16387), 0, 256);
    model_.erase(4);
    kova.lut_info[16387].prev_flowid = KOVA_NO_SLOT;
    ASSERT_EQ(create(0x80000001u, 9), KOVA_OK);
    EXPECT_EQ(kova.appflow_map[9], 16387u);
    EXPECT_TABLE_OK(&model_);
}

TEST_F(Create, StateWordAndBuilderResults) {
    kt::Flow f(0x11110000);
    ASSERT_EQ(kovaAPIcreateFlow(f.get(), 1, 0), KOVA_OK);
    EXPECT_EQ(le32_at(shadow_slot(0x11110000u >> 18) + 100), 0u);
    kt::Flow g(0x22220000);
    ASSERT_EQ(kovaAPIcreateFlow(g.get(), 2, 1), KOVA_OK);
    EXPECT_EQ(le32_at(shadow_slot(0x22220000u >> 18) + 100), 0x1000000u);

    kt::Flow h(0x33330000);
    for (uint32_t bad : {2u, 4u, 0xFFFFFFFFu}) {
        EXPECT_EQ(kovaAPIcreateFlow(h.get(), 3, bad), KOVA_ERR_INVALID);
        EXPECT_EQ(take_log(), "Failed to create new lut, Wrong state of flow.\n\r");
    }
    kt::Flow none(0x33330000, 1, 0);
    EXPECT_EQ(kovaAPIcreateVoipFlow(none.get(), 3), KOVA_ERR_NO_RULES);
    EXPECT_EQ(take_log(), "Failed to create new lut, err = 1\n\r");
    h.rules[0].type = 10;
    EXPECT_EQ(kovaAPIcreateVoipFlow(h.get(), 3), KOVA_ERR_UNKNOWN_RULE);
    EXPECT_EQ(take_log(), "Failed to create new lut, err = 2\n\r");
    kt::Flow seven(0x33330000, 1, 7);
    EXPECT_EQ(kovaAPIcreateVoipFlow(seven.get(), 3), KOVA_ERR_TOO_MANY_RULES);
    EXPECT_EQ(take_log(), "Failed to create new lut, err = 4\n\r");
    // None of the refusals touched the table.
    EXPECT_EQ(kova.appflow_map[3], KOVA_NO_SLOT);
    EXPECT_EQ(le32_at(shadow_slot(0x33330000u >> 18) + KOVA_LUT_OFF_CRC32), 0u);
    EXPECT_EQ(kova.create_branch_count[3], 2u);
}

TEST_F(Create, AppflowidRefusals) {
    kt::Flow f(0x12340000);
    EXPECT_EQ(kovaAPIcreateVoipFlow(f.get(), 32768), KOVA_ERR_INVALID);
    EXPECT_EQ(kovaAPIcreateVoipFlow(f.get(), 0x100000000ull), KOVA_ERR_INVALID);
    EXPECT_EQ(take_log(), "");
    ASSERT_EQ(kovaAPIcreateVoipFlow(f.get(), 32767), KOVA_OK);
    kt::Flow g(0x56780000);
    EXPECT_EQ(kovaAPIcreateVoipFlow(g.get(), 32767), KOVA_ERR_INVALID);
    EXPECT_EQ(take_log(), "kovaAPI: trying to add flow with used appflowid\n");
    EXPECT_EQ(le32_at(shadow_slot(0x56780000u >> 18) + KOVA_LUT_OFF_CRC32), 0u);
    EXPECT_EQ(kovaAPIcreateVoipFlow(nullptr, 5), KOVA_ERR_INVALID);
    model_[32767] = 0x12340000;
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

    // Head slot marked in use while its shadow entry is empty.
    kova.lut_info[0x44440000u >> 18].in_use = 1;
    EXPECT_EQ(kovaAPIcreateVoipFlow(f.get(), 1), KOVA_ERR_INTERNAL);
    lines.insert(internal_error_line(take_log()));
    EXPECT_EQ(kova.appflow_map[1], KOVA_NO_SLOT);
    EXPECT_EQ(le32_at(engine_slot(0x44440000u >> 18) + KOVA_LUT_OFF_VALID), 0u);
    kova.lut_info[0x44440000u >> 18].in_use = 0;

    // The next overflow slot is not empty in the shadow.
    ASSERT_EQ(kovaAPIcreateVoipFlow(f.get(), 1), KOVA_OK);
    shadow_slot(16384)[KOVA_LUT_OFF_CRC32] = 1;
    EXPECT_EQ(kovaAPIcreateVoipFlow(f.get(), 2), KOVA_ERR_INTERNAL);
    lines.insert(internal_error_line(take_log()));
    EXPECT_EQ(kova.ext_free_used, 1u); // the slot stays taken
    EXPECT_EQ(kova.appflow_map[2], 16384u);

    // The predecessor has lost its engine address.
    kova.lut_info[0x44440000u >> 18].lut_qe = 0x1234;
    EXPECT_EQ(kovaAPIcreateVoipFlow(f.get(), 3), KOVA_ERR_INTERNAL);
    lines.insert(internal_error_line(take_log()));
    EXPECT_EQ(le64_at(shadow_slot(0x44440000u >> 18) + KOVA_LUT_OFF_NEXT_CRC32), 0u) << "must stay unlinked";

    // No scratch entry.
    kova_LUT *scratch = kova.temp_lut;
    kova.temp_lut = nullptr;
    EXPECT_EQ(kovaAPIcreateVoipFlow(f.get(), 4), KOVA_ERR_INTERNAL);
    lines.insert(internal_error_line(take_log()));
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
    EXPECT_EQ(a, 32767u);
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
