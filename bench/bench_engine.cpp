// The engine's lookup rate on a full table: all 16384 bucket heads taken and
// every overflow slot chained behind them, half in groups of their own CRC32
// (next_crc12) and half sharing a CRC32 with an entry before them
// (next_crc32), so walks have lengths as a full table has them. Packets visit
// the flows in a shuffled order; the argument is the share of packets, in
// percent, that match no flow (their source MAC has the group bit set).
#include <benchmark/benchmark.h>

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "engine.h"
#include "kova/host.h"
#include "kova/kovaAPI.h"

namespace {

constexpr uint64_t kQeBase = 0x10000000000ull;

struct FullTable {
    std::vector<kova_FLOW> flows;
    std::vector<kova_engine::Packet> hits, misses;
    kova_RULE drop{};

    FullTable() {
        drop.type = RULE_DROP_PACKET;
        std::mt19937 rng(4242);
        for (uint32_t i = 0; i < KOVA_LUT_ENTRIES; ++i) {
            kova_FLOW f{};
            f.flow_ucc = uint16_t(4 + i % 32);
            f.flow_subport = uint16_t(i % 4096);
            f.eth_type = KOVA_ETH_TYPE_IPV4;
            const uint8_t dmac[6] = {0x02, 0x00, uint8_t(i >> 24), uint8_t(i >> 16), uint8_t(i >> 8), uint8_t(i)};
            std::memcpy(f.eth_dmac, dmac, 6);
            f.eth_smac[0] = 0x02;
            f.ip_dst.v4[0] = 10;
            f.udp_dport = uint16_t(i);
            f.rules = &drop;
            if (i < KOVA_LUT_HEADS)
                f.crc32 = i << KOVA_LUT_BUCKET_SHIFT | (rng() & 0x3FFFFu);
            else if (i % 2)
                f.crc32 = flows[rng() % i].crc32; // same CRC32 as an earlier flow
            else
                f.crc32 = (rng() % KOVA_LUT_HEADS) << KOVA_LUT_BUCKET_SHIFT | (rng() & 0x3FFFFu);
            kova_engine::set_source_for_crc(&f, f.crc32);
            flows.push_back(f);
            hits.push_back(kova_engine::packet_of(f, 64));
            kova_engine::Packet m = hits.back();
            m.key.bytes[6] |= 1;
            m.crc = kova_flow_key_crc(&m.key);
            misses.push_back(m);
        }
        std::shuffle(hits.begin(), hits.end(), rng);
    }
};

void BM_EngineLookup(benchmark::State &state) {
    static FullTable table;
    const size_t size = (KOVA_SHM_SIZE + 4095) / 4096 * 4096;
    void *m = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (m == MAP_FAILED || kova_host_load() != 0) {
        state.SkipWithError("no area or no module");
        return;
    }
    kova_attach_args args{};
    args.shm_vaddr = uint64_t(uintptr_t(m));
    args.qe_base = kQeBase;
    std::strcpy(args.ucode_version, "bench");
    const int fd = kova_host_open("/dev/kova");
    const long attached = fd < 0 ? -1 : kova_host_ioctl(fd, KOVA_IOC_ATTACH, (unsigned long)(uintptr_t)&args);
    if (fd >= 0)
        kova_host_close(fd);
    uint32_t created = 0;
    for (uint32_t i = 0; attached == 0 && i < table.flows.size(); ++i)
        created += kovaAPIcreateVoipFlow(&table.flows[i], i) == KOVA_OK;

    kova_engine::Engine engine(static_cast<uint8_t *>(m), kQeBase);
    const uint32_t miss_percent = uint32_t(state.range(0));
    std::vector<const kova_engine::Packet *> order;
    for (size_t i = 0; i < table.hits.size(); ++i)
        order.push_back(i * 7919 % 100 < miss_percent ? &table.misses[i] : &table.hits[i]);
    // One pass first: the counter records and entries are touched long
    // before in a running engine, so page faults are no part of a lookup.
    for (const kova_engine::Packet *p : order)
        engine.process(*p);
    size_t n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(engine.process(*order[n]));
        if (++n == order.size())
            n = 0;
    }
    state.counters["flows"] = created;
    state.counters["lookups/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    const kova_engine::Stats &s = engine.stats();
    if (attached != 0 || created < KOVA_LUT_ENTRIES - 64 || s.bad_links != 0 ||
        (miss_percent == 0 && s.misses != 0))
        state.SkipWithError("the table is not what the benchmark needs");
    kova_host_unload();
    munmap(m, size);
}
BENCHMARK(BM_EngineLookup)->Arg(0)->Arg(25);

} // namespace
