// The flow key, built field by field with explicit byte order (see
// flow_key.h for the layout).
#include "flow_key.h"

#include <cstring>

namespace {

constexpr unsigned kDmac = 0, kSmac = 6, kVlan1 = 12, kVlan2 = 16, kEthType = 20, kSrc = 24, kDst = 40,
                   kPorts = 56;

void put_be16(uint8_t *p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

void put_be32(uint8_t *p, uint32_t v) {
    put_be16(p, uint16_t(v >> 16));
    put_be16(p + 2, uint16_t(v));
}

void put_le32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

void put_ipv4(uint8_t *p, const kova_IPADDR &ip) {
    p[0] = ip.v4[2];
    p[1] = ip.v4[3];
    p[2] = ip.v4[0];
    p[3] = ip.v4[1];
}

// kova_crc32 eight bytes at a time (slicing by 8): the engine's hash unit
// gives the CRC with the packet, and a simulator that hashed byte by byte
// would spend more on the hash than on the walk it measures. The same
// function as kova_crc32 (IEEE 802.3, reflected polynomial 0xEDB88320).
struct CrcTables {
    uint32_t t[8][256];
    CrcTables() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int b = 0; b < 8; ++b)
                c = c & 1 ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            t[0][i] = c;
        }
        for (int k = 1; k < 8; ++k)
            for (uint32_t i = 0; i < 256; ++i)
                t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    }
};

uint32_t le32(const uint8_t *p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

uint32_t crc_sliced(const uint8_t *p, unsigned n) {
    static const CrcTables tables;
    const auto &t = tables.t;
    uint32_t crc = 0xFFFFFFFFu;
    for (; n >= 8; p += 8, n -= 8) {
        const uint32_t lo = le32(p) ^ crc, hi = le32(p + 4);
        crc = t[7][lo & 0xFF] ^ t[6][lo >> 8 & 0xFF] ^ t[5][lo >> 16 & 0xFF] ^ t[4][lo >> 24] ^ t[3][hi & 0xFF] ^
              t[2][hi >> 8 & 0xFF] ^ t[1][hi >> 16 & 0xFF] ^ t[0][hi >> 24];
    }
    for (; n; ++p, --n)
        crc = (crc >> 8) ^ t[0][(crc ^ *p) & 0xFF];
    return ~crc;
}

void put_ipv6(uint8_t *p, const kova_IPADDR &ip) {
    uint16_t g[8];
    std::memcpy(g, ip.v6, sizeof g);
    put_le32(p + 0, uint32_t(g[1]) << 16 | g[2]);
    put_le32(p + 4, uint32_t(g[3]) << 16 | g[4]);
    put_le32(p + 8, uint32_t(g[5]) << 16 | g[6]);
    put_le32(p + 12, uint32_t(g[7]) << 16 | g[0]);
}

} // namespace

extern "C" {

void kova_flow_key_make(const kova_FLOW *flow, struct kova_flow_key *key) {
    uint8_t *k = key->bytes;
    std::memset(k, 0, KOVA_FLOW_KEY_LEN);
    std::memcpy(k + kDmac, flow->eth_dmac, 6);
    std::memcpy(k + kSmac, flow->eth_smac, 6);
    put_be32(k + kVlan1, flow->vlan_id_1);
    put_be32(k + kVlan2, flow->vlan_id_2);
    put_be16(k + kEthType, flow->eth_type);
    switch (flow->eth_type) {
    case KOVA_ETH_TYPE_IPV4:
    case KOVA_ETH_TYPE_ARP:
        put_ipv4(k + kSrc, flow->ip_src);
        put_ipv4(k + kDst, flow->ip_dst);
        put_be16(k + kPorts, flow->udp_sport);
        put_be16(k + kPorts + 2, flow->udp_dport);
        break;
    case KOVA_ETH_TYPE_IPV6:
        put_ipv6(k + kSrc, flow->ip_src);
        put_ipv6(k + kDst, flow->ip_dst);
        put_le32(k + kPorts, uint32_t(flow->udp_sport) << 16 | flow->udp_dport);
        break;
    default:
        break;
    }
}

void kova_flow_key_from_entry(const void *entry, struct kova_flow_key *key) {
    std::memcpy(key->bytes, static_cast<const uint8_t *>(entry) + KOVA_FLOW_KEY_ENTRY_OFF, KOVA_FLOW_KEY_LEN);
}

uint32_t kova_flow_key_crc(const struct kova_flow_key *key) { return crc_sliced(key->bytes, KOVA_FLOW_KEY_LEN); }

} // extern "C"
