// Reading the module's listings back. flow_list gives each flow's slot,
// appflowid, parent, UCC, counters and its entry's key and actions; the
// dumps (dump_flows_cpu, dump_flows_qe) give each copy's entries without
// owners. A flow is found in a dump by content (key, crc32, port word, and
// whether it is extended): the addresses a dump prints may be hashed, so
// nothing is taken from them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kova/kovaAPI.h"
#include "kova/kova_shm.h"

namespace kovactl {

using Json = nlohmann::ordered_json;

// One line of flow_list; `entry` holds the line's key and actions at their
// places in a 256-byte entry (the rest zero), so the entry decoders apply.
struct FlowLine {
    uint32_t slot = 0, appflowid = 0, ucc = 0, crc = 0, packets = 0, octets = 0, timestamp = 0;
    int64_t parent = -1; // the appflowid an extended flow hangs on, else -1
    uint8_t entry[KOVA_LUT_SIZE]{};
};

// Throws std::runtime_error on a line it cannot read.
std::vector<FlowLine> parse_flow_list(const std::string &text);

// One entry line of a dump: what it shows, the key rebuilt byte for byte.
struct DumpEntry {
    bool extended = false;
    uint32_t crc = 0, port_word = 0;
    uint32_t flow_cnt = 0, timestamp = 0, packets = 0;
    uint8_t entry[KOVA_LUT_SIZE]{}; // the key at its place
};

struct Dump {
    bool present = false; // the summary was there: this copy was dumped
    bool cut = false;     // the module's buffer was full: entries are missing
    std::vector<DumpEntry> entries;
    std::map<std::string, int64_t> summary; // "All LUTs" -> n, ...
};

// Throws std::runtime_error on a line it cannot read.
Dump parse_dump(const std::string &text);

// The key of an entry as named fields: dmac smac vlan vlan2 type src dst
// sport dport.
Json key_json(const uint8_t *entry);

// The actions of an entry, each an object {"rule": name, params...} with
// the names `kovactl add` takes.
Json decode_actions(const uint8_t *entry);

// An address as operators read it: a.b.c.d, or inet_ntop's short IPv6 form.
std::string display_address(const kova_IPADDR &a, bool v6);

// `rule p=v p=v`, as `kovactl add` takes it.
std::string action_text(const Json &action);

} // namespace kovactl
