// The match key of a table entry (entry bytes 4..63) and its port word:
// written here only, for the entry builder and for the tools that compute a
// flow's CRC or match packets the way the engine does. Header-only, so the
// tools use it without the rest of the core.
#pragma once

#include <stdint.h>

#include "kova/kovaAPI.h"
#include "lib/bytes.h"

namespace kv::key {

constexpr uint32_t kUccLagFirst = 36;
constexpr uint32_t kUccLagLast = 40;

inline bool is_lag_port(uint32_t ucc) { return ucc >= kUccLagFirst && ucc <= kUccLagLast; }

// The engine numbers the link-aggregation pseudo ports downwards from 31.
inline uint32_t port_word(uint32_t ucc) { return is_lag_port(ucc) ? 67u - ucc : ucc; }

// IPv6 groups go as four words g1:g2, g3:g4, g5:g6, g7:g0; the engine's
// matcher expects group 0 last. Also the layout of the replace actions.
inline void put_ipv6(uint8_t *dst, const kova_IPADDR &ip) {
    uint16_t g[8];
    for (int i = 0; i < 8; ++i)
        g[i] = bytes::load_native16(&ip.v6[i]);
    bytes::put_le32(dst + 0, uint32_t(g[1]) << 16 | g[2]);
    bytes::put_le32(dst + 4, uint32_t(g[3]) << 16 | g[4]);
    bytes::put_le32(dst + 8, uint32_t(g[5]) << 16 | g[6]);
    bytes::put_le32(dst + 12, uint32_t(g[7]) << 16 | g[0]);
}

// a.b.c.d is matched as the halves c.d then a.b.
inline void put_ipv4(uint8_t *dst, const kova_IPADDR &ip) {
    dst[0] = ip.v4[2];
    dst[1] = ip.v4[3];
    dst[2] = ip.v4[0];
    dst[3] = ip.v4[1];
}

// Writes entry bytes KOVA_LUT_OFF_ETH_DMAC..KOVA_LUT_OFF_PORTS+3 of `e`; the
// address and port bytes of a type other than IPv4, ARP and IPv6 are left
// as they are (zero in a fresh entry): such flows match on layer 2 only.
inline void write(uint8_t *e, const kova_FLOW &flow) {
    __builtin_memcpy(e + KOVA_LUT_OFF_ETH_DMAC, flow.eth_dmac, 6);
    __builtin_memcpy(e + KOVA_LUT_OFF_ETH_SMAC, flow.eth_smac, 6);
    bytes::put_be32(e + KOVA_LUT_OFF_VLAN1, flow.vlan_id_1);
    bytes::put_be32(e + KOVA_LUT_OFF_VLAN2, flow.vlan_id_2);
    bytes::put_be32(e + KOVA_LUT_OFF_ETH_TYPE, uint32_t(flow.eth_type) << 16);
    switch (flow.eth_type) {
    case KOVA_ETH_TYPE_IPV4:
    case KOVA_ETH_TYPE_ARP:
        put_ipv4(e + KOVA_LUT_OFF_IP_SRC, flow.ip_src);
        put_ipv4(e + KOVA_LUT_OFF_IP_DST, flow.ip_dst);
        bytes::put_be16(e + KOVA_LUT_OFF_PORTS, flow.udp_sport);
        bytes::put_be16(e + KOVA_LUT_OFF_PORTS + 2, flow.udp_dport);
        break;
    case KOVA_ETH_TYPE_IPV6:
        put_ipv6(e + KOVA_LUT_OFF_IP_SRC, flow.ip_src);
        put_ipv6(e + KOVA_LUT_OFF_IP_DST, flow.ip_dst);
        bytes::put_le32(e + KOVA_LUT_OFF_PORTS, uint32_t(flow.udp_sport) << 16 | flow.udp_dport);
        break;
    default:
        break;
    }
}

} // namespace kv::key
