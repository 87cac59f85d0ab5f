// Port statistics against values put in place: the simulated statistics
// registers of ports 0..3 and the engine's counter records in its area.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "support/module_test.h"

namespace {

using kt::take_log;

constexpr uint64_t kQeBase = 0x3000000000ull;
constexpr uint32_t kMacSize = 1824, kRxSize = 96, kTxSize = 40;

uint8_t *mac_block(uint32_t p) { return static_cast<uint8_t *>(kova_host_iomem(0x87E0E0000070ull + 0x40000ull * p)); }
uint8_t *rx_block(uint32_t p) { return static_cast<uint8_t *>(kova_host_iomem(0x840040024500ull + 0x20000ull * p)); }
uint8_t *tx_block(uint32_t p) { return static_cast<uint8_t *>(kova_host_iomem(0x840040024400ull + 0x20000ull * p)); }

uint64_t get64(const uint8_t *p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
void put64(uint8_t *p, uint64_t v) { std::memcpy(p, &v, 8); }
void put32(uint8_t *p, uint32_t v) { std::memcpy(p, &v, 4); }

// Register values: bits above 48 set (they must be dropped), the rest
// naming port and offset.
uint64_t reg_value(uint32_t p, uint32_t off) { return 0xABCD000000000000ull | uint64_t(p + 1) << 32 | off << 8 | p; }
uint64_t r48(uint32_t p, uint32_t off) { return reg_value(p, off) & 0xFFFFFFFFFFFFull; }

// The three register blocks of a port.
struct Block {
    uint8_t *(*at)(uint32_t p);
    uint32_t size;
};
const Block kBlocks[] = {{mac_block, kMacSize}, {rx_block, kRxSize}, {tx_block, kTxSize}};

void fill_registers(uint32_t p) {
    for (const Block &b : kBlocks)
        for (uint32_t off = 0; off < b.size; off += 8)
            put64(b.at(p) + off, reg_value(p, off));
}

// Adds what the registers of port p contribute.
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
    w.tx_errors += uint32_t(r48(p, 0x690) + r48(p, 0x698) + r48(p, 0x6A0) + r48(p, 0x6A8) + r48(p, 0x710));
    w.tx_octets += r48(p, 0x6B0);
    w.tx_ucast += r48(p, 0x6B8) - r48(p, 0x708) - r48(p, 0x700);
    w.tx_mcast += r48(p, 0x708);
    w.tx_bcast += r48(p, 0x700);
}

// The engine record's fields: offset in the record, width, offset of the
// field of the same name in the statistics structure.
struct Field {
    uint32_t rec, width, stats;
};
const Field kFields[] = {
    {0, 8, 24},   {8, 8, 32},    {16, 8, 40},   {24, 8, 48},   {32, 8, 56},   {40, 8, 96},
    {48, 8, 104}, {56, 8, 112},  {64, 8, 120},  {72, 4, 0},    {76, 4, 4},    {80, 4, 8},
    {84, 4, 12},  {88, 4, 16},   {92, 4, 64},   {96, 4, 68},   {100, 4, 72},  {104, 4, 76},
    {108, 4, 80}, {112, 4, 84},  {116, 4, 128}, {120, 4, 132}, {124, 4, 136}, {128, 4, 140},
    {132, 4, 88}, {136, 4, 144}, {140, 4, 148}, {144, 4, 152}, {148, 4, 92},
};
static_assert(sizeof kFields / sizeof kFields[0] == 29);
bool is_count_b(const Field &f) { return f.stats >= 128 && f.stats < 156; }

uint64_t field_value(uint32_t seed, size_t k, uint32_t width) {
    return width == 8 ? (uint64_t(seed) << 40) + (uint64_t(k) << 20) + 7 : uint64_t(seed) << 16 | (k + 1);
}

void fill_record(uint8_t *rec, uint32_t seed) {
    for (size_t k = 0; k < 29; ++k) {
        const uint64_t v = field_value(seed, k, kFields[k].width);
        for (uint32_t i = 0; i < kFields[k].width; ++i)
            rec[kFields[k].rec + i] = uint8_t(v >> (8 * i)); // the engine's little-endian words
    }
}

enum Which { kAll, kCountBOnly };
void add_record_expected(kova_PORT_STATS &w, uint32_t seed, Which which) {
    auto *b = reinterpret_cast<uint8_t *>(&w);
    for (size_t k = 0; k < 29; ++k) {
        const Field &f = kFields[k];
        if (which == kCountBOnly && !is_count_b(f))
            continue;
        if (f.width == 8) {
            put64(b + f.stats, get64(b + f.stats) + field_value(seed, k, 8));
        } else {
            uint32_t v;
            std::memcpy(&v, b + f.stats, 4);
            put32(b + f.stats, v + uint32_t(field_value(seed, k, 4)));
        }
    }
}

// Word by word, padding included, so a failure names the offset.
void expect_stats(const kova_PORT_STATS &got, const kova_PORT_STATS &want) {
    static_assert(sizeof(kova_PORT_STATS) % 4 == 0);
    const auto *g = reinterpret_cast<const uint8_t *>(&got), *w = reinterpret_cast<const uint8_t *>(&want);
    for (size_t off = 0; off < sizeof got; off += 4) {
        uint32_t a, b;
        std::memcpy(&a, g + off, 4);
        std::memcpy(&b, w + off, 4);
        EXPECT_EQ(a, b) << "offset " << off;
    }
}

// A structure full of garbage, as a careless caller hands it in.
kova_PORT_STATS garbage() {
    kova_PORT_STATS s;
    std::memset(&s, 0xA5, sizeof s);
    return s;
}

class PortStat : public kt::ModuleTest {
protected:
    void SetUp() override {
        kova_host_sibling_reset();
        kt::ModuleTest::SetUp();
        // The simulated registers keep their contents across loads.
        for (uint32_t p = 0; p < 4; ++p)
            for (const Block &b : kBlocks)
                std::memset(b.at(p), 0, b.size);
        ASSERT_EQ(kt::attach_engine(kt::attach_args(area_.addr(), kQeBase, "v")), 0);
        take_log();
    }
    // Every port's registers, and the Ethernet UCCs' records seeded base + u.
    void fill_ethernet(uint32_t base) {
        for (uint32_t p = 0; p < 4; ++p) {
            fill_registers(p);
            fill_record(eth_record(p), base + p);
        }
    }
    kova_PORT_STATS get(int32_t u, int32_t subport, uint32_t rc = KOVA_OK) {
        kova_PORT_STATS got = garbage();
        EXPECT_EQ(kovaAPIGetPortStatistics(u, subport, &got), rc) << u << "/" << subport;
        return got;
    }
    uint8_t *eth_record(uint32_t u) { return area_.data() + KOVA_SHM_CNT + 152 * u; }
    uint8_t *record(uint32_t u, uint32_t subport) { return area_.data() + 0x5C02A0 + 0x98000ull * u + 152 * subport; }
    kt::EngineArea area_;
};

TEST_F(PortStat, EachPortFromItsRegistersAndRecords) {
    fill_ethernet(10);
    for (uint32_t s = 0; s <= 4; ++s)
        fill_record(record(5, s), 100 + s); // neighbours, so a wrong index shows
    fill_record(record(35, 4095), 9);        // the last record of the area
    const struct {
        int32_t ucc, subport, hw_port; // -1: no registers
        uint32_t seed;
        Which which;
    } cases[] = {
        // An Ethernet UCC: its registers and its record's second counters,
        // whatever the subport.
        {2, 0, 2, 12, kCountBOnly},
        {2, 4095, 2, 12, kCountBOnly},
        // Subport 0 of a UCC without registers counts only the engine.
        {5, 0, -1, 100, kCountBOnly},
        // Other subports: the whole record alone.
        {5, 3, -1, 103, kAll},
        {35, 4095, -1, 9, kAll},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.ucc << "/" << c.subport);
        kova_PORT_STATS want{};
        if (c.hw_port >= 0)
            add_hw(want, c.hw_port);
        add_record_expected(want, c.seed, c.which);
        expect_stats(get(c.ucc, c.subport), want);
    }
    EXPECT_EQ(take_log(), "");
}

