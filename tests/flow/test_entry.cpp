// Byte layout of built table entries: the engine reads these bytes as they
// are, so every test compares exact bytes at exact offsets.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "kova/host.h"
#include "kova/kovaAPI.h"
#include "kova_internal.h"

namespace {

using Bytes = std::array<uint8_t, 256>;
using Action = std::vector<uint8_t>;

struct Built {
    uint32_t rc;
    int32_t length;
    alignas(8) Bytes bytes; // written and read as a kova_LUT
};

Built build(const kova_FLOW &flow, uint32_t state_word = 0, int32_t capacity = 256) {
    Built b{0, capacity, {}};
    b.rc = kovaAPIcreateVoipLutEntry(&flow, reinterpret_cast<kova_LUT *>(b.bytes.data()), &b.length, state_word);
    return b;
}

kova_FLOW flow_of(uint16_t eth_type, kova_RULE *rules = nullptr) {
    kova_FLOW f;
    std::memset(&f, 0, sizeof f);
    f.eth_type = eth_type;
    f.rules = rules;
    return f;
}

kova_RULE rule_of(uint32_t type) {
    kova_RULE r;
    std::memset(&r, 0, sizeof r);
    r.type = type;
    return r;
}

// Chains the rules in place, in vector order.
kova_RULE *chain(std::vector<kova_RULE> &rules) {
    for (size_t i = 0; i + 1 < rules.size(); ++i)
        rules[i].next = &rules[i + 1];
    return rules.empty() ? nullptr : &rules[0];
}

Built build_rules(uint16_t eth_type, std::vector<kova_RULE> rules) { return build(flow_of(eth_type, chain(rules))); }

void set_v4(kova_IPADDR &ip, std::array<uint8_t, 4> a) { std::memcpy(ip.v4, a.data(), 4); }
void set_v6(kova_IPADDR &ip, std::array<uint16_t, 8> groups) { std::memcpy(ip.v6, groups.data(), 16); }

Action slice(const Bytes &b, size_t from, size_t len) {
    return Action(b.begin() + from, b.begin() + from + len);
}

bool all_zero(const Bytes &b, size_t from, size_t to) {
    return std::all_of(b.begin() + from, b.begin() + to, [](uint8_t x) { return x == 0; });
}

const uint8_t kDmac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
const uint8_t kSmac[6] = {0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5};

// IPv4 and ARP carry addresses and ports; any other non-IPv6 type matches
// on layer 2 only and leaves bytes 28..63 zero.
TEST(EntryKey, WholeEntryPerEthertype) {
    for (uint16_t et : {0x0800, 0x0806, 0x8100, 0x0801, 0xDD86}) {
        SCOPED_TRACE(et);
        auto drop = rule_of(RULE_DROP_PACKET);
        kova_FLOW f = flow_of(et, &drop);
        f.crc32 = 0xDEADBEEF;
        f.flow_ucc = 5;
        f.flow_subport = 0x7777; // carried, never placed
        std::memcpy(f.eth_dmac, kDmac, 6);
        std::memcpy(f.eth_smac, kSmac, 6);
        f.vlan_id_1 = 0x0ABC;
        f.vlan_id_2 = 0xFFFF;
        set_v4(f.ip_src, {192, 168, 32, 102});
        for (int i = 4; i < 16; ++i) // ignored for IPv4
            f.ip_src.v4[i] = 0xEE;
        set_v4(f.ip_dst, {10, 1, 2, 3});
        f.udp_sport = 0x1234;
        f.udp_dport = 5;

        Built b = build(f, 0x1000000);

        Bytes ex{};
        ex[0] = 5;
        std::memcpy(&ex[4], kDmac, 6);
        std::memcpy(&ex[10], kSmac, 6);
        ex[18] = 0x0A, ex[19] = 0xBC;
        ex[22] = 0xFF, ex[23] = 0xFF;
        ex[24] = uint8_t(et >> 8), ex[25] = uint8_t(et);
        if (et == 0x0800 || et == 0x0806) {
            ex[28] = 32, ex[29] = 102, ex[30] = 192, ex[31] = 168;
            ex[44] = 2, ex[45] = 3, ex[46] = 10, ex[47] = 1;
            ex[60] = 0x12, ex[61] = 0x34, ex[62] = 0, ex[63] = 5;
        }
        ex[64] = 0xEF, ex[65] = 0xBE, ex[66] = 0xAD, ex[67] = 0xDE;
        ex[103] = 1;
        ex[116] = 0x80;

        EXPECT_EQ(b.rc, KOVA_OK);
        EXPECT_EQ(b.length, 120);
        EXPECT_EQ(b.bytes, ex);
    }
}

// Shared by the key and the replace actions: words g1:g2, g3:g4, g5:g6, g7:g0, each little-endian.
const std::array<uint16_t, 8> kV6 = {0x2001, 0x0DB8, 0x0102, 0x0304, 0x0506, 0x0708, 0x090A, 0x0B0C};
const Action kV6Words = {0x02, 0x01, 0xB8, 0x0D, 0x06, 0x05, 0x04, 0x03,
                         0x0A, 0x09, 0x08, 0x07, 0x01, 0x20, 0x0C, 0x0B};

TEST(EntryKey, Ipv6GroupsRotateAndPortsAreOneWord) {
    auto drop = rule_of(RULE_DROP_PACKET);
    kova_FLOW f = flow_of(KOVA_ETH_TYPE_IPV6, &drop);
    set_v6(f.ip_src, kV6);
    set_v6(f.ip_dst, {0xFE80, 0x1111, 0x2222, 0x3333, 0x4444, 0x5555, 0x6666, 0x7777});
    f.udp_sport = 1;
    f.udp_dport = 2;
    Built b = build(f);
    const Action dst = {0x22, 0x22, 0x11, 0x11, 0x44, 0x44, 0x33, 0x33,
                        0x66, 0x66, 0x55, 0x55, 0x80, 0xFE, 0x77, 0x77};
    EXPECT_EQ(b.rc, KOVA_OK);
    EXPECT_EQ(b.bytes[24], 0x86);
    EXPECT_EQ(b.bytes[25], 0xDD);
    EXPECT_EQ(slice(b.bytes, 28, 16), kV6Words);
    EXPECT_EQ(slice(b.bytes, 44, 16), dst);
    EXPECT_EQ(slice(b.bytes, 60, 4), (Action{2, 0, 1, 0}));
}

TEST(EntryKey, PortWordMapsAggregationPorts) {
    const std::pair<uint16_t, uint32_t> cases[] = {
        {0, 0}, {35, 35}, {36, 31}, {38, 29}, {40, 27}, {41, 41}, {0x1234, 0x1234},
    };
    for (auto [ucc, word] : cases) {
        SCOPED_TRACE(ucc);
        kova_FLOW f = flow_of(0x8100);
        f.flow_ucc = ucc;
        Built b = build(f);
        EXPECT_EQ(slice(b.bytes, 0, 4),
                  (Action{uint8_t(word), uint8_t(word >> 8), uint8_t(word >> 16), uint8_t(word >> 24)}));
    }
}

struct ActionCase {
    const char *name;
    uint16_t flow_eth_type;
    kova_RULE rule;
    Action bytes; // as the last rule, i.e. with 0x80 in the code byte
};

std::vector<ActionCase> action_cases() {
    std::vector<ActionCase> v;
    for (uint32_t t : {RULE_DROP_PACKET, RULE_REMOVE_VLAN_1, RULE_UPDATE_TIMESTAMP, RULE_UPDATE_PACKET_CNT,
                       RULE_REMOVE_VLAN_2})
        v.push_back({"code only", 0x0800, rule_of(t), {uint8_t(0x80 | t), 0, 0, 0}});

    auto cpu = rule_of(RULE_FORWARD_TO_CPU);
    cpu.param.forward_cpu.priority = 5;
    v.push_back({"to cpu", 0x0800, cpu, {0x82, 0, 0, 5}});

    auto tos = rule_of(RULE_SET_TOS);
    tos.param.set_tos.tos = 0xB8;
    v.push_back({"tos", 0x0800, tos, {0x91, 0, 0, 0xB8}});

    auto qe = rule_of(RULE_FORWARD_TO_QE);
    qe.param.forward_qe.port = 7;
    qe.param.forward_qe.priority = 3;
    qe.param.forward_qe.subport = 0x1234;
    qe.param.forward_qe.qos_serviceclass = 0x0D; // only the low three bits count
    qe.param.forward_qe.qos_trusted = KOVA_PORT_TRUSTED;
    qe.param.forward_qe.action_byte7 = 0x5A;
    v.push_back({"qe trusted", 0x0800, qe, {0x81, 0x0D, 3, 0x34, 0x12, 7, 0, 0x5A}});
    qe.param.forward_qe.qos_trusted = KOVA_PORT_UNTRUSTED;
    qe.param.forward_qe.qos_serviceclass = 0xFA;
    // Untrusted; ports 36..40 are aggregation groups and carry no subport.
    for (uint8_t port : {35, 36, 40, 41}) {
        const bool lag = port != 35 && port != 41;
        qe.param.forward_qe.port = port;
        const uint8_t lo = lag ? 0 : 0x34, hi = lag ? 0 : 0x12;
        v.push_back({"qe", 0x0800, qe, {0x81, 0x02, 3, lo, hi, port, 0, 0x5A}});
    }

    auto vlan = rule_of(RULE_ADD_VLAN_1);
    vlan.param.vlan.priority = 3;
    vlan.param.vlan.cfi = 1;
    vlan.param.vlan.vid = 100;
    vlan.param.vlan.etype = 0x8100;
    v.push_back({"add vlan 1", 0x0800, vlan, {0x83, 0, 0, 0, 0x81, 0x00, 0x70, 0x64}});
    vlan.param.vlan.priority = 9; // -> 1
    vlan.param.vlan.cfi = 2;      // -> 0
    vlan.param.vlan.vid = 0xF001; // -> 0x001
    vlan.param.vlan.etype = 0x88A8;
    for (uint32_t t : {RULE_ADD_VLAN_1, RULE_CHANGE_VLAN_1, RULE_ADD_VLAN_2, RULE_CHANGE_VLAN_2}) {
        vlan.type = t;
        v.push_back({"vlan masked", 0x0800, vlan, {uint8_t(0x80 | t), 0, 0, 0, 0x88, 0xA8, 0x20, 0x01}});
    }

    auto pol = rule_of(RULE_POLICING);
    pol.param.policing.weight = 0x11223344;
    v.push_back({"policing", 0x0800, pol, {0x87, 0, 0, 0, 0x44, 0x33, 0x22, 0x11}});

    auto src = rule_of(RULE_REPLACE_SRC_HEADER);
    const uint8_t mac[6] = {1, 2, 3, 4, 5, 6};
    std::memcpy(src.param.replace_src.source_mac_addr, mac, 6);
    set_v4(src.param.replace_src.source_ip_addr, {192, 168, 1, 2});
    src.param.replace_src.source_ip_addr.v4[4] = 0xEE; // not part of an IPv4 replacement
    src.param.replace_src.source_udp_port = 0x1F90;
    Action src_v4 = {0x88, 0, 2, 1, 6, 5, 4, 3, 192, 168, 1, 2};
    src_v4.resize(24, 0);
    src_v4.insert(src_v4.end(), {0x90, 0x1F, 0, 0});
    for (uint16_t et : {0x0800, 0x0806, 0x8100})
        v.push_back({"replace src v4", et, src, src_v4});

    auto dst = rule_of(RULE_REPLACE_DST_HEADER);
    std::memcpy(dst.param.replace_dst.destination_mac_addr, mac, 6);
    set_v4(dst.param.replace_dst.destination_ip_addr, {10, 20, 30, 40});
    dst.param.replace_dst.destination_ip_addr.v4[15] = 0xEE;
    dst.param.replace_dst.destination_udp_port = 0x0035;
    Action dst_v4 = {0x89, 0, 0, 0, 4, 3, 2, 1, 6, 5, 0x35, 0x00, 10, 20, 30, 40};
    dst_v4.resize(28, 0);
    for (uint16_t et : {0x0800, 0x0806, 0x8100})
        v.push_back({"replace dst v4", et, dst, dst_v4});

    set_v6(src.param.replace_src.source_ip_addr, kV6);
    Action src_v6 = {0x88, 0, 2, 1, 6, 5, 4, 3};
    src_v6.insert(src_v6.end(), kV6Words.begin(), kV6Words.end());
    src_v6.insert(src_v6.end(), {0x90, 0x1F, 0, 0});
    v.push_back({"replace src v6", 0x86DD, src, src_v6});

    set_v6(dst.param.replace_dst.destination_ip_addr, kV6);
    Action dst_v6 = {0x89, 0, 0, 0, 4, 3, 2, 1, 6, 5, 0x35, 0x00};
    dst_v6.insert(dst_v6.end(), kV6Words.begin(), kV6Words.end());
    v.push_back({"replace dst v6", 0x86DD, dst, dst_v6});
    return v;
}

// Each encoding alone, and followed by another rule (then without the last bit).
TEST(EntryActions, EachEncodingAloneAndFollowed) {
    for (const ActionCase &c : action_cases())
        for (bool followed : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + " type " + std::to_string(c.rule.type) + (followed ? " followed" : ""));
            Action expected = c.bytes;
            std::vector<kova_RULE> rules = {c.rule};
            if (followed) {
                rules.push_back(rule_of(RULE_REMOVE_VLAN_2));
                expected[0] &= 0x7F;
                expected.insert(expected.end(), {0x80 | RULE_REMOVE_VLAN_2, 0, 0, 0});
            }
            Built b = build_rules(c.flow_eth_type, rules);
            ASSERT_EQ(b.rc, KOVA_OK);
            EXPECT_EQ(b.length, int32_t(116 + expected.size()));
            EXPECT_EQ(slice(b.bytes, 116, expected.size()), expected);
            EXPECT_TRUE(all_zero(b.bytes, 116 + expected.size(), 256));
        }
}

