// The tools' command lines, then all of them over one kova-sim mount: flows
// added, packets counted from a trace and a capture, the counts read back.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <filesystem>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>

#include "kova/kova_shm.h"
#include "module/module.h"
#include "sim_process.h"

namespace {

using namespace kova_sim_test;
using namespace std::string_literals;

std::vector<std::string> words(const std::string &text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), {}};
}

// `s` up to the end of the first `end` in it.
std::string upto(const std::string &s, const std::string &end) {
    return s.substr(0, s.find(end) + end.size());
}

TEST(ToolCommandLines, DoWhatTheySayAndNameEachFault) {
    char tmp[] = "/tmp/kova-cli-test.XXXXXX";
    ASSERT_NE(mkdtemp(tmp), nullptr);
    const std::string d = std::string(tmp) + "/";
    const std::string shm = "/kova-cli-test-" + std::to_string(getpid());
    const std::string key =
        "eth_dmac=02:00:00:4f:03:e8 eth_smac=02:00:00:4f:03:e9 vlan_id_1=0 vlan_id_2=0 "
        "eth_type=0x800 ipv4_src=10.0.0.1 ipv4_dst=10.0.0.2 udp_sport=5000 udp_dport=6000";
    const std::string pcap = "\xd4\xc3\xb2\xa1\x02\0\x04\0\0\0\0\0\0\0\0\0\xff\xff\0\0"s;
    // clang-format off
    const std::pair<const char *, std::string> files[] = {
        {"empty", "# no packets\n\n"}, {"binary", "ucc=1 \x01\x1b[2Jx=1\n"},
        {"long", "ucc=1 " + std::string(100, 'a') + "\n"},
        {"keys", "ucc=37 subport=4 dmac=0a:0b:0c:0d:0e:0f smac=01:02:03:04:05:06 vlan1=100 "
                 "vlan2=0xc8 eth_type=86dd src=2001:db8:0:0:0:0:0:1 dst=fd00::2 sport=1 dport=2 "
                 "len=128 count=10 # a comment\n\nflow_id=1 crc32=74253d4b flow_ucc=2 "
                 "flow_subport=0 " + key + "\n"},
        {"none.pcap", pcap + "\x01\0\0\0"s}, {"linktype.pcap", pcap + "\x2c\x01\0\0"s},
        {"script", "# a comment\nattach t1\nwrite create_flows flow_id=1 crc32=0x74253d4b "
                   "flow_ucc=2 flow_subport=0 " + key + " rule1=RULE_DROP_PACKET ;\\n\n"
                   "read create_flows\ncall kovaAPIgetFlowStatistics 1\nwrite dump_flows_cpu x\n"
                   "call kovaAPIdeleteVoipFlow 1\ncall kovaAPIdeleteVoipFlow 1\nfrobnicate\n"
                   "echo not reached\n"}};
    // clang-format on
    for (const auto &[name, bytes] : files)
        std::ofstream(d + name) << bytes;
    const int fd = shm_open(shm.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_EQ(ftruncate(fd, KOVA_SHM_SIZE), 0);
    close(fd);
    const std::string S = KOVA_SIM_BINARY, E = KOVA_ENGINE_BINARY, K = KOVACTL_BINARY;
    const std::string no = " --no-attach --shm=" + shm;
    const std::string crc =
        S + " crc 02:00:00:4f:03:e8 2:0:0:4f:3:e9 0 0 800 10.0.0.1 10.0.0.2 5000 6000 2";
    const std::string v6 =
        "parent_flow_id=-4 flow_id=7 crc32=0x8e995e1e flow_ucc=36 flow_subport=9 "
        "eth_dmac=02:00:00:4f:03:e8 eth_smac=00:00:00:00:00:00 vlan_id_1=0 vlan_id_2=12 "
        "eth_type=0x86dd ipv4_src=2001:db8:0:0:0:0:102:304 ipv4_dst=0:0:0:0:0:0:0:0 udp_sport=0 "
        "udp_dport=80 rule1=RULE_CHANGE_VLAN_2 priority=7 cfi=0 vid=12 etype=33024 "
        "rule2=RULE_FORWARD_TO_QE qos_serviceclass=0 qos_trusted=KOVA_PORT_TRUSTED subport=0 "
        "priority=0 port=40 ;\n";
    // `kova-sim crc` of the key above (crc32 0x74253d4b) with one field replaced.
    const auto crc_with = [&](const std::string &from, const std::string &to) {
        return crc.substr(0, crc.find(from)) + to + crc.substr(crc.find(from) + from.size());
    };
    struct Row {
        std::string cmd;
        int status;
        std::vector<std::string> want;
    };
    // clang-format off
    std::vector<Row> rows = {
        {S + " --version", 0, {"kova-sim " KOVA_API_VERSION "\n"}},
        {S + " --bogus", 2, {"kova-sim: unrecognized option '--bogus'"}},
        {S, 2, {"kova-sim: give a MOUNTPOINT to serve, or --script FILE"}},
        {S + " " + d + " extra", 2, {"kova-sim: unexpected argument 'extra'"}},
        {S + " --script=" + d + "nothere", 2, {d + "nothere: No such file or directory\n"}},
        {S + " --script " + d + "script", 2,
         {"attach = 0\n", "write create_flows = ", "Previous call of kovaAPIcreateVoipFlow=0\n",
          "call kovaAPIgetFlowStatistics(1) = 0 ", "write dump_flows_cpu = -22",
          "call kovaAPIdeleteVoipFlow(1) = 0\ncall kovaAPIdeleteVoipFlow(1) = 7\n",
          ":9: unknown command"}},
        {S + " /nonexistent-dir/mnt -f", 1,
         {"kova-sim: mount point /nonexistent-dir/mnt: No such file or directory"}},
        {crc, 0, {"crc32=0x74253d4b\n", " flow_ucc=2 "}},
        {S + " crc flow_id=1 crc32=0x1 flow_ucc=2 " + key, 0,
         {"crc32=0x74253d4b\n", " flow_ucc=2 "}},
        {S + " crc 1 2", 2, {"got 2 fields\nTry 'kova-sim crc --help' for more information.\n"}},
        {S + " crc eth_dmac=02:00:00:4f:03:e8", 2, {"eth_smac missing"}},
        {crc_with("03:e8 ", "03:e8f "), 2, {"eth_dmac: 02:00:00:4f:03:e8f out of range 0x0..0xff"}},
        {crc_with("10.0.0.1", "300.1.1.1"), 2, {"ipv4_src: 300.1.1.1 out of range 0..255\n"}},
        {crc_with("10.0.0.2", "10.0.0"), 2,
         {"ipv4_dst: not an address (a.b.c.d or eight hex groups g:g:g:g:g:g:g:g)"}},
        {crc_with("6000 2", "6000 41"), 2, {"kova-sim crc: flow_ucc: 41 out of range 0..40\n"}},
        {E + " --version", 0, {"kova-engine " KOVA_API_VERSION "\n"}},
        {E + " --bogus", 2, {"kova-engine: unrecognized option '--bogus'"}},
        {E + " x\033", 2, {"kova-engine: unexpected argument 'x\\x1b'"}},
        {E + " --miss-percent=101", 2,
         {"kova-engine: --miss-percent takes a share 0..100, not '101'"}},
        {E + " --qe-base 0x1001", 2,
         {"kova-engine: --qe-base takes a non-zero multiple of 256, not '0x1001'"}},
        {E + " --crc " + d + "keys", 0, {"crc32=0xe235ea10\ncrc32=0x74253d4b\n"}},
        {E + " --crc " + d + "binary", 1,
         {"kova-engine: " + d + "binary:1: unknown field '\\x01\\x1b[2Jx=1'\n"}},
        {E + no + " --generate 5 --flows=" + d + "long", 1,
         {":1: unknown field '" + std::string(64, 'a') + "'...\n"}},
        {E + no + " --trace=" + d + "empty", 0,
         {"kova-engine: warning: " + d + "empty holds no packets\n", "packets: 0\n"}},
        {E + no + " --pcap " + d + "none.pcap --port vlan", 0,
         {"packets: 0\n", "kova-engine: warning: " + d + "none.pcap holds no frames\n"}},
        {E + no + " --pcap " + d + "linktype.pcap --port 1", 1,
         {d + "linktype.pcap: link type 300, not Ethernet"}},
        {K + " --bogus list", 2, {"kovactl: unrecognized option '--bogus'"}},
        {K + " list --root", 2, {"kovactl: option '--root' requires an argument"}},
        {K + " list --with-extended", 2, {"kovactl: --with-extended goes with del only"}},
        {K + " frob", 2, {"kovactl: unknown command 'frob'"}},
        {K, 2, {"kovactl: no command given"}},
        {K + " --help", 0, {"Usage: kovactl [OPTION]... COMMAND [ARG]...\n"}},
        {K + " --version", 0, {"kovactl " KOVA_API_VERSION "\n"}},
        {K + " lag 4 1 6", 2, {"kovactl: lagnum: 4 out of range 0..3"}},
        // Fields in any order, in any form, give the definition in the fixed one.
        {K + " --dry-run add dport=0x50 src=2001:db8::1.2.3.4 ucc=36 parent=-4 dmac=2:0:0:4f:3:E8 "
             "vlan2=12 id=7 subport=9 vlan2-change vid=12 prio=7 forward-qe trusted=yes port=40",
         0, {v6}},
    };
    // kovactl add: each range's ends taken and one past refused, each malformed form.
    const struct {
        const char *args;
        long long lo, hi;
    } ranges[] = {
        {"id=% ucc=1 drop", INT32_MIN, INT32_MAX},
        {"id=1 parent=% ucc=1 drop", INT32_MIN, INT32_MAX},
        {"id=1 ucc=% drop", 0, 40}, {"subport=% drop", 0, 4095}, {"vlan=% drop", 0, 4095},
        {"vlan2=% drop", 0, 4095}, {"sport=% drop", 0, 65535}, {"dport=% drop", 0, 65535},
        {"forward-qe port=1 class=%", 0, 7}, {"forward-qe port=1 subport=%", 0, 4095},
        {"forward-qe port=1 priority=%", 0, 255}, {"forward-qe port=%", 0, 40},
        {"forward-cpu priority=%", 0, 255}, {"vlan1-add vid=1 prio=%", 0, 7},
        {"vlan1-change vid=1 cfi=%", 0, 1}, {"vlan2-add vid=%", 0, 4095},
        {"vlan2-change vid=1 etype=%", 0, 65535}, {"police weight=%", 0, 4294967295LL},
        {"set-tos tos=%", 0, 255}, {"replace-src mac=0:0:0:0:0:0 ip=1.1.1.1 port=%", 0, 65535},
        {"replace-dst mac=0:0:0:0:0:0 ip=1.1.1.1 port=%", 0, 65535}};
    // clang-format on
    for (const auto &c : ranges) {
        const std::string t = c.args;
        const size_t pct = t.find('%'), from = t.rfind(' ', pct) + 1;
        const std::string name = (t.find('=') < t.find(' ') ? "" : t.substr(0, t.find(' ') + 1)) +
                                 t.substr(from, pct - from - 1);
        for (const long long v : {c.lo, c.hi, c.hi + 1}) {
            std::string args = (t.rfind("id=", 0) == 0 ? "" : "id=1 ucc=1 src=1.1.1.1 ") + t;
            args.replace(args.find('%'), 1, std::to_string(v));
            const std::string refused = "kovactl: " + name + ": " + std::to_string(v) +
                                        " out of range " + std::to_string(c.lo) + ".." +
                                        std::to_string(c.hi);
            rows.push_back(
                {K + " -n add " + args, v <= c.hi ? 0 : 2, {v <= c.hi ? " ;\n" : refused}});
        }
    }
    const std::pair<const char *, const char *> texts[] = {
        {"sport=99999999999999999999999 drop",
         "sport: 99999999999999999999999 out of range 0..65535"},
        {"dmac=02:00:00:4f:03:e8f drop",
         "dmac: 02:00:00:4f:03:e8f is not a MAC address (six octets 00..ff, colon-separated)"},
        {"src=300.1.1.1 drop", "src: 300.1.1.1 out of range 0..255"},
        {"src=2001:db8::1::2 drop", "src: 2001:db8::1::2 is not an IPv6 address"},
        {"src=10.0.0.1 dst=::1 drop",
         "src and dst: 10.0.0.1 and ::1 are not of one address family"},
        {"type=ipv4 src=::1 drop", "src: ::1 is IPv6 but type is ipv4"},
        {"type=0x10000 drop", "type: 0x10000 out of range 0x0..0xffff"},
        {"type=800 drop", "type: 800 is not ipv4, ipv6, arp or 0xNNNN"},
        {"type=0x8100 sport=1 drop", "type 0x8100 has no addresses or ports in its key: src, dst, "
                                     "sport and dport need ipv4, ipv6 or arp"},
        {"forward-qe port=1 trusted=maybe", "forward-qe trusted: maybe is not yes or no"},
        {"forward-qe", "forward-qe port: missing (forward-qe needs port=)"},
        {"drop drop", "rule drop given twice (each rule at most once)"},
        {"drop port=1", "rule drop has no parameter 'port'"},
        {"replace-src mac=1:2:3:4:5:6 ip=::1 port=1",
         "replace-src ip: ::1 is IPv6 but the flow's addresses are not"},
        {"drop forward-cpu set-tos tos=1 police weight=1 vlan1-remove vlan2-remove test",
         "too many rules: 7 (at most 6)"},
        {"ucc=2 drop", "ucc given twice"},
        {"", "no rule given (at least one: drop, forward-qe port=N, ...)"}};
    for (const auto &[args, want] : texts)
        rows.push_back({K + " -n add id=1 ucc=1 " + args, 2, {"kovactl: " + std::string(want)}});
    rows.push_back({K + " -n add ucc=1 drop", 2, {"kovactl: id: missing (the flow's appflowid)"}});
    // A usage error is its line and the way to --help, nothing more.
    for (const auto &row : rows) {
        const Ran r = run(words(row.cmd));
        const std::string tool = row.want[0].substr(0, row.want[0].find(": "));
        const bool usage =
            row.status == 2 && tool.rfind("kova", 0) == 0 && tool.find(' ') == std::string::npos;
        EXPECT_EQ(r.status, row.status) << row.cmd << "\n" << r.out;
        EXPECT_EQ(usage ? r.out : "",
                  usage ? row.want[0] + "\nTry '" + tool + " --help' for more information.\n" : "");
        for (const std::string &want : row.want)
            EXPECT_NE(r.out.find(want), std::string::npos) << row.cmd << "\n" << r.out;
        for (const char *never : {"usage:", "not reached"})
            EXPECT_EQ(r.out.find(never), std::string::npos) << row.cmd << "\n" << r.out;
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
    // The nine files, what the module refuses, and a second kova-sim, refused.
    std::string names;
    for (const auto &e : std::filesystem::directory_iterator(sim.debug("")))
        names += e.path().filename().string() + " ";
    EXPECT_EQ(names,
              "dump_flows_cpu dump_flows_qe dump_oq dump_scheduler create_flows delete_flows "
              "create_flows_old setlag flow_list ");
    EXPECT_EQ(write_file(sim.debug("nothere"), "1\n"), -ENOENT);
    EXPECT_EQ(write_file(sim.debug("dump_flows_cpu"), "1\n"), -EINVAL);
    EXPECT_EQ(run({KOVA_SIM_BINARY, sim.mnt}).text(),
              "1 kova-sim: mount point " + sim.mnt +
                  ": already mounted (fuse.kova-sim); unmount it first\n");
    const std::string dir = sim.dir + "/", shm = "/kova-tools-test-" + std::to_string(getpid());
    const std::unique_ptr<const char, int (*)(const char *)> unlink_at_end(shm.c_str(), shm_unlink);
    Proc engine({KOVA_ENGINE_BINARY, "--dev", sim.mnt + "/dev/kova", "--shm", shm, "--stay"},
                dir + "engine.log");
    ASSERT_EQ(engine.wait(60, 0, "holding the area"), -2) << engine.output() << sim.sim->output();
    const auto ctl = [&](const std::string &args) {
        std::vector<std::string> argv = words("--root=" + sim.debug("") + " " + args);
        argv.insert(argv.begin(), KOVACTL_BINARY);
        return run(argv).text();
    };
    const auto call = [&](const std::string &text) {
        const long w = write_file(sim.mnt + "/kova-sim/call", text);
        return (w < 0 ? std::to_string(w) + " " : "") + read_file(sim.mnt + "/kova-sim/call");
    };
    // 11 and 12 share a key (a CRC group) on two UCCs, and 20 hangs on 11; 13
    // is deleted before the packets; 14 is IPv6 with four rules. 99 is never
    // added: 11's key on another port.
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
    std::string lines;
    for (size_t i = 0; i < std::size(flows); ++i) {
        const auto &[id, args] = flows[i];
        const std::string add = "add id=" + std::to_string(id) + " subport=2 " + args,
                          def = ctl("-n " + add),
                          key = def.substr(def.find("crc32="),
                                           def.find(" rule1=") - def.find("crc32="));
        const bool extended = args.rfind("parent=", 0) == 0;
        if (id < 99) {
            EXPECT_EQ(ctl(add),
                      "0 flow " + std::to_string(id) + (extended ? ": extended" : ":") +
                          " flow created (crc32 " + key.substr(6, 10) + ", bucket " +
                          std::to_string(std::stoul(key.substr(8, 8), nullptr, 16) >> 18) + ")\n");
        }
        const uint64_t n = extended ? 0 : i + 2, len = 80 + i;
        lines +=
            n ? key + " len=" + std::to_string(len) + " count=" + std::to_string(n) + "\n" : "";
    }
    EXPECT_EQ(ctl("del 13"), "0 flow 13: flow deleted\n");
    EXPECT_EQ(ctl("lag 1 1 0x6"), "0 lag 1: enabled, members 1 2\n");
    // The packets as a trace, then as a capture with each kind of frame that has no key.
    std::ofstream(dir + "lines") << lines;
    const Ran gen =
        run({KOVA_PCAPGEN_BINARY, "--port-tags", "--undecodable", dir + "lines", dir + "capture"});
    EXPECT_EQ(gen.text(), "0 kova-pcapgen: 30 frames in " + dir + "capture\n");
    Ran r{};
    for (const std::string &input :
         {"--trace " + dir + "lines", "--pcap " + dir + "capture --port vlan --subport 2"}) {
        r = run(words(KOVA_ENGINE_BINARY " --no-attach --shm " + shm + " " + input));
        EXPECT_EQ(r.text().rfind("0 kova-engine: area " + shm, 0), 0u) << r.out;
        EXPECT_NE(r.out.find("packets: 23\nhits: 11\nmisses: 12\nextended: 2\nbad links: 0\n"),
                  std::string::npos)
            << r.out;
    }
    EXPECT_EQ(r.out.substr(r.out.find("frames: ")),
              "frames: 30\nnot decoded: 7\n  truncated: 1\n  unsupported ethertype: 1\n"
              "  more than two VLAN tags: 1\n  malformed IP header: 1\n  non-first fragment: 1\n"
              "  malformed ARP: 1\n  no port tag: 1\n");
    // Every packet counted on its port, hit (11) or miss (13), both runs, as the module reports it.
    EXPECT_EQ(call("kovaAPIGetPortStatistics 5 2"),
              "call kovaAPIGetPortStatistics(5, 2) = 0 rx_packets=14 rx_octets=1150 tx_octets=0 "
              "rx_discards=0 tx_discards=0\n");
    EXPECT_EQ(call("kovaAPINoSuch 1"),
              "-22 error: unknown function kovaAPINoSuch (call help lists them)\n");
    EXPECT_EQ(call("kovaAPIgetFlowStatistics 1 2"),
              "-22 error: kovaAPIgetFlowStatistics takes 1 argument(s)\n");
    EXPECT_EQ(upto(ctl("stats 11"), "used "),
              "0 flow 11 (slot 14058, ucc 5): packets 4 octets 320 last-used ");
    EXPECT_EQ(upto(ctl("stats --json 12"), "last_used"),
              R"(0 {"appflowid":12,"slot":16384,"ucc":6,"packets":6,"octets":486,"last_used)");
    // Flow 12's engine copy made to differ; each flow's key and actions decoded.
    const int fd = shm_open(shm.c_str(), O_RDWR, 0);
    auto *area = static_cast<uint8_t *>(
        mmap(nullptr, KOVA_LUT_TABLE_BYTES, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    close(fd);
    ASSERT_NE(area, MAP_FAILED);
    area[16384 * KOVA_LUT_SIZE + KOVA_LUT_OFF_VLAN1 + 3] ^= 1;
    const std::string listed = ctl("-j list");
    area[16384 * KOVA_LUT_SIZE + KOVA_LUT_OFF_VLAN1 + 3] ^= 1;
    munmap(area, KOVA_LUT_TABLE_BYTES);
    ASSERT_EQ(listed.substr(0, 2), "0 ") << listed;
    const auto l = nlohmann::ordered_json::parse(listed.substr(2));
    std::string got;
    for (const auto &f : l["flows"])
        got += f["appflowid"].dump() + " " + f["parent"].dump() + " " + f["packets"].dump() + " " +
               f["crc_matches_key"].dump() + " " + f["copies"]["cpu"].get<std::string>() + " " +
               f["copies"]["qe"].get<std::string>() + " " + f["differences"]["qe"].dump() + "\n";
    EXPECT_EQ(got, "14 null 12 true same same []\n11 null 4 true same same []\n"
                   "12 null 6 true same differs [\"vlan\"]\n20 11 4 true same same []\n");
    auto f14 = l["flows"][0];
    f14.erase("last_used");
    EXPECT_EQ(
        f14.dump(),
        R"({"slot":1985,"appflowid":14,"parent":null,"ucc":9,"crc32":520537496,)"
        R"("crc_matches_key":true,"key":{"dmac":"00:00:00:00:00:00","smac":"00:00:00:00:00:00",)"
        R"("vlan":0,"vlan2":0,"type":34525,"src":"2001:db8::1","dst":"fd00::2","sport":1,)"
        R"("dport":2},"actions":[{"rule":"police","weight":5},{"rule":"replace-dst",)"
        R"("mac":"00:01:02:03:04:05","ip":"fd00::9","port":3},{"rule":"vlan1-add","prio":3,)"
        R"("cfi":0,"vid":5,"etype":33024},{"rule":"forward-qe","port":2,"priority":0,"subport":0,)"
        R"("class":0,"trusted":"yes"}],"packets":12,"octets":1008,"copies":{"cpu":"same",)"
        R"("qe":"same"},"differences":{"cpu":[],"qe":[]}})");
    EXPECT_EQ(l["cpu"]["summary"]["All LUTs"], 3);
    EXPECT_EQ(l["qe"]["summary"]["QE CRC32 duplicates"], 1);
    EXPECT_EQ(ctl("add id=11 ucc=7 drop"),
              "1 kovactl: flow 11 not created: appflowid in use (result 7)\n");
    EXPECT_EQ(
        ctl("del 11"),
        "1 kovactl: flow 11 not deleted: no such appflowid, out of range, an extended flow, or a "
        "flow carrying extended flows (the kernel log says which) (result 7)\n");
    EXPECT_EQ(upto(ctl("--root " + sim.mnt + " list"), "directory"),
              "3 kovactl: " + sim.mnt + " is not the module's debug directory");
    EXPECT_EQ(ctl("flush"), "0 flush: 4 flows deleted: 14, 11 (with extended 20), 12\n");
    EXPECT_EQ(read_file(sim.debug("flow_list")), "");
    // The engine ends at SIGTERM, its object removed; an unmount ends kova-sim.
    EXPECT_EQ(engine.wait(30, SIGTERM), 0) << engine.output();
    EXPECT_EQ(shm_unlink(shm.c_str()), -1) << "the engine left its object behind";
    EXPECT_EQ(std::system(("fusermount3 -u " + sim.mnt).c_str()), 0);
    EXPECT_EQ(sim.sim->wait(30), 0) << sim.sim->output();
}

} // namespace
