// The engine's attach: the table and every per-UCC area move into the
// engine's area at its fixed map, and flows appear there.
#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "flow/ctrl.h"
#include "support/module_test.h"
#include "support/table_check.h"

namespace {

using kt::take_log;

constexpr uint64_t kQeBase = 0x2000000000ull;

template <typename T> T pram_at(uint32_t u, uint32_t off) {
    T v;
    std::memcpy(&v, kova.kovaUCCPRAM[u] + off, sizeof v);
    return v;
}

class Attach : public kt::ModuleTest {};

TEST_F(Attach, FlowsAppearInTheEnginesArea) {
    kt::EngineArea area;
    ASSERT_EQ(kt::attach_engine(kt::attach_args(area.addr(), kQeBase, "ucode 7.1")), 0);
    char want[400];
    snprintf(want, sizeof want,
             "/dev/kova openedkovaAPI: kova ucode version ucode 7.1\n"
             "kovaAPI: kova.hashtable_base_qe %llx\n"
             "kovaAPI: kova.hashtable_base_qe remapped %llx\n/dev/kova released\n",
             (unsigned long long)kQeBase, (unsigned long long)area.addr());
    EXPECT_EQ(take_log(), want);
    EXPECT_STREQ(kova.ucode_version, "ucode 7.1");
    EXPECT_EQ(kova.lut_info[32767].lut_qe, kQeBase + 0x7FFF00);

    const uint32_t crc = 0x12340001;
    kt::Flow a(crc), b(crc);
    ASSERT_EQ(kovaAPIcreateVoipFlow(a.get(), 1), KOVA_OK);
    ASSERT_EQ(kovaAPIcreateVoipFlow(b.get(), 2), KOVA_OK);
    const uint8_t *head = area.data() + 256 * (crc >> 18), *next = area.data() + 256 * 16384;
    EXPECT_EQ(kt::le32_at(head + KOVA_LUT_OFF_CRC32), crc);
    EXPECT_EQ(kt::le32_at(head + KOVA_LUT_OFF_VALID), 1u);
    EXPECT_EQ(kt::le32_at(next + KOVA_LUT_OFF_VALID), 1u);
    EXPECT_EQ(kt::le64_at(head + KOVA_LUT_OFF_NEXT_CRC32), kQeBase + 256 * 16384);
    EXPECT_EQ(std::memcmp(head, kova.hashtable_base_cpu + 256 * (crc >> 18), KOVA_LUT_OFF_NEXT_CRC12), 0);
    kt::FlowModel model{{1, crc}, {2, crc}};
    EXPECT_TABLE_OK(&model);
}

TEST_F(Attach, PerUccAreasMoveToTheirFixedOffsets) {
    kt::EngineArea area;
    const uint64_t oq36_fixed = pram_at<uint64_t>(36, 360);
    uint8_t *oq36 = kova.OQ_BASE[36];
    ASSERT_EQ(kt::attach_engine(kt::attach_args(area.addr(), kQeBase, "v")), 0);
    uint8_t *base = area.data();
    EXPECT_EQ(kova.CNT_BASE[4], base + 0x8202A0);
    EXPECT_EQ(kova.OQ_BASE[35], base + 0x4858040);
    EXPECT_EQ(kova.STORM_BASE[39], base + 0x7158040);
    EXPECT_EQ(kova.IC_BASE[10], base + KOVA_SHM_IC + 10 * 0xC4000);
    EXPECT_EQ(kova.lkup_mask_port_qe, base + 0x800000);
    EXPECT_EQ(kova.lkup_mask_vlan_qe, base + 0x800040);
    EXPECT_EQ(pram_at<uint64_t>(3, 4674), 0x820208u);
    EXPECT_EQ(pram_at<uint64_t>(4, 4674), 0x8202A0u);
    EXPECT_EQ(pram_at<uint64_t>(35, 360), 0x4858040u);
    EXPECT_EQ(pram_at<uint64_t>(35, 368), KOVA_SHM_ONUOQ + 35 * 0x3000u);
    EXPECT_EQ(pram_at<uint64_t>(35, 444), KOVA_SHM_IC + 35 * 0xC4000u);
    EXPECT_EQ(pram_at<uint64_t>(35, 452), KOVA_SHM_ONUIC + 35 * 0x3000u);
    EXPECT_EQ(pram_at<uint64_t>(0, 460), KOVA_SHM_STORM + 0u);
    // UCC 36 keeps its fixed OQ area; its storm control moves.
    EXPECT_EQ(pram_at<uint64_t>(36, 360), oq36_fixed);
    EXPECT_EQ(kova.OQ_BASE[36], oq36);
    EXPECT_EQ(kova.ONUOQ_BASE[36], nullptr);
    EXPECT_EQ(pram_at<uint64_t>(36, 460), 0x7110040u);
}

TEST_F(Attach, SecondAttachReplacesTheFirst) {
    kt::EngineArea first, second;
    ASSERT_EQ(kt::attach_engine(kt::attach_args(first.addr(), kQeBase, "one")), 0);
    // The version is taken from its field only, even without a terminator.
    kova_attach_args a = kt::attach_args(second.addr(), kQeBase + 0x1000000, "");
    std::memset(a.ucode_version, 'v', sizeof a.ucode_version);
    ASSERT_EQ(kt::attach_engine(a), 0);
    EXPECT_EQ(std::string(kova.ucode_version), std::string(32, 'v'));
    EXPECT_EQ(kova.hashtable_base_qe_remapped, second.data());
    EXPECT_EQ(kova.lut_info[1].lut_qe, kQeBase + 0x1000000 + 256);
    EXPECT_EQ(kova.CNT_BASE[0], second.data() + KOVA_SHM_CNT);
    EXPECT_EQ(kova_host_pins_live(), pins_ + 1) << "the first area is released";
}

TEST_F(Attach, QeBaseZeroLeavesTheDeviceUnconfigured) {
    kt::EngineArea area;
    ASSERT_EQ(kt::attach_engine(kt::attach_args(area.addr(), 0, "v")), 0);
    EXPECT_NE(take_log().find("kovaAPI: kova.hashtable_base_qe NULL\n"), std::string::npos);
    int fd = kova_host_open("/dev/kova");
    char c;
    EXPECT_EQ(kova_host_read(fd, &c, 1), -1);
    kova_host_close(fd);
}

// An area the module cannot use whole is refused and changes nothing.
TEST_F(Attach, UnusableAreasAreRefused) {
    kt::EngineArea short_area(0x100000);
    uint8_t *remapped = kova.hashtable_base_qe_remapped;
    uint8_t *cnt0 = kova.CNT_BASE[0];
    for (uint64_t addr : {short_area.addr(), uint64_t(0x1000), uint64_t(0)}) {
        SCOPED_TRACE(addr);
        take_log();
        EXPECT_EQ(kt::attach_engine(kt::attach_args(addr, kQeBase, "v")), -14);
        EXPECT_EQ(take_log().find("kova ucode version"), std::string::npos);
        EXPECT_EQ(kova.hashtable_base_qe, 0u);
        EXPECT_EQ(kova.hashtable_base_qe_remapped, remapped);
        EXPECT_EQ(kova.CNT_BASE[0], cnt0);
        EXPECT_EQ(kova.lut_info[5].lut_qe, 5 * 256u);
    }
}

TEST_F(Attach, IoctlCommandsAndPayloadErrors) {
    kt::EngineArea area;
    const kova_attach_args a = kt::attach_args(area.addr(), kQeBase, "v");
    take_log();
    EXPECT_EQ(kt::attach_engine(a, (48u << 16) | ('k' << 8) | 1), -22);
    EXPECT_EQ(take_log(), "/dev/kova opened/dev/kova released\n");
    const unsigned int three = (1u << 30) | (48u << 16) | ('k' << 8) | 3;
    EXPECT_EQ(kt::attach_engine(a, three), -22);
    char want[120]; // an unknown command number is logged
    snprintf(want, sizeof want, "/dev/kova openedkovaAPI: unhandled ioctl num=0x%x param=0x%lx/dev/kova released\n",
             three, (unsigned long)(uintptr_t)&a);
    EXPECT_EQ(take_log(), want);
    EXPECT_EQ(kt::attach_engine(a, (1u << 30) | (49u << 16) | ('k' << 8) | 2), -22);
    kova_host_user_copy_limit(47);
    EXPECT_EQ(kt::attach_engine(a), -14);
    EXPECT_EQ(kova.hashtable_base_qe, 0u);
    // The size field is not trusted for the copy: 0 still takes 48 bytes,
    // and the type byte is not looked at.
    EXPECT_EQ(kt::attach_engine(a, ('x' << 8) | 2), 0);
    EXPECT_EQ(kova.hashtable_base_qe, kQeBase);
}

// Flows made before the first attach, or before an engine restart, are in
// the engine's new area when the attach returns, whatever the area held:
// links, valid words and a detached extended flow's mark included.
TEST_F(Attach, EveryLiveFlowIsPublishedIntoTheNewArea) {
    kt::Flow main(0x00040001), same(0x00040001), other(0x00040002), ext(0x00040002);
    ASSERT_EQ(kovaAPIcreateVoipFlow(main.get(), 1), KOVA_OK);
    ASSERT_EQ(kovaAPIcreateVoipFlow(same.get(), 2), KOVA_OK);
    ASSERT_EQ(kovaAPIcreateVoipFlow(other.get(), 3), KOVA_OK);
    ASSERT_EQ(kovaAPIcreateExtendedFlow(ext.get(), 3, 4), KOVA_OK);
    kt::EngineArea first, second;
    std::memset(first.data(), 0xA5, KOVA_LUT_TABLE_BYTES); // a stale table
    ASSERT_EQ(kt::attach_engine(kt::attach_args(first.addr(), kQeBase, "v")), 0);
    kt::FlowModel model{{1, 0x00040001}, {2, 0x00040001}, {3, 0x00040002}, {4, 0x00040002}};
    EXPECT_TABLE_OK(&model);
    // A flow added behind the republished ones is reachable too.
    kt::Flow later(0x00040002);
    ASSERT_EQ(kovaAPIcreateVoipFlow(later.get(), 5), KOVA_OK);
    model[5] = 0x00040002;
    EXPECT_TABLE_OK(&model);

    // Flow 3 leaves in detach mode: its extended flow 4 stays, marked 2.
    ASSERT_EQ(kovaAPIdeleteFlow2(3, 1), KOVA_OK);
    const uint32_t slot4 = kova.appflow_map[4];
    ASSERT_EQ(kt::attach_engine(kt::attach_args(second.addr(), kQeBase + 0x10000000, "v")), 0);
    EXPECT_EQ(kt::le32_at(second.data() + 256 * slot4 + KOVA_LUT_OFF_VALID), KOVA_LUT_VALID_DETACHED);
    EXPECT_EQ(kovaAPIdeleteExtendedFlow(4), KOVA_OK) << "the mark still lets it go";
    model.erase(3);
    model.erase(4);
    EXPECT_TABLE_OK(&model);
}

// A second kovaAPIInit while one caller holds the lock and another waits
// for it changes nothing: the waiter still gets the lock (a lock initialised
// again under its waiter never wakes it).
TEST_F(Attach, ConcurrentInitLeavesTheLockAndItsWaitersAlone) {
    ASSERT_EQ(acquire_ucode_lock("test", __LINE__), 0);
    std::thread waiter([] {
        kt::Flow f(0x00080001);
        EXPECT_EQ(kovaAPIcreateVoipFlow(f.get(), 7), KOVA_OK);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // let it block
    EXPECT_EQ(kovaAPIInit(), KOVA_OK);
    release_ucode_lock("test", __LINE__);
    waiter.join();
    kt::FlowModel model{{7, 0x00080001}};
    EXPECT_TABLE_OK(&model);
}

// Two engine areas taking turns, as an engine that restarts. An area the
// module gave back is made inaccessible until it is attached again, so a
// module access after the give-back faults.
class Reattacher {
public:
    Reattacher() { kova_host_unpin_protects(1); }
    ~Reattacher() { kova_host_unpin_protects(0); }
    void next() {
        kt::EngineArea &a = areas_[turn_ % 2];
        ASSERT_EQ(mprotect(a.data(), KOVA_SHM_SIZE, PROT_READ | PROT_WRITE), 0);
        ASSERT_EQ(kt::attach_engine(kt::attach_args(a.addr(), kQeBase + (turn_ % 2) * 0x40000000, "v")), 0);
        ++turn_;
    }

private:
    kt::EngineArea areas_[2];
    uint32_t turn_ = 0;
};

// Everything that reaches the engine's area without the table lock, run
// against re-attaches. Each use is checked for the result it must have.
using LockFreeUse = void (*)(uint32_t i);
const LockFreeUse kLockFreeUses[] = {
    [](uint32_t) {
        uint32_t st[3];
        EXPECT_EQ(kovaAPIgetFlowStatistics(1, st), KOVA_OK);
    },
    [](uint32_t i) {
        kova_PORT_STATS st;
        EXPECT_EQ(kovaAPIGetPortStatistics(int32_t(4 + i % 32), 1, &st), KOVA_OK);
    },
    [](uint32_t i) { EXPECT_EQ(kovaAPIClearPortStatistics(int32_t(i % 36), 1), KOVA_OK); },
    [](uint32_t i) {
        EXPECT_EQ(kovaAPISetOQShapingWithCDR(int32_t(i % 36), 0, 1, 100000000, 1500, 0, 0, 0), KOVA_OK);
        EXPECT_EQ(kovaAPISetICPolicing(int32_t(4 + i % 32), 2000, 6, 100000000, 1500, 1100000000, 10000), KOVA_OK);
    },
    [](uint32_t i) { EXPECT_EQ(kovaAPISetStormControlCfg(int32_t(i % 40), 9, 1500, 1000, 1000), KOVA_OK); },
    [](uint32_t i) { EXPECT_EQ(kovaAPIsetLKUPMask(int32_t(4 + i % 32), int32_t(1 + i % 4095), uint8_t(i)), KOVA_OK); },
    [](uint32_t i) {
        const int fd = kova_host_open("/dev/kova");
        char buf[512];
        EXPECT_EQ(kova_host_read(fd, buf, sizeof buf), long(sizeof buf)) << i;
        kova_host_close(fd);
    },
    [](uint32_t) {
        const int fd = kova_host_open("/sys/kernel/debug/kova/dump_flows_qe");
        EXPECT_GE(fd, 0);
        kova_host_close(fd);
    },
};

TEST_F(Attach, ConcurrentLockFreeUsersNeverReachAnAreaGivenBack) {
    Reattacher engine;
    engine.next();
    kt::Flow f(0x00100001);
    ASSERT_EQ(kovaAPIcreateVoipFlow(f.get(), 1), KOVA_OK);
    std::atomic<bool> done{false};
    std::vector<std::thread> users;
    for (LockFreeUse use : kLockFreeUses)
        users.emplace_back([use, &done] {
            for (uint32_t i = 0; !done; ++i)
                use(i);
        });
    for (int n = 0; n < 24; ++n)
        engine.next();
    done = true;
    for (auto &u : users)
        u.join();
    kt::FlowModel model{{1, 0x00100001}};
    EXPECT_TABLE_OK(&model);
}

} // namespace
