// Loading and unloading the module, and /dev/kova as the engine uses it.
#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "flow/ctrl.h"
#include "support/module_test.h"

namespace {

using kt::take_log;

TEST(ModuleLoad, LoadsUnloadsAndLoadsAgainLeavingNothing) {
    long allocs = kova_host_alloc_live(), maps = kova_host_iomap_live();
    kova_host_log_clear();
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(kova_host_load(), 0);
        std::string log = take_log();
        EXPECT_EQ(log.rfind("<1>kovaAPI version 4.6.360\n", 0), 0u) << log.substr(0, 80);
        EXPECT_TRUE(kova_host_path_exists("/dev/kova"));
        EXPECT_TRUE(kova_host_path_exists("/sys/kernel/debug/kova"));
        for (int u = 0; u <= 35; ++u)
            ASSERT_EQ(kovaAPIIsUCCInitialized(u, "test"), 0) << u;
        kova_host_unload();
        EXPECT_EQ(take_log(), "<1>kovaAPI cleanup\n");
        EXPECT_FALSE(kova_host_path_exists("/dev/kova"));
        EXPECT_FALSE(kova_host_path_exists("/sys/kernel/debug/kova"));
        EXPECT_EQ(kova_host_alloc_live(), allocs);
        EXPECT_EQ(kova_host_iomap_live(), maps);
    }
}

// What the load logs last when its nth allocation fails, in the order the
// load allocates: statistics store (nothing of its own), scratch entry,
// shadow table, engine stand-in, 40 UCC parameter areas, the core area, 40
// UCC markers.
std::string alloc_failure_message(unsigned long nth) {
    const char *first[] = {"<1>kovaAPI version 4.6.360\n", "kovaAPI: no memory for temp_lut\n",
                           "No memory for XX_Malloc\n", "kovaAPI: can not ioremap kova.hashtable_base_qe\n"};
    if (nth <= 4)
        return first[nth - 1];
    if (nth <= 45)
        return nth == 45 ? "Can not get MURAM for CORE PRAM check 2\n" : "Can not get MURAM for UCC PRAM check 2\n";
    return "kovaAPI: no memory for kovaUCCparameters uccnum=" + std::to_string(nth - 46) + "\n";
}

// Every allocation of the load failing in turn: the load fails with -ENOMEM
// and its message, leaves nothing behind, and the next load succeeds.
TEST(ModuleLoad, EachAllocationFailureFailsTheLoadCleanly) {
    long allocs = kova_host_alloc_live(), maps = kova_host_iomap_live();
    unsigned long before = kova_host_alloc_count();
    ASSERT_EQ(kova_host_load(), 0);
    const unsigned long total = kova_host_alloc_count() - before;
    kova_host_unload();
    ASSERT_EQ(total, 85u);
    for (unsigned long nth = 1; nth <= total; ++nth) {
        SCOPED_TRACE(nth);
        kova_host_log_clear();
        kova_host_fail_alloc(nth);
        EXPECT_EQ(kova_host_load(), -12);
        kova_host_fail_alloc(0);
        const std::string log = take_log(), want = alloc_failure_message(nth);
        EXPECT_TRUE(kt::ends_with(log, want)) << log.substr(log.size() > 200 ? log.size() - 200 : 0);
        EXPECT_FALSE(kova_host_path_exists("/dev/kova"));
        ASSERT_EQ(kova_host_alloc_live(), allocs);
        ASSERT_EQ(kova_host_iomap_live(), maps);
    }
    ASSERT_EQ(kova_host_load(), 0);
    kova_host_unload();
}

