#include "support/kova_test.h"

#include <thread>

namespace kt {

std::string log_text() {
    std::string s(kova_host_log_read(nullptr, 0) + 1, '\0');
    s.resize(kova_host_log_read(s.data(), s.size()));
    return s;
}

std::string take_log() {
    std::string s = log_text();
    kova_host_log_clear();
    return s;
}

void StoreTest::SetUp() {
    live_before_ = kova_host_alloc_live();
    ASSERT_EQ(kovaAPIInit(), KOVA_OK);
    kova_host_log_clear();
}

void StoreTest::TearDown() {
    kova_host_trace_stop();
    kova_host_trace_hook(nullptr, nullptr);
    kova_host_fail_alloc(0);
    kovaAPIDeInitKovaMicroCode();
    EXPECT_EQ(kova_host_alloc_live(), live_before_) << "allocations left behind";
}

Flow::Flow(uint32_t crc, uint16_t ucc, size_t n_rules) : rules(n_rules) {
    f.crc32 = crc, f.flow_ucc = ucc, f.eth_type = KOVA_ETH_TYPE_IPV4;
}

kova_FLOW *Flow::get() {
    for (size_t i = 0; i < rules.size(); ++i)
        rules[i].next = i + 1 < rules.size() ? &rules[i + 1] : nullptr;
    f.rules = rules.empty() ? nullptr : rules.data();
    return &f;
}

Flow keyed_flow(uint32_t crc, uint32_t seed) {
    Flow fl(crc, uint16_t(seed % 36));
    for (int i = 0; i < 6; ++i) {
        fl.f.eth_dmac[i] = uint8_t(seed >> (i % 4 * 8)) ^ uint8_t(0x11 * (i + 1));
        fl.f.eth_smac[i] = uint8_t(0x02 + i);
    }
    fl.f.ip_src.v4[0] = 10, fl.f.ip_src.v4[3] = uint8_t(seed), fl.f.udp_dport = uint16_t(seed);
    return fl;
}

std::vector<W> writes_of(const std::function<void()> &run) {
    kova_host_trace_start();
    run();
    kova_host_trace_stop();
    std::vector<W> w;
    std::vector<kova_host_trace_event> ev(kova_host_trace_read(nullptr, 0));
    kova_host_trace_read(ev.data(), ev.size());
    for (size_t i = 0; i < ev.size(); ++i) {
        EXPECT_EQ(ev[i].op == KOVA_TRACE_BARRIER, i % 2 == 1)
            << "event " << i << ": not one barrier after each write";
        if (ev[i].op != KOVA_TRACE_BARRIER)
            w.emplace_back(ev[i].op, ev[i].engine_off, ev[i].len, ev[i].value | ev[i].src_off);
    }
    EXPECT_EQ(ev.size() % 2, 0u) << "the last write has no barrier";
    return w;
}

void on_threads(uint32_t n, const std::function<void(uint32_t)> &body,
                const std::function<void()> &meanwhile) {
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < n; ++t)
        threads.emplace_back(body, t);
    meanwhile();
    for (auto &t : threads)
        t.join();
}

} // namespace kt
