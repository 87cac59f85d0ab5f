// Port statistics from ports 0..3's simulated registers and the engine's counter
// records. Unicast frames less multicast and broadcast wrap: the values make it negative.
#include <chrono>
#include <cstring>
#include <thread>
#include <tuple>

#include "support/module_test.h"

namespace {

using kt::take_log;
using Words = std::vector<uint32_t>;

// The three register blocks of a port: MAC, receive, transmit.
const uint64_t kPhys[3] = {0x87E0E0000070ull, 0x840040024500ull, 0x840040024400ull};
const uint64_t kStride[3] = {0x40000, 0x20000, 0x20000};
const uint32_t kSize[3] = {1824, 96, 40};
uint8_t *block(int b, uint32_t p) {
    return static_cast<uint8_t *>(kova_host_iomem(kPhys[b] + kStride[b] * p));
}
using kt::le64_at;

// Register values: bits above 48 set (to be dropped), the rest naming port and offset.
uint64_t reg_value(uint32_t p, uint32_t off) {
    return 0xABCD000000000000ull | uint64_t(p + 1) << 32 | off << 8 | p;
}
uint64_t r48(uint32_t p, uint32_t off) { return reg_value(p, off) & 0xFFFFFFFFFFFFull; }

void fill_registers(uint32_t p) {
    for (int b = 0; b < 3; ++b)
        for (uint32_t off = 0; off < kSize[b]; off += 8) {
            const uint64_t v = reg_value(p, off);
            std::memcpy(block(b, p) + off, &v, 8);
        }
}

void add_hw(kova_PORT_STATS &w, uint32_t p) {
    w.rx_discards += uint32_t(r48(p, 0x30) + r48(p, 0x20));
    w.rx_errors += uint32_t(r48(p, 0x40) + r48(p, 0x38));
    w.rx_fcs_errors += uint32_t(r48(p, 0x30));
    w.rx_octets += r48(p, 0x08);
    w.rx_packets += r48(p, 0x00);
    w.rx_ucast += r48(p, 0x08);
    w.rx_mcast += r48(p, 0x18);
    w.rx_bcast += r48(p, 0x10);
    w.tx_discards += uint32_t(r48(p, 0x18));
    w.tx_errors +=
        uint32_t(r48(p, 0x690) + r48(p, 0x698) + r48(p, 0x6A0) + r48(p, 0x6A8) + r48(p, 0x710));
    w.tx_octets += r48(p, 0x6B0);
    w.tx_ucast += r48(p, 0x6B8) - r48(p, 0x708) - r48(p, 0x700);
    w.tx_mcast += r48(p, 0x708);
    w.tx_bcast += r48(p, 0x700);
}

// The engine record's fields: offset, width, offset of its namesake in the statistics.
const struct Field {
    uint32_t rec, width, stats;
} kFields[29] = {{0, 8, 24},    {8, 8, 32},    {16, 8, 40},   {24, 8, 48},   {32, 8, 56},
                 {40, 8, 96},   {48, 8, 104},  {56, 8, 112},  {64, 8, 120},  {72, 4, 0},
                 {76, 4, 4},    {80, 4, 8},    {84, 4, 12},   {88, 4, 16},   {92, 4, 64},
                 {96, 4, 68},   {100, 4, 72},  {104, 4, 76},  {108, 4, 80},  {112, 4, 84},
                 {116, 4, 128}, {120, 4, 132}, {124, 4, 136}, {128, 4, 140}, {132, 4, 88},
                 {136, 4, 144}, {140, 4, 148}, {144, 4, 152}, {148, 4, 92}};

uint64_t field_value(uint32_t seed, size_t k) {
    return kFields[k].width == 8 ? (uint64_t(seed) << 40) + (uint64_t(k) << 20) + 7
                                 : uint64_t(seed) << 16 | (k + 1);
}

void fill_record(uint8_t *rec, uint32_t seed) {
    for (size_t k = 0; k < 29; ++k)
        for (uint32_t i = 0; i < kFields[k].width; ++i)
            rec[kFields[k].rec + i] = uint8_t(field_value(seed, k) >> (8 * i)); // little-endian
}

// Ports' registers (< 4) and records' fields (seed + 100: all; + 200: the B
// counters only) summed, word by word so that a failure names the offset.
Words sum(std::initializer_list<uint32_t> parts) {
    kova_PORT_STATS w{};
    auto *b = reinterpret_cast<uint8_t *>(&w);
    for (uint32_t part : parts) {
        if (part < 4)
            add_hw(w, part);
        for (size_t k = 0; part >= 100 && k < 29; ++k) {
            const Field &f = kFields[k];
            uint64_t v = 0;
            std::memcpy(&v, b + f.stats, f.width);
            v += part < 200 || (f.stats >= 128 && f.stats < 156) ? field_value(part % 100, k) : 0;
            std::memcpy(b + f.stats, &v, f.width);
        }
    }
    Words v(sizeof w / 4);
    std::memcpy(v.data(), &w, sizeof w);
    return v;
}
constexpr uint32_t All = 100, CountB = 200;

class PortStat : public kt::ModuleTest {
protected:
    void SetUp() override {
        kova_host_sibling_reset();
        kt::ModuleTest::SetUp();
        for (uint32_t p = 0; p < 4; ++p) // the simulated registers keep their contents across loads
            for (int b = 0; b < 3; ++b)
                std::memset(block(b, p), 0, kSize[b]);
        ASSERT_EQ(kt::attach_engine(kt::attach_args(area_.addr(), 0x3000000000ull, "v")), 0);
        take_log();
    }
    void fill_ethernet(uint32_t base) {
        for (uint32_t p = 0; p < 4; ++p) {
            fill_registers(p);
            fill_record(record(p, 0), base + p);
        }
    }
    // The query's words into a structure full of garbage, as a careless caller hands it in.
    static Words get(int32_t u, int32_t subport, uint32_t rc = KOVA_OK) {
        Words got(sizeof(kova_PORT_STATS) / 4, 0xA5A5A5A5u);
        auto *stats = reinterpret_cast<kova_PORT_STATS *>(got.data());
        EXPECT_EQ(kovaAPIGetPortStatistics(u, subport, stats), rc) << u << "/" << subport;
        return got;
    }
    uint8_t *record(uint32_t u, uint32_t subport) {
        return area_.data() +
               (u < 4 ? KOVA_SHM_CNT + 152 * u : 0x5C02A0 + 0x98000ull * u + 152 * subport);
    }
    kt::EngineArea area_;
};

// Ethernet: registers and the record's B counters; another UCC: subport 0's B
// counters or another's record; a LAG: its members, and its own B counters once.
TEST_F(PortStat, EachPortFromItsRegistersAndRecords) {
    fill_ethernet(10);
    for (uint32_t s = 0; s <= 4; ++s)
        fill_record(record(5, s), 50 + s); // neighbours, so a wrong index shows
    // The last record of the area, the LAGs' own and their members' subports.
    for (auto [u, s, seed] :
         {std::tuple{35u, 4095u, 9u}, {37, 0, 37}, {38, 0, 38}, {4, 7, 40}, {5, 7, 57}})
        fill_record(record(u, s), seed);
    ASSERT_EQ(kovaAPISetLAG(1, 0, 0x9) | kovaAPISetLAG(2, 1, 0x30), KOVA_OK);
    EXPECT_EQ(get(2, 4095), sum({2, CountB + 12}));
    EXPECT_EQ(get(5, 0), sum({CountB + 50}));
    EXPECT_EQ(get(5, 3), sum({All + 53}));
    EXPECT_EQ(get(35, 4095), sum({All + 9}));
    EXPECT_EQ(get(37, 0), sum({0, 3, CountB + 37}));
    EXPECT_EQ(get(38, 7), sum({All + 40, All + 57}));
    EXPECT_EQ(get(39, 0), sum({}));
    EXPECT_EQ(take_log(), "");
}

// A clear zeroes a port's record, its MAC block's counters and its other blocks;
// a subport's record; a LAG's members' (and with Ethernet members its own) records.
TEST_F(PortStat, ClearsZeroTheirCountersOnly) {
    fill_ethernet(30);
    for (auto [u, s] : {std::pair{5u, 2u}, {5, 3}, {5, 4}, {37, 0}, {37, 1}, {38, 0}, {6, 2}})
        fill_record(record(u, s), u + s);
    std::vector<uint8_t> want(area_.data() + KOVA_SHM_CNT, area_.data() + KOVA_SHM_OQ);
    std::fill_n(want.begin() + 152, 152, 0);
    EXPECT_EQ(kovaAPIClearPortStatistics(1, 9), KOVA_OK);
    for (int b = 0; b < 3; ++b)
        for (uint32_t off = 0; off < kSize[b]; off += 8) {
            const bool kept = b == 0 && !(off <= 0x60 || (off >= 0x690 && off <= 0x718));
            EXPECT_EQ(le64_at(block(b, 1) + off), kept ? reg_value(1, off) : 0)
                << b << " " << std::hex << off;
        }
    EXPECT_TRUE(std::equal(want.begin(), want.end(), area_.data() + KOVA_SHM_CNT))
        << "port 1's record alone";
    ASSERT_EQ(kovaAPISetLAG(1, 1, 0x9) | kovaAPISetLAG(2, 1, 0x40), KOVA_OK);
    EXPECT_EQ(kovaAPIClearPortStatistics(5, 3) | kovaAPIClearPortStatistics(37, 1) |
                  kovaAPIClearPortStatistics(38, 2) | kovaAPIClearPortStatistics(39, 0),
              KOVA_OK); // LAG 3 has no members: nothing to do
    EXPECT_TRUE(std::all_of(record(5, 3), record(5, 4), [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(le64_at(record(5, 2) + 144) && le64_at(record(5, 4)));
    for (uint32_t u : {0u, 3u})
        EXPECT_EQ(
            le64_at(record(u, 0)) | le64_at(record(u, 0) + 144) | le64_at(block(0, u) + 0x6B8), 0u)
            << u;
    EXPECT_TRUE(le64_at(record(37, 0) + 120) == 0 && le64_at(record(6, 2)) == 0);
    EXPECT_TRUE(le64_at(record(37, 1)) && le64_at(record(2, 0)) && le64_at(record(38, 0)));
    EXPECT_EQ(le64_at(block(0, 2) + 0x6B8), reg_value(2, 0x6B8));
    EXPECT_EQ(take_log(), "");
}

// Queries racing clears: without a transmit block a clear leaves the hardware
// alone (it clears it only whole), so each query gives the register numbers.
TEST_F(PortStat, ConcurrentQueriesAndClearsGetOnlyTheirOwnNumbers) {
    fill_registers(0);
    uint8_t *tx = std::exchange(kova.port_tx_stats[0], nullptr);
    Words want = sum({0});
    want[offsetof(kova_PORT_STATS, tx_discards) / 4] = 0; // from the transmit block
    uint32_t wrong = 0;
    {
        const std::jthread clearer([](std::stop_token stop) { // stopped once the queries end
            while (!stop.stop_requested()) {
                EXPECT_EQ(kovaAPIClearPortStatistics(0, 0), KOVA_OK);
                std::this_thread::sleep_for(std::chrono::microseconds(1));
            }
        });
        for (int i = 0; i < 200000 && wrong == 0; ++i)
            wrong += get(0, 0) != want;
    }
    kova.port_tx_stats[0] = tx;
    EXPECT_EQ(wrong, 0u);
}

// A member that fails its check stops the call where it is; bad input writes
// nothing: not counters, registers, statistics store nor the caller's structure.
TEST_F(PortStat, FailedChecksStopTheCallAndWriteNothing) {
    fill_ethernet(70);
    fill_record(record(36, 0), 36);
    ASSERT_EQ(kovaAPISetLAG(0, 1, 0x9), KOVA_OK);
    void *marker = std::exchange(kova.kovaUCCparameters[3], nullptr);
    EXPECT_EQ(get(36, 0, KOVA_ERR_NOT_INITIALIZED), sum({0, CountB + 36}))
        << "what was summed before the stop";
    EXPECT_EQ(kovaAPIClearPortStatistics(36, 0), KOVA_ERR_NOT_INITIALIZED);
    kova.kovaUCCparameters[3] = marker;
    EXPECT_EQ(take_log(), "kovaAPI: UCC not initialized yet, uccnum = 3"
                          "kovaAPI: UCC not initialized yet, uccnum = 3");
    EXPECT_EQ((std::vector<uint64_t>{le64_at(block(0, 0) + 8), le64_at(block(0, 3) + 8)}),
              (std::vector<uint64_t>{0, reg_value(3, 8)}))
        << "cleared before the stop";
    const auto snapshot = [&] { // the records, the statistics store, port 0's registers
        return std::vector<std::vector<uint8_t>>{
            {area_.data() + KOVA_SHM_CNT, area_.data() + KOVA_SHM_OQ},
            {kova.stats_area, kova.stats_area + KOVA_STATS_AREA_BYTES},
            {block(0, 0), block(0, 0) + kSize[0]},
            {block(1, 0), block(1, 0) + kSize[1]}};
    };
    const auto before = snapshot();
    const Words garbage = get(-1, 0, KOVA_ERR_INVALID);
    EXPECT_EQ(garbage, Words(garbage.size(), 0xA5A5A5A5u));
    EXPECT_EQ(kovaAPIGetPortStatistics(0, 0, nullptr), KOVA_ERR_INVALID);
    for (auto [ucc, subport] : {std::pair{40, 0}, {0, 4096}, {5, -1}}) {
        EXPECT_EQ(get(ucc, subport, KOVA_ERR_INVALID), garbage);
        EXPECT_EQ(kovaAPIClearPortStatistics(ucc, subport), KOVA_ERR_INVALID)
            << ucc << "/" << subport;
    }
    const std::string out = "kovaAPI: port out of range, uccnum = ";
    EXPECT_EQ(take_log().find(out + "-1 subport = 0 from kovaAPIGetPortStatistics\n" +
                              "kovaAPI: No pointer to statistics structure" + out +
                              "40 subport = 0 from kovaAPIGetPortStatistics\n" + out +
                              "40 subport = 0 from kovaAPIClearPortStatistics\n"),
              0u);
    // The traffic query only checks the UCC.
    EXPECT_EQ((Words{kovaAPIGetPortTraffic(3, 0x1234), kovaAPIGetPortTraffic(36, 0)}),
              (Words{KOVA_OK, KOVA_ERR_NOT_INITIALIZED}));
    EXPECT_EQ(take_log(),
              "kovaAPI: UCC number out of range, uccnum = 36 from kovaAPIGetPortTraffic\n");
    EXPECT_TRUE(snapshot() == before);
}

} // namespace
