// kovactl: its ranges without a mount, and its commands over a kova-sim
// mount with kova-engine attached, checked against the dumps, the engine's
// own hashing of packets and the module's results.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "dump_parse.h"
#include "flow_args.h"
#include "kova/kova_shm.h"
#include "sim_process.h"

namespace {

using namespace kovactl;
using namespace kova_sim_test;

// "" when `add` takes the arguments, else its refusal.
std::string refusal(const std::vector<std::string> &args) {
    try {
        parse_add(args);
        return "";
    } catch (const UsageError &e) {
        return e.message;
    }
}

TEST(KovactlArgs, EveryRangeTakesItsEndsAndRefusesOnePast) {
    // The parameters each rule needs besides the one under test.
    const std::map<std::string, std::vector<std::string>> needs = {
        {"forward-qe", {"port=1"}}, {"vlan1-add", {"vid=1"}}, {"vlan1-change", {"vid=1"}}, {"vlan2-add", {"vid=1"}},
        {"vlan2-change", {"vid=1"}}, {"police", {"weight=1"}}, {"set-tos", {"tos=1"}}, {"forward-cpu", {}},
        {"replace-src", {"mac=0:0:0:0:0:0", "ip=1.1.1.1", "port=1"}},
        {"replace-dst", {"mac=0:0:0:0:0:0", "ip=1.1.1.1", "port=1"}}};
    struct Case {
        const char *rule, *field;
        long long lo, hi;
    };
    const Case cases[] = {
        {"", "id", INT32_MIN, INT32_MAX}, {"", "parent", INT32_MIN, INT32_MAX}, {"", "ucc", 0, 40},
        {"", "subport", 0, 4095}, {"", "vlan", 0, 4095}, {"", "vlan2", 0, 4095}, {"", "sport", 0, 65535},
        {"", "dport", 0, 65535}, {"forward-qe", "class", 0, 7}, {"forward-qe", "subport", 0, 4095},
        {"forward-qe", "priority", 0, 255}, {"forward-qe", "port", 0, 40}, {"forward-cpu", "priority", 0, 255},
        {"vlan1-add", "prio", 0, 7}, {"vlan1-change", "cfi", 0, 1}, {"vlan2-add", "vid", 0, 4095},
        {"vlan2-change", "etype", 0, 65535}, {"police", "weight", 0, 4294967295LL}, {"set-tos", "tos", 0, 255},
        {"replace-src", "port", 0, 65535}, {"replace-dst", "port", 0, 65535}};
    for (const Case &c : cases)
        for (const long long v : {c.lo, c.hi, c.hi + 1}) {
            const std::string tok = std::string(c.field) + "=" + std::to_string(v);
            // The value under test takes the place of a same-named one.
            auto put = [&](std::vector<std::string> &into) {
                for (std::string &a : into)
                    if (a.rfind(std::string(c.field) + "=", 0) == 0)
                        return void(a = tok);
                into.push_back(tok);
            };
            std::vector<std::string> args = {"id=1", "ucc=1", "src=1.1.1.1"};
            if (*c.rule) {
                std::vector<std::string> params = needs.at(c.rule);
                put(params);
                args.push_back(c.rule);
                args.insert(args.end(), params.begin(), params.end());
            } else {
                put(args);
                args.push_back("drop");
            }
            const std::string name = *c.rule ? std::string(c.rule) + " " + c.field : c.field;
            EXPECT_EQ(refusal(args), v <= c.hi ? "" : name + ": " + std::to_string(v) + " out of range " +
                                                        std::to_string(c.lo) + ".." + std::to_string(c.hi))
                << tok;
        }
    // Texts: the refusal names the field and the value as written.
    const std::pair<std::vector<std::string>, std::string> texts[] = {
        {{"sport=99999999999999999999999", "drop"}, "sport: 99999999999999999999999 out of range 0..65535"},
        {{"dmac=02:00:00:4f:03:e8f", "drop"},
         "dmac: 02:00:00:4f:03:e8f is not a MAC address (six octets 00..ff, colon-separated)"},
        {{"src=300.1.1.1", "drop"}, "src: 300.1.1.1 out of range 0..255"},
        {{"src=2001:db8::1::2", "drop"}, "src: 2001:db8::1::2 is not an IPv6 address"},
        {{"src=10.0.0.1", "dst=::1", "drop"}, "src and dst: 10.0.0.1 and ::1 are not of one address family"},
        {{"type=ipv4", "src=::1", "drop"}, "src: ::1 is IPv6 but type is ipv4"},
        {{"type=0x10000", "drop"}, "type: 0x10000 out of range 0x0..0xffff"},
        {{"type=800", "drop"}, "type: 800 is not ipv4, ipv6, arp or 0xNNNN"},
        {{"type=0x8100", "sport=1", "drop"},
         "type 0x8100 has no addresses or ports in its key: src, dst, sport and dport need ipv4, ipv6 or arp"},
        {{"forward-qe", "port=1", "trusted=maybe"}, "forward-qe trusted: maybe is not yes or no"},
        {{"forward-qe"}, "forward-qe port: missing (forward-qe needs port=)"},
        {{"drop", "drop"}, "rule drop given twice (each rule at most once)"},
        {{"drop", "port=1"}, "rule drop has no parameter 'port'"},
        {{"replace-src", "mac=1:2:3:4:5:6", "ip=::1", "port=1"},
         "replace-src ip: ::1 is IPv6 but the flow's addresses are not"},
        {{"drop", "forward-cpu", "set-tos", "tos=1", "police", "weight=1", "vlan1-remove", "vlan2-remove", "test"},
         "too many rules: 7 (at most 6)"},
        {{"ucc=2", "drop"}, "ucc given twice"},
        {{}, "no rule given (at least one: drop, forward-qe port=N, ...)"},
    };
    for (const auto &[extra, want] : texts) {
        std::vector<std::string> args = {"id=1", "ucc=1"};
        args.insert(args.end(), extra.begin(), extra.end());
        EXPECT_EQ(refusal(args), want);
    }
    EXPECT_EQ(refusal({"ucc=1", "drop"}), "id: missing (the flow's appflowid)");
}

TEST(KovactlArgs, FieldsInAnyOrderGiveTheFixedOrderDefinition) {
    const std::vector<std::string> shuffled = {"dport=0x50", "src=2001:db8::1.2.3.4", "ucc=36", "parent=-4",
                                               "dmac=2:0:0:4f:3:E8", "vlan2=12", "id=7", "subport=9",
                                               "vlan2-change", "vid=12", "prio=7", "forward-qe", "trusted=yes",
                                               "port=40"};
    const FlowRequest r = parse_add(shuffled);
    char want[640];
    std::snprintf(want, sizeof want,
                  "parent_flow_id=-4 flow_id=7 crc32=0x%08x flow_ucc=36 flow_subport=9 eth_dmac=02:00:00:4f:03:e8 "
                  "eth_smac=00:00:00:00:00:00 vlan_id_1=0 vlan_id_2=12 eth_type=0x86dd "
                  "ipv4_src=2001:db8:0:0:0:0:102:304 ipv4_dst=0:0:0:0:0:0:0:0 udp_sport=0 udp_dport=80 "
                  "rule1=RULE_CHANGE_VLAN_2 priority=7 cfi=0 vid=12 etype=33024 rule2=RULE_FORWARD_TO_QE "
                  "qos_serviceclass=0 qos_trusted=KOVA_PORT_TRUSTED subport=0 priority=0 port=40 ;\n",
                  r.flow.crc32);
    EXPECT_EQ(r.definition, want);
    EXPECT_EQ(parse_add({"id=7", "parent=-4", "ucc=36", "subport=9", "dmac=02:00:00:4f:03:e8", "vlan2=12",
                         "type=ipv6", "src=2001:db8::102:304", "dport=80", "vlan2-change", "prio=7", "vid=12",
                         "forward-qe", "port=40", "trusted=yes"})
                  .definition,
              want);
}

// ---- Over a mount ----------------------------------------------------------

struct Outcome {
    int status;
    std::string out;
};

Outcome kovactl(const Sim &sim, std::vector<std::string> args) {
    args.insert(args.begin(), {KOVACTL_BINARY, "--root=" + sim.debug("").substr(0, sim.debug("").size() - 1)});
    Proc p(args, sim.dir + "/kovactl.out");
    const int status = p.wait(120);
    return {status, p.output()};
}

// The dump line of the entry at `slot` from "CRC32" on: the entry's bytes
// as the module shows them, without its address.
std::string entry_line(const std::string &dump, uint32_t crc, int nth) {
    char tag[32];
    std::snprintf(tag, sizeof tag, "CRC32 0x%08x", crc);
    size_t at = 0;
    for (int i = 0; i <= nth; ++i)
        if ((at = dump.find(tag, at + (i ? 1 : 0))) == std::string::npos)
            return "(none)";
    return dump.substr(at, dump.find('\n', at) - at);
}

TEST(KovactlE2E, FlowsAddedListedCountedAndFlushedThroughTheFiles) {
    Sim sim{KOVA_SIM_BINARY};
    KOVA_SIM_START_OR_SKIP(sim);
    const std::string shm = "/kovactl-test-" + std::to_string(getpid());
    Proc engine({KOVA_ENGINE_BINARY, "--dev", sim.mnt + "/dev/kova", "--shm", shm, "--stay"}, sim.dir + "/engine.log");
    ASSERT_TRUE(engine.wait_for("holding the area")) << engine.output() << sim.log();

    // Flow 11 by kovactl, fields shuffled; flow 12 with the same key and
    // rules by echo, in the fixed order, on another UCC: chained behind it.
    const std::vector<std::string> add = {"add", "ucc=5", "id=11", "dst=10.0.0.2", "sport=5000",
                                          "dmac=02:00:00:4f:03:e8", "forward-qe", "port=2", "class=1", "vlan=100",
                                          "src=10.0.0.1", "dport=6000", "smac=02:00:01:00:00:10", "vlan1-add",
                                          "vid=5", "prio=3"};
    const FlowRequest a = parse_add({add.begin() + 1, add.end()});
    Outcome r = kovactl(sim, add);
    char crc[16];
    std::snprintf(crc, sizeof crc, "0x%08x", a.flow.crc32);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "flow 11: flow created (crc32 " + std::string(crc) + ", bucket " +
                         std::to_string(a.flow.crc32 >> 18) + ")\n");
    const std::string echoed = std::string("flow_id=12 crc32=") + crc +
                               " flow_ucc=6 flow_subport=0 eth_dmac=02:00:00:4f:03:e8 eth_smac=02:00:01:00:00:10 "
                               "vlan_id_1=100 vlan_id_2=0 eth_type=0x800 ipv4_src=10.0.0.1 ipv4_dst=10.0.0.2 "
                               "udp_sport=5000 udp_dport=6000 rule1=RULE_FORWARD_TO_QE qos_serviceclass=1 "
                               "qos_trusted=KOVA_PORT_UNTRUSTED subport=0 priority=0 port=2 rule2=RULE_ADD_VLAN_1 "
                               "priority=3 cfi=0 vid=5 etype=33024 ;\n";
    ASSERT_EQ(write_file(sim.debug("create_flows"), echoed), long(echoed.size()));
    const std::string dump = read_file(sim.debug("dump_flows_qe"));
    std::string line11 = entry_line(dump, a.flow.crc32, 0), line12 = entry_line(dump, a.flow.crc32, 1);
    ASSERT_NE(line12, "(none)") << dump;
    line12.replace(line12.find("SPORT 06"), 8, "SPORT 05");
    EXPECT_EQ(line11, line12) << "the entries differ but in their UCC";

