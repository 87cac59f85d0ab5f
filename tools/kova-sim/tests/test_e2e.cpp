// The whole chain as it runs on a desk: kova-sim serving its mount, the
// kova-engine binary attaching its shared memory through MNT/dev/kova,
// flows created and deleted by writes to the debug files, a trace run by a
// second engine process against the same area, and the counters read back
// through MNT/kova-sim/call.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine.h"
#include "flow_key.h"
#include "sim_process.h"

namespace {

using namespace kova_sim_test;

// The value after `name=` in a call's line, -1 when absent.
int64_t field(const std::string &line, const std::string &name) {
    for (size_t at = 0; (at = line.find(name + "=", at)) != std::string::npos; ++at)
        if (at > 0 && (line[at - 1] == ' ' || line[at - 1] == '['))
            return std::strtoll(line.c_str() + at + name.size() + 1, nullptr, 10);
    return -1;
}
// The function's result in "call F(ARGS) = RESULT ...", -1 when absent.
int64_t result(const std::string &line) {
    const size_t at = line.find(") = ");
    return at == std::string::npos ? -1 : std::strtoll(line.c_str() + at + 4, nullptr, 10);
}

// An IPv4 flow whose key follows from `seed`, on (ucc, subport); hashing to
// `crc` when it is given.
kova_FLOW flow(uint8_t seed, uint16_t ucc, uint16_t subport, const uint32_t *crc = nullptr) {
    kova_FLOW f{};
    f.flow_ucc = ucc;
    f.flow_subport = subport;
    const uint8_t dmac[6] = {2, 0, 0, 0, 0, seed}, smac[6] = {2, 0, 0, 0, 1, seed};
    std::memcpy(f.eth_dmac, dmac, 6);
    std::memcpy(f.eth_smac, smac, 6);
    f.vlan_id_1 = 100;
    f.eth_type = KOVA_ETH_TYPE_IPV4;
    const uint8_t src[4] = {10, 1, 0, seed}, dst[4] = {10, 2, 0, seed};
    std::memcpy(f.ip_src.v4, src, 4);
    std::memcpy(f.ip_dst.v4, dst, 4);
    f.udp_sport = uint16_t(1000 + seed);
    f.udp_dport = uint16_t(2000 + seed);
    if (crc) {
        EXPECT_TRUE(kova_engine::set_source_for_crc(&f, *crc));
    }
    kova_flow_key key;
    kova_flow_key_make(&f, &key);
    f.crc32 = kova_flow_key_crc(&key);
    return f;
}

std::string address(const kova_FLOW &f, const kova_IPADDR &a) {
    char b[48];
    const uint16_t *g = a.v6;
    if (f.eth_type == KOVA_ETH_TYPE_IPV6)
        std::snprintf(b, sizeof b, "%x:%x:%x:%x:%x:%x:%x:%x", g[0], g[1], g[2], g[3], g[4], g[5], g[6], g[7]);
    else
        std::snprintf(b, sizeof b, "%u.%u.%u.%u", a.v4[0], a.v4[1], a.v4[2], a.v4[3]);
    return b;
}

// The key tokens of a flow, as a definition and a trace line both take them.
std::string key_tokens(const kova_FLOW &f) {
    char b[512];
    const uint8_t *d = f.eth_dmac, *s = f.eth_smac;
    std::snprintf(b, sizeof b,
                  "crc32=0x%08x flow_ucc=%u flow_subport=%u eth_dmac=%02x:%02x:%02x:%02x:%02x:%02x"
                  " eth_smac=%02x:%02x:%02x:%02x:%02x:%02x vlan_id_1=%u vlan_id_2=%u eth_type=0x%x"
                  " ipv4_src=%s ipv4_dst=%s udp_sport=%u udp_dport=%u",
                  f.crc32, f.flow_ucc, f.flow_subport, d[0], d[1], d[2], d[3], d[4], d[5], s[0], s[1], s[2], s[3],
                  s[4], s[5], f.vlan_id_1, f.vlan_id_2, f.eth_type, address(f, f.ip_src).c_str(),
                  address(f, f.ip_dst).c_str(), f.udp_sport, f.udp_dport);
    return b;
}

std::string definition(int id, const kova_FLOW &f) {
    return "flow_id=" + std::to_string(id) + " " + key_tokens(f) +
           " rule1=RULE_FORWARD_TO_QE qos_serviceclass=7 qos_trusted=1 subport=4 priority=3 port=9 ;\n";
}

// Creates the flow by a write to create_flows; "" or what went wrong.
std::string create(const Sim &sim, int id, const kova_FLOW &f) {
    const std::string def = definition(id, f);
    if (long r = write_file(sim.debug("create_flows"), def); r != long(def.size()))
        return "write " + std::to_string(r);
    const std::string said = read_file(sim.debug("create_flows"));
    if (said.rfind("Previous call of kovaAPIcreateVoipFlow=0\n", 0) != 0)
        return said.substr(0, said.find('\n'));
    return "";
}

std::string engine_bin() { return KOVA_ENGINE_BINARY; }

// The shared-memory object of a test: a unique name, removed at the end.
struct ShmName {
    std::string name;
    ShmName() {
        static int n;
        name = "/kova-e2e-" + std::to_string(getpid()) + "-" + std::to_string(++n);
    }
    ~ShmName() { shm_unlink(name.c_str()); }
    bool exists() const {
        const int fd = shm_open(name.c_str(), O_RDONLY, 0);
        if (fd >= 0)
            close(fd);
        return fd >= 0;
    }
};

TEST(KovaE2E, TraceCountsReachTheFlowsAndPortsTheModuleReports) {
    Sim sim{KOVA_SIM_BINARY};
    KOVA_SIM_START_OR_SKIP(sim);
    ShmName shm;
    Proc engine({engine_bin(), "--dev", sim.mnt + "/dev/kova", "--shm", shm.name, "--stay"}, sim.dir + "/engine.log");
    ASSERT_TRUE(engine.wait_for("holding the area")) << engine.output() << sim.log();

    // Three flows in one CRC group (101 its head, in the bucket's head
    // slot), one more in the same bucket with another CRC, one elsewhere.
    const kova_FLOW a = flow(1, 5, 1);
    const uint32_t same = a.crc32, other = a.crc32 ^ 1;
    const std::vector<std::pair<int, kova_FLOW>> flows = {
        {101, a}, {102, flow(2, 5, 1, &same)}, {103, flow(3, 7, 3, &same)},
        {104, flow(4, 7, 3, &other)}, {105, flow(5, 20, 2)}};
    ASSERT_EQ(flows[3].second.crc32 >> KOVA_LUT_BUCKET_SHIFT, a.crc32 >> KOVA_LUT_BUCKET_SHIFT);
    for (const auto &[id, f] : flows)
        ASSERT_EQ(create(sim, id, f), "") << "flow " << id << "\n" << sim.log();
    EXPECT_EQ(result(sim.call("kovaAPIgetFlowStatistics 101")), 0);

    ASSERT_EQ(write_file(sim.debug("delete_flows"), "flow_id=101\n"), 12);
    EXPECT_EQ(read_file(sim.debug("delete_flows")).rfind("Previous call of kovaAPIdeleteVoipFlow=0\n", 0), 0u);
    EXPECT_GT(result(sim.call("kovaAPIgetFlowStatistics 101")), 0) << "flow 101 is still there";

    const std::string lag = "lagnum=1 lagmode=1 lagportmask=0x6";
    EXPECT_EQ(write_file(sim.debug("setlag"), lag), long(lag.size()));

    // Packets to every remaining flow; misses: the deleted flow's key, a key
    // nobody has, and a flow's key arriving on another port.
    constexpr uint64_t kLen = 100;
    std::map<int, uint64_t> to_flow = {{102, 3}, {103, 5}, {104, 4}, {105, 7}};
    kova_FLOW wrong_port = flows[2].second;
    wrong_port.flow_ucc = 9;
    wrong_port.flow_subport = 1;
    const std::vector<std::pair<kova_FLOW, uint64_t>> misses = {{a, 4}, {flow(6, 20, 2), 6}, {wrong_port, 2}};
    std::map<std::pair<int, int>, uint64_t> to_port;
    std::string trace;
    uint64_t hits = 0, missed = 0;
    auto line = [&](const kova_FLOW &f, uint64_t n) {
        trace += key_tokens(f) + " len=" + std::to_string(kLen) + " count=" + std::to_string(n) + "\n";
        to_port[{f.flow_ucc, f.flow_subport}] += n;
    };
    for (const auto &[id, f] : flows)
        if (to_flow.count(id))
            line(f, to_flow[id]), hits += to_flow[id];
    for (const auto &[f, n] : misses)
        line(f, n), missed += n;
    const std::string trace_file = sim.dir + "/trace";
    std::ofstream(trace_file) << trace;

    Proc run({engine_bin(), "--no-attach", "--shm", shm.name, "--trace", trace_file}, sim.dir + "/run.log");
    ASSERT_EQ(run.wait(60), 0) << run.output();
    const std::string report = run.output();
    char want[128];
    std::snprintf(want, sizeof want, "packets: %" PRIu64 "\nhits: %" PRIu64 "\nmisses: %" PRIu64 "\n", hits + missed,
                  hits, missed);
    EXPECT_NE(report.find(want), std::string::npos) << report;
    EXPECT_NE(report.find("bad links: 0\n"), std::string::npos) << report;

    for (const auto &[id, n] : to_flow) {
        const std::string s = sim.call("kovaAPIgetFlowStatistics " + std::to_string(id));
        EXPECT_EQ(result(s), 0) << s;
        EXPECT_EQ(field(s, "packet_cnt"), int64_t(n)) << s;
        EXPECT_EQ(field(s, "stats_word2"), int64_t(n * kLen)) << s;
    }
    // The engine counts every packet on its ingress port, hit or miss.
    uint64_t sum = 0;
    to_port[{5, 2}] = 0; // a subport of a used UCC that saw nothing
    for (const auto &[port, n] : to_port) {
        const std::string s =
            sim.call("kovaAPIGetPortStatistics " + std::to_string(port.first) + " " + std::to_string(port.second));
        EXPECT_EQ(result(s), 0) << s;
        EXPECT_EQ(field(s, "rx_packets"), int64_t(n)) << s;
        EXPECT_EQ(field(s, "rx_octets"), int64_t(n * kLen)) << s;
        sum += uint64_t(field(s, "rx_packets"));
    }
    EXPECT_EQ(sum, hits + missed);
    EXPECT_EQ(result(sim.call("kovaAPIGetPortStatistics 37 0")), 0) << "the LAG set above";

    EXPECT_EQ(engine.signal(SIGTERM), 0);
    EXPECT_EQ(engine.wait(30), 0) << engine.output();
    EXPECT_FALSE(shm.exists()) << "the engine left its object behind";
    EXPECT_EQ(sim.unmount(), 0) << sim.log();
    struct stat st;
    EXPECT_NE(stat((sim.mnt + "/dev/kova").c_str(), &st), 0) << "still mounted";
}

// A capture kova-pcapgen writes of flows of every frame kind, port-tagged,
// with frames that have no key, replayed by kova-engine --pcap.
TEST(KovaE2E, CaptureCountsReachTheFlowsTheModuleReports) {
    Sim sim{KOVA_SIM_BINARY};
    KOVA_SIM_START_OR_SKIP(sim);
    ShmName shm;
    Proc engine({engine_bin(), "--dev", sim.mnt + "/dev/kova", "--shm", shm.name, "--stay"}, sim.dir + "/engine.log");
    ASSERT_TRUE(engine.wait_for("holding the area")) << engine.output() << sim.log();

    auto rekeyed = [](kova_FLOW f, uint16_t vlan1, uint16_t vlan2, bool v6) {
        f.vlan_id_1 = vlan1, f.vlan_id_2 = vlan2;
        if (v6) {
            f.eth_type = KOVA_ETH_TYPE_IPV6;
            const uint16_t src[8] = {0x2001, 0xdb8, 0, 0, 0, 0, 1, f.udp_sport}, dst[8] = {0xfd00, 0, 0, 0, 0, 0, 0, 2};
            std::memcpy(f.ip_src.v6, src, 16);
            std::memcpy(f.ip_dst.v6, dst, 16);
        }
        kova_flow_key key;
        kova_flow_key_make(&f, &key);
        f.crc32 = kova_flow_key_crc(&key);
        return f;
    };
    // IPv4 untagged, one tag, two tags; IPv6 one tag, two tags; and one
    // flow that is not created (its packets miss).
    const std::vector<std::pair<kova_FLOW, uint64_t>> flows = {
        {rekeyed(flow(1, 4, 2), 0, 0, false), 3},  {rekeyed(flow(2, 5, 2), 100, 0, false), 4},
        {rekeyed(flow(3, 5, 2), 300, 30, false), 5}, {rekeyed(flow(4, 7, 2), 100, 0, true), 6},
        {rekeyed(flow(5, 6, 2), 3000, 7, true), 7},  {rekeyed(flow(6, 6, 2), 0, 0, false), 2}};
    std::string lines;
    for (size_t i = 0; i < flows.size(); ++i) {
        const auto &[f, n] = flows[i];
        if (i + 1 < flows.size()) {
            ASSERT_EQ(create(sim, int(i + 1), f), "") << key_tokens(f) << "\n" << sim.log();
        }
        lines += key_tokens(f) + " len=" + std::to_string(80 + i) + " count=" + std::to_string(n) + "\n";
    }
    const std::string flows_file = sim.dir + "/flows", capture = sim.dir + "/capture.pcap";
    std::ofstream(flows_file) << lines;
    Proc gen({KOVA_PCAPGEN_BINARY, "--port-tags", "--undecodable", flows_file, capture}, sim.dir + "/gen.log");
    ASSERT_EQ(gen.wait(60), 0) << gen.output();
    EXPECT_EQ(gen.output(), "kova-pcapgen: 34 frames in " + capture + "\n");

    Proc run({engine_bin(), "--no-attach", "--shm", shm.name, "--pcap", capture, "--port", "vlan", "--subport", "2"},
             sim.dir + "/run.log");
    ASSERT_EQ(run.wait(60), 0) << run.output();
    const std::string report = run.output();
    for (const char *want : {"packets: 27\nhits: 25\nmisses: 2\nextended: 0\nbad links: 0\n",
                             "frames: 34\nnot decoded: 7\n  truncated: 1\n  unsupported ethertype: 1\n"
                             "  more than two VLAN tags: 1\n  malformed IP header: 1\n  non-first fragment: 1\n"
                             "  malformed ARP: 1\n  no port tag: 1\n"})
        EXPECT_NE(report.find(want), std::string::npos) << report;
    for (size_t i = 0; i + 1 < flows.size(); ++i) {
        const std::string s = sim.call("kovaAPIgetFlowStatistics " + std::to_string(i + 1));
        EXPECT_EQ(field(s, "packet_cnt"), int64_t(flows[i].second)) << s;
        EXPECT_EQ(field(s, "stats_word2"), int64_t(flows[i].second * (80 + i))) << s;
    }
    // UCC 5 saw flows 2 and 3, UCC 6 flow 5 and the misses.
    const std::pair<int, int64_t> ports[] = {{4, 3}, {5, 9}, {7, 6}, {6, 9}};
    for (const auto &[ucc, n] : ports) {
        const std::string s = sim.call("kovaAPIGetPortStatistics " + std::to_string(ucc) + " 2");
        EXPECT_EQ(field(s, "rx_packets"), n) << s;
    }
    EXPECT_EQ(engine.signal(SIGTERM), 0);
    EXPECT_EQ(engine.wait(30), 0) << engine.output();
}

TEST(KovaE2E, KovaSimServesOnAfterTheEngineIsKilled) {
    Sim sim{KOVA_SIM_BINARY};
    KOVA_SIM_START_OR_SKIP(sim);
    ShmName shm;
    Proc engine({engine_bin(), "--dev", sim.mnt + "/dev/kova", "--shm", shm.name, "--stay"}, sim.dir + "/engine.log");
    ASSERT_TRUE(engine.wait_for("holding the area")) << engine.output() << sim.log();
    ASSERT_EQ(create(sim, 1, flow(1, 4, 1)), "");
    ASSERT_EQ(engine.signal(SIGKILL), 0);
    EXPECT_EQ(engine.wait(30), 128 + SIGKILL);

    EXPECT_NE(read_file(sim.debug("dump_flows_qe")).find("All LUTs:"), std::string::npos);
    EXPECT_EQ(create(sim, 2, flow(2, 4, 1)), "") << sim.log();
    const std::string s = sim.call("kovaAPIgetFlowStatistics 2");
    EXPECT_EQ(s, "call kovaAPIgetFlowStatistics(2) = 0 stats=[packet_cnt=0, stats_word2=0, timestamp=0]\n");

    // Refused calls: EINVAL, and the reason in the file instead of a line.
    const std::string call = sim.mnt + "/kova-sim/call";
    EXPECT_EQ(write_file(call, "kovaAPINoSuchFunction 1\n"), -EINVAL);
    EXPECT_EQ(read_file(call), "error: unknown function kovaAPINoSuchFunction (call help lists them)\n");
    EXPECT_EQ(write_file(call, "kovaAPIgetFlowStatistics 1 2"), -EINVAL);
    EXPECT_EQ(write_file(call, "kovaAPIgetFlowStatistics x"), -EINVAL);
    EXPECT_EQ(sim.stop(), 0) << sim.log();
}

} // namespace
