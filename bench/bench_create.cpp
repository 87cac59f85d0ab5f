// Flow creation against the floor of what one publication must cost.
//
// BM_CreateFlow fills a table with flows of uniform random CRC32s (resetting
// it when it is nearly full). BM_PublicationFloor does only the unavoidable
// engine and shadow writes of the same creations at the same slots: a
// 252-byte copy and two 32-bit stores into engine memory with three full
// barriers, one 8-byte link with its barrier (for chained flows), and a
// 256-byte shadow copy. Every benchmark's ratio to the floor is printed at
// the end (bench/main.cpp).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "flow/ctrl.h"
#include "kova/host.h"
#include "kova/kovaAPI.h"
#include "platform.h"

namespace {

// Uniform CRCs overflow the 16384 overflow slots a little above 30000 flows.
constexpr uint32_t kFill = 29000;

struct Workload {
    std::vector<kova_FLOW> flows;
    std::vector<kova_RULE> rules;
    std::vector<uint32_t> slot, pred; // where each flow lands, and what links to it

    Workload() : flows(kFill), rules(kFill) {
        std::mt19937 rng(12345);
        for (uint32_t i = 0; i < kFill; ++i) {
            kova_FLOW &f = flows[i];
            std::memset(&f, 0, sizeof f);
            f.crc32 = rng() | 1;
            f.flow_ucc = uint16_t(i % 4);
            f.eth_type = KOVA_ETH_TYPE_IPV4;
            f.eth_dmac[5] = uint8_t(i);
            f.ip_src.v4[0] = 10;
            f.ip_src.v4[3] = uint8_t(i);
            f.udp_dport = 5060;
            std::memset(&rules[i], 0, sizeof rules[i]);
            rules[i].type = RULE_FORWARD_TO_QE;
            rules[i].param.forward_qe.port = uint8_t(i % 8);
            f.rules = &rules[i];
        }
        // Dry run: record each flow's slot and predecessor for the floor.
        kovaAPIInit();
        for (uint32_t i = 0; i < kFill; ++i) {
            if (kovaAPIcreateVoipFlow(&flows[i], i) != KOVA_OK)
                std::fprintf(stderr, "dry run: creation %u failed\n", i);
            uint32_t s = kova.appflow_map[i];
            slot.push_back(s);
            pred.push_back(kova.lut_info[s].prev_flowid);
        }
        kovaAPIDeInitKovaMicroCode();
    }
};

Workload &workload() {
    static Workload w;
    return w;
}

void BM_CreateFlow(benchmark::State &state) {
    Workload &w = workload();
    kovaAPIInit();
    uint32_t i = 0;
    for (auto _ : state) {
        if (i == kFill) {
            state.PauseTiming();
            kovaAPIReInitKovaFlowTable();
            i = 0;
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(kovaAPIcreateVoipFlow(&w.flows[i], i));
        ++i;
    }
    kovaAPIDeInitKovaMicroCode();
}
BENCHMARK(BM_CreateFlow);

void BM_PublicationFloor(benchmark::State &state) {
    Workload &w = workload();
    std::vector<uint8_t> engine(KOVA_LUT_TABLE_BYTES), shadow(KOVA_LUT_TABLE_BYTES);
    uint8_t entry[256];
    std::memset(entry, 0x5A, sizeof entry);
    uint32_t i = 0;
    for (auto _ : state) {
        if (i == kFill) {
            state.PauseTiming();
            std::memset(engine.data(), 0, engine.size());
            std::memset(shadow.data(), 0, shadow.size());
            i = 0;
            state.ResumeTiming();
        }
        uint8_t *e = engine.data() + size_t(w.slot[i]) * 256;
        __atomic_store_n(reinterpret_cast<uint32_t *>(e + 252), 0u, __ATOMIC_RELAXED);
        plat_full_barrier();
        std::memcpy(e, entry, 252);
        plat_full_barrier();
        __atomic_store_n(reinterpret_cast<uint32_t *>(e + 252), 1u, __ATOMIC_RELAXED);
        plat_full_barrier();
        std::memcpy(shadow.data() + size_t(w.slot[i]) * 256, entry, 256);
        if (w.pred[i] != KOVA_NO_SLOT) {
            uint64_t link = uint64_t(w.slot[i]) * 256;
            std::memcpy(engine.data() + size_t(w.pred[i]) * 256 + 80, &link, 8);
            plat_full_barrier();
        }
        benchmark::ClobberMemory();
        ++i;
    }
}
BENCHMARK(BM_PublicationFloor);

} // namespace
