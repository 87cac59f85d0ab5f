// The bytes of table entries as the engine reads them: actions, refusals, dumps, CRC-32.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "lib/bytes.h"
#include "support/kova_test.h"

namespace kv::crc {
extern uint32_t table[256];
extern bool tableInitialised;
} // namespace kv::crc

namespace {

using namespace kt;

using Bytes = std::vector<uint8_t>;

kova_RULE rule(uint32_t type, uint8_t fill = 0) {
    kova_RULE r{};
    std::memset(&r.param, fill, sizeof r.param);
    r.type = type;
    return r;
}

// The result, length and 512 bytes of a build of `rules` into a buffer of `fill` bytes.
// clang-format off
struct Built { uint32_t rc; int32_t length; Bytes bytes; };
// clang-format on
Built build(uint16_t eth_type, std::vector<kova_RULE> rules, int32_t capacity = 256,
            uint8_t fill = 0) {
    kova_FLOW f;
    std::memset(&f, 0, sizeof f);
    f.eth_type = eth_type, f.crc32 = 0x01020304, f.flow_ucc = 3;
    for (size_t i = 0; i + 1 < rules.size(); ++i)
        rules[i].next = &rules[i + 1];
    f.rules = rules.empty() ? nullptr : &rules[0];
    alignas(8) uint8_t buf[512];
    std::memset(buf, fill, sizeof buf);
    Built b{0, capacity, {}};
    b.rc = kovaAPIcreateVoipLutEntry(&f, reinterpret_cast<kova_LUT *>(buf), &b.length, 0x3000000);
    b.bytes.assign(buf, buf + 512);
    return b;
}
bool zero_from(const Bytes &b, size_t from) {
    return std::all_of(b.begin() + from, b.end(), [](uint8_t x) { return !x; });
}

// Each encoding as the last rule (last bit set); the last case is also followed
// by another rule. IPv6 groups go as words g1:g2, g3:g4, g5:g6, g7:g0, each little-endian.
TEST(Entry, EachActionEncodingAloneAndFollowed) {
    const uint16_t v6[8] = {0x2001, 0x0DB8, 0x0102, 0x0304, 0x0506, 0x0708, 0x090A, 0x0B0C};
    struct Case { // the bytes as the last rule
        uint16_t eth_type;
        kova_RULE r;
        Bytes bytes;
    };
    std::vector<Case> cases;
    for (uint32_t t : {RULE_DROP_PACKET, RULE_REMOVE_VLAN_1, RULE_UPDATE_TIMESTAMP,
                       RULE_UPDATE_PACKET_CNT, RULE_REMOVE_VLAN_2})
        cases.push_back({0x0800, rule(t), {uint8_t(0x80 | t), 0, 0, 0}});
    kova_RULE r = rule(RULE_FORWARD_TO_CPU);
    r.param.forward_cpu.priority = 5, cases.push_back({0x0800, r, {0x82, 0, 0, 5}});
    r = rule(RULE_SET_TOS), r.param.set_tos.tos = 0xB8;
    cases.push_back({0x0800, r, {0x91, 0, 0, 0xB8}});
    r = rule(RULE_POLICING), r.param.policing.weight = 0x11223344;
    cases.push_back({0x0800, r, {0x87, 0, 0, 0, 0x44, 0x33, 0x22, 0x11}});
    r = rule(RULE_FORWARD_TO_QE); // 3 bits of the class count
    r.param.forward_qe = {7, 3, 0x1234, 0x0D, {}, KOVA_PORT_TRUSTED, 0x5A};
    cases.push_back({0x0800, r, {0x81, 0x0D, 3, 0x34, 0x12, 7, 0, 0x5A}});
    r.param.forward_qe.qos_trusted = KOVA_PORT_UNTRUSTED;
    r.param.forward_qe.qos_serviceclass = 0xFA;
    for (uint8_t port : {35, 36, 40, 41}) { // aggregation groups 36..40 carry no subport
        const bool lag = port != 35 && port != 41;
        const uint8_t lo = lag ? 0 : 0x34, hi = lag ? 0 : 0x12;
        r.param.forward_qe.port = port;
        cases.push_back({0x0800, r, {0x81, 0x02, 3, lo, hi, port, 0, 0x5A}});
    }
    r = rule(RULE_ADD_VLAN_1), r.param.vlan = {3, 1, 100, 0x8100};
    cases.push_back({0x0800, r, {0x83, 0, 0, 0, 0x81, 0x00, 0x70, 0x64}});
    r.param.vlan = {9, 2, 0xF001, 0x88A8}; // priority, cfi and vid masked
    for (uint32_t t : {RULE_ADD_VLAN_1, RULE_CHANGE_VLAN_1, RULE_ADD_VLAN_2, RULE_CHANGE_VLAN_2})
        r.type = t, cases.push_back({0x0800, r, {uint8_t(0x80 | t), 0, 0, 0, 0x88, 0xA8, 0x20, 1}});
    // Replacements: the address takes the flow's format, not the rule's.
    kova_RULE src = rule(RULE_REPLACE_SRC_HEADER), dst = rule(RULE_REPLACE_DST_HEADER);
    const uint8_t mac[6] = {1, 2, 3, 4, 5, 6}, ip4[16] = {192, 168, 1, 2, 0xEE},
                  ip4d[16] = {10, 20, 30, 40, 0xEE};
    std::memcpy(src.param.replace_src.source_mac_addr, mac, 6);
    std::memcpy(dst.param.replace_dst.destination_mac_addr, mac, 6);
    std::memcpy(src.param.replace_src.source_ip_addr.v4, ip4, 16);
    std::memcpy(dst.param.replace_dst.destination_ip_addr.v4, ip4d, 16);
    src.param.replace_src.source_udp_port = 0x1F90;
    dst.param.replace_dst.destination_udp_port = 0x35;
    // clang-format off
    const Bytes s4 = {0x88, 0, 2, 1, 6, 5, 4, 3, 192, 168, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                      0x90, 0x1F, 0, 0},
                d4 = {0x89, 0, 0, 0, 4, 3, 2, 1, 6, 5, 0x35, 0, 10, 20, 30, 40, 0, 0, 0, 0, 0, 0,
                      0, 0, 0, 0, 0, 0},
                s6 = {0x88, 0, 2, 1, 6, 5, 4, 3, 0x02, 0x01, 0xB8, 0x0D, 0x06, 0x05, 0x04, 0x03,
                      0x0A, 0x09, 0x08, 0x07, 0x01, 0x20, 0x0C, 0x0B, 0x90, 0x1F, 0, 0};
    // clang-format on
    cases.push_back({0x8100, src, s4}), cases.push_back({0x0800, dst, d4});
    std::memcpy(src.param.replace_src.source_ip_addr.v6, v6, 16);
    cases.push_back({0x86DD, src, s6}); // both replacements write an address alike

    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.r.type << " eth " << c.eth_type);
        Bytes want = c.bytes;
        std::vector<kova_RULE> rules = {c.r};
        if (&c == &cases.back()) {
            rules.push_back(rule(RULE_REMOVE_VLAN_2));
            want[0] &= 0x7F;
            want.insert(want.end(), {0x80 | RULE_REMOVE_VLAN_2, 0, 0, 0});
        }
        const Built b = build(c.eth_type, rules);
        ASSERT_EQ(b.rc, KOVA_OK);
        EXPECT_EQ(b.length, int32_t(116 + want.size()));
        EXPECT_EQ(Bytes(b.bytes.begin() + 116, b.bytes.begin() + 116 + want.size()), want);
        EXPECT_TRUE(zero_from(b.bytes, 116 + want.size()));
    }
}

