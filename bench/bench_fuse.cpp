// What the mount adds to a flow creation: one write() of a one-rule
// definition to create_flows through a kova-sim FUSE mount (a subprocess),
// against the same write handed to the module in this process through the
// host harness. Each write creates a new flow in a bucket of its own; every
// kBatch creations the flows are deleted again, outside the timing.
//
// CPU time here is this process's only: the work kova-sim does for a write
// through the mount is in the kova_sim_cpu_ns counter (kova-sim's CPU time
// per write, from /proc/PID/schedstat), and real time shows the round trip.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "kova/host.h"
#include "kova/kova_shm.h"
#include "sim_process.h"

namespace {

constexpr uint32_t kBatch = 1000;

// Definition i: flow_id i, alone in bucket i.
std::vector<std::string> definitions() {
    std::vector<std::string> defs;
    for (uint32_t i = 0; i < kBatch; ++i) {
        char b[512];
        std::snprintf(
            b, sizeof b,
            "flow_id=%u crc32=0x%08x flow_ucc=5 flow_subport=1 eth_dmac=02:00:00:00:%02x:%02x"
            " eth_smac=02:00:00:01:00:10 vlan_id_1=0 vlan_id_2=0 eth_type=0x800 ipv4_src=10.0.%u.%u"
            " ipv4_dst=10.1.0.1 udp_sport=5000 udp_dport=6000 rule1=RULE_FORWARD_TO_QE"
            " qos_serviceclass=7 qos_trusted=1 subport=4 priority=3 port=9 ;\n",
            i, (i * 7 % KOVA_LUT_HEADS) << KOVA_LUT_BUCKET_SHIFT | 0x155u, i >> 8, i & 0xFF, i >> 8,
            i & 0xFF);
        defs.push_back(b);
    }
    return defs;
}

// CPU time of another process while the timing runs.
struct Meter {
    virtual ~Meter() = default;
    virtual double cpu_ns() const = 0;
    double total = 0, since = -1;
    void start() { since = cpu_ns(); }
    void stop() {
        if (since >= 0)
            total += cpu_ns() - since;
    }
};

// Runs the writes of a benchmark: `create(i)` writes definition i and
// `remove(i)` deletes flow i, false on a failed write; `created()` says
// whether the last creation succeeded.
template <typename Create, typename Remove, typename Created>
void run_writes(benchmark::State &state, Create create, Remove remove, Created created,
                Meter *meter = nullptr) {
    uint32_t i = 0;
    if (meter)
        meter->start();
    for (auto _ : state) {
        if (i == kBatch) {
            state.PauseTiming();
            if (meter)
                meter->stop();
            if (!created())
                state.SkipWithError("a creation failed");
            for (uint32_t k = 0; k < kBatch; ++k)
                if (!remove(k))
                    state.SkipWithError("a delete_flows write failed");
            i = 0;
            if (meter)
                meter->start();
            state.ResumeTiming();
        }
        if (!create(i++)) {
            state.SkipWithError("a create_flows write failed");
            break;
        }
    }
    if (meter)
        meter->stop();
    if (i > 0 && !created())
        state.SkipWithError("a creation failed");
    for (uint32_t k = 0; k < i; ++k)
        remove(k);
}

bool says_created(const std::string &text) {
    return text.rfind("Previous call of kovaAPIcreateVoipFlow=0\n", 0) == 0;
}

// The kova-sim binary: $KOVA_SIM, else the build tree's beside this one.
std::string sim_binary() {
    if (const char *e = std::getenv("KOVA_SIM"))
        return e;
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "";
    std::string dir(self, size_t(n));
    dir.resize(dir.rfind('/'));
    return dir + "/../tools/kova-sim/kova-sim";
}

// kova-sim serving a fresh temporary mount, for one benchmark.
class Mount : public Meter {
public:
    Mount() : sim_(sim_binary()) { up_ = sim_.start().empty(); }
    bool up() const { return up_; }
    std::string debug(const char *name) const { return sim_.debug(name); }

    bool created() const { return says_created(kova_sim_test::read_file(debug("create_flows"))); }

    // kova-sim's CPU time so far in ns (its requests run on its main
    // thread), or -1.
    double cpu_ns() const override {
        std::ifstream f("/proc/" + std::to_string(sim_.pid()) + "/schedstat");
        double ns = -1;
        return f >> ns ? ns : -1;
    }

private:
    kova_sim_test::Sim sim_;
    bool up_ = false;
};

void BM_CreateFlowsWriteFuse(benchmark::State &state) {
    const std::vector<std::string> defs = definitions();
    Mount m;
    if (!m.up()) {
        state.SkipWithError("no kova-sim mount (is /dev/fuse usable and kova-sim built?)");
        return;
    }
    const int create = open(m.debug("create_flows").c_str(), O_WRONLY);
    const int del = open(m.debug("delete_flows").c_str(), O_WRONLY);
    if (create < 0 || del < 0) {
        state.SkipWithError("cannot open the debug files in the mount");
    } else {
        run_writes(
            state,
            [&](uint32_t i) {
                return write(create, defs[i].data(), defs[i].size()) == ssize_t(defs[i].size());
            },
            [&](uint32_t i) {
                const std::string t = "flow_id=" + std::to_string(i) + "\n";
                return write(del, t.data(), t.size()) == ssize_t(t.size());
            },
            [&] { return m.created(); }, &m);
        if (m.since >= 0 && state.iterations() > 0)
            state.counters["kova_sim_cpu_ns"] = m.total / double(state.iterations());
    }
    if (create >= 0)
        close(create);
    if (del >= 0)
        close(del);
}
BENCHMARK(BM_CreateFlowsWriteFuse);

void BM_CreateFlowsWriteHarness(benchmark::State &state) {
    const std::vector<std::string> defs = definitions();
    if (kova_host_load() != 0) {
        state.SkipWithError("the module failed to load");
        return;
    }
    kova_host_log_clear();
    const int create = kova_host_open("/sys/kernel/debug/kova/create_flows");
    const int del = kova_host_open("/sys/kernel/debug/kova/delete_flows");
    if (create < 0 || del < 0) {
        state.SkipWithError("cannot open the debug files");
    } else {
        run_writes(
            state,
            [&](uint32_t i) {
                const bool ok =
                    kova_host_write(create, defs[i].data(), defs[i].size()) == long(defs[i].size());
                kova_host_log_clear(); // as kova-sim does after each request
                return ok;
            },
            [&](uint32_t i) {
                const std::string t = "flow_id=" + std::to_string(i) + "\n";
                const bool ok = kova_host_write(del, t.data(), t.size()) == long(t.size());
                kova_host_log_clear();
                return ok;
            },
            [] {
                char buf[64] = {};
                const int fd = kova_host_open("/sys/kernel/debug/kova/create_flows");
                const bool ok =
                    fd >= 0 && kova_host_read(fd, buf, sizeof buf - 1) > 0 && says_created(buf);
                if (fd >= 0)
                    kova_host_close(fd);
                return ok;
            });
    }
    if (create >= 0)
        kova_host_close(create);
    if (del >= 0)
        kova_host_close(del);
    kova_host_unload();
}
BENCHMARK(BM_CreateFlowsWriteHarness);

} // namespace