// Every mapping of the load failing in turn, likewise.
TEST(ModuleLoad, EachMappingFailureFailsTheLoadCleanly) {
    std::vector<uint64_t> mapped;
    for (uint64_t port = 0; port < 4; ++port)
        for (uint64_t phys : {0x87E0E0000070ull + 0x40000 * port, 0x840040024500ull + 0x20000 * port,
                              0x840040024400ull + 0x20000 * port})
            mapped.push_back(phys);
    mapped.push_back(0xFFE0410F0ull);
    for (uint64_t u = 0; u < 40; ++u) {
        mapped.push_back(u < 4 ? 0x6000F11600ull + 152 * u : 0x6000F11860ull + 0x98000 * (u - 4));
        mapped.push_back(0x6001891C00ull + 0x128000 * u);
        mapped.push_back(0x6003993C00ull + 0xC4000 * u);
        if (u >= 4)
            mapped.push_back(0x6004FEBC00ull + 0x3000 * u);
    }
    long allocs = kova_host_alloc_live(), maps = kova_host_iomap_live();
    for (uint64_t phys : mapped) {
        SCOPED_TRACE(phys);
        kova_host_log_clear();
        kova_host_fail_ioremap(phys);
        EXPECT_EQ(kova_host_load(), -12);
        EXPECT_NE(take_log().find("kovaAPI: can not ioremap"), std::string::npos);
        ASSERT_EQ(kova_host_alloc_live(), allocs);
        ASSERT_EQ(kova_host_iomap_live(), maps);
    }
    kova_host_fail_ioremap(0);
    ASSERT_EQ(kova_host_load(), 0);
    EXPECT_EQ(kova_host_iomap_live(), maps + long(mapped.size()) - 1) << "the register block is unmapped at once";
    kova_host_unload();
}

TEST(ModuleLoad, RegistrationFailures) {
    long allocs = kova_host_alloc_live(), maps = kova_host_iomap_live();
    auto fails = [](int rc, const char *tail) {
        kova_host_log_clear();
        EXPECT_EQ(kova_host_load(), rc);
        const std::string log = take_log();
        EXPECT_TRUE(kt::ends_with(log, tail)) << log;
    };
    kova_host_fail_ioremap(0x6001891C00ull + 0x128000 * 12); // UCC 12's OQ area
    fails(-12, "kovaAPI: can not ioremap OQ_BASE uccnum=12\n");
    kova_host_fail_debugfs("kova");
    fails(-12, "Cannot create kova debugfs dir\n");
    kova_host_fail_misc_register(-16);
    fails(-16, "kovaAPI: misc driver registration failed\n");
    EXPECT_FALSE(kova_host_path_exists("/sys/kernel/debug/kova")) << "the directory goes with the failure";
    EXPECT_EQ(kova_host_alloc_live(), allocs);
    EXPECT_EQ(kova_host_iomap_live(), maps);
    ASSERT_EQ(kova_host_load(), 0);
    kova_host_unload();
}

// A write on a debug file that is still running when unload starts ends
// against live tables: unload removes the files first (debugfs waits for the
// calls in progress on them), then releases the tables. Here the write has
// parsed its definition and waits for the table lock when unload begins.
TEST(ModuleLoad, UnloadRemovesTheFilesBeforeReleasingTheTables) {
    const long allocs = kova_host_alloc_live();
    ASSERT_EQ(kova_host_load(), 0);
    const int fd = kova_host_open("/sys/kernel/debug/kova/create_flows");
    const std::string def = "flow_id=1 crc32=0x930481c1 flow_ucc=2 flow_subport=0 eth_dmac=02:00:00:4f:03:e8 "
                            "eth_smac=02:00:01:00:00:10 vlan_id_1=3999 vlan_id_2=3988 eth_type=0x800 "
                            "ipv4_src=192.168.32.102 ipv4_dst=192.168.39.102 udp_sport=0 udp_dport=5 "
                            "rule1=RULE_DROP_PACKET ;";
    const auto wait_for = [](auto done) {
        while (!done())
            std::this_thread::yield();
    };
    kova_host_log_clear();
    ASSERT_EQ(acquire_ucode_lock("test", __LINE__), 0);
    long written = 0;
    std::thread writer([&] { written = kova_host_write(fd, def.data(), def.size()); });
    wait_for([] { return kt::log_text().find("udp_dport=5\n") != std::string::npos; });
    std::thread unloader(kova_host_unload);
    wait_for([] { return !kova_host_path_exists("/sys/kernel/debug/kova"); });
    release_ucode_lock("test", __LINE__);
    writer.join();
    unloader.join();
    EXPECT_EQ(written, long(def.size()));
    EXPECT_TRUE(kt::ends_with(take_log(), "udp_dport=5\n<1>kovaAPI cleanup\nkovaAPIcreateVoipFlow =0\n"));
    EXPECT_FALSE(kova_host_path_exists("/dev/kova"));
    EXPECT_EQ(kova_host_close(fd), 0);
    EXPECT_EQ(kova_host_alloc_live(), allocs);
}

