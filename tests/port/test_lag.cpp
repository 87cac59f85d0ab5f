// Link aggregation: what reaches the network-interface module for each
// table and link change, and every way the push can fail.
#include <array>
#include <atomic>
#include <barrier>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/module_test.h"

namespace {

using kt::take_log;
using Cfg = std::array<int64_t, 4>;

std::vector<Cfg> received() {
    std::vector<Cfg> v(kova_host_sibling_received(nullptr, 0));
    kova_host_sibling_received(reinterpret_cast<int64_t(*)[4]>(v.data()), v.size());
    return v;
}

class Lag : public kt::ModuleTest {
protected:
    void SetUp() override {
        kova_host_sibling_reset();
        kt::ModuleTest::SetUp();
    }
    void TearDown() override { // whatever path a commit took, its references went back
        EXPECT_EQ(kova_host_sibling_refs() + kova_host_netdev_refs(), 0);
        kova_host_sibling_reset();
        kt::ModuleTest::TearDown();
    }
};

// S kovaAPISetLAG(a, mode, mask), C commit LAG a, U/D UCC a's link; N "kova0"
// there or not, M the sibling's state, R its result. Each call sends the whole
// table (a LAG's members that are up) or nothing; an unsent table is kept.
TEST_F(Lag, EachChangeSendsTheWholeTable) {
    const std::string no_kova0 = "kovaAPI: kovaAPISetLAGCommitToKova interface kova0 not present",
                      ret = "kovaAPI: kovaAPISetLAGCommitToKova kni_lag_intf_cfg ret=",
                      range = "kovaAPI: UCC number out of range, uccnum = ";
    const uint32_t I = KOVA_ERR_INVALID, NI = KOVA_ERR_NOT_INITIALIZED, NS = KOVA_ERR_NOT_SUPPORTED;
    const int64_t neg = INT64_C(-2147483624); // LAG 1's members, bit 31 included
    const struct {
        char op;
        int32_t a;
        uint32_t mode, mask, rc;
        bool sends;
        Cfg cfg;
        std::string log;
    } steps[] = {
        // clang-format off
        {'S', 4, 1, 3, I}, {'S', -1, 1, 3, I}, {'C', 4, 0, 0, I}, {'C', -1, 0, 0, I},
        {'S', 3, 1, 0x1, 0, true, {0, 0, 0, 0}}, // enabled, no member up
        {'U', 1}, {'U', 2}, // links change before their LAG exists: nothing sent
        {'S', 0, 1, 0x6, 0, true, {6, 0, 0, 0}}, {'D', 2, 0, 0, 0, true, {2, 0, 0, 0}}, {'U', 3},
        {'S', 1, 1, 0x18, 0, true, {2, 8, 0, 0}}, {'U', 2, 0, 0, 0, true, {6, 8, 0, 0}},
        {'U', 4, 0, 0, 0, true, {6, 0x18, 0, 0}},
        {'S', 2, 0, 0x60, 0, true, {6, 0x18, 0, 0}}, // disabled: no members
        {'U', 5, 0, 0, 0, true, {6, 0x18, 0, 0}}, {'S', 2, 2, 0x60, 0, true, {6, 0x18, 0, 0}},
        {'S', 2, 1, 0x60, 0, true, {6, 0x18, 0x20, 0}},
        // Port 6 in LAGs 2 and 3: a link change recomputes the lower one only.
        {'S', 3, 1, 0x40, 0, true, {6, 0x18, 0x20, 0}}, {'U', 6, 0, 0, 0, true, {6, 0x18, 0x60, 0}},
        {'C', 3, 0, 0, 0, true, {6, 0x18, 0x60, 0x40}},
        {'U', 31}, {'S', 1, 1, 0x80000018u, 0, true, {6, neg, 0x60, 0x40}},
        // The UCC is checked first.
        {'U', 36, 0, 0, NI, false, {}, range + "36 from kovaAPISetLAGPortUP\n"},
        {'D', -1, 0, 0, NI, false, {}, range + "-1 from kovaAPISetLAGPortDOWN\n"},
        // Without the interface (and then the sibling too: the interface is reported).
        {'N', 0}, {'S', 0, 1, 0x3, NI, false, {}, no_kova0},
        {'U', 0, 0, 0, NI, false, {}, no_kova0},
        {'M', KOVA_HOST_SIBLING_ABSENT}, {'C', 0, 0, 0, NI, false, {}, no_kova0}, {'N', 1},
        {'S', 2, 1, 0x3, NS, false, {}, ret + "-1"},
        {'M', KOVA_HOST_SIBLING_LOADABLE}, {'C', 0, 0, 0, 0, true, {3, neg, 3, 0x40}},
        {'U', 32}, {'D', 35}, // no bit in any mask (LAG 0 holds bits 0 and 1)
        // LAG 2 keeps port 0 until its commit.
        {'R', -5}, {'D', 0, 0, 0, NS, true, {2, neg, 3, 0x40}, ret + "-5"},
        {'R', 7}, {'C', 2, 0, 0, NS, true, {2, neg, 2, 0x40}, ret + "7"},
        // clang-format on
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(testing::Message() << s.op << " " << s.a << " " << s.mode << " " << s.mask);
        const size_t before = received().size();
        const uint32_t rc = s.op == 'S'   ? kovaAPISetLAG(s.a, s.mode, s.mask)
                            : s.op == 'C' ? kovaAPISetLAGCommitToKova(s.a)
                            : s.op == 'U' ? kovaAPISetLAGPortUP(uint32_t(s.a))
                            : s.op == 'D' ? kovaAPISetLAGPortDOWN(uint32_t(s.a))
                            : s.op == 'N' ? (kova_host_netdev_present(s.a), 0u)
                            : s.op == 'M'
                                ? (kova_host_sibling_set(kova_host_sibling_state(s.a)), 0u)
                                : (kova_host_sibling_result(s.a), 0u);
        EXPECT_EQ(rc, s.rc);
        ASSERT_EQ(received().size(), before + s.sends);
        EXPECT_EQ(s.sends ? received().back() : Cfg{}, s.cfg);
        EXPECT_EQ(take_log(), s.log);
    }
}

// Link changes from several CPUs while the sibling sleeps over some commits:
// after each round the sibling's last table is the round's final state.
TEST_F(Lag, ConcurrentLinkChangesLeaveTheSiblingWithTheLastState) {
    ASSERT_EQ(kovaAPISetLAG(0, 1, 0x0F) | kovaAPISetLAG(1, 1, 0xF0), KOVA_OK);
    std::atomic<uint32_t> calls{0};
    kova_host_sibling_hook(
        [](void *n) {
            if (static_cast<std::atomic<uint32_t> *>(n)->fetch_add(1) % 3 == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        },
        &calls);
    constexpr uint32_t kThreads = 4, kRounds = 40;
    const auto up = [](uint32_t round, uint32_t port) { return (round * 5 + port) % 3 != 0; };
    uint32_t round = 0, stale_rounds = 0;
    std::atomic<int> failed_calls{0};
    std::barrier end_of_round(kThreads, [&]() noexcept {
        uint32_t mask = 0;
        for (uint32_t port = 0; port < 2 * kThreads; ++port)
            mask |= uint32_t(up(round, port)) << port;
        stale_rounds += received().back() != Cfg{mask & 0x0F, mask & 0xF0, 0, 0};
        ++round;
    });
    std::vector<std::jthread> cpus;
    for (uint32_t t = 0; t < kThreads; ++t)
        cpus.emplace_back([&, t] { // each port up, down, then the round's state
            for (uint32_t r = 0; r < kRounds; ++r) {
                for (uint32_t i = 0; i < 6; ++i) {
                    const uint32_t port = i % 2 ? t + kThreads : t;
                    failed_calls += ((i < 4 ? i < 2 : up(r, port)) ? kovaAPISetLAGPortUP(port)
                                                                   : kovaAPISetLAGPortDOWN(port));
                }
                end_of_round.arrive_and_wait();
            }
        });
    for (std::jthread &c : cpus)
        c.join();
    EXPECT_EQ(failed_calls.load(), 0);
    EXPECT_EQ(stale_rounds, 0u) << "of " << kRounds;
}

} // namespace
