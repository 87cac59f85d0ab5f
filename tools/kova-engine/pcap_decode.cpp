#include "pcap_decode.h"

#include <cstring>

namespace kova_engine {
namespace {

constexpr uint16_t kTag8021Q = 0x8100, kTagQinQ = 0x88A8;
constexpr uint8_t kTcp = 6, kUdp = 17;
constexpr uint8_t kHopByHop = 0, kRouting = 43, kFragment = 44, kDestOptions = 60;
constexpr uint32_t kMaxUcc = 40;

uint16_t be16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }

// A bounded view of the frame: every read checks that its bytes were
// captured, so no input reads outside it.
struct Cursor {
    const uint8_t *p;
    size_t left;
    bool has(size_t n) const { return left >= n; }
    void skip(size_t n) { p += n, left -= n; }
};

bool is_tag(uint16_t type) { return type == kTag8021Q || type == kTagQinQ; }

// The ports of a UDP or TCP header at c; other protocols have none.
Decode ports(Cursor c, uint8_t proto, kova_FLOW *f) {
    if (proto != kUdp && proto != kTcp)
        return Decode::ok;
    if (!c.has(4))
        return Decode::truncated;
    f->udp_sport = be16(c.p);
    f->udp_dport = be16(c.p + 2);
    return Decode::ok;
}

Decode ipv4(Cursor c, kova_FLOW *f) {
    if (!c.has(20))
        return Decode::truncated;
    const uint8_t *h = c.p;
    const size_t ihl = size_t(h[0] & 0x0F) * 4;
    if (h[0] >> 4 != 4 || ihl < 20 || be16(h + 2) < ihl)
        return Decode::malformed_ip;
    std::memcpy(f->ip_src.v4, h + 12, 4);
    std::memcpy(f->ip_dst.v4, h + 16, 4);
    if ((be16(h + 6) & 0x1FFF) != 0)
        return Decode::non_first_fragment;
    if (!c.has(ihl))
        return Decode::truncated;
    c.skip(ihl);
    return ports(c, h[9], f);
}

void v6_groups(const uint8_t *p, kova_IPADDR *ip) {
    for (int i = 0; i < 8; ++i)
        ip->v6[i] = be16(p + 2 * i);
}

Decode ipv6(Cursor c, kova_FLOW *f) {
    if (!c.has(40))
        return Decode::truncated;
    if (c.p[0] >> 4 != 6)
        return Decode::malformed_ip;
    v6_groups(c.p + 8, &f->ip_src);
    v6_groups(c.p + 24, &f->ip_dst);
    uint8_t next = c.p[6];
    c.skip(40);
    // Each extension header moves forward by at least 8 bytes, so the walk
    // ends within the captured bytes.
    while (next == kHopByHop || next == kRouting || next == kFragment || next == kDestOptions) {
        if (!c.has(8))
            return Decode::truncated;
        if (next == kFragment && (be16(c.p + 2) & 0xFFF8) != 0)
            return Decode::non_first_fragment;
        const size_t len = next == kFragment ? 8 : (size_t(c.p[1]) + 1) * 8;
        if (!c.has(len))
            return Decode::truncated;
        next = c.p[0];
        c.skip(len);
    }
    return ports(c, next, f);
}

Decode arp(Cursor c, kova_FLOW *f) {
    if (!c.has(28))
        return Decode::truncated;
    const uint8_t *a = c.p;
    if (be16(a) != 1 || be16(a + 2) != KOVA_ETH_TYPE_IPV4 || a[4] != 6 || a[5] != 4)
        return Decode::malformed_arp;
    std::memcpy(f->ip_src.v4, a + 14, 4);
    std::memcpy(f->ip_dst.v4, a + 24, 4);
    return Decode::ok;
}

Decode decode(Cursor c, const PortChoice &port, kova_FLOW *f) {
    if (!c.has(14))
        return Decode::truncated;
    std::memcpy(f->eth_dmac, c.p, 6);
    std::memcpy(f->eth_smac, c.p + 6, 6);
    c.skip(12);
    uint16_t type = be16(c.p);
    if (port.from_tag) {
        if (!is_tag(type))
            return Decode::no_port_tag;
        if (!c.has(6))
            return Decode::truncated;
        const uint16_t ucc = be16(c.p + 2) & 0x0FFF;
        if (ucc > kMaxUcc)
            return Decode::no_port_tag;
        f->flow_ucc = ucc;
        c.skip(4);
        type = be16(c.p);
    }
    uint16_t *vlan[] = {&f->vlan_id_1, &f->vlan_id_2};
    for (unsigned tags = 0; is_tag(type); ++tags) {
        if (tags == 2)
            return Decode::too_many_tags;
        if (!c.has(6))
            return Decode::truncated;
        *vlan[tags] = be16(c.p + 2) & 0x0FFF;
        c.skip(4);
        type = be16(c.p);
    }
    c.skip(2);
    if (type < 0x0600)
        return Decode::unsupported_ethertype;
    f->eth_type = type;
    switch (type) {
    case KOVA_ETH_TYPE_IPV4:
        return ipv4(c, f);
    case KOVA_ETH_TYPE_IPV6:
        return ipv6(c, f);
    case KOVA_ETH_TYPE_ARP:
        return arp(c, f);
    default:
        return Decode::ok;
    }
}

} // namespace

const char *decode_name(Decode d) {
    static const char *const kNames[kDecodeResults] = {"decoded",
                                                       "truncated",
                                                       "unsupported ethertype",
                                                       "more than two VLAN tags",
                                                       "malformed IP header",
                                                       "non-first fragment",
                                                       "malformed ARP",
                                                       "no port tag"};
    return unsigned(d) < kDecodeResults ? kNames[unsigned(d)] : "?";
}

Decode decode_frame(const uint8_t *frame, size_t caplen, uint32_t wire_len, const PortChoice &port,
                    Packet *out) {
    kova_FLOW f{};
    f.flow_ucc = port.ucc;
    f.flow_subport = port.subport;
    const Decode d = decode(Cursor{frame, caplen}, port, &f);
    if (d == Decode::ok)
        *out = packet_of(f, wire_len);
    return d;
}

} // namespace kova_engine