class Device : public kt::ModuleTest {};

TEST_F(Device, OpenReleaseAndReadBeforeAttach) {
    int fd = kova_host_open("/dev/kova");
    ASSERT_GE(fd, 0);
    char buf[16];
    EXPECT_EQ(kova_host_write(fd, "x", 1), -22) << "the device has no write";
    EXPECT_EQ(kova_host_read(fd, buf, sizeof buf), -1);
    EXPECT_EQ(kova_host_close(fd), 0);
    EXPECT_EQ(take_log(), "/dev/kova openedkova device not configured yet/dev/kova released\n");
}

TEST_F(Device, ReadsTheWindowThenWrapsToItsStart) {
    kt::EngineArea area;
    ASSERT_EQ(kt::attach_engine(kt::attach_args(area.addr(), 0x10000000, "v1")), 0);
    for (uint32_t off : {0u, 100u, KOVA_DEV_WINDOW - 10, KOVA_DEV_WINDOW - 1})
        area.data()[off] = uint8_t(off * 7 + 1);
    area.data()[KOVA_DEV_WINDOW] = 0xEE; // beyond the window: never read

    int fd = kova_host_open("/dev/kova");
    uint8_t buf[128];
    // A copy that takes nothing is a fault, not the end of the file.
    kova_host_user_copy_limit(0);
    EXPECT_EQ(kova_host_read(fd, buf, sizeof buf), -14);
    EXPECT_EQ(kova_host_file_pos(fd), 0);
    // A short user copy advances by what was copied.
    kova_host_user_copy_limit(5);
    EXPECT_EQ(kova_host_read(fd, buf, sizeof buf), 5);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(kova_host_file_pos(fd), 5);
    ASSERT_EQ(kova_host_read(fd, buf, 96), 96);
    EXPECT_EQ(buf[95], uint8_t(100 * 7 + 1));
    // Read on to 10 bytes before the end: only those 10 come back.
    std::vector<uint8_t> big(KOVA_DEV_WINDOW - 10 - 101);
    ASSERT_EQ(kova_host_read(fd, big.data(), big.size()), long(big.size()));
    std::memset(buf, 0, sizeof buf);
    take_log();
    ASSERT_EQ(kova_host_read(fd, buf, 100), 10);
    EXPECT_EQ(buf[0], uint8_t((KOVA_DEV_WINDOW - 10) * 7 + 1));
    EXPECT_EQ(buf[9], uint8_t((KOVA_DEV_WINDOW - 1) * 7 + 1));
    EXPECT_EQ(buf[10], 0);
    // At the end: nothing, the log line, and the position back at 0.
    EXPECT_EQ(kova_host_read(fd, buf, 100), 0);
    EXPECT_EQ(take_log(), "kovaAPI: end of buffer");
    EXPECT_EQ(kova_host_file_pos(fd), 0);
    ASSERT_EQ(kova_host_read(fd, buf, 1), 1);
    EXPECT_EQ(buf[0], 1);
    kova_host_close(fd);
}

} // namespace
