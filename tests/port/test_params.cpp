// Port and protocol parameters: version queries, the core counter, the
// lookup masks in both copies, and the entry points without effect.
#include <cstring>

#include "kova/host.h"
#include "support/module_test.h"

namespace {

using kt::take_log;

constexpr uint64_t kQeBase = 0x3000000000ull;

// Everything from the lookup masks to the end of the used area.
uint64_t hash_params(const uint8_t *area) {
    uint64_t h = 1469598103934665603ull;
    const uint8_t *p = area + KOVA_SHM_LKUP_MASK_PORT, *end = area + KOVA_SHM_SIZE;
    for (; p + 8 <= end; p += 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * 1099511628211ull;
    }
    return h;
}

TEST(PortParamsUnloaded, ApiVersionNeedsNoModule) {
    EXPECT_STREQ(kovaAPIGetAPIVersion(), "4.6.360");
}

class PortParams : public kt::ModuleTest {
protected:
    void attach(const char *ucode = "v") {
        ASSERT_EQ(kt::attach_engine(kt::attach_args(area_.addr(), kQeBase, ucode)), 0);
        take_log();
    }
    kt::EngineArea area_;
};

TEST_F(PortParams, MicrocodeVersionIsFilledInPlaceByTheAttach) {
    const char *before = kovaAPIGetMicrocodeVersion();
    EXPECT_STREQ(before, "");
    EXPECT_EQ(before, kova.ucode_version);
    attach("ucode 9.3");
    EXPECT_EQ(kovaAPIGetMicrocodeVersion(), before);
    EXPECT_STREQ(kovaAPIGetMicrocodeVersion(), "ucode 9.3");
}

TEST_F(PortParams, CounterAFFullIsTheCoreHalfWordAt14) {
    EXPECT_EQ(kovaAPIGetCounterAFFull(), 0u);
    // Neighbours set, so a wrong offset or width shows.
    kova.kovaCOREPRAM[13] = 0xEE;
    const uint16_t v = 0xFEDC;
    std::memcpy(kova.kovaCOREPRAM + 14, &v, 2);
    kova.kovaCOREPRAM[16] = 0xDD;
    EXPECT_EQ(kovaAPIGetCounterAFFull(), 0xFEDCu);
}

TEST_F(PortParams, LookupMaskBytesInBothCopies) {
    attach();
    const uint64_t untouched = hash_params(area_.data());
    uint8_t *w = area_.data();
    // vlan: the id table, else the per-UCC bytes; index: in that table.
    auto set = [&](int32_t ucc, int32_t id, uint8_t mask, bool vlan, uint32_t index) {
        SCOPED_TRACE(testing::Message() << ucc << "/" << id);
        EXPECT_EQ(kovaAPIsetLKUPMask(ucc, id, mask), KOVA_OK);
        EXPECT_EQ((vlan ? kova.lkup_mask_vlan : kova.lkup_mask_port)[index], mask);
        uint8_t &qe = w[(vlan ? KOVA_SHM_LKUP_MASK_VLAN : KOVA_SHM_LKUP_MASK_PORT) + index];
        EXPECT_EQ(qe, mask);
        qe = 0; // so the hash below shows any other byte written
    };
    set(10, 0, 0x11, false, 10);  // id 0: the UCC's own byte, id tables or not
    set(2, 77, 0x22, false, 2);   // UCCs 0..3 ignore the id
    set(4, 1, 0x33, true, 1);     // (4, 1) is the id table's index 1
    set(35, 4095, 0xFF, true, 131071); // and (35, 4095) its last byte
    set(20, 100, 0x44, true, 16 * 4096 + 100);
    EXPECT_EQ(w[KOVA_SHM_CNT], 0) << "the id table ends at its region";
    EXPECT_EQ(hash_params(w), untouched);
    EXPECT_EQ(take_log(), "");
}

TEST_F(PortParams, LookupMasksSetBeforeAttachFollowIntoTheArea) {
    EXPECT_EQ(kova.lkup_mask_port_qe, nullptr);
    EXPECT_EQ(kovaAPIsetLKUPMask(3, 0, 0x5A), KOVA_OK);
    EXPECT_EQ(kovaAPIsetLKUPMask(9, 9, 0xA5), KOVA_OK);
    EXPECT_EQ(kova.lkup_mask_vlan[5 * 4096 + 9], 0xA5);
    area_.data()[KOVA_SHM_LKUP_MASK_PORT + 4] = 0x77; // the engine's own byte
    attach();
    EXPECT_EQ(area_.data()[KOVA_SHM_LKUP_MASK_PORT + 3], 0x5A);
    EXPECT_EQ(area_.data()[KOVA_SHM_LKUP_MASK_VLAN + 5 * 4096 + 9], 0xA5);
    EXPECT_EQ(area_.data()[KOVA_SHM_LKUP_MASK_PORT + 4], 0) << "the CPU copy wins";
}

TEST_F(PortParams, LookupMaskOutOfRangeIsRefusedAndWritesNothing) {
    attach();
    const uint64_t engine = hash_params(area_.data());
    const struct { int32_t ucc, id; } bad[] = {{-1, 0}, {36, 0}, {39, 5}, {4, -1}, {4, 4096}, {0, 4096}, {35, -5}};
    for (const auto &b : bad)
        EXPECT_EQ(kovaAPIsetLKUPMask(b.ucc, b.id, 0x77), KOVA_ERR_INVALID) << b.ucc << " " << b.id;
    EXPECT_EQ(hash_params(area_.data()), engine);
    for (uint8_t m : kova.lkup_mask_port)
        ASSERT_EQ(m, 0);
    for (uint8_t m : kova.lkup_mask_vlan)
        ASSERT_EQ(m, 0);
}

TEST_F(PortParams, EntryPointsWithoutEffect) {
    attach();
    const uint64_t engine = hash_params(area_.data());
    uint8_t mac[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(kovaAPISetOuterVlanEthType(0x88A8), KOVA_OK);
    EXPECT_EQ(kovaAPISetInnerVlanEthType(0x8100), KOVA_OK);
    EXPECT_EQ(kovaAPISetOQParameters(5, 1, 2), KOVA_OK);
    EXPECT_EQ(kovaAPIGetOQOccupation(5, 1, 2), 0u);
    EXPECT_EQ(kovaAPISetPortTrustMode(5, KOVA_PORT_TRUSTED), KOVA_OK);
    EXPECT_EQ(kovaAPISetPortShaping(5, 1, 1000000000ull, 10000), KOVA_OK);
    EXPECT_EQ(kovaAPISetOQPriority(5, 1, 2, 3, 4), KOVA_OK);
    EXPECT_EQ(kovaAPISetOQPriority2(5, 1, 2, 3, 4, 5), KOVA_OK);
    EXPECT_EQ(kovaAPISetAFDstMAC(mac), KOVA_OK);
    EXPECT_EQ(kovaAPIAddAFProtocol(5, 1, 2, 3, 4, mac), KOVA_OK);
    EXPECT_EQ(kovaAPIDeleteAFProtocol(5, 1, 2, 3, 4), KOVA_OK);
    EXPECT_EQ(kovaAPISetAFProtocolRate(5, 1, 2, 3, 4), KOVA_OK);
    EXPECT_EQ(kovaAPIClearAFProtocolStatistics(5, 1, 2), KOVA_OK);
    EXPECT_EQ(kovaAPIErpsCcmEnable(5, 1, mac, 6, 3, 1, 2, 0), KOVA_ERR_NOT_SUPPORTED);
    EXPECT_EQ(kovaAPIErpsCcmDisable(5, 1), KOVA_ERR_NOT_SUPPORTED);
    EXPECT_EQ(kovaAPIErpsCcmChangeTxPdu(5, 1, mac, 6), KOVA_ERR_NOT_SUPPORTED);
    EXPECT_EQ(kovaAPIErpsCcmClearStats(5, 1), KOVA_ERR_NOT_SUPPORTED);
    dpaa_kova_pause_linux_rx();
    dpaa_kova_resume_linux_rx();

    // Output structures come back exactly as they went in.
    uint8_t stats[256], want[256];
    std::memset(stats, 0x5A, sizeof stats);
    std::memset(want, 0x5A, sizeof want);
    EXPECT_EQ(kovaAPIGetAFProtocolStatistics(5, 1, 2, stats), KOVA_OK);
    EXPECT_EQ(kovaAPIErpsCcmGetStats(5, 1, stats), KOVA_ERR_NOT_SUPPORTED);
    EXPECT_EQ(std::memcmp(stats, want, sizeof stats), 0);
    EXPECT_EQ(hash_params(area_.data()), engine);
    EXPECT_EQ(take_log(), "");
}

} // namespace
