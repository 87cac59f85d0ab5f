// The engine's per-packet work: find the packet's flow in the table of the
// shared area and keep the counters the module reads back. The table is
// read without any lock; the module publishes entries so that an entry
// whose valid word is 1 is whole, and the engine trusts nothing else.
//
// The walk of one lookup:
//   1. The bucket head is slot crc >> 18.
//   2. Follow next_crc12 from the head: one entry per distinct CRC32 of the
//      bucket (the group heads).
//   3. At the group head whose crc32 equals the packet's, follow next_crc32
//      through the group and compare port word and key bytes; the first
//      entry that matches is the packet's flow.
//   4. Every entry is used, links included, only after an acquire load of
//      its valid word has seen 1; any other value ends the list it is on.
//   5. A link is an engine address, qe_base + 256 * slot, 0 ending a list.
//      One that is not a slot boundary inside the table ends the walk and is
//      counted as a bad link; so does a walk longer than the table.
//
// On a match the engine counts the packet in the flow's entry (packet_cnt
// +1, stats_word2 += length, timestamp = the engine's clock), and then in
// every live extended flow behind it (next_ext): an extended flow carries
// its own rules for the same packets, so it sees each one too. Every packet,
// matched or not, is counted in the counter record of its ingress port.
#pragma once

#include <cstdint>

#include "flow_key.h"
#include "kova/kova_shm.h"

namespace kova_engine {

// One received packet, as far as the lookup looks at it.
struct Packet {
    kova_flow_key key;
    uint32_t crc;     // kova_flow_key_crc(&key): what the engine's hash unit gives
    uint16_t ucc;     // ingress UCC 0..40; 36..39 are the link-aggregation groups
    uint16_t subport; // 0..4095; selects the counter record of UCCs 4..35
    uint32_t len;     // bytes on the wire
};

// The packet of a flow description: its key, CRC, UCC and subport.
Packet packet_of(const kova_FLOW &flow, uint32_t len);

// Chooses the IPv4 source address of an IPv4 or ARP flow so that its key
// hashes to `crc`; the other fields stay. Any 32 consecutive key bits can
// take a CRC to any value, so this always succeeds for those types (false
// for others). Builds tables with chosen buckets, chains and collisions.
bool set_source_for_crc(kova_FLOW *flow, uint32_t crc);

// Byte offset in the shared area of the counter record of (ucc, subport),
// or 0 for a UCC without one (40 and above).
uint32_t counter_record(uint32_t ucc, uint32_t subport);

struct Stats {
    uint64_t packets = 0;
    uint64_t hits = 0;
    uint64_t misses = 0;
    uint64_t extended = 0;  // extended-flow entries counted behind a hit
    uint64_t bad_links = 0; // walks ended by a link outside the table or a loop
};

class Engine {
public:
    // area: the start of the shared area (the table's slot 0) in this
    // process; qe_base: the engine address of slot 0, as given at attach.
    Engine(uint8_t *area, uint64_t qe_base) : area_(area), qe_base_(qe_base) {}

    // The slot of the packet's flow, or -1. Changes nothing in the area.
    int32_t lookup(const Packet &p);
    // lookup() and the counting above; the slot or -1.
    int32_t process(const Packet &p);

    // The value written into timestamp on a hit.
    void set_clock(uint32_t now) { now_ = now; }
    const Stats &stats() const { return stats_; }

private:
    uint8_t *live_entry(uint64_t link, uint32_t *budget);
    void count_in_entry(uint8_t *e, uint32_t len);
    void count_on_port(const Packet &p);

    uint8_t *area_;
    uint64_t qe_base_;
    uint32_t now_ = 0;
    Stats stats_;
};

} // namespace kova_engine