TEST_F(PortStat, LagSumsItsMembersAndCountsItsOwnRecordOnce) {
    fill_ethernet(20);
    fill_record(record(37, 0), 37);
    ASSERT_EQ(kovaAPISetLAG(1, 0, 0x9), KOVA_OK); // members count whether enabled or up
    kova_PORT_STATS want{};
    add_hw(want, 0);
    add_hw(want, 3);
    add_record_expected(want, 37, kCountBOnly);
    expect_stats(get(37, 0), want);

    // Members on subports of other UCCs bring their whole records, and the
    // LAG's own record is then not used.
    fill_record(record(4, 7), 40);
    fill_record(record(5, 7), 50);
    fill_record(record(38, 0), 38);
    ASSERT_EQ(kovaAPISetLAG(2, 1, 0x30), KOVA_OK);
    want = kova_PORT_STATS{};
    add_record_expected(want, 40, kAll);
    add_record_expected(want, 50, kAll);
    expect_stats(get(38, 7), want);

    // No members: zeroed and fine.
    expect_stats(get(39, 0), kova_PORT_STATS{});
}

TEST_F(PortStat, CountersAreMaskedAndWrapAtTheirWidth) {
    uint8_t *mac = mac_block(0), *rx = rx_block(0);
    put64(mac + 0x6B8, 0xFFFF000000000005ull); // frames: 5 once masked
    put64(mac + 0x708, 10);                    // multicast
    put64(mac + 0x700, 1);                     // broadcast
    put64(mac + 0x30, 0xFFFFFFFFull);
    put64(rx + 0x20, 2);
    put64(mac + 0x00, 0xFFFFFFFFFFFFFFFFull);
    kova_PORT_STATS got = get(0, 0);
    EXPECT_EQ(got.tx_ucast, 0xFFFFFFFFFFFFFFFAull);
    EXPECT_EQ(got.tx_mcast, 10u);
    EXPECT_EQ(got.rx_discards, 1u);
    EXPECT_EQ(got.rx_packets, 0xFFFFFFFFFFFFull);

    // Across the members of a LAG, 32-bit fields wrap too.
    put64(mac_block(1) + 0x30, 0xFFFFFFFEull);
    ASSERT_EQ(kovaAPISetLAG(0, 1, 0x3), KOVA_OK);
    got = get(36, 0);
    EXPECT_EQ(got.rx_discards, 0xFFFFFFFFu);
    EXPECT_EQ(got.rx_packets, 0xFFFFFFFFFFFFull);
}

