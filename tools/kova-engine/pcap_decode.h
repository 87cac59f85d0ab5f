// Captured Ethernet frames into the engine's packets: the fields of the flow
// key taken from the headers, then the key built by kova_flow_key_make (the
// one definition in tools/common/flow_key.h), so a frame finds exactly the
// flow whose description has the same fields. No file I/O here: the decoder
// takes a frame's bytes, so it is fuzzed and tested on raw frames.
//
// What a frame gives:
//   eth_dmac, eth_smac  the first 12 bytes
//   vlan_id_1, vlan_id_2  the VLAN id (low 12 bits of the tag control word)
//       of the outer and the inner tag, 0 for an absent one. Tags are
//       0x8100 and 0x88a8 in any order; a frame with only one tag has it
//       as vlan_id_1. A third tag cannot be keyed: too_many_tags.
//   eth_type  the type after the tags
//   IPv4 (0x0800)  source and destination; ports of UDP (17) and TCP (6)
//       from the transport header, 0 for any other protocol. Options are
//       skipped. A fragment with a non-zero offset has no ports:
//       non_first_fragment.
//   IPv6 (0x86DD)  source and destination; hop-by-hop (0), routing (43),
//       fragment (44) and destination options (60) headers are walked to
//       the transport header, which gives the ports as for IPv4.
//   ARP (0x0806)  Ethernet/IPv4 ARP only: sender and target protocol
//       addresses as source and destination, ports 0.
//   any other type of 0x0600 and above  the layer-2 fields only, as the
//       key defines for such flows; a value below 0x0600 is an 802.3
//       length, not a type: unsupported_ethertype.
//
// The ingress port is not in the frame: either one UCC and subport for the
// whole capture, or per frame from a port tag: the frame's outer tag, whose
// VLAN id is the UCC (0..40), is taken off before the key's tags are read
// (a tap that tags each port's traffic puts it there).
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine.h"

namespace kova_engine {

enum class Decode : uint8_t {
    ok,
    truncated,             // the capture ends before a header the key needs
    unsupported_ethertype, // an 802.3 length where the type would be
    too_many_tags,         // more VLAN tags than the key has room for
    malformed_ip,          // wrong version, header length or total length
    non_first_fragment,    // no transport header in this fragment
    malformed_arp,         // not Ethernet/IPv4 ARP
    no_port_tag,           // ports from tags, and no tag or an id above 40
};
constexpr unsigned kDecodeResults = 8;

// "truncated", "unsupported ethertype", ...; "decoded" for ok.
const char *decode_name(Decode d);

struct PortChoice {
    bool from_tag = false; // the outer tag names the UCC
    uint16_t ucc = 0;      // otherwise this one
    uint16_t subport = 0;  // in both cases
};

// Decodes `caplen` captured bytes of a frame that was `wire_len` bytes long
// into *out, which is written only when the result is ok.
Decode decode_frame(const uint8_t *frame, size_t caplen, uint32_t wire_len, const PortChoice &port,
                    Packet *out);

} // namespace kova_engine