    // Packets of the key on UCC 5: the engine hashes them to flow 11 alone.
    std::ofstream(sim.dir + "/trace") << "ucc=5 subport=0 dmac=02:00:00:4f:03:e8 smac=02:00:01:00:00:10 vlan1=100 "
                                         "vlan2=0 eth_type=800 src=10.0.0.1 dst=10.0.0.2 sport=5000 dport=6000 "
                                         "len=100 count=7\n";
    Proc trace({KOVA_ENGINE_BINARY, "--no-attach", "--shm", shm, "--trace", sim.dir + "/trace"}, sim.dir + "/run.log");
    ASSERT_EQ(trace.wait(60), 0) << trace.output();
    const uint32_t head = a.flow.crc32 >> 18;
    r = kovactl(sim, {"stats", "11"});
    const std::string want = "flow 11 (slot " + std::to_string(head) + ", ucc 5): packets 7 octets 700 last-used ";
    EXPECT_EQ(r.out.substr(0, want.size()), want);
    r = kovactl(sim, {"stats", "--json", "12"});
    EXPECT_EQ(r.out, "{\"appflowid\":12,\"slot\":16384,\"ucc\":6,\"packets\":0,\"octets\":0,\"last_used\":0}\n");

    // An IPv6 flow: its ports and replacement address take other arrangements.
    const std::vector<std::string> add6 = {"add", "id=14", "ucc=9", "src=2001:db8::1", "dst=fd00::2", "sport=1",
                                           "dport=2", "police", "weight=5", "replace-dst", "mac=0:1:2:3:4:5",
                                           "ip=fd00::9", "port=3"};
    ASSERT_EQ(kovactl(sim, add6).status, 0);
    const FlowRequest b6 = parse_add({add6.begin() + 1, add6.end()});
    const uint32_t head6 = b6.flow.crc32 >> 18;

