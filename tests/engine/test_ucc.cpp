// The load-time memory map: port blocks, parameter areas, the register block
// and UCC initialisation, with every failure released.
#include <cstring>
#include <utility>

#include "support/kova_test.h"

namespace {

using kt::take_log;

template <typename T> T pram_at(uint32_t u, uint32_t off) {
    T v;
    std::memcpy(&v, kova.kovaUCCPRAM[u] + off, sizeof v);
    return v;
}

// kovaAPIInit and the UCC loop, as the module load runs them.
int init_all_uccs() {
    for (uint32_t u = 0; u < KOVA_UCCS; ++u)
        if (int r = kovaAPIInitKovaUcc(u))
            return r;
    return 0;
}

class Ucc : public kt::StoreTest {};

TEST_F(Ucc, EveryUccIsSetUpWithItsAreasAndParameters) {
    // Dirty the simulated areas first: initialisation must clear them.
    std::memset(kova_host_iomem(0x6000F11600ull), 0x77, 152);
    std::memset(kova_host_iomem(0x6004FEBC00ull + 0x3000 * 5), 0x77, 64);
    ASSERT_EQ(init_all_uccs(), 0);
    for (int u = 0; u <= 35; ++u)
        EXPECT_EQ(kovaAPIIsUCCInitialized(u, "test"), 0) << u;
    EXPECT_EQ(kova.kovaCOREPRAM[231], 0xFF);
    uint32_t w680;
    std::memcpy(&w680, kova.kovaCOREPRAM + 680, 4);
    EXPECT_EQ(w680, 0xFFFFFFFFu);

    // An Ethernet UCC and another one.
    EXPECT_EQ(pram_at<uint64_t>(2, 4674), 0x6000F11600ull + 152 * 2);
    EXPECT_EQ(pram_at<uint64_t>(2, 360), 0x6001891C00ull + 0x128000 * 2);
    EXPECT_EQ(pram_at<uint64_t>(2, 444), 0x6003993C00ull + 0xC4000 * 2);
    EXPECT_EQ(pram_at<uint64_t>(2, 452), 0u);
    EXPECT_EQ(kova.ONUIC_BASE[2], nullptr);
    EXPECT_EQ(pram_at<uint64_t>(5, 4674), 0x6000F11860ull + 0x98000);
    EXPECT_EQ(pram_at<uint64_t>(5, 452), 0x6004FEBC00ull + 0x3000 * 5);
    for (uint32_t u : {2u, 5u, 39u}) {
        EXPECT_EQ(pram_at<uint32_t>(u, 116), 36864u);
        EXPECT_EQ(pram_at<uint32_t>(u, 120), 6286u);
        EXPECT_EQ(pram_at<uint16_t>(u, 194), 64u);
    }
    // The CNT areas are contiguous; the pointers are the simulated memory.
    EXPECT_EQ(kova.CNT_BASE[4] - kova.CNT_BASE[0], 608);
    EXPECT_EQ(kova.CNT_BASE[0], kova_host_iomem(0x6000F11600ull));
    EXPECT_EQ(kova.CNT_BASE[0][0], 0);
    EXPECT_EQ(kova.ONUIC_BASE[5][63], 0);
    EXPECT_EQ(kova.ONUOQ_BASE[5], nullptr);
    // Statistics blocks for ports 0..3 only.
    EXPECT_EQ(kova.mac_stats[3], kova_host_iomem(0x87E0E00C0070ull));
    EXPECT_EQ(kova.port_rx_stats[1], kova_host_iomem(0x840040044500ull));
    EXPECT_EQ(kova.port_tx_stats[2], kova_host_iomem(0x840040064400ull));
    EXPECT_EQ(kova.mac_stats[4], nullptr);
    // The register block.
    auto *block = static_cast<uint8_t *>(kova_host_iomem(0xFFE0410F0ull));
    ASSERT_NE(block, nullptr);
    const std::pair<uint32_t, uint32_t> words[] = {{528, 0x03000007u}, {16, 0xFFFFFFFFu}, {80, 0xFFFFFFFFu},
                                                   {144, 0xFFFFFFFFu}, {208, 0x7FFFFFFFu}, {32, 0xFFFFFFFFu},
                                                   {96, 0xFFFFFFFFu}, {160, 0xFFFFFFFFu}, {224, 0x7FFFFFFFu}};
    for (auto [off, value] : words) {
        uint32_t v;
        std::memcpy(&v, block + off, 4);
        EXPECT_EQ(v, value) << off;
    }
}

TEST_F(Ucc, LogLinesOfOneUcc) {
    ASSERT_EQ(kovaAPIInitKovaUcc(4), 0);
    char want[600];
    snprintf(want, sizeof want,
             "kovaAPI: init UCC num 4\n"
             "kovaAPI: CNT_BASE addr %llx uccnum=4\n"
             "kovaAPI: OQ_BASE addr %llx uccnum=4\n"
             "kovaAPI: IC_BASE addr %llx uccnum=4\n"
             "kovaAPI: ONUIC_BASE addr %llx uccnum=4\n"
             "kovaAPI: UCC init finished uccnum=4\n",
             (unsigned long long)(uintptr_t)kova.CNT_BASE[4], (unsigned long long)(uintptr_t)kova.OQ_BASE[4],
             (unsigned long long)(uintptr_t)kova.IC_BASE[4], (unsigned long long)(uintptr_t)kova.ONUIC_BASE[4]);
    EXPECT_EQ(take_log(), want);
}

TEST_F(Ucc, SecondInitFailsForEthernetAndIsANoOpOtherwise) {
    ASSERT_EQ(kovaAPIInitKovaUcc(1), 0);
    ASSERT_EQ(kovaAPIInitKovaUcc(9), 0);
    kova.kovaUCCPRAM[9][116] = 0x55; // would be cleared by a second set-up
    take_log();
    EXPECT_EQ(kovaAPIInitKovaUcc(1), int(KOVA_ERR_NO_MEMORY));
    EXPECT_EQ(take_log(), "kovaAPI: init UCC num 1\nkovaAPI: init of UCC num 1 FAILED\n");
    EXPECT_EQ(kova.kovaCOREPRAM[231] & 0x02, 0); // its bit was cleared before the refusal
    EXPECT_EQ(kovaAPIInitKovaUcc(9), 0);
    EXPECT_EQ(take_log(), "kovaAPI: init UCC num 9\n");
    EXPECT_EQ(kova.kovaUCCPRAM[9][116], 0x55);
    EXPECT_EQ(kovaAPIInitKovaUcc(40), int(KOVA_ERR_INVALID));
}

TEST_F(Ucc, InitialisedCheckInItsOrder) {
    EXPECT_EQ(kovaAPIIsUCCInitialized(36, "kovaAPIsetX"), int(KOVA_ERR_INVALID));
    EXPECT_EQ(take_log(), "kovaAPI: UCC number out of range, uccnum = 36 from kovaAPIsetX\n");
    EXPECT_EQ(kovaAPIIsUCCInitialized(-1, "f"), int(KOVA_ERR_INVALID));
    take_log();
    EXPECT_EQ(kovaAPIIsUCCInitialized(35, "f"), int(KOVA_ERR_NOT_INITIALIZED));
    EXPECT_EQ(take_log(), "kovaAPI: UCC not initialized yet, uccnum = 35");
    uint8_t *pram = kova.kovaUCCPRAM[35];
    kova.kovaUCCPRAM[35] = nullptr;
    EXPECT_EQ(kovaAPIIsUCCInitialized(35, "f"), int(KOVA_ERR_INTERNAL));
    EXPECT_EQ(take_log(), "kovaAPI: UCC not initialized, uccnum = 35");
    kova.kovaUCCPRAM[35] = pram;
    kova.init_magic = 0;
    EXPECT_EQ(kovaAPIIsUCCInitialized(35, "f"), int(KOVA_ERR_NOT_INITIALIZED));
    EXPECT_EQ(take_log(), "kovaAPI: kovaAPI not initialized yet");
    kova.init_magic = KOVA_INIT_MAGIC;
}

TEST(UccHelpers, EthernetUccsAndTimer) {
    for (int u : {0, 3, -1, -100, 4, 39})
        EXPECT_EQ(ucc_is_eth(u), u < 4 ? 1 : 0) << u;
    kova_host_set_counter(0x123456789ull);
    EXPECT_EQ(cnxk_tim_cntvct(), 0x123456789ull);
}

// Every allocation and every mapping of the initialisation and the UCC loop
// failing in turn: result 6, and de-initialisation releases the rest.
TEST(EngineInitFailure, EachAllocationAndMappingFailingIsReleased) {
    long allocs = kova_host_alloc_live(), maps = kova_host_iomap_live();
    unsigned long before = kova_host_alloc_count();
    ASSERT_EQ(kovaAPIInit(), KOVA_OK);
    ASSERT_EQ(init_all_uccs(), 0);
    const unsigned long total = kova_host_alloc_count() - before;
    kovaAPIDeInitKovaMicroCode();
    ASSERT_EQ(kova_host_alloc_live(), allocs);
    auto fails_and_releases = [&] {
        uint32_t r = kovaAPIInit();
        int ur = r == KOVA_OK ? init_all_uccs() : 0;
        EXPECT_TRUE(r == KOVA_ERR_NO_MEMORY || ur == int(KOVA_ERR_NO_MEMORY));
        kova_host_fail_alloc(0);
        kova_host_fail_ioremap(0);
        kovaAPIDeInitKovaMicroCode();
        ASSERT_EQ(kova_host_alloc_live(), allocs);
        ASSERT_EQ(kova_host_iomap_live(), maps);
    };
    for (unsigned long nth = 1; nth <= total; nth += nth < 50 ? 1 : 7) {
        SCOPED_TRACE(nth);
        kova_host_fail_alloc(nth);
        fails_and_releases();
    }
    for (uint64_t phys : {0x87E0E0040070ull, 0x840040084400ull, 0xFFE0410F0ull, 0x6000F11600ull,
                          0x6001891C00ull + 0x128000 * 7, 0x6003993C00ull + 0xC4000 * 39,
                          0x6004FEBC00ull + 0x3000 * 20}) {
        SCOPED_TRACE(phys);
        kova_host_log_clear();
        kova_host_fail_ioremap(phys);
        fails_and_releases();
        EXPECT_NE(take_log().find("kovaAPI: can not ioremap"), std::string::npos);
    }
}

} // namespace
