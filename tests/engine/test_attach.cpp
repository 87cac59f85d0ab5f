// The engine's side: each UCC's set-up, and the attach into the engine's area.
#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "flow/ctrl.h"
#include "support/module_test.h"
#include "support/table_check.h"

namespace {

using namespace kt;

constexpr uint64_t kQeBase = 0x2000000000ull;

// Words of a UCC's parameter area, which tell the engine where its areas are.
uint64_t pram(uint64_t u, uint64_t off) { return le64_at(kova.kovaUCCPRAM[u] + off); }
void expect_pram(std::initializer_list<uint64_t> words) {
    for (const uint64_t *w = words.begin(); w != words.end(); w += 3) // UCC, offset, word
        EXPECT_EQ(pram(w[0], w[1]), w[2]) << w[0] << " " << w[1];
}

class Ucc : public StoreTest {};

// Each UCC's areas are cleared and recorded for the engine with its bitmap bit;
// a second set-up fails for an Ethernet UCC and leaves any other alone.
TEST_F(Ucc, SetUpItsLogASecondSetUpAndTheInitialisedCheck) {
    std::memset(kova_host_iomem(0x6000F11600ull), 0x77, 152);
    std::memset(kova_host_iomem(0x6004FEBC00ull + 0x3000 * 5), 0x77, 64);
    ASSERT_EQ(kovaAPIInitKovaUcc(4), 0);
    char want[600];
    auto x = [](const void *p) { return (unsigned long long)(uintptr_t)p; };
    std::snprintf(want, sizeof want,
                  "kovaAPI: init UCC num 4\nkovaAPI: CNT_BASE addr %llx uccnum=4\nkovaAPI: OQ_BASE "
                  "addr %llx uccnum=4\nkovaAPI: IC_BASE addr %llx uccnum=4\nkovaAPI: ONUIC_BASE "
                  "addr %llx uccnum=4\nkovaAPI: UCC init finished uccnum=4\n",
                  x(kova.CNT_BASE[4]), x(kova.OQ_BASE[4]), x(kova.IC_BASE[4]),
                  x(kova.ONUIC_BASE[4]));
    EXPECT_EQ(take_log(), want);
    kova.kovaUCCPRAM[4][116] = 0x55; // a second set-up would clear it
    for (uint32_t u = 0; u < KOVA_UCCS; ++u)
        ASSERT_EQ(kovaAPIInitKovaUcc(u), 0) << u;
    EXPECT_EQ(kova.kovaUCCPRAM[4][116], 0x55);
    EXPECT_EQ(kova.CNT_BASE[0][0] | kova.ONUIC_BASE[5][63] | (kova.kovaCOREPRAM[231] ^ 0xFF), 0);
    expect_pram(
        {2, 4674, 0x6000F11600ull + 152 * 2, 2, 452, 0, 5, 452, 0x6004FEBC00ull + 0x3000 * 5});
    EXPECT_TRUE(ucc_is_eth(-1) && ucc_is_eth(3) && !ucc_is_eth(4) && !kova.ONUIC_BASE[2]);
    take_log();
    EXPECT_EQ(kovaAPIInitKovaUcc(1), int(KOVA_ERR_NO_MEMORY));
    EXPECT_EQ(take_log(), "kovaAPI: init UCC num 1\nkovaAPI: init of UCC num 1 FAILED\n");
    EXPECT_EQ(kova.kovaCOREPRAM[231], 0xFD) << "its bit is cleared before the refusal";
    EXPECT_EQ(kovaAPIInitKovaUcc(40), int(KOVA_ERR_INVALID));
    take_log(); // the port functions' check, past the range checks the port tests make
    const auto params = std::exchange(kova.kovaUCCparameters[35], {});
    EXPECT_EQ(kovaAPIIsUCCInitialized(35, "f"), int(KOVA_ERR_NOT_INITIALIZED));
    EXPECT_EQ(take_log(), "kovaAPI: UCC not initialized yet, uccnum = 35");
    uint8_t *area = std::exchange(kova.kovaUCCPRAM[35], nullptr);
    EXPECT_EQ(kovaAPIIsUCCInitialized(35, "f"), int(KOVA_ERR_INTERNAL));
    EXPECT_EQ(take_log(), "kovaAPI: UCC not initialized, uccnum = 35");
    kova.kovaUCCPRAM[35] = area, kova.kovaUCCparameters[35] = params;
    kova.init_magic = 0;
    EXPECT_EQ(kovaAPIIsUCCInitialized(35, "f"), int(KOVA_ERR_NOT_INITIALIZED));
    EXPECT_EQ(take_log(), "kovaAPI: kovaAPI not initialized yet");
    kova.init_magic = KOVA_INIT_MAGIC;
}

class Attach : public ModuleTest {};

// Flows made before an attach are in the new area when it returns, whatever the
// area held, a detached flow's mark included; the version needs no terminator.
TEST_F(Attach, EveryLiveFlowIsPublishedIntoTheNewArea) {
    for (auto [crc, a] : {std::pair{0x40001u, 1u}, {0x40001u, 2u}, {0x40002u, 3u}})
        ASSERT_EQ(kovaAPIcreateVoipFlow(Flow(crc).get(), a), KOVA_OK);
    ASSERT_EQ(kovaAPIcreateExtendedFlow(Flow(0x40002).get(), 3, 4), KOVA_OK);
    EngineArea first, second;
    std::memset(first.data(), 0xA5, KOVA_LUT_TABLE_BYTES); // a stale table
    const uint64_t oq36 = pram(36, 360);                   // its fixed area
    take_log();
    LinkWatch reach;
    for (uint32_t s = 0; s < KOVA_LUT_ENTRIES; ++s)
        if (kova.lut_info[s].in_use)
            reach.slots.push_back(s);
    kova_host_trace_hook(&LinkWatch::at, &reach);
    kova_host_trace_start();
    EXPECT_EQ(attach_engine(attach_args(first.addr(), kQeBase, "ucode 7.1")), 0);
    kova_host_trace_stop();
    kova_host_trace_hook(nullptr, nullptr);
    EXPECT_EQ(reach.bad, 0u) << "links the engine follows to no published entry";
    EXPECT_GT(reach.barriers, KOVA_LUT_ENTRIES);
    char want[400];
    std::snprintf(want, sizeof want,
                  "/dev/kova openedkovaAPI: kova ucode version ucode 7.1\nkovaAPI: "
                  "kova.hashtable_base_qe %llx\n"
                  "kovaAPI: kova.hashtable_base_qe remapped %llx\n/dev/kova released\n",
                  (unsigned long long)kQeBase, (unsigned long long)first.addr());
    EXPECT_EQ(take_log(), want);
    // The engine's offsets; UCCs 36..39 keep their fixed OQ area, their storm control moves.
    // clang-format off
    expect_pram({3, 4674, 0x820208, 4, 4674, 0x8202A0, 35, 360, 0x4858040,
                 35, 368, KOVA_SHM_ONUOQ + 35 * 0x3000u, 35, 444, KOVA_SHM_IC + 35 * 0xC4000u,
                 35, 452, KOVA_SHM_ONUIC + 35 * 0x3000u, 0, 460, KOVA_SHM_STORM,
                 36, 460, 0x7110040, 36, 360, oq36});
    // clang-format on
    FlowModel model{{1, 0x40001}, {2, 0x40001}, {3, 0x40002}, {4, 0x40002}, {5, 0x40002}};
    ASSERT_EQ(kovaAPIcreateVoipFlow(Flow(0x40002).get(), 5), KOVA_OK); // behind the republished
    EXPECT_TABLE_OK(&model);

    ASSERT_EQ(kovaAPIdeleteFlow2(3, 1), KOVA_OK); // detach mode: extended flow 4 stays, marked 2
    kova_attach_args a = attach_args(second.addr(), kQeBase + 0x10000000, "");
    std::memset(a.ucode_version, 'v', sizeof a.ucode_version);
    ASSERT_EQ(attach_engine(a), 0);
    EXPECT_EQ(std::string(kovaAPIGetMicrocodeVersion()), std::string(32, 'v'));
    EXPECT_EQ(kova_host_pins_live(), pins_ + 1) << "the first area is released";
    EXPECT_EQ(le32_at(second.data() + 256 * kova.appflow_map[4] + KOVA_LUT_OFF_VALID),
              KOVA_LUT_VALID_DETACHED);
    EXPECT_EQ(kovaAPIdeleteExtendedFlow(4), KOVA_OK) << "the mark still lets it go";
    model.erase(3), model.erase(4);
    EXPECT_TABLE_OK(&model);
}

// Unusable areas, bad commands and a copy cut short change nothing; the type byte
// is not looked at; a qe_base of 0 leaves /dev/kova unconfigured.
TEST_F(Attach, RefusedAttachesChangeNothing) {
    EngineArea short_area(0x100000), area;
    uint8_t *remapped = kova.hashtable_base_qe_remapped, *cnt0 = kova.CNT_BASE[0];
    const kova_attach_args a = attach_args(area.addr(), kQeBase, "v");
    const unsigned int three = (1u << 30) | (48u << 16) | ('k' << 8) | 3;
    char unhandled[120]; // an unknown command number is logged
    const struct {
        kova_attach_args args;
        unsigned int cmd;
        long copy_limit, rc;
    } cases[] = {
        // the area is pinned over its whole size; the payload is copied whole
        // clang-format off
        {attach_args(short_area.addr(), kQeBase, "v"), KOVA_IOC_ATTACH, -1, -14},
        {a, KOVA_IOC_ATTACH, 47, -14}, {a, (48u << 16) | ('k' << 8) | 1, -1, -22},
        {a, three, -1, -22}, {a, (1u << 30) | (49u << 16) | ('k' << 8) | 2, -1, -22},
        // clang-format on
    };
    std::snprintf(unhandled, sizeof unhandled, "kovaAPI: unhandled ioctl num=0x%x param=0x%lx",
                  three, (unsigned long)(uintptr_t)&cases[3].args);
    for (const auto &c : cases) {
        kova_host_user_copy_limit(c.copy_limit);
        EXPECT_EQ(attach_engine(c.args, c.cmd), c.rc) << c.cmd;
        EXPECT_TRUE(kova.hashtable_base_qe == 0 && kova.hashtable_base_qe_remapped == remapped &&
                    kova.CNT_BASE[0] == cnt0 && kova.lut_info[5].lut_qe == 5 * 256u);
        const std::string log = take_log();
        EXPECT_TRUE(c.rc != -22 || log == std::string("/dev/kova opened") +
                                              (c.cmd == three ? unhandled : "") +
                                              "/dev/kova released\n")
            << log;
    }
    kova_host_user_copy_limit(-1);
    EXPECT_EQ(attach_engine(attach_args(area.addr(), 0, "v"), ('x' << 8) | 2), 0);
    EXPECT_NE(take_log().find("kovaAPI: kova.hashtable_base_qe NULL\n"), std::string::npos);
    const int fd = kova_host_open("/dev/kova");
    char c;
    EXPECT_EQ(kova_host_read(fd, &c, 1), -1);
    kova_host_close(fd);
}

// A second kovaAPIInit leaves the lock alone: set up again under its waiter, it never wakes.
TEST_F(Attach, ConcurrentInitLeavesTheLockAndItsWaitersAlone) {
    ASSERT_EQ(acquire_ucode_lock("test", __LINE__), 0);
    on_threads(
        1, [&](uint32_t) { EXPECT_EQ(kovaAPIcreateVoipFlow(Flow(0x80001).get(), 7), KOVA_OK); },
        [] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20)); // let it block
            EXPECT_EQ(kovaAPIInit(), KOVA_OK);
            release_ucode_lock("test", __LINE__);
        });
    EXPECT_TABLE_OK(FlowModel{{7, 0x80001}});
}

