// The shadow-table dump of a full table into the debug files' 2 MiB buffer,
// against plain snprintf of the same text.
//
// Every slot is taken: flow i heads bucket i, and flow i + 16384 has its
// own CRC32 in the same bucket, so the walk gives head, second CRC32, head,
// ... Far more than 2 MiB of lines, so the dump stops with the cut line
// after the lines that fit and only walks the rest of the table.
//
// BM_DumpSnprintf writes the same lines with one snprintf each from values
// read out beforehand (no walk, no decoding of entries, no piecewise
// building), stopping at the same place and ending with the same cut line.
// Before timing, BM_DumpFullTable checks that the two texts are equal byte
// for byte. The ratio is printed at the end (bench/main.cpp).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "flow/ctrl.h"
#include "kova/kovaAPI.h"

namespace {

constexpr size_t kDumpBuf = 2u << 20;

// What one line shows, in the order the line shows it.
struct Row {
    unsigned long long addr;
    int indent, pad;
    uint32_t crc, port;
    uint8_t dmac[6], smac[6];
    int vlan1, vlan2;
    uint32_t etype;
    uint8_t dip[4], sip[4];
    int sport, dport;
    uint32_t flow_cnt, timestamp, packet_cnt;
};

kova_FLOW flow_of(uint32_t i, kova_RULE *rule) {
    kova_FLOW f;
    std::memset(&f, 0, sizeof f);
    const uint32_t bucket = i % KOVA_LUT_HEADS;
    f.crc32 = bucket << 18 | (i / KOVA_LUT_HEADS + 1);
    f.flow_ucc = uint16_t(i % 36);
    for (int k = 0; k < 6; ++k) {
        f.eth_dmac[k] = uint8_t(i >> (k % 4 * 8)) ^ uint8_t(0x11 * (k + 1));
        f.eth_smac[k] = uint8_t(0x02 + k + i);
    }
    f.vlan_id_1 = uint16_t(i % 4096);
    f.vlan_id_2 = uint16_t((i * 7) % 4096);
    f.eth_type = KOVA_ETH_TYPE_IPV4;
    const uint8_t src[4] = {10, uint8_t(i >> 16), uint8_t(i >> 8), uint8_t(i)};
    const uint8_t dst[4] = {192, 168, uint8_t(i >> 8), uint8_t(i * 3)};
    std::memcpy(f.ip_src.v4, src, 4);
    std::memcpy(f.ip_dst.v4, dst, 4);
    f.udp_sport = uint16_t(1024 + i);
    f.udp_dport = uint16_t(5060 + i % 100);
    std::memset(rule, 0, sizeof *rule);
    rule->type = RULE_DROP_PACKET;
    f.rules = rule;
    return f;
}

// A freshly initialised store with every slot taken, and the rows of the
// dump's lines in walk order, taken from the flow descriptions.
struct FullTable {
    std::vector<Row> rows;
    bool ok = true;

    FullTable() {
        kovaAPIInit();
        std::vector<kova_FLOW> flows(KOVA_LUT_ENTRIES);
        kova_RULE rule;
        for (uint32_t i = 0; i < KOVA_LUT_ENTRIES; ++i) {
            flows[i] = flow_of(i, &rule);
            if (kovaAPIcreateVoipFlow(&flows[i], i) != KOVA_OK)
                ok = false;
        }
        for (uint32_t h = 0; h < KOVA_LUT_HEADS; ++h)
            for (uint32_t i : {h, h + KOVA_LUT_HEADS})
                rows.push_back(row(flows[i], kova.appflow_map[i], i == h ? 0 : 4));
    }
    ~FullTable() { kovaAPIDeInitKovaMicroCode(); }

