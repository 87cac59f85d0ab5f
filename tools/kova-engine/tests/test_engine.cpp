// The engine's lookup and counting against tables that the module builds
// itself in this process: flows made through the API land in an attached
// area, packets with the same keys go through the engine, and what the
// engine counted is read back through the module's own queries.
#include <array>
#include <cstring>
#include <string>

#include "engine.h"
#include "kova_internal.h"
#include "pcap_decode.h"
#include "support/module_test.h"
#include "trace.h"

namespace {

using kova_engine::Engine;
using kova_engine::Packet;

constexpr uint64_t kQeBase = 0x10000000000ull;

// A flow whose key bytes follow from `seed`, hashing to exactly `crc`.
kt::Flow flow_with(uint32_t seed, uint32_t crc, uint16_t ucc = 5, uint16_t subport = 3) {
    kt::Flow f(0, ucc);
    f.f.flow_subport = subport;
    const uint8_t dmac[6] = {0x02, 0x00, 0x00, uint8_t(seed >> 16), uint8_t(seed >> 8), uint8_t(seed)};
    std::memcpy(f.f.eth_dmac, dmac, 6);
    f.f.eth_smac[0] = 0x02;
    f.f.eth_smac[5] = 0x10;
    f.f.vlan_id_1 = uint16_t(100 + seed);
    f.f.ip_dst.v4[0] = 192;
    f.f.ip_dst.v4[3] = uint8_t(seed);
    f.f.udp_dport = uint16_t(5000 + seed);
    EXPECT_TRUE(kova_engine::set_source_for_crc(&f.f, crc));
    f.f.crc32 = crc;
    return f;
}

class EngineLookup : public kt::ModuleTest {
protected:
    void SetUp() override {
        kt::ModuleTest::SetUp();
        ASSERT_EQ(kt::attach_engine(kt::attach_args(area_.addr(), kQeBase, "kova-engine test")), 0);
        kt::take_log();
    }

    void create(kt::Flow &f, uint32_t appflowid) { ASSERT_EQ(kovaAPIcreateVoipFlow(f.get(), appflowid), KOVA_OK); }
    uint8_t *entry_of(uint32_t appflowid) { return area_.data() + 256ull * kova.appflow_map[appflowid]; }
    int32_t slot_of(uint32_t appflowid) { return int32_t(kova.appflow_map[appflowid]); }
    void set_word(uint8_t *p, uint32_t v) { std::memcpy(p, &v, 4); }
    void set_link(uint8_t *p, uint64_t v) { std::memcpy(p, &v, 8); }

    // packet_cnt, stats_word2, timestamp as the module reports them.
    std::array<uint32_t, 3> flow_stats(uint32_t appflowid) {
        std::array<uint32_t, 3> s{};
        EXPECT_EQ(kovaAPIgetFlowStatistics(int32_t(appflowid), s.data()), KOVA_OK);
        return s;
    }

