// The tools' command lines, then all of them over one kova-sim mount: flows
// added, packets counted from a trace and a capture, the counts read back.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <nlohmann/json.hpp>

#include "kova/kova_shm.h"
#include "kova/version.h"
#include "sim_process.h"

namespace {

using namespace kova_sim_test;
using namespace std::string_literals;

// Each row: a command, its exit status and what its output holds. A usage
// error of the tool itself is its line and the way to --help, nothing more.
TEST(ToolCommandLines, DoWhatTheySayAndNameEachFault) {
    char tmp[] = "/tmp/kova-cli-test.XXXXXX";
    ASSERT_NE(mkdtemp(tmp), nullptr);
    const std::string d = tmp + "/"s, shm = "/kova-cli-test-" + std::to_string(getpid());
    const std::string key =
        "eth_dmac=02:00:00:4f:03:e8 eth_smac=02:00:00:4f:03:e9 vlan_id_1=0 vlan_id_2=0 "
        "eth_type=0x800 ipv4_src=10.0.0.1 ipv4_dst=10.0.0.2 udp_sport=5000 udp_dport=6000";
    const std::string pcap = "\xd4\xc3\xb2\xa1\x02\0\x04\0\0\0\0\0\0\0\0\0\xff\xff\0\0"s;
    const int fd = shm_open(shm.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_EQ(ftruncate(fd, KOVA_SHM_SIZE), 0);
    close(fd);
    const std::string S = KOVA_SIM_BINARY, E = KOVA_ENGINE_BINARY, K = KOVACTL_BINARY,
                      C = S + " crc " + key, no = " --no-attach --shm=" + shm;
    // clang-format off
    const std::pair<const char *, std::string> files[] = {
        {"empty", "# no packets\n\n"}, {"binary", "ucc=1 \x01\x1b[2Jx=1\n"},
        {"keys", "src=::1 # c\n\nvlan1=0xc8\n"}, {"long", "ucc=1 " + std::string(100, 'a') + "\n"},
        {"nosuch", "call kovaAPINoSuch 1\n"}, {"a", "call kovaAPIgetFlowStatistics 1 2\n"},
        {"none.pcap", pcap + "\x01\0\0\0"s}, {"linktype.pcap", pcap + "\x2c\x01\0\0"s},
        {"script", "# a comment\nattach t1\nwrite dump_flows_cpu x\\n\nread create_flows\n"
                   "call kovaAPIdeleteVoipFlow 1\nfrobnicate\necho not reached\n"}};
    std::vector<std::tuple<std::string, int, std::vector<std::string>>> rows = {
        {S + " --version", 0, {"kova-sim " KOVA_API_VERSION "\n"}},
        {S + " --bogus", 2, {"kova-sim: unrecognized option '--bogus'"}},
        {S, 2, {"kova-sim: give a MOUNTPOINT to serve, or --script FILE"}},
        {S + " " + d + " extra", 2, {"kova-sim: unexpected argument 'extra'"}},
        {S + " --script=" + d + "nothere", 2, {d + "nothere: No such file or directory\n"}},
        {S + " --script " + d + "nosuch", 2,
         {"nosuch:1: unknown function kovaAPINoSuch (call help lists them)\n"}},
        {S + " --script " + d + "a", 2, {"a:1: kovaAPIgetFlowStatistics takes 1 argument(s)\n"}},
        {S + " --script " + d + "script", 2,
         {"attach = 0\nwrite dump_flows_cpu = -22 (Invalid argument)\n", "\nread create_flows = ",
          "call kovaAPIdeleteVoipFlow(1) = 7\n", ":6: unknown command or wrong arguments: frob"}},
        {S + " /nonexistent-dir/mnt -f", 1,
         {"kova-sim: mount point /nonexistent-dir/mnt: No such file or directory"}},
        {S + " crc 02:00:00:4f:03:e8 2:0:0:4f:3:e9 0 0 800 10.0.0.1 10.0.0.2 5000 6000 2", 0,
         {"crc32=0x74253d4b\n", " flow_ucc=2 "}},
        {S + " crc 1 2", 2, {"got 2 fields\nTry 'kova-sim crc --help' for more information.\n"}},
        {S + " crc eth_dmac=02:00:00:4f:03:e8", 2, {"eth_smac missing"}},
        {C + " eth_dmac=0:0:0:0:0:1ff", 2, {"eth_dmac: 0:0:0:0:0:1ff out of range 0x0..0xff\n"}},
        {C + " ipv4_src=300.1.1.1", 2, {"ipv4_src: 300.1.1.1 out of range 0..255\n"}},
        {C + " ipv4_dst=10.0.0", 2,
         {"ipv4_dst: not an address (a.b.c.d or eight hex groups g:g:g:g:g:g:g:g)"}},
        {C + " flow_ucc=41", 2, {"kova-sim crc: flow_ucc: 41 out of range 0..40\n"}},
        {E + " --version", 0, {"kova-engine " KOVA_API_VERSION "\n"}},
        {E + " --bogus", 2, {"kova-engine: unrecognized option '--bogus'"}},
        {E + " x\033", 2, {"kova-engine: unexpected argument 'x\\x1b'"}},
        {E + " --miss-percent=x", 2, {"kova-engine: --miss-percent takes a share 0..100, not 'x'"}},
        {E + " --crc " + d + "keys", 0, {"crc32=0x04128908\ncrc32=0xead249a6\n"}},
        {E + " --crc " + d + "long", 1, {":1: unknown field '" + std::string(64, 'a') + "'...\n"}},
        {E + " --qe-base 0x1001", 2,
         {"kova-engine: --qe-base takes a non-zero multiple of 256, not '0x1001'"}},
        {E + " --crc " + d + "binary", 1,
         {"kova-engine: " + d + "binary:1: unknown field '\\x01\\x1b[2Jx=1'\n"}},
        {E + no + " --trace=" + d + "empty", 0,
         {"kova-engine: warning: " + d + "empty holds no packets\n", "packets: 0\n"}},
        {E + no + " --pcap " + d + "none.pcap --port vlan", 0,
         {"packets: 0\n", "kova-engine: warning: " + d + "none.pcap holds no frames\n"}},
        {E + no + " --pcap " + d + "linktype.pcap --port 1", 1,
         {d + "linktype.pcap: link type 300, not Ethernet"}},
        {K + " --bogus list", 2, {"kovactl: unrecognized option '--bogus'"}},
        {K + " list --root", 2, {"kovactl: option '--root' requires an argument"}},
        {K + " list --with-extended", 2, {"kovactl: --with-extended goes with del only"}},
        {K + " x", 2, {"kovactl: unknown command 'x'"}}, {K, 2, {"kovactl: no command given"}},
        {K + " --help", 0, {"Usage: kovactl [OPTION]... COMMAND [ARG]...\n"}},
        {K + " --version", 0, {"kovactl " KOVA_API_VERSION "\n"}},
        {K + " -r " + d + " list", 3, {"kovactl: " + d + " is not the module's debug directory"}},
        // Fields in any order, in any form, give the definition in the fixed one.
        {K + " --dry-run add dport=0x50 src=2001:db8::1.2.3.4 ucc=36 parent=-4 dmac=2:0:0:4f:3:E8 "
             "vlan2=12 id=7 subport=9 vlan2-change vid=12 prio=7", 0,
         {"parent_flow_id=-4 flow_id=7 crc32=0x8e995e1e flow_ucc=36 flow_subport=9 eth_dmac=02:00:"
          "00:4f:03:e8 eth_smac=00:00:00:00:00:00 vlan_id_1=0 vlan_id_2=12 eth_type=0x86dd "
          "ipv4_src=2001:db8:0:0:0:0:102:304 ipv4_dst=0:0:0:0:0:0:0:0 udp_sport=0 udp_dport=80 "
          "rule1=RULE_CHANGE_VLAN_2 priority=7 cfi=0 vid=12 etype=33024 ;\n"}},
        {K + " -n add ucc=1 drop", 2, {"kovactl: id: missing (the flow's appflowid)"}}};
    const std::pair<const char *, const char *> refused[] = {
        {"id=2147483648 drop", "id: 2147483648 out of range -2147483648..2147483647"},
        {"type=0x10000 drop", "type: 0x10000 out of range 0x0..0xffff"},
        {"dmac=1:2 drop", "dmac: 1:2 is not a MAC address (six octets 00..ff, colon-separated)"},
        {"src=300.1.1.1 drop", "src: 300.1.1.1 out of range 0..255"},
        {"src=2001:db8::1::2 drop", "src: 2001:db8::1::2 is not an IPv6 address"},
        {"src=1.1.1.1 dst=::1 drop", "src and dst: 1.1.1.1 and ::1 are not of one address family"},
        {"type=ipv4 src=::1 drop", "src: ::1 is IPv6 but type is ipv4"},
        {"type=800 drop", "type: 800 is not ipv4, ipv6, arp or 0xNNNN"},
        {"type=0x8100 sport=1 drop", "type 0x8100 has no addresses or ports in its key: src, dst, "
                                     "sport and dport need ipv4, ipv6 or arp"},
        {"forward-qe port=1 trusted=maybe", "forward-qe trusted: maybe is not yes or no"},
        {"forward-qe", "forward-qe port: missing (forward-qe needs port=)"},
        {"drop drop", "rule drop given twice (each rule at most once)"},
        {"drop port=1", "rule drop has no parameter 'port'"}, {"ucc=2 drop", "ucc given twice"},
        {"replace-src mac=1:2:3:4:5:6 ip=::1 port=1",
         "replace-src ip: ::1 is IPv6 but the flow's addresses are not"},
        {"drop forward-cpu set-tos tos=1 police weight=1 vlan1-remove vlan2-remove test",
         "too many rules: 7 (at most 6)"},
        {"", "no rule given (at least one: drop, forward-qe port=N, ...)"}};
    // clang-format on
    for (const auto &[name, bytes] : files)
        std::ofstream(d + name) << bytes;
    for (const auto &[args, want] : refused)
        rows.push_back({K + " -n add id=1 ucc=1 " + args, 2, {"kovactl: "s + want}});
    for (const auto &[cmd, status, want] : rows) {
        const std::string r = run(cmd), tool = want[0].substr(0, want[0].find(": "));
        EXPECT_EQ(r.substr(0, 2), std::to_string(status) + " ") << cmd << "\n" << r;
        if (status == 2 && tool.rfind("kova", 0) == 0 && tool.find(' ') == std::string::npos) {
            EXPECT_EQ(r, "2 " + want[0] + "\nTry '" + tool + " --help' for more information.\n");
        }
        for (const std::string &w : want)
            EXPECT_NE(r.find(w), std::string::npos) << cmd << "\n" << r;
        EXPECT_EQ(r.find("not reached"), std::string::npos) << cmd << "\n" << r;
    }
    shm_unlink(shm.c_str());
    std::system(("rm -r " + d).c_str());
}

TEST(Tools, OverOneMountAddCountListAndDeleteFlows) {
    Sim sim{KOVA_SIM_BINARY};
    const std::string why =
        access("/dev/fuse", R_OK | W_OK) ? "cannot mount: no /dev/fuse" : sim.start();
    if (why.find("cannot mount") != std::string::npos)
        GTEST_SKIP() << why;
    ASSERT_EQ(why, "");
    EXPECT_EQ(run(KOVA_SIM_BINARY " " + sim.mnt), "1 kova-sim: mount point " + sim.mnt +
                                                      ": already mounted (fuse.kova-sim); unmount "
                                                      "it first\n");
    const std::string dir = sim.dir + "/", shm = "/kova-tools-test-" + std::to_string(getpid());
    const std::unique_ptr<const char, int (*)(const char *)> unlink_at_end(shm.c_str(), shm_unlink);
    Proc engine({KOVA_ENGINE_BINARY, "--dev", sim.mnt + "/dev/kova", "--shm", shm, "--stay"},
                dir + "engine.log");
    ASSERT_EQ(engine.wait(60, 0, "holding the area"), -2) << engine.output() << sim.sim->output();
    const auto ctl = [&](const std::string &args) {
        return run(KOVACTL_BINARY " --root=" + sim.debug("") + " " + args);
    };
    // 11 and 12 share a key (a CRC group) on two UCCs, 20 hangs on 11, 13 is deleted before the
    // packets, 14 is IPv6 with four rules; 99, never added, is 11's key on another port.
    const std::string
        k = "dmac=02:00:00:4f:03:e8 smac=02:00:01:00:00:10 vlan=100 src=10.0.0.1 dst=10.0.0.2 "
            "sport=5000 dport=6000 ",
        qe = "forward-qe port=2 class=1";
    // clang-format off
    const std::pair<int, std::string> flows[] = {
        {11, "ucc=5 " + k + qe}, {12, "ucc=6 " + k + qe}, {20, "parent=11 ucc=5 " + k + "drop"},
        {13, "ucc=5 src=10.0.0.3 drop"},
        {14, "ucc=9 src=2001:db8::1 dst=fd00::2 sport=1 dport=2 police weight=5 replace-dst mac="
             "0:1:2:3:4:5 ip=fd00::9 port=3 vlan1-add vid=5 prio=3 forward-qe port=2 trusted=yes"},
        {99, "ucc=9 " + k + "drop"}};
    // clang-format on
    std::string lines, created;
    for (size_t i = 0; i < std::size(flows); ++i) {
        const auto &[id, args] = flows[i];
        const std::string add = "add id=" + std::to_string(id) + " subport=2 " + args,
                          def = ctl("-n " + add);
        const size_t at = def.find("crc32=");
        created += id < 99 ? ctl(add) : "";
        if (id != 20)
            lines += def.substr(at, def.find(" rule1=") - at) + " len=" + std::to_string(80 + i) +
                     " count=" + std::to_string(i + 2) + "\n";
    }
    EXPECT_EQ(created,
              "0 flow 11: flow created (crc32 0xdba874da, bucket 14058)\n0 flow 12: flow "
              "created (crc32 0xdba874da, bucket 14058)\n0 flow 20: extended flow created "
              "(crc32 0xdba874da, bucket 14058)\n0 flow 13: flow created (crc32 0x43d51b73, "
              "bucket 4341)\n0 flow 14: flow created (crc32 0x1f06c598, bucket 1985)\n");
    EXPECT_EQ(ctl("del 13"), "0 flow 13: flow deleted\n");
    EXPECT_EQ(ctl("lag 1 1 0x6"), "0 lag 1: enabled, members 1 2\n");
    // The packets as a trace, then as a capture with each kind of frame that has no key.
    std::ofstream(dir + "lines") << lines;
    EXPECT_EQ(
        run(KOVA_PCAPGEN_BINARY " --port-tags --undecodable " + dir + "lines " + dir + "capture"),
        "0 kova-pcapgen: 30 frames in " + dir + "capture\n");
    std::string r;
    for (const std::string &input :
         {"--trace " + dir + "lines", "--pcap " + dir + "capture --port vlan --subport 2"}) {
        SCOPED_TRACE(r = run(KOVA_ENGINE_BINARY " --no-attach --shm " + shm + " " + input));
        EXPECT_EQ(r.rfind("0 kova-engine: area " + shm, 0), 0u);
        EXPECT_NE(r.find("packets: 23\nhits: 11\nmisses: 12\nextended: 2\nbad links: 0\n"), r.npos);
    }
    EXPECT_EQ(r.substr(r.find("frames: ")),
              "frames: 30\nnot decoded: 7\n  truncated: 1\n  unsupported ethertype: 1\n"
              "  more than two VLAN tags: 1\n  malformed IP header: 1\n  non-first fragment: 1\n"
              "  malformed ARP: 1\n  no port tag: 1\n");
    // Every packet counted on its port, hit (11) or miss (13), both runs, as the module reports it.
    std::ofstream(sim.mnt + "/kova-sim/call") << "kovaAPIGetPortStatistics 5 2";
    EXPECT_EQ(read_file(sim.mnt + "/kova-sim/call"),
              "call kovaAPIGetPortStatistics(5, 2) = 0 rx_packets=14 rx_octets=1150 tx_octets=0 "
              "rx_discards=0 tx_discards=0\n");
    EXPECT_EQ(ctl("stats 11").substr(0, 62) + ctl("stats --json 12").substr(0, 74),
              "0 flow 11 (slot 14058, ucc 5): packets 4 octets 320 last-used "
              R"(0 {"appflowid":12,"slot":16384,"ucc":6,"packets":6,"octets":486,"last_used)");
    // Flow 12's engine copy made to differ in its vlan (0x65, not 0x64); each flow decoded.
    const int fd = shm_open(shm.c_str(), O_RDWR, 0);
    ASSERT_EQ(pwrite(fd, "\x65", 1, 16384 * KOVA_LUT_SIZE + KOVA_LUT_OFF_VLAN1 + 3), 1);
    close(fd);
    auto l = nlohmann::ordered_json::parse(ctl("-j list").substr(2)); // throws unless it is JSON
    EXPECT_EQ(l["flows"][2]["differences"].dump(), R"({"cpu":[],"qe":["vlan"]})");
    l["flows"][0].erase("last_used");
    EXPECT_EQ(
        l["flows"][0].dump(),
        R"({"slot":1985,"appflowid":14,"parent":null,"ucc":9,"crc32":520537496,)"
        R"("crc_matches_key":true,"key":{"dmac":"00:00:00:00:00:00","smac":"00:00:00:00:00:00",)"
        R"("vlan":0,"vlan2":0,"type":34525,"src":"2001:db8::1","dst":"fd00::2","sport":1,)"
        R"("dport":2},"actions":[{"rule":"police","weight":5},{"rule":"replace-dst",)"
        R"("mac":"00:01:02:03:04:05","ip":"fd00::9","port":3},{"rule":"vlan1-add","prio":3,)"
        R"("cfi":0,"vid":5,"etype":33024},{"rule":"forward-qe","port":2,"priority":0,"subport":0,)"
        R"("class":0,"trusted":"yes"}],"packets":12,"octets":1008,"copies":{"cpu":"same",)"
        R"("qe":"same"},"differences":{"cpu":[],"qe":[]}})");
    EXPECT_EQ(ctl("add id=11 ucc=7 drop"),
              "1 kovactl: flow 11 not created: appflowid in use (result 7)\n");
    EXPECT_EQ(
        ctl("del 11"),
        "1 kovactl: flow 11 not deleted: no such appflowid, out of range, an extended flow, or a "
        "flow carrying extended flows (the kernel log says which) (result 7)\n");
    EXPECT_EQ(ctl("flush"), "0 flush: 4 flows deleted: 14, 11 (with extended 20), 12\n");
    // The engine ends at SIGTERM, its object removed; an unmount ends kova-sim.
    EXPECT_EQ(engine.wait(30, SIGTERM), 0) << engine.output();
    EXPECT_EQ(shm_unlink(shm.c_str()), -1) << "the engine left its object behind";
    EXPECT_EQ(std::system(("fusermount3 -u " + sim.mnt).c_str()), 0);
    EXPECT_EQ(sim.sim->wait(30), 0) << sim.sim->output();
}

} // namespace
