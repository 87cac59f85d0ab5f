// The flow command language: the parser on its own, then "create_flows" as an
// operator uses it.
#include <arpa/inet.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <latch>
#include <sstream>
#include <thread>
#include <tuple>

#include "flow/ctrl.h"
#include "operator/flow_lang.h"
#include "support/module_test.h"

namespace {

using kt::take_log;
using V = std::vector<long long>;

const char kKeys[] =
    "flow_id=1 crc32=0x930481c1 flow_ucc=2 flow_subport=0 eth_dmac=02:00:00:4f:03:e8 "
    "eth_smac=02:00:01:00:00:10 vlan_id_1=3999 vlan_id_2=3988 eth_type=0x800 "
    "ipv4_src=192.168.32.102 ipv4_dst=192.168.39.102 udp_sport=0 udp_dport=5 ";
const std::string
    kQe = "rule1=RULE_FORWARD_TO_QE qos_serviceclass=7 qos_trusted=0 subport=4 priority=3 port=9 ",
    kSrc = "rule1=RULE_REPLACE_SRC_HEADER source_mac_addr=aa:dd:cc:dd:ee:ff "
           "source_ip_addr=192.168.1.56 source_udp_port=56 ",
    kDst = "rule1=RULE_REPLACE_DST_HEADER destination_mac_addr=aa:dd:cc:dd:ee:ee "
           "destination_ip_addr=192.168.1.147 destination_udp_port=586 ",
    kDef = kKeys + std::string("rule1=RULE_DROP_PACKET ;");

std::string with(std::string s, const std::string &from, const std::string &to) {
    return s.replace(s.find(from), from.size(), to);
}

struct Parsed { // not to be copied: def.flow.rules points into def.rules
    int result;
    std::string log;
    kv::lang::Definition def;
};

Parsed parse(std::string text) { // a copy: the parser cuts it into tokens in place
    Parsed p;
    kova_host_log_clear();
    p.result = kv::lang::parse_definition(text.data(), &p.def);
    p.log = take_log();
    return p;
}

V types_of(const kova_FLOW &f) {
    V v;
    for (const kova_RULE *r = f.rules; r && v.size() < 20; r = r->next)
        v.push_back(r->type);
    return v;
}

// A tab belongs to its token and ends a number or word; text after the last
// conversion is ignored; an unknown rule is skipped; a non-rule ends the list.
TEST(FlowLanguage, EveryKeyAndRuleParameterLandsInItsField) {
    const Parsed p =
        parse("\n\n  flow_id=-7 crc32=0xDEADbeef flow_ucc=\t40x flow_subport=4095  "
              "eth_dmac=02:00:00:4f:03:e8 eth_smac=A:bb:cc:dd:ee:1Fz vlan_id_1=3999 vlan_id_2=4095 "
              "eth_type=86dd ipv4_src=fe80:0:0:0:0:0:0:1 ipv4_dst=10.1.2.3.7:x udp_sport=1 "
              "udp_dport=65535\nrule1=RULE_FORWARD_TO_QE qos_serviceclass=7 "
              "qos_trusted=KOVA_PORT_TRUSTED subport=289 priority=3 port=9\n"
              "rule9=RULE_CHANGE_VLAN_2 priority=7 cfi=1 vid=33 etype=0x8100 rule8=RULE_FOO\n"
              "rule2=RULE_REPLACE_SRC_HEADER source_mac_addr=aa:dd:cc:dd:ee:ff "
              "source_ip_addr=1:2:3:4:5:6:7:8 source_udp_port=56\nrule3=RULE_REPLACE_DST_HEADER "
              "destination_mac_addr=01:02:03:04:05:06 destination_ip_addr=10.1.2.3 "
              "destination_udp_port=586\nrule4=RULE_POLICING weight=4294967295 rule5=RULE_SET_TOS "
              "tos=12 rule6=RULE_FORWARD_TO_CPU priority=17 rule7=RULE_UPDATE_PACKET_CNT\tx\n\n; "
              "rule10=RULE_DROP_PACKET");
    ASSERT_EQ(p.result, 0) << p.log;
    // The parsed key printed back (crc32 signed, octets and eth_type reformatted).
    EXPECT_EQ(
        p.log,
        "PRINT PARAMS\nflow_id=-7\ncrc32=-559038737\nflow_ucc=40\nflow_subport=4095\n"
        "eth_dmac=02:00:00:4f:03:e8\neth_smac=0a:bb:cc:dd:ee:1f\nvlan_id_1=3999\nvlan_id_2=4095\n"
        "eth_type=0x86dd\nipv4_src=fe80:0:0:0:0:0:0:1\nipv4_dst=10.1.2.3.7:x\nudp_sport=1\n"
        "udp_dport=65535\n");
    const kova_FLOW &f = p.def.flow;
    const uint16_t ip6[2][8] = {{0xfe80, 0, 0, 0, 0, 0, 0, 1}, {1, 2, 3, 4, 5, 6, 7, 8}};
    const uint8_t ip4[16] = {10, 1, 2, 3}; // unused address bytes are 0
    EXPECT_EQ(std::memcmp(f.ip_src.v6, ip6[0], 16) | std::memcmp(f.ip_dst.v4, ip4, 16), 0);
    EXPECT_FALSE(p.def.extended);
    // The list keeps the order of the text, not of the numbers.
    EXPECT_EQ(types_of(f), (V{RULE_FORWARD_TO_QE, RULE_CHANGE_VLAN_2, RULE_REPLACE_SRC_HEADER,
                              RULE_REPLACE_DST_HEADER, RULE_POLICING, RULE_SET_TOS,
                              RULE_FORWARD_TO_CPU, RULE_UPDATE_PACKET_CNT}));
    const kova_RULE *r = f.rules;
    const auto &qe = r->param.forward_qe;
    EXPECT_EQ(
        (V{qe.qos_serviceclass, qe.qos_trusted, qe.subport, qe.priority, qe.port, qe.action_byte7}),
        (V{7, KOVA_PORT_TRUSTED, 289, 3, 9, 0}));
    const auto &vlan = (r = r->next)->param.vlan;
    EXPECT_EQ((V{vlan.priority, vlan.cfi, vlan.vid, vlan.etype}), (V{7, 1, 33, 0}))
        << "etype is decimal: 0x8100 is 0";
    const auto &rs = (r = r->next)->param.replace_src;
    const auto &rd = (r = r->next)->param.replace_dst;
    EXPECT_EQ(std::memcmp(rs.source_mac_addr, "\xaa\xdd\xcc\xdd\xee\xff", 6) |
                  std::memcmp(rd.destination_mac_addr, "\x01\x02\x03\x04\x05\x06", 6) |
                  std::memcmp(rs.source_ip_addr.v6, ip6[1], 16) |
                  std::memcmp(rd.destination_ip_addr.v4, ip4, 16),
              0);
    EXPECT_EQ(
        (V{rs.source_udp_port, rd.destination_udp_port, r->next->param.policing.weight,
           r->next->next->param.set_tos.tos, r->next->next->next->param.forward_cpu.priority}),
        (V{56, 586, 4294967295, 12, 17}));
    EXPECT_EQ(types_of(parse(kKeys + std::string(";")).def.flow), V{})
        << "no rule is the creation's business";
}

// Each definition's result and the end of its log: bad input, the limits, and
// each number form's ends (accepted) and one past (refused with its range).
TEST(FlowLanguage, EachDefinitionGivesItsResultAndMessage) {
    const std::string keys = kKeys, src = kSrc, qe = kQe;
    std::string xs; // with the keys and the ';', 51 tokens of one character make 65
    for (int i = 0; i < 51; ++i)
        xs += "x ";
    const auto address = [&](int n) { // ipv4_dst's text n characters longer
        return with(keys, "=192.168.39.102", "=192.168.39.102" + std::string(n, 'x'));
    };
    using Case = std::tuple<std::string, int, std::string>; // text, result, the end of the log
    // clang-format off
    std::vector<Case> cases = {
        // A key in another key's place: the tabled message, then what was found.
        {with(keys, "vlan_id_1=3999", "vlan_id_2=3999"), -3, "vlan_id_1 parameter error!\n"
         "create_flows: expected vlan_id_1= at token 6, found \"vlan_id_2=3999\""},
        {with(keys, "crc32=0x930481c1", "flow_ucc=\t" + std::string(50, '2')), -3,
         "crc32 parameter error!\ncreate_flows: expected crc32= at token 1, found "
         "\"flow_ucc=\\x09" + std::string(38, '2') + "...\""},
        {with(keys, "vlan_id_2=3988", "vlan_id_2"), -3, "vlan_id_2 parameter error!"},
        {with(qe, "=0 ", "=TRUSTED "), -3, "RULE_FORWARD_TO_QE: qos_trusted parameter error!"},
        {with(keys, "ipv4_src=192.168.32.102", "ipv4_src=host"), -2, "Wrong IP address format"},
        // parent_flow_id anywhere makes the definition extended; then it must come first.
        {keys + "rule1=RULE_DROP_PACKET parent_flow_id=5 ;", -3, "parent_flow_id parameter error!\n"
         "create_flows: expected parent_flow_id= at token 0, found \"flow_id=1\""},
        {with(qe, "port=9", ";"), -3, "RULE_FORWARD_TO_QE: port parameter error!"},
        {with(src, "192.168.1.56", "none"), -2,
         "RULE_REPLACE_SRC_HEADER: Wrong IP address format"},
        {with(src, "192.168.1.56", "1:2"), -3,
         "RULE_REPLACE_SRC_HEADER: source_ip parameter error!"},
        // The limits: just inside accepted, past them refused, never truncated.
        {"rule1=RULE_DROP_PACKET rule2=RULE_DROP_PACKET ", -3,
         "create_flows: RULE_DROP_PACKET given twice"},
        {with(qe, "=0 ", "=" + std::string(64, 'T') + " "), -3,
         "RULE_FORWARD_TO_QE: qos_trusted longer than 63 characters"},
        {with(src, "192.168.1.56", "1.1.1.1" + std::string(57, '0')), -3,
         "RULE_REPLACE_SRC_HEADER: source_ip_addr longer than 63 characters"},
        {address(31), 0, ""},
        {address(32), -3, "ipv4_dst: address text longer than 45 characters"},
        {"rule1=" + std::string(121, 'R'), 0, ""},
        {"rule1=" + std::string(122, 'R'), -3, "create_flows: token longer than 127 characters"},
        {keys + xs.substr(2), 0, ""}, {keys + xs, -3, "create_flows: more than 64 tokens"},
    };
    // Ends; one past (the highest plus one where not given); the range where
    // not lo..hi; a malformed value.
    struct Range {
        std::string rule, name, lo, hi; // rule "": a key
        const char *bad = nullptr;
        std::string past = "", range = "";
    };
    const char *mac = "0x0..0xff", *zeros = "0:0:0:0:0:0", *ones = "ff:ff:ff:ff:ff:ff";
    const Range ranges[] = {
        {"", "flow_ucc", "0", "40", "-2"},
        {"", "udp_sport", "0", "65535", "+1", "65536 99999999999999999999999"},
        {"", "eth_type", "0", "ffff", "0xg", "0x10000", "0x0..0xffff"}, // a prefix alone
        {"", "eth_dmac", zeros, ones, "02:00:00:4f:03", "02:00:00:4f:03:e8f 0:100:0:0:0:0", mac},
        {"", "ipv4_src", "0.0.0.0", "255.255.255.255", "fe80::1::2", "300.1.1.1 1.1.1.256",
         "0..255"},
        {"", "ipv4_dst", "::", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "1.2.3", "1::10000",
         "0x0..0xffff"},
        {kSrc, "source_mac_addr", zeros, ones, "aa:dd:cc:dd:ee", "aa:dd:cc:dd:ee:fff", mac},
        {kDst, "destination_ip_addr", "::", "::ffff:1.2.3.4", " ", "::ffff:1.2.3.256", "0..255"},
    };
    // clang-format on
    for (const Range &r : ranges) {
        const std::string def = kKeys + (r.rule.empty() ? "rule1=RULE_DROP_PACKET " : r.rule) + ";";
        const std::string prefix =
            r.rule.empty() ? "" : r.rule.substr(6, r.rule.find(' ') - 6) + ": ";
        const auto set = [&](const std::string &value) { // the value of the token name= replaced
            const size_t from = (" " + def).find(" " + r.name + "=") + r.name.size() + 1;
            return def.substr(0, from) + value + def.substr(def.find_first_of(" \n", from));
        };
        std::string past = r.past;
        if (past.empty() && std::isdigit(r.hi.back()))
            past = std::to_string(std::stoll(r.hi) + 1);
        const std::string range = r.range.empty() ? r.lo + ".." + r.hi : r.range;
        for (const std::string &v : {r.lo, r.hi})
            cases.push_back({set(v), 0, ""});
        std::istringstream values(past);
        for (std::string v; values >> v;)
            cases.push_back({set(v), -3, prefix + r.name + ": " + v + " out of range " + range});
        if (r.bad)
            cases.push_back({set(r.bad), -3, prefix + r.name + " parameter error!"});
    }
    for (const auto &[def, result, message] : cases) {
        const std::string text = (def.rfind("rule", 0) == 0 ? keys + def : def) + " ;";
        SCOPED_TRACE(text);
        const Parsed p = parse(text);
        EXPECT_EQ(p.result, result) << p.log;
        EXPECT_TRUE(p.log.ends_with(message.empty() ? "" : message + "\n")) << p.log;
    }
}

// IPv6 text is what the C library's inet_pton takes, read as it reads it.
TEST(FlowLanguage, Ipv6TextAsInetPtonReadsIt) {
    // clang-format off
    const char *const texts[] = {
        "::", "1::", "fe80::1", "1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7::", "ABCD:ef01::0",
        "::ffff:1.2.3.4", "1:2:3:4:5:6:255.255.255.255", "::1:2.3.4.5", /* refused: */ "1::2::3",
        ":::", ":1::", "1:", ":1", "1::2:", "1:2:3:4:5:6:7:8:9", "12345::", "00001::",
        "1:2:3:4:5:6:7", "1:2:3:4::5:6:7:8", "::1.2.3", "::01.2.3.4", "::1.2.3.256", "::1.2.3.4:5",
        "1:2:3:4:5:6:7:1.2.3.4", "0x1::", "1::g", "::1.2..3", "1::2 "};
    // clang-format on
    for (const char *t : texts) {
        SCOPED_TRACE(t);
        in6_addr want;
        const bool ok = inet_pton(AF_INET6, t, &want) == 1;
        kova_IPADDR got;
        const char *range = nullptr;
        EXPECT_EQ(kv::lang::convert_address(t, &got, &range), ok ? 0 : kv::lang::kBadParameter);
        for (int i = 0; ok && i < 8; ++i)
            EXPECT_EQ(got.v6[i], want.s6_addr[2 * i] << 8 | want.s6_addr[2 * i + 1]) << i;
    }
}

// Unload removes the files first (debugfs waits for calls in progress), then the
// tables: a write that has parsed and waits for the table lock ends against live tables.
TEST(ModuleLoad, UnloadRemovesTheFilesBeforeReleasingTheTables) {
    const long allocs = kova_host_alloc_live();
    ASSERT_EQ(kova_host_load(), 0);
    const int fd = kova_host_open("/sys/kernel/debug/kova/create_flows");
    const std::string def = kDef;
    kova_host_log_clear();
    ASSERT_EQ(acquire_ucode_lock("test", __LINE__), 0);
    long written = 0;
    std::thread writer([&] { written = kova_host_write(fd, def.data(), def.size()); });
    while (kt::log_text().find("udp_dport=5\n") == std::string::npos)
        std::this_thread::yield();
    std::thread unloader(kova_host_unload);
    while (kova_host_path_exists("/sys/kernel/debug/kova"))
        std::this_thread::yield();
    release_ucode_lock("test", __LINE__);
    writer.join();
    unloader.join();
    EXPECT_EQ((V{written, kova_host_close(fd), kova_host_alloc_live()}),
              (V{long(def.size()), 0, allocs}));
    EXPECT_TRUE(
        take_log().ends_with("udp_dport=5\n<1>kovaAPI cleanup\nkovaAPIcreateVoipFlow =0\n"));
}

constexpr const char *kCreate = "/sys/kernel/debug/kova/create_flows";

class CreateFlowsFile : public kt::ModuleTest {
protected:
    void TearDown() override {
        kova_host_close(fd_);
        kt::ModuleTest::TearDown();
    }
    void open_file() {
        kova_host_close(fd_);
        fd_ = kova_host_open(kCreate);
    }
    long write(const std::string &s) { return kova_host_write(fd_, s.data(), s.size()); }
    static std::string usage() { // as a fresh open reads it
        const int fd = kova_host_open(kCreate);
        std::string out(8192, '\0');
        out.resize(size_t(kova_host_read(fd, out.data(), out.size())));
        kova_host_close(fd);
        return out;
    }
    static bool has(uint32_t appflowid) { return kova.appflow_map[appflowid] != KOVA_NO_SLOT; }
    static const uint8_t *entry_of(uint32_t appflowid) {
        return kt::shadow_slot(kova.appflow_map[appflowid]);
    }
    const std::string def_ = kDef;
    int fd_ = -1;
};

TEST_F(CreateFlowsFile, UsageTextAndItsExample) {
    const std::string text = usage();
    EXPECT_EQ(text.size(), 1082u);
    EXPECT_TRUE(text.starts_with("Previous call of kovaAPIcreateVoipFlow=99\n\n\nArgument example "
                                 "to create flow (all posible parameters below"));
    EXPECT_TRUE(text.ends_with("\nport=9 \n;\" > /sys/kernel/debug/kova/create_flows\n\nTo "
                               "create extended flow, just add parent_flow_id=id_num as "
                               "first parameter\n"));
    const size_t open = text.find("echo \"") + 6; // pasted back, the example creates its flow
    const std::string example = text.substr(open, text.find("\" > /sys", open) - open);
    open_file();
    EXPECT_EQ(
        (V{write(example), usage().starts_with("Previous call of kovaAPIcreateVoipFlow=0\n")}),
        (V{long(example.size()), 1}));
}

// Text is kept per open file and parsed whole by the write that brings the
// ';'; at most 4095 bytes; a short user copy stores nothing.
TEST_F(CreateFlowsFile, TextPerOpenFileAndItsLimits) {
    const size_t half = def_.size() / 2;
    open_file();
    const int other = kova_host_open(kCreate);
    EXPECT_EQ(write(def_.substr(0, half)), long(half));
    EXPECT_EQ(kova_host_write(other, "flow_id=4", 9), 9);
    EXPECT_EQ(take_log(), "") << "nothing parsed before the ';'";
    EXPECT_EQ(write(def_.substr(half)), long(def_.size() - half));
    const std::string log = take_log();
    EXPECT_TRUE(log.starts_with("PRINT PARAMS") && log.ends_with("=5\nkovaAPIcreateVoipFlow =0\n"));
    EXPECT_FALSE(has(4));
    kova_host_close(other);
    EXPECT_EQ(take_log(), "create_flows: definition without ';' discarded at close\n");
    open_file();
    EXPECT_EQ((V{write(std::string(4000, ' ')), write(std::string(100, ' '))}), (V{4000, -27}));
    EXPECT_EQ(take_log(), "Error: Allocating more than kernel buffer size");
    open_file();
    kova_host_user_copy_limit(10);
    EXPECT_EQ(write(def_), -14);
    kova_host_user_copy_limit(-1);
    EXPECT_EQ((V{write(with(def_, "flow_id=1", "flow_id=3")), has(3)}), (V{long(def_.size()), 1}));
}

// Threads writing through one descriptor (pwrite takes no position lock): the
// open file's mutex keeps each definition whole.
TEST_F(CreateFlowsFile, ConcurrentWritersOnOneOpenFileTakeTurns) {
    constexpr int kThreads = 4, kRounds = 200;
    open_file();
    std::atomic<int> created{0};
    for (int round = 0; round < kRounds; ++round) {
        std::latch start(kThreads);
        std::vector<std::jthread> ts;
        for (int t = 0; t < kThreads; ++t)
            ts.emplace_back([&, id = 100 + round * kThreads + t] {
                char key[40];
                std::snprintf(key, sizeof key, "flow_id=%d crc32=%#x", id, id << 18 | 1);
                const std::string d = with(def_, "flow_id=1 crc32=0x930481c1", key);
                start.arrive_and_wait();
                created += write(d) == long(d.size());
            });
    }
    EXPECT_EQ(created.load(), kThreads * kRounds);
    for (uint32_t id = 100; id < 100 + kThreads * kRounds; ++id)
        EXPECT_TRUE(has(id) && kt::le32_at(entry_of(id) + KOVA_LUT_OFF_CRC32) == (id << 18 | 1))
            << id;
}

} // namespace