// A refused list leaves the key and state word and nothing from `end` on; the
// last action that fits is not marked last. A buffer under 256 bytes stays.
TEST(Entry, Refusals) {
    const struct {
        std::vector<uint32_t> types;
        uint32_t rc;
        size_t end, last_fit, code;
    } cases[] = {
        // clang-format off
        {{}, KOVA_ERR_NO_RULES, 104, 0, 0}, {{0, 0, 0, 0, 0, 0, 0}, KOVA_ERR_TOO_MANY_RULES, 104},
        {{10}, KOVA_ERR_UNKNOWN_RULE, 116, 0, 0}, {{19}, KOVA_ERR_UNKNOWN_RULE, 116, 0, 0},
        {{RULE_SECOND_CLASSIFY}, KOVA_ERR_NOT_SUPPORTED, 116, 0, 0},
        // the walk stops at the bad one; a fifth replace would pass byte 251
        {{RULE_SET_TOS, 10, 0}, KOVA_ERR_UNKNOWN_RULE, 120, 116, RULE_SET_TOS},
        {{RULE_SET_TOS, RULE_TEST}, KOVA_ERR_NOT_SUPPORTED, 120, 116, RULE_SET_TOS},
        {{8, 9, 8, 9, 8}, KOVA_ERR_TOO_MANY_RULES, 228, 200, 9},
        {{8, 9, 8, 9, 1, 8}, KOVA_ERR_TOO_MANY_RULES, 236, 228, 1}, // a replace after 120 bytes
        // clang-format on
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        std::vector<kova_RULE> rules;
        for (uint32_t t : c.types) { // every parameter byte non-zero in the long lists
            rules.push_back(rule(t, c.types.size() > 4 ? 0xFF : 0));
            if (t == RULE_FORWARD_TO_QE)
                rules.back().param.forward_qe.qos_trusted = KOVA_PORT_TRUSTED;
        }
        const Built b = build(0x86DD, rules);
        EXPECT_EQ(b.rc, c.rc);
        EXPECT_EQ(b.length, 0);
        EXPECT_EQ(Bytes(b.bytes.begin(), b.bytes.begin() + 4), (Bytes{3, 0, 0, 0}));
        EXPECT_EQ(Bytes(b.bytes.begin() + 64, b.bytes.begin() + 68), (Bytes{4, 3, 2, 1}));
        EXPECT_EQ(b.bytes[103], 3);
        EXPECT_TRUE(!c.last_fit || b.bytes[c.last_fit] == c.code);
        EXPECT_TRUE(zero_from(b.bytes, c.end));
    }
    const Built fits = build(
        0x86DD, {rule(8, 0xFF), rule(9, 0xFF), rule(8, 0xFF), rule(9, 0xFF), rule(7), rule(14)});
    EXPECT_EQ(fits.length, 244) << "four replaces and two long rules fit";
    EXPECT_EQ(fits.bytes[236], 0x80 | RULE_ADD_VLAN_2);
    kova_RULE qe = rule(RULE_FORWARD_TO_QE);
    qe.param.forward_qe.qos_trusted = 2, take_log();
    EXPECT_EQ(build(0x0800, {qe}).rc, KOVA_ERR_NOT_SUPPORTED);
    EXPECT_EQ(take_log(), "kovaAPI: Unknown option for parameter qos_trusted\n");
    for (int32_t capacity : {255, -1}) {
        const Built u = build(0x0800, {rule(0)}, capacity, 0xA5);
        EXPECT_TRUE(u.rc == KOVA_ERR_INVALID && u.length == capacity && u.bytes == Bytes(512, 0xA5))
            << capacity;
    }
}

