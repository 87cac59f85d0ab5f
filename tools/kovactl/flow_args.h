// kovactl's flow grammar: named key fields in any order and rules by name
// with named parameters, checked against what the entry can represent and
// turned into the fixed-order definition create_flows takes. No I/O here,
// so every range is testable without a mount.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kova/kovaAPI.h"

namespace kovactl {

// A refusal of the operator's input: the message names the field, the value
// and what would have been accepted.
struct UsageError {
    std::string message;
};

struct FlowRequest {
    int32_t id = 0;
    bool extended = false;
    int32_t parent = 0;
    kova_FLOW flow{};                     // the key, ucc and subport; crc32 computed from the key
    std::vector<std::string> rule_tokens; // one entry per rule, its language tokens
    std::string definition;               // what one write to create_flows carries
};

// `add` arguments: id= [parent=] ucc= [subport=] [key fields] RULE [PARAM=..]...
// Throws UsageError.
FlowRequest parse_add(const std::vector<std::string> &args);

// Numbers as operators write them: decimal, or hexadecimal after 0x. A value
// outside lo..hi (including one beyond 64 bits) throws
// "<field>: <text> out of range <lo>..<hi>".
int64_t parse_number(const std::string &field, const std::string &text, int64_t lo, int64_t hi,
                     bool hex_range = false);

// "a.b.c.d" or any text inet_pton(AF_INET6) reads; v6 tells which it was.
void parse_address(const std::string &field, const std::string &text, kova_IPADDR *out, bool *v6);
void parse_mac(const std::string &field, const std::string &text, uint8_t out[6]);

// How the entry's and the language's values are shown back.
std::string mac_text(const uint8_t m[6]);
std::string address_text(const kova_IPADDR &a, bool v6);
const char *type_name(uint16_t eth_type); // "ipv4", "ipv6", "arp" or nullptr

// What a creation or deletion result means, for the operator.
std::string create_result_text(int code, bool extended);
std::string delete_result_text(int code, bool with_extended);

} // namespace kovactl
