// Shared helpers for the module's tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "flow/ctrl.h"
#include "kova/host.h"
#include "kova/kovaAPI.h"
#include "kova_internal.h"
#include "lib/bytes.h"

namespace kt {

inline std::string log_text() {
    std::string s(kova_host_log_read(nullptr, 0) + 1, '\0');
    s.resize(kova_host_log_read(s.data(), s.size()));
    return s;
}
inline std::string take_log() { // the log since the last clear, then clear it
    std::string s = log_text();
    kova_host_log_clear();
    return s;
}
inline bool ends_with(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// kovaAPIInit before each test; after it everything goes, and no allocation is left.
class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        live_before_ = kova_host_alloc_live();
        ASSERT_EQ(kovaAPIInit(), KOVA_OK);
        kova_host_log_clear();
    }
    void TearDown() override {
        kova_host_trace_stop();
        kova_host_trace_hook(nullptr, nullptr);
        kova_host_fail_alloc(0);
        kovaAPIDeInitKovaMicroCode();
        EXPECT_EQ(kova_host_alloc_live(), live_before_) << "allocations left behind";
    }
    long live_before_ = 0;
};

// A flow with its own rules (drops by default); get() links the rules as they are now.
struct Flow {
    kova_FLOW f{};
    std::vector<kova_RULE> rules;
    explicit Flow(uint32_t crc, uint16_t ucc = 1, size_t n_rules = 1) : rules(n_rules) {
        f.crc32 = crc, f.flow_ucc = ucc, f.eth_type = KOVA_ETH_TYPE_IPV4;
    }
    kova_FLOW *get() {
        for (size_t i = 0; i < rules.size(); ++i)
            rules[i].next = i + 1 < rules.size() ? &rules[i + 1] : nullptr;
        f.rules = rules.empty() ? nullptr : rules.data();
        return &f;
    }
};

// Distinct, non-empty key bytes derived from a seed.
inline Flow keyed_flow(uint32_t crc, uint32_t seed) {
    Flow fl(crc, uint16_t(seed % 36));
    for (int i = 0; i < 6; ++i) {
        fl.f.eth_dmac[i] = uint8_t(seed >> (i % 4 * 8)) ^ uint8_t(0x11 * (i + 1));
        fl.f.eth_smac[i] = uint8_t(0x02 + i);
    }
    fl.f.ip_src.v4[0] = 10, fl.f.ip_src.v4[3] = uint8_t(seed), fl.f.udp_dport = uint16_t(seed);
    return fl;
}

// A slot of the engine copy as the module reaches it, of the shadow, and their addresses.
inline uint8_t *engine_slot(uint32_t s) { return kova.hashtable_base_qe_remapped + s * 256ull; }
inline uint8_t *shadow_slot(uint32_t s) { return kova.hashtable_base_cpu + s * 256ull; }
inline uint64_t shadow_addr(uint32_t s) { return uint64_t(uintptr_t(shadow_slot(s))); }
inline uint64_t engine_addr(uint32_t s) { return kova.hashtable_base_qe + s * 256ull; }
inline uint64_t le64_at(const uint8_t *p) { return kv::bytes::get_le64(p); }
inline uint32_t le32_at(const uint8_t *p) { return kv::bytes::get_le32(p); }

// One engine write: operation, engine offset, length, and word, fill, value or source.
using W = std::tuple<uint32_t, uint64_t, uint64_t, uint64_t>;
// The engine writes of run(), each of which must be followed by one barrier.
inline std::vector<W> writes_of(const std::function<void()> &run) {
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

// body(t) for each t below n on a thread of its own, meanwhile() on this one; then joins.
inline void on_threads(
    uint32_t n, const std::function<void(uint32_t)> &body,
    const std::function<void()> &meanwhile = [] {}) {
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < n; ++t)
        threads.emplace_back(body, t);
    meanwhile();
    for (auto &t : threads)
        t.join();
}

} // namespace kt
