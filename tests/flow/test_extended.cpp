// Extended flows: creation at the end of a chain, deletion of the last one,
// deletion of a flow with its whole chain, detached chains, and the order
// in which the engine sees the writes.
#include <array>
#include <cstring>
#include <regex>
#include <tuple>

#include "lib/bytes.h"
#include "support/kova_test.h"
#include "support/table_check.h"

namespace {

using kt::engine_slot;
using kt::le32_at;
using kt::le64_at;
using kt::shadow_slot;
using kt::take_log;

constexpr uint32_t kCrc = 0x2A5C0001, kHead = kCrc >> 18;
constexpr uint32_t kSeed = 7; // key of every main flow here, so extended flows can share it

using kt::ev;
using kt::expect_events;
constexpr uint32_t B = kt::BARRIER;

std::string internal_error_file(const std::string &log) {
    std::smatch m;
    static const std::regex re("kovaAPI: internal error ([a-z]+\\.cpp) [0-9]+");
    return std::regex_search(log, m, re) ? m[1].str() : "";
}

class Extended : public kt::StoreTest {
protected:
    void create(uint32_t appflowid, uint32_t crc = kCrc) {
        kt::Flow f = kt::keyed_flow(crc, kSeed);
        ASSERT_EQ(kovaAPIcreateVoipFlow(f.get(), appflowid), KOVA_OK) << take_log();
        model_[appflowid] = crc;
    }
    // The main flows' key with rules of its own (forward to CPU, then drop).
    static kt::Flow ext_flow(uint32_t crc = kCrc) {
        kt::Flow f = kt::keyed_flow(crc, kSeed);
        f.rules.resize(2);
        f.rules[0].type = RULE_FORWARD_TO_CPU;
        f.rules[1].type = RULE_DROP_PACKET;
        return f;
    }
    uint32_t extend(uint64_t parent, uint64_t appflowid, uint32_t crc = kCrc) {
        kt::Flow f = ext_flow(crc);
        const uint32_t r = kovaAPIcreateExtendedFlow(f.get(), parent, appflowid);
        if (r == KOVA_OK)
            model_[uint32_t(appflowid)] = crc;
        return r;
    }
    // Main flow 1 at the head, extended flows 2 and 3 behind it.
    void chain_of_two() {
        create(1);
        ASSERT_EQ(extend(1, 2), KOVA_OK);
        ASSERT_EQ(extend(2, 3), KOVA_OK);
    }
    static uint32_t slot_of(uint32_t appflowid) { return kova.appflow_map[appflowid]; }
    static uint32_t engine_valid(uint32_t slot) { return le32_at(engine_slot(slot) + KOVA_LUT_OFF_VALID); }
    static void expect_ext_link(uint32_t from, uint32_t to) {
        EXPECT_EQ(le64_at(shadow_slot(from) + KOVA_LUT_OFF_NEXT_EXT), to == KOVA_NO_SLOT ? 0 : kt::shadow_addr(to));
        EXPECT_EQ(le64_at(engine_slot(from) + KOVA_LUT_OFF_NEXT_EXT), to == KOVA_NO_SLOT ? 0 : kt::engine_addr(to));
    }
    static void expect_free(uint32_t slot) {
        EXPECT_EQ(kova.lut_info[slot].in_use, 0) << slot;
        EXPECT_EQ(kova.lut_info[slot].is_extended, 0) << slot;
        EXPECT_EQ(kova.lut_info[slot].prev_flowid, KOVA_NO_SLOT) << slot;
        const uint8_t zero[256] = {};
        EXPECT_EQ(std::memcmp(shadow_slot(slot), zero, 256), 0) << slot;
        EXPECT_EQ(std::memcmp(engine_slot(slot), zero, 256), 0) << slot;
    }
    kt::FlowModel model_;
};

// The engine can reach a new entry only through the parent's link, and that
// link is written last: after the entry is complete and valid, and before
// the shadow's own link.
TEST_F(Extended, CreationHangsTheEntryAtTheEndOfTheChain) {
    create(1);
    // At the parent link write: seen, shadow entry ready, shadow link still absent.
    std::array<bool, 3> m{};
    kova_host_trace_hook(
        [](const kova_host_trace_event *e, void *ctx) {
            if (e->op == KOVA_TRACE_STORE64 && e->engine_off == kHead * 256ull + KOVA_LUT_OFF_NEXT_EXT)
                *static_cast<std::array<bool, 3> *>(ctx) = {
                    true, le32_at(shadow_slot(16384) + KOVA_LUT_OFF_CRC32) == kCrc,
                    le64_at(shadow_slot(kHead) + KOVA_LUT_OFF_NEXT_EXT) == 0};
        },
        &m);
    kova_host_trace_start();
    ASSERT_EQ(extend(1, 2), KOVA_OK);
    kova_host_trace_stop();
    const uint64_t slot = 16384 * 256ull;
    expect_events({ev(KOVA_TRACE_MEMSET32, slot + 252, 4, 0), ev(B, 0, 0), ev(KOVA_TRACE_MEMCPY, slot, 124),
                   ev(B, 0, 0), ev(KOVA_TRACE_MEMSET32, slot + 252, 4, 1), ev(B, 0, 0),
                   ev(KOVA_TRACE_STORE64, kHead * 256ull + 88, 8, 0, kt::engine_addr(16384)), ev(B, 0, 0)});
    EXPECT_EQ(m, (std::array<bool, 3>{true, true, true}));
    ASSERT_EQ(extend(2, 3), KOVA_OK);
    EXPECT_EQ(take_log(), "");
    EXPECT_EQ(slot_of(2), 16384u);
    EXPECT_EQ(slot_of(3), 16385u);
    // Key copy, engine copy, valid word and extended mark are the table check's.
    for (uint32_t s : {16384u, 16385u}) {
        EXPECT_EQ(kova.lut_info[s].ucc, kSeed % 36);
        EXPECT_EQ(le32_at(shadow_slot(s) + KOVA_LUT_OFF_FLOW_STATE), 0x3000000u);
        EXPECT_NE(le32_at(shadow_slot(s) + KOVA_LUT_OFF_ACTIONS), le32_at(shadow_slot(kHead) + KOVA_LUT_OFF_ACTIONS));
    }
    EXPECT_EQ(kova.lut_info[16384].prev_flowid, kHead);
    EXPECT_EQ(kova.lut_info[16385].prev_flowid, 16384u);
    EXPECT_EQ(kova.lut_info[kHead].ext_appflowid, 2u);
    EXPECT_EQ(kova.lut_info[16384].ext_appflowid, 3u);
    expect_ext_link(kHead, 16384);
    expect_ext_link(16384, 16385);
    expect_ext_link(16385, KOVA_NO_SLOT);
    // Creation counters belong to bucket placement only.
    EXPECT_EQ(kova.create_branch_count[0], 0u);
    EXPECT_EQ(kova.create_branch_count[3], 1u);
    EXPECT_TABLE_OK(&model_);

    // The checker must see what a broken chain looks like.
    const struct { const char *what; void (*apply)(); } faults[] = {
        {"prev_flowid", [] { kova.lut_info[16385].prev_flowid = kHead; }},
        {"ext_appflowid", [] { kova.lut_info[16384].ext_appflowid = 9; }},
        {"not extended", [] { kova.lut_info[16385].is_extended = 0; }},
        {"other key", [] { shadow_slot(16385)[5] ^= 1; }},
        {"engine copy", [] { engine_slot(16385)[130] ^= 1; }},
        {"engine link", [] { engine_slot(16384)[KOVA_LUT_OFF_NEXT_EXT] ^= 1; }},
        {"engine valid", [] { engine_slot(16384)[KOVA_LUT_OFF_VALID] = 2; }},
        {"bucket link", [] { kv::bytes::put_le64(shadow_slot(16385) + KOVA_LUT_OFF_NEXT_CRC32, kt::shadow_addr(16384)); }},
        {"unreachable", [] { kv::bytes::put_le64(shadow_slot(16384) + KOVA_LUT_OFF_NEXT_EXT, 0); }},
    };
    for (const auto &f : faults) {
        f.apply();
        EXPECT_FALSE(kt::check_table(&model_).empty()) << f.what;
        kovaAPIReInitKovaFlowTable();
        chain_of_two();
    }
    EXPECT_TABLE_OK(&model_);
}

// Refused creations and deletions change nothing.
TEST_F(Extended, Refusals) {
    chain_of_two();
    // map9: what flow 9 maps to, to fake broken records of a parent.
    const struct { uint64_t parent, appflowid; uint32_t map9; const char *log; } cases[] = {
        {32768, 5, KOVA_NO_SLOT, "kovaAPI: trying to add extended flow to flowid which is out of range\n"},
        {1, 32768, KOVA_NO_SLOT, ""},
        {1, 1, KOVA_NO_SLOT, "kovaAPI: trying to add extended flow with existing appflowid\n"},
        {9, 5, KOVA_NO_SLOT, "kovaAPI: trying to add extended flow to non-existing application flowid\n"},
        {9, 5, 40000, "kovaAPI: trying to add extended flow to flowid which is out of range\n"},
        {9, 5, 20000, "kovaAPI: trying to add extended flow to non-existing flow\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.parent << "/" << c.appflowid << " map9 " << c.map9);
        kova.appflow_map[9] = c.map9;
        EXPECT_EQ(extend(c.parent, c.appflowid), KOVA_ERR_INVALID);
        EXPECT_EQ(take_log(), c.log);
    }
    kova.appflow_map[9] = KOVA_NO_SLOT;
    // One extended flow per entry: the chain grows at its end.
    EXPECT_EQ(extend(1, 6), KOVA_ERR_INVALID);
    EXPECT_EQ(take_log(), "kovaAPI: trying to add extended flow to parent flow that has extended flow active\n");

    // Any difference in bytes 0..71 of the built entry: key, port word, crc32.
    for (auto tweak : {+[](kova_FLOW &f) { f.udp_dport ^= 1; }, +[](kova_FLOW &f) { f.flow_ucc += 1; },
                       +[](kova_FLOW &f) { f.crc32 += 1; }}) {
        kt::Flow other = ext_flow();
        tweak(other.f);
        EXPECT_EQ(kovaAPIcreateExtendedFlow(other.get(), 3, 5), KOVA_ERR_INVALID);
        EXPECT_EQ(take_log(),
                  "kovaAPI: trying to add extended flow which has different lookup data than original flow\n");
    }

    kt::Flow no_rules = ext_flow();
    no_rules.rules.clear();
    EXPECT_EQ(kovaAPIcreateExtendedFlow(no_rules.get(), 3, 5), KOVA_ERR_NO_RULES);
    EXPECT_EQ(take_log(), "Failed to create new lut, err = 1\n\r");
    EXPECT_EQ(kovaAPIcreateExtendedFlow(nullptr, 3, 5), KOVA_ERR_INVALID);
    EXPECT_EQ(kova.ext_free_used, 2u);

    const char *range = "kovaAPI: trying to delete flowid which is out of range\n";
    const char *missing = "kovaAPI: trying to delete non-existing application flowid\n";
    const char *active = "kovaAPI: trying to delete flow which has extended flow active\n";
    const char *extended = "kovaAPI: trying to delete extended flow with normal flow delete function\n";
    const struct { uint32_t (*del)(uint32_t); uint32_t appflowid, map9; const char *log; } dcases[] = {
        {kovaAPIdeleteExtendedFlow, 32768, KOVA_NO_SLOT, range},
        {kovaAPIdeleteExtendedFlow, 9, KOVA_NO_SLOT, missing},
        {kovaAPIdeleteExtendedFlow, 1, KOVA_NO_SLOT,
         "kovaAPI: trying to delete normal flow with extendedFlow delete function\n"},
        {kovaAPIdeleteExtendedFlow, 2, KOVA_NO_SLOT, active}, // the first of two
        {kovaAPIdeleteExtendedFlow, 9, 40000, range},
        {kovaAPIdeleteExtendedFlow, 9, 20000, "kovaAPI: trying to delete non-existing flow\n"},
        // The ordinary deletions refuse extended flows and a flow carrying one.
        {kovaAPIdeleteVoipFlow, 3, KOVA_NO_SLOT, extended},
        {kovaAPIdeleteFlowWithExtended, 3, KOVA_NO_SLOT, extended},
        {kovaAPIdeleteVoipFlow, 1, KOVA_NO_SLOT, active},
        {kovaAPIdeleteFlowWithExtended, 32768, KOVA_NO_SLOT, range},
        {kovaAPIdeleteFlowWithExtended, 9, KOVA_NO_SLOT, missing},
    };
    for (const auto &c : dcases) {
        SCOPED_TRACE(testing::Message() << (&c - dcases) << ": " << c.appflowid);
        kova.appflow_map[9] = c.map9;
        EXPECT_EQ(c.del(c.appflowid), KOVA_ERR_INVALID);
        EXPECT_EQ(take_log(), c.log);
    }
    kova.appflow_map[9] = KOVA_NO_SLOT;
    EXPECT_TABLE_OK(&model_);
}

// One long chain: a stack entry that is no slot is consumed, the overflow
// area runs out, and the combined deletion takes at most 255 extended flows.
TEST_F(Extended, LongChainExhaustsStackAndCombinedDeletionLimit) {
    create(0);
    kova.ext_free_list[0] = 40000;
    EXPECT_EQ(extend(0, 1), KOVA_ERR_TABLE_FULL);
    EXPECT_EQ(kova.ext_free_used, 1u);
    kova.ext_free_list[0] = 16384; // put the slot back for the rest
    kova.ext_free_used = 0;
    for (uint32_t a = 1; a <= KOVA_OVERFLOW_SLOTS; ++a)
        ASSERT_EQ(extend(a - 1, a), KOVA_OK) << a;
    EXPECT_EQ(extend(KOVA_OVERFLOW_SLOTS, 20000), KOVA_ERR_TABLE_FULL);
    EXPECT_EQ(take_log(), "");
    EXPECT_EQ(le64_at(shadow_slot(32767) + KOVA_LUT_OFF_NEXT_EXT), 0u);
    EXPECT_TABLE_OK(&model_);

    for (uint32_t a = KOVA_OVERFLOW_SLOTS; a > 256; --a) {
        ASSERT_EQ(kovaAPIdeleteExtendedFlow(a), KOVA_OK) << a;
        model_.erase(a);
    }
    const uint32_t used = kova.ext_free_used;
    EXPECT_EQ(kovaAPIdeleteFlowWithExtended(0), KOVA_ERR_TOO_MANY_EXTENDED);
    EXPECT_EQ(take_log(), "kovaAPI: maximum amount of extended flows reached\n");
    EXPECT_EQ(kova.ext_free_used, used);
    EXPECT_EQ(engine_valid(16384), 1u);
    EXPECT_TABLE_OK(&model_);

    ASSERT_EQ(kovaAPIdeleteExtendedFlow(256), KOVA_OK);
    ASSERT_EQ(kovaAPIdeleteFlowWithExtended(0), KOVA_OK);
    EXPECT_EQ(take_log(), "");
    EXPECT_EQ(kova.ext_free_used, 0u);
    const kt::FlowModel none; // nothing may stay mapped
    EXPECT_TABLE_OK(&none);
}

TEST_F(Extended, LastThenFirstLeavesTheParentBare) {
    chain_of_two();
    // The parent stops leading to the entry before the engine sees it go:
    // valid 2, then the bytes, then valid 0.
    kova_host_trace_start();
    ASSERT_EQ(kovaAPIdeleteExtendedFlow(3), KOVA_OK);
    kova_host_trace_stop();
    const uint64_t last = 16385 * 256ull;
    expect_events({ev(KOVA_TRACE_STORE64, 16384 * 256ull + 88, 8), ev(B, 0, 0),
                   ev(KOVA_TRACE_MEMSET32, last + 252, 4, 2), ev(B, 0, 0), ev(KOVA_TRACE_MEMSET, last, 256, 0),
                   ev(B, 0, 0), ev(KOVA_TRACE_MEMSET32, last + 252, 4, 0), ev(B, 0, 0)});
    expect_ext_link(16384, KOVA_NO_SLOT);
    EXPECT_EQ(kova.lut_info[16384].ext_appflowid, KOVA_NO_SLOT);
    ASSERT_EQ(kovaAPIdeleteExtendedFlow(2), KOVA_OK);
    EXPECT_EQ(take_log(), "");
    expect_ext_link(kHead, KOVA_NO_SLOT);
    EXPECT_EQ(kova.lut_info[kHead].ext_appflowid, KOVA_NO_SLOT);
    expect_free(16384);
    expect_free(16385);
    // Back on the stack, the slot freed last on top.
    EXPECT_EQ(kova.ext_free_used, 0u);
    EXPECT_EQ(kova.ext_free_list[0], 16384u);
    EXPECT_EQ(kova.ext_free_list[1], 16385u);
    // The bare parent takes a new extended flow.
    model_.erase(2);
    model_.erase(3);
    ASSERT_EQ(extend(1, 4), KOVA_OK);
    EXPECT_EQ(slot_of(4), 16384u);
    EXPECT_TABLE_OK(&model_);

    // Freeing into an empty stack: the slot is cleared and unlinked first.
    kova.ext_free_used = 0;
    EXPECT_EQ(kovaAPIdeleteExtendedFlow(4), KOVA_ERR_INTERNAL);
    EXPECT_EQ(internal_error_file(take_log()), "extended.cpp");
    expect_free(16384);
    expect_ext_link(kHead, KOVA_NO_SLOT);
}

TEST_F(Extended, BrokenChainsAreInternalErrors) {
    chain_of_two();
    // The recorded parent does not lead to the entry, and the entry is live.
    kova.lut_info[16385].prev_flowid = kHead;
    EXPECT_EQ(kovaAPIdeleteExtendedFlow(3), KOVA_ERR_INTERNAL);
    EXPECT_EQ(internal_error_file(take_log()), "extended.cpp");
    EXPECT_EQ(slot_of(3), KOVA_NO_SLOT) << "unmapped before the parent check";
    EXPECT_EQ(kova.lut_info[16385].in_use, 1) << "the slot stays taken";
    EXPECT_EQ(engine_valid(16385), 1u);
    expect_ext_link(16384, 16385);

    // The parent has lost its engine address: the entry is written and
    // mapped but never linked.
    create(10, kCrc + 0x40000);
    kova.lut_info[slot_of(10)].lut_qe = 0x4321;
    EXPECT_EQ(extend(10, 11, kCrc + 0x40000), KOVA_ERR_INTERNAL);
    EXPECT_EQ(internal_error_file(take_log()), "extended.cpp");
    EXPECT_EQ(slot_of(11), 16386u);
    EXPECT_EQ(engine_valid(16386), 1u);
    EXPECT_EQ(le64_at(shadow_slot(slot_of(10)) + KOVA_LUT_OFF_NEXT_EXT), 0u);

    kova_LUT *scratch = kova.temp_lut;
    kova.temp_lut = nullptr;
    EXPECT_EQ(extend(11, 12), KOVA_ERR_INTERNAL);
    kova.temp_lut = scratch;
    EXPECT_EQ(internal_error_file(take_log()), "extended.cpp");

    // An entry cut off from its parent without the detached mark.
    create(20, kCrc + 0x80000);
    ASSERT_EQ(extend(20, 21, kCrc + 0x80000), KOVA_OK);
    const uint32_t cut = slot_of(21);
    ASSERT_EQ(kovaAPIdeleteFlow2(20, 1), KOVA_OK);
    kv::bytes::put_le32(engine_slot(cut) + KOVA_LUT_OFF_VALID, 1);
    EXPECT_EQ(kovaAPIdeleteExtendedFlow(21), KOVA_ERR_INTERNAL);
    EXPECT_EQ(internal_error_file(take_log()), "extended.cpp");
    EXPECT_EQ(kova.lut_info[cut].in_use, 1);
}

// A parent deleted in detach mode by an outside caller leaves its chain
// detached; the chain is then deleted from its end.
TEST_F(Extended, DetachedChainStaysDeletable) {
    create(1);
    create(0); // a member: it moves into the head when flow 1 goes
    ASSERT_EQ(extend(1, 2), KOVA_OK);
    ASSERT_EQ(extend(2, 3), KOVA_OK);
    const uint32_t e1 = slot_of(2), e2 = slot_of(3);
    ASSERT_EQ(kovaAPIdeleteFlow2(1, 1), KOVA_OK) << take_log();
    model_.erase(1);
    EXPECT_EQ(engine_valid(e1), 2u);
    EXPECT_EQ(engine_valid(e2), 2u);
    EXPECT_EQ(kova.lut_info[e1].in_use, 1);
    EXPECT_EQ(slot_of(2), e1);

    EXPECT_EQ(kovaAPIdeleteExtendedFlow(2), KOVA_ERR_INVALID); // still has the second behind it
    take_log();
    ASSERT_EQ(kovaAPIdeleteExtendedFlow(3), KOVA_OK);
    ASSERT_EQ(kovaAPIdeleteExtendedFlow(2), KOVA_OK);
    EXPECT_EQ(take_log(), "");
    expect_free(e1);
    expect_free(e2);
    model_.erase(2);
    model_.erase(3);
    EXPECT_TABLE_OK(&model_);
}

TEST_F(Extended, CombinedDeletionWithoutChainIsAnOrdinaryDeletion) {
    // The same table twice, deleted once through each function: result,
    // stats, delete counters, log and engine writes must all agree.
    struct Outcome {
        uint32_t result;
        std::array<uint32_t, 3> stats;
        std::array<uint32_t, 8> counters; // as moved by this deletion
        std::string log;
        std::vector<kova_host_trace_event> trace;
    };
    auto run = [&](uint32_t (*del)(uint32_t *)) {
        kovaAPIReInitKovaFlowTable();
        create(1);
        create(2); // same CRC: deleting 1 moves 2 into the head
        kv::bytes::put_le32(engine_slot(kHead) + KOVA_LUT_OFF_PACKET_CNT, 11);
        Outcome o{};
        std::memcpy(o.counters.data(), kova.delete_branch_count, sizeof o.counters);
        take_log();
        kova_host_trace_start();
        o.result = del(o.stats.data());
        kova_host_trace_stop();
        for (int i = 0; i < 8; ++i)
            o.counters[i] = kova.delete_branch_count[i] - o.counters[i];
        return Outcome{o.result, o.stats, o.counters, take_log(), kt::trace_events()};
    };
    const Outcome a = run([](uint32_t *st) { return kovaAPIdeleteFlowWithExtendedWithStats(1, st); });
    EXPECT_EQ(kova.appflow_map[2], kHead);
    const Outcome b = run([](uint32_t *st) { return kovaAPIdeleteFlow4(1, 0, 0, st); });
    EXPECT_EQ(a.result, KOVA_OK);
    EXPECT_EQ(a.stats[0], 11u);
    EXPECT_EQ(a.counters[1], 1u);
    EXPECT_EQ(std::tie(a.result, a.stats, a.counters, a.log), std::tie(b.result, b.stats, b.counters, b.log));
    kt::expect_same_events(a.trace, b.trace);
    model_.erase(1);
    EXPECT_TABLE_OK(&model_);
}

TEST_F(Extended, CombinedDeletionOfAHeadWithMemberAndChain) {
    create(1);
    create(2); // member, slot 16384
    ASSERT_EQ(extend(1, 3), KOVA_OK);
    ASSERT_EQ(extend(3, 4), KOVA_OK);
    ASSERT_EQ(slot_of(3), 16385u);
    ASSERT_EQ(slot_of(4), 16386u);
    kv::bytes::put_le32(engine_slot(kHead) + KOVA_LUT_OFF_TIMESTAMP, 0xABCD);

    // Until the main entry is overwritten the engine can still follow its
    // link into the chain, so the chain is marked detached first.
    size_t first_head_write = SIZE_MAX, first_chain_write = SIZE_MAX;
    uint32_t stats[3] = {};
    kova_host_trace_start();
    ASSERT_EQ(kovaAPIdeleteFlowWithExtendedWithStats(1, stats), KOVA_OK);
    kova_host_trace_stop();
    EXPECT_EQ(take_log(), "");
    EXPECT_EQ(stats[2], 0xABCDu);
    const auto trace = kt::trace_events();
    for (size_t i = 0; i < trace.size(); ++i) {
        const auto &e = trace[i];
        const uint64_t s = e.engine_off / 256;
        if (s == kHead && e.op == KOVA_TRACE_MEMCPY2 && first_head_write == SIZE_MAX)
            first_head_write = i;
        if ((s == 16385 || s == 16386) && first_chain_write == SIZE_MAX) {
            first_chain_write = i;
            EXPECT_EQ(e.op, uint32_t(KOVA_TRACE_MEMSET32));
            EXPECT_EQ(e.value, 2u);
        }
    }
    EXPECT_LT(first_chain_write, first_head_write);

    EXPECT_EQ(slot_of(2), kHead);
    for (uint32_t s : {16384u, 16385u, 16386u})
        expect_free(s);
    EXPECT_EQ(kova.ext_free_used, 0u);
    // The member's slot went back first, then the chain from its end.
    EXPECT_EQ(kova.ext_free_list[0], 16385u);
    EXPECT_EQ(kova.ext_free_list[1], 16386u);
    EXPECT_EQ(kova.ext_free_list[2], 16384u);
    expect_ext_link(kHead, KOVA_NO_SLOT);
    kt::FlowModel left{{2, kCrc}};
    EXPECT_TABLE_OK(&left);
}

// A chain the walk cannot follow: the missing id is still tried, its
// failure reported, and the main flow goes anyway.
TEST_F(Extended, CombinedDeletionGoesOnPastAFailure) {
    chain_of_two();
    kova.lut_info[kHead].ext_appflowid = 99; // names no flow
    EXPECT_EQ(kovaAPIdeleteFlowWithExtended(1), KOVA_ERR_INVALID);
    EXPECT_EQ(take_log(), "kovaAPI: trying to delete non-existing extended application flowid\n"
                          "kovaAPI: trying to delete non-existing extended application flowid\n"
                          "kovaAPI: trying to delete non-existing application flowid\n"
                          "kovaAPI: Can not delete one of extended flows\n");
    EXPECT_EQ(slot_of(1), KOVA_NO_SLOT);
    expect_free(kHead);
    EXPECT_EQ(kova.lut_info[16384].in_use, 1); // cut off, not deleted

    // The main deletion fails; its chain still goes, and its result wins.
    const uint32_t crc2 = kCrc + 0x40000;
    create(5, crc2);
    ASSERT_EQ(extend(5, 6, crc2), KOVA_OK);
    ASSERT_EQ(extend(6, 7, crc2), KOVA_OK);
    const uint32_t e1 = slot_of(6), e2 = slot_of(7);
    kova.lut_info[slot_of(5)].prev_flowid = 0; // a head slot with a predecessor
    EXPECT_EQ(kovaAPIdeleteFlowWithExtended(5), KOVA_ERR_INTERNAL);
    const std::string log = take_log();
    EXPECT_TRUE(std::regex_match(log, std::regex("kovaAPI: internal error delete\\.cpp [0-9]+"
                                                 "kovaAPI: Can not delete main flow\n")))
        << log;
    EXPECT_NE(slot_of(5), KOVA_NO_SLOT);
    expect_free(e1);
    expect_free(e2);
}

} // namespace
