// Packet lines: the text form of traces and of the generator's flow list.
//
// One packet per line, fields as key=value tokens separated by blanks, in
// any order; '#' starts a comment, blank lines are skipped:
//
//   ucc=2 subport=0 dmac=02:00:00:4f:03:e8 smac=02:00:01:00:00:10
//   vlan1=3999 vlan2=3988 eth_type=0x800 src=192.168.32.102
//   dst=192.168.39.102 sport=0 dport=5 len=128 count=10
//
//   ucc       ingress UCC 0..40 (36..39: link-aggregation groups)    [0]
//   subport   0..4095                                                 [0]
//   dmac smac six hex octets a:b:c:d:e:f                        [all zero]
//   vlan1 vlan2   VLAN ids 0..65535, 0 when untagged                  [0]
//   eth_type  hexadecimal, with or without 0x                         [0]
//   src dst   a.b.c.d, or IPv6 (x:x:x:x:x:x:x:x or the :: form); which
//             form the key takes is chosen by eth_type, as in the table
//   sport dport   transport ports 0..65535                            [0]
//   len       bytes on the wire, 1..65535                            [64]
//   count     the line stands for this many packets, 1..2^40          [1]
//   crc32     optional, hexadecimal: the line is refused unless the key
//             hashes to exactly this value
//
// Numbers other than eth_type and crc32 are decimal, or hexadecimal with
// 0x. The names of a create_flows definition are accepted as well
// (flow_ucc, flow_subport, eth_dmac, eth_smac, vlan_id_1, vlan_id_2,
// ipv4_src, ipv4_dst, udp_sport, udp_dport; flow_id and parent_flow_id are
// ignored), so that a definition's key tokens can be reused as they are.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "engine.h"

namespace kova_engine {

struct TraceLine {
    Packet packet;
    uint64_t count;
    kova_FLOW flow; // the description the packet was made of
};

enum class LineKind { packet, empty, error };

// One line; on an error `error` says what is wrong, any text of the line in
// it quoted and escaped (quote.h).
LineKind parse_line(const std::string &line, TraceLine *out, std::string *error);

// A file's packet lines one at a time, so that a trace runs as it is read
// and parsed, the way a capture runs as its frames are decoded.
class TraceReader {
public:
    // False with "path: why" in `error`.
    bool open(const std::string &path, std::string *error);
    // The next packet line; false at the end of the file or at a bad line
    // (then error() says "path:line: what").
    bool next(TraceLine *out);
    const std::string &error() const { return error_; }

private:
    std::ifstream in_;
    std::string path_, line_, error_; // path_ as errors give it: escaped
    unsigned number_ = 0;
};

// A whole file; false with "path:line: what" in `error`.
bool read_lines(const char *path, std::vector<TraceLine> *out, std::string *error);

} // namespace kova_engine