// No rules or seven: the key and state word are written, no action.
TEST(EntryRefusals, RuleCountOutsideOneToSixWritesKeyOnly) {
    for (size_t n : {0, 7}) {
        SCOPED_TRACE(n);
        std::vector<kova_RULE> rules(n, rule_of(RULE_DROP_PACKET));
        kova_FLOW f = flow_of(0x0800, chain(rules));
        f.crc32 = 0x01020304;
        f.flow_ucc = 3;
        Built b = build(f, 0x3000000);
        EXPECT_EQ(b.rc, n ? KOVA_ERR_TOO_MANY_RULES : KOVA_ERR_NO_RULES);
        EXPECT_EQ(b.length, 0);
        EXPECT_EQ(b.bytes[0], 3);
        EXPECT_EQ(slice(b.bytes, 64, 4), (Action{4, 3, 2, 1}));
        EXPECT_EQ(b.bytes[103], 3);
        EXPECT_TRUE(all_zero(b.bytes, 104, 256));
    }
}

TEST(EntryRefusals, UnencodableTypes) {
    const std::pair<uint32_t, uint32_t> cases[] = {
        {10, KOVA_ERR_UNKNOWN_RULE},         {19, KOVA_ERR_UNKNOWN_RULE}, {0xFFFFFFFF, KOVA_ERR_UNKNOWN_RULE},
        {RULE_SECOND_CLASSIFY, KOVA_ERR_NOT_SUPPORTED}, {RULE_TEST, KOVA_ERR_NOT_SUPPORTED}};
    for (auto [type, rc] : cases) {
        SCOPED_TRACE(type);
        Built b = build_rules(0x0800, {rule_of(type)});
        EXPECT_EQ(b.rc, rc);
        EXPECT_EQ(b.length, 0);
        EXPECT_TRUE(all_zero(b.bytes, 116, 256));
        // Behind a good rule: the walk stops at the bad one.
        b = build_rules(0x0800, {rule_of(RULE_SET_TOS), rule_of(type), rule_of(RULE_DROP_PACKET)});
        EXPECT_EQ(b.rc, rc);
        EXPECT_EQ(b.length, 0);
        EXPECT_TRUE(all_zero(b.bytes, 120, 256));
    }
}

