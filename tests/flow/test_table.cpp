// The flow table one case at a time: what the engine sees in which order, every
// refusal, broken invariants, the queries. (The model test runs every chain case.)
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <numeric>
#include <regex>
#include <set>
#include <tuple>
#include <utility>

#include "flow/publish.h"
#include "flow/query.h"
#include "lib/bytes.h"
#include "support/module_test.h"
#include "support/table_check.h"

namespace {

using namespace kt;

using Ws = std::vector<W>;

constexpr uint32_t kHead = 0x123, kCrc = kHead << 18 | 1;
constexpr uint32_t crc_of(uint32_t variant) { return kHead << 18 | variant; }
W valid(uint64_t slot, uint64_t v) { return W(KOVA_TRACE_MEMSET32, slot + 252, 4, v); }
W clear(uint64_t slot) { return W(KOVA_TRACE_MEMSET, slot, 256, 0); }
W store(uint64_t at, uint64_t v) { return W(KOVA_TRACE_STORE64, at, 8, v); }

class Table : public StoreTest {
protected:
    // Main flow a with key a; extended flows with their parent's key and CRC32.
    void create(uint32_t a, uint32_t crc) {
        ASSERT_EQ(kovaAPIcreateVoipFlow(keyed_flow(crc, a).get(), a), KOVA_OK) << take_log();
        model_[a] = crc, key_[a] = a;
    }
    static Flow ext_flow(uint32_t crc, uint32_t key) {
        Flow f = keyed_flow(crc, key);
        f.rules[0].type = RULE_FORWARD_TO_CPU;
        return f;
    }
    void extend(uint32_t parent, std::initializer_list<uint32_t> chain) { // each on the last
        for (uint32_t a : chain) {
            Flow f = ext_flow(model_.at(parent), key_.at(parent));
            ASSERT_EQ(kovaAPIcreateExtendedFlow(f.get(), parent, a), KOVA_OK) << a << take_log();
            model_[a] = model_[parent], key_[a] = key_[parent], parent = a;
        }
    }
    void remove(uint32_t a) {
        ASSERT_EQ(kovaAPIdeleteVoipFlow(a), KOVA_OK) << take_log();
        model_.erase(a);
    }
    static uint32_t slot_of(uint32_t a) { return kova.appflow_map[a]; }
    FlowModel model_;
    std::map<uint32_t, uint32_t> key_;
};

// An entry is whole and valid before the engine link, then the shadow link, reaches it; a
// head reads 2 while overwritten; an entry is unlinked before it is cleared.
void at_link_write(const kova_host_trace_event *e, void *ctx) {
    auto *m = static_cast<std::vector<uint64_t> *>(ctx); // field, new slot, then what was seen
    if (e->op == KOVA_TRACE_STORE64 && e->engine_off == kHead * 256 + (*m)[0])
        m->insert(m->end(), {le32_at(shadow_slot(uint32_t((*m)[1])) + KOVA_LUT_OFF_CRC32),
                             le64_at(shadow_slot(kHead) + (*m)[0])});
}

TEST_F(Table, EngineSeesEachStepInOrder) {
    const uint64_t head = kHead * 256ull, e1 = 16384 * 256ull, e2 = e1 + 256, e3 = e2 + 256;
    auto publish = [](uint64_t slot, uint64_t length) {
        return Ws{valid(slot, 0), W(KOVA_TRACE_MEMCPY, slot, length, 0), valid(slot, 1)};
    };
    EXPECT_EQ(writes_of([&] { create(0, crc_of(1)); }), publish(head, 120));
    for (uint64_t field : {KOVA_LUT_OFF_NEXT_CRC32, KOVA_LUT_OFF_NEXT_EXT}) {
        std::vector<uint64_t> seen = {field, field == KOVA_LUT_OFF_NEXT_EXT ? 16385u : 16384u};
        kova_host_trace_hook(at_link_write, &seen);
        auto want = publish(seen[1] * 256, 120);
        want.push_back(store(head + field, engine_addr(uint32_t(seen[1]))));
        EXPECT_EQ(writes_of([&] {
                      field == KOVA_LUT_OFF_NEXT_EXT ? extend(0, {2}) : create(1, crc_of(1));
                  }),
                  want);
        kova_host_trace_hook(nullptr, nullptr);
        EXPECT_EQ(seen, (std::vector<uint64_t>{seen[0], seen[1], model_[0], 0}))
            << "shadow entry, no shadow link";
    }
    extend(2, {3});
    EXPECT_EQ(writes_of([&] { ASSERT_EQ(kovaAPIdeleteExtendedFlow(3), KOVA_OK); }),
              (Ws{store(e2 + KOVA_LUT_OFF_NEXT_EXT, 0), valid(e3, 2), clear(e3), valid(e3, 0)}));
    ASSERT_EQ(kovaAPIdeleteExtendedFlow(2), KOVA_OK);
    model_.erase(2), model_.erase(3);
    EXPECT_EQ(writes_of([&] { remove(0); }),
              (Ws{valid(head, 2), W(KOVA_TRACE_MEMCPY2, head, 252, e1), valid(head, 1),
                  valid(e1, 0), clear(e1)}));
    create(4, crc_of(2)), create(5, crc_of(2));
    const uint64_t group = slot_of(4) * 256ull;
    EXPECT_EQ(writes_of([&] { remove(4); }),
              (Ws{store(head + KOVA_LUT_OFF_NEXT_CRC12, engine_addr(slot_of(5))), valid(group, 0),
                  clear(group)}));
    EXPECT_TABLE_OK(&model_);
}

// Each primitive writes exactly its bytes; a publication never covers the valid word.
TEST_F(Table, PrimitivesWriteExactlyTheirBytes) {
    uint8_t src[300], want[3 * 256];
    for (int i = 0; i < 300; ++i)
        src[i] = uint8_t(i + 1);
    std::memset(engine_slot(10), 0xEE, 3 * 256);
    const uint64_t a = engine_addr(10);
    EXPECT_EQ(writes_of([&] {
                  memcpyQE(a, src, 0, 0);
                  memcpyQE(a + 1, src, 65, 3);
                  memsetQE(a + 100, 0x1C7, 252, 0); // the low byte is the fill
                  memsetQE32bit(a + 400, 0xA1B2C3D4, 99, 0);
                  memcpyQE2(a + 512, a + 1, 0x100000000ull + 65, 0); // the low 32 bits count
                  storeQE64(a + 600, 0x0102030405060708ull, 0);
              }),
              // clang-format off
              (Ws{{KOVA_TRACE_MEMCPY, 2560, 0, 0}, {KOVA_TRACE_MEMCPY, 2561, 65, 0},
                  {KOVA_TRACE_MEMSET, 2660, 252, 0xC7}, {KOVA_TRACE_MEMSET32, 2960, 4, 0xA1B2C3D4},
                  {KOVA_TRACE_MEMCPY2, 3072, 65, 2561}, store(3160, 0x0102030405060708ull)}));
    // clang-format on
    std::memset(want, 0xEE, sizeof want);
    std::memcpy(want + 1, src, 65);
    std::memset(want + 100, 0xC7, 252);
    kv::bytes::put_le32(want + 400, 0xA1B2C3D4);
    std::memcpy(want + 512, src, 65);
    kv::bytes::put_le64(want + 600, 0x0102030405060708ull);
    EXPECT_EQ(std::memcmp(engine_slot(10), want, sizeof want), 0);
    kova_LUT built;
    std::memset(&built, 0x5A, sizeof built);
    EXPECT_EQ(
        writes_of([&] { kv::publish::entry(engine_addr(5), &built, 256, 0, shadow_slot(5)); }),
        (Ws{valid(5 * 256, 0), W(KOVA_TRACE_MEMCPY, 5 * 256, 252, 0), valid(5 * 256, 1)}));
    EXPECT_EQ(le32_at(shadow_slot(5) + 252), 0x5A5A5A5Au);
}

// Each refusal's branch once with its line (appflowid 9 maps to a planted slot):
// the lookup's refusals through one caller, each caller's own checks; then the
// state words of the accepted states.
TEST_F(Table, Refusals) {
    create(0, kCrc), create(1, kCrc);
    extend(1, {2, 3});
    Flow none(kCrc, 1, 0), good = ext_flow(kCrc, 1), crc = ext_flow(kCrc, 1);
    crc.f.crc32 += 1;
    // clang-format off
    const std::string state = "Failed to create new lut, Wrong state of flow.\n\r",
        err = "Failed to create new lut, err = ", range = "flowid which is out of range\n",
        app = "non-existing application flowid\n", gone = "non-existing flow\n",
        del = "kovaAPI: trying to delete ", add = "kovaAPI: trying to add extended flow ",
        diff = add + "which has different lookup data than original flow\n",
        ext_del = del + "extended flow with normal flow delete function\n",
        active = del + "flow which has extended flow active\n";
    // clang-format on
    using Call = std::function<uint32_t()>;
    auto c = [](uint32_t (*f)(uint32_t), uint32_t a) { return Call([=] { return f(a); }); };
    auto voip = [](Flow *f, uint64_t a, uint32_t st) {
        return Call([=] { return kovaAPIcreateFlow(f ? f->get() : nullptr, a, st); });
    };
    auto ext = [](Flow *f, uint64_t p, uint64_t a) {
        return Call([=] { return kovaAPIcreateExtendedFlow(f ? f->get() : nullptr, p, a); });
    };
    const auto plain = kovaAPIdeleteVoipFlow, last = kovaAPIdeleteExtendedFlow,
               all = kovaAPIdeleteFlowWithExtended;
    const struct {
        Call call;
        std::string log;
        uint32_t result = KOVA_ERR_INVALID, map9 = KOVA_NO_SLOT;
    } cases[] = {
        // clang-format off
        {voip(&good, 5, 2), state}, {voip(nullptr, 5, 3), ""},
        {voip(&none, 5, 3), err + "1\n\r", 1}, {voip(&good, 32768, 3), ""},
        {voip(&good, 0x100000000ull, 3), ""},
        {voip(&good, 3, 3), "kovaAPI: trying to add flow with used appflowid\n"},
        {ext(&good, 32768, 5), add + "to " + range}, {ext(&good, 3, 32768), ""},
        {ext(&good, 3, 1), add + "with existing appflowid\n"},
        {ext(&good, 9, 5), add + "to " + gone, 7, 20000},
        {ext(&good, 1, 5), add + "to parent flow that has extended flow active\n"},
        {ext(&crc, 3, 5), diff}, {ext(&none, 3, 5), err + "1\n\r", 1}, {ext(nullptr, 3, 5), ""},
        {c(plain, 32768), del + range}, {c(plain, 9), del + app}, {c(plain, 3), ext_del},
        {c(plain, 9), del + range, 7, 40000}, {c(plain, 9), del + gone, 7, 999},
        {c(plain, 1), active}, {c(last, 32768), del + range}, {c(last, 2), active},
        {c(last, 1), del + "normal flow with extendedFlow delete function\n"},
        {c(all, 32768), del + range}, {c(all, 3), ext_del},
        {[] { return kovaAPIdeleteFlow2(1, 2); }, active},
        // clang-format on
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(&k - cases);
        kova.appflow_map[9] = k.map9;
        EXPECT_EQ(k.call(), k.result);
        EXPECT_EQ(take_log(), k.log);
    }
    kova.appflow_map[9] = KOVA_NO_SLOT;
    // The statistics come first: filled although the deletion is refused.
    const uint32_t words[3] = {0xFFFFFFF0u, 77u, 0x80000001u};
    std::memcpy(engine_slot(slot_of(1)) + KOVA_LUT_OFF_PACKET_CNT, words, sizeof words);
    uint32_t stats[3] = {};
    EXPECT_EQ(kovaAPIdeleteVoipFlowWithStats(1, stats), KOVA_ERR_INVALID);
    EXPECT_EQ(std::memcmp(stats, words, sizeof words), 0);
    std::memset(engine_slot(slot_of(1)) + KOVA_LUT_OFF_PACKET_CNT, 0, sizeof words);
    EXPECT_EQ(std::accumulate(std::begin(kova.delete_branch_count),
                              std::end(kova.delete_branch_count), kova.create_branch_count[3]),
              1u);
    for (uint32_t st : {0u, 1u, 3u}) { // a CRC32 of 0 does not leave its head looking empty
        ASSERT_EQ(kovaAPIcreateFlow(keyed_flow(st << 20, 10 + st).get(), 10 + st, st), KOVA_OK);
        EXPECT_EQ(le32_at(engine_slot(slot_of(10 + st)) + KOVA_LUT_OFF_FLOW_STATE), st << 24);
        model_[10 + st] = st << 20;
    }
    create(20, 0);
    EXPECT_TABLE_OK(&model_);
}

// Broken invariants end an operation with the file and line of their check.
TEST_F(Table, BrokenInvariantsAreInternalErrors) {
    const std::regex re("kovaAPI: internal error (create|delete|extended)\\.cpp [0-9]+");
    std::set<std::string> lines;
    auto refused = [&](uint32_t r) {
        EXPECT_EQ(r, KOVA_ERR_INTERNAL);
        const std::string log = take_log();
        EXPECT_TRUE(std::regex_match(log, re)) << log;
        lines.insert(log);
    };
    Flow f(kCrc);
    kova.lut_info[kHead].in_use = 1; // in use, yet its shadow entry is empty: nothing published
    refused(kovaAPIcreateVoipFlow(f.get(), 1));
    kova.lut_info[kHead].in_use = 0;
    ASSERT_EQ(kovaAPIcreateVoipFlow(f.get(), 1), KOVA_OK);
    shadow_slot(16384)[KOVA_LUT_OFF_CRC32] = 1; // a used overflow slot stays taken
    refused(kovaAPIcreateVoipFlow(f.get(), 2));
    // lost engine address
    kova.lut_info[kHead].lut_qe = 0x1234;
    refused(kovaAPIcreateVoipFlow(f.get(), 3));
    refused(kovaAPIcreateExtendedFlow(f.get(), 1, 4));
    kova_LUT *scratch = std::exchange(kova.temp_lut, nullptr);
    refused(kovaAPIcreateVoipFlow(f.get(), 5));
    refused(kovaAPIcreateExtendedFlow(f.get(), 1, 5));
    kova.temp_lut = scratch;

    kovaAPIReInitKovaFlowTable();
    for (uint32_t a = 0; a < 3; ++a)
        create(a, kCrc);
    // an overflow entry that claims to be a head
    kova.lut_info[16385].prev_flowid = KOVA_NO_SLOT;
    refused(kovaAPIdeleteVoipFlow(2));
    kova.lut_info[16385].prev_flowid = 16384;
    // its predecessor no longer links to it
    std::memset(shadow_slot(16384) + KOVA_LUT_OFF_NEXT_CRC32, 0, 8);
    refused(kovaAPIdeleteVoipFlow(2));
    kova.ext_free_used = 0; // freeing onto a full stack
    refused(kovaAPIdeleteVoipFlow(1));

    kovaAPIReInitKovaFlowTable();
    create(1, kCrc);
    extend(1, {2, 3});
    kova.lut_info[16385].prev_flowid = kHead; // the recorded parent does not lead to the live entry
    refused(kovaAPIdeleteExtendedFlow(3));
    kova.lut_info[16385].prev_flowid = 16384, kova.appflow_map[3] = 16385, kova.ext_free_used = 0;
    // freeing onto an empty stack
    refused(kovaAPIdeleteExtendedFlow(3));
    EXPECT_EQ(lines.size(), 11u);
}

// The variants for callers holding the table lock check that the thread does.
using TableDeathTest = Table;
TEST_F(TableDeathTest, LockHeldWithoutTheLockStops) {
    EXPECT_DEATH(kovaAPIdeleteFlow3(1, 0, 1), "is not held by this thread");
    EXPECT_DEATH(kovaAPIdeleteExtendedFlow3(1, 1, 1), "is not held by this thread");
    EXPECT_DEATH(kovaAPIReInitKovaFlowTablePrivate(), "is not held by this thread");
}

// A chain as long as the overflow area leaves chained flows no slot but an empty
// head still takes one; a flow goes with 255 extended flows, not with 256.
TEST_F(Table, FullAreaAndLongChains) {
    create(0, kCrc);
    kova.ext_free_list[0] = 40000;
    EXPECT_EQ(kovaAPIcreateExtendedFlow(ext_flow(kCrc, 0).get(), 0, 1), KOVA_ERR_TABLE_FULL);
    kova.ext_free_list[0] = 16384, kova.ext_free_used = 0;
    for (uint32_t a = 1; a <= KOVA_OVERFLOW_SLOTS; ++a)
        extend(a - 1, {a});
    EXPECT_EQ(kovaAPIcreateExtendedFlow(ext_flow(kCrc, 0).get(), KOVA_OVERFLOW_SLOTS, 20000),
              KOVA_ERR_TABLE_FULL);
    EXPECT_EQ(kovaAPIcreateVoipFlow(keyed_flow(kCrc, 7).get(), 20000), KOVA_ERR_TABLE_FULL);
    create(20001, 777u << 18);
    for (uint32_t a = KOVA_OVERFLOW_SLOTS; a > 256; --a) {
        ASSERT_EQ(kovaAPIdeleteExtendedFlow(a), KOVA_OK) << a;
        model_.erase(a);
    }
    EXPECT_EQ(kovaAPIdeleteFlow2(0, 1) | kovaAPIdeleteFlowWithExtended(0) << 8,
              KOVA_ERR_TOO_MANY_EXTENDED * 0x101);
    const std::string max = "kovaAPI: maximum amount of extended flows reached\n";
    EXPECT_EQ(take_log(), max + max);
    ASSERT_EQ(kovaAPIdeleteExtendedFlow(256), KOVA_OK);
    ASSERT_EQ(kovaAPIdeleteFlowWithExtended(0), KOVA_OK);
    EXPECT_TABLE_OK(FlowModel{{20001, 777u << 18}});
}

// Until the head is overwritten the engine may still follow it into its chain,
// so the chain is marked 2 first; a failure on the way stops nothing.
TEST_F(Table, CombinedDeletion) {
    create(1, kCrc);
    create(2, kCrc); // member, slot 16384
    extend(1, {3, 4});
    kv::bytes::put_le32(engine_slot(kHead) + KOVA_LUT_OFF_TIMESTAMP, 0xABCD);
    uint32_t stats[3] = {};
    const auto w =
        writes_of([&] { ASSERT_EQ(kovaAPIdeleteFlowWithExtendedWithStats(1, stats), KOVA_OK); });
    EXPECT_EQ(stats[2], 0xABCDu); // the log stays empty up to the failure cases' lines
    ASSERT_GE(w.size(), 4u);
    EXPECT_EQ(Ws(w.begin(), w.begin() + 4),
              (Ws{valid(kHead * 256, 2), valid(16385 * 256, 2), valid(16386 * 256, 2),
                  W(KOVA_TRACE_MEMCPY2, kHead * 256, 252, 16384 * 256)}));
    EXPECT_EQ(std::vector<uint32_t>(kova.ext_free_list, kova.ext_free_list + 3),
              (std::vector<uint32_t>{16385, 16386, 16384}));
    EXPECT_TABLE_OK(FlowModel{{2, kCrc}});

    // A chain the walk cannot follow is reported and the main flow goes anyway; when
    // the main deletion fails, its chain still goes and the main result wins.
    kovaAPIReInitKovaFlowTable();
    create(1, kCrc);
    extend(1, {2, 3});
    kova.lut_info[kHead].ext_appflowid = 99; // names no flow
    EXPECT_EQ(kovaAPIdeleteFlowWithExtended(1), KOVA_ERR_INVALID);
    EXPECT_EQ(take_log(), "kovaAPI: trying to delete non-existing extended application flowid\n"
                          "kovaAPI: trying to delete non-existing extended application flowid\n"
                          "kovaAPI: trying to delete non-existing application flowid\n"
                          "kovaAPI: Can not delete one of extended flows\n");
    EXPECT_TRUE(!kova.lut_info[kHead].in_use && kova.lut_info[16384].in_use); // cut off, kept
    create(5, kCrc + 0x40000);
    extend(5, {6, 7});
    const uint32_t e1 = slot_of(6), e2 = slot_of(7);
    kova.lut_info[slot_of(5)].prev_flowid = 0; // a head slot with a predecessor
    EXPECT_EQ(kovaAPIdeleteFlowWithExtended(5), KOVA_ERR_INTERNAL);
    EXPECT_TRUE(
        std::regex_match(take_log(), std::regex("kovaAPI: internal error delete\\.cpp [0-9]+"
                                                "kovaAPI: Can not delete main flow\n")));
    EXPECT_NE(slot_of(5), KOVA_NO_SLOT);
    EXPECT_FALSE(kova.lut_info[e1].in_use || kova.lut_info[e2].in_use);
}

// A second initialisation changes nothing; a reset is one fill over both copies.
TEST_F(Table, StoreInitAndReset) {
    kovaAPIDeInitKovaMicroCode();
    ASSERT_EQ(kovaAPIInit(), KOVA_OK);
    char want[256];
    snprintf(want, sizeof want,
             "kovaAPI: kova.hashtable_base_qe 0\nkovaAPI: kova.hashtable_base_cpu %llx\n"
             "kovaAPI: kova.hashtable_base_qe remapped %llx\n",
             (unsigned long long)(uintptr_t)kova.hashtable_base_cpu,
             (unsigned long long)(uintptr_t)kova.hashtable_base_qe_remapped);
    EXPECT_NE(take_log().find(want), std::string::npos);
    create(0, kCrc), create(1, kCrc);
    uint8_t *cpu = kova.hashtable_base_cpu;
    EXPECT_EQ(kovaAPIInit(), KOVA_OK);
    EXPECT_TRUE(kova.hashtable_base_cpu == cpu && slot_of(1) == 16384 && take_log().empty());
    kova.hashtable_base_qe = 0x40000000;
    EXPECT_EQ(writes_of([] { EXPECT_EQ(kovaAPIReInitKovaFlowTable(), KOVA_OK); }),
              Ws{W(KOVA_TRACE_MEMSET, 0, KOVA_LUT_TABLE_BYTES, 0)});
    EXPECT_EQ(kova.lut_info[32767].lut_qe, 0x40000000u + 0x7FFF00u);
    EXPECT_TABLE_OK(FlowModel{});
}

void put_words(uint8_t *entry, uint32_t packets, uint32_t word2, uint32_t stamp) {
    kv::bytes::put_le32(entry + KOVA_LUT_OFF_PACKET_CNT, packets);
    kv::bytes::put_le32(entry + KOVA_LUT_OFF_STATS_WORD2, word2);
    kv::bytes::put_le32(entry + KOVA_LUT_OFF_TIMESTAMP, stamp);
}
void create(std::initializer_list<std::pair<uint32_t, uint32_t>> flows) { // crc, appflowid
    for (auto [crc, a] : flows)
        ASSERT_EQ(kovaAPIcreateVoipFlow(keyed_flow(crc, a).get(), a), KOVA_OK);
    take_log();
}
std::string fmt(const char *format, uint64_t v) {
    char buf[160];
    std::snprintf(buf, sizeof buf, format, (unsigned long long)v);
    return buf;
}

// The three queries of one appflowid as "results values|log".
std::string query(int32_t a) {
    uint64_t counter = 0xAA, stamp = 0xAA;
    uint32_t s[3] = {0xAA, 0xAA, 0xAA};
    const uint32_t r[3] = {kovaAPIgetFlowPacketCounter(a, &counter), kovaAPIgetFlowStatistics(a, s),
                           kovaAPIgetFlowTimeStamp(a, &stamp)};
    char buf[200];
    std::snprintf(buf, sizeof buf, "%u %u %u %llx %x %x %x %llx", r[0], r[1], r[2],
                  (unsigned long long)counter, s[0], s[1], s[2], (unsigned long long)stamp);
    return buf + std::string("|") + take_log();
}

// The existence check's result and its log.
std::string exists(uint64_t crc, uint64_t start) {
    const std::string found = std::to_string(kovaAPIcheckFlowExists(crc, start)) + "|";
    return found + take_log();
}

using Query = ModuleTest;

// Statistics come from the engine copy, before and after an attach; the existence
// check follows next_crc12 only, and a bad start or link or a loop answers "found".
TEST_F(Query, StatisticsAndTheExistenceCheck) {
    const uint32_t A = 0x40000001, B = 0x40000002, elsewhere = 0x80000001;
    const uint64_t base = uint64_t(uintptr_t(kova.hashtable_base_cpu)), start = 0x1000 * 256;
    stored_hashtable_base_cpu = 0x5000;
    EXPECT_EQ(exists(1, 0), fmt("0|ORVEX_BUG4702: stored_hashtable_base_cpu=0x5000 "
                                "kova.hashtable_base_cpu=0x%llx\n",
                                base));
    EXPECT_EQ(stored_hashtable_base_cpu, base);
    EXPECT_EQ(kovaAPIcheckFlowExists(A, start), 0u);
    EXPECT_EQ(kovaAPIcheckFlowExists(0, start), 1u) << "an empty head's crc32 is 0";
    EXPECT_EQ(kovaAPIcheckFlowExists(A, KOVA_LUT_TABLE_BYTES - 256), 0u) << "the last slot";
    create({{A, 1}, {A, 2}, {B, 3}, {elsewhere, 4}}); // flow 2 behind the head on next_crc32

    auto three = [](const char *format) {
        char c[160], t[160];
        std::snprintf(c, sizeof c, format, "counter");
        std::snprintf(t, sizeof t, format, "timestamp");
        return std::string("7 7 7 aa aa aa aa aa|") + c + c + t;
    };
    put_words(engine_slot(0x1000), 0xFFFFFFF0u, 0x80000001u, 0xFFFFFFFEu);
    put_words(shadow_slot(0x1000), 1, 2, 3); // the shadow's words are not the statistics
    EXPECT_EQ(query(1), "0 0 0 fffffff0 fffffff0 80000001 fffffffe fffffffe|");
    EngineArea area;
    ASSERT_EQ(attach_engine(attach_args(area.addr(), 0x2000000000ull, "v")), 0);
    take_log();
    put_words(area.data() + KOVA_LUT_SIZE * 16384, 7, 8, 0xFFFFFFF9u);
    EXPECT_EQ(query(2), "0 0 0 7 7 8 fffffff9 fffffff9|");
    EXPECT_EQ(query(-1), three("kovaAPI: trying to get %s for flowid which is out of range\n"));
    EXPECT_EQ(query(32767),
              three("kovaAPI: trying to to get %s for non-existing application flowid\n"));
    kova.appflow_map[5] = KOVA_LUT_ENTRIES;
    EXPECT_EQ(query(5),
              three("kovaAPI: trying to to get %s for for flowid which is out of range\n"));
    kova.appflow_map[5] = 100; // a slot no flow owns
    EXPECT_EQ(query(5), three("kovaAPI: trying to to get %s for for non-existing flow\n"));
    kova.appflow_map[5] = KOVA_NO_SLOT;
    // A null destination is refused silently once the flow checks pass.
    EXPECT_EQ(kovaAPIgetFlowStatistics(1, nullptr) + kovaAPIgetFlowPacketCounter(1, nullptr) +
                  kovaAPIgetFlowTimeStamp(1, nullptr),
              3 * KOVA_ERR_INVALID);
    // seen on next_crc32 only
    kv::bytes::put_le32(shadow_slot(16384) + KOVA_LUT_OFF_CRC32, 0x40000077);
    const std::pair<uint64_t, uint32_t> found[] = {
        {A, 1}, {B, 1}, {0xFFFFFFFF00000000ull | B, 1}, {elsewhere, 0}, {0x40000077, 0}};
    for (auto [crc, want] : found)
        EXPECT_EQ(kovaAPIcheckFlowExists(crc, start), want) << crc;
    EXPECT_EQ(take_log(), "");

    const char *line =
        "1|ORVEX_BUG4702: kovaAPIcheckFlowExists wrong search_lut address = 0x%llx\n";
    EXPECT_EQ(exists(0x1234, KOVA_LUT_TABLE_BYTES),
              "1|ORVEX_BUG4702: kovaAPIcheckFlowExists wrong start address = 0x800000\n");
    // must not read past the end
    EXPECT_EQ(exists(0x1234, KOVA_LUT_TABLE_BYTES - 1), fmt(line, base + KOVA_LUT_TABLE_BYTES - 1));
    uint8_t *head = shadow_slot(uint32_t(start / KOVA_LUT_SIZE));
    for (uint64_t bad : {base + KOVA_LUT_TABLE_BYTES, base - KOVA_LUT_SIZE}) {
        kv::bytes::put_le64(head + KOVA_LUT_OFF_NEXT_CRC12, bad);
        EXPECT_EQ(exists(0x40000009, start), fmt(line, bad));
    }
    EXPECT_EQ(exists(A, start), "1|") << "a match before the bad link";
    kv::bytes::put_le64(head + KOVA_LUT_OFF_NEXT_CRC12, uint64_t(uintptr_t(head)));
    EXPECT_EQ(kovaAPIcheckFlowExists(0x40000009, start), 1u);
    EXPECT_NE(take_log().find("kovaAPI: internal error"), std::string::npos);

    // Released: the records keep their contents but the tables are gone.
    kova_host_unload();
    take_log();
    EXPECT_EQ(query(1),
              "7 7 7 aa aa aa aa aa|kovaAPI: trying to to get counter for for non-existing flow\n"
              "kovaAPI: trying to to get counter for for non-existing flow\n"
              "kovaAPI: trying to to get timestamp for for non-existing flow\n");
    stored_hashtable_base_cpu = 0x5000;
    EXPECT_EQ(exists(0, 0), "1|ORVEX_BUG4702: kovaAPI: kovaAPI not initialized yet\n");
    EXPECT_EQ(stored_hashtable_base_cpu, 0x5000u);
    ASSERT_EQ(kova_host_load(), 0);
}

} // namespace
