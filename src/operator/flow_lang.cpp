// The flow command language. A definition is a fixed sequence of key tokens,
// then "ruleN=KEYWORD" tokens each followed by that rule's parameter tokens,
// then ";". Every token must match its format from its first character.
#include "operator/flow_lang.h"

#include <stdarg.h>

#include "flow/field_ranges.h"
#include "lib/scan.h"
#include "lib/text.h"
#include "platform.h"

namespace kv::lang {
namespace {

using kv::NumberForm;
using kv::NumberRead;

// The tokens of a definition, taken in order. Past the last one every take
// gives "", which matches no format, so a definition that stops early fails
// on its first missing token with that token's own message.
class Cursor {
public:
    Cursor(char *const *tokens, size_t count) : tok_(tokens), n_(count) {}
    const char *peek() const { return at_ < n_ ? tok_[at_] : ""; }
    const char *take() { return at_ < n_ ? tok_[at_++] : ""; }
    // The position of the token the last take() gave.
    size_t last() const { return at_ - 1; }

private:
    char *const *tok_;
    size_t n_;
    size_t at_ = 0;
};

int scan_token(const char *token, const char *fmt, ...) __attribute__((format(scanf, 2, 3)));
int scan_token(const char *token, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int n = vscan(token, __builtin_strlen(token), fmt, ap);
    va_end(ap);
    return n;
}

// What a message names: a key of the flow ("udp_sport"), or a parameter of
// a rule, which carries the rule's keyword ("RULE_SET_TOS", "tos").
struct Field {
    const char *keyword; // null for a key
    const char *name;
};

int param_error(Field f) {
    if (f.keyword)
        plat_printk("%s: %s parameter error!\n", f.keyword, f.name);
    else
        plat_printk("%s parameter error!\n", f.name);
    return kBadParameter;
}

int key_error(const char *key) { return param_error({nullptr, key}); }

int rule_error(const char *keyword, const char *param) { return param_error({keyword, param}); }

// Operator text quoted into a log line: at most kQuoted bytes of it, each
// byte that is not printable ASCII (and the quote and the backslash) as
// \xNN, "..." after a cut. `out` holds kQuotedSize bytes.
constexpr size_t kQuoted = 48;
constexpr size_t kQuotedSize = kQuoted * 4 + 4;

void quote(const char *text, char *out) {
    static const char hex[] = "0123456789abcdef";
    size_t n = 0;
    for (; text[n] && n < kQuoted; ++n) {
        const unsigned char c = static_cast<unsigned char>(text[n]);
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
            *out++ = char(c);
            continue;
        }
        *out++ = '\\';
        *out++ = 'x';
        *out++ = hex[c >> 4];
        *out++ = hex[c & 15];
    }
    if (text[n])
        for (int i = 0; i < 3; ++i)
            *out++ = '.';
    *out = '\0';
}

// The refusal of a value its field cannot hold: the value as written (len
// bytes; a number's own characters, or quoted text) and the range.
int out_of_range(Field f, const char *value, size_t len, const char *range) {
    if (f.keyword)
        plat_printk("%s: %s: %.*s out of range %s\n", f.keyword, f.name, int(len), value, range);
    else
        plat_printk("%s: %.*s out of range %s\n", f.name, int(len), value, range);
    return kBadParameter;
}

int out_of_range(Field f, const char *value, size_t len, const NumberForm &form) {
    char range[48];
    kv::Text t(range, sizeof range);
    if (form.base == 16)
        t.add("0x%llx..0x%llx", static_cast<unsigned long long>(form.lo),
              static_cast<unsigned long long>(form.hi));
    else
        t.add("%lld..%lld", static_cast<long long>(form.lo), static_cast<long long>(form.hi));
    return out_of_range(f, value, len, range);
}

int quoted_out_of_range(Field f, const char *text, const char *range) {
    char q[kQuotedSize];
    quote(text, q);
    return out_of_range(f, q, __builtin_strlen(q), range);
}

// The ranges: what the fields of an entry hold, so that no value is cut.
using namespace kv::ranges;
constexpr const char kGroupRange[] = "0x0..0xffff";
constexpr const char kOctetRange[] = "0..255";

// "<name>=<number>" from the token's first character; text after the
// number is ignored.
int read_field(const char *token, Field f, const NumberForm &form, int64_t *v) {
    const size_t len = __builtin_strlen(f.name);
    if (__builtin_strncmp(token, f.name, len) != 0 || token[len] != '=')
        return param_error(f);
    const char *p = token + len + 1, *start = p;
    switch (kv::read_number(&p, form, v, &start)) {
    case NumberRead::ok:
        return 0;
    case NumberRead::none:
        return param_error(f);
    default:
        return out_of_range(f, start, size_t(p - start), form);
    }
}

template <typename T> int read_field(const char *token, Field f, const NumberForm &form, T *out) {
    int64_t v;
    if (int r = read_field(token, f, form, &v))
        return r;
    *out = T(v);
    return 0;
}

// `n` numbers of `form` apart by `sep` into bytes, from *p on; stops at the
// first that is missing or out of range and says which it was.
NumberRead read_octets(const char **p, char sep, int n, const NumberForm &form, uint8_t *out) {
    for (int i = 0; i < n; ++i) {
        if (i > 0 && *(*p)++ != sep)
            return NumberRead::none;
        int64_t v;
        const char *start;
        const NumberRead r = kv::read_number(p, form, &v, &start);
        if (r != NumberRead::ok)
            return r;
        out[i] = uint8_t(v);
    }
    return NumberRead::ok;
}

// "<name>=" and six hexadecimal octets apart by ':'; an octet over 0xff (such
// as e8f) is refused with the whole address.
int read_mac(const char *token, Field f, uint8_t *mac) {
    const size_t len = __builtin_strlen(f.name);
    if (__builtin_strncmp(token, f.name, len) != 0 || token[len] != '=')
        return param_error(f);
    const char *const text = token + len + 1;
    const char *p = text;
    switch (read_octets(&p, ':', 6, kMacOctet, mac)) {
    case NumberRead::ok:
        return 0;
    case NumberRead::none:
        return param_error(f);
    default:
        return quoted_out_of_range(f, text, "0x0..0xff");
    }
}

// Splits `text` at spaces and line feeds, in place, skipping empty pieces.
int split(char *text, char **tokens, size_t *count) {
    size_t n = 0;
    char *p = text;
    while (*p) {
        while (*p == ' ' || *p == '\n')
            *p++ = '\0';
        if (!*p)
            break;
        if (n == kMaxTokens) {
            plat_printk("create_flows: more than %u tokens\n", unsigned(kMaxTokens));
            return kBadParameter;
        }
        tokens[n++] = p;
        while (*p && *p != ' ' && *p != '\n')
            ++p;
        if (size_t(p - tokens[n - 1]) > kMaxTokenLen) {
            plat_printk("create_flows: token longer than %u characters\n", unsigned(kMaxTokenLen));
            return kBadParameter;
        }
    }
    *count = n;
    return 0;
}

// "<key>=<address text>" into `out` (kMaxAddressText + 2 bytes, one spare
// byte to see an over-long text).
int read_address_text(const char *token, const char *fmt, const char *key, char *out) {
    if (scan_token(token, fmt, out) != 1)
        return key_error(key);
    if (__builtin_strlen(out) > kMaxAddressText) {
        plat_printk("%s: address text longer than %u characters\n", key, unsigned(kMaxAddressText));
        return kBadParameter;
    }
    return 0;
}

// The keys of a flow, in the order a definition gives them.
const char *const kKeys[] = {"parent_flow_id", "flow_id",  "crc32",     "flow_ucc",  "flow_subport",
                             "eth_dmac",       "eth_smac", "vlan_id_1", "vlan_id_2", "eth_type",
                             "ipv4_src",       "ipv4_dst", "udp_sport", "udp_dport"};

// A key that failed at its position may have failed because the operator
// gave the keys in another order: a token that is another key says so.
int key_failed(const Cursor &c, const char *token, const char *key, int r) {
    for (const char *other : kKeys) {
        const size_t len = __builtin_strlen(other);
        if (__builtin_strcmp(other, key) != 0 && __builtin_strncmp(token, other, len) == 0 &&
            token[len] == '=') {
            char q[kQuotedSize];
            quote(token, q);
            plat_printk("create_flows: expected %s= at token %u, found \"%s\"\n", key,
                        unsigned(c.last()), q);
            break;
        }
    }
    return r;
}

template <typename T> int read_key(Cursor &c, const char *key, const NumberForm &form, T *out) {
    const char *token = c.take();
    if (int r = read_field(token, {nullptr, key}, form, out))
        return key_failed(c, token, key, r);
    return 0;
}

int read_key_mac(Cursor &c, const char *key, uint8_t *mac) {
    const char *token = c.take();
    if (int r = read_mac(token, {nullptr, key}, mac))
        return key_failed(c, token, key, r);
    return 0;
}

int read_key_address(Cursor &c, const char *fmt, const char *key, char *out) {
    const char *token = c.take();
    if (int r = read_address_text(token, fmt, key, out))
        return key_failed(c, token, key, r);
    return 0;
}

int read_keys(Cursor &c, Definition &d) {
    kova_FLOW &f = d.flow;
    int r;
    if ((r = read_key(c, "flow_id", kAppFlowId, &d.flow_id)) ||
        (r = read_key(c, "crc32", kCrc, &f.crc32)) ||
        (r = read_key(c, "flow_ucc", kUcc, &f.flow_ucc)) ||
        (r = read_key(c, "flow_subport", kTwelveBits, &f.flow_subport)) ||
        (r = read_key_mac(c, "eth_dmac", f.eth_dmac)) ||
        (r = read_key_mac(c, "eth_smac", f.eth_smac)) ||
        (r = read_key(c, "vlan_id_1", kTwelveBits, &f.vlan_id_1)) ||
        (r = read_key(c, "vlan_id_2", kTwelveBits, &f.vlan_id_2)) ||
        (r = read_key(c, "eth_type", kEthType, &f.eth_type)) ||
        (r = read_key_address(c, "ipv4_src=%46s", "ipv4_src", d.src_text)) ||
        (r = read_key_address(c, "ipv4_dst=%46s", "ipv4_dst", d.dst_text)) ||
        (r = read_key(c, "udp_sport", kSixteenBits, &f.udp_sport)) ||
        (r = read_key(c, "udp_dport", kSixteenBits, &f.udp_dport)))
        return r;
    return 0;
}

void log_keys(const Definition &d) {
    const kova_FLOW &f = d.flow;
    const uint8_t *dm = f.eth_dmac, *sm = f.eth_smac;
    plat_printk("PRINT PARAMS\n");
    plat_printk("flow_id=%d\n", d.flow_id);
    plat_printk("crc32=%d\n", int32_t(f.crc32));
    plat_printk("flow_ucc=%d\n", f.flow_ucc);
    plat_printk("flow_subport=%d\n", f.flow_subport);
    plat_printk("eth_dmac=" KOVA_MAC_FORMAT "\n", KOVA_MAC_ARGS(dm));
    plat_printk("eth_smac=" KOVA_MAC_FORMAT "\n", KOVA_MAC_ARGS(sm));
    plat_printk("vlan_id_1=%d\n", f.vlan_id_1);
    plat_printk("vlan_id_2=%d\n", f.vlan_id_2);
    plat_printk("eth_type=0x%x\n", f.eth_type);
    plat_printk("ipv4_src=%s\n", d.src_text);
    plat_printk("ipv4_dst=%s\n", d.dst_text);
    plat_printk("udp_sport=%d\n", f.udp_sport);
    plat_printk("udp_dport=%d\n", f.udp_dport);
}

int convert_flow_address(const char *text, kova_IPADDR *out, const char *key) {
    const char *range = nullptr;
    const int r = convert_address(text, out, &range);
    if (r == kBadAddress)
        plat_printk("Wrong IP address format\n");
    else if (range)
        quoted_out_of_range({nullptr, key}, text, range);
    else if (r != 0)
        key_error(key);
    return r;
}

// ---- rule parameters: each reader consumes the rule's parameter tokens ----

int read_none(Cursor &, const char *, kova_RULE &) { return 0; }

int read_forward_qe(Cursor &c, const char *kw, kova_RULE &r) {
    auto &p = r.param.forward_qe;
    if (int e = read_field(c.take(), {kw, "qos_serviceclass"}, kThreeBits, &p.qos_serviceclass))
        return e;
    char word[kMaxWord + 2];
    if (scan_token(c.take(), "qos_trusted=%64s", word) != 1)
        return rule_error(kw, "qos_trusted");
    if (__builtin_strlen(word) > kMaxWord) {
        plat_printk("%s: qos_trusted longer than %u characters\n", kw, unsigned(kMaxWord));
        return kBadParameter;
    }
    if (!__builtin_strcmp(word, "0") || !__builtin_strcmp(word, "KOVA_PORT_UNTRUSTED"))
        p.qos_trusted = KOVA_PORT_UNTRUSTED;
    else if (!__builtin_strcmp(word, "1") || !__builtin_strcmp(word, "KOVA_PORT_TRUSTED"))
        p.qos_trusted = KOVA_PORT_TRUSTED;
    else
        return rule_error(kw, "qos_trusted");
    int e;
    if ((e = read_field(c.take(), {kw, "subport"}, kTwelveBits, &p.subport)) ||
        (e = read_field(c.take(), {kw, "priority"}, kByte, &p.priority)) ||
        (e = read_field(c.take(), {kw, "port"}, kUcc, &p.port)))
        return e;
    return 0;
}

int read_forward_cpu(Cursor &c, const char *kw, kova_RULE &r) {
    return read_field(c.take(), {kw, "priority"}, kByte, &r.param.forward_cpu.priority);
}

// Add and change, VLAN 1 and 2. etype is decimal, unlike eth_type.
int read_vlan(Cursor &c, const char *kw, kova_RULE &r) {
    auto &p = r.param.vlan;
    int e;
    if ((e = read_field(c.take(), {kw, "priority"}, kThreeBits, &p.priority)) ||
        (e = read_field(c.take(), {kw, "cfi"}, kOneBit, &p.cfi)) ||
        (e = read_field(c.take(), {kw, "vid"}, kTwelveBits, &p.vid)) ||
        (e = read_field(c.take(), {kw, "etype"}, kSixteenBits, &p.etype)))
        return e;
    return 0;
}

int read_policing(Cursor &c, const char *kw, kova_RULE &r) {
    return read_field(c.take(), {kw, "weight"}, kWeight, &r.param.policing.weight);
}

int read_set_tos(Cursor &c, const char *kw, kova_RULE &r) {
    return read_field(c.take(), {kw, "tos"}, kByte, &r.param.set_tos.tos);
}

// The address of a replacement rule; `short_name` names it in the message
// of a failed conversion ("source_ip", "dest_ip").
int read_replacement_address(const char *token, const char *fmt, const char *kw, const char *param,
                             const char *short_name, kova_IPADDR *out) {
    char text[kMaxWord + 2];
    if (scan_token(token, fmt, text) != 1)
        return rule_error(kw, param);
    if (__builtin_strlen(text) > kMaxWord) {
        plat_printk("%s: %s longer than %u characters\n", kw, param, unsigned(kMaxWord));
        return kBadParameter;
    }
    const char *range = nullptr;
    const int r = convert_address(text, out, &range);
    if (r == kBadAddress)
        plat_printk("%s: Wrong IP address format\n", kw);
    else if (range)
        quoted_out_of_range({kw, param}, text, range);
    else if (r != 0)
        rule_error(kw, short_name);
    return r;
}

int read_replace_src(Cursor &c, const char *kw, kova_RULE &r) {
    auto &p = r.param.replace_src;
    if (int e = read_mac(c.take(), {kw, "source_mac_addr"}, p.source_mac_addr))
        return e;
    if (int e = read_replacement_address(c.take(), "source_ip_addr=%64s", kw, "source_ip_addr",
                                         "source_ip", &p.source_ip_addr))
        return e;
    return read_field(c.take(), {kw, "source_udp_port"}, kSixteenBits, &p.source_udp_port);
}

int read_replace_dst(Cursor &c, const char *kw, kova_RULE &r) {
    auto &p = r.param.replace_dst;
    if (int e = read_mac(c.take(), {kw, "destination_mac_addr"}, p.destination_mac_addr))
        return e;
    if (int e = read_replacement_address(c.take(), "destination_ip_addr=%64s", kw,
                                         "destination_ip_addr", "dest_ip", &p.destination_ip_addr))
        return e;
    return read_field(c.take(), {kw, "destination_udp_port"}, kSixteenBits,
                      &p.destination_udp_port);
}

struct RuleKind {
    const char *keyword;
    uint32_t type;
    int (*read)(Cursor &, const char *, kova_RULE &);
};

constexpr RuleKind kRuleKindTable[kRuleKinds] = {
    {"RULE_DROP_PACKET", RULE_DROP_PACKET, read_none},
    {"RULE_FORWARD_TO_QE", RULE_FORWARD_TO_QE, read_forward_qe},
    {"RULE_FORWARD_TO_CPU", RULE_FORWARD_TO_CPU, read_forward_cpu},
    {"RULE_ADD_VLAN_1", RULE_ADD_VLAN_1, read_vlan},
    {"RULE_REMOVE_VLAN_1", RULE_REMOVE_VLAN_1, read_none},
    {"RULE_CHANGE_VLAN_1", RULE_CHANGE_VLAN_1, read_vlan},
    {"RULE_SECOND_CLASSIFY", RULE_SECOND_CLASSIFY, read_none},
    {"RULE_POLICING", RULE_POLICING, read_policing},
    {"RULE_REPLACE_SRC_HEADER", RULE_REPLACE_SRC_HEADER, read_replace_src},
    {"RULE_REPLACE_DST_HEADER", RULE_REPLACE_DST_HEADER, read_replace_dst},
    {"RULE_UPDATE_TIMESTAMP", RULE_UPDATE_TIMESTAMP, read_none},
    {"RULE_UPDATE_PACKET_CNT", RULE_UPDATE_PACKET_CNT, read_none},
    {"RULE_ADD_VLAN_2", RULE_ADD_VLAN_2, read_vlan},
    {"RULE_REMOVE_VLAN_2", RULE_REMOVE_VLAN_2, read_none},
    {"RULE_CHANGE_VLAN_2", RULE_CHANGE_VLAN_2, read_vlan},
    {"RULE_SET_TOS", RULE_SET_TOS, read_set_tos},
    {"RULE_TEST", RULE_TEST, read_none},
};

// Rule tokens until the first token that is not one; a keyword outside the
// table is skipped. Each keyword has one record, so it may appear once.
int read_rules(Cursor &c, Definition &d) {
    kova_RULE **tail = &d.flow.rules;
    uint32_t used = 0;
    char keyword[kMaxTokenLen + 1];
    int number;
    while (scan_token(c.peek(), "rule%d=%127s", &number, keyword) == 2) {
        c.take();
        size_t k = 0;
        while (k < kRuleKinds && __builtin_strcmp(kRuleKindTable[k].keyword, keyword) != 0)
            ++k;
        if (k == kRuleKinds)
            continue;
        if (used & (1u << k)) {
            plat_printk("create_flows: %s given twice\n", keyword);
            return kBadParameter;
        }
        used |= 1u << k;
        kova_RULE &r = d.rules[k];
        __builtin_memset(&r, 0, sizeof r);
        r.type = kRuleKindTable[k].type;
        if (int e = kRuleKindTable[k].read(c, kRuleKindTable[k].keyword, r))
            return e;
        *tail = &r;
        tail = &r.next;
    }
    return 0;
}

// Four decimal octets apart by '.', as the flow's addresses have always
// been read: text after the fourth octet is ignored.
int read_ipv4(const char *p, uint8_t *b, const char **range) {
    switch (read_octets(&p, '.', 4, kByte, b)) {
    case NumberRead::ok:
        return 0;
    case NumberRead::none:
        return kBadParameter;
    default:
        *range = kOctetRange;
        return kBadParameter;
    }
}

// The dotted tail of IPv6 text: exactly four octets to the end, no leading
// zeros.
int read_ipv4_tail(const char *p, uint8_t *b, const char **range) {
    for (int i = 0; i < 4; ++i) {
        if (i > 0 && *p++ != '.')
            return kBadParameter;
        if (*p < '0' || *p > '9' || (p[0] == '0' && p[1] >= '0' && p[1] <= '9'))
            return kBadParameter;
        unsigned v = 0;
        for (; *p >= '0' && *p <= '9'; ++p)
            v = v > 255 ? v : v * 10 + unsigned(*p - '0');
        if (v > 255) {
            *range = kOctetRange;
            return kBadParameter;
        }
        b[i] = uint8_t(v);
    }
    return *p == '\0' ? 0 : kBadParameter;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Eight groups of one to four hex digits, or fewer with one "::" standing
// for the zero groups left out, the last 32 bits possibly written as a
// dotted IPv4 tail: the text inet_pton(AF_INET6) takes, read as it reads it.
int read_ipv6(const char *s, uint16_t *out, const char **range) {
    uint16_t g[8];
    int n = 0;    // groups read
    int gap = -1; // where "::" stands, as a group index
    if (*s == ':' && *++s != ':')
        return kBadParameter;
    const char *group = s;
    unsigned v = 0, digits = 0;
    for (;; ++s) {
        const int d = hex_digit(*s);
        if (d >= 0) {
            v = v > 0xffff ? v : v << 4 | unsigned(d);
            ++digits;
            continue;
        }
        if (digits > 4) {
            if (v > 0xffff)
                *range = kGroupRange;
            return kBadParameter;
        }
        if (*s == ':') {
            if (digits == 0) {
                if (gap >= 0)
                    return kBadParameter;
                gap = n;
            } else {
                if (s[1] == '\0' || n == 8)
                    return kBadParameter;
                g[n++] = uint16_t(v);
            }
            group = s + 1;
            v = digits = 0;
            continue;
        }
        if (*s == '.') {
            uint8_t b[4];
            if (n > 6)
                return kBadParameter;
            if (int r = read_ipv4_tail(group, b, range))
                return r;
            g[n++] = uint16_t(b[0] << 8 | b[1]);
            g[n++] = uint16_t(b[2] << 8 | b[3]);
            digits = 0;
            break;
        }
        if (*s != '\0')
            return kBadParameter;
        break;
    }
    if (digits > 0) {
        if (n == 8)
            return kBadParameter;
        g[n++] = uint16_t(v);
    }
    if (gap >= 0) {
        if (n == 8)
            return kBadParameter; // "::" must stand for at least one group
        const int tail = n - gap;
        for (int i = 0; i < tail; ++i)
            out[8 - tail + i] = g[gap + i];
        for (int i = gap; i < 8 - tail; ++i)
            out[i] = 0;
        for (int i = 0; i < gap; ++i)
            out[i] = g[i];
        return 0;
    }
    if (n != 8)
        return kBadParameter;
    for (int i = 0; i < 8; ++i)
        out[i] = g[i];
    return 0;
}

} // namespace

int convert_address(const char *text, kova_IPADDR *out, const char **range) {
    __builtin_memset(out, 0, sizeof *out);
    const char *unused;
    if (!range)
        range = &unused;
    *range = nullptr;
    // ip_version calls any text with a '.' IPv4; a ':' before the first '.'
    // is IPv6 text with a dotted tail.
    const char *dot = __builtin_strchr(text, '.'), *colon = __builtin_strchr(text, ':');
    if (dot && colon && colon < dot)
        return read_ipv6(text, out->v6, range);
    switch (ip_version(text)) {
    case 4:
        return read_ipv4(text, out->v4, range);
    case 6:
        return read_ipv6(text, out->v6, range);
    default:
        return kBadAddress;
    }
}

int parse_definition(char *text, Definition *d) {
    __builtin_memset(&d->flow, 0, sizeof d->flow);
    size_t count = 0;
    if (int r = split(text, d->tokens, &count))
        return r;
    Cursor c(d->tokens, count);
    d->extended = false;
    for (size_t i = 0; i < count && !d->extended; ++i)
        d->extended = __builtin_strstr(d->tokens[i], "parent_flow_id=") != nullptr;
    if (d->extended)
        if (int r = read_key(c, "parent_flow_id", kAppFlowId, &d->parent_flow_id))
            return r;
    if (int r = read_keys(c, *d))
        return r;
    log_keys(*d);
    if (int r = convert_flow_address(d->src_text, &d->flow.ip_src, "ipv4_src"))
        return r;
    if (int r = convert_flow_address(d->dst_text, &d->flow.ip_dst, "ipv4_dst"))
        return r;
    return read_rules(c, *d);
}

} // namespace kv::lang

extern "C" int ip_version(const char *text) {
    if (__builtin_strchr(text, '.'))
        return 4;
    if (__builtin_strchr(text, ':'))
        return 6;
    return -1;
}
