#include "flow_args.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "flow_key.h"

namespace kovactl {
namespace {

[[noreturn]] void fail(const std::string &msg) { throw UsageError{msg}; }

std::string range_text(int64_t v, bool hex) {
    char b[32];
    std::snprintf(b, sizeof b, hex ? "0x%llx" : "%lld", (long long)v);
    return b;
}

// A rule parameter: its name on kovactl's command line, its token in the
// language, and how its value is read.
enum class Kind { Number, Trusted, Mac, Address };
struct Param {
    const char *name;
    const char *token;
    Kind kind;
    int64_t lo, hi;
    const char *fallback; // nullptr: the parameter must be given
};

struct Rule {
    const char *name;
    const char *keyword;
    std::vector<Param> params; // in the order the language wants them
};

const std::vector<Param> kVlanParams = {{"prio", "priority", Kind::Number, 0, 7, "0"},
                                        {"cfi", "cfi", Kind::Number, 0, 1, "0"},
                                        {"vid", "vid", Kind::Number, 0, 4095, nullptr},
                                        {"etype", "etype", Kind::Number, 0, 65535, "0x8100"}};

const std::vector<Rule> &rules() {
    static const std::vector<Rule> table = {
        {"drop", "RULE_DROP_PACKET", {}},
        {"forward-qe",
         "RULE_FORWARD_TO_QE",
         {{"class", "qos_serviceclass", Kind::Number, 0, 7, "0"},
          {"trusted", "qos_trusted", Kind::Trusted, 0, 1, "no"},
          {"subport", "subport", Kind::Number, 0, 4095, "0"},
          {"priority", "priority", Kind::Number, 0, 255, "0"},
          {"port", "port", Kind::Number, 0, 40, nullptr}}},
        {"forward-cpu",
         "RULE_FORWARD_TO_CPU",
         {{"priority", "priority", Kind::Number, 0, 255, "0"}}},
        {"vlan1-add", "RULE_ADD_VLAN_1", kVlanParams},
        {"vlan1-remove", "RULE_REMOVE_VLAN_1", {}},
        {"vlan1-change", "RULE_CHANGE_VLAN_1", kVlanParams},
        {"second-classify", "RULE_SECOND_CLASSIFY", {}},
        {"police", "RULE_POLICING", {{"weight", "weight", Kind::Number, 0, 4294967295LL, nullptr}}},
        {"replace-src",
         "RULE_REPLACE_SRC_HEADER",
         {{"mac", "source_mac_addr", Kind::Mac, 0, 0, nullptr},
          {"ip", "source_ip_addr", Kind::Address, 0, 0, nullptr},
          {"port", "source_udp_port", Kind::Number, 0, 65535, nullptr}}},
        {"replace-dst",
         "RULE_REPLACE_DST_HEADER",
         {{"mac", "destination_mac_addr", Kind::Mac, 0, 0, nullptr},
          {"ip", "destination_ip_addr", Kind::Address, 0, 0, nullptr},
          {"port", "destination_udp_port", Kind::Number, 0, 65535, nullptr}}},
        {"update-timestamp", "RULE_UPDATE_TIMESTAMP", {}},
        {"update-packet-cnt", "RULE_UPDATE_PACKET_CNT", {}},
        {"vlan2-add", "RULE_ADD_VLAN_2", kVlanParams},
        {"vlan2-remove", "RULE_REMOVE_VLAN_2", {}},
        {"vlan2-change", "RULE_CHANGE_VLAN_2", kVlanParams},
        {"set-tos", "RULE_SET_TOS", {{"tos", "tos", Kind::Number, 0, 255, nullptr}}},
        {"test", "RULE_TEST", {}},
    };
    return table;
}

const Rule *find_rule(const std::string &word) {
    for (const Rule &r : rules())
        if (word == r.name)
            return &r;
    return nullptr;
}

std::pair<std::string, std::string> split(const std::string &arg) {
    const size_t eq = arg.find('=');
    if (eq == std::string::npos)
        return {arg, ""};
    return {arg.substr(0, eq), arg.substr(eq + 1)};
}

// The key fields, shared by `add` and the selectors of `stats`.
struct KeyFields {
    std::map<std::string, std::string> given;
    bool src_v6 = false, dst_v6 = false;
};

const char *const kKeyFields[] = {"ucc",  "subport", "dmac", "smac",  "vlan", "vlan2",
                                  "type", "src",     "dst",  "sport", "dport"};

bool is_key_field(const std::string &name) {
    for (const char *f : kKeyFields)
        if (name == f)
            return true;
    return false;
}

uint16_t parse_type(const std::string &text) {
    if (text == "ipv4")
        return KOVA_ETH_TYPE_IPV4;
    if (text == "ipv6")
        return KOVA_ETH_TYPE_IPV6;
    if (text == "arp")
        return KOVA_ETH_TYPE_ARP;
    if (text.rfind("0x", 0) != 0)
        fail("type: " + text + " is not ipv4, ipv6, arp or 0xNNNN");
    return uint16_t(parse_number("type", text, 0, 0xffff, true));
}

// Fills the key, ucc and subport of `f` from the fields given; the family of
// the addresses decides the type when none is given, and must agree with it.
void fill_key(const std::map<std::string, std::string> &g, kova_FLOW *f) {
    auto has = [&](const char *k) { return g.count(k) != 0; };
    auto num = [&](const char *k, int64_t hi) {
        return has(k) ? parse_number(k, g.at(k), 0, hi) : 0;
    };
    f->flow_ucc = uint16_t(num("ucc", 40));
    f->flow_subport = uint16_t(num("subport", 4095));
    if (has("dmac"))
        parse_mac("dmac", g.at("dmac"), f->eth_dmac);
    if (has("smac"))
        parse_mac("smac", g.at("smac"), f->eth_smac);
    f->vlan_id_1 = uint16_t(num("vlan", 4095));
    f->vlan_id_2 = uint16_t(num("vlan2", 4095));
    f->udp_sport = uint16_t(num("sport", 65535));
    f->udp_dport = uint16_t(num("dport", 65535));
    bool src6 = false, dst6 = false;
    if (has("src"))
        parse_address("src", g.at("src"), &f->ip_src, &src6);
    if (has("dst"))
        parse_address("dst", g.at("dst"), &f->ip_dst, &dst6);
    if (has("src") && has("dst") && src6 != dst6)
        fail("src and dst: " + g.at("src") + " and " + g.at("dst") +
             " are not of one address family");
    const bool any_ip = has("src") || has("dst");
    const bool v6 = has("src") ? src6 : dst6;
    if (has("type"))
        f->eth_type = parse_type(g.at("type"));
    else if (any_ip)
        f->eth_type = uint16_t(v6 ? KOVA_ETH_TYPE_IPV6 : KOVA_ETH_TYPE_IPV4);
    const bool ip_type = f->eth_type == KOVA_ETH_TYPE_IPV4 || f->eth_type == KOVA_ETH_TYPE_ARP ||
                         f->eth_type == KOVA_ETH_TYPE_IPV6;
    if (!ip_type && (any_ip || has("sport") || has("dport")))
        fail("type " + range_text(f->eth_type, true) +
             " has no addresses or ports in its key: src, dst, sport and dport need ipv4, ipv6 or "
             "arp");
    if (any_ip && v6 != (f->eth_type == KOVA_ETH_TYPE_IPV6))
        fail(std::string(has("src") ? "src: " + g.at("src") : "dst: " + g.at("dst")) + " is " +
             (v6 ? "IPv6" : "IPv4") + " but type is " + type_name(f->eth_type));
    kova_flow_key key;
    kova_flow_key_make(f, &key);
    f->crc32 = kova_flow_key_crc(&key);
}

std::string rule_tokens(const Rule &r, const std::map<std::string, std::string> &given,
                        bool flow_v6) {
    std::string out = r.keyword;
    for (const Param &p : r.params) {
        const std::string field = std::string(r.name) + " " + p.name;
        const auto it = given.find(p.name);
        if (it == given.end() && !p.fallback)
            fail(field + ": missing (" + r.name + " needs " + p.name + "=)");
        const std::string v = it == given.end() ? p.fallback : it->second;
        out += std::string(" ") + p.token + "=";
        switch (p.kind) {
        case Kind::Number:
            out += std::to_string(parse_number(field, v, p.lo, p.hi));
            break;
        case Kind::Trusted:
            if (v != "yes" && v != "no")
                fail(field + ": " + v + " is not yes or no");
            out += v == "yes" ? "KOVA_PORT_TRUSTED" : "KOVA_PORT_UNTRUSTED";
            break;
        case Kind::Mac: {
            uint8_t m[6];
            parse_mac(field, v, m);
            out += mac_text(m);
            break;
        }
        case Kind::Address: {
            kova_IPADDR a{};
            bool v6 = false;
            parse_address(field, v, &a, &v6);
            // The entry keeps a replacement address in the flow's format.
            if (v6 != flow_v6)
                fail(field + ": " + v + " is " + (v6 ? "IPv6" : "IPv4") +
                     " but the flow's addresses are " + (flow_v6 ? "IPv6" : "not"));
            out += address_text(a, v6);
            break;
        }
        }
    }
    return out;
}

} // namespace

int64_t parse_number(const std::string &field, const std::string &text, int64_t lo, int64_t hi,
                     bool hex_range) {
    const bool hex = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0;
    const bool neg = !hex && !text.empty() && text[0] == '-';
    const std::string digits = hex ? text.substr(2) : neg ? text.substr(1) : text;
    if (digits.empty() || digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") !=
                              std::string::npos)
        fail(field + ": " + text + " is not a number");
    errno = 0;
    const unsigned long long mag = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    const bool huge = errno == ERANGE || mag > (unsigned long long)INT64_MAX;
    const int64_t v = neg ? -int64_t(mag) : int64_t(mag);
    if (huge || v < lo || v > hi)
        fail(field + ": " + text + " out of range " + range_text(lo, hex_range) + ".." +
             range_text(hi, hex_range));
    return v;
}

void parse_mac(const std::string &field, const std::string &text, uint8_t out[6]) {
    size_t at = 0;
    for (int i = 0; i < 6; ++i) {
        const size_t end = i < 5 ? text.find(':', at) : text.size();
        const std::string octet = end == std::string::npos ? "" : text.substr(at, end - at);
        if (octet.empty() || octet.size() > 2 ||
            octet.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            fail(field + ": " + text +
                 " is not a MAC address (six octets 00..ff, colon-separated)");
        out[i] = uint8_t(std::strtoul(octet.c_str(), nullptr, 16));
        at = end + 1;
    }
}

void parse_address(const std::string &field, const std::string &text, kova_IPADDR *out, bool *v6) {
    *out = kova_IPADDR{};
    if (text.find(':') == std::string::npos) {
        // Dotted IPv4: say which octet is too large rather than "malformed".
        unsigned parts[4];
        char tail;
        if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &parts[0], &parts[1], &parts[2], &parts[3],
                        &tail) == 4 &&
            text.find_first_not_of("0123456789.") == std::string::npos)
            for (unsigned p : parts)
                if (p > 255)
                    fail(field + ": " + text + " out of range 0..255");
        if (inet_pton(AF_INET, text.c_str(), out->v4) != 1)
            fail(field + ": " + text + " is not an IPv4 address (a.b.c.d) nor an IPv6 address");
        *v6 = false;
        return;
    }
    uint8_t b[16];
    if (inet_pton(AF_INET6, text.c_str(), b) != 1)
        fail(field + ": " + text + " is not an IPv6 address");
    for (int i = 0; i < 8; ++i)
        out->v6[i] = uint16_t(b[2 * i] << 8 | b[2 * i + 1]);
    *v6 = true;
}

