// The flow-table store: initialisation, its failures, reset and release.
#include <cstring>

#include "support/kova_test.h"
#include "support/table_check.h"

using kt::take_log;

namespace {

bool all_zero(const uint8_t *p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i])
            return false;
    return true;
}

TEST(StoreInit, LaysOutAnEmptyTableAndLogsItsBases) {
    long live = kova_host_alloc_live();
    kova_host_log_clear();
    ASSERT_EQ(kovaAPIInit(), KOVA_OK);
    EXPECT_EQ(kova.init_magic, 0xDEADBABAu);
    EXPECT_EQ(kova.hashtable_base_qe, 0u);
    EXPECT_EQ(kova.ext_free_used, 0u);
    EXPECT_EQ(kova.ext_free_list[0], 16384u);
    EXPECT_EQ(kova.ext_free_list[16383], 32767u);
    // The walk checks addresses only of slots in use.
    for (uint32_t s = 0; s < KOVA_LUT_ENTRIES; ++s)
        ASSERT_TRUE(kova.lut_info[s].lut_qe == 256ull * s && kova.lut_info[s].lut_cpu == kt::shadow_slot(s)) << s;
    kt::FlowModel none;
    EXPECT_TABLE_OK(&none);
    EXPECT_TRUE(all_zero(kova.hashtable_base_cpu, KOVA_LUT_TABLE_BYTES));
    EXPECT_TRUE(all_zero(kova.hashtable_base_qe_remapped, KOVA_LUT_TABLE_BYTES));
    EXPECT_TRUE(all_zero(kova.stats_area, KOVA_STATS_AREA_BYTES));

    char want[512];
    snprintf(want, sizeof want,
             "kovaAPI: kova.hashtable_base_qe 0\n"
             "kovaAPI: kova.hashtable_base_cpu %llx\n"
             "kovaAPI: kova.hashtable_base_qe remapped %llx\n",
             (unsigned long long)(uintptr_t)kova.hashtable_base_cpu,
             (unsigned long long)(uintptr_t)kova.hashtable_base_qe_remapped);
    EXPECT_NE(take_log().find(want), std::string::npos) << "flow-table lines, in order";

    EXPECT_EQ(kovaAPIDeInit(), KOVA_OK);
    EXPECT_EQ(kovaAPIDeInitKovaMicroCode(), KOVA_OK);
    EXPECT_NE(kova.init_magic, 0xDEADBABAu);
    EXPECT_EQ(kova_host_alloc_live(), live);
}

class Store : public kt::StoreTest {};

TEST_F(Store, SecondInitChangesNothing) {
    kt::Flow f(0x12345678);
    ASSERT_EQ(kovaAPIcreateVoipFlow(f.get(), 7), KOVA_OK);
    uint8_t *cpu = kova.hashtable_base_cpu;
    long live = kova_host_alloc_live();
    EXPECT_EQ(kovaAPIInit(), KOVA_OK);
    EXPECT_EQ(kova.hashtable_base_cpu, cpu);
    EXPECT_EQ(kova_host_alloc_live(), live);
    EXPECT_EQ(kova.appflow_map[7], 0x12345678u >> 18);
    EXPECT_EQ(take_log(), "");
}

