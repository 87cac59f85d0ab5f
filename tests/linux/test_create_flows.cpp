// The flow command language: the parser on its own, then "create_flows" and
// "create_flows_old" as an operator uses them.
#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "flow/ctrl.h"
#include "flow_key.h"
#include "operator/flow_lang.h"
#include "support/module_test.h"

namespace {

using kt::take_log;

const char kKeys[] = "flow_id=1 crc32=0x930481c1 flow_ucc=2 flow_subport=0 eth_dmac=02:00:00:4f:03:e8 "
                     "eth_smac=02:00:01:00:00:10 vlan_id_1=3999 vlan_id_2=3988 eth_type=0x800 "
                     "ipv4_src=192.168.32.102 ipv4_dst=192.168.39.102 udp_sport=0 udp_dport=5 ";

// Replaces the first occurrence of `from` in `s`.
std::string with(std::string s, const std::string &from, const std::string &to) {
    const size_t at = s.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? s : s.replace(at, from.size(), to);
}

struct Parsed { // not to be copied: def.flow.rules points into def.rules
    int result;
    std::string log;
    kv::lang::Definition def;
};

Parsed parse(const std::string &text) {
    Parsed p;
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    kova_host_log_clear();
    p.result = kv::lang::parse_definition(buf.data(), &p.def);
    p.log = take_log();
    return p;
}

std::vector<const kova_RULE *> rule_list(const kova_FLOW &f) {
    std::vector<const kova_RULE *> v;
    for (const kova_RULE *r = f.rules; r && v.size() < 20; r = r->next)
        v.push_back(r);
    return v;
}

TEST(FlowLanguage, EveryKeyAndRuleParameterLandsInItsField) {
    const std::string text =
        std::string("flow_id=-7 crc32=0xDEADbeef flow_ucc=40 flow_subport=4095 eth_dmac=02:00:00:4f:03:e8 "
                    "eth_smac=aa:bb:cc:dd:ee:ff vlan_id_1=3999 vlan_id_2=4095 eth_type=86dd "
                    "ipv4_src=fe80:0:0:0:0:0:0:1 ipv4_dst=2001:db8:a:b:c:d:e:ffff udp_sport=1 udp_dport=65535\n") +
        "rule1=RULE_FORWARD_TO_QE qos_serviceclass=7 qos_trusted=KOVA_PORT_TRUSTED subport=289 priority=3 port=9\n"
        "rule9=RULE_CHANGE_VLAN_2 priority=7 cfi=1 vid=33 etype=0x8100\n"
        "rule2=RULE_REPLACE_SRC_HEADER source_mac_addr=aa:dd:cc:dd:ee:ff source_ip_addr=1:2:3:4:5:6:7:8 "
        "source_udp_port=56\n"
        "rule3=RULE_REPLACE_DST_HEADER destination_mac_addr=01:02:03:04:05:06 destination_ip_addr=10.1.2.3 "
        "destination_udp_port=586\n"
        "rule4=RULE_POLICING weight=4294967295 rule5=RULE_SET_TOS tos=12 rule6=RULE_FORWARD_TO_CPU priority=17 "
        "rule7=RULE_UPDATE_PACKET_CNT ;";
    const Parsed p = parse(text);
    ASSERT_EQ(p.result, 0) << p.log;
    const kova_FLOW &f = p.def.flow;
    EXPECT_FALSE(p.def.extended);
    // The log prints the parsed key back (crc32 signed, eth_type reformatted);
    // the address words are checked in place for their order.
    EXPECT_EQ(p.log, "PRINT PARAMS\nflow_id=-7\ncrc32=-559038737\nflow_ucc=40\nflow_subport=4095\n"
                     "eth_dmac=02:00:00:4f:03:e8\neth_smac=aa:bb:cc:dd:ee:ff\nvlan_id_1=3999\nvlan_id_2=4095\n"
                     "eth_type=0x86dd\nipv4_src=fe80:0:0:0:0:0:0:1\nipv4_dst=2001:db8:a:b:c:d:e:ffff\n"
                     "udp_sport=1\nudp_dport=65535\n");
    EXPECT_EQ(f.crc32, 0xDEADBEEFu);
    EXPECT_EQ(std::memcmp(f.eth_dmac, "\x02\x00\x00\x4f\x03\xe8", 6), 0);
    const uint16_t src6[8] = {0xfe80, 0, 0, 0, 0, 0, 0, 1}, dst6[8] = {0x2001, 0xdb8, 0xa, 0xb, 0xc, 0xd, 0xe, 0xffff};
    EXPECT_EQ(std::memcmp(f.ip_src.v6, src6, 16), 0);
    EXPECT_EQ(std::memcmp(f.ip_dst.v6, dst6, 16), 0);

    // The list keeps the order of the text, not of the numbers.
    const auto rules = rule_list(f);
    ASSERT_EQ(rules.size(), 8u);
    const uint32_t types[] = {RULE_FORWARD_TO_QE, RULE_CHANGE_VLAN_2, RULE_REPLACE_SRC_HEADER, RULE_REPLACE_DST_HEADER,
                              RULE_POLICING, RULE_SET_TOS, RULE_FORWARD_TO_CPU, RULE_UPDATE_PACKET_CNT};
    for (size_t i = 0; i < rules.size(); ++i)
        EXPECT_EQ(rules[i]->type, types[i]) << i;
    const auto &qe = rules[0]->param.forward_qe;
    EXPECT_EQ(qe.qos_serviceclass, 7);
    EXPECT_EQ(qe.qos_trusted, KOVA_PORT_TRUSTED);
    EXPECT_EQ(qe.subport, 289);
    EXPECT_EQ(qe.priority, 3);
    EXPECT_EQ(qe.port, 9);
    EXPECT_EQ(qe.action_byte7, 0);
    const auto &vlan = rules[1]->param.vlan;
    EXPECT_EQ(vlan.priority, 7);
    EXPECT_EQ(vlan.cfi, 1);
    EXPECT_EQ(vlan.vid, 33);
    EXPECT_EQ(vlan.etype, 0) << "etype is decimal: 0x8100 reads as 0";
    const auto &rs = rules[2]->param.replace_src;
    EXPECT_EQ(std::memcmp(rs.source_mac_addr, "\xaa\xdd\xcc\xdd\xee\xff", 6), 0);
    const uint16_t rs6[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(std::memcmp(rs.source_ip_addr.v6, rs6, 16), 0);
    EXPECT_EQ(rs.source_udp_port, 56);
    const auto &rd = rules[3]->param.replace_dst;
    EXPECT_EQ(std::memcmp(rd.destination_mac_addr, "\x01\x02\x03\x04\x05\x06", 6), 0);
    const uint8_t rd4[16] = {10, 1, 2, 3};
    EXPECT_EQ(std::memcmp(rd.destination_ip_addr.v4, rd4, 16), 0) << "unused address bytes are 0";
    EXPECT_EQ(rd.destination_udp_port, 586);
    EXPECT_EQ(rules[4]->param.policing.weight, 4294967295u);
    EXPECT_EQ(rules[5]->param.set_tos.tos, 12);
    EXPECT_EQ(rules[6]->param.forward_cpu.priority, 17);
}

TEST(FlowLanguage, FormsTheOperatorMayUse) {
    // Each parse has its own Parsed: a Definition's rule list points into
    // itself, so it must not be copied.
    // Line feeds and runs of spaces separate alike; a tab belongs to its token
    // and ends a number; text after the last conversion is ignored.
    // A number may follow a tab; one-digit and upper-case MAC octets; an
    // IPv4 address takes no notice of what follows its fourth octet.
    std::string keys = with(with(kKeys, "eth_type=0x800", "eth_type=800"), "flow_ucc=2", "flow_ucc=\t2x");
    keys = with(with(keys, "eth_smac=02:00:01:00:00:10", "eth_smac=A:0:1:0:0:1Fz"), "102 udp", "102.7:x udp");
    const Parsed p = parse(std::string("\n\n  ") + keys + "rule1=RULE_DROP_PACKET\tx\n\n;");
    ASSERT_EQ(p.result, 0) << p.log;
    EXPECT_EQ(p.def.flow.eth_type, 0x0800);
    EXPECT_EQ(p.def.flow.flow_ucc, 2);
    EXPECT_EQ(std::memcmp(p.def.flow.eth_smac, "\x0a\x00\x01\x00\x00\x1f", 6), 0);
    const uint8_t src4[16] = {192, 168, 32, 102}, dst4[16] = {192, 168, 39, 102};
    EXPECT_EQ(std::memcmp(p.def.flow.ip_src.v4, src4, 16), 0);
    EXPECT_EQ(std::memcmp(p.def.flow.ip_dst.v4, dst4, 16), 0);
    ASSERT_EQ(rule_list(p.def.flow).size(), 1u);

    // An unknown keyword is skipped and the next token is the next rule.
    const Parsed unknown = parse(std::string(kKeys) + "rule1=RULE_FOO rule2=RULE_SET_TOS tos=1 ;");
    ASSERT_EQ(unknown.result, 0) << unknown.log;
    ASSERT_EQ(rule_list(unknown.def.flow).size(), 1u);
    EXPECT_EQ(unknown.def.flow.rules->type, RULE_SET_TOS);
    // The list ends at the first token that is not a rule; no rule at all is
    // the creation's business, not the parser's.
    const Parsed stops = parse(std::string(kKeys) + "rule1=RULE_TEST ; rule2=RULE_DROP_PACKET");
    ASSERT_EQ(stops.result, 0);
    ASSERT_EQ(rule_list(stops.def.flow).size(), 1u);
    EXPECT_EQ(stops.def.flow.rules->type, RULE_TEST);
    const Parsed empty = parse(std::string(kKeys) + ";");
    ASSERT_EQ(empty.result, 0);
    EXPECT_EQ(empty.def.flow.rules, nullptr);
    // qos_trusted as a number.
    const Parsed trusted = parse(std::string(kKeys) +
                                 "rule1=RULE_FORWARD_TO_QE qos_serviceclass=1 qos_trusted=1 subport=2 priority=3 port=4 ;");
    ASSERT_EQ(trusted.result, 0) << trusted.log;
    EXPECT_EQ(trusted.def.flow.rules->param.forward_qe.qos_trusted, KOVA_PORT_TRUSTED);

    const Parsed ext = parse("parent_flow_id=5 " + std::string(kKeys) + "rule1=RULE_DROP_PACKET ;");
    ASSERT_EQ(ext.result, 0) << ext.log;
    EXPECT_TRUE(ext.def.extended);
    EXPECT_EQ(ext.def.parent_flow_id, 5);
    EXPECT_EQ(ext.def.flow_id, 1);
}

struct BadCase {
    std::string text;
    int result;
    std::string message; // the last line logged
};

TEST(FlowLanguage, EachErrorGivesItsMessage) {
    const std::string keys = kKeys;
    const std::string qe = "rule1=RULE_FORWARD_TO_QE qos_serviceclass=7 qos_trusted=0 subport=4 priority=3 port=9 ";
    const std::string src = "rule1=RULE_REPLACE_SRC_HEADER source_mac_addr=aa:dd:cc:dd:ee:ff "
                            "source_ip_addr=192.168.1.56 source_udp_port=56 ";
    const std::string dst = "rule1=RULE_REPLACE_DST_HEADER destination_mac_addr=aa:dd:cc:dd:ee:ee "
                            "destination_ip_addr=192.168.1.147 destination_udp_port=586 ";
    const std::string vlan = "rule1=RULE_ADD_VLAN_2 priority=1 cfi=0 vid=3 etype=8 ";
    std::vector<BadCase> cases = {
        {with(keys, "flow_id=1", "flow_id=x"), -3, "flow_id parameter error!\n"},
        {with(keys, "crc32=0x930481c1", "crc32=g"), -3, "crc32 parameter error!\n"},
        {with(keys, "flow_ucc=2", "flow_ucc=-2"), -3, "flow_ucc parameter error!\n"},
        {with(keys, "flow_subport=0", "flow_subport="), -3, "flow_subport parameter error!\n"},
        {with(keys, "eth_dmac=02:00:00:4f:03:e8", "eth_dmac=02:00:00:4f:03"), -3, "eth_dmac parameter error!\n"},
        {with(keys, "eth_smac=02:00:01:00:00:10", "eth_smac=02-00-01-00-00-10"), -3, "eth_smac parameter error!\n"},
        // A key in another key's place: the tabled message, then what was found.
        {with(keys, "vlan_id_1=3999", "vlan_id_2=3999"), -3,
         "vlan_id_1 parameter error!\ncreate_flows: expected vlan_id_1= at token 6, found \"vlan_id_2=3999\"\n"},
        {with(keys, "crc32=0x930481c1", "flow_ucc=\t" + std::string(50, '2')), -3,
         "crc32 parameter error!\ncreate_flows: expected crc32= at token 1, found \"flow_ucc=\\x09" +
             std::string(38, '2') + "...\"\n"},
        {with(keys, "vlan_id_2=3988", "vlan_id_2"), -3, "vlan_id_2 parameter error!\n"},
        {with(keys, "eth_type=0x800", "eth_type=z"), -3, "eth_type parameter error!\n"},
        {with(keys, "eth_type=0x800", "eth_type=0xg"), -3, "eth_type parameter error!\n"}, // a prefix alone
        {with(keys, "udp_sport=0", "udp_sport=+1"), -3, "udp_sport parameter error!\n"},
        {keys.substr(0, keys.find("udp_dport")), -3, "udp_dport parameter error!\n"},
        {with(keys, "ipv4_src=192.168.32.102", "ipv4_src=fe80::1::2"), -3, "ipv4_src parameter error!\n"},
        {with(keys, "ipv4_src=192.168.32.102", "ipv4_src=host"), -2, "Wrong IP address format\n"},
        {with(keys, "ipv4_dst=192.168.39.102", "ipv4_dst=1.2.3"), -3, "ipv4_dst parameter error!\n"},
        // parent_flow_id anywhere makes the definition extended, and then
        // it must come first.
        {keys + "rule1=RULE_DROP_PACKET parent_flow_id=5 ;", -3,
         "parent_flow_id parameter error!\ncreate_flows: expected parent_flow_id= at token 0, found \"flow_id=1\"\n"},
        {with(qe, "qos_serviceclass=7", "qos_serviceclass=x"), -3,
         "RULE_FORWARD_TO_QE: qos_serviceclass parameter error!\n"},
        {with(qe, "qos_trusted=0", "qos_trusted=TRUSTED"), -3, "RULE_FORWARD_TO_QE: qos_trusted parameter error!\n"},
        {with(qe, "subport=4", "subport=a"), -3, "RULE_FORWARD_TO_QE: subport parameter error!\n"},
        {with(qe, "priority=3", "port=3"), -3, "RULE_FORWARD_TO_QE: priority parameter error!\n"},
        {with(qe, "port=9", ";"), -3, "RULE_FORWARD_TO_QE: port parameter error!\n"},
        {"rule1=RULE_FORWARD_TO_CPU priority=a ", -3, "RULE_FORWARD_TO_CPU: priority parameter error!\n"},
        {with(vlan, "priority=1", "priority="), -3, "RULE_ADD_VLAN_2: priority parameter error!\n"},
        {with(vlan, "cfi=0", "cfi=x"), -3, "RULE_ADD_VLAN_2: cfi parameter error!\n"},
        {with(with(vlan, "vid=3", "vid=x"), "ADD", "CHANGE"), -3, "RULE_CHANGE_VLAN_2: vid parameter error!\n"},
        {with(with(vlan, "etype=8", "etype=x"), "_2", "_1"), -3, "RULE_ADD_VLAN_1: etype parameter error!\n"},
        {"rule1=RULE_POLICING weight=-1 ", -3, "RULE_POLICING: weight parameter error!\n"},
        {"rule1=RULE_SET_TOS ", -3, "RULE_SET_TOS: tos parameter error!\n"},
        {with(src, "ff ", " "), -3, "RULE_REPLACE_SRC_HEADER: source_mac_addr parameter error!\n"},
        {with(src, "=192.168.1.56", "="), -3, "RULE_REPLACE_SRC_HEADER: source_ip_addr parameter error!\n"},
        {with(src, "192.168.1.56", "none"), -2, "RULE_REPLACE_SRC_HEADER: Wrong IP address format\n"},
        {with(src, "192.168.1.56", "1:2"), -3, "RULE_REPLACE_SRC_HEADER: source_ip parameter error!\n"},
        {with(src, "=56", "=x"), -3, "RULE_REPLACE_SRC_HEADER: source_udp_port parameter error!\n"},
        {with(dst, "ee:ee", "ee"), -3, "RULE_REPLACE_DST_HEADER: destination_mac_addr parameter error!\n"},
        {with(dst, "=192.168.1.147", "= "), -3, "RULE_REPLACE_DST_HEADER: destination_ip_addr parameter error!\n"},
        {with(dst, "192.168.1.147", "x"), -2, "RULE_REPLACE_DST_HEADER: Wrong IP address format\n"},
        {with(dst, "192.168.1.147", "1.2"), -3, "RULE_REPLACE_DST_HEADER: dest_ip parameter error!\n"},
        // The limits: refused, never truncated.
        {"rule1=RULE_DROP_PACKET rule2=RULE_DROP_PACKET ", -3, "create_flows: RULE_DROP_PACKET given twice\n"},
        {with(qe, "=0 ", "=" + std::string(64, 'T') + " "), -3,
         "RULE_FORWARD_TO_QE: qos_trusted longer than 63 characters\n"},
        {with(src, "192.168.1.56", "1.1.1.1" + std::string(57, '0')), -3,
         "RULE_REPLACE_SRC_HEADER: source_ip_addr longer than 63 characters\n"},
        {with(keys, "=192.168.39.102", "=192.168.39.102" + std::string(32, '0')), -3,
         "ipv4_dst: address text longer than 45 characters\n"},
        {"rule1=" + std::string(122, 'R'), -3, "create_flows: token longer than 127 characters\n"},
    };
    // The rule cases follow complete keys; all end with ";".
    for (BadCase &c : cases) {
        if (c.text.rfind("rule", 0) == 0)
            c.text = keys + c.text;
        c.text += " ;";
    }
    // 65 tokens: the keys, then 51 one-character tokens.
    std::string many = keys;
    for (int i = 0; i < 52; ++i)
        many += "x ";
    cases.push_back({many, -3, "create_flows: more than 64 tokens\n"});

    for (const BadCase &c : cases) {
        SCOPED_TRACE(c.text);
        const Parsed p = parse(c.text);
        EXPECT_EQ(p.result, c.result) << p.log;
        if (c.result != 0) {
            EXPECT_TRUE(kt::ends_with(p.log, c.message)) << p.log;
        }
    }
    // Just inside the limits: 64 tokens, a 127-character token, a 45-character address.
    std::string fits = keys + "rule1=RULE_DROP_PACKET ";
    while (std::count(fits.begin(), fits.end(), ' ') < 63)
        fits += "x ";
    EXPECT_EQ(parse(fits + ";").result, 0);
    EXPECT_EQ(parse(keys + "rule1=" + std::string(121, 'R') + " ;").result, 0);
    EXPECT_EQ(parse(with(keys, "=192.168.39.102", "=192.168.39.102" + std::string(31, 'x')) + " ;").result, 0);
}

// IPv6 text is what the C library's inet_pton takes, read as it reads it;
// ip_version still calls any text with a '.' IPv4.
TEST(FlowLanguage, Ipv6TextAsInetPtonReadsIt) {
    EXPECT_EQ(ip_version("1.2.3.4"), 4);
    EXPECT_EQ(ip_version("::ffff:1.2.3.4"), 4);
    EXPECT_EQ(ip_version("fe80::1"), 6);
    for (const char *t : {"::", "::1", "1::", "fe80::1", "2001:db8::1", "1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7::",
                          "::2:3:4:5:6:7:8", "1::8", "ABCD:ef01::0", "0000:0:0::ffff", "::ffff:1.2.3.4", "::0.0.0.0",
                          "1:2:3:4:5:6:255.255.255.255", "64:ff9b::192.0.2.33", "::1:2.3.4.5",
                          // refused
                          "1::2::3", ":::", ":1::", "1:", ":1", "1::2:", "1:2:3:4:5:6:7:8:9", "12345::", "00001::",
                          "1:2:3:4:5:6:7", "1:2:3:4::5:6:7:8", "::1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8::", "::1.2.3",
                          "::1.2.3.4.5", "::01.2.3.4", "::1.2.3.256", "::1.2.3.4:5", "1:2:3:4:5:6:7:1.2.3.4", "0x1::",
                          "1::g", "1:2:3:4:5:6:7:8x", "::a.1.1.1", "::1.2..3", "1::2 "}) {
        in6_addr want;
        const bool ok = inet_pton(AF_INET6, t, &want) == 1;
        kova_IPADDR got;
        const char *range = nullptr;
        EXPECT_EQ(kv::lang::convert_address(t, &got, &range), ok ? 0 : kv::lang::kBadParameter) << t;
        for (int i = 0; ok && i < 8; ++i)
            EXPECT_EQ(got.v6[i], want.s6_addr[2 * i] << 8 | want.s6_addr[2 * i + 1]) << t << " group " << i;
        // Only a number past its place names a range.
        EXPECT_EQ(range != nullptr, std::strcmp(t, "12345::") == 0 || std::strcmp(t, "::1.2.3.256") == 0) << t;
    }
}

// ---- the files ----

constexpr const char *kCreate = "/sys/kernel/debug/kova/create_flows";
constexpr const char *kCreateOld = "/sys/kernel/debug/kova/create_flows_old";

class CreateFlowsFile : public kt::ModuleTest {
protected:
    void TearDown() override {
        if (fd_ >= 0)
            kova_host_close(fd_);
        kt::ModuleTest::TearDown();
    }
    int open_file(const char *path = kCreate) {
        if (fd_ >= 0)
            kova_host_close(fd_);
        fd_ = kova_host_open(path);
        EXPECT_GE(fd_, 0);
        return fd_;
    }
    long write(const std::string &s) { return kova_host_write(fd_, s.data(), s.size()); }
    // The whole usage text of a fresh open, read in pieces of `piece` bytes.
    static std::string usage(size_t piece = 4096) {
        int fd = kova_host_open(kCreate);
        std::string out;
        std::vector<char> buf(piece);
        long n;
        while ((n = kova_host_read(fd, buf.data(), piece)) > 0)
            out.append(buf.data(), size_t(n));
        EXPECT_EQ(n, 0);
        kova_host_close(fd);
        return out;
    }
    static bool has(uint32_t appflowid) { return kova.appflow_map[appflowid] != KOVA_NO_SLOT; }
    static uint32_t slot_of(uint32_t appflowid) { return kova.appflow_map[appflowid]; }
    // The code the read reports for the last creation.
    static bool previous_is(const char *code) {
        return usage().rfind(std::string("Previous call of kovaAPIcreateVoipFlow=") + code + "\n", 0) == 0;
    }
    const std::string def_ = std::string(kKeys) + "rule1=RULE_DROP_PACKET ;";
    int fd_ = -1;
};

// The example of the usage text, as an operator would copy it from a read.
std::string printed_example(const std::string &usage) {
    const size_t open = usage.find("echo \"");
    const size_t close = usage.find("\" > /sys/kernel/debug/kova/create_flows\n");
    EXPECT_NE(open, std::string::npos);
    EXPECT_NE(close, std::string::npos);
    return usage.substr(open + 6, close - open - 6);
}

TEST_F(CreateFlowsFile, UsageTextAndItsExample) {
    const std::string text = usage();
    EXPECT_EQ(text.size(), 1082u);
    EXPECT_EQ(text.rfind("Previous call of kovaAPIcreateVoipFlow=99\n\n\nArgument example to create flow (all "
                         "posible parameters below",
                         0),
              0u);
    EXPECT_NE(text.find("\n\necho \"flow_id=1 \ncrc32=0xccf62423 \n"), std::string::npos);
    EXPECT_NE(text.find("udp_dport=5 \nrule1=RULE_CHANGE_VLAN_1 \npriority=5 \ncfi=0 \nvid=33 \netype=33024 \n\n"
                        "rule2=RULE_REPLACE_SRC_HEADER \n"),
              std::string::npos);
    EXPECT_TRUE(kt::ends_with(text, "\nport=9 \n;\" > /sys/kernel/debug/kova/create_flows\n\nTo create extended "
                                    "flow, just add parent_flow_id=id_num as first parameter\n"));
    EXPECT_EQ(usage(100), text) << "reads in 100-byte pieces continue where the last stopped";

    // Pasted back it creates its flow, and under the CRC the engine computes
    // from the flow's key.
    const std::string example = printed_example(text);
    open_file();
    EXPECT_EQ(write(example), long(example.size()));
    EXPECT_TRUE(kt::ends_with(take_log(), "kovaAPIcreateVoipFlow =0\n"));
    EXPECT_TRUE(previous_is("0"));
    ASSERT_TRUE(has(1));
    kova_flow_key key;
    kova_flow_key_from_entry(kt::shadow_slot(slot_of(1)), &key);
    EXPECT_EQ(kt::le32_at(kt::shadow_slot(slot_of(1)) + KOVA_LUT_OFF_CRC32), kova_flow_key_crc(&key));

    // The grammar takes the second classification; the entry builder refuses it.
    const std::string classify = with(example.substr(0, example.find("rule1")), "flow_id=1", "flow_id=2") +
                                 "rule1=RULE_SECOND_CLASSIFY ;";
    EXPECT_EQ(write(classify), long(classify.size()));
    EXPECT_TRUE(previous_is("3"));
}

TEST_F(CreateFlowsFile, DefinitionInPiecesIsParsedOnceOnTheLastWrite) {
    const std::string &def = def_;
    const size_t half = def.size() / 2;
    open_file();
    EXPECT_EQ(write(def.substr(0, half)), long(half));
    EXPECT_EQ(take_log(), "") << "nothing parsed before the ';'";
    EXPECT_EQ(write(def.substr(half)), long(def.size() - half));
    const std::string log = take_log();
    EXPECT_EQ(log.find("PRINT PARAMS"), log.rfind("PRINT PARAMS"));
    EXPECT_TRUE(kt::ends_with(log, "kovaAPIcreateVoipFlow =0\n")) << log;
    EXPECT_EQ(kova_host_file_pos(fd_), int64_t(def.size()));

    // Two opens keep their own text.
    int other = kova_host_open(kCreate);
    EXPECT_EQ(write(with(def.substr(0, half), "flow_id=1", "flow_id=3")), long(half));
    EXPECT_EQ(kova_host_write(other, "flow_id=4", 9), 9);
    EXPECT_EQ(write(def.substr(half)), long(def.size() - half));
    EXPECT_TRUE(has(3));
    EXPECT_FALSE(has(4));
    take_log();
    kova_host_close(other);
    EXPECT_EQ(take_log(), "create_flows: definition without ';' discarded at close\n");
    // Separators alone after a parsed definition are nothing to discard.
    EXPECT_EQ(write(" \n"), 2);
    open_file();
    EXPECT_EQ(take_log(), "");
}

TEST_F(CreateFlowsFile, FailedWritesCreateNothingAndKeepTheLastCode) {
    // An open that cannot have its state or its mutex fails and keeps nothing.
    const long live = kova_host_alloc_live();
    for (unsigned long nth : {1ul, 2ul}) {
        kova_host_fail_alloc(nth);
        EXPECT_EQ(kova_host_open(kCreate), -12) << nth;
        kova_host_fail_alloc(0);
    }
    EXPECT_EQ(kova_host_alloc_live(), live);
    open_file();
    const std::string &def = def_;
    EXPECT_EQ(write(with(def, "flow_ucc=2", "flow_ucc=x")), -3);
    EXPECT_TRUE(kt::ends_with(take_log(), "flow_ucc parameter error!\n"));
    EXPECT_TRUE(previous_is("99"));

    // A buffer limit of 4095 bytes of text; nothing is stored past it.
    EXPECT_EQ(write(std::string(4000, ' ')), 4000);
    EXPECT_EQ(write(std::string(100, ' ')), -27);
    EXPECT_EQ(take_log(), "Error: Allocating more than kernel buffer size");
    EXPECT_EQ(write(std::string(95, ' ')), 95);
    EXPECT_EQ(write(def), -27);
    open_file();

    // A copy from the user that stops short stores nothing.
    kova_host_user_copy_limit(10);
    EXPECT_EQ(write(def), -14);
    kova_host_user_copy_limit(-1);
    EXPECT_EQ(write(def), long(def.size()));
    EXPECT_TRUE(has(1));
    EXPECT_TRUE(previous_is("0"));

    // A parse error consumes the text: the next write starts a definition.
    EXPECT_EQ(write("flow_id=z ;"), -3);
    EXPECT_EQ(write(with(def, "flow_id=1", "flow_id=9")), long(def.size()));
    EXPECT_TRUE(has(9));
}

// `text` with the value of its token `name`= replaced.
std::string set(const std::string &text, const std::string &name, const std::string &value) {
    const size_t at = (" " + text).find(" " + name + "=");
    EXPECT_NE(at, std::string::npos) << name;
    const size_t from = at + name.size() + 1;
    return text.substr(0, from) + value + text.substr(text.find_first_of(" \n", from));
}

// Each key and rule parameter at both ends of its range and one past: the
// ends parse, a value past them is refused with its range and creates
// nothing, never stored cut to the field's width.
TEST_F(CreateFlowsFile, EveryNumberIsRangeChecked) {
    const std::string qe = "rule1=RULE_FORWARD_TO_QE qos_serviceclass=7 qos_trusted=0 subport=4 priority=3 port=9 ",
                      vlan = "rule1=RULE_ADD_VLAN_1 priority=1 cfi=0 vid=3 etype=8 ",
                      src = "rule1=RULE_REPLACE_SRC_HEADER source_mac_addr=aa:dd:cc:dd:ee:ff "
                            "source_ip_addr=192.168.1.56 source_udp_port=56 ",
                      dst = "rule1=RULE_REPLACE_DST_HEADER destination_mac_addr=aa:dd:cc:dd:ee:ee "
                            "destination_ip_addr=192.168.1.147 destination_udp_port=586 ";
    struct Row {
        std::string rule, name; // rule "": a key
        std::vector<std::string> ends, past;
        std::string range;
    };
    const std::vector<Row> rows = {
        {"", "flow_id", {"-2147483648", "2147483647"}, {"-2147483649", "2147483648"}, "-2147483648..2147483647"},
        {"", "crc32", {"0", "0xffffffff"}, {"0x100000000"}, "0x0..0xffffffff"},
        {"", "flow_ucc", {"0", "40"}, {"41"}, "0..40"},
        {"", "flow_subport", {"0", "4095"}, {"4096"}, "0..4095"},
        {"", "eth_dmac", {"00:00:00:00:00:00", "ff:ff:ff:ff:ff:ff"}, {"02:00:00:4f:03:e8f", "0:100:0:0:0:0"}, "0x0..0xff"},
        {"", "eth_smac", {"0:0:0:0:0:0"}, {"ff:ff:ff:ff:ff:100"}, "0x0..0xff"},
        {"", "vlan_id_1", {"0", "4095"}, {"4096"}, "0..4095"},
        {"", "vlan_id_2", {"0", "4095"}, {"4096"}, "0..4095"},
        {"", "eth_type", {"0", "ffff"}, {"0x10000"}, "0x0..0xffff"},
        {"", "ipv4_src", {"0.0.0.0", "255.255.255.255"}, {"300.1.1.1", "1.1.1.256"}, "0..255"},
        {"", "ipv4_dst", {"::", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"}, {"1::10000"}, "0x0..0xffff"},
        {"", "udp_sport", {"0", "65535"}, {"65536", "99999999999999999999999"}, "0..65535"},
        {"", "udp_dport", {"0", "65535"}, {"65536"}, "0..65535"},
        {qe, "qos_serviceclass", {"0", "7"}, {"8"}, "0..7"},
        {qe, "subport", {"0", "4095"}, {"4096"}, "0..4095"},
        {qe, "priority", {"0", "255"}, {"256"}, "0..255"},
        {qe, "port", {"0", "40"}, {"41"}, "0..40"},
        {"rule1=RULE_FORWARD_TO_CPU priority=1 ", "priority", {"0", "255"}, {"256"}, "0..255"},
        {vlan, "priority", {"0", "7"}, {"18"}, "0..7"},
        {vlan, "cfi", {"0", "1"}, {"2"}, "0..1"},
        {vlan, "vid", {"0", "4095"}, {"4096"}, "0..4095"},
        {vlan, "etype", {"0", "65535"}, {"65536"}, "0..65535"},
        {"rule1=RULE_POLICING weight=1 ", "weight", {"0", "4294967295"}, {"4294967296"}, "0..4294967295"},
        {"rule1=RULE_SET_TOS tos=1 ", "tos", {"0", "255"}, {"256"}, "0..255"},
        {src, "source_mac_addr", {"ff:ff:ff:ff:ff:ff"}, {"aa:dd:cc:dd:ee:fff"}, "0x0..0xff"},
        {src, "source_ip_addr", {"255.255.255.255"}, {"256.0.0.0"}, "0..255"},
        {src, "source_udp_port", {"0", "65535"}, {"65536"}, "0..65535"},
        {dst, "destination_mac_addr", {"00:00:00:00:00:00"}, {"100:0:0:0:0:0"}, "0x0..0xff"},
        {dst, "destination_ip_addr", {"::ffff:1.2.3.4"}, {"::ffff:1.2.3.256"}, "0..255"},
        {dst, "destination_udp_port", {"0", "65535"}, {"65536"}, "0..65535"},
    };
    open_file();
    for (const Row &row : rows) {
        const std::string def = std::string(kKeys) + (row.rule.empty() ? "rule1=RULE_DROP_PACKET " : row.rule) + ";";
        const std::string prefix = row.rule.empty() ? "" : row.rule.substr(6, row.rule.find(' ') - 6) + ": ";
        for (const std::string &v : row.ends)
            EXPECT_EQ(parse(set(def, row.name, v)).result, 0) << row.name << "=" << v;
        for (const std::string &v : row.past) {
            SCOPED_TRACE(row.name + "=" + v);
            const std::string text = set(def, row.name, v);
            EXPECT_EQ(write(text), -3);
            EXPECT_TRUE(kt::ends_with(take_log(), prefix + row.name + ": " + v + " out of range " + row.range + "\n"));
        }
    }
    EXPECT_EQ(std::count_if(std::begin(kova.appflow_map), std::end(kova.appflow_map),
                            [](uint32_t s) { return s != KOVA_NO_SLOT; }),
              0);
    EXPECT_TRUE(previous_is("99"));
}

// Threads writing through one descriptor (pwrite takes no position lock):
// each write is checked and appended whole under the open file's mutex, so
// the text never passes its 4095 bytes and no definition takes in another's.
// Each round starts its writers together on an empty text.
TEST_F(CreateFlowsFile, ConcurrentWritersOnOneOpenFileTakeTurns) {
    constexpr int kThreads = 4, kRounds = 200;
    const auto together = [](auto &&body) {
        std::atomic<bool> go{false};
        std::vector<std::thread> ts;
        for (int t = 0; t < kThreads; ++t)
            ts.emplace_back([&, t] {
                while (!go)
                    std::this_thread::yield();
                body(t);
            });
        go = true;
        for (std::thread &t : ts)
            t.join();
    };
    const std::string big(2100, ' ');
    for (int round = 0; round < 1000; ++round) {
        open_file();
        std::atomic<int> accepted{0}, refused{0};
        together([&](int) {
            const long r = write(big);
            accepted += r == 2100;
            refused += r == -27;
        });
        ASSERT_EQ(accepted.load(), 1) << round;
        ASSERT_EQ(refused.load(), kThreads - 1) << round;
    }
    std::vector<std::string> defs;
    for (uint32_t id = 100; id < 100 + kThreads * kRounds; ++id) {
        char key[40];
        std::snprintf(key, sizeof key, "flow_id=%u crc32=%#x", id, id << 18 | 1);
        defs.push_back(with(def_, "flow_id=1 crc32=0x930481c1", key));
    }
    open_file();
    std::atomic<int> created{0};
    for (int round = 0; round < kRounds; ++round)
        together([&](int t) {
            const std::string &d = defs[size_t(round * kThreads + t)];
            created += write(d) == long(d.size());
        });
    EXPECT_EQ(created.load(), kThreads * kRounds);
    for (uint32_t id = 100; id < 100 + kThreads * kRounds; ++id) {
        ASSERT_TRUE(has(id)) << id;
        EXPECT_EQ(kt::le32_at(kt::shadow_slot(slot_of(id)) + KOVA_LUT_OFF_CRC32), id << 18 | 1) << id;
    }
}

TEST_F(CreateFlowsFile, ExtendedDefinitionHangsOnItsParent) {
    open_file();
    const std::string &def = def_;
    ASSERT_EQ(write(def), long(def.size()));
    // The same key: an extended flow matches what its parent matches.
    const std::string ext = "parent_flow_id=1 " + with(def, "flow_id=1", "flow_id=2");
    ASSERT_EQ(write(ext), long(ext.size()));
    EXPECT_TRUE(kt::ends_with(take_log(), "kovaAPIcreateExtendedFlow =0\n"));
    ASSERT_TRUE(has(1) && has(2));
    EXPECT_EQ(kova.lut_info[slot_of(1)].ext_appflowid, 2u);
    EXPECT_EQ(kt::le64_at(kt::shadow_slot(slot_of(1)) + KOVA_LUT_OFF_NEXT_EXT), kt::shadow_addr(slot_of(2)));
    // The read names the plain creation whatever the last call was.
    EXPECT_TRUE(previous_is("0"));
    // An unknown parent: the API's code, the write succeeds.
    const std::string orphan = with(ext, "parent_flow_id=1", "parent_flow_id=77");
    EXPECT_EQ(write(with(orphan, "flow_id=2", "flow_id=3")), long(orphan.size()));
    EXPECT_EQ(usage().find("kovaAPIcreateVoipFlow=0\n"), std::string::npos);
}

TEST_F(CreateFlowsFile, OldFileCreatesTheFixedTestFlow) {
    open_file(kCreateOld);
    EXPECT_EQ(write("anything"), 8);
    EXPECT_EQ(take_log(), "kovaAPIcreateVoipFlow =0\n");
    EXPECT_EQ(kova.lkup_mask_port[0], 0xFF);

    kova_RULE r[4] = {{&r[1], RULE_UPDATE_PACKET_CNT, {}}, {&r[2], RULE_ADD_VLAN_2, {}}, {&r[3], RULE_REMOVE_VLAN_2, {}},
                      {nullptr, RULE_FORWARD_TO_QE, {}}};
    r[1].param.vlan = {7, 1, 3998, 0x8100};
    r[3].param.forward_qe = {12, 3, 289, 2, {}, KOVA_PORT_UNTRUSTED, 4};
    kova_FLOW f = {};
    f.crc32 = 0x930481C1u;
    std::memcpy(f.eth_dmac, "\x02\x00\x01\x00\x10\x01", 6);
    std::memcpy(f.eth_smac, "\x02\x00\x01\x00\x00\x10", 6);
    f.vlan_id_1 = 700;
    f.eth_type = 0x0800;
    std::memcpy(f.ip_src.v4, "\xc0\xa8\x20\x66", 4);
    std::memcpy(f.ip_dst.v4, "\xc0\xa8\x27\x66", 4);
    f.udp_sport = 1;
    f.udp_dport = 2;
    f.rules = r;
    kova_LUT want = {}; // the builder leaves unused address bytes as it finds them
    int32_t len = KOVA_LUT_SIZE;
    ASSERT_EQ(kovaAPIcreateVoipLutEntry(&f, &want, &len, 0), 0u);
    ASSERT_TRUE(has(1));
    const uint8_t *slot = kt::shadow_slot(slot_of(1));
    // The key and the actions; the links and counters are the table's.
    EXPECT_EQ(std::memcmp(slot, &want, KOVA_LUT_OFF_CRC32 + 4), 0);
    EXPECT_EQ(std::memcmp(slot + KOVA_LUT_OFF_ACTIONS,
                          reinterpret_cast<const uint8_t *>(&want) + KOVA_LUT_OFF_ACTIONS, 252 - KOVA_LUT_OFF_ACTIONS),
              0);
    // The command file's code is its own.
    EXPECT_TRUE(previous_is("99"));
    // A second write finds appflowid 1 taken.
    EXPECT_EQ(write("x"), 1);
    EXPECT_NE(take_log(), "kovaAPIcreateVoipFlow =0\n");
}

} // namespace
