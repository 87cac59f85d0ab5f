// Kernel callers use the exported functions from several CPUs at once, while
// operators use the debug files and the engine re-attaches its area. Every
// caller's own results must stay exact and the table whole.
//
// No thread here reads the engine copy as the engine does: those reads take
// no lock by design and ThreadSanitizer does not model them; the
// engine-view tests check what the engine sees at every barrier.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine.h"
#include "platform.h"
#include "support/kova_test.h"
#include "support/module_test.h"
#include "support/table_check.h"

namespace {

uint32_t bucket_crc(uint32_t bucket, uint32_t variant) { return (bucket * 331u % KOVA_LUT_HEADS) << 18 | variant; }

class Concurrency : public kt::StoreTest {};

TEST_F(Concurrency, CallersCreatingAtOnceAreSerialised) {
    constexpr uint32_t kThreads = 4, kPer = 3000;
    std::atomic<int> failures{0};
    std::vector<std::thread> callers;
    for (uint32_t t = 0; t < kThreads; ++t)
        callers.emplace_back([t, &failures] {
            for (uint32_t i = 0; i < kPer; ++i) {
                // Every thread hits the same few buckets.
                kt::Flow f = kt::keyed_flow(bucket_crc(i % 16, 1 + t), t * kPer + i);
                if (kovaAPIcreateVoipFlow(f.get(), t * kPer + i) != KOVA_OK)
                    ++failures;
            }
        });
    for (auto &c : callers)
        c.join();
    EXPECT_EQ(failures.load(), 0);
    kt::FlowModel model;
    for (uint32_t t = 0; t < kThreads; ++t)
        for (uint32_t i = 0; i < kPer; ++i)
            model[t * kPer + i] = bucket_crc(i % 16, 1 + t);
    EXPECT_TABLE_OK(&model);
    EXPECT_EQ(kova.create_branch_count[3], 16u);
    EXPECT_EQ(kova.create_branch_count[0], kThreads * kPer - 16);
}

// ---- Every kind of caller at once ------------------------------------------
//
// Each worker owns kChains chains of appflowids: a main flow and up to two
// extended flows hung behind it, and its own ports, lookup-mask UCCs and
// LAG. It knows what each of its calls must return and checks exactly that;
// what depends on the other workers (a dump, a device read, a port that is
// not its own) must still answer sanely. Half the chains share four hot
// buckets with every other worker, so deletions move other workers' flows.
// The operations are small functions over the exported interface and the
// operator's files, kept in plain C style so that a kernel build can run
// the same table.

constexpr uint32_t kWorkers = 4;
constexpr uint32_t kChains = 40;
constexpr uint32_t kDepth = 3; // main flow + two extended flows
constexpr uint32_t kOps = 1500; // per worker
constexpr uint32_t kHotBuckets[4] = {0x0000, 0x0155, 0x2AAA, 0x3FFF};
constexpr uint64_t kQeBase[2] = {0x4000000000ull, 0x5000000000ull};
constexpr uint32_t kOwnPorts = 5; // Ethernet port w and four of UCCs 4..31
constexpr size_t kPiece = 64u << 10;

struct Worker {
    uint32_t w;
    uint32_t rng;
    kova_FLOW flows[kChains][kDepth]; // flows[c][d]: chain c, depth d
    kova_RULE rules[kChains][kDepth];
    int depth[kChains]; // -1: no main flow, else extended flows behind it
    uint32_t link_up, lag_mode, lag_mask;
    bool cleared; // its Ethernet port's statistics were cleared
    uint32_t failures;
    char first_failure[200];
    char buf[kPiece];
};

uint32_t below(Worker *w, uint32_t n) {
    w->rng ^= w->rng << 13;
    w->rng ^= w->rng >> 17;
    w->rng ^= w->rng << 5;
    return w->rng % n;
}
uint32_t id_of(const Worker *w, uint32_t c, uint32_t d) { return 2000 + w->w * 1000 + c * kDepth + d; }
uint32_t bucket_of(const Worker *w, uint32_t c) { return c % 2 ? kHotBuckets[c / 2 % 4] : 0x100 + w->w * kChains + c; }
uint32_t crc_of(const Worker *w, uint32_t c) { return bucket_of(w, c) << 18 | (1 + c / 8 % 3) * 0x111u; }
uint32_t own_port(const Worker *w, uint32_t k) { return k ? 3 + 8 * w->w + k : w->w; }

void expect(Worker *w, const char *what, uint32_t id, long got, long want) {
    if (got != want && w->failures++ == 0)
        snprintf(w->first_failure, sizeof w->first_failure, "%s %u: %ld, expected %ld", what, id, got, want);
}

// ---- What differs between homes: the operator's files and the attach ----

// Opens, writes once, closes: what the write returned.
long file_write(const char *path, const char *text) {
    const int fd = kova_host_open(path);
    if (fd < 0)
        return fd;
    const long r = kova_host_write(fd, text, strlen(text));
    kova_host_close(fd);
    return r;
}

// Reads up to `piece` bytes at a time into w->buf, once or, with to_end,
// until the end: the total length, or the first error. *last is the last
// byte read.
long file_read(Worker *w, const char *path, size_t piece, bool to_end, char *last) {
    const int fd = kova_host_open(path);
    if (fd < 0)
        return fd;
    long total = 0, n;
    do {
        n = kova_host_read(fd, w->buf, piece);
        if (n > 0) {
            total += n;
            *last = w->buf[n - 1];
        }
    } while (to_end && n > 0);
    kova_host_close(fd);
    return n < 0 ? n : total;
}

kt::EngineArea *g_areas[2];
std::atomic<uint32_t> g_attaches{0};

long engine_attach(uint32_t which) {
    return kt::attach_engine(kt::attach_args(g_areas[which]->addr(), kQeBase[which], "stress"));
}

// ---- The operations ---------------------------------------------------------

void op_create(Worker *w) { // a second creation of an appflowid is refused
    const uint32_t c = below(w, kChains);
    expect(w, "create", id_of(w, c, 0), kovaAPIcreateVoipFlow(&w->flows[c][0], id_of(w, c, 0)),
           w->depth[c] < 0 ? KOVA_OK : KOVA_ERR_INVALID);
    if (w->depth[c] < 0)
        w->depth[c] = 0;
}

void op_hang(Worker *w) { // without a main flow there is nothing to hang on
    const uint32_t c = below(w, kChains);
    const int d = w->depth[c];
    if (d == int(kDepth) - 1)
        return;
    const uint32_t parent = id_of(w, c, d < 0 ? 0 : d), id = id_of(w, c, d < 0 ? 1 : d + 1);
    expect(w, "hang", id, kovaAPIcreateExtendedFlow(&w->flows[c][d < 0 ? 1 : d + 1], parent, id),
           d < 0 ? KOVA_ERR_INVALID : KOVA_OK);
    if (d >= 0)
        ++w->depth[c];
}

void op_delete(Worker *w) { // refused while extended flows hang on it
    const uint32_t c = below(w, kChains);
    expect(w, "delete", id_of(w, c, 0), kovaAPIdeleteVoipFlow(id_of(w, c, 0)),
           w->depth[c] == 0 ? KOVA_OK : KOVA_ERR_INVALID);
    if (w->depth[c] == 0)
        w->depth[c] = -1;
}

void op_unhang(Worker *w) { // a main flow is refused
    const uint32_t c = below(w, kChains);
    const int d = w->depth[c];
    const uint32_t id = id_of(w, c, d < 0 ? 0 : d);
    expect(w, "unhang", id, kovaAPIdeleteExtendedFlow(id), d > 0 ? KOVA_OK : KOVA_ERR_INVALID);
    if (d > 0)
        --w->depth[c];
}

void op_delete_chain(Worker *w) {
    const uint32_t c = below(w, kChains);
    expect(w, "delete with extended", id_of(w, c, 0), kovaAPIdeleteFlowWithExtended(id_of(w, c, 0)),
           w->depth[c] >= 0 ? KOVA_OK : KOVA_ERR_INVALID);
    w->depth[c] = -1;
}

// Every appflowid of the worker, live or not, then one bucket walk.
void op_query(Worker *w) {
    for (uint32_t c = 0; c < kChains; ++c)
        for (uint32_t d = 0; d < kDepth; ++d) {
            const uint32_t id = id_of(w, c, d), want = int(d) <= w->depth[c] ? KOVA_OK : KOVA_ERR_INVALID;
            uint32_t stats[3];
            uint64_t counter;
            expect(w, "statistics", id, kovaAPIgetFlowStatistics(int32_t(id), stats), want);
            expect(w, "counter", id, kovaAPIgetFlowPacketCounter(int32_t(id), &counter), want);
        }
    const uint32_t c = below(w, kChains);
    if (w->depth[c] < 0)
        return;
    plat_mutex_lock(&kovaAPI_lock); // a stable answer needs the lock
    const uint32_t found = kovaAPIcheckFlowExists(crc_of(w, c), uint64_t(bucket_of(w, c)) * KOVA_LUT_SIZE);
    plat_mutex_unlock(&kovaAPI_lock);
    expect(w, "exists", id_of(w, c, 0), found, 1);
}

// A definition in the operator's language, for the next flow of chain c.
void definition(const Worker *w, uint32_t c, uint32_t d, char *out, size_t cap) {
    const kova_FLOW *f = &w->flows[c][d];
    const uint8_t *m = f->eth_dmac, *s = f->eth_smac, *src = f->ip_src.v4, *dst = f->ip_dst.v4;
    int n = d ? snprintf(out, cap, "parent_flow_id=%u ", id_of(w, c, d - 1)) : 0;
    n += snprintf(out + n, cap - n,
                  "flow_id=%u crc32=0x%x flow_ucc=%u flow_subport=%u eth_dmac=%02x:%02x:%02x:%02x:%02x:%02x "
                  "eth_smac=%02x:%02x:%02x:%02x:%02x:%02x vlan_id_1=%u vlan_id_2=%u eth_type=0x%x "
                  "ipv4_src=%u.%u.%u.%u ipv4_dst=%u.%u.%u.%u udp_sport=%u udp_dport=%u\n",
                  id_of(w, c, d), f->crc32, f->flow_ucc, f->flow_subport, m[0], m[1], m[2], m[3], m[4], m[5], s[0],
                  s[1], s[2], s[3], s[4], s[5], f->vlan_id_1, f->vlan_id_2, f->eth_type, src[0], src[1], src[2],
                  src[3], dst[0], dst[1], dst[2], dst[3], f->udp_sport, f->udp_dport);
    if (d)
        snprintf(out + n, cap - n, "rule1=RULE_FORWARD_TO_CPU priority=%u ;", d);
    else
        snprintf(out + n, cap - n, "rule1=RULE_DROP_PACKET ;");
}

void op_file_create(Worker *w) {
    const uint32_t c = below(w, kChains);
    if (w->depth[c] == int(kDepth) - 1)
        return;
    const uint32_t d = uint32_t(w->depth[c] + 1), id = id_of(w, c, d);
    char text[600];
    definition(w, c, d, text, sizeof text);
    expect(w, "create_flows", id, file_write("/sys/kernel/debug/kova/create_flows", text), long(strlen(text)));
    uint64_t counter;
    expect(w, "created by create_flows", id, kovaAPIgetFlowPacketCounter(int32_t(id), &counter), KOVA_OK);
    ++w->depth[c];
}

void op_file_delete(Worker *w) { // refused while extended flows hang on it
    const uint32_t c = below(w, kChains), id = id_of(w, c, 0);
    char text[32];
    snprintf(text, sizeof text, "flow_id=%u", id);
    expect(w, "delete_flows", id, file_write("/sys/kernel/debug/kova/delete_flows", text), long(strlen(text)));
    if (w->depth[c] == 0)
        w->depth[c] = -1;
    uint64_t counter;
    expect(w, "deleted by delete_flows", id, kovaAPIgetFlowPacketCounter(int32_t(id), &counter),
           w->depth[c] > 0 ? KOVA_OK : KOVA_ERR_INVALID);
}

void op_dump(Worker *w) {
    const bool qe = below(w, 2);
    char last = 0;
    const long n = file_read(w, qe ? "/sys/kernel/debug/kova/dump_flows_qe" : "/sys/kernel/debug/kova/dump_flows_cpu",
                             kPiece, true, &last);
    expect(w, qe ? "dump_flows_qe sane" : "dump_flows_cpu sane", 0, n > 0 && n < (2l << 20) && last == '\n', 1);
}

void op_device(Worker *w) { // an engine is attached: the first read is whole
    char last;
    expect(w, "/dev/kova read", 0, file_read(w, "/dev/kova", 4096, false, &last), 4096);
}

// Each attach takes the area the last one left, as an engine that restarts
// into a fresh area: the turn is taken under a lock, so two workers never
// re-attach the area already attached.
std::mutex g_attach_turn;
void op_reattach(Worker *w) {
    std::lock_guard<std::mutex> turn(g_attach_turn);
    expect(w, "attach", 0, engine_attach(g_attaches++ % 2), 0);
}

void op_shape(Worker *w) { // a peak below the committed rate is refused
    const int32_t u = int32_t(below(w, 36)), rec = u < 4 ? 0 : int32_t(below(w, 4096)), cl = int32_t(below(w, 8));
    const uint64_t rate = 1000000ull * (1 + below(w, 1000));
    const bool bad = below(w, 4) == 0;
    expect(w, "shaping", uint32_t(u),
           kovaAPISetOQShapingWithCDR(u, rec, cl, rate, 1500, bad ? rate - 1 : 2 * rate, 3000, 0),
           bad ? KOVA_ERR_INVALID : KOVA_OK);
    expect(w, "policing", uint32_t(u), kovaAPISetICPolicing(u, rec, cl, rate, 1500, bad ? rate - 1 : rate, 3000),
           bad ? KOVA_ERR_INVALID : KOVA_OK);
    expect(w, "storm", uint32_t(u), kovaAPISetStormControlCfg(int32_t(below(w, 40)), int32_t(below(w, 4096)), 100,
                                                              uint32_t(rate), uint32_t(rate / 2)),
           KOVA_OK);
}

void op_mask(Worker *w) { // UCCs 4 + 8w .. 11 + 8w are the worker's own
    const uint32_t u = 4 + 8 * w->w + below(w, 8), id = 1 + below(w, 4095);
    const uint8_t mask = uint8_t(below(w, 256));
    expect(w, "lookup mask", u, kovaAPIsetLKUPMask(int32_t(u), int32_t(id), mask), KOVA_OK);
    expect(w, "lookup mask kept", u, kova.lkup_mask_vlan[(u - 4) * KOVA_LKUP_MASK_IDS + id], mask);
    expect(w, "lookup mask of no UCC", 36, kovaAPIsetLKUPMask(36, int32_t(id), mask), KOVA_ERR_INVALID);
}

void op_lag(Worker *w) { // LAG w holds some of the worker's own ports
    w->lag_mode = below(w, 2);
    w->lag_mask = 0;
    for (uint32_t k = 0; k < kOwnPorts; ++k)
        w->lag_mask |= below(w, 2) << own_port(w, k);
    expect(w, "set LAG", w->w, kovaAPISetLAG(int32_t(w->w), w->lag_mode, w->lag_mask), KOVA_OK);
}

void op_link(Worker *w) {
    const uint32_t u = own_port(w, below(w, kOwnPorts));
    const bool up = below(w, 2);
    expect(w, up ? "link up" : "link down", u, up ? kovaAPISetLAGPortUP(u) : kovaAPISetLAGPortDOWN(u), KOVA_OK);
    w->link_up = up ? w->link_up | 1u << u : w->link_up & ~(1u << u);
}

// Its own Ethernet port counts nothing once cleared: no engine runs and no
// other worker clears or counts there.
void op_port_stats(Worker *w) {
    kova_PORT_STATS s, zero;
    memset(&zero, 0, sizeof zero);
    expect(w, "port statistics", w->w, kovaAPIGetPortStatistics(int32_t(w->w), 0, &s), KOVA_OK);
    if (w->cleared)
        expect(w, "cleared port statistics", w->w, memcmp(&s, &zero, sizeof s), 0);
    const int32_t other = int32_t(below(w, 40));
    expect(w, "any port statistics", uint32_t(other), kovaAPIGetPortStatistics(other, int32_t(below(w, 2)), &s),
           KOVA_OK);
}

void op_clear_stats(Worker *w) {
    expect(w, "clear", w->w, kovaAPIClearPortStatistics(int32_t(w->w), 0), KOVA_OK);
    w->cleared = true;
}

struct StressOp {
    const char *name;
    void (*run)(Worker *w);
    uint32_t weight;
};

const StressOp kStressOps[] = {
    {"create", op_create, 6},          {"hang", op_hang, 5},
    {"delete", op_delete, 4},          {"unhang", op_unhang, 4},
    {"delete chain", op_delete_chain, 3}, {"query", op_query, 3},
    {"create_flows", op_file_create, 2}, {"delete_flows", op_file_delete, 1},
    {"dump", op_dump, 1},              {"/dev/kova", op_device, 1},
    {"re-attach", op_reattach, 1},     {"shape", op_shape, 3},
    {"mask", op_mask, 2},              {"LAG", op_lag, 1},
    {"link", op_link, 2},              {"port statistics", op_port_stats, 2},
    {"clear statistics", op_clear_stats, 1},
};
constexpr uint32_t kStressKinds = sizeof kStressOps / sizeof kStressOps[0];

void run_worker(Worker *w, uint32_t *ran) {
    uint32_t total = 0;
    for (const StressOp &op : kStressOps)
        total += op.weight;
    for (uint32_t n = 0; n < kOps; ++n) {
        uint32_t pick = below(w, total), k = 0;
        while (pick >= kStressOps[k].weight)
            pick -= kStressOps[k++].weight;
        kStressOps[k].run(w);
        ++ran[k];
    }
}

// Chain c's flows share their key and a CRC32 that is the key's own, so
// the engine's lookup finds them; the rules tell them apart.
void describe(Worker *w) {
    for (uint32_t c = 0; c < kChains; ++c) {
        w->depth[c] = -1;
        for (uint32_t d = 0; d < kDepth; ++d) {
            kova_FLOW *f = &w->flows[c][d];
            memset(f, 0, sizeof *f);
            f->flow_ucc = uint16_t(4 + 8 * w->w + c % 8);
            const uint8_t dmac[6] = {0x02, 0x4B, uint8_t(w->w), uint8_t(c), 0x00, 0x01};
            memcpy(f->eth_dmac, dmac, 6);
            f->eth_smac[0] = 0x02;
            f->eth_type = KOVA_ETH_TYPE_IPV4;
            f->ip_dst.v4[0] = 10;
            f->udp_dport = uint16_t(5000 + c);
            f->crc32 = crc_of(w, c);
            kova_engine::set_source_for_crc(f, f->crc32);
            memset(&w->rules[c][d], 0, sizeof(kova_RULE));
            w->rules[c][d].type = d ? RULE_FORWARD_TO_CPU : RULE_DROP_PACKET;
            w->rules[c][d].param.forward_cpu.priority = uint8_t(d);
            f->rules = &w->rules[c][d];
        }
    }
}

// The statistics registers of the Ethernet ports: non-zero, so that a
// clear that leaves them is seen.
void set_port_registers(int byte) {
    for (uint64_t p = 0; p < 4; ++p) {
        memset(kova_host_iomem(0x87E0E0000070ull + 0x40000ull * p), byte, 1824);
        memset(kova_host_iomem(0x840040024500ull + 0x20000ull * p), byte, 96);
        memset(kova_host_iomem(0x840040024400ull + 0x20000ull * p), byte, 40);
    }
}

class ConcurrentCallers : public kt::ModuleTest {
protected:
    void SetUp() override {
        kova_host_sibling_reset();
        kt::ModuleTest::SetUp();
    }
    void TearDown() override {
        set_port_registers(0);
        kova_host_sibling_reset();
        kt::ModuleTest::TearDown();
    }
};

TEST_F(ConcurrentCallers, EveryOperationAtOnceKeepsEachCallersResultsExact) {
    kt::EngineArea first, second;
    g_areas[0] = &first;
    g_areas[1] = &second;
    g_attaches = 1;
    ASSERT_EQ(engine_attach(0), 0);
    set_port_registers(0x11);
    std::vector<std::unique_ptr<Worker>> workers;
    uint32_t ran[kWorkers][kStressKinds] = {};
    std::vector<std::thread> threads;
    for (uint32_t i = 0; i < kWorkers; ++i) {
        workers.emplace_back(new Worker{});
        Worker *w = workers.back().get();
        w->w = i;
        w->rng = 0x9E3779B9u * (i + 1);
        describe(w);
        threads.emplace_back(run_worker, w, ran[i]);
    }
    for (auto &t : threads)
        t.join();

    kt::FlowModel model;
    uint32_t up = 0, extended = 0;
    for (auto &w : workers) {
        EXPECT_EQ(w->failures, 0u) << "worker " << w->w << ", first: " << w->first_failure;
        for (uint32_t c = 0; c < kChains; ++c)
            for (int d = 0; d <= w->depth[c]; ++d)
                model[id_of(w.get(), c, d)] = crc_of(w.get(), c);
        up |= w->link_up;
    }
    EXPECT_TABLE_OK(&model);

    // One packet of every chain through the engine's own walk of its copy:
    // it counts once in each live flow of the chain and in nothing else.
    kova_engine::Engine engine(kova.hashtable_base_qe_remapped, kova.hashtable_base_qe);
    std::string engine_view; // the first disagreements
    uint32_t disagreements = 0;
    for (auto &w : workers)
        for (uint32_t c = 0; c < kChains; ++c) {
            const int32_t slot = engine.process(kova_engine::packet_of(w->flows[c][0], 64));
            uint64_t n = 0;
            for (int d = -1; d <= w->depth[c]; ++d) {
                const uint32_t id = id_of(w.get(), c, d < 0 ? 0 : d);
                const bool ok = d < 0 ? slot == (w->depth[c] < 0 ? -1 : int32_t(kova.appflow_map[id]))
                                      : kovaAPIgetFlowPacketCounter(int32_t(id), &n) == KOVA_OK && n == 1;
                if (!ok && disagreements++ < 5)
                    engine_view += (d < 0 ? "lookup of appflowid " : "count of appflowid ") + std::to_string(id) + "\n";
            }
            extended += w->depth[c] > 0 ? w->depth[c] : 0;
        }
    EXPECT_EQ(disagreements, 0u) << engine_view;
    EXPECT_EQ(engine.stats().extended, extended);
    EXPECT_EQ(engine.stats().bad_links, 0u);

    // The LAGs as the workers left them, and the last configuration the
    // interface module received says the same.
    EXPECT_EQ(kova.lag_link_up, up);
    const size_t commits = kova_host_sibling_received(nullptr, 0);
    ASSERT_GT(commits, 0u);
    std::vector<int64_t> all(4 * commits);
    kova_host_sibling_received(reinterpret_cast<int64_t(*)[4]>(all.data()), commits);
    const int64_t *last = &all[4 * (commits - 1)];
    for (auto &w : workers) {
        const uint32_t active = w->lag_mask & w->link_up;
        EXPECT_EQ(kova.lag_table[w->w].lag_mode, w->lag_mode);
        EXPECT_EQ(kova.lag_table[w->w].lag_portmask, w->lag_mask);
        EXPECT_EQ(kova.lag_table[w->w].lag_active, active);
        EXPECT_EQ(last[w->w], w->lag_mode == 1 ? int64_t(int32_t(active)) : 0) << "LAG " << w->w;
    }
    for (uint32_t k = 0; k < kStressKinds; ++k) {
        uint32_t n = 0;
        for (uint32_t i = 0; i < kWorkers; ++i)
            n += ran[i][k];
        EXPECT_GT(n, kOps / 50) << kStressOps[k].name;
    }
}

} // namespace
