/*
 * The flow key: the header bytes whose CRC32 picks a flow's bucket. The
 * operator's tools compute it to write a definition (crc32=...), and the
 * engine simulator computes it from each packet to find the flow, so both
 * must build exactly the bytes the module writes: kova_flow_key_make takes
 * them from the entry builder's own key writer (src/flow/key.h).
 *
 * Layout (KOVA_FLOW_KEY_LEN = 60 bytes): byte for byte the match key of a
 * table entry, entry bytes 4..63, so a key can also be taken straight from a
 * stored entry and compared with memcmp.
 *
 *   key  entry  bytes  field
 *    0     4      6    eth_dmac, transmission order
 *    6    10      6    eth_smac, transmission order
 *   12    16      4    vlan_id_1 as a big-endian u32 (0 when untagged)
 *   16    20      4    vlan_id_2 as a big-endian u32 (0 when untagged)
 *   20    24      4    eth_type: high byte, low byte, 0, 0
 *   24    28     16    source address
 *   40    44     16    destination address
 *   56    60      4    transport ports
 *
 * The address and port bytes depend on eth_type:
 *   0x0800 (IPv4), 0x0806 (ARP): address a.b.c.d as the bytes c, d, a, b,
 *       then 12 zero bytes; ports: sport big-endian u16, dport big-endian u16.
 *   0x86DD (IPv6): groups g0..g7 (g0 the most significant) as four
 *       little-endian u32 words (g1<<16|g2), (g3<<16|g4), (g5<<16|g6),
 *       (g7<<16|g0); ports: one little-endian u32 (sport<<16|dport).
 *   any other type: addresses and ports are all zero bytes (such flows
 *       match on the layer-2 fields only).
 *
 * The ingress UCC is not part of the key: the engine compares an entry's
 * port word (entry bytes 0..3) separately.
 *
 * The CRC is the module's kova_crc32 (IEEE 802.3 CRC-32: initial register
 * 0xFFFFFFFF, reflected, final inversion) over the 60 bytes in order,
 * computed here eight bytes at a time.
 */
#ifndef KOVA_TOOLS_FLOW_KEY_H
#define KOVA_TOOLS_FLOW_KEY_H

#include <stdint.h>

#include "kova/kovaAPI.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KOVA_FLOW_KEY_LEN 60u
/* Where the key starts inside a 256-byte table entry. */
#define KOVA_FLOW_KEY_ENTRY_OFF 4u

struct kova_flow_key {
    uint8_t bytes[KOVA_FLOW_KEY_LEN];
};

/* Builds the key of a flow description. Uses eth_dmac, eth_smac, vlan_id_1,
 * vlan_id_2, eth_type, ip_src, ip_dst (kova_IPADDR conventions: IPv4 a.b.c.d
 * in v4[0..3], IPv6 groups in CPU order, group 0 first), udp_sport and
 * udp_dport; ignores crc32, flow_ucc, flow_subport and rules. */
void kova_flow_key_make(const kova_FLOW *flow, struct kova_flow_key *key);

/* Takes the key from a 256-byte table entry (its bytes 4..63). */
void kova_flow_key_from_entry(const void *entry, struct kova_flow_key *key);

/* kova_crc32 of the key's 60 bytes: the value of a definition's crc32. */
uint32_t kova_flow_key_crc(const struct kova_flow_key *key);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KOVA_TOOLS_FLOW_KEY_H */