TEST(EntryRefusals, QosTrustedOutsideZeroOneIsLoggedAndRefused) {
    for (uint32_t trusted : {0u, 1u, 2u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(trusted);
        auto qe = rule_of(RULE_FORWARD_TO_QE);
        qe.param.forward_qe.qos_trusted = trusted;
        kova_host_log_clear();
        Built b = build(flow_of(0x0800, &qe));
        EXPECT_EQ(b.rc, trusted < 2 ? KOVA_OK : KOVA_ERR_NOT_SUPPORTED);
        EXPECT_EQ(b.length, trusted < 2 ? 124 : 0);
        char log[1024];
        kova_host_log_read(log, sizeof log);
        EXPECT_STREQ(log, trusted < 2 ? "" : "kovaAPI: Unknown option for parameter qos_trusted\n");
    }
}

TEST(EntryRefusals, CapacityBelowEntrySizeLeavesBufferUntouched) {
    for (int32_t capacity : {255, 0, -1}) {
        SCOPED_TRACE(capacity);
        auto drop = rule_of(RULE_DROP_PACKET);
        kova_FLOW f = flow_of(0x0800, &drop);
        f.crc32 = 0x12345678;
        alignas(8) Bytes entry;
        Bytes pattern;
        entry.fill(0xA5), pattern.fill(0xA5);
        int32_t length = capacity;
        EXPECT_EQ(kovaAPIcreateVoipLutEntry(&f, reinterpret_cast<kova_LUT *>(entry.data()), &length, 0x1000000),
                  KOVA_ERR_INVALID);
        EXPECT_EQ(length, capacity);
        EXPECT_EQ(entry, pattern);
    }
    // A larger buffer is fine; the length reports the entry, not the room.
    auto drop = rule_of(RULE_DROP_PACKET);
    EXPECT_EQ(build(flow_of(0x0800, &drop), 0, 4096).length, 120);
}

// ---- The action area ends at byte 251 -------------------------------------

kova_RULE replace(uint32_t type) {
    auto r = rule_of(type);
    std::memset(&r.param, 0xFF, sizeof r.param); // every byte of the action non-zero where it can be
    return r;
}

TEST(EntryActionArea, FourReplacesAndTwoLongRulesFit) {
    Built b = build_rules(0x86DD, {replace(RULE_REPLACE_SRC_HEADER), replace(RULE_REPLACE_DST_HEADER),
                                   replace(RULE_REPLACE_SRC_HEADER), replace(RULE_REPLACE_DST_HEADER),
                                   rule_of(RULE_POLICING), rule_of(RULE_ADD_VLAN_2)});
    EXPECT_EQ(b.rc, KOVA_OK);
    EXPECT_EQ(b.length, 116 + 4 * 28 + 8 + 8);
    EXPECT_EQ(b.bytes[236], 0x80 | RULE_ADD_VLAN_2);
    EXPECT_TRUE(all_zero(b.bytes, 244, 256));
}

TEST(EntryActionArea, ListPastByte251IsRefusedWithoutWritingPastIt) {
    // last_fit_at: where the last rule that fits starts.
    const struct { const char *name; std::vector<uint32_t> types;
                   size_t last_fit_at; uint8_t last_fit_code; size_t written_end; } cases[] = {
        {"five replaces", {8, 9, 8, 9, 8}, 200, 9, 228},
        {"five replaces and more", {8, 8, 8, 8, 9, 0}, 200, 8, 228},
        {"replace after 120 bytes", {8, 9, 8, 9, 1, 8}, 228, 1, 236},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<kova_RULE> rules;
        for (uint32_t t : c.types) {
            rules.push_back(replace(t));
            if (t == RULE_FORWARD_TO_QE)
                rules.back().param.forward_qe.qos_trusted = KOVA_PORT_TRUSTED;
        }
        kova_FLOW f = flow_of(0x86DD, chain(rules));
        // The entry sits inside a larger buffer so a stray write is seen, not fatal.
        std::array<uint8_t, 512> buf{};
        int32_t length = 256;
        EXPECT_EQ(kovaAPIcreateVoipLutEntry(&f, reinterpret_cast<kova_LUT *>(buf.data()), &length, 0),
                  KOVA_ERR_TOO_MANY_RULES);
        EXPECT_EQ(length, 0);
        EXPECT_EQ(buf[c.last_fit_at], c.last_fit_code); // not marked last
        for (size_t i = c.written_end; i < buf.size(); ++i)
            ASSERT_EQ(buf[i], 0) << "byte " << i;
    }
}

TEST(EntryOffset, BucketHeadFromTopBitsOfCrc) {
    const std::pair<uint32_t, uint32_t> cases[] = {
        {0, 0}, {0x0003FFFF, 0}, {0x00040000, 0x100}, {0xDEADBEEF, 0x37AB00}, {0xFFFFFFFF, 0x3FFF00},
    };
    for (auto [crc, offset] : cases) {
        auto drop = rule_of(RULE_DROP_PACKET);
        kova_FLOW f = flow_of(0x0800, &drop);
        f.crc32 = crc;
        Built b = build(f);
        ASSERT_EQ(b.rc, KOVA_OK);
        EXPECT_EQ(kovaAPIcalculateLutEntryOffset(reinterpret_cast<const kova_LUT *>(b.bytes.data())), offset)
            << std::hex << crc;
    }
}

} // namespace
