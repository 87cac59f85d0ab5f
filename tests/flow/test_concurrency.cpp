// Kernel callers, a dump and a re-attaching engine at once: exact results, a whole table.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>

#include "platform.h"
#include "support/module_test.h"
#include "support/table_check.h"

namespace {

using namespace kt;

// Each worker owns chains of a main flow and up to two extended flows and knows what each
// call must return. Half the chains share four hot buckets: deletions move others' flows.
constexpr uint32_t kWorkers = 4, kChains = 40, kDepth = 3, kOps = 1500, kPiece = 64u << 10;
constexpr uint32_t kHotBuckets[4] = {0x0000, 0x0155, 0x2AAA, 0x3FFF};
constexpr uint64_t kQeBase[2] = {0x4000000000ull, 0x5000000000ull};
const uint32_t kWeights[] = {6, 5, 4, 4, 3, 3, 1, 1}, kTotal = 27;

struct Worker {
    uint32_t w, rng, failures;
    std::vector<Flow> flows; // chain c, depth d at c * kDepth + d
    int depth[kChains];      // -1: no main flow, else extended flows behind it
    char first_failure[200], buf[kPiece];

    uint32_t below(uint32_t n) {
        rng ^= rng << 13, rng ^= rng >> 17, rng ^= rng << 5;
        return rng % n;
    }
    uint32_t id(uint32_t c, int d) const { return 2000 + w * 1000 + c * kDepth + (d > 0 ? d : 0); }
    uint32_t bucket(uint32_t c) const {
        return c % 2 ? kHotBuckets[c / 2 % 4] : 0x100 + w * kChains + c;
    }
    uint32_t crc(uint32_t c) const { return bucket(c) << 18 | (1 + c / 8 % 3) * 0x111u; }
    void expect(const char *what, uint32_t i, long got, long want) {
        if (got != want && failures++ == 0)
            snprintf(first_failure, sizeof first_failure, "%s %u: %ld, expected %ld", what, i, got,
                     want);
    }
    kova_FLOW *flow(uint32_t c, int d) { return flows[c * kDepth + uint32_t(d)].get(); }
    // Chain c's flows share their key and CRC32; the rules tell them apart.
    void describe(uint32_t worker) {
        w = worker, rng = 0x9E3779B9u * (worker + 1);
        for (uint32_t i = 0; i < kChains * kDepth; ++i) {
            flows.push_back(keyed_flow(crc(i / kDepth), w * kChains + i / kDepth));
            flows.back().rules[0].type = i % kDepth ? RULE_FORWARD_TO_CPU : RULE_DROP_PACKET;
        }
        std::fill(depth, depth + kChains, -1);
    }
};

EngineArea *g_areas[2];
std::atomic<uint32_t> g_attaches{0};
std::mutex g_attach_turn;
long engine_attach(uint32_t which) {
    return attach_engine(attach_args(g_areas[which]->addr(), kQeBase[which], "stress"));
}

void run_op(Worker *w, uint32_t kind) {
    const uint32_t c = w->below(kChains), main = w->id(c, 0);
    const int d = w->depth[c], next = d < 0 ? 1 : d + 1;
    uint64_t counter;
    switch (kind) {
    case 0: // a second creation of an appflowid is refused
        w->expect("create", main, kovaAPIcreateVoipFlow(w->flow(c, 0), main),
                  d < 0 ? KOVA_OK : KOVA_ERR_INVALID);
        w->depth[c] = d < 0 ? 0 : d;
        break;
    case 1: // without a main flow there is nothing to hang on
        if (next < int(kDepth))
            w->expect("hang", w->id(c, next),
                      kovaAPIcreateExtendedFlow(w->flow(c, next), w->id(c, d), w->id(c, next)),
                      d < 0 ? KOVA_ERR_INVALID : KOVA_OK);
        w->depth[c] += d >= 0 && next < int(kDepth);
        break;
    case 2: // refused while extended flows hang on it
        w->expect("delete", main, kovaAPIdeleteVoipFlow(main), d == 0 ? KOVA_OK : KOVA_ERR_INVALID);
        w->depth[c] = d == 0 ? -1 : d;
        break;
    case 3: // a main flow is refused
        w->expect("unhang", w->id(c, d), kovaAPIdeleteExtendedFlow(w->id(c, d)),
                  d > 0 ? KOVA_OK : KOVA_ERR_INVALID);
        w->depth[c] -= d > 0;
        break;
    case 4:
        w->expect("delete chain", main, kovaAPIdeleteFlowWithExtended(main),
                  d >= 0 ? KOVA_OK : KOVA_ERR_INVALID);
        w->depth[c] = -1;
        break;
    case 5: // the chain's flows, then one bucket walk under the lock
        for (int dd = 0; dd < int(kDepth); ++dd)
            w->expect("counter", w->id(c, dd),
                      kovaAPIgetFlowPacketCounter(int32_t(w->id(c, dd)), &counter),
                      dd <= d ? KOVA_OK : KOVA_ERR_INVALID);
        if (d >= 0) {
            plat_mutex_lock(&kovaAPI_lock);
            const uint32_t found =
                kovaAPIcheckFlowExists(w->crc(c), uint64_t(w->bucket(c)) * KOVA_LUT_SIZE);
            plat_mutex_unlock(&kovaAPI_lock);
            w->expect("exists", main, found, 1);
        }
        break;
    case 6: { // read to its end: no error, and whole lines
        const int fd = kova_host_open(w->below(2) ? "/sys/kernel/debug/kova/dump_flows_qe"
                                                  : "/sys/kernel/debug/kova/dump_flows_cpu");
        long total = 0, n;
        char last = 0;
        while ((n = kova_host_read(fd, w->buf, kPiece)) > 0)
            total += n, last = w->buf[n - 1];
        kova_host_close(fd);
        w->expect("dump", 0, n == 0 && total > 0 && total < (2l << 20) && last == '\n', 1);
        break;
    }
    default: { // each attach takes the area the last one left, as an engine restarting
        std::lock_guard<std::mutex> turn(g_attach_turn);
        w->expect("attach", 0, engine_attach(g_attaches++ % 2), 0);
    }
    }
}

using ConcurrentCallers = ModuleTest;

TEST_F(ConcurrentCallers, EveryOperationAtOnceKeepsEachCallersResultsExact) {
    EngineArea first, second;
    g_areas[0] = &first, g_areas[1] = &second, g_attaches = 1;
    ASSERT_EQ(engine_attach(0), 0);
    std::vector<std::unique_ptr<Worker>> workers;
    for (uint32_t i = 0; i < kWorkers; ++i)
        workers.emplace_back(new Worker{}), workers.back()->describe(i);
    on_threads(kWorkers, [&](uint32_t i) {
        Worker *w = workers[i].get();
        for (uint32_t n = 0; n < kOps; ++n) {
            uint32_t pick = w->below(kTotal), k = 0;
            while (pick >= kWeights[k])
                pick -= kWeights[k++];
            run_op(w, k);
        }
    });
    FlowModel model;
    for (auto &w : workers) {
        EXPECT_EQ(w->failures, 0u) << "worker " << w->w << ", first: " << w->first_failure;
        for (uint32_t c = 0; c < kChains; ++c)
            for (int d = 0; d <= w->depth[c]; ++d)
                model[w->id(c, d)] = w->crc(c);
    }
    EXPECT_TABLE_OK(&model);
}

} // namespace