    // The engine copy of flow 12 made to differ: found by content all the same.
    const int fd = shm_open(shm.c_str(), O_RDWR, 0);
    auto *area = static_cast<uint8_t *>(mmap(nullptr, KOVA_LUT_TABLE_BYTES, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    ASSERT_NE(area, MAP_FAILED);
    close(fd);
    area[16384 * KOVA_LUT_SIZE + KOVA_LUT_OFF_VLAN1 + 3] ^= 1;
    r = kovactl(sim, {"list", "-j"});
    area[16384 * KOVA_LUT_SIZE + KOVA_LUT_OFF_VLAN1 + 3] ^= 1;
    munmap(area, KOVA_LUT_TABLE_BYTES);
    ASSERT_EQ(r.status, 0) << r.out;
    const Json l = Json::parse(r.out);
    ASSERT_EQ(l["flows"].size(), 3u) << r.out;
    const Json &f6 = l["flows"][head6 < head ? 0 : 1];
    EXPECT_EQ(f6["key"], Json({{"dmac", "00:00:00:00:00:00"}, {"smac", "00:00:00:00:00:00"}, {"vlan", 0}, {"vlan2", 0},
                               {"type", 0x86dd}, {"src", "2001:db8::1"}, {"dst", "fd00::2"}, {"sport", 1},
                               {"dport", 2}}));
    EXPECT_EQ(f6["actions"], Json::parse(R"([{"rule":"police","weight":5},
        {"rule":"replace-dst","mac":"00:01:02:03:04:05","ip":"fd00::9","port":3}])"));
    const Json actions = Json::parse(R"([{"rule":"forward-qe","port":2,"priority":0,"subport":0,"class":1,
        "trusted":"no"},{"rule":"vlan1-add","prio":3,"cfi":0,"vid":5,"etype":33024}])");
    const Json key = {{"dmac", "02:00:00:4f:03:e8"}, {"smac", "02:00:01:00:00:10"}, {"vlan", 100}, {"vlan2", 0},
                      {"type", 2048}, {"src", "10.0.0.1"}, {"dst", "10.0.0.2"}, {"sport", 5000}, {"dport", 6000}};
    const std::string list = read_file(sim.debug("flow_list"));
    for (const auto &[i, slot, id, ucc, crc32, packets, qe] :
         {std::tuple{head6 < head ? 1 : 0, head, 11, 5, a.flow.crc32, 7, "same"},
          std::tuple{head6 < head ? 0 : 1, head6, 14, 9, b6.flow.crc32, 0, "same"},
          std::tuple{2, 16384u, 12, 6, a.flow.crc32, 0, "differs"}}) {
        const Json &f = l["flows"][size_t(i)];
        char line[160];
        std::snprintf(line, sizeof line, "slot=%u appflowid=%d parent=- ucc=%d crc32=0x%08x packets=%d octets=%d "
                      "timestamp=%u key=", slot, id, ucc, crc32, packets, packets * 100, f["last_used"].get<unsigned>());
        EXPECT_NE(list.find(line), std::string::npos) << line << "\n" << list;
        EXPECT_EQ(f["slot"], slot);
        EXPECT_EQ(f["appflowid"], id);
        EXPECT_EQ(f["parent"], nullptr);
        EXPECT_EQ(f["ucc"], ucc);
        EXPECT_EQ(f["crc_matches_key"], true);
        if (id != 14) {
            EXPECT_EQ(f["key"], key);
            EXPECT_EQ(f["actions"], actions);
        }
        EXPECT_EQ(f["copies"], Json({{"cpu", "same"}, {"qe", qe}}));
        EXPECT_EQ(f["differences"]["qe"], std::string(qe) == "same" ? Json::array() : Json::array({"vlan"}));
    }
    EXPECT_EQ(l["cpu"]["summary"]["All LUTs"], 3);
    EXPECT_EQ(l["qe"]["summary"]["QE CRC32 duplicates"], 1);

