// Port parameters: lookup masks, the core counter, storm control, shaping and
// policing: the words each setter leaves, their order, and refusals.
#include <algorithm>
#include <cstring>
#include <functional>
#include <string_view>

#include "engine/memory_map.h"
#include "support/module_test.h"

namespace {

using kt::take_log;
using W = std::vector<uint32_t>;
using namespace kv::engine;

constexpr uint32_t kTime = 0x12345678u, kFill = 0xA5A5A5A5u; // the counter's low word; a stale word
const char kPeakShaping[] = "kovaAPI: error: shaping PDR speed is lower than CDR speed\n",
           kPeakPolicing[] = "kovaAPI: error: policing PIR speed is lower than CIR speed\n";

W words(const uint8_t *p) { // an entry's six words, little-endian like the host
    W w(6);
    std::memcpy(w.data(), p, 24);
    return w;
}

uint8_t *iomem(uint64_t phys) { return static_cast<uint8_t *>(kova_host_iomem(phys)); }
size_t hash(const uint8_t *p, uint64_t n) {
    return std::hash<std::string_view>{}({reinterpret_cast<const char *>(p), n});
}

// One setter by letter, committed rate r and burst rb, peak p and burst pb.
uint32_t call(char fn, int32_t u, int32_t a, int32_t b, uint64_t r = 100000000, uint64_t p = 0,
              uint64_t rb = 1, uint64_t pb = 1, uint8_t marker = 0) {
    return fn == 'Q'   ? kovaAPISetOQShapingWithCDR(u, a, b, r, rb, p, pb, marker)
           : fn == 'q' ? kovaAPISetOQShaping(u, a, b, r, rb)
           : fn == 'N' ? kovaAPISetOQONUShapingWithCDR(u, a, b, r, rb, p, pb)
           : fn == 'P' ? kovaAPISetICPolicing(u, a, b, r, rb, p, pb)
           : fn == 'O' ? kovaAPISetICONUPolicing(u, a, b, r, rb, p, pb)
           : fn == 'T' ? kovaAPISetStormControlCfg(u, a, 1, 1, 1)
                       : kovaAPIsetLKUPMask(u, a, 1);
}

class Port : public kt::ModuleTest {
protected:
    void SetUp() override {
        kt::ModuleTest::SetUp();
        kova_host_set_counter(0xAB00000000ull | kTime);
    }
    void attach() {
        ASSERT_EQ(kt::attach_engine(kt::attach_args(area_.addr(), 0x3000000000ull, "v")), 0);
        take_log();
    }
    uint8_t *at(uint32_t off) { return area_.data() + off; }
    // The engine's area past the flow table, or every UCC's fixed OQ, IC and ONU IC area.
    size_t areas(bool engine) {
        if (engine)
            return hash(at(KOVA_SHM_LKUP_MASK_PORT), KOVA_SHM_SIZE - KOVA_SHM_LKUP_MASK_PORT);
        size_t h = 0;
        for (uint32_t u = 0; u < KOVA_UCCS; ++u)
            h = h * 31 + hash(iomem(kOqPhys + kOqStride * u), u < 4 ? kOqEthSize : kOqStride) * 7 +
                hash(iomem(kIcPhys + kIcStride * u), u < 4 ? kIcEthSize : kIcStride) +
                (u < 4 ? 0 : hash(iomem(kOnuIcPhys + kOnuIcSize * u), kOnuIcSize));
        return h;
    }
    kt::EngineArea area_;
};

// A mask set before an attach follows into the area at the attach, over the
// engine's own byte. UCCs 0..3 and id 0 use the per-UCC bytes, others the id table.
TEST_F(Port, LookupMaskBytesInBothCopies) {
    EXPECT_EQ(kovaAPIsetLKUPMask(3, 0, 0x5A) | kovaAPIsetLKUPMask(9, 9, 0xA5), KOVA_OK);
    uint8_t *port = at(KOVA_SHM_LKUP_MASK_PORT), *vlan = at(KOVA_SHM_LKUP_MASK_VLAN);
    port[4] = 0x77; // the CPU copy wins
    attach();
    const size_t before = areas(true);
    EXPECT_EQ(kovaAPIsetLKUPMask(10, 0, 0x11) | kovaAPIsetLKUPMask(2, 77, 0x22) |
                  kovaAPIsetLKUPMask(35, 4095, 0xFF),
              KOVA_OK);
    EXPECT_EQ((W{port[3], vlan[5 * 4096 + 9], port[4], port[10], port[2], vlan[131071],
                 kova.lkup_mask_port[10], kova.lkup_mask_port[2], kova.lkup_mask_vlan[131071]}),
              (W{0x5A, 0xA5, 0, 0x11, 0x22, 0xFF, 0x11, 0x22, 0xFF}));
    port[10] = port[2] = vlan[131071] = 0; // so the comparison shows any other byte written
    EXPECT_EQ(areas(true), before);
    EXPECT_EQ(take_log(), "");
}

// The core counter: the big-endian half-word the engine keeps at byte 14.
TEST_F(Port, ApiVersionAndCoreCounter) {
    EXPECT_STREQ(kovaAPIGetAPIVersion(), "4.6.360");
    EXPECT_EQ(kovaAPIGetCounterAFFull(), 0u);
    std::memcpy(kova.kovaCOREPRAM + 13, "\xEE\xDC\xFE\xDD", 4); // neighbours show a wrong offset
    EXPECT_EQ(kovaAPIGetCounterAFFull(), 0xFEDCu);
}

// Shaping (Q) and policing (P, O: ONU): the two buckets each leaves, its
// neighbours untouched, and the refusal of a peak below the committed rate.
TEST_F(Port, ShapingAndPolicingBuckets) {
    attach();
    const uint64_t M = 100000000, G = 10 * M;
    const uint32_t T = kTime, F = kFill;
    const W off = W(6, F);
    const struct {
        char fn;
        int32_t u, a, b;
        uint64_t cdr, cbs, pdr, pbs;
        uint8_t marker;
        W want; // excess (shaping) or committed (policing) step, time, depth; then the other
    } cases[] = {
        // clang-format off
        {'Q', 5, 7, 3, M, 1500, 11 * M, 10000, 0, {0xCCCC, T, 7999, 0x80000, T, 12000}},
        {'Q', 6, 4095, 7, G, 10000, 0, 9999, 0, {0, T, 0, 0xCCCC, T, 7999}},
        // Committed 0: peak alone in the excess bucket.
        {'Q', 6, 4095, 7, 0, 1500, 12208, 1, 0, {0xFFFACCAA, T, 65530, 0, T, 0}},
        // Any non-zero marker byte turns the committed step to all ones.
        {'Q', 5, 0, 0, M, 1500, 2 * M, 1500, 1, {0x80000, T, 12000, ~0u, T, 0}},
        {'Q', 6, 4095, 7, M, 1500, M - 1, 1500, 0, off},
        {'q', 8, 12, 5, M, 1500, 0, 0, 0, {0x80000, T, 12000, 0, T, 0}}, // single-rate
        {'N', 9, 511, 100, M, 1500, 11 * M, 10000, 0, {0xCCCC, T, 7999, 0x80000, T, 12000}},
        {'P', 11, 2000, 6, M, 1500, 11 * M, 10000, 0, {0x80000, T, 12000, 0xCCCC, T, 7999}},
        // CIR and PIR 0: steps and times 0, both depth words kept.
        {'P', 11, 2000, 6, 0, 1, 0, 1, 0, {0, 0, F, 0, 0, F}},
        // PIR equal to CIR: the excess bucket runs at rate 1 (step 0, depth 0).
        {'P', 11, 2000, 6, G, 10000, G, 5, 0, {0xCCCC, T, 7999, 0, T, 0}},
        {'P', 11, 2000, 6, 2000, 1, 1999, 1, 0, off},
        {'O', 35, 200, 4095, M, 1500, 0, 0, 0, {0x80000, T, 12000, 0, 0, F}},
        // clang-format on
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(testing::Message() << k.fn << k.u << "/" << k.a << "/" << k.b << " " << k.pdr);
        uint8_t *e = at(k.fn == 'P'   ? KOVA_SHM_IC_UCC(k.u) + 196 * k.a + 24 * k.b
                        : k.fn == 'O' ? KOVA_SHM_ONUIC_UCC(k.u) + 24 * k.a
                        : k.fn == 'N' ? KOVA_SHM_ONUOQ_UCC(k.u) + 24 * k.a
                                      : KOVA_SHM_OQ_UCC(k.u) + 296 * k.a + 80 + 24 * k.b);
        const bool inner = k.b > 0 && k.b < 7; // the neighbours are classes too
        std::fill_n(reinterpret_cast<uint32_t *>(inner ? e - 24 : e), inner ? 18 : 6, kFill);
        EXPECT_EQ(call(k.fn, k.u, k.a, k.b, k.cdr, k.pdr, k.cbs, k.pbs, k.marker),
                  k.want == off ? KOVA_ERR_INVALID : KOVA_OK);
        EXPECT_EQ(words(e), k.want);
        EXPECT_TRUE(!inner || (words(e - 24) == off && words(e + 24) == off)) << "the neighbours";
        EXPECT_EQ(take_log(), k.want != off ? "" : k.fn == 'Q' ? kPeakShaping : kPeakPolicing);
    }
    // The IC record's link to its ONU policer, the OQ record's to its ONU shaper.
    EXPECT_EQ(kt::le32_at(at(KOVA_SHM_IC_UCC(35) + 196 * 4095 + 192)) +
                  kt::le32_at(at(KOVA_SHM_OQ_UCC(9) + 296 * 100 + 284)),
              200u + 511u);
}

// The words of an entry each setter writes, in the order the engine can see
// them (-1: a write elsewhere), each behind its own barrier.
TEST_F(Port, WriteOrderOfEachBucket) {
    attach();
    using O = std::vector<int>;
    const auto order = [&](uint64_t entry, uint32_t n, const std::function<uint32_t()> &run) {
        O o; // the trace has the area's addresses here
        for (const auto &[op, off, len, v] : kt::writes_of([&] { EXPECT_EQ(run(), KOVA_OK); })) {
            const uint64_t at = off - area_.addr() - entry;
            o.push_back(at < 4 * n ? int(at / 4) : -1);
        }
        return o;
    };
    // Shaping: step, depth, time of each bucket, then the OQ record's link to it.
    const auto onu = [] { return call('N', 9, 7, 0, 100000000, 1100000000); };
    EXPECT_EQ(order(KOVA_SHM_ONUOQ_UCC(9) + 24 * 7, 6, onu), (O{0, 2, 1, 3, 5, 4, -1}));
    EXPECT_EQ(order(KOVA_SHM_OQ_UCC(9) + 284, 1, onu), (O{-1, -1, -1, -1, -1, -1, 0}));
    // Policing: the committed bucket first.
    EXPECT_EQ(order(KOVA_SHM_IC_UCC(11) + 196, 6,
                    [] { return call('P', 11, 1, 0, 100000000, 1100000000); }),
              (O{0, 2, 1, 3, 5, 4}));
}

TEST_F(Port, StormControlMetersAAndB) {
    EXPECT_EQ(kovaAPISetStormControlCfg(3, 4096, 5, 1, 1), KOVA_ERR_NOT_INITIALIZED);
    EXPECT_EQ(take_log(), "kovaAPI: kovaAPISetStormControlCfg portnum = 4096\n");
    attach();
    ASSERT_EQ(kovaAPISetStormControlCfg(39, 4095, 5, 0, 3), KOVA_OK);
    EXPECT_EQ(words(at(KOVA_SHM_STORM_UCC(39) + 24 * 4095)),
              (W{0, 0xFFFFFFFF, 500, 33333333, 0xFFFFFFFF, 500}));
    EXPECT_EQ(take_log(), "");
}

// Refused calls write nothing, before an attach or after. Only the short shaping
// form calls the LAGs 36..39 out of range; 40 is, for all but storm control.
TEST_F(Port, BadInputWritesNothingBeforeOrAfterAttach) {
    const uint32_t r = 100000000, I = KOVA_ERR_INVALID, N = KOVA_ERR_NOT_INITIALIZED;
    struct Bad {
        char fn;
        int32_t u, a, b;
        uint32_t rc;
        uint64_t peak = 0;
    };
    const Bad always[] = {
        // clang-format off
        {'Q', 5, 0, 8, I}, {'Q', 5, 0, -1, I}, {'Q', 5, 4096, 0, I}, {'Q', 5, -1, 0, I},
        {'Q', 1, 1, 0, I}, {'P', 5, 0, 8, I}, {'P', 5, 4096, 0, I}, {'O', 5, 512, 0, I},
        {'O', 5, -1, 0, I}, {'O', 5, 0, 4096, I}, {'O', 5, 0, 0, I, 1}, {'O', 36, 0, 0, I},
        {'L', -1, 0, 0, I}, {'L', 36, 0, 0, I}, {'L', 4, -1, 0, I}, {'L', 4, 4096, 0, I},
        {'Q', -1, 0, 0, N}, {'P', -1, 0, 0, N}, {'T', -7, 0, 0, I}, {'T', 5, -1, 0, I},
        {'T', 5, 4096, 0, N}, {'T', 40, 0, 0, I}};
    const Bad before[] = {{'N', 5, 0, 0, N}, {'T', 39, 4095, 0, N}, {'O', 3, 0, 0, N}};
    const Bad after[] = {{'N', 5, 512, 0, I}, {'N', 5, 0, 0, I, r - 1}};
    // clang-format on
    const auto run = [&](const auto &list) {
        for (const Bad &c : list)
            EXPECT_EQ(call(c.fn, c.u, c.a, c.b, r, c.peak), c.rc)
                << c.fn << " " << c.u << " " << c.a << " " << c.b;
    };
    const size_t fixed = areas(false);
    run(always);
    run(before);
    EXPECT_EQ(areas(false), fixed);
    EXPECT_EQ(std::count(std::begin(kova.lkup_mask_vlan), std::end(kova.lkup_mask_vlan), 1) +
                  std::count(std::begin(kova.lkup_mask_port), std::end(kova.lkup_mask_port), 1),
              0);
    attach();
    const size_t engine = areas(true);
    run(always);
    run(after);
    // clang-format off
    const std::pair<char, std::string> fns[] = {{'Q', "OQShapingWithCDR"}, {'P', "ICPolicing"},
        {'N', "OQONUShapingWithCDR"}, {'O', "ICONUPolicing"}, {'q', "OQShaping"}};
    // clang-format on
    take_log();
    for (int32_t u = 36; u <= 40; ++u)
        for (const auto &[fn, name] : fns) {
            SCOPED_TRACE(name + " " + std::to_string(u));
            const bool out = u == 40 || fn == 'q';
            EXPECT_EQ(call(fn, u, 0, 0, 1000), out ? KOVA_ERR_NOT_INITIALIZED : KOVA_ERR_INVALID);
            EXPECT_EQ(take_log(), out ? "kovaAPI: UCC number out of range, uccnum = " +
                                            std::to_string(u) + " from kovaAPISet" + name + "\n"
                                      : "");
        }
    EXPECT_EQ(areas(true), engine);
}

} // namespace