const std::string kCut = KOVA_DUMP_CUT_LINE;
constexpr uint32_t kCrcA = 0x0A5C0001, kCrcB = 0x0A5C8003; // bucket 0x297
constexpr uint32_t kCrcV6 = 0x12340005;                    // bucket 0x48d

// Flow 3's ethertype keeps no addresses. UCCs 36..40 are aggregation ports,
// numbered down from 31. IPv6 addresses are 16-bit groups in host order.
// clang-format off
struct FlowSpec { uint32_t crc; uint16_t ucc, vlan1, vlan2, eth_type, sport, dport;
                  const char *dmac, *smac, *src, *dst; };
const FlowSpec kFlows[] = {
    {kCrcA, 3, 100, 4095, 0x0800, 5060, 5, "\x00\x11\x22\x33\x44\x55", "\x66\x77\x88\x99\xaa\xbb",
     "\xc0\xa8\x20\x66", "\x0a\x00\x00\x07"},
    {kCrcA, 41, 0, 7, 0x0806, 65535, 80, "\x02\x00\x00\x00\x00\x02", "\x0a\x0b\x0c\x0d\x0e\x0f",
     "\xac\x10\x05\x09", "\x01\x02\x03\x04"},
    {kCrcB, 35, 1, 2, 0x8100, 77, 88, "\xaa\xbb\xcc\xdd\xee\xff", "\x01\x02\x03\x04\x05\x06",
     "\x09\x09\x09\x09", "\x08\x08\x08\x08"},
    {kCrcV6, 40, 0, 0, 0x86DD, 1, 2, "\x33\x33\x00\x00\x00\x01", "\x00\x00\x5e\x00\x53\x01",
     "\x01\x20\xb8\x0d\x02\x01\x04\x03\x06\x05\x08\x07\x0a\x09\x0c\x0b",
     "\x80\xfe\x01\x00\x02\x00\x03\x00\x04\x00\x05\x00\x06\x00\x07\x00"},
};
// clang-format on

