// A flow created through the "create_flows" file (the write, the parse of a
// one-rule definition with its log lines, the creation) against the same
// creation through kovaAPIcreateVoipFlow alone.
//
// Both run in a loaded module over the same batch of flows (uniform random
// CRC32s, flow ids 0..kBatch-1); between batches the table is reset, and
// every kLogEvery flows the captured kernel log is emptied, both with the
// timer stopped and at the same points in both benchmarks. Before timing,
// BM_ParseCreateFlow checks that the parser gives exactly the flow
// description the other benchmark creates. The ratio is printed at the end
// (bench/main.cpp).
//
// The writer's text is copied in with plain copies, as a kernel copies a
// good user buffer; the host's fault-checked copy is a system call that the
// module does not pay for in the kernel.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "kova/host.h"
#include "kova/kovaAPI.h"
#include "operator/debug_files.h"
#include "operator/flow_lang.h"

namespace {

constexpr uint32_t kBatch = 16384;
constexpr uint32_t kLogEvery = 1024;
constexpr const char *kCreateFlows = "/sys/kernel/debug/kova/create_flows";

struct Batch {
    std::vector<std::string> texts;
    std::vector<kova_FLOW> flows;
    kova_RULE rule;

    Batch() : texts(kBatch), flows(kBatch) {
        std::memset(&rule, 0, sizeof rule);
        rule.type = RULE_FORWARD_TO_QE;
        rule.param.forward_qe.qos_serviceclass = 7;
        rule.param.forward_qe.qos_trusted = KOVA_PORT_UNTRUSTED;
        rule.param.forward_qe.subport = 4;
        rule.param.forward_qe.priority = 3;
        rule.param.forward_qe.port = 9;

        std::mt19937 rng(2024);
        for (uint32_t i = 0; i < kBatch; ++i) {
            const uint32_t crc = rng() | 1;
            char t[512];
            std::snprintf(
                t, sizeof t,
                "flow_id=%u \ncrc32=0x%08x \nflow_ucc=2 \nflow_subport=0 "
                "\neth_dmac=02:00:00:4f:03:e8 \n"
                "eth_smac=02:00:01:00:00:10 \nvlan_id_1=3999 \nvlan_id_2=3988 \neth_type=0x800 \n"
                "ipv4_src=192.168.32.102 \nipv4_dst=192.168.39.102 \nudp_sport=0 \nudp_dport=5 \n"
                "rule1=RULE_FORWARD_TO_QE \nqos_serviceclass=7 \nqos_trusted=KOVA_PORT_UNTRUSTED \n"
                "subport=4 \npriority=3 \nport=9 \n;",
                i, crc);
            texts[i] = t;

            kova_FLOW &f = flows[i];
            std::memset(&f, 0, sizeof f);
            f.crc32 = crc;
            f.flow_ucc = 2;
            const uint8_t dmac[6] = {0x02, 0x00, 0x00, 0x4f, 0x03, 0xe8};
            const uint8_t smac[6] = {0x02, 0x00, 0x01, 0x00, 0x00, 0x10};
            std::memcpy(f.eth_dmac, dmac, 6);
            std::memcpy(f.eth_smac, smac, 6);
            f.vlan_id_1 = 3999;
            f.vlan_id_2 = 3988;
            f.eth_type = KOVA_ETH_TYPE_IPV4;
            const uint8_t src[4] = {192, 168, 32, 102}, dst[4] = {192, 168, 39, 102};
            std::memcpy(f.ip_src.v4, src, 4);
            std::memcpy(f.ip_dst.v4, dst, 4);
            f.udp_sport = 0;
            f.udp_dport = 5;
            f.rules = &rule;
        }
    }

    // The parser's description of flow i is the one given to the API.
    bool parses_to_flows(uint32_t i) {
        auto def = std::make_unique<kv::lang::Definition>();
        std::string text = texts[i];
        const int r = kv::lang::parse_definition(text.data(), def.get());
        kova_host_log_clear();
        if (r != 0 || def->extended || def->flow_id != int32_t(i) || !def->flow.rules ||
            def->flow.rules->next)
            return false;
        kova_FLOW parsed = def->flow;
        parsed.rules = flows[i].rules;
        return std::memcmp(&parsed, &flows[i], sizeof parsed) == 0 &&
               std::memcmp(def->flow.rules, &rule, sizeof rule) == 0;
    }
};

Batch &batch() {
    static Batch b;
    return b;
}

// Empties the log every kLogEvery flows and resets the table after kBatch,
// with the timer stopped; `n` flows of the batch were created, and the
// result is the index of the next one.
uint32_t between(benchmark::State &state, uint32_t n) {
    if (n == 0 || n % kLogEvery != 0)
        return n;
    state.PauseTiming();
    kova_host_log_clear();
    if (n == kBatch) {
        kovaAPIReInitKovaFlowTable();
        n = 0;
    }
    state.ResumeTiming();
    return n;
}

void BM_ParseCreateFlow(benchmark::State &state) {
    Batch &b = batch();
    if (kova_host_load() != 0) {
        state.SkipWithError("load failed");
        return;
    }
    const int fd = kova_host_open(kCreateFlows);
    if (fd < 0 || !b.parses_to_flows(0) || !b.parses_to_flows(kBatch - 1)) {
        state.SkipWithError(fd < 0 ? "open failed" : "parsed flow differs");
        if (fd >= 0)
            kova_host_close(fd);
        kova_host_unload();
        return;
    }
    kova_host_log_clear();
    kova_host_user_copy_checked(0);
    uint32_t n = 0;
    for (auto _ : state) {
        n = between(state, n);
        const std::string &t = b.texts[n];
        if (kova_host_write(fd, t.data(), t.size()) != long(t.size()) ||
            create_flow_return_code != KOVA_OK) {
            state.SkipWithError("creation through create_flows failed");
            break;
        }
        ++n;
    }
    kova_host_user_copy_checked(1);
    kova_host_close(fd);
    kova_host_unload();
}
BENCHMARK(BM_ParseCreateFlow);

void BM_CreateFlowAlone(benchmark::State &state) {
    Batch &b = batch();
    if (kova_host_load() != 0) {
        state.SkipWithError("load failed");
        return;
    }
    kova_host_log_clear();
    uint32_t n = 0;
    for (auto _ : state) {
        n = between(state, n);
        if (kovaAPIcreateVoipFlow(&b.flows[n], n) != KOVA_OK) {
            state.SkipWithError("creation failed");
            break;
        }
        ++n;
    }
    kova_host_unload();
}
BENCHMARK(BM_CreateFlowAlone);

} // namespace
