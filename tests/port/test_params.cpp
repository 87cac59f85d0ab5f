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

class PortParams : public kt::ModuleTest {};

TEST_F(PortParams, VersionQueries) {
    EXPECT_STREQ(kovaAPIGetAPIVersion(), "4.6.360");
    const char *before = kovaAPIGetMicrocodeVersion();
    EXPECT_STREQ(before, "");
    EXPECT_EQ(before, kova.ucode_version);
    kt::EngineArea area;
    ASSERT_EQ(kt::attach_engine(kt::attach_args(area.addr(), kQeBase, "ucode 9.3")), 0);
    EXPECT_EQ(kovaAPIGetMicrocodeVersion(), before);
    EXPECT_STREQ(kovaAPIGetMicrocodeVersion(), "ucode 9.3");
    EXPECT_STREQ(kovaAPIGetAPIVersion(), "4.6.360");
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
    kt::EngineArea area;
    ASSERT_EQ(kt::attach_engine(kt::attach_args(area.addr(), kQeBase, "v")), 0);
    const uint8_t *port_qe = area.data() + KOVA_SHM_LKUP_MASK_PORT;
    const uint8_t *vlan_qe = area.data() + KOVA_SHM_LKUP_MASK_VLAN;
    const uint64_t untouched = hash_params(area.data());
    take_log();

    // id 0 selects the UCC's own byte, also for UCCs with id tables.
    EXPECT_EQ(kovaAPIsetLKUPMask(10, 0, 0x11), KOVA_OK);
    EXPECT_EQ(kova.lkup_mask_port[10], 0x11);
    EXPECT_EQ(port_qe[10], 0x11);
    // UCCs 0..3 ignore the id.
    EXPECT_EQ(kovaAPIsetLKUPMask(2, 77, 0x22), KOVA_OK);
    EXPECT_EQ(kova.lkup_mask_port[2], 0x22);
    EXPECT_EQ(port_qe[2], 0x22);
    // (UCC 4, id 1) is the id table's index 1; (35, 4095) its last byte.
    EXPECT_EQ(kovaAPIsetLKUPMask(4, 1, 0x33), KOVA_OK);
    EXPECT_EQ(kova.lkup_mask_vlan[1], 0x33);
    EXPECT_EQ(vlan_qe[1], 0x33);
    EXPECT_EQ(kovaAPIsetLKUPMask(35, 4095, 0xFF), KOVA_OK);
    EXPECT_EQ(kova.lkup_mask_vlan[131071], 0xFF);
    EXPECT_EQ(vlan_qe[131071], 0xFF);
    EXPECT_EQ(area.data()[KOVA_SHM_CNT], 0) << "the id table ends at its region";
    EXPECT_EQ(kovaAPIsetLKUPMask(20, 100, 0x44), KOVA_OK);
    EXPECT_EQ(vlan_qe[16 * 4096 + 100], 0x44);

    // Those five bytes and nothing else changed in the engine's area.
    uint8_t *w = area.data();
    w[KOVA_SHM_LKUP_MASK_PORT + 10] = w[KOVA_SHM_LKUP_MASK_PORT + 2] = 0;
    w[KOVA_SHM_LKUP_MASK_VLAN + 1] = w[KOVA_SHM_LKUP_MASK_VLAN + 131071] = 0;
    w[KOVA_SHM_LKUP_MASK_VLAN + 16 * 4096 + 100] = 0;
    EXPECT_EQ(hash_params(area.data()), untouched);
    EXPECT_EQ(take_log(), "");
}

TEST_F(PortParams, LookupMaskBeforeAttachKeepsTheCpuCopyOnly) {
    EXPECT_EQ(kova.lkup_mask_port_qe, nullptr);
    EXPECT_EQ(kovaAPIsetLKUPMask(3, 0, 0x5A), KOVA_OK);
    EXPECT_EQ(kovaAPIsetLKUPMask(9, 9, 0xA5), KOVA_OK);
    EXPECT_EQ(kova.lkup_mask_port[3], 0x5A);
    EXPECT_EQ(kova.lkup_mask_vlan[5 * 4096 + 9], 0xA5);
    // The attach writes no byte of the engine's area: the masks set before
    // it stay in the CPU copy only.
    kt::EngineArea area;
    ASSERT_EQ(kt::attach_engine(kt::attach_args(area.addr(), kQeBase, "v")), 0);
    EXPECT_EQ(area.data()[KOVA_SHM_LKUP_MASK_PORT + 3], 0);
    EXPECT_EQ(area.data()[KOVA_SHM_LKUP_MASK_VLAN + 5 * 4096 + 9], 0);
    EXPECT_EQ(kova.lkup_mask_port[3], 0x5A);
}

TEST_F(PortParams, LookupMaskOutOfRangeIsRefusedAndWritesNothing) {
    kt::EngineArea area;
    ASSERT_EQ(kt::attach_engine(kt::attach_args(area.addr(), kQeBase, "v")), 0);
    const uint64_t engine = hash_params(area.data());
    const struct { int32_t ucc, id; } bad[] = {{-1, 0}, {36, 0}, {39, 5}, {4, -1}, {4, 4096}, {0, 4096}, {35, -5}};
    for (const auto &b : bad)
        EXPECT_EQ(kovaAPIsetLKUPMask(b.ucc, b.id, 0x77), KOVA_ERR_INVALID) << b.ucc << " " << b.id;
    EXPECT_EQ(hash_params(area.data()), engine);
    for (uint8_t m : kova.lkup_mask_port)
        ASSERT_EQ(m, 0);
    for (uint8_t m : kova.lkup_mask_vlan)
        ASSERT_EQ(m, 0);
}

TEST_F(PortParams, EntryPointsWithoutEffect) {
    kt::EngineArea area;
    ASSERT_EQ(kt::attach_engine(kt::attach_args(area.addr(), kQeBase, "v")), 0);
    take_log();
    const uint64_t engine = hash_params(area.data());
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
    std::memcpy(want, stats, sizeof stats);
    EXPECT_EQ(kovaAPIGetAFProtocolStatistics(5, 1, 2, stats), KOVA_OK);
    EXPECT_EQ(std::memcmp(stats, want, sizeof stats), 0);
    EXPECT_EQ(kovaAPIErpsCcmGetStats(5, 1, stats), KOVA_ERR_NOT_SUPPORTED);
    EXPECT_EQ(std::memcmp(stats, want, sizeof stats), 0);

    EXPECT_EQ(hash_params(area.data()), engine);
    EXPECT_EQ(take_log(), "");
}

} // namespace
