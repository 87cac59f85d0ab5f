// The engine's lookup rate on a full table: all 16384 bucket heads taken and
// every overflow slot chained behind them, half in groups of their own CRC32
// (next_crc12) and half sharing a CRC32 with an entry before them
// (next_crc32), so walks have lengths as a full table has them. Packets visit
// the flows in a shuffled order; the argument is the share of packets, in
// percent, that match no flow (their source MAC has the group bit set).
//
// BM_EngineFromTrace and BM_EngineFromCapture run the same packets, every
// flow of the full table once in a shuffled order, from file to lookup the
// way kova-engine runs them: a trace's lines read and parsed by its trace
// reader, a capture's frames read through libpcap and decoded, each as it
// comes, hashing included, and each file opened again at its end. Per
// packet the capture should cost at most 1.5 times what the trace does.
#include <benchmark/benchmark.h>

#include <sys/mman.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "capture.h"
#include "engine.h"
#include "kova/host.h"
#include "kova/kovaAPI.h"
#include "trace.h"

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
            const uint8_t dmac[6] = {
                0x02, 0x00, uint8_t(i >> 24), uint8_t(i >> 16), uint8_t(i >> 8), uint8_t(i)};
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

FullTable &full_table() {
    static FullTable table;
    return table;
}

// The module loaded, an area attached and the full table created in it;
// unloaded again at the end.
struct Attached {
    const size_t size = (KOVA_SHM_SIZE + 4095) / 4096 * 4096;
    void *m = MAP_FAILED;
    long attached = -1;
    uint32_t created = 0;

    Attached() {
        m = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                 -1, 0);
        if (m == MAP_FAILED || kova_host_load() != 0)
            return;
        kova_attach_args args{};
        args.shm_vaddr = uint64_t(uintptr_t(m));
        args.qe_base = kQeBase;
        std::strcpy(args.ucode_version, "bench");
        const int fd = kova_host_open("/dev/kova");
        attached =
            fd < 0 ? -1 : kova_host_ioctl(fd, KOVA_IOC_ATTACH, (unsigned long)(uintptr_t)&args);
        if (fd >= 0)
            kova_host_close(fd);
        std::vector<kova_FLOW> &flows = full_table().flows;
        for (uint32_t i = 0; attached == 0 && i < flows.size(); ++i)
            created += kovaAPIcreateVoipFlow(&flows[i], i) == KOVA_OK;
    }
    ~Attached() {
        if (m != MAP_FAILED) {
            kova_host_unload();
            munmap(m, size);
        }
    }
    bool ok() const { return attached == 0 && created >= KOVA_LUT_ENTRIES - 64; }
    uint8_t *area() const { return static_cast<uint8_t *>(m); }
};