TEST_F(PortStat, RecordsAreReadWhereTheyAreBeforeAnAttach) {
    kova_host_unload();
    ASSERT_EQ(kova_host_load(), 0);
    uint8_t *fixed = static_cast<uint8_t *>(kova_host_iomem(0x6000F11600ull + 152 * 2));
    ASSERT_EQ(kova.CNT_BASE[2], fixed);
    fill_record(fixed, 77);
    fill_record(static_cast<uint8_t *>(kova_host_iomem(0x6000F11860ull + 0x98000ull * 2 + 152 * 6)), 78);
    kova_PORT_STATS want{};
    add_record_expected(want, 77, kCountBOnly);
    expect_stats(get(2, 0), want);
    want = kova_PORT_STATS{};
    add_record_expected(want, 78, kAll);
    expect_stats(get(6, 6), want);
    EXPECT_EQ(kovaAPIClearPortStatistics(2, 0), KOVA_OK);
    EXPECT_EQ(fixed[0], 0);
    EXPECT_EQ(fixed[151], 0);
}

// The MAC block's counters that a clear zeroes; the receive and transmit
// blocks are cleared whole.
bool mac_cleared(uint32_t off) { return off <= 0x60 || (off >= 0x690 && off <= 0x718); }

TEST_F(PortStat, ClearOfAnEthernetPortZeroesItsCountersOnly) {
    fill_ethernet(30);
    std::vector<uint8_t> area_before(area_.data() + KOVA_SHM_CNT, area_.data() + KOVA_SHM_OQ);
    EXPECT_EQ(kovaAPIClearPortStatistics(1, 9), KOVA_OK);
    for (const Block &b : kBlocks)
        for (uint32_t off = 0; off < b.size; off += 8)
            EXPECT_EQ(get64(b.at(1) + off), b.at == mac_block && !mac_cleared(off) ? reg_value(1, off) : 0)
                << b.size << " " << std::hex << off;
    EXPECT_EQ(get64(mac_block(2) + 0x00), reg_value(2, 0x00));
    EXPECT_EQ(get64(rx_block(0) + 0x58), reg_value(0, 0x58));
    // Port 1's record and nothing else in the engine's counters.
    std::fill_n(area_before.begin() + 152, 152, 0);
    EXPECT_TRUE(std::equal(area_before.begin(), area_before.end(), area_.data() + KOVA_SHM_CNT));
    expect_stats(get(1, 9), kova_PORT_STATS{});
}