// Every lock-free user of the engine's area against an engine restarting between two
// areas; an area given back is inaccessible until attached again, so a late access faults.
TEST_F(Attach, ConcurrentLockFreeUsersNeverReachAnAreaGivenBack) {
    kova_host_unpin_protects(1);
    EngineArea areas[2];
    const auto attach = [&](uint32_t turn) {
        EngineArea &a = areas[turn % 2];
        ASSERT_EQ(mprotect(a.data(), KOVA_SHM_SIZE, PROT_READ | PROT_WRITE), 0);
        ASSERT_EQ(attach_engine(attach_args(a.addr(), kQeBase + (turn % 2) * 0x40000000, "v")), 0);
    };
    attach(0);
    ASSERT_EQ(kovaAPIcreateVoipFlow(Flow(0x100001).get(), 1), KOVA_OK);
    std::atomic<bool> done{false};
    const auto read_dev = [](char *buf) {
        const int fd = kova_host_open("/dev/kova");
        const long n = kova_host_read(fd, buf, 512);
        kova_host_close(fd);
        return n - 512;
    };
    on_threads(
        8,
        [&](uint32_t t) {
            uint32_t st[3];
            kova_PORT_STATS ps;
            char buf[512];
            for (uint32_t i = 0; !done; ++i) {
                const int32_t p = int32_t(4 + i % 32), u = int32_t(i % 36);
                const long r =
                    t == 0   ? kovaAPIgetFlowStatistics(1, st)
                    : t == 1 ? kovaAPIGetPortStatistics(p, 1, &ps)
                    : t == 2 ? kovaAPIClearPortStatistics(u, 1)
                    : t == 3
                        ? kovaAPISetOQShapingWithCDR(u, 0, 1, 100000000, 1500, 0, 0, 0) |
                              kovaAPISetICPolicing(p, 2000, 6, 100000000, 1500, 1100000000, 10000)
                    : t == 4 ? kovaAPISetStormControlCfg(int32_t(i % 40), 9, 1500, 1000, 1000)
                    : t == 5 ? kovaAPIsetLKUPMask(p, int32_t(i % 4095 + 1), i)
                    : t == 6
                        ? read_dev(buf)
                        : kova_host_close(kova_host_open("/sys/kernel/debug/kova/dump_flows_qe"));
                EXPECT_EQ(r, 0) << "user " << t << ", call " << i;
            }
        },
        [&] {
            for (uint32_t turn = 1; turn <= 24; ++turn)
                attach(turn);
            done = true;
        });
    kova_host_unpin_protects(0);
    EXPECT_TABLE_OK(FlowModel{{1, 0x100001}});
}

} // namespace