void BM_EngineLookup(benchmark::State &state) {
    FullTable &table = full_table();
    Attached a;
    if (a.m == MAP_FAILED || a.attached != 0) {
        state.SkipWithError("no area or no module");
        return;
    }
    kova_engine::Engine engine(a.area(), kQeBase);
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
    state.counters["flows"] = a.created;
    state.counters["lookups/s"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    const kova_engine::Stats &s = engine.stats();
    if (!a.ok() || s.bad_links != 0 || (miss_percent == 0 && s.misses != 0))
        state.SkipWithError("the table is not what the benchmark needs");
}
BENCHMARK(BM_EngineLookup)->Arg(0)->Arg(25);

// Every flow of the table once, shuffled, as a trace file and as a capture
// file of port-tagged frames (the flows are on many UCCs); both on subport
// 0, so that the two touch the same counter records.
struct SamePackets {
    std::string trace, capture;
    std::string error;

    SamePackets() {
        std::vector<kova_FLOW> flows = full_table().flows;
        std::shuffle(flows.begin(), flows.end(), std::mt19937(77));
        char path[] = "/tmp/kova-bench-capture.XXXXXX";
        const int fd = mkstemp(path);
        capture = path;
        std::string lines;
        kova_engine::CaptureWriter out;
        if (fd < 0 || !out.open(capture, &error))
            return;
        close(fd);
        for (kova_FLOW &f : flows) {
            f.flow_subport = 0;
            std::vector<uint8_t> frame;
            if (!kova_engine::frame_of(f, 64, true, &frame, &error))
                return;
            out.write(frame);
            const uint8_t *d = f.eth_dmac, *sm = f.eth_smac, *src = f.ip_src.v4, *dst = f.ip_dst.v4;
            char line[256];
            std::snprintf(
                line, sizeof line,
                "ucc=%u dmac=%02x:%02x:%02x:%02x:%02x:%02x smac=%02x:%02x:%02x:%02x:%02x:%02x "
                "eth_type=800 src=%u.%u.%u.%u dst=%u.%u.%u.%u sport=%u dport=%u len=64\n",
                f.flow_ucc, d[0], d[1], d[2], d[3], d[4], d[5], sm[0], sm[1], sm[2], sm[3], sm[4],
                sm[5], src[0], src[1], src[2], src[3], dst[0], dst[1], dst[2], dst[3], f.udp_sport,
                f.udp_dport);
            lines += line;
        }
        if (!out.close()) {
            error = "writing the capture failed";
            return;
        }
        trace = capture + ".trace";
        FILE *t = std::fopen(trace.c_str(), "w");
        if (!t || std::fputs(lines.c_str(), t) < 0 || std::fclose(t) != 0)
            error = "writing the trace failed";
    }
    ~SamePackets() {
        std::remove(capture.c_str());
        if (!trace.empty())
            std::remove(trace.c_str());
    }
};

SamePackets &same_packets() {
    static SamePackets p;
    return p;
}

// One pass over either source first: the counter records and entries are
// touched long before in a running engine.
template <typename Next>
void run_same_packets(benchmark::State &state, const Attached &a, Next next) {
    kova_engine::Engine engine(a.area(), kQeBase);
    for (size_t i = 0; i < full_table().flows.size(); ++i)
        engine.process(*next());
    const uint64_t warm = engine.stats().packets;
    for (auto _ : state)
        benchmark::DoNotOptimize(engine.process(*next()));
    state.counters["lookups/s"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    const kova_engine::Stats &s = engine.stats();
    if (!a.ok() || s.misses != 0 || s.bad_links != 0 || s.packets - warm != state.iterations())
        state.SkipWithError("the table or the packets are not what the benchmark needs");
}

void BM_EngineFromTrace(benchmark::State &state) {
    SamePackets &p = same_packets();
    Attached a;
    if (!p.error.empty())
        return state.SkipWithError(("no trace: " + p.error).c_str());
    std::unique_ptr<kova_engine::TraceReader> reader;
    kova_engine::TraceLine line;
    std::string error;
    auto open = [&] {
        reader = std::make_unique<kova_engine::TraceReader>();
        if (!reader->open(p.trace, &error))
            std::abort(); // written a moment ago
    };
    open();
    // Every line is one packet (no count); at the end of the file it is
    // opened again, as the capture is.
    run_same_packets(state, a, [&]() -> const kova_engine::Packet * {
        if (!reader->next(&line)) {
            if (!reader->error().empty())
                std::abort(); // the lines were written a moment ago
            open();
            reader->next(&line);
        }
        return &line.packet;
    });
}
BENCHMARK(BM_EngineFromTrace);

void BM_EngineFromCapture(benchmark::State &state) {
    SamePackets &p = same_packets();
    Attached a;
    if (!p.error.empty())
        return state.SkipWithError(("no capture: " + p.error).c_str());
    const kova_engine::PortChoice port{true, 0, 0};
    std::unique_ptr<kova_engine::CaptureReader> reader;
    std::unique_ptr<kova_engine::CaptureSource> source;
    std::string error;
    auto open = [&] {
        source.reset();
        reader = std::make_unique<kova_engine::CaptureReader>();
        if (!reader->open(p.capture, &error))
            std::abort(); // written and read a moment ago
        source = std::make_unique<kova_engine::CaptureSource>(*reader, port);
    };
    open();
    // At the end of the file it is opened again, as a long capture would go on.
    run_same_packets(state, a, [&]() -> const kova_engine::Packet * {
        const kova_engine::Packet *packet = source->next();
        if (!packet)
            open(), packet = source->next();
        return packet;
    });
}
BENCHMARK(BM_EngineFromCapture);

} // namespace