Flow flow(int n) { // golden flow 1 to 5
    const FlowSpec &g = kFlows[n - 1];
    const size_t ip = g.eth_type == 0x86DD ? 16 : 4;
    Flow fl(g.crc, g.ucc);
    std::memcpy(fl.f.eth_dmac, g.dmac, 6), std::memcpy(fl.f.eth_smac, g.smac, 6);
    std::memcpy(fl.f.ip_src.v6, g.src, ip), std::memcpy(fl.f.ip_dst.v6, g.dst, ip);
    fl.f.vlan_id_1 = g.vlan1, fl.f.vlan_id_2 = g.vlan2, fl.f.eth_type = g.eth_type;
    fl.f.udp_sport = g.sport, fl.f.udp_dport = g.dport;
    return fl;
}

// The key columns of each flow, written out from the line format.
const std::string kKey[] = {
    "CRC32 0x0a5c0001, SPORT 03, DMAC 00:11:22:33:44:55, SMAC 66:77:88:99:aa:bb, VLAN1:  100, "
    "VLAN2: 4095, "
    "ETYPE: 0x0800, DIP: 010.000.000.007, SIP: 192.168.032.102, SPORT:  5060, DPORT:     5, ",
    "CRC32 0x0a5c0001, SPORT 29, DMAC 02:00:00:00:00:02, SMAC 0a:0b:0c:0d:0e:0f, VLAN1:    0, "
    "VLAN2:    7, "
    "ETYPE: 0x0806, DIP: 001.002.003.004, SIP: 172.016.005.009, SPORT: 65535, DPORT:    80, ",
    "CRC32 0x0a5c8003, SPORT 23, DMAC aa:bb:cc:dd:ee:ff, SMAC 01:02:03:04:05:06, VLAN1:    1, "
    "VLAN2:    2, "
    "ETYPE: 0x8100, DIP: 000.000.000.000, SIP: 000.000.000.000, SPORT:     0, DPORT:     0, ",
    // IPv6 keeps the ports little-endian as one word (dport first), and the
    // dump still reads them big-endian: 2 and 1 show as 512 and 256.
    "CRC32 0x12340005, SPORT 1b, DMAC 33:33:00:00:00:01, SMAC 00:00:5e:00:53:01, VLAN1:    0, "
    "VLAN2:    0, ETYPE: 0x86dd, DIP: fe80:0001:0002:0003:0004:0005:0006:0007, "
    "SIP: 2001:0db8:0102:0304:0506:0708:090a:0b0c, SPORT:   512, DPORT:   256, ",
};

// Bucket 0x297 in walk order, then the IPv6 flow's: appflowid, indent, kind, key.
// clang-format off
const struct Line { uint32_t id, indent; bool extended; int key; } kGolden[] = {
    {1, 0, false, 0}, {11, 2, true, 0}, {12, 2, true, 0}, {2, 8, false, 1}, {21, 10, true, 1},
    {3, 4, false, 2}, {31, 6, true, 2}, {5, 0, false, 3}};
// clang-format on

const char kCpuSummary[] =
    "\nAll LUTs:         4\nExtended LUTs:    4\nCRC12 duplicates: 1\nCRC32 duplicates: 1\n"
    "Delete branch1 executed: 21\nDelete branch2 executed: 22\nDelete branch3 executed: 23\n"
    "Delete branch4 executed: 24\nDelete branch5 executed: 25\nDelete branch6 executed: 26\n"
    "Delete branch7 executed: 27\nDelete branch8 executed: 28\nCreate branch1 executed: 31\n"
    "Create branch1.1 executed: 32\nCreate branch1.2 executed: 33\n"
    "Create branch2 executed: 34\n";
const char kQeSummary[] = "QE All LUTs:         4\nQE Extended LUTs:    4\nQE CRC12 duplicates: 1\n"
                          "QE CRC32 duplicates: 1\n";

uint32_t slot_of(uint32_t appflowid) { return kova.appflow_map[appflowid]; }