TEST_F(PortStat, ClearOfASubportAndOfALag) {
    for (uint32_t s = 2; s <= 4; ++s)
        fill_record(record(5, s), s);
    EXPECT_EQ(kovaAPIClearPortStatistics(5, 3), KOVA_OK);
    EXPECT_TRUE(std::all_of(record(5, 3), record(5, 4), [](uint8_t b) { return b == 0; }));
    EXPECT_NE(get64(record(5, 2) + 144), 0u);
    EXPECT_NE(get64(record(5, 4)), 0u);

    fill_ethernet(60);
    fill_record(record(37, 0), 37);
    fill_record(record(37, 1), 38);
    ASSERT_EQ(kovaAPISetLAG(1, 1, 0x9), KOVA_OK);
    EXPECT_EQ(kovaAPIClearPortStatistics(37, 1), KOVA_OK);
    for (uint32_t u : {0u, 3u}) {
        EXPECT_EQ(get64(eth_record(u)), 0u) << u;
        EXPECT_EQ(get64(eth_record(u) + 144), 0u) << u;
        EXPECT_EQ(get64(mac_block(u) + 0x6B8), 0u) << u;
    }
    EXPECT_EQ(get64(record(37, 0) + 120), 0u); // the LAG's own record
    EXPECT_NE(get64(record(37, 1)), 0u);
    EXPECT_NE(get64(eth_record(1)), 0u);
    EXPECT_EQ(get64(mac_block(2) + 0x6B8), reg_value(2, 0x6B8));
    expect_stats(get(37, 1), kova_PORT_STATS{});

    // A LAG of other UCCs clears the members' subport records; its own
    // record is not theirs to clear.
    fill_record(record(38, 0), 39);
    fill_record(record(6, 2), 6);
    ASSERT_EQ(kovaAPISetLAG(2, 1, 0x40), KOVA_OK);
    EXPECT_EQ(kovaAPIClearPortStatistics(38, 2), KOVA_OK);
    EXPECT_EQ(get64(record(6, 2)), 0u);
    EXPECT_NE(get64(record(38, 0)), 0u);
    // No members: nothing to do.
    EXPECT_EQ(kovaAPIClearPortStatistics(39, 0), KOVA_OK);
    EXPECT_EQ(take_log(), "");
}

// Kernel callers query and clear from several CPUs. Ports 0 and 1 without a
// transmit block: a clear then leaves their other registers alone (it
// clears a port's hardware only as a whole), so every query racing clears
// of the same port must give that port's register numbers exactly. The
// clearers sleep between clears, so their wake-ups also break into queries.
TEST_F(PortStat, ConcurrentQueriesAndClearsGetOnlyTheirOwnNumbers) {
    uint8_t *tx[2];
    kova_PORT_STATS want[2] = {};
    for (uint32_t p = 0; p < 2; ++p) {
        fill_registers(p);
        tx[p] = std::exchange(kova.port_tx_stats[p], nullptr);
        add_hw(want[p], p);
        want[p].tx_discards = 0; // from the transmit block
    }
    std::atomic<bool> stop{false};
    std::atomic<uint32_t> wrong{0};
    std::vector<std::thread> clearers, queriers;
    for (int32_t p = 0; p < 2; ++p) {
        clearers.emplace_back([&, p] {
            while (!stop) {
                EXPECT_EQ(kovaAPIClearPortStatistics(p, 0), KOVA_OK);
                std::this_thread::sleep_for(std::chrono::microseconds(1));
            }
        });
        queriers.emplace_back([&, p] {
            for (int i = 0; i < 200000 && wrong == 0; ++i) {
                kova_PORT_STATS got = garbage();
                EXPECT_EQ(kovaAPIGetPortStatistics(p, 0, &got), KOVA_OK);
                wrong += std::memcmp(&got, &want[p], sizeof got) != 0;
            }
        });
    }
    for (auto &q : queriers)
        q.join();
    stop = true;
    for (auto &c : clearers)
        c.join();
    for (uint32_t p = 0; p < 2; ++p)
        kova.port_tx_stats[p] = tx[p];
    EXPECT_EQ(wrong.load(), 0u);
}

