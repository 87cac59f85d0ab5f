// Deletion, create/delete churn at two fill levels, and the existence check.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "kova/kovaAPI.h"
#include "kova_internal.h"

namespace {

// Flow descriptions with their own rule, CRCs drawn by `crc_of`.
struct Flows {
    std::vector<kova_FLOW> flows;
    std::vector<kova_RULE> rules;

    explicit Flows(uint32_t n) : flows(n), rules(n) {
        for (uint32_t i = 0; i < n; ++i) {
            std::memset(&flows[i], 0, sizeof flows[i]);
            std::memset(&rules[i], 0, sizeof rules[i]);
            flows[i].flow_ucc = uint16_t(i % 4);
            flows[i].eth_type = KOVA_ETH_TYPE_IPV4;
            flows[i].eth_dmac[5] = uint8_t(i);
            rules[i].type = RULE_FORWARD_TO_QE;
            flows[i].rules = &rules[i];
        }
    }
};

// Uniform CRCs: the table refuses chained flows a little above 30000.
void BM_DeleteFlow(benchmark::State &state) {
    constexpr uint32_t kFill = 29000;
    Flows f(kFill);
    std::mt19937 rng(99);
    for (auto &fl : f.flows)
        fl.crc32 = rng() | 1;
    std::vector<uint32_t> order(kFill);
    for (uint32_t i = 0; i < kFill; ++i)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    kovaAPIInit();
    uint32_t next = kFill; // forces a fill first
    for (auto _ : state) {
        if (next == kFill) {
            state.PauseTiming();
            for (uint32_t i = 0; i < kFill; ++i)
                kovaAPIcreateVoipFlow(&f.flows[i], i);
            next = 0;
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(kovaAPIdeleteVoipFlow(order[next++]));
    }
    kovaAPIDeInitKovaMicroCode();
}
BENCHMARK(BM_DeleteFlow);

// Every head first, then overflow slots: this reaches any fill level.
uint32_t spread_crc(uint32_t i, std::mt19937 &rng) {
    return (i % KOVA_LUT_HEADS) << 18 | ((rng() & 0x3FFFF) | 1);
}

// One iteration: delete a random live flow and create a new one in its place.
void churn(benchmark::State &state, uint32_t live) {
    Flows f(live);
    std::mt19937 rng(7);
    for (uint32_t i = 0; i < live; ++i)
        f.flows[i].crc32 = spread_crc(i, rng);
    kovaAPIInit();
    for (uint32_t i = 0; i < live; ++i)
        if (kovaAPIcreateVoipFlow(&f.flows[i], i) != KOVA_OK)
            state.SkipWithError("fill failed");
    for (auto _ : state) {
        const uint32_t victim = rng() % live;
        benchmark::DoNotOptimize(kovaAPIdeleteVoipFlow(victim));
        benchmark::DoNotOptimize(kovaAPIcreateVoipFlow(&f.flows[victim], victim));
    }
    kovaAPIDeInitKovaMicroCode();
}

void BM_Churn50(benchmark::State &state) { churn(state, KOVA_LUT_ENTRIES / 2); }
void BM_Churn95(benchmark::State &state) { churn(state, KOVA_LUT_ENTRIES * 95 / 100); }
BENCHMARK(BM_Churn50);
BENCHMARK(BM_Churn95);

// Half the looked-up CRCs are in the table.
void BM_CheckFlowExists(benchmark::State &state) {
    constexpr uint32_t kLive = KOVA_LUT_ENTRIES / 2;
    Flows f(kLive);
    std::mt19937 rng(3);
    std::vector<uint32_t> probes(4096);
    for (auto &fl : f.flows)
        fl.crc32 = rng() | 1;
    for (uint32_t i = 0; i < probes.size(); ++i)
        probes[i] = i % 2 ? f.flows[rng() % kLive].crc32 : (rng() | 1);
    kovaAPIInit();
    for (uint32_t i = 0; i < kLive; ++i)
        kovaAPIcreateVoipFlow(&f.flows[i], i);
    uint32_t i = 0;
    for (auto _ : state) {
        const uint32_t crc = probes[i++ % probes.size()];
        benchmark::DoNotOptimize(kovaAPIcheckFlowExists(crc, (crc >> 18) * 256ull));
    }
    kovaAPIDeInitKovaMicroCode();
}
BENCHMARK(BM_CheckFlowExists);

} // namespace
