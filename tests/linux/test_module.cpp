// Loading and unloading the module, and /dev/kova as the engine uses it.
#include <cstring>

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

// Every allocation of the load failing in turn: the load fails with -1,
// leaves nothing behind, and the next load succeeds.
TEST(ModuleLoad, EachAllocationFailureFailsTheLoadCleanly) {
    long allocs = kova_host_alloc_live(), maps = kova_host_iomap_live();
    unsigned long before = kova_host_alloc_count();
    ASSERT_EQ(kova_host_load(), 0);
    const unsigned long total = kova_host_alloc_count() - before;
    kova_host_unload();
    for (unsigned long nth = 1; nth <= total; ++nth) {
        SCOPED_TRACE(nth);
        kova_host_fail_alloc(nth);
        EXPECT_EQ(kova_host_load(), -1);
        kova_host_fail_alloc(0);
        EXPECT_FALSE(kova_host_path_exists("/dev/kova"));
        ASSERT_EQ(kova_host_alloc_live(), allocs);
        ASSERT_EQ(kova_host_iomap_live(), maps);
    }
    ASSERT_EQ(kova_host_load(), 0);
    kova_host_unload();
}

TEST(ModuleLoad, RegistrationFailures) {
    long allocs = kova_host_alloc_live(), maps = kova_host_iomap_live();
    kova_host_log_clear();
    kova_host_fail_ioremap(0x6001891C00ull + 0x128000 * 12); // UCC 12's OQ area
    EXPECT_EQ(kova_host_load(), -1);
    EXPECT_NE(take_log().find("kovaAPI: can not ioremap OQ_BASE uccnum=12\n"), std::string::npos);

    kova_host_fail_debugfs("kova");
    EXPECT_EQ(kova_host_load(), -12);
    std::string log = take_log();
    EXPECT_EQ(log.substr(log.size() - 31), "Cannot create kova debugfs dir\n");

    kova_host_fail_misc_register(-16);
    EXPECT_EQ(kova_host_load(), -16);
    log = take_log();
    EXPECT_EQ(log.substr(log.size() - 41), "kovaAPI: misc driver registration failed\n");
    EXPECT_FALSE(kova_host_path_exists("/sys/kernel/debug/kova")) << "the directory goes with the failure";
    EXPECT_EQ(kova_host_alloc_live(), allocs);
    EXPECT_EQ(kova_host_iomap_live(), maps);

    ASSERT_EQ(kova_host_load(), 0);
    kova_host_unload();
}

class Device : public kt::ModuleTest {};

TEST_F(Device, OpenAndReleaseAreLogged) {
    int fd = kova_host_open("/dev/kova");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(kova_host_write(fd, "x", 1), -22) << "the device has no write";
    EXPECT_EQ(kova_host_close(fd), 0);
    EXPECT_EQ(take_log(), "/dev/kova opened/dev/kova released\n");
}

TEST_F(Device, ReadBeforeAttachIsRefused) {
    int fd = kova_host_open("/dev/kova");
    char buf[16];
    take_log();
    EXPECT_EQ(kova_host_read(fd, buf, sizeof buf), -1);
    EXPECT_EQ(take_log(), "kova device not configured yet");
    kova_host_close(fd);
}

TEST_F(Device, ReadsTheWindowThenWrapsToItsStart) {
    kt::EngineArea area;
    for (uint32_t off : {0u, 100u, KOVA_DEV_WINDOW - 10, KOVA_DEV_WINDOW - 1})
        area.data()[off] = uint8_t(off * 7 + 1);
    area.data()[KOVA_DEV_WINDOW] = 0xEE; // beyond the window: never read
    ASSERT_EQ(kt::attach_engine(kt::attach_args(area.addr(), 0x10000000, "v1")), 0);

    int fd = kova_host_open("/dev/kova");
    uint8_t buf[128];
    ASSERT_EQ(kova_host_read(fd, buf, 101), 101);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(buf[100], uint8_t(100 * 7 + 1));
    EXPECT_EQ(kova_host_file_pos(fd), 101);

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

TEST_F(Device, ShortUserCopyAdvancesByWhatWasCopied) {
    kt::EngineArea area;
    ASSERT_EQ(kt::attach_engine(kt::attach_args(area.addr(), 0x10000000, "v1")), 0);
    int fd = kova_host_open("/dev/kova");
    uint8_t buf[64];
    kova_host_user_copy_limit(5);
    EXPECT_EQ(kova_host_read(fd, buf, sizeof buf), 5);
    EXPECT_EQ(kova_host_file_pos(fd), 5);
    kova_host_close(fd);
}

} // namespace