    // Refusals: a range before anything is written, the table's own result.
    r = kovactl(sim, {"add", "id=13", "ucc=5", "sport=70000", "drop"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "kovactl: sport: 70000 out of range 0..65535");
    r = kovactl(sim, {"add", "id=11", "ucc=7", "drop"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "kovactl: flow 11 not created: appflowid in use (result 7)\n");
    r = kovactl(sim, {"lag", "1", "1", "0x6"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "lag 1: enabled, members 1 2\n");
    EXPECT_EQ(kovactl(sim, {"lag", "4", "1", "6"}).status, 2);

    // An extended flow on flow 11: flush takes it with its parent.
    r = kovactl(sim, {"add", "parent=11", "id=20", "ucc=5", "dmac=02:00:00:4f:03:e8", "smac=02:00:01:00:00:10",
                      "vlan=100", "src=10.0.0.1", "dst=10.0.0.2", "sport=5000", "dport=6000", "drop"});
    EXPECT_EQ(r.out, "flow 20: extended flow created (crc32 " + std::string(crc) + ", bucket " +
                         std::to_string(head) + ")\n");
    EXPECT_EQ(kovactl(sim, {"del", "11"}).status, 1);
    r = kovactl(sim, {"flush"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head6 < head ? "flush: 4 flows deleted: 14, 11 (with extended 20), 12\n"
                                  : "flush: 4 flows deleted: 11 (with extended 20), 14, 12\n");
    EXPECT_EQ(read_file(sim.debug("flow_list")), "");
    EXPECT_NE(read_file(sim.debug("dump_flows_cpu")).find("\nAll LUTs:         0\n"), std::string::npos);
    EXPECT_NE(read_file(sim.debug("dump_flows_qe")).find("QE All LUTs:         0\n"), std::string::npos);

    // Options: named when bad; help and version; a root that is not the module's.
    for (const auto &[args, status, first] : std::vector<std::tuple<std::vector<std::string>, int, std::string>>{
             {{"--bogus", "list"}, 2, "kovactl: unrecognized option '--bogus'"},
             {{"list", "-x"}, 2, "kovactl: invalid option -- 'x'"},
             {{"list", "--root"}, 2, "kovactl: option '--root' requires an argument"},
             {{"list", "--with-extended"}, 2, "kovactl: --with-extended goes with del only"},
             {{"frob"}, 2, "kovactl: unknown command 'frob'"},
             {{"--help"}, 0, "Usage: kovactl [OPTION]... COMMAND [ARG]..."},
             {{"--version"}, 0, "kovactl 4.6.360"},
             {{"--root", sim.mnt, "list"}, 3, "kovactl: " + sim.mnt + " is not the module's debug directory"},
             {{"del", "5"}, 1, "kovactl: flow 5 not deleted: no such appflowid"}}) {
        r = kovactl(sim, args);
        EXPECT_EQ(r.status, status) << r.out;
        EXPECT_EQ(r.out.substr(0, first.size()), first);
    }
    engine.signal(SIGTERM);
    EXPECT_EQ(engine.wait(30), 0);
    shm_unlink(shm.c_str());
}

} // namespace
