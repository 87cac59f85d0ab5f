// Flow queries: statistics read from the engine copy by appflowid, and the
// existence check's walk of one bucket's list of distinct CRC32 values.
#include <array>
#include <cstdio>
#include <string>

#include "flow/query.h"
#include "flow/table.h"
#include "lib/bytes.h"
#include "support/kova_test.h"
#include "support/module_test.h"

namespace {

using kt::engine_slot;
using kt::shadow_slot;
using kt::take_log;

constexpr uint64_t kPoison64 = 0xAAAAAAAAAAAAAAAAull;
constexpr uint32_t kPoison32 = 0xAAAAAAAAu;

void put_words(uint8_t *entry, uint32_t packets, uint32_t word2, uint32_t stamp) {
    kv::bytes::put_le32(entry + KOVA_LUT_OFF_PACKET_CNT, packets);
    kv::bytes::put_le32(entry + KOVA_LUT_OFF_STATS_WORD2, word2);
    kv::bytes::put_le32(entry + KOVA_LUT_OFF_TIMESTAMP, stamp);
}

uint32_t create(uint32_t crc, uint32_t appflowid) {
    kt::Flow f = kt::keyed_flow(crc, appflowid);
    return kovaAPIcreateVoipFlow(f.get(), appflowid);
}

using W3 = std::array<uint32_t, 3>;
W3 words(const uint32_t *stats) { return {stats[0], stats[1], stats[2]}; }

std::string fmt_addr(const char *format, uint64_t v) {
    char buf[160];
    std::snprintf(buf, sizeof buf, format, (unsigned long long)v);
    return buf;
}

// All three queries on one appflowid must refuse it with result 7 and leave
// the destinations alone; returns the log they produced.
std::string refuse_all(int32_t appflowid) {
    uint64_t counter = kPoison64, stamp = kPoison64;
    uint32_t stats[3] = {kPoison32, kPoison32, kPoison32};
    EXPECT_EQ(kovaAPIgetFlowPacketCounter(appflowid, &counter), KOVA_ERR_INVALID);
    EXPECT_EQ(kovaAPIgetFlowStatistics(appflowid, stats), KOVA_ERR_INVALID);
    EXPECT_EQ(kovaAPIgetFlowTimeStamp(appflowid, &stamp), KOVA_ERR_INVALID);
    EXPECT_EQ(counter, kPoison64);
    EXPECT_EQ(stamp, kPoison64);
    EXPECT_EQ(words(stats), (W3{kPoison32, kPoison32, kPoison32}));
    return take_log();
}

// The same message three times: counter, statistics (also "counter"), timestamp.
std::string three(const char *format) {
    char c[160], t[160];
    std::snprintf(c, sizeof c, format, "counter");
    std::snprintf(t, sizeof t, format, "timestamp");
    return std::string(c) + c + t;
}

class QueryStats : public kt::StoreTest {};

TEST_F(QueryStats, RefusesAppflowidsWithoutALiveFlow) {
    const std::string outside = three("kovaAPI: trying to get %s for flowid which is out of range\n");
    for (int32_t id : {32768, -1})
        EXPECT_EQ(refuse_all(id), outside) << id;
    // Never created, including the highest valid appflowid.
    EXPECT_EQ(refuse_all(32767), three("kovaAPI: trying to to get %s for non-existing application flowid\n"));

    // A map entry naming no slot, or a slot no flow owns.
    kova.appflow_map[5] = KOVA_LUT_ENTRIES;
    EXPECT_EQ(refuse_all(5), three("kovaAPI: trying to to get %s for for flowid which is out of range\n"));
    const std::string dead = three("kovaAPI: trying to to get %s for for non-existing flow\n");
    kova.appflow_map[5] = 100;
    ASSERT_EQ(kova.lut_info[100].in_use, 0);
    EXPECT_EQ(refuse_all(5), dead);
    // Released: records keep their contents, the tables are gone.
    kova.appflow_map[5] = KOVA_NO_SLOT;
    ASSERT_EQ(create(0x12345678, 42), KOVA_OK);
    kovaAPIDeInitKovaMicroCode();
    take_log();
    EXPECT_EQ(refuse_all(42), dead);
}

// Head and overflow flows each read their own entry's engine words; the
// 64-bit results are zero-extended.
TEST_F(QueryStats, LiveFlowsReadTheirOwnEngineWords) {
    const uint32_t crc = 0x40000001, head = crc >> KOVA_LUT_BUCKET_SHIFT;
    ASSERT_EQ(create(crc, 1), KOVA_OK);
    ASSERT_EQ(create(crc, 2), KOVA_OK);
    const uint32_t member = kova.appflow_map[2];
    take_log();
    put_words(engine_slot(head), 0xFFFFFFF0u, 0x80000001u, 0xFFFFFFFEu);
    put_words(shadow_slot(head), 1, 2, 3); // the shadow's words are not the statistics
    put_words(engine_slot(member), 21, 22, 23);

    uint32_t stats[3] = {};
    ASSERT_EQ(kovaAPIgetFlowStatistics(1, stats), KOVA_OK);
    EXPECT_EQ(words(stats), (W3{0xFFFFFFF0u, 0x80000001u, 0xFFFFFFFEu}));
    uint64_t counter = kPoison64, stamp = kPoison64;
    ASSERT_EQ(kovaAPIgetFlowPacketCounter(1, &counter), KOVA_OK);
    EXPECT_EQ(counter, 0x00000000FFFFFFF0ull);
    ASSERT_EQ(kovaAPIgetFlowTimeStamp(1, &stamp), KOVA_OK);
    EXPECT_EQ(stamp, 0x00000000FFFFFFFEull);

    ASSERT_EQ(kovaAPIgetFlowStatistics(2, stats), KOVA_OK);
    EXPECT_EQ(words(stats), (W3{21, 22, 23}));
    ASSERT_EQ(kovaAPIgetFlowTimeStamp(2, &stamp), KOVA_OK);
    EXPECT_EQ(stamp, 23u);
    EXPECT_EQ(take_log(), "");

    // A null destination is refused silently only once the flow checks pass.
    EXPECT_EQ(kovaAPIgetFlowStatistics(1, nullptr), KOVA_ERR_INVALID);
    EXPECT_EQ(kovaAPIgetFlowPacketCounter(1, nullptr), KOVA_ERR_INVALID);
    EXPECT_EQ(kovaAPIgetFlowTimeStamp(1, nullptr), KOVA_ERR_INVALID);
    EXPECT_EQ(take_log(), "");
    EXPECT_EQ(kovaAPIgetFlowStatistics(43, nullptr), KOVA_ERR_INVALID);
    EXPECT_EQ(take_log(), "kovaAPI: trying to to get counter for non-existing application flowid\n");
}

// Queries after an attach read the engine's own area.
class QueryAttached : public kt::ModuleTest {};

TEST_F(QueryAttached, StatisticsComeFromTheEnginesArea) {
    kt::EngineArea area;
    ASSERT_EQ(kt::attach_engine(kt::attach_args(area.addr(), 0x2000000000ull, "v")), 0);
    const uint32_t crc = 0x12340001, head = crc >> KOVA_LUT_BUCKET_SHIFT;
    ASSERT_EQ(create(crc, 1), KOVA_OK);
    ASSERT_EQ(create(crc, 2), KOVA_OK);
    put_words(area.data() + KOVA_LUT_SIZE * head, 0xFFFFFFF1u, 5, 6);
    put_words(area.data() + KOVA_LUT_SIZE * KOVA_LUT_OVERFLOW_FIRST, 7, 8, 0xFFFFFFF9u);

    uint64_t v = 0;
    ASSERT_EQ(kovaAPIgetFlowPacketCounter(1, &v), KOVA_OK);
    EXPECT_EQ(v, 0xFFFFFFF1ull);
    uint32_t stats[3] = {};
    ASSERT_EQ(kovaAPIgetFlowStatistics(2, stats), KOVA_OK);
    EXPECT_EQ(words(stats), (W3{7, 8, 0xFFFFFFF9u}));
}

class QueryExists : public kt::StoreTest {
protected:
    void SetUp() override {
        kt::StoreTest::SetUp();
        // As after an earlier call on this table, so only the walk's own lines show.
        stored_hashtable_base_cpu = base();
    }
    static uint64_t base() { return uint64_t(uintptr_t(kova.hashtable_base_cpu)); }
    static uint64_t head_offset(uint32_t crc) { return uint64_t(crc >> KOVA_LUT_BUCKET_SHIFT) * KOVA_LUT_SIZE; }
};

TEST_F(QueryExists, WalksOnlyTheGivenBucketsDistinctCrcList) {
    const uint32_t A = 0x40000001, B = 0x40000002, C = 0x40000003, elsewhere = 0x80000001;
    const uint64_t start = head_offset(A);
    // An empty head's crc32 word is 0 and its MAC words are not looked at.
    EXPECT_EQ(kovaAPIcheckFlowExists(A, start), 0u);
    EXPECT_EQ(kovaAPIcheckFlowExists(0, start), 1u);
    EXPECT_EQ(kovaAPIcheckFlowExists(A, KOVA_LUT_TABLE_BYTES - KOVA_LUT_SIZE), 0u) << "last slot is a valid start";

    ASSERT_EQ(create(A, 1), KOVA_OK);
    ASSERT_EQ(create(A, 2), KOVA_OK); // same CRC32, behind the head
    ASSERT_EQ(create(B, 3), KOVA_OK); // second value, reached through next_crc12
    ASSERT_EQ(create(elsewhere, 4), KOVA_OK);
    take_log();
    EXPECT_EQ(kovaAPIcheckFlowExists(A, start), 1u);
    EXPECT_EQ(kovaAPIcheckFlowExists(B, start), 1u);
    EXPECT_EQ(kovaAPIcheckFlowExists(C, start), 0u);
    // Only the low 32 bits of the argument are the CRC32.
    EXPECT_EQ(kovaAPIcheckFlowExists(0xFFFFFFFF00000000ull | B, start), 1u);
    // Present, but in another bucket: the start decides where to look.
    EXPECT_EQ(kovaAPIcheckFlowExists(elsewhere, start), 0u);
    // A value seen only on a same-CRC32 list is not followed there.
    kv::bytes::put_le32(shadow_slot(kova.appflow_map[2]) + KOVA_LUT_OFF_CRC32, 0x40000077);
    EXPECT_EQ(kovaAPIcheckFlowExists(0x40000077, start), 0u);
    EXPECT_EQ(take_log(), "");
}

// A start beyond the table, or a link outside the shadow or back to the
// head, ends the walk with "found".
TEST_F(QueryExists, BadAddressesStopTheWalk) {
    const char *line = "ORVEX_BUG4702: kovaAPIcheckFlowExists wrong search_lut address = 0x%llx\n";
    EXPECT_EQ(kovaAPIcheckFlowExists(0x1234, KOVA_LUT_TABLE_BYTES), 1u);
    EXPECT_EQ(take_log(), "ORVEX_BUG4702: kovaAPIcheckFlowExists wrong start address = 0x800000\n");
    // A start that is not a slot boundary must not read past the table's end.
    EXPECT_EQ(kovaAPIcheckFlowExists(0x1234, KOVA_LUT_TABLE_BYTES - 1), 1u);
    EXPECT_EQ(take_log(), fmt_addr(line, base() + KOVA_LUT_TABLE_BYTES - 1));

    const uint32_t A = 0x40000001, head = A >> KOVA_LUT_BUCKET_SHIFT;
    ASSERT_EQ(create(A, 1), KOVA_OK);
    take_log();
    uint8_t *entry = shadow_slot(head);
    for (uint64_t bad : {base() + KOVA_LUT_TABLE_BYTES, base() - KOVA_LUT_SIZE}) {
        kv::table::set_link(entry, KOVA_LUT_OFF_NEXT_CRC12, bad);
        EXPECT_EQ(kovaAPIcheckFlowExists(0x40000002, head_offset(A)), 1u);
        EXPECT_EQ(take_log(), fmt_addr(line, bad));
    }
    // A match before the bad link is still a match, with nothing logged.
    EXPECT_EQ(kovaAPIcheckFlowExists(A, head_offset(A)), 1u);
    EXPECT_EQ(take_log(), "");
    kv::table::set_link(entry, KOVA_LUT_OFF_NEXT_CRC12, kt::shadow_addr(head));
    EXPECT_EQ(kovaAPIcheckFlowExists(0x40000002, head_offset(A)), 1u);
    EXPECT_NE(take_log().find("kovaAPI: internal error"), std::string::npos);
}

TEST_F(QueryExists, TableBaseIsLoggedWhenFirstSeenAndWhenItMoves) {
    stored_hashtable_base_cpu = 0; // as after load
    EXPECT_EQ(kovaAPIcheckFlowExists(1, 0), 0u);
    EXPECT_EQ(take_log(),
              fmt_addr("ORVEX_BUG4702: stored_hashtable_base_cpu=0x0 kova.hashtable_base_cpu=0x%llx\n", base()));
    EXPECT_EQ(stored_hashtable_base_cpu, base());
    EXPECT_EQ(kovaAPIcheckFlowExists(1, 0), 0u);
    EXPECT_EQ(take_log(), "") << "logged once";

    // A table seen elsewhere before: both values, stored first.
    stored_hashtable_base_cpu = 0x5000;
    EXPECT_EQ(kovaAPIcheckFlowExists(1, 0), 0u);
    EXPECT_EQ(take_log(),
              fmt_addr("ORVEX_BUG4702: stored_hashtable_base_cpu=0x5000 kova.hashtable_base_cpu=0x%llx\n", base()));
}

TEST(QueryBeforeInit, ExistenceCheckRefusesWithoutTouchingTheStoredBase) {
    ASSERT_NE(kova.init_magic, KOVA_INIT_MAGIC);
    kova_host_log_clear();
    stored_hashtable_base_cpu = 0x5000;
    EXPECT_EQ(kovaAPIcheckFlowExists(0, 0), 1u);
    EXPECT_EQ(take_log(), "ORVEX_BUG4702: kovaAPI: kovaAPI not initialized yet\n");
    EXPECT_EQ(stored_hashtable_base_cpu, 0x5000u);
    stored_hashtable_base_cpu = 0;
}

} // namespace
