// Reading the module's dumps back: each entry line of dump_flows_cpu or
// dump_flows_qe becomes the entry's fields in decimal, its slot (from the
// address the line shows) and its place in the chains (from the indent);
// and the actions of an entry of the engine copy, decoded by name.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kova/kovaAPI.h"

namespace kovactl {

using Json = nlohmann::ordered_json;

struct DumpEntry {
    int64_t slot = -1;        // -1 when the addresses gave no consistent table base
    int64_t parent_slot = -1; // extended entries: the entry they hang on
    int indent = 0;
    bool extended = false;
    uint64_t address = 0;
    uint32_t crc = 0, port_word = 0, vlan1 = 0, vlan2 = 0;
    uint32_t flow_cnt = 0, timestamp = 0, packets = 0;
    uint16_t eth_type = 0, sport = 0, dport = 0; // ports as the flow was defined
    uint8_t dmac[6]{}, smac[6]{};
    kova_IPADDR src{}, dst{};

    kova_FLOW flow() const; // the key as a flow description (crc32 = the entry's)
    bool crc_matches_key() const;
    const char *role() const; // "head", "crc12", "crc32" or "extended"
};

struct Dump {
    bool present = false; // the summary was there: this copy was dumped
    bool cut = false;     // the module's buffer was full: entries are missing
    std::vector<DumpEntry> entries;
    std::map<std::string, int64_t> summary; // "All LUTs" -> n, ...
};

// Throws std::runtime_error on a line it cannot read.
Dump parse_dump(const std::string &text);

// The UCC a port word stands for: 36..40 are stored as 31..27, so a word of
// 27..31 may also be that UCC itself.
std::string ucc_text(uint32_t port_word);

// The actions of a 256-byte entry of the engine copy, each an object
// {"rule": name, params...} with the names `kovactl add` takes.
Json decode_actions(const uint8_t *entry);

// An address as operators read it: a.b.c.d, or inet_ntop's short IPv6 form.
std::string display_address(const kova_IPADDR &a, bool v6);

// `rule p=v p=v`, as `kovactl add` takes it.
std::string action_text(const Json &action);

} // namespace kovactl