    kt::EngineArea area_;
    Engine engine_{area_.data(), kQeBase};
};

TEST_F(EngineLookup, HitsAndMissesAreCountedInTheFlowAndOnThePort) {
    kt::Flow a = flow_with(1, 0x11110001), b = flow_with(2, 0x22220002, 2, 0);
    std::memset(b.f.eth_dmac, 0xFF, 6); // broadcast
    ASSERT_TRUE(kova_engine::set_source_for_crc(&b.f, b.f.crc32));
    create(a, 7);
    create(b, 8);

    engine_.set_clock(0x5000);
    const Packet pa = kova_engine::packet_of(a.f, 100), pb = kova_engine::packet_of(b.f, 60);
    Packet unknown = pa; // same bucket and CRC, one key byte off
    unknown.key.bytes[0] = 0x01; // a multicast destination
    Packet other_port = pa;
    other_port.ucc = 6;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(engine_.process(pa), slot_of(7));
    EXPECT_EQ(engine_.process(pb), slot_of(8));
    EXPECT_EQ(engine_.process(unknown), -1);
    EXPECT_EQ(engine_.process(other_port), -1);

    EXPECT_EQ(flow_stats(7), (std::array<uint32_t, 3>{3, 300, 0x5000}));
    EXPECT_EQ(flow_stats(8), (std::array<uint32_t, 3>{1, 60, 0x5000}));
    const kova_engine::Stats &s = engine_.stats();
    EXPECT_EQ(s.packets, 6u);
    EXPECT_EQ(s.hits, 4u);
    EXPECT_EQ(s.misses, 2u);

    // UCC 5 subport 3 saw a's three packets and the unknown one.
    kova_PORT_STATS ps{};
    ASSERT_EQ(kovaAPIGetPortStatistics(5, 3, &ps), KOVA_OK);
    EXPECT_EQ(ps.rx_packets, 4u);
    EXPECT_EQ(ps.rx_octets, 400u);
    EXPECT_EQ(ps.rx_ucast, 3u);
    EXPECT_EQ(ps.rx_mcast, 1u);
    EXPECT_EQ(ps.rx_bcast, 0u);
    ASSERT_EQ(kovaAPIGetPortStatistics(6, 3, &ps), KOVA_OK);
    EXPECT_EQ(ps.rx_packets, 1u);
    // The Ethernet UCCs' receive counts come from their MACs in the
    // module's statistics; the engine's own record is the single one.
    const uint8_t *eth2 = area_.data() + KOVA_SHM_CNT_ETH(2);
    EXPECT_EQ(kt::le64_at(eth2 + KOVA_PORT_CNT_RX_PACKETS), 1u);
    EXPECT_EQ(kt::le64_at(eth2 + KOVA_PORT_CNT_RX_BCAST), 1u);
    EXPECT_EQ(kt::le64_at(eth2 + KOVA_PORT_CNT_RX_OCTETS), 60u);
}

TEST_F(EngineLookup, EveryEntryOfAChainedBucketIsFound) {
    const uint32_t crc = 0x3ABC0123;
    kt::Flow head = flow_with(1, crc);
    kt::Flow same_crc = flow_with(2, crc);          // behind the head on next_crc32
    kt::Flow other_crc = flow_with(3, crc ^ 0x55);  // a second group, on next_crc12
    kt::Flow other_member = flow_with(4, crc ^ 0x55);
    kt::Flow same_key = flow_with(1, crc, 9, 1);    // head's key on another port
    create(head, 1);
    create(same_crc, 2);
    create(other_crc, 3);
    create(other_member, 4);
    create(same_key, 5);
    ASSERT_EQ(kt::le64_at(entry_of(1) + KOVA_LUT_OFF_NEXT_CRC12), kQeBase + 256ull * slot_of(3));
    ASSERT_EQ(kt::le64_at(entry_of(1) + KOVA_LUT_OFF_NEXT_CRC32), kQeBase + 256ull * slot_of(2));

    kt::Flow *flows[] = {&head, &same_crc, &other_crc, &other_member, &same_key};
    for (uint32_t id = 1; id <= 5; ++id)
        EXPECT_EQ(engine_.process(kova_engine::packet_of(flows[id - 1]->f, 64)), slot_of(id)) << "flow " << id;
    for (uint32_t id = 1; id <= 5; ++id)
        EXPECT_EQ(flow_stats(id)[0], 1u) << "flow " << id;
    // A different CRC in the bucket that no group has.
    kt::Flow absent = flow_with(6, crc ^ 0x77);
    EXPECT_EQ(engine_.lookup(kova_engine::packet_of(absent.f, 64)), -1);
    EXPECT_EQ(engine_.stats().bad_links, 0u);
}

TEST_F(EngineLookup, OnlyLiveEntriesAreUsedOrFollowed) {
    const uint32_t crc = 0x0004AAAA;
    kt::Flow head = flow_with(1, crc), member = flow_with(2, crc), group = flow_with(3, crc ^ 1);
    create(head, 1);
    create(member, 2);
    create(group, 3);
    const Packet ph = kova_engine::packet_of(head.f, 64), pm = kova_engine::packet_of(member.f, 64),
                 pg = kova_engine::packet_of(group.f, 64);
    for (uint32_t state : {KOVA_LUT_VALID_OFF, KOVA_LUT_VALID_DETACHED}) {
        set_word(entry_of(2) + KOVA_LUT_OFF_VALID, state);
        EXPECT_EQ(engine_.process(pm), -1) << state;
        EXPECT_EQ(engine_.process(ph), slot_of(1)) << state;
        set_word(entry_of(2) + KOVA_LUT_OFF_VALID, KOVA_LUT_VALID_LIVE);
        // A head that is not live hides its whole bucket.
        set_word(entry_of(1) + KOVA_LUT_OFF_VALID, state);
        EXPECT_EQ(engine_.process(ph), -1) << state;
        EXPECT_EQ(engine_.process(pm), -1) << state;
        EXPECT_EQ(engine_.process(pg), -1) << state;
        set_word(entry_of(1) + KOVA_LUT_OFF_VALID, KOVA_LUT_VALID_LIVE);
    }
    EXPECT_EQ(engine_.process(pm), slot_of(2));
    EXPECT_EQ(engine_.process(pg), slot_of(3));
    EXPECT_EQ(flow_stats(1)[0], 2u);
    EXPECT_EQ(flow_stats(2)[0], 1u);
}

TEST_F(EngineLookup, ALinkThatIsNotASlotOfTheTableEndsTheWalk) {
    const uint32_t crc = 0x7FFC0001;
    kt::Flow head = flow_with(1, crc), member = flow_with(2, crc), group = flow_with(3, crc ^ 2);
    create(head, 1);
    create(member, 2);
    create(group, 3);
    const Packet ph = kova_engine::packet_of(head.f, 64), pm = kova_engine::packet_of(member.f, 64),
                 pg = kova_engine::packet_of(group.f, 64);
    uint8_t *h = entry_of(1);
    const uint64_t bad[] = {kQeBase - 256, kQeBase + KOVA_LUT_TABLE_BYTES, kQeBase + 256ull * slot_of(2) + 8,
                            kQeBase + 256ull * slot_of(1)}; // the last one loops
    uint64_t bad_links = 0;
    for (uint64_t link : bad) {
        set_link(h + KOVA_LUT_OFF_NEXT_CRC32, link);
        set_link(h + KOVA_LUT_OFF_NEXT_CRC12, link);
        EXPECT_EQ(engine_.lookup(pm), -1) << std::hex << link;
        EXPECT_EQ(engine_.lookup(pg), -1) << std::hex << link;
        EXPECT_EQ(engine_.lookup(ph), slot_of(1)) << std::hex << link;
        EXPECT_EQ(engine_.stats().bad_links, bad_links += 2) << std::hex << link;
    }
    // The real links restored, every flow is found again.
    set_link(h + KOVA_LUT_OFF_NEXT_CRC32, kQeBase + 256ull * slot_of(2));
    set_link(h + KOVA_LUT_OFF_NEXT_CRC12, kQeBase + 256ull * slot_of(3));
    EXPECT_EQ(engine_.lookup(pm), slot_of(2));
    EXPECT_EQ(engine_.lookup(pg), slot_of(3));
}

TEST_F(EngineLookup, LiveExtendedFlowsCountTheirParentsPackets) {
    kt::Flow parent = flow_with(1, 0x12345678);
    create(parent, 1);
    kt::Flow ext1 = flow_with(1, 0x12345678, 5, 0), ext2 = flow_with(1, 0x12345678, 5, 1);
    ASSERT_EQ(kovaAPIcreateExtendedFlow(ext1.get(), 1, 2), KOVA_OK);
    ASSERT_EQ(kovaAPIcreateExtendedFlow(ext2.get(), 2, 3), KOVA_OK);
    const Packet p = kova_engine::packet_of(parent.f, 80);
    EXPECT_EQ(engine_.process(p), slot_of(1));
    // The second one detached: it and anything behind it are left alone.
    set_word(entry_of(3) + KOVA_LUT_OFF_VALID, KOVA_LUT_VALID_DETACHED);
    EXPECT_EQ(engine_.process(p), slot_of(1));
    EXPECT_EQ(flow_stats(1)[0], 2u);
    EXPECT_EQ(flow_stats(2), (std::array<uint32_t, 3>{2, 160, 0}));
    EXPECT_EQ(flow_stats(3)[0], 1u);
    EXPECT_EQ(engine_.stats().extended, 3u);
}

TEST(PacketLine, KeyIsTheOneOfTheSameFlowDescription) {
    kova_engine::TraceLine t;
    std::string error;
    ASSERT_EQ(kova_engine::parse_line("ucc=37 subport=4 dmac=02:00:00:4f:03:e8 smac=02:00:01:00:00:10 vlan1=3999 "
                                      "vlan2=0x10 eth_type=800 src=192.168.32.102 dst=192.168.39.102 sport=7 "
                                      "dport=5 len=128 count=10 # comment",
                                      &t, &error),
              kova_engine::LineKind::packet)
        << error;
    kova_FLOW f{};
    f.flow_ucc = 37;
    f.flow_subport = 4;
    const uint8_t dmac[6] = {0x02, 0x00, 0x00, 0x4f, 0x03, 0xe8}, smac[6] = {0x02, 0x00, 0x01, 0x00, 0x00, 0x10};
    std::memcpy(f.eth_dmac, dmac, 6);
    std::memcpy(f.eth_smac, smac, 6);
    f.vlan_id_1 = 3999;
    f.vlan_id_2 = 16;
    f.eth_type = KOVA_ETH_TYPE_IPV4;
    const uint8_t src[4] = {192, 168, 32, 102}, dst[4] = {192, 168, 39, 102};
    std::memcpy(f.ip_src.v4, src, 4);
    std::memcpy(f.ip_dst.v4, dst, 4);
    f.udp_sport = 7;
    f.udp_dport = 5;
    const Packet want = kova_engine::packet_of(f, 128);
    EXPECT_EQ(std::memcmp(t.packet.key.bytes, want.key.bytes, KOVA_FLOW_KEY_LEN), 0);
    EXPECT_EQ(t.packet.crc, want.crc);
    EXPECT_EQ(t.packet.ucc, 37);
    EXPECT_EQ(t.packet.subport, 4);
    EXPECT_EQ(t.packet.len, 128u);
    EXPECT_EQ(t.count, 10u);

    // A definition's own tokens, IPv6 in both notations.
    const std::string v6 = "flow_id=3 flow_ucc=1 eth_type=86dd ipv4_src=2001:db8:0:0:0:0:0:1 ipv4_dst=2001:db8::2 "
                           "udp_sport=1 udp_dport=2";
    ASSERT_EQ(kova_engine::parse_line(v6, &t, &error), kova_engine::LineKind::packet) << error;
    kova_FLOW g{};
    g.flow_ucc = 1;
    g.eth_type = KOVA_ETH_TYPE_IPV6;
    const uint16_t s6[8] = {0x2001, 0xdb8, 0, 0, 0, 0, 0, 1}, d6[8] = {0x2001, 0xdb8, 0, 0, 0, 0, 0, 2};
    std::memcpy(g.ip_src.v6, s6, 16);
    std::memcpy(g.ip_dst.v6, d6, 16);
    g.udp_sport = 1;
    g.udp_dport = 2;
    EXPECT_EQ(std::memcmp(t.packet.key.bytes, kova_engine::packet_of(g, 64).key.bytes, KOVA_FLOW_KEY_LEN), 0);
    char with_crc[200];
    std::snprintf(with_crc, sizeof with_crc, "%s crc32=%x", v6.c_str(), t.packet.crc);
    EXPECT_EQ(kova_engine::parse_line(with_crc, &t, &error), kova_engine::LineKind::packet) << error;

    EXPECT_EQ(kova_engine::parse_line("  # nothing", &t, &error), kova_engine::LineKind::empty);
    for (const char *bad : {"ucc=41", "dmac=02:00:00:00:00", "src=10.1.2", "dport=65536", "len=0", "vlan=3",
                            "ucc", "eth_type=800 crc32=12345678"})
        EXPECT_EQ(kova_engine::parse_line(bad, &t, &error), kova_engine::LineKind::error) << bad;
}

// Frames written out byte by byte, each the shortest that carries what the
// key needs; the key decoded from each must be the one the module's entry
// builder writes for the same flow, every shorter prefix must be counted as
// truncated, and with a port tag in front the key stays and the tag's VLAN
// id becomes the UCC.
std::vector<uint8_t> hex(const std::string &text) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(uint8_t(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

const std::string kMacs = "0a0b0c0d0e0f010203040506", kV4Addrs = "0a000001c0a80709",
                  kV6 = "20010db8000000000000000000000001fd000000000000000000000012340002";
std::string ipv4(const std::string &proto, const std::string &frag = "0000") {
    return "450000300001" + frag + "40" + proto + "0000" + kV4Addrs;
}

TEST(FrameDecoder, KeyIsTheEntryBuildersForEveryFrameKind) {
    struct Row {
        const char *what;
        uint16_t eth_type, vlan1, vlan2, sport, dport;
    };
    const std::string rows_hex[] = {
        kMacs + "0800" + ipv4("11") + "00010002",
        kMacs + "8100a064" + "0800" + ipv4("06") + "13881770",
        kMacs + "88a830c8" + "81000064" + "0800" + "460000300001000040010000" + kV4Addrs + "01020304",
        kMacs + "0800" + ipv4("11", "2000") + "00010002",
        kMacs + "810000c8" + "88a80064" + "86dd" + "6000000000081140" + kV6 + "00010002",
        kMacs + "86dd" + "6000000000300040" + kV6 + "2b00000000000000" + "2c00000000000000" + "3c00000100000001" +
            "0601000000000000" + "0000000000000000" + "005001bb",
        kMacs + "0806" + "0001080006040001" + "020304050607" + "0a000001" + "000000000000" + "c0a80709",
        kMacs + "81000064" + "8847",
    };
    const Row rows[] = {
        {"IPv4 UDP", KOVA_ETH_TYPE_IPV4, 0, 0, 1, 2},
        {"IPv4 TCP, one tag with priority bits", KOVA_ETH_TYPE_IPV4, 100, 0, 5000, 6000},
        {"IPv4 with options, ICMP, QinQ", KOVA_ETH_TYPE_IPV4, 200, 100, 0, 0},
        {"IPv4 first fragment", KOVA_ETH_TYPE_IPV4, 0, 0, 1, 2},
        {"IPv6 UDP, 0x8100 outside 0x88a8", KOVA_ETH_TYPE_IPV6, 200, 100, 1, 2},
        {"IPv6 TCP behind hop-by-hop, routing, fragment, destination options", KOVA_ETH_TYPE_IPV6, 0, 0,
         80, 443},
        {"ARP", KOVA_ETH_TYPE_ARP, 0, 0, 0, 0},
        {"another type: layer 2 only", 0x8847, 100, 0, 0, 0},
    };
    for (size_t r = 0; r < std::size(rows); ++r) {
        const Row &row = rows[r];
        kova_FLOW f{};
        std::memcpy(f.eth_dmac, hex("0a0b0c0d0e0f").data(), 6);
        std::memcpy(f.eth_smac, hex("010203040506").data(), 6);
        f.eth_type = row.eth_type;
        f.vlan_id_1 = row.vlan1;
        f.vlan_id_2 = row.vlan2;
        f.udp_sport = row.sport;
        f.udp_dport = row.dport;
        if (row.eth_type == KOVA_ETH_TYPE_IPV6) {
            const std::vector<uint8_t> a = hex(kV6);
            for (int g = 0; g < 8; ++g) {
                f.ip_src.v6[g] = uint16_t(a[2 * g] << 8 | a[2 * g + 1]);
                f.ip_dst.v6[g] = uint16_t(a[16 + 2 * g] << 8 | a[17 + 2 * g]);
            }
        } else {
            std::memcpy(f.ip_src.v4, hex(kV4Addrs).data(), 4); // ignored by the key of another type
            std::memcpy(f.ip_dst.v4, hex(kV4Addrs).data() + 4, 4);
        }
        kova_RULE drop{};
        drop.type = RULE_DROP_PACKET;
        f.rules = &drop;
        kova_LUT entry{};
        int32_t entry_len = sizeof entry;
        ASSERT_EQ(kovaAPIcreateVoipLutEntry(&f, &entry, &entry_len, 0), 0u) << row.what;

        const std::vector<uint8_t> frame = hex(rows_hex[r]);
        Packet p{};
        const kova_engine::PortChoice port{false, 9, 300};
        ASSERT_EQ(kova_engine::decode_frame(frame.data(), frame.size(), 1500, port, &p), kova_engine::Decode::ok)
            << row.what;
        EXPECT_EQ(std::memcmp(p.key.bytes, reinterpret_cast<const uint8_t *>(&entry) + 4, KOVA_FLOW_KEY_LEN), 0)
            << row.what;
        EXPECT_EQ(p.crc, kova_flow_key_crc(&p.key)) << row.what;
        EXPECT_EQ(std::vector<uint32_t>({p.ucc, p.subport, p.len}), std::vector<uint32_t>({9, 300, 1500})) << row.what;
        for (size_t n = 0; n < frame.size(); ++n)
            ASSERT_EQ(kova_engine::decode_frame(frame.data(), n, 1500, port, &p), kova_engine::Decode::truncated)
                << row.what << ", " << n << " bytes";

        std::vector<uint8_t> tagged = frame;
        const std::vector<uint8_t> tag = hex("81000025"); // UCC 37
        tagged.insert(tagged.begin() + 12, tag.begin(), tag.end());
        Packet t{};
        ASSERT_EQ(kova_engine::decode_frame(tagged.data(), tagged.size(), 64, {true, 9, 300}, &t),
                  kova_engine::Decode::ok)
            << row.what;
        EXPECT_EQ(std::memcmp(t.key.bytes, p.key.bytes, KOVA_FLOW_KEY_LEN), 0) << row.what;
        EXPECT_EQ(std::vector<uint32_t>({t.ucc, t.subport}), std::vector<uint32_t>({37, 300})) << row.what;
    }
}

TEST(FrameDecoder, FramesWithoutAKeyAreCountedByReason) {
    using kova_engine::Decode;
    const std::pair<std::string, Decode> cases[] = {
        {kMacs + "0026" + "aaaa0300", Decode::unsupported_ethertype},
        {kMacs + "810000018100000281000003" + "0800" + ipv4("11") + "00010002", Decode::too_many_tags},
        {kMacs + "0800" + "6" + ipv4("11").substr(1) + "00010002", Decode::malformed_ip},  // version 6
        {kMacs + "0800" + "44" + ipv4("11").substr(2) + "00010002", Decode::malformed_ip}, // header of 16 bytes
        {kMacs + "0800" + "45000010" + ipv4("11").substr(8) + "00010002", Decode::malformed_ip}, // total 16
        {kMacs + "86dd" + "4000000000081140" + kV6 + "00010002", Decode::malformed_ip},
        {kMacs + "0800" + ipv4("11", "2001") + "00010002", Decode::non_first_fragment},
        {kMacs + "86dd" + "6000000000102c40" + kV6 + "1100000900000001" + "00010002", Decode::non_first_fragment},
        {kMacs + "0806" + "0006080006040001" + std::string(40, '0'), Decode::malformed_arp},
        {kMacs + "0806" + "0001080006100001" + std::string(40, '0'), Decode::malformed_arp},
    };
    kova_engine::Packet p{};
    for (const auto &[text, want] : cases) {
        const std::vector<uint8_t> f = hex(text);
        EXPECT_EQ(kova_engine::decode_frame(f.data(), f.size(), 64, {}, &p), want) << text;
    }
    // Ports from tags: an untagged frame, and a tag whose id is no UCC.
    for (const std::string &text : {kMacs + "0800" + ipv4("11") + "00010002", kMacs + "81000029" + "8847"}) {
        const std::vector<uint8_t> f = hex(text);
        EXPECT_EQ(kova_engine::decode_frame(f.data(), f.size(), 64, {true, 0, 0}, &p), Decode::no_port_tag) << text;
    }
}

} // namespace