// One copy's golden text: indent, kind and address padded to column 12, key, counters.
std::string golden_lines(uint8_t *(*slot_addr)(uint32_t)) {
    std::string s;
    for (const Line &l : kGolden) {
        char lead[64], counters[96];
        snprintf(lead, sizeof lead, "%*s%s at 0x%16llx %*s", int(l.indent), "",
                 l.extended ? "Exten" : "Entry",
                 (unsigned long long)uintptr_t(slot_addr(slot_of(l.id))), int(12 - l.indent), "");
        snprintf(counters, sizeof counters,
                 "FLOW CNT: 0x%08x, TIMESTAMP: 0x%08x, PACKET CNT: 0x%08x, \n", 0xF0000000u + l.id,
                 0x7000u + l.id, 0xA0u + l.id);
        s += lead + kKey[l.key] + counters;
    }
    return s;
}

// A dump into a buffer of `size` bytes; the guard bytes after it must stay.
// clang-format off
struct Dumped { std::string text; kova_DUMP_BUF out; };
// clang-format on

Dumped dump_into(uint32_t (*dump)(uint8_t, kova_DUMP_BUF *), uint8_t verbose, size_t size) {
    std::vector<char> mem(size + 16, 'Z');
    kova_DUMP_BUF out{mem.data(), size, 0, 7};
    EXPECT_EQ(dump(verbose, &out), KOVA_OK);
    EXPECT_EQ(std::string(mem.data() + size, 16), std::string(16, 'Z'))
        << "written past the buffer";
    EXPECT_LT(out.len, size);
    EXPECT_EQ(mem[out.len], '\0');
    return {std::string(mem.data(), out.len), out};
}
Dumped cpu(uint8_t v, size_t size = 1 << 20) { return dump_into(kovaAPIDumpFlowsCPU2, v, size); }
Dumped qe(uint8_t v, size_t size = 1 << 20) { return dump_into(kovaAPIDumpFlowsQE2, v, size); }

class Dump : public StoreTest {
protected:
    // Flow 1 heads bucket 0x297 with chain 11, 12; flow 2 shares its CRC32, with
    // 21; flow 3 has another CRC32, with 31; flow 5 is alone.
    void SetUp() override {
        StoreTest::SetUp();
        for (const Line &l : kGolden) { // an extended flow's parent is the line before
            Flow f = flow(l.key + 1);
            ASSERT_EQ(l.extended ? kovaAPIcreateExtendedFlow(f.get(), (&l - 1)->id, l.id)
                                 : kovaAPIcreateVoipFlow(f.get(), l.id),
                      KOVA_OK)
                << l.id << take_log();
        }
        for (const Line &l : kGolden) // counter words that make each line its own
            for (uint8_t *e : {shadow_slot(slot_of(l.id)), engine_slot(slot_of(l.id))})
                kv::bytes::put_le32(e + KOVA_LUT_OFF_FLOW_CNT, 0xF0000000u + l.id),
                    kv::bytes::put_le32(e + KOVA_LUT_OFF_TIMESTAMP, 0x7000u + l.id),
                    kv::bytes::put_le32(e + KOVA_LUT_OFF_PACKET_CNT, 0xA0u + l.id);
        for (uint32_t i = 0; i < 8; ++i)
            kova.delete_branch_count[i] = 21 + i, kova.create_branch_count[i % 4] = 31 + i % 4;
        take_log();
    }
};

// Both copies, into a buffer and the log, verbose and not, each with its own counters.
TEST_F(Dump, GoldenTableInBothCopiesAndBothForms) {
    const Dumped c = cpu(1), q = qe(1);
    EXPECT_EQ(c.text, golden_lines(shadow_slot) + kCpuSummary);
    EXPECT_EQ(q.text, golden_lines(engine_slot) + kQeSummary);
    EXPECT_EQ(c.out.cut + q.out.cut, 0u);
    EXPECT_EQ(take_log(), "") << "a dump into a buffer logs nothing";
    EXPECT_EQ(cpu(0).text, kCpuSummary);
    EXPECT_EQ(qe(0).text, kQeSummary);
    EXPECT_EQ(kovaAPIDumpFlowsCPU(1), KOVA_OK);
    EXPECT_EQ(take_log(), c.text);
    EXPECT_EQ(kovaAPIDumpFlowsQE(1), KOVA_OK);
    EXPECT_EQ(take_log(), q.text);

    kv::bytes::put_le32(engine_slot(slot_of(5)) + KOVA_LUT_OFF_PACKET_CNT, 0x12345678);
    EXPECT_NE(qe(1).text.find("PACKET CNT: 0x12345678, \n"), std::string::npos);
    EXPECT_EQ(cpu(1).text, c.text);
}

