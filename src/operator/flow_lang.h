// The flow command language: the text an operator writes to "create_flows"
// (key=value tokens describing one flow, then its rules, then ";") turned
// into a kova_FLOW with its rule list.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "kova/kovaAPI.h"

extern "C" {
// 4 for text with a '.', else 6 for text with a ':', else -1.
int ip_version(const char *text);
}

namespace kv::lang {

constexpr size_t kMaxTokens = 64;
constexpr size_t kMaxTokenLen = 127;
constexpr size_t kMaxAddressText = 45; // a flow's source or destination
constexpr size_t kMaxWord = 63;        // qos_trusted, replacement addresses
constexpr size_t kRuleKinds = 17;      // one record per keyword

// Results of a parse besides 0 (the file handler returns them as they are).
constexpr int kBadParameter = -3;
constexpr int kBadAddress = -2;

// A parsed definition. Large enough that it lives in the open file's state,
// not on the stack.
struct Definition {
    kova_FLOW flow;
    kova_RULE rules[kRuleKinds];
    int32_t flow_id;
    int32_t parent_flow_id;
    bool extended;
    // Scratch: the tokens (pointers into the parsed text) and the two
    // address texts, with one spare byte to see an over-long text.
    char *tokens[kMaxTokens];
    char src_text[kMaxAddressText + 2];
    char dst_text[kMaxAddressText + 2];
};

// Parses the NUL-terminated definition in `text`, which it cuts into tokens
// in place. Logs the message of the first error and returns kBadParameter or
// kBadAddress; on success logs the flow's keys and returns 0, with
// def->flow.rules the head of the list in def->rules (null when none).
[[nodiscard]] int parse_definition(char *text, Definition *def);

// Converts an address text into `out` (zeroed first): IPv4 into the first
// four bytes, IPv6 into eight 16-bit groups in CPU order. Text with a '.' is
// IPv4 unless a ':' comes before the first '.' (IPv6 with a dotted tail);
// IPv6 text is what inet_pton(AF_INET6) takes, the "::" shorthand included.
// 0, kBadAddress for text that is neither form, kBadParameter when the form
// is broken or a number is too large for its place; in that last case
// *range (when given) names the range it left, else it is set to null.
[[nodiscard]] int convert_address(const char *text, kova_IPADDR *out, const char **range = nullptr);

} // namespace kv::lang