TEST_F(PortStat, MemberThatFailsItsCheckStopsTheCall) {
    fill_registers(0);
    fill_registers(3);
    fill_record(record(36, 0), 36);
    ASSERT_EQ(kovaAPISetLAG(0, 1, 0x9), KOVA_OK);
    void *marker = kova.kovaUCCparameters[3];
    kova.kovaUCCparameters[3] = nullptr;
    const kova_PORT_STATS got = get(36, 0, KOVA_ERR_NOT_INITIALIZED);
    EXPECT_EQ(take_log(), "kovaAPI: UCC not initialized yet, uccnum = 3");
    EXPECT_EQ(kovaAPIClearPortStatistics(36, 0), KOVA_ERR_NOT_INITIALIZED);
    take_log();
    kova.kovaUCCparameters[3] = marker;
    kova_PORT_STATS want{};
    add_hw(want, 0); // what was summed before the stop
    add_record_expected(want, 36, kCountBOnly);
    expect_stats(got, want);
    EXPECT_EQ(get64(mac_block(0) + 0x08), 0u); // cleared before the stop
    EXPECT_EQ(get64(mac_block(3) + 0x08), reg_value(3, 0x08));
}

TEST_F(PortStat, BadInputIsRefusedAndWritesNothing) {
    fill_ethernet(70);
    fill_record(record(5, 0), 75);
    auto snapshot = [&] {
        std::vector<std::vector<uint8_t>> v{{area_.data() + KOVA_SHM_CNT, area_.data() + KOVA_SHM_OQ},
                                            {kova.stats_area, kova.stats_area + KOVA_STATS_AREA_BYTES}};
        for (uint32_t p = 0; p < 4; ++p)
            for (const Block &b : kBlocks)
                v.emplace_back(b.at(p), b.at(p) + b.size);
        return v;
    };
    const auto before = snapshot();

    EXPECT_EQ(kovaAPIGetPortStatistics(0, 0, nullptr), KOVA_ERR_INVALID);
    EXPECT_EQ(take_log(), "kovaAPI: No pointer to statistics structure");
    const struct {
        int32_t ucc, subport;
    } bad[] = {{40, 0}, {-1, 0}, {INT32_MIN, 0}, {0, 4096}, {5, -1}, {36, 4096}};
    for (auto b : bad) {
        SCOPED_TRACE(testing::Message() << b.ucc << "/" << b.subport);
        const kova_PORT_STATS got = get(b.ucc, b.subport, KOVA_ERR_INVALID);
        expect_stats(got, garbage()); // the caller's structure is not written
        EXPECT_EQ(kovaAPIClearPortStatistics(b.ucc, b.subport), KOVA_ERR_INVALID);
    }
    EXPECT_EQ(take_log().find("kovaAPI: port out of range, uccnum = 40 subport = 0 from kovaAPIGetPortStatistics\n"
                              "kovaAPI: port out of range, uccnum = 40 subport = 0 from kovaAPIClearPortStatistics\n"),
              0u);
    // The traffic query only checks the UCC.
    EXPECT_EQ(kovaAPIGetPortTraffic(3, 0x1234), KOVA_OK);
    EXPECT_EQ(take_log(), "");
    EXPECT_EQ(kovaAPIGetPortTraffic(36, 0), KOVA_ERR_NOT_INITIALIZED);
    EXPECT_EQ(take_log(), "kovaAPI: UCC number out of range, uccnum = 36 from kovaAPIGetPortTraffic\n");
    EXPECT_EQ(kovaAPIGetPortTraffic(-1, 0), KOVA_ERR_NOT_INITIALIZED);
    EXPECT_TRUE(snapshot() == before) << "counters, registers or statistics store written";
}

} // namespace