std::string mac_text(const uint8_t m[6]) {
    char b[20];
    std::snprintf(b, sizeof b, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    return b;
}

std::string address_text(const kova_IPADDR &a, bool v6) {
    char b[48];
    const uint16_t *g = a.v6;
    // Eight full groups: every version of the language reads them.
    if (v6)
        std::snprintf(b, sizeof b, "%x:%x:%x:%x:%x:%x:%x:%x", g[0], g[1], g[2], g[3], g[4], g[5],
                      g[6], g[7]);
    else
        std::snprintf(b, sizeof b, "%u.%u.%u.%u", a.v4[0], a.v4[1], a.v4[2], a.v4[3]);
    return b;
}

const char *type_name(uint16_t t) {
    return t == KOVA_ETH_TYPE_IPV4   ? "ipv4"
           : t == KOVA_ETH_TYPE_IPV6 ? "ipv6"
           : t == KOVA_ETH_TYPE_ARP  ? "arp"
                                     : nullptr;
}

FlowRequest parse_add(const std::vector<std::string> &args) {
    FlowRequest req;
    std::map<std::string, std::string> key;
    bool have_id = false;
    std::vector<std::pair<const Rule *, std::map<std::string, std::string>>> given_rules;
    for (const std::string &arg : args) {
        const auto [name, value] = split(arg);
        if (const Rule *r = find_rule(arg)) {
            for (const auto &g : given_rules)
                if (g.first == r)
                    fail(std::string("rule ") + r->name + " given twice (each rule at most once)");
            given_rules.push_back({r, {}});
            continue;
        }
        if (arg.find('=') == std::string::npos)
            fail("'" + arg + "' is neither a field (name=value) nor a rule (see kovactl --help)");
        // After a rule, a name is that rule's parameter if it has one, else
        // a field of the flow: key fields may come anywhere.
        bool is_param = false;
        if (!given_rules.empty())
            for (const Param &p : given_rules.back().first->params)
                is_param = is_param || name == p.name;
        if (is_param) {
            auto &[r, params] = given_rules.back();
            if (!params.emplace(name, value).second)
                fail(std::string(r->name) + " " + name + " given twice");
            continue;
        }
        if (!given_rules.empty() && name != "id" && name != "parent" && !is_key_field(name))
            fail(std::string("rule ") + given_rules.back().first->name + " has no parameter '" +
                 name + "'");
        if (name == "id" || name == "parent") {
            const int32_t v = int32_t(parse_number(name, value, INT32_MIN, INT32_MAX));
            if ((name == "id" ? have_id : req.extended))
                fail(name + " given twice");
            (name == "id" ? have_id : req.extended) = true;
            (name == "id" ? req.id : req.parent) = v;
            continue;
        }
        if (!is_key_field(name))
            fail("unknown field '" + name + "'");
        if (!key.emplace(name, value).second)
            fail(name + " given twice");
    }
    if (!have_id)
        fail("id: missing (the flow's appflowid)");
    if (!key.count("ucc"))
        fail("ucc: missing (the flow's ingress UCC, 0..40)");
    if (given_rules.empty())
        fail("no rule given (at least one: drop, forward-qe port=N, ...)");
    if (given_rules.size() > KOVA_MAX_RULES)
        fail("too many rules: " + std::to_string(given_rules.size()) + " (at most " +
             std::to_string(KOVA_MAX_RULES) + ")");
    fill_key(key, &req.flow);
    const bool v6 = req.flow.eth_type == KOVA_ETH_TYPE_IPV6;
    for (const auto &[r, params] : given_rules)
        req.rule_tokens.push_back(rule_tokens(*r, params, v6));

    const kova_FLOW &f = req.flow;
    char head[320];
    std::snprintf(
        head, sizeof head,
        "flow_id=%d crc32=0x%08x flow_ucc=%u flow_subport=%u eth_dmac=%s eth_smac=%s vlan_id_1=%u "
        "vlan_id_2=%u eth_type=0x%x ipv4_src=%s ipv4_dst=%s udp_sport=%u udp_dport=%u",
        req.id, f.crc32, f.flow_ucc, f.flow_subport, mac_text(f.eth_dmac).c_str(),
        mac_text(f.eth_smac).c_str(), f.vlan_id_1, f.vlan_id_2, f.eth_type,
        address_text(f.ip_src, v6).c_str(), address_text(f.ip_dst, v6).c_str(), f.udp_sport,
        f.udp_dport);
    req.definition =
        req.extended ? "parent_flow_id=" + std::to_string(req.parent) + " " + head : head;
    for (size_t i = 0; i < req.rule_tokens.size(); ++i)
        req.definition += " rule" + std::to_string(i + 1) + "=" + req.rule_tokens[i];
    req.definition += " ;\n";
    return req;
}

std::string create_result_text(int code, bool extended) {
    switch (code) {
    case int(KOVA_OK):
        return extended ? "extended flow created" : "flow created";
    case int(KOVA_ERR_NO_RULES):
        return "no rules";
    case int(KOVA_ERR_UNKNOWN_RULE):
        return "a rule type without an encoding";
    case int(KOVA_ERR_NOT_SUPPORTED):
        return "a rule the entry cannot hold (second-classify, test, or a bad trusted value)";
    case int(KOVA_ERR_TOO_MANY_RULES):
        return "too many rules for the entry";
    case int(KOVA_ERR_NO_MEMORY):
        return "out of memory";
    case int(KOVA_ERR_INVALID):
        return extended ? "appflowid in use or out of range, parent missing or already extended, "
                          "or the key "
                          "differs from the parent's"
                        : "appflowid in use or out of range";
    case int(KOVA_ERR_TABLE_FULL):
        return "table full (no free overflow slot)";
    case int(KOVA_ERR_INTERNAL):
        return "internal error (the kernel log says where)";
    case int(KOVA_ERR_TOO_MANY_EXTENDED):
        return "too many extended flows";
    case int(KOVA_ERR_NOT_INITIALIZED):
        return "the module is not initialised";
    case 99:
        return "no creation recorded (another writer, or none yet)";
    default:
        return "unknown result";
    }
}

std::string delete_result_text(int code, bool with_extended) {
    switch (code) {
    case int(KOVA_OK):
        return with_extended ? "flow deleted with its extended flows" : "flow deleted";
    case int(KOVA_ERR_INVALID):
        return with_extended ? "no such appflowid, out of range, or an extended flow (the kernel "
                               "log says which)"
                             : "no such appflowid, out of range, an extended flow, or a flow "
                               "carrying extended "
                               "flows (the kernel log says which)";
    case int(KOVA_ERR_INTERNAL):
        return "internal error (the kernel log says where)";
    case int(KOVA_ERR_TOO_MANY_EXTENDED):
        return "too many extended flows";
    case 99:
        return "no deletion recorded (another writer, or none yet)";
    default:
        return "unknown result";
    }
}

} // namespace kovactl
