// The flow command language. A definition is a fixed sequence of key tokens,
// then "ruleN=KEYWORD" tokens each followed by that rule's parameter tokens,
// then ";". Every token must match its format from its first character.
#include "linux/flow_lang.h"

#include <stdarg.h>

#include "lib/scan.h"
#include "platform.h"

namespace kv::lang {
namespace {

// The tokens of a definition, taken in order. Past the last one every take
// gives "", which matches no format, so a definition that stops early fails
// on its first missing token with that token's own message.
class Cursor {
public:
    Cursor(char *const *tokens, size_t count) : tok_(tokens), n_(count) {}
    const char *peek() const { return at_ < n_ ? tok_[at_] : ""; }
    const char *take() { return at_ < n_ ? tok_[at_++] : ""; }

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

int key_error(const char *key) {
    plat_printk("%s parameter error!\n", key);
    return kBadParameter;
}

int rule_error(const char *keyword, const char *param) {
    plat_printk("%s: %s parameter error!\n", keyword, param);
    return kBadParameter;
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

#define KOVA_MAC_FMT "%02hhx:%02hhx:%02hhx:%02hhx:%02hhx:%02hhx"
#define KOVA_MAC_ARGS(m) &(m)[0], &(m)[1], &(m)[2], &(m)[3], &(m)[4], &(m)[5]

int read_keys(Cursor &c, Definition &d) {
    kova_FLOW &f = d.flow;
    if (scan_token(c.take(), "flow_id=%d", &d.flow_id) != 1)
        return key_error("flow_id");
    if (scan_token(c.take(), "crc32=%x", &f.crc32) != 1)
        return key_error("crc32");
    if (scan_token(c.take(), "flow_ucc=%hu", &f.flow_ucc) != 1)
        return key_error("flow_ucc");
    if (scan_token(c.take(), "flow_subport=%hu", &f.flow_subport) != 1)
        return key_error("flow_subport");
    if (scan_token(c.take(), "eth_dmac=" KOVA_MAC_FMT, KOVA_MAC_ARGS(f.eth_dmac)) != 6)
        return key_error("eth_dmac");
    if (scan_token(c.take(), "eth_smac=" KOVA_MAC_FMT, KOVA_MAC_ARGS(f.eth_smac)) != 6)
        return key_error("eth_smac");
    if (scan_token(c.take(), "vlan_id_1=%hu", &f.vlan_id_1) != 1)
        return key_error("vlan_id_1");
    if (scan_token(c.take(), "vlan_id_2=%hu", &f.vlan_id_2) != 1)
        return key_error("vlan_id_2");
    if (scan_token(c.take(), "eth_type=%hx", &f.eth_type) != 1)
        return key_error("eth_type");
    if (int r = read_address_text(c.take(), "ipv4_src=%46s", "ipv4_src", d.src_text))
        return r;
    if (int r = read_address_text(c.take(), "ipv4_dst=%46s", "ipv4_dst", d.dst_text))
        return r;
    if (scan_token(c.take(), "udp_sport=%hu", &f.udp_sport) != 1)
        return key_error("udp_sport");
    if (scan_token(c.take(), "udp_dport=%hu", &f.udp_dport) != 1)
        return key_error("udp_dport");
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
    plat_printk("eth_dmac=%02x:%02x:%02x:%02x:%02x:%02x\n", dm[0], dm[1], dm[2], dm[3], dm[4], dm[5]);
    plat_printk("eth_smac=%02x:%02x:%02x:%02x:%02x:%02x\n", sm[0], sm[1], sm[2], sm[3], sm[4], sm[5]);
    plat_printk("vlan_id_1=%d\n", f.vlan_id_1);
    plat_printk("vlan_id_2=%d\n", f.vlan_id_2);
    plat_printk("eth_type=0x%x\n", f.eth_type);
    plat_printk("ipv4_src=%s\n", d.src_text);
    plat_printk("ipv4_dst=%s\n", d.dst_text);
    plat_printk("udp_sport=%d\n", f.udp_sport);
    plat_printk("udp_dport=%d\n", f.udp_dport);
}

int convert_flow_address(const char *text, kova_IPADDR *out, const char *key) {
    const int r = convert_address(text, out);
    if (r == kBadAddress)
        plat_printk("Wrong IP address format\n");
    else if (r != 0)
        key_error(key);
    return r;
}

// ---- rule parameters: each reader consumes the rule's parameter tokens ----

int read_none(Cursor &, const char *, kova_RULE &) { return 0; }

int read_forward_qe(Cursor &c, const char *kw, kova_RULE &r) {
    auto &p = r.param.forward_qe;
    if (scan_token(c.take(), "qos_serviceclass=%hhu", &p.qos_serviceclass) != 1)
        return rule_error(kw, "qos_serviceclass");
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
    if (scan_token(c.take(), "subport=%hu", &p.subport) != 1)
        return rule_error(kw, "subport");
    if (scan_token(c.take(), "priority=%hhu", &p.priority) != 1)
        return rule_error(kw, "priority");
    if (scan_token(c.take(), "port=%hhu", &p.port) != 1)
        return rule_error(kw, "port");
    return 0;
}

int read_forward_cpu(Cursor &c, const char *kw, kova_RULE &r) {
    if (scan_token(c.take(), "priority=%hhu", &r.param.forward_cpu.priority) != 1)
        return rule_error(kw, "priority");
    return 0;
}

// Add and change, VLAN 1 and 2. etype is decimal, unlike eth_type.
int read_vlan(Cursor &c, const char *kw, kova_RULE &r) {
    auto &p = r.param.vlan;
    if (scan_token(c.take(), "priority=%hhu", &p.priority) != 1)
        return rule_error(kw, "priority");
    if (scan_token(c.take(), "cfi=%hhu", &p.cfi) != 1)
        return rule_error(kw, "cfi");
    if (scan_token(c.take(), "vid=%hu", &p.vid) != 1)
        return rule_error(kw, "vid");
    if (scan_token(c.take(), "etype=%hu", &p.etype) != 1)
        return rule_error(kw, "etype");
    return 0;
}

int read_policing(Cursor &c, const char *kw, kova_RULE &r) {
    if (scan_token(c.take(), "weight=%u", &r.param.policing.weight) != 1)
        return rule_error(kw, "weight");
    return 0;
}

int read_set_tos(Cursor &c, const char *kw, kova_RULE &r) {
    if (scan_token(c.take(), "tos=%hhu", &r.param.set_tos.tos) != 1)
        return rule_error(kw, "tos");
    return 0;
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
    const int r = convert_address(text, out);
    if (r == kBadAddress)
        plat_printk("%s: Wrong IP address format\n", kw);
    else if (r != 0)
        rule_error(kw, short_name);
    return r;
}

int read_replace_src(Cursor &c, const char *kw, kova_RULE &r) {
    auto &p = r.param.replace_src;
    if (scan_token(c.take(), "source_mac_addr=" KOVA_MAC_FMT, KOVA_MAC_ARGS(p.source_mac_addr)) != 6)
        return rule_error(kw, "source_mac_addr");
    if (int e = read_replacement_address(c.take(), "source_ip_addr=%64s", kw, "source_ip_addr", "source_ip",
                                         &p.source_ip_addr))
        return e;
    if (scan_token(c.take(), "source_udp_port=%hu", &p.source_udp_port) != 1)
        return rule_error(kw, "source_udp_port");
    return 0;
}

int read_replace_dst(Cursor &c, const char *kw, kova_RULE &r) {
    auto &p = r.param.replace_dst;
    if (scan_token(c.take(), "destination_mac_addr=" KOVA_MAC_FMT, KOVA_MAC_ARGS(p.destination_mac_addr)) != 6)
        return rule_error(kw, "destination_mac_addr");
    if (int e = read_replacement_address(c.take(), "destination_ip_addr=%64s", kw, "destination_ip_addr",
                                         "dest_ip", &p.destination_ip_addr))
        return e;
    if (scan_token(c.take(), "destination_udp_port=%hu", &p.destination_udp_port) != 1)
        return rule_error(kw, "destination_udp_port");
    return 0;
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

} // namespace

int convert_address(const char *text, kova_IPADDR *out) {
    __builtin_memset(out, 0, sizeof *out);
    switch (ip_version(text)) {
    case 4: {
        uint8_t *b = out->v4;
        return scan_token(text, "%hhu.%hhu.%hhu.%hhu", &b[0], &b[1], &b[2], &b[3]) == 4 ? 0 : kBadParameter;
    }
    case 6: {
        uint16_t g[8];
        if (scan_token(text, "%hx:%hx:%hx:%hx:%hx:%hx:%hx:%hx", &g[0], &g[1], &g[2], &g[3], &g[4], &g[5],
                       &g[6], &g[7]) != 8)
            return kBadParameter;
        for (int i = 0; i < 8; ++i)
            out->v6[i] = g[i];
        return 0;
    }
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
    if (d->extended && scan_token(c.take(), "parent_flow_id=%d", &d->parent_flow_id) != 1)
        return key_error("parent_flow_id");
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
