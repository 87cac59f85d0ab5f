// Storm control, shaping and policing: the conversions, the words each
// entry point leaves in the engine's areas and the order it writes them,
// the result codes, and bad input that must leave every area untouched.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "engine/memory_map.h"
#include "kova/host.h"
#include "port/rate.h"
#include "support/module_test.h"

namespace {

using kt::le32_at;
using kt::take_log;
using namespace kv::port;

constexpr uint64_t kQeBase = 0x3000000000ull;
constexpr uint64_t kCounter = 0xAB12345678ull; // only its low 32 bits are stored
constexpr uint32_t kTime = 0x12345678u;
constexpr uint32_t kFill = 0xA5A5A5A5u;

void fill_words(uint8_t *p, uint32_t n, uint32_t v = kFill) {
    for (uint32_t i = 0; i < n; ++i)
        std::memcpy(p + 4 * i, &v, 4);
}

std::vector<uint32_t> words(const uint8_t *p, uint32_t n = 6) {
    std::vector<uint32_t> w;
    for (uint32_t i = 0; i < n; ++i)
        w.push_back(le32_at(p + 4 * i));
    return w;
}

using W = std::vector<uint32_t>;

// ---- Conversions -----------------------------------------------------------
// The common values are checked through the entry points below; these are
// the wrap-arounds and boundaries no entry-point test reaches.
TEST(RateConversion, WrapsAndBoundaries) {
    EXPECT_EQ(step_of(16), 0xF0800000u);
    // 50,000,000 mod 65,536 = 61,568 ticks per byte enter the depth.
    EXPECT_EQ(depth_of(16, 10), 615680u);
    EXPECT_EQ(step_of(15), 0u);
    EXPECT_EQ(depth_of(15, 1000), 0u);
    // Bursts are taken modulo 2^32 in the integer part.
    EXPECT_EQ(depth_of(100000000, (1ull << 32) + 3), 24u);
    EXPECT_EQ(excess_rate(100, 350), 250u);
    EXPECT_EQ(excess_rate(0, 350), 350u);
    EXPECT_EQ(committed_step_word(0xFFFFFFFFu), 0xFFFFFFFEu);
    EXPECT_EQ(committed_step_word(0x80000u), 0x80000u);
    // Past 2,147,483 the 32-bit product turns negative and divides toward 0.
    EXPECT_EQ(storm_tolerance(2147483), 214748300u);
}

// ---- Entry points ------------------------------------------------------------

class RateLimit : public kt::ModuleTest {
protected:
    void attach() {
        ASSERT_EQ(kt::attach_engine(kt::attach_args(area_.addr(), kQeBase, "v")), 0);
        take_log();
        kova_host_set_counter(kCounter);
    }
    uint8_t *oq_shaper(uint32_t u, uint32_t oq, uint32_t c) {
        return area_.data() + KOVA_SHM_OQ_UCC(u) + KOVA_OQ_RECORD_SIZE * oq + KOVA_OQ_OFF_SHAPER + 24 * c;
    }
    uint8_t *ic_policer(uint32_t u, uint32_t ic, uint32_t c) {
        return area_.data() + KOVA_SHM_IC_UCC(u) + KOVA_IC_RECORD_SIZE * ic + 24 * c;
    }
    kt::EngineArea area_;
};

class Shaping : public RateLimit {};

TEST_F(Shaping, BucketsMarkerAndRefusal) {
    attach();
    const W off = W(6, kFill);
    const struct {
        int32_t u, oq, c;
        uint64_t cdr, cbs, pdr, pbs;
        uint8_t marker;
        uint32_t rc;
        W want; // excess step, time, depth; committed step, time, depth
    } cases[] = {
        {5, 7, 3, 100000000, 1500, 1100000000, 10000, 0, KOVA_OK, {0xCCCC, kTime, 7999, 0x80000, kTime, 12000}},
        // Peak equal: the excess bucket is stamped with step and depth 0.
        {6, 4095, 7, 100000000, 1500, 100000000, 9999, 0, KOVA_OK, {0, kTime, 0, 0x80000, kTime, 12000}},
        {6, 4095, 7, 1000000000, 10000, 0, 9999, 0, KOVA_OK, {0, kTime, 0, 0xCCCC, kTime, 7999}},
        // Committed 0: peak alone in the excess bucket.
        {6, 4095, 7, 0, 1500, 12208, 1, 0, KOVA_OK, {0xFFFACCAA, kTime, depth_of(12208, 1), 0, kTime, 0}},
        // Any non-zero marker byte turns the committed step to all ones.
        {5, 0, 0, 100000000, 1500, 200000000, 1500, 1, KOVA_OK, {0x80000, kTime, 12000, 0xFFFFFFFF, kTime, 0}},
        {5, 0, 0, 0, 0, 0, 0, 0x80, KOVA_OK, {0, kTime, 0, 0xFFFFFFFF, kTime, 0}},
        {6, 4095, 7, 100000000, 1500, 99999999, 1500, 0, KOVA_ERR_INVALID, off},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(testing::Message() << k.u << "/" << k.oq << "/" << k.c << " " << k.cdr << " " << k.pdr);
        uint8_t *e = oq_shaper(k.u, k.oq, k.c);
        const bool inner = k.c > 0 && k.c < 7; // the neighbours are classes too
        fill_words(inner ? e - 24 : e, inner ? 18 : 6);
        EXPECT_EQ(kovaAPISetOQShapingWithCDR(k.u, k.oq, k.c, k.cdr, k.cbs, k.pdr, k.pbs, k.marker), k.rc);
        EXPECT_EQ(words(e), k.want);
        if (inner) {
            EXPECT_EQ(words(e - 24), off);
            EXPECT_EQ(words(e + 24), off);
        }
        EXPECT_EQ(take_log(), k.rc ? "kovaAPI: error: shaping PDR speed is lower than CDR speed\n" : "");
    }
    EXPECT_EQ(le32_at(area_.data() + KOVA_SHM_OQ_UCC(5) + 296 * 7 + 284), 0u) << "onu_index";
    // The short form is a single-rate excess bucket.
    ASSERT_EQ(kovaAPISetOQShaping(8, 12, 5, 100000000, 1500), KOVA_OK);
    EXPECT_EQ(words(oq_shaper(8, 12, 5)), (W{0x80000, kTime, 12000, 0, kTime, 0}));
}

TEST_F(Shaping, EthernetUccBeforeAttachUsesItsFixedRecord) {
    kova_host_set_counter(kCounter);
    uint8_t *fixed = static_cast<uint8_t *>(kova_host_iomem(kv::engine::kOqPhys + kv::engine::kOqStride * 2));
    ASSERT_NE(fixed, nullptr);
    ASSERT_EQ(kovaAPISetOQShapingWithCDR(2, 0, 7, 100000000, 1500, 0, 0, 0), KOVA_OK);
    EXPECT_EQ(words(fixed + 80 + 24 * 7), (W{0, kTime, 0, 0x80000, kTime, 12000}));
    // An Ethernet UCC has one OQ record.
    EXPECT_EQ(kovaAPISetOQShapingWithCDR(2, 1, 7, 100000000, 1500, 0, 0, 0), KOVA_ERR_INVALID);
}

TEST_F(Shaping, OnuShaperThenItsLink) {
    attach();
    uint8_t *e = area_.data() + KOVA_SHM_ONUOQ_UCC(9) + 24 * 511;
    uint8_t *link = area_.data() + KOVA_SHM_OQ_UCC(9) + 296 * 100 + 284;
    fill_words(e, 6);
    ASSERT_EQ(kovaAPISetOQONUShapingWithCDR(9, 511, 100, 100000000, 1500, 1100000000, 10000), KOVA_OK);
    EXPECT_EQ(words(e), (W{0xCCCC, kTime, 7999, 0x80000, kTime, 12000}));
    EXPECT_EQ(le32_at(link), 511u);
    EXPECT_EQ(words(e + 24, 1), W{0}) << "next UCC's area";
    // Peak below committed: the message (that nothing is written, the link
    // included, is checked with the other bad input).
    EXPECT_EQ(kovaAPISetOQONUShapingWithCDR(9, 3, 100, 2000, 0, 1000, 0), KOVA_ERR_INVALID);
    EXPECT_EQ(take_log(), "kovaAPI: error: shaping PDR speed is lower than CDR speed\n");
    EXPECT_EQ(le32_at(link), 511u);
}

// Records, at each barrier, which word of the watched entry changed: the
// order in which the engine can see them.
struct WriteOrder {
    const uint8_t *entry;
    uint32_t n;
    std::vector<uint32_t> last;
    std::vector<int> changed; // word index, -1 for a barrier with no change
    static void hook(const kova_host_trace_event *ev, void *ctx) {
        auto *self = static_cast<WriteOrder *>(ctx);
        if (ev->op != KOVA_TRACE_BARRIER)
            return;
        const W now = words(self->entry, self->n);
        int which = -1;
        for (uint32_t i = 0; i < self->n; ++i)
            if (now[i] != self->last[i])
                which = which == -1 ? int(i) : 100; // 100: two words at one barrier
        self->changed.push_back(which);
        self->last = now;
    }
    WriteOrder(uint8_t *e, uint32_t words_n) : entry(e), n(words_n) {
        fill_words(e, n);
        last = words(e, n);
        kova_host_trace_hook(&WriteOrder::hook, this);
        kova_host_trace_start();
    }
    ~WriteOrder() {
        kova_host_trace_stop();
        kova_host_trace_hook(nullptr, nullptr);
    }
};

TEST_F(Shaping, WriteOrderExcessFirstLinkLast) {
    attach();
    {
        // The ONU entry and the OQ record's link lie far apart: one run
        // watches the entry, the next the link.
        WriteOrder w(area_.data() + KOVA_SHM_ONUOQ_UCC(9) + 24 * 7, 6);
        ASSERT_EQ(kovaAPISetOQONUShapingWithCDR(9, 7, 0, 100000000, 1500, 1100000000, 10000), KOVA_OK);
        // step, depth, time of excess; step, depth, time of committed; then
        // the link (outside this entry).
        EXPECT_EQ(w.changed, (std::vector<int>{0, 2, 1, 3, 5, 4, -1}));
    }
    {
        WriteOrder w(area_.data() + KOVA_SHM_OQ_UCC(9) + 284, 1);
        ASSERT_EQ(kovaAPISetOQONUShapingWithCDR(9, 7, 0, 100000000, 1500, 1100000000, 10000), KOVA_OK);
        EXPECT_EQ(w.changed, (std::vector<int>{-1, -1, -1, -1, -1, -1, 0}));
    }
}

class Policing : public RateLimit {};

TEST_F(Policing, CommittedFirstAndDepthKeptWhenOff) {
    attach();
    uint8_t *e = ic_policer(11, 2000, 6);
    fill_words(e - 24, 18);
    ASSERT_EQ(kovaAPISetICPolicing(11, 2000, 6, 100000000, 1500, 1100000000, 10000), KOVA_OK);
    EXPECT_EQ(words(e), (W{0x80000, kTime, 12000, 0xCCCC, kTime, 7999}));
    EXPECT_EQ(words(e - 24), W(6, kFill));
    EXPECT_EQ(words(e + 24), W(6, kFill));
    // CIR 0 and PIR 0: steps and times 0, both depth words kept.
    ASSERT_EQ(kovaAPISetICPolicing(11, 2000, 6, 0, 1, 0, 1), KOVA_OK);
    EXPECT_EQ(words(e), (W{0, 0, 12000, 0, 0, 7999}));
    // PIR equal to CIR: the excess bucket runs at rate 1 (step 0, depth 0).
    ASSERT_EQ(kovaAPISetICPolicing(11, 2000, 6, 1000000000, 10000, 1000000000, 5), KOVA_OK);
    EXPECT_EQ(words(e), (W{0xCCCC, kTime, 7999, 0, kTime, 0}));
    // Policing has no marker rewrite and no message on success.
    EXPECT_EQ(take_log(), "");
    fill_words(e, 6);
    EXPECT_EQ(kovaAPISetICPolicing(11, 2000, 6, 2000, 1, 1999, 1), KOVA_ERR_INVALID);
    EXPECT_EQ(take_log(), "kovaAPI: error: policing PIR speed is lower than CIR speed\n");
    EXPECT_EQ(words(e), W(6, kFill));
}

TEST_F(Policing, WriteOrderCommittedFirst) {
    attach();
    // With CIR 0 the committed depth word is not written.
    for (uint64_t cir : {100000000ull, 0ull}) {
        WriteOrder w(ic_policer(11, 1, 0), 6);
        ASSERT_EQ(kovaAPISetICPolicing(11, 1, 0, cir, cir ? 1500 : 0, 1100000000, 10000), KOVA_OK);
        EXPECT_EQ(w.changed, cir ? (std::vector<int>{0, 2, 1, 3, 5, 4}) : (std::vector<int>{0, 1, 3, 5, 4})) << cir;
    }
}

TEST_F(Policing, OnuPolicerAndLink) {
    attach();
    uint8_t *e = area_.data() + KOVA_SHM_ONUIC_UCC(35) + 24 * 200;
    fill_words(e, 6);
    ASSERT_EQ(kovaAPISetICONUPolicing(35, 200, 4095, 100000000, 1500, 0, 0), KOVA_OK);
    EXPECT_EQ(words(e), (W{0x80000, kTime, 12000, 0, 0, kFill}));
    EXPECT_EQ(le32_at(area_.data() + KOVA_SHM_IC_UCC(35) + 196 * 4095 + 192), 200u);
}

TEST_F(Policing, OnuPolicerBeforeAttachUsesTheFixedArea) {
    kova_host_set_counter(kCounter);
    uint8_t *onu = static_cast<uint8_t *>(kova_host_iomem(kv::engine::kOnuIcPhys + kv::engine::kOnuIcSize * 4));
    uint8_t *ic = static_cast<uint8_t *>(kova_host_iomem(kv::engine::kIcPhys + kv::engine::kIcStride * 4));
    ASSERT_NE(onu, nullptr);
    ASSERT_NE(ic, nullptr);
    ASSERT_EQ(kovaAPISetICONUPolicing(4, 1, 2, 1000000000, 10000, 1100000000, 1500), KOVA_OK);
    EXPECT_EQ(words(onu + 24), (W{0xCCCC, kTime, 7999, 0x80000, kTime, 12000}));
    EXPECT_EQ(le32_at(ic + 196 * 2 + 192), 1u);
    // Ethernet UCCs have no ONU policer area before an attach.
    EXPECT_EQ(kovaAPISetICONUPolicing(0, 1, 0, 1000, 1, 0, 0), KOVA_ERR_NOT_INITIALIZED);
}

class StormControl : public RateLimit {};

TEST_F(StormControl, MetersAAndB) {
    attach();
    uint8_t *e = area_.data() + KOVA_SHM_STORM_UCC(39) + 24 * 4095;
    ASSERT_EQ(kovaAPISetStormControlCfg(39, 4095, 5, 0, 3), KOVA_OK);
    EXPECT_EQ(words(e), (W{0, 0xFFFFFFFF, 500, 33333333, 0xFFFFFFFF, 500}));
    e = area_.data() + KOVA_SHM_STORM_UCC(0);
    ASSERT_EQ(kovaAPISetStormControlCfg(0, 0, 2147484, 1000, 100000001), KOVA_OK);
    const uint32_t t = uint32_t(int32_t(-214748329));
    EXPECT_EQ(words(e), (W{100000, 0xFFFFFFFF, t, 0, 0xFFFFFFFF, t}));
    EXPECT_EQ(take_log(), "");
}

TEST_F(StormControl, BeforeAttach) {
    EXPECT_EQ(kovaAPISetStormControlCfg(3, 1, 5, 1, 1), KOVA_ERR_NOT_INITIALIZED);
    EXPECT_EQ(take_log(), "");
    EXPECT_EQ(kovaAPISetStormControlCfg(3, 4096, 5, 1, 1), KOVA_ERR_NOT_INITIALIZED);
    EXPECT_EQ(take_log(), "kovaAPI: kovaAPISetStormControlCfg portnum = 4096\n");
}

// ---- Result codes -------------------------------------------------------------

class RateLimitResults : public RateLimit {};

TEST_F(RateLimitResults, UccsAboveThePublicRange) {
    attach();
    // Only the short shaping form refuses 36..39 as out of range; 40 is out
    // of range for all but storm control, which calls it invalid.
    const struct {
        const char *fn;
        uint32_t (*call)(int32_t u);
        uint32_t rc_36_39;
    } calls[] = {
        {"kovaAPISetOQShapingWithCDR", [](int32_t u) { return kovaAPISetOQShapingWithCDR(u, 0, 0, 1000, 1, 0, 0, 0); }, KOVA_ERR_INVALID},
        {"kovaAPISetOQONUShapingWithCDR", [](int32_t u) { return kovaAPISetOQONUShapingWithCDR(u, 0, 0, 1000, 1, 0, 0); }, KOVA_ERR_INVALID},
        {"kovaAPISetICPolicing", [](int32_t u) { return kovaAPISetICPolicing(u, 0, 0, 1000, 1, 0, 0); }, KOVA_ERR_INVALID},
        {"kovaAPISetICONUPolicing", [](int32_t u) { return kovaAPISetICONUPolicing(u, 0, 0, 1000, 1, 0, 0); }, KOVA_ERR_INVALID},
        {"kovaAPISetOQShaping", [](int32_t u) { return kovaAPISetOQShaping(u, 0, 0, 1000, 1); }, KOVA_ERR_NOT_INITIALIZED},
    };
    for (int32_t u = 36; u <= 40; ++u) {
        for (const auto &c : calls) {
            SCOPED_TRACE(testing::Message() << c.fn << " " << u);
            const uint32_t rc = u == 40 ? KOVA_ERR_NOT_INITIALIZED : c.rc_36_39;
            EXPECT_EQ(c.call(u), rc);
            EXPECT_EQ(take_log(), rc == KOVA_ERR_NOT_INITIALIZED ? "kovaAPI: UCC number out of range, uccnum = " +
                                                                       std::to_string(u) + " from " + c.fn + "\n"
                                                                 : "");
        }
        EXPECT_EQ(kovaAPISetStormControlCfg(u, 0, 1, 1, 1), u == 40 ? KOVA_ERR_INVALID : KOVA_OK) << u;
        EXPECT_EQ(take_log(), "");
    }
}

TEST_F(RateLimitResults, UninitialisedUccIsReportedByEachCall) {
    attach();
    void *params = std::exchange(kova.kovaUCCparameters[5], nullptr);
    EXPECT_EQ(kovaAPISetOQShaping(5, 0, 0, 1000, 1), KOVA_ERR_NOT_INITIALIZED);
    EXPECT_EQ(take_log(), "kovaAPI: UCC not initialized yet, uccnum = 5");
    EXPECT_EQ(kovaAPISetICPolicing(5, 0, 0, 1000, 1, 0, 0), KOVA_ERR_NOT_INITIALIZED);
    EXPECT_EQ(take_log(), "kovaAPI: UCC not initialized yet, uccnum = 5");
    kova.kovaUCCparameters[5] = params;
}

// ---- Bad input writes nothing --------------------------------------------------

uint64_t hash_bytes(uint64_t h, const uint8_t *p, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        h = (h ^ w) * 1099511628211ull;
    }
    for (; i < n; ++i)
        h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

// The engine's area past the flow table, or before an attach every UCC's
// fixed OQ, IC and ONU IC area.
uint64_t hash_areas(const uint8_t *engine) {
    using namespace kv::engine;
    uint64_t h = 1469598103934665603ull;
    if (engine)
        return hash_bytes(h, engine + KOVA_SHM_LKUP_MASK_PORT, KOVA_SHM_SIZE - KOVA_SHM_LKUP_MASK_PORT);
    for (uint32_t u = 0; u < KOVA_UCCS; ++u) {
        const bool eth = u < 4;
        h = hash_bytes(h, static_cast<uint8_t *>(kova_host_iomem(kOqPhys + kOqStride * u)), eth ? kOqEthSize : kOqStride);
        h = hash_bytes(h, static_cast<uint8_t *>(kova_host_iomem(kIcPhys + kIcStride * u)), eth ? kIcEthSize : kIcStride);
        if (!eth)
            h = hash_bytes(h, static_cast<uint8_t *>(kova_host_iomem(kOnuIcPhys + kOnuIcSize * u)), kOnuIcSize);
    }
    return h;
}

void bad_calls() {
    const uint64_t r = 100000000;
    // Classes, record indices and ONU entries out of range.
    EXPECT_EQ(kovaAPISetOQShapingWithCDR(5, 0, 8, r, 1, 0, 0, 0), KOVA_ERR_INVALID);
    EXPECT_EQ(kovaAPISetOQShapingWithCDR(5, 0, -1, r, 1, 0, 0, 0), KOVA_ERR_INVALID);
    EXPECT_EQ(kovaAPISetOQShapingWithCDR(5, 4096, 0, r, 1, 0, 0, 0), KOVA_ERR_INVALID);
    EXPECT_EQ(kovaAPISetOQShapingWithCDR(5, -1, 0, r, 1, 0, 0, 0), KOVA_ERR_INVALID);
    EXPECT_EQ(kovaAPISetOQShapingWithCDR(1, 1, 0, r, 1, 0, 0, 0), KOVA_ERR_INVALID);
    EXPECT_EQ(kovaAPISetOQShaping(5, 0, 8, r, 1), KOVA_ERR_INVALID);
    EXPECT_EQ(kovaAPISetOQShaping(5, 4096, 0, r, 1), KOVA_ERR_INVALID);
    EXPECT_EQ(kovaAPISetICPolicing(5, 0, 8, r, 1, 0, 0), KOVA_ERR_INVALID);
    EXPECT_EQ(kovaAPISetICPolicing(5, 0, -3, r, 1, 0, 0), KOVA_ERR_INVALID);
    EXPECT_EQ(kovaAPISetICPolicing(5, 4096, 0, r, 1, 0, 0), KOVA_ERR_INVALID);
    EXPECT_EQ(kovaAPISetICPolicing(0, 1, 0, r, 1, 0, 0), KOVA_ERR_INVALID);
    EXPECT_EQ(kovaAPISetICONUPolicing(5, 512, 0, r, 1, 0, 0), KOVA_ERR_INVALID);
    EXPECT_EQ(kovaAPISetICONUPolicing(5, -1, 0, r, 1, 0, 0), KOVA_ERR_INVALID);
    EXPECT_EQ(kovaAPISetICONUPolicing(5, 0, 4096, r, 1, 0, 0), KOVA_ERR_INVALID);
    EXPECT_EQ(kovaAPISetICONUPolicing(5, 0, -1, r, 1, 0, 0), KOVA_ERR_INVALID);
    // Peaks below committed.
    EXPECT_EQ(kovaAPISetOQShapingWithCDR(5, 0, 0, r, 1, r - 1, 1, 1), KOVA_ERR_INVALID);
    EXPECT_EQ(kovaAPISetICPolicing(5, 0, 0, r, 1, 1, 1), KOVA_ERR_INVALID);
    EXPECT_EQ(kovaAPISetICONUPolicing(5, 0, 0, r, 1, 1, 1), KOVA_ERR_INVALID);
    // Negative and too-high UCCs.
    EXPECT_EQ(kovaAPISetOQShapingWithCDR(-1, 0, 0, r, 1, 0, 0, 0), KOVA_ERR_NOT_INITIALIZED);
    EXPECT_EQ(kovaAPISetICPolicing(-1, 0, 0, r, 1, 0, 0), KOVA_ERR_NOT_INITIALIZED);
    EXPECT_EQ(kovaAPISetICONUPolicing(36, 0, 0, r, 1, 0, 0), KOVA_ERR_INVALID);
    EXPECT_EQ(kovaAPISetOQShapingWithCDR(41, 0, 0, r, 1, 0, 0, 0), KOVA_ERR_NOT_INITIALIZED);
    EXPECT_EQ(kovaAPISetStormControlCfg(-7, 0, 1, 1, 1), KOVA_ERR_INVALID);
    EXPECT_EQ(kovaAPISetStormControlCfg(5, -1, 1, 1, 1), KOVA_ERR_INVALID);
    EXPECT_EQ(kovaAPISetStormControlCfg(5, 4096, 1, 1, 1), KOVA_ERR_NOT_INITIALIZED);
    EXPECT_EQ(kovaAPIsetLKUPMask(36, 0, 1), KOVA_ERR_INVALID);
    EXPECT_EQ(kovaAPIsetLKUPMask(5, 4096, 1), KOVA_ERR_INVALID);
}

TEST_F(RateLimitResults, BadInputWritesNothingBeforeOrAfterAttach) {
    const uint64_t fixed = hash_areas(nullptr);
    bad_calls();
    // No ONU shaping or storm-control storage yet, and no ONU policer area
    // for an Ethernet UCC.
    EXPECT_EQ(kovaAPISetOQONUShapingWithCDR(5, 0, 0, 1000, 1, 0, 0), KOVA_ERR_NOT_INITIALIZED);
    EXPECT_EQ(kovaAPISetStormControlCfg(39, 4095, 1, 1, 1), KOVA_ERR_NOT_INITIALIZED);
    EXPECT_EQ(kovaAPISetICONUPolicing(3, 0, 0, 1000, 1, 0, 0), KOVA_ERR_NOT_INITIALIZED);
    EXPECT_EQ(hash_areas(nullptr), fixed);
    // The placeholder engine copy stays clean too.
    for (uint32_t i = 0; i < KOVA_LUT_TABLE_BYTES; i += 4096)
        ASSERT_EQ(kova.qe_placeholder[i], 0) << i;

    attach();
    const uint64_t engine = hash_areas(area_.data());
    bad_calls();
    EXPECT_EQ(kovaAPISetOQONUShapingWithCDR(5, 512, 0, 1000, 1, 0, 0), KOVA_ERR_INVALID);
    EXPECT_EQ(kovaAPISetOQONUShapingWithCDR(5, 0, 4096, 1000, 1, 0, 0), KOVA_ERR_INVALID);
    EXPECT_EQ(kovaAPISetOQONUShapingWithCDR(5, 0, 0, 1000, 1, 999, 1), KOVA_ERR_INVALID);
    EXPECT_EQ(kovaAPISetOQONUShapingWithCDR(-1, 0, 0, 1000, 1, 0, 0), KOVA_ERR_NOT_INITIALIZED);
    EXPECT_EQ(hash_areas(area_.data()), engine);
}

} // namespace