    static Row row(const kova_FLOW &f, uint32_t slot, int indent) {
        Row r{};
        r.addr =
            (unsigned long long)uintptr_t(kova.hashtable_base_cpu + uint64_t(slot) * KOVA_LUT_SIZE);
        r.indent = indent;
        r.pad = 12 - indent;
        r.crc = f.crc32;
        r.port = f.flow_ucc;
        std::memcpy(r.dmac, f.eth_dmac, 6);
        std::memcpy(r.smac, f.eth_smac, 6);
        r.vlan1 = f.vlan_id_1;
        r.vlan2 = f.vlan_id_2;
        r.etype = f.eth_type;
        std::memcpy(r.dip, f.ip_dst.v4, 4);
        std::memcpy(r.sip, f.ip_src.v4, 4);
        r.sport = f.udp_sport;
        r.dport = f.udp_dport;
        return r; // a new entry's counters are zero
    }
};

// The lines of `rows` that fit into `size` bytes with room kept for the cut
// line, then the cut line; the text's length.
size_t format_rows(const std::vector<Row> &rows, char *buf, size_t size) {
    static constexpr char kCut[] = KOVA_DUMP_CUT_LINE;
    const size_t limit = size - (sizeof kCut - 1);
    size_t len = 0;
    for (const Row &r : rows) {
        const size_t room = limit - len;
        const int n = std::snprintf(
            buf + len, room,
            "%*sEntry at 0x%16llx %*sCRC32 0x%08x, SPORT %02x, DMAC %02x:%02x:%02x:%02x:%02x:%02x, "
            "SMAC %02x:%02x:%02x:%02x:%02x:%02x, VLAN1: %4d, VLAN2: %4d, ETYPE: 0x%04x, "
            "DIP: %03d.%03d.%03d.%03d, SIP: %03d.%03d.%03d.%03d, SPORT: %5d, DPORT: %5d, "
            "FLOW CNT: 0x%08x, TIMESTAMP: 0x%08x, PACKET CNT: 0x%08x, \n",
            r.indent, "", r.addr, r.pad, "", r.crc, r.port, r.dmac[0], r.dmac[1], r.dmac[2],
            r.dmac[3], r.dmac[4], r.dmac[5], r.smac[0], r.smac[1], r.smac[2], r.smac[3], r.smac[4],
            r.smac[5], r.vlan1, r.vlan2, r.etype, r.dip[0], r.dip[1], r.dip[2], r.dip[3], r.sip[0],
            r.sip[1], r.sip[2], r.sip[3], r.sport, r.dport, r.flow_cnt, r.timestamp, r.packet_cnt);
        if (n < 0 || size_t(n) >= room) {
            std::memcpy(buf + len, kCut, sizeof kCut);
            return len + sizeof kCut - 1;
        }
        len += size_t(n);
    }
    return len; // everything fitted: the dump would go on with its counts
}

void BM_DumpFullTable(benchmark::State &state) {
    FullTable t;
    if (!t.ok) {
        state.SkipWithError("filling the table failed");
        return;
    }
    std::vector<char> mem(kDumpBuf), ref(kDumpBuf);
    kova_DUMP_BUF out{mem.data(), mem.size(), 0, 0};
    kovaAPIDumpFlowsCPU2(1, &out);
    const size_t ref_len = format_rows(t.rows, ref.data(), ref.size());
    if (!out.cut || out.len != ref_len || std::memcmp(mem.data(), ref.data(), ref_len + 1) != 0) {
        std::fprintf(stderr, "dump (%zu bytes, cut %u) and snprintf text (%zu bytes) differ\n",
                     out.len, out.cut, ref_len);
        state.SkipWithError("the texts differ");
        return;
    }
    for (auto _ : state) {
        out.len = 0;
        out.cut = 0;
        benchmark::DoNotOptimize(kovaAPIDumpFlowsCPU2(1, &out));
        benchmark::ClobberMemory();
    }
    state.counters["bytes"] = double(out.len);
}
BENCHMARK(BM_DumpFullTable)->Unit(benchmark::kMillisecond);

void BM_DumpSnprintf(benchmark::State &state) {
    std::vector<Row> rows = FullTable().rows;
    std::vector<char> mem(kDumpBuf);
    size_t len = 0;
    for (auto _ : state) {
        len = format_rows(rows, mem.data(), mem.size());
        benchmark::DoNotOptimize(len);
        benchmark::ClobberMemory();
    }
    state.counters["bytes"] = double(len);
}
BENCHMARK(BM_DumpSnprintf)->Unit(benchmark::kMillisecond);

} // namespace
