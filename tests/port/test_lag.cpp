// Link aggregation: what reaches the network-interface module for each
// table and link change, and every way the push can fail.
#include <array>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "support/module_test.h"

namespace {

using kt::take_log;
using Cfg = std::array<int64_t, 4>;

std::vector<Cfg> received() {
    size_t n = kova_host_sibling_received(nullptr, 0);
    std::vector<Cfg> v(n);
    kova_host_sibling_received(reinterpret_cast<int64_t(*)[4]>(v.data()), n);
    return v;
}

Cfg last_received() {
    const auto v = received();
    return v.empty() ? Cfg{99, 99, 99, 99} : v.back(); // 99: nothing was sent
}

class Lag : public kt::ModuleTest {
protected:
    void SetUp() override {
        kova_host_sibling_reset();
        kt::ModuleTest::SetUp();
    }
    void TearDown() override {
        // Every reference the module took on the sibling and on "kova0"
        // went back, whatever path the commit took.
        EXPECT_EQ(kova_host_sibling_refs(), 0);
        EXPECT_EQ(kova_host_netdev_refs(), 0);
        kova_host_sibling_reset();
        kt::ModuleTest::TearDown();
    }
};

TEST_F(Lag, LagNumberOutsideTheTableIsRefusedUnchanged) {
    uint8_t before[sizeof kova.lag_table];
    std::memcpy(before, kova.lag_table, sizeof before);
    for (int32_t n : {4, -1, INT32_MIN}) {
        EXPECT_EQ(kovaAPISetLAG(n, 1, 0x3), KOVA_ERR_INVALID) << n;
        EXPECT_EQ(kovaAPISetLAGCommitToKova(n), KOVA_ERR_INVALID) << n;
    }
    EXPECT_EQ(std::memcmp(before, kova.lag_table, sizeof before), 0);
    EXPECT_TRUE(received().empty());
    EXPECT_EQ(kova_host_sibling_requests(), 0u);
    EXPECT_EQ(take_log(), "");

    // The last LAG with no link up: enabled, but no active member.
    EXPECT_EQ(kovaAPISetLAG(3, 1, 0x3), KOVA_OK);
    EXPECT_EQ(received(), (std::vector<Cfg>{{0, 0, 0, 0}}));
    EXPECT_EQ(kova.lag_table[3].lag_active, 0u);
    EXPECT_EQ(take_log(), "");
}

TEST_F(Lag, ActiveMembersFollowLinkChanges) {
    // Links come up before the LAG exists: recorded, nothing sent.
    EXPECT_EQ(kovaAPISetLAGPortUP(1), KOVA_OK);
    EXPECT_EQ(kovaAPISetLAGPortUP(2), KOVA_OK);
    EXPECT_TRUE(received().empty());
    EXPECT_EQ(kova.lag_link_up, 0x6u);

    EXPECT_EQ(kovaAPISetLAG(0, 1, 0x6), KOVA_OK);
    EXPECT_EQ(last_received(), (Cfg{6, 0, 0, 0}));
    EXPECT_EQ(kovaAPISetLAGPortDOWN(2), KOVA_OK);
    EXPECT_EQ(last_received(), (Cfg{2, 0, 0, 0}));
    EXPECT_EQ(kova.lag_table[0].lag_active, 0x2u);
    EXPECT_EQ(kova.lag_link_up, 0x2u);

    // Every commit carries all four LAGs, not just the one that changed.
    EXPECT_EQ(kovaAPISetLAGPortUP(3), KOVA_OK);
    EXPECT_EQ(kovaAPISetLAG(1, 1, 0x18), KOVA_OK);
    EXPECT_EQ(last_received(), (Cfg{2, 8, 0, 0}));
    EXPECT_EQ(kovaAPISetLAGPortUP(2), KOVA_OK);
    EXPECT_EQ(last_received(), (Cfg{6, 8, 0, 0}));
    EXPECT_EQ(kovaAPISetLAGPortUP(4), KOVA_OK);
    EXPECT_EQ(last_received(), (Cfg{6, 0x18, 0, 0}));
    EXPECT_EQ(received().size(), 5u); // the link of port 3 came up before any LAG held it
    EXPECT_EQ(take_log(), "");
}

TEST_F(Lag, DisabledLagSendsNoMembers) {
    ASSERT_EQ(kovaAPISetLAGPortUP(0), KOVA_OK);
    ASSERT_EQ(kovaAPISetLAGPortUP(1), KOVA_OK);
    EXPECT_EQ(kovaAPISetLAG(2, 0, 0x3), KOVA_OK);
    EXPECT_EQ(last_received(), (Cfg{0, 0, 0, 0}));
    EXPECT_EQ(kova.lag_table[2].lag_active, 0x3u); // kept, just not sent
    EXPECT_EQ(kovaAPISetLAG(2, 2, 0x3), KOVA_OK);
    EXPECT_EQ(last_received(), (Cfg{0, 0, 0, 0}));
    EXPECT_EQ(kovaAPISetLAG(2, 1, 0x3), KOVA_OK);
    EXPECT_EQ(last_received(), (Cfg{0, 0, 3, 0}));
}

TEST_F(Lag, LinkOfAPortInNoLagIsSeenByALaterLag) {
    EXPECT_EQ(kovaAPISetLAG(0, 1, 0x1), KOVA_OK);
    const size_t sent = received().size();
    EXPECT_EQ(kovaAPISetLAGPortUP(5), KOVA_OK);
    EXPECT_EQ(received().size(), sent);
    EXPECT_EQ(kova_host_sibling_requests(), 0u);
    EXPECT_EQ(kova.lag_link_up, 0x20u);
    EXPECT_EQ(kovaAPISetLAG(2, 1, 0x60), KOVA_OK);
    EXPECT_EQ(last_received(), (Cfg{0, 0, 0x20, 0}));
}

TEST_F(Lag, MemberMaskWithBit31IsSignExtended) {
    ASSERT_EQ(kovaAPISetLAGPortUP(31), KOVA_OK);
    EXPECT_EQ(kovaAPISetLAG(1, 1, 0x80000001u), KOVA_OK);
    EXPECT_EQ(last_received(), (Cfg{0, INT64_C(-2147483648), 0, 0}));
    EXPECT_EQ(kovaAPISetLAGPortUP(0), KOVA_OK);
    EXPECT_EQ(last_received(), (Cfg{0, INT64_C(-2147483647), 0, 0}));
}

TEST_F(Lag, PortInTwoLagsCommitsOnlyTheLowerOne) {
    ASSERT_EQ(kovaAPISetLAGPortUP(5), KOVA_OK);
    ASSERT_EQ(kovaAPISetLAG(0, 1, 0x10), KOVA_OK);
    ASSERT_EQ(kovaAPISetLAG(2, 1, 0x30), KOVA_OK);
    EXPECT_EQ(last_received(), (Cfg{0, 0, 0x20, 0}));
    // LAG 2 lists port 4 too, but only LAG 0 is recomputed.
    EXPECT_EQ(kovaAPISetLAGPortUP(4), KOVA_OK);
    EXPECT_EQ(last_received(), (Cfg{0x10, 0, 0x20, 0}));
    EXPECT_EQ(kova.lag_table[2].lag_active, 0x20u);
    EXPECT_EQ(kovaAPISetLAGCommitToKova(2), KOVA_OK);
    EXPECT_EQ(last_received(), (Cfg{0x10, 0, 0x30, 0}));
}

TEST_F(Lag, MissingInterfaceKeepsTheTableForTheNextCommit) {
    kova_host_netdev_present(0);
    EXPECT_EQ(kovaAPISetLAG(0, 1, 0x3), KOVA_ERR_NOT_INITIALIZED);
    EXPECT_EQ(take_log(), "kovaAPI: kovaAPISetLAGCommitToKova interface kova0 not present");
    EXPECT_EQ(kovaAPISetLAGPortUP(0), KOVA_ERR_NOT_INITIALIZED);
    take_log();
    EXPECT_TRUE(received().empty());
    EXPECT_EQ(kova.lag_table[0].lag_mode, 1u);
    EXPECT_EQ(kova.lag_table[0].lag_portmask, 0x3u);
    EXPECT_EQ(kova.lag_table[0].lag_active, 0x1u);
    // Neither interface nor sibling: the interface is what is reported.
    kova_host_sibling_set(KOVA_HOST_SIBLING_ABSENT);
    EXPECT_EQ(kovaAPISetLAGCommitToKova(0), KOVA_ERR_NOT_INITIALIZED);
    EXPECT_EQ(take_log(), "kovaAPI: kovaAPISetLAGCommitToKova interface kova0 not present");

    kova_host_sibling_set(KOVA_HOST_SIBLING_LOADED);
    kova_host_netdev_present(1);
    EXPECT_EQ(kovaAPISetLAGPortUP(1), KOVA_OK);
    EXPECT_EQ(received(), (std::vector<Cfg>{{3, 0, 0, 0}}));
    EXPECT_EQ(take_log(), "");
}

TEST_F(Lag, SiblingThatCannotBeFoundOrRefuses) {
    kova_host_sibling_set(KOVA_HOST_SIBLING_ABSENT);
    EXPECT_EQ(kovaAPISetLAG(0, 1, 0x1), KOVA_ERR_NOT_SUPPORTED);
    EXPECT_EQ(take_log(), "kovaAPI: kovaAPISetLAGCommitToKova kni_lag_intf_cfg ret=-1");
    EXPECT_EQ(kova_host_sibling_requests(), 1u);
    EXPECT_TRUE(received().empty());

    // Not loaded yet but loadable: the module request brings it in.
    kova_host_sibling_set(KOVA_HOST_SIBLING_LOADABLE);
    EXPECT_EQ(kovaAPISetLAGPortUP(0), KOVA_OK);
    EXPECT_EQ(kova_host_sibling_requests(), 2u);
    EXPECT_EQ(received(), (std::vector<Cfg>{{1, 0, 0, 0}}));
    // Once loaded, it is found without another request.
    EXPECT_EQ(kovaAPISetLAG(1, 1, 0x1), KOVA_OK);
    EXPECT_EQ(kova_host_sibling_requests(), 2u);

    kova_host_sibling_result(-5);
    EXPECT_EQ(kovaAPISetLAGPortDOWN(0), KOVA_ERR_NOT_SUPPORTED);
    EXPECT_EQ(take_log(), "kovaAPI: kovaAPISetLAGCommitToKova kni_lag_intf_cfg ret=-5");
    // It was asked, and refused; LAG 1 keeps what its own commit computed.
    EXPECT_EQ(last_received(), (Cfg{0, 1, 0, 0}));
    kova_host_sibling_result(7);
    EXPECT_EQ(kovaAPISetLAGCommitToKova(3), KOVA_ERR_NOT_SUPPORTED);
    EXPECT_EQ(take_log(), "kovaAPI: kovaAPISetLAGCommitToKova kni_lag_intf_cfg ret=7");
}

TEST_F(Lag, LinkChangesCheckTheUccFirst) {
    ASSERT_EQ(kovaAPISetLAG(0, 1, 0xFFFFFFFFu), KOVA_OK);
    const size_t sent = received().size();
    EXPECT_EQ(kovaAPISetLAGPortUP(36), KOVA_ERR_NOT_INITIALIZED);
    EXPECT_EQ(take_log(), "kovaAPI: UCC number out of range, uccnum = 36 from kovaAPISetLAGPortUP\n");
    EXPECT_EQ(kovaAPISetLAGPortDOWN(0xFFFFFFFFu), KOVA_ERR_NOT_INITIALIZED);
    EXPECT_EQ(take_log(), "kovaAPI: UCC number out of range, uccnum = -1 from kovaAPISetLAGPortDOWN\n");

    // UCCs 32..35 have no bit in any mask: accepted, nothing changes.
    for (uint32_t u = 32; u <= 35; ++u) {
        EXPECT_EQ(kovaAPISetLAGPortUP(u), KOVA_OK) << u;
        EXPECT_EQ(kovaAPISetLAGPortDOWN(u), KOVA_OK) << u;
    }
    EXPECT_EQ(kova.lag_link_up, 0u);
    EXPECT_EQ(kova.lag_table[0].lag_active, 0u);

    void *marker = std::exchange(kova.kovaUCCparameters[7], nullptr);
    EXPECT_EQ(kovaAPISetLAGPortUP(7), KOVA_ERR_NOT_INITIALIZED);
    kova.kovaUCCparameters[7] = marker;
    EXPECT_EQ(take_log(), "kovaAPI: UCC not initialized yet, uccnum = 7");
    EXPECT_EQ(kova.lag_link_up, 0u);
    EXPECT_EQ(received().size(), sent);
}

// Link changes arrive from several CPUs at once, and the sibling takes its
// time over some configurations (it may sleep), so commits overlap there.
// Each thread owns one port of LAG 0 and one of LAG 1 and flaps them,
// ending each round in a state the round picks; once all have stopped, the
// last configuration the sibling received must be that state: no change
// lost, no stale commit delivered after a newer one.
TEST_F(Lag, ConcurrentLinkChangesLeaveTheSiblingWithTheLastState) {
    ASSERT_EQ(kovaAPISetLAG(0, 1, 0x0F), KOVA_OK);
    ASSERT_EQ(kovaAPISetLAG(1, 1, 0xF0), KOVA_OK);
    std::atomic<uint32_t> calls{0};
    kova_host_sibling_hook(
        [](void *n) {
            if (static_cast<std::atomic<uint32_t> *>(n)->fetch_add(1) % 3 == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        },
        &calls);
    constexpr uint32_t kThreads = 4, kRounds = 40, kFlaps = 2;
    auto final_up = [](uint32_t round, uint32_t port) { return (round * 5 + port) % 3 != 0; };
    uint32_t round = 0, stale_rounds = 0;
    std::atomic<int> failed_calls{0};
    std::barrier end_of_round(kThreads, [&]() noexcept {
        uint32_t up = 0;
        for (uint32_t port = 0; port < 2 * kThreads; ++port)
            up |= uint32_t(final_up(round, port)) << port;
        stale_rounds += last_received() != Cfg{up & 0x0F, up & 0xF0, 0, 0};
        ++round;
    });
    std::vector<std::thread> cpus;
    for (uint32_t t = 0; t < kThreads; ++t)
        cpus.emplace_back([&, t] {
            for (uint32_t r = 0; r < kRounds; ++r) {
                for (uint32_t i = 0; i <= kFlaps; ++i)
                    for (uint32_t port : {t, t + kThreads}) {
                        const bool up = i == kFlaps ? final_up(r, port) : i % 2 == 0;
                        if ((up ? kovaAPISetLAGPortUP(port) : kovaAPISetLAGPortDOWN(port)) != KOVA_OK)
                            ++failed_calls;
                    }
                end_of_round.arrive_and_wait();
            }
        });
    for (auto &c : cpus)
        c.join();
    EXPECT_EQ(failed_calls.load(), 0);
    EXPECT_EQ(stale_rounds, 0u) << "of " << kRounds;
}

} // namespace