TEST_F(Dump, SmallBuffers) {
    const std::string full = cpu(0).text;
    // The whole text and its NUL fit: nothing is cut, no room kept back.
    const Dumped exact = cpu(0, full.size() + 1 + kCut.size());
    EXPECT_EQ(exact.out.cut, 0u);
    EXPECT_EQ(exact.text, full);
    // One byte less: the last line goes, the cut line comes.
    EXPECT_EQ(cpu(0, full.size() + kCut.size()).text,
              full.substr(0, full.size() - std::strlen("Create branch2 executed: 34\n")) + kCut);
    // Inside the entries: the lines that fit with the cut line, no counts.
    const std::string lines = qe(1).text;
    const size_t keep = lines.find('\n', lines.size() / 2) + 1;
    EXPECT_EQ(qe(1, keep + kCut.size() + 1).text, lines.substr(0, keep) + kCut);
    // Too small for the cut line itself: left empty.
    for (size_t size : {size_t(1), kCut.size(), kCut.size() + 1}) {
        const Dumped d = qe(1, size);
        EXPECT_EQ(d.out.cut, 1u);
        EXPECT_EQ(d.text, size > kCut.size() ? kCut : "") << size;
    }
    kova_DUMP_BUF none{nullptr, 0, 0, 0};
    EXPECT_EQ(kovaAPIDumpFlowsCPU2(1, &none), KOVA_OK);
    EXPECT_TRUE(none.len == 0 && none.cut == 1);
    // A dump appends after text already in the buffer.
    char mem[4096] = "QE copy:\n";
    kova_DUMP_BUF out{mem, sizeof mem, 9, 0};
    EXPECT_EQ(kovaAPIDumpFlowsQE2(0, &out), KOVA_OK);
    EXPECT_EQ(std::string(mem), std::string("QE copy:\n") + kQeSummary);
    EXPECT_EQ(out.len, 9 + std::strlen(kQeSummary));
}

// A link that is no slot of the copy (here one off a slot's start) ends its chain; a
// loop ends after as many links as the table has entries.
TEST_F(Dump, LinksTheWalkMustNotFollow) {
    kv::bytes::put_le64(shadow_slot(slot_of(1)) + KOVA_LUT_OFF_NEXT_CRC12,
                        shadow_addr(slot_of(3)) + 8);
    EXPECT_NE(cpu(0).text.find("All LUTs:         3\nExtended LUTs:    3\nCRC12 duplicates: 0\n"),
              std::string::npos);
    kv::bytes::put_le64(engine_slot(slot_of(12)) + KOVA_LUT_OFF_NEXT_EXT, engine_addr(slot_of(12)));
    EXPECT_NE(qe(0).text.find("QE Extended LUTs:    32768\n"), std::string::npos);
}

// The table is built on the first call, from the state the module loads
// with; PartialCRC applies no inversion of its own and chains at any cut.
TEST(Crc, KnownValuesChainingAndTheLazyTable) {
    std::memset(kv::crc::table, 0, sizeof kv::crc::table);
    kv::crc::tableInitialised = false;
    EXPECT_EQ(kova_crc32("123456789", 9), 0xCBF43926u);
    EXPECT_TRUE(kv::crc::tableInitialised);
    EXPECT_TRUE(kv::crc::table[1] == 0x77073096u && kv::crc::table[255] == 0x2D02EF8Du);
    EXPECT_EQ(PartialCRC(PartialCRC(~0u, "123456789", 4), "56789", 5), 0x340BC6D9u);
    // clang-format off
    const uint32_t rev[][3] = {{1, 32, 0x80000000u}, {0x12345678u, 32, 0x1E6A2C48u}, {0x80, 8, 1},
        {0x0B, 4, 0x0D}, {0x1FF, 8, 0xFF}, {3, 1, 1}, {~0u, 0, 0}, {~0u, 32, ~0u}};
    // clang-format on
    for (const auto &c : rev)
        EXPECT_EQ(reverseBits(c[0], c[1]), c[2]) << c[0] << " bits " << c[1];
    // The plain swaps are identities here; the flow swaps reverse.
    const uint64_t x = 0x0102030405060708ull;
    EXPECT_TRUE(swap_bytes(0x11223344u) == 0x11223344u && swap_bytes16(0xA1B2) == 0xA1B2 &&
                swap_bytes64(x) == x && flow_swap_bytes64(x) == 0x0807060504030201ull);
}

} // namespace