TEST_F(Store, ReInitEmptiesBothCopiesAndKeepsCounters) {
    for (uint32_t a = 0; a < 40; ++a)
        ASSERT_EQ(kovaAPIcreateVoipFlow(kt::keyed_flow(0x00400000u * (a % 5) + a % 3, a).get(), a), KOVA_OK);
    kova.lut_info[16384].ext_appflowid = 99;
    kova.delete_branch_count[4] = 5;
    uint32_t created[4];
    std::memcpy(created, kova.create_branch_count, sizeof created);

    // The engine copy is cleared in one fill ended by its barrier, and the
    // engine addresses follow the base an attach left.
    kova.hashtable_base_qe = 0x40000000;
    kova_host_trace_start();
    EXPECT_EQ(kovaAPIReInitKovaFlowTable(), KOVA_OK);
    kova_host_trace_stop();
    auto ev = kt::trace_events();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].op, uint32_t(KOVA_TRACE_MEMSET));
    EXPECT_EQ(ev[0].len, uint64_t(KOVA_LUT_TABLE_BYTES));
    EXPECT_EQ(ev[1].op, uint32_t(KOVA_TRACE_BARRIER));
    EXPECT_EQ(kova.lut_info[0].lut_qe, 0x40000000u);
    EXPECT_EQ(kova.lut_info[32767].lut_qe, 0x40000000u + 0x7FFF00u);
    kova.hashtable_base_qe = 0;
    ASSERT_EQ(kovaAPIReInitKovaFlowTable(), KOVA_OK);
    EXPECT_TRUE(all_zero(kova.hashtable_base_cpu, KOVA_LUT_TABLE_BYTES));
    EXPECT_TRUE(all_zero(kova.hashtable_base_qe_remapped, KOVA_LUT_TABLE_BYTES));
    EXPECT_EQ(std::memcmp(created, kova.create_branch_count, sizeof created), 0);
    EXPECT_EQ(kova.delete_branch_count[4], 5u);
    EXPECT_EQ(kova.lut_info[16384].ext_appflowid, 99u);
    EXPECT_EQ(kova.ext_free_used, 0u);
    kt::FlowModel none;
    EXPECT_TABLE_OK(&none);

    // The reset table takes flows again, from the first overflow slot.
    kt::Flow a(0x00400001), b(0x00400002);
    ASSERT_EQ(kovaAPIcreateVoipFlow(a.get(), 1), KOVA_OK);
    ASSERT_EQ(kovaAPIcreateVoipFlow(b.get(), 2), KOVA_OK);
    EXPECT_EQ(kova.appflow_map[2], 16384u);
}

// Each allocation of the initialisation failing in turn: the result, the
// log, and that everything obtained is released by de-initialisation.
TEST(StoreInitFailure, EveryAllocationFailurePath) {
    struct Case {
        unsigned long nth;
        bool magic_left_set;
        const char *log;
    } cases[] = {
        {1, false, ""},
        {2, true, "No memory for XX_Malloc\nkovaAPI: no memory for temp_lut\n"},
        {3, true, "kovaAPI: kova.hashtable_base_qe 0\nNo memory for XX_Malloc\n"},
        {4, true, nullptr}, // the engine stand-in: logged with the mapping message
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.nth);
        long live = kova_host_alloc_live();
        kova_host_log_clear();
        kova_host_fail_alloc(c.nth);
        EXPECT_EQ(kovaAPIInit(), KOVA_ERR_NO_MEMORY);
        EXPECT_EQ(kova.init_magic == 0xDEADBABAu, c.magic_left_set);
        std::string log = take_log();
        if (c.log)
            EXPECT_EQ(log, c.log);
        else
            EXPECT_NE(log.find("kovaAPI: can not ioremap kova.hashtable_base_qe\n"), std::string::npos) << log;
        kovaAPIDeInitKovaMicroCode();
        EXPECT_EQ(kova_host_alloc_live(), live);
        // A later initialisation succeeds.
        ASSERT_EQ(kovaAPIInit(), KOVA_OK);
        kovaAPIDeInitKovaMicroCode();
        EXPECT_EQ(kova_host_alloc_live(), live);
    }
}

TEST(XXMalloc, LogsWhenTheAllocationFails) {
    // The failure's log line is checked with the init failures above.
    kova_host_fail_alloc(1);
    EXPECT_EQ(XX_Malloc(16), nullptr);
    void *p = XX_Malloc(16);
    ASSERT_NE(p, nullptr);
    XX_Free(p);
    XX_Free(nullptr);
}

} // namespace
