#include "dump_parse.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "flow_args.h"

namespace kovactl {
namespace {

[[noreturn]] void bad_line(const char *file, const std::string &line) {
    throw std::runtime_error(std::string("cannot read this line of ") + file + ": " +
                             line.substr(0, 100));
}

uint32_t le16(const uint8_t *p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t le32(const uint8_t *p) { return le16(p) | le16(p + 2) << 16; }
uint32_t be16(const uint8_t *p) { return uint32_t(p[0]) << 8 | p[1]; }
uint32_t be32(const uint8_t *p) { return be16(p) << 16 | be16(p + 2); }
void put_le32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> 8 * i);
}
void put_be16(uint8_t *p, uint32_t v) { p[0] = uint8_t(v >> 8), p[1] = uint8_t(v); }
void put_be32(uint8_t *p, uint32_t v) { put_be16(p, v >> 16), put_be16(p + 2, v); }

bool is_v6(const uint8_t *entry) {
    return be16(entry + KOVA_LUT_OFF_ETH_TYPE) == KOVA_ETH_TYPE_IPV6;
}

// ---- The dumps ---------------------------------------------------------------

// The text after `label` in `line`; throws when absent.
size_t after(const std::string &line, const char *label) {
    const size_t at = line.find(label);
    if (at == std::string::npos)
        bad_line("a dump", line);
    return at + std::strlen(label);
}

uint32_t hex_at(const std::string &line, size_t at) {
    return uint32_t(std::strtoul(line.c_str() + at, nullptr, 16));
}
uint32_t dec_at(const std::string &line, size_t at) {
    return uint32_t(std::strtoul(line.c_str() + at, nullptr, 10));
}

void mac_at(const std::string &line, size_t at, uint8_t *out) {
    for (int i = 0; i < 6; ++i)
        out[i] = uint8_t(std::strtoul(line.c_str() + at + 3 * i, nullptr, 16));
}

// An address as the dump shows it back into its 16 entry bytes: IPv4
// a.b.c.d is stored c, d, a, b; IPv6 g0..g7 as the little-endian words
// g1:g2, g3:g4, g5:g6, g7:g0.
void address_at(const std::string &line, size_t at, bool v6, uint8_t *out) {
    const char *p = line.c_str() + at;
    uint32_t v[8] = {};
    for (int i = 0; i < (v6 ? 8 : 4); ++i, ++p) {
        char *end;
        v[i] = uint32_t(std::strtoul(p, &end, v6 ? 16 : 10));
        p = end;
    }
    if (!v6) {
        const uint8_t b[4] = {uint8_t(v[2]), uint8_t(v[3]), uint8_t(v[0]), uint8_t(v[1])};
        std::memcpy(out, b, 4);
        return;
    }
    for (int w = 0; w < 4; ++w)
        put_le32(out + 4 * w, v[2 * w + 1] << 16 | v[(2 * w + 2) % 8]);
}

DumpEntry parse_line(const std::string &line) {
    DumpEntry e;
    e.extended = line.compare(line.find_first_not_of(' '), 5, "Exten") == 0;
    uint8_t *k = e.entry;
    e.crc = hex_at(line, after(line, "CRC32 0x"));
    e.port_word = hex_at(line, after(line, "SPORT "));
    mac_at(line, after(line, "DMAC "), k + KOVA_LUT_OFF_ETH_DMAC);
    mac_at(line, after(line, "SMAC "), k + KOVA_LUT_OFF_ETH_SMAC);
    put_be32(k + KOVA_LUT_OFF_VLAN1, dec_at(line, after(line, "VLAN1:")));
    put_be32(k + KOVA_LUT_OFF_VLAN2, dec_at(line, after(line, "VLAN2:")));
    put_be16(k + KOVA_LUT_OFF_ETH_TYPE, hex_at(line, after(line, "ETYPE: 0x")));
    address_at(line, after(line, "DIP: "), is_v6(k), k + KOVA_LUT_OFF_IP_DST);
    address_at(line, after(line, "SIP: "), is_v6(k), k + KOVA_LUT_OFF_IP_SRC);
    // Bytes 60..63 as two big-endian halves, whatever the address format.
    put_be16(k + KOVA_LUT_OFF_PORTS, dec_at(line, after(line, "SPORT:")));
    put_be16(k + KOVA_LUT_OFF_PORTS + 2, dec_at(line, after(line, "DPORT:")));
    e.flow_cnt = hex_at(line, after(line, "FLOW CNT: 0x"));
    e.timestamp = hex_at(line, after(line, "TIMESTAMP: 0x"));
    e.packets = hex_at(line, after(line, "PACKET CNT: 0x"));
    return e;
}

// ---- flow_list -----------------------------------------------------------------

// `n` bytes of hex digits into `out`; false on anything else.
bool hex_bytes(const std::string &text, uint8_t *out, size_t max) {
    if (text.size() % 2 || text.size() / 2 > max ||
        text.find_first_not_of("0123456789abcdef") != std::string::npos)
        return false;
    for (size_t i = 0; i < text.size() / 2; ++i)
        out[i] = uint8_t(std::stoul(text.substr(2 * i, 2), nullptr, 16));
    return true;
}

FlowLine parse_flow_line(const std::string &line) {
    FlowLine f;
    std::istringstream in(line);
    std::string tok;
    const char *const names[] = {"slot",    "appflowid", "parent",    "ucc", "crc32",
                                 "packets", "octets",    "timestamp", "key", "actions"};
    for (size_t i = 0; i < std::size(names); ++i) {
        const char *const name = names[i];
        if (!(in >> tok) || tok.compare(0, std::strlen(name) + 1, std::string(name) + "=") != 0)
            bad_line("flow_list", line);
        const std::string v = tok.substr(std::strlen(name) + 1);
        const std::string n = name;
        char *end = nullptr;
        const unsigned long long x = std::strtoull(v.c_str(), &end, n == "crc32" ? 16 : 10);
        const bool number = !v.empty() && *end == '\0' && x <= 0xffffffffULL;
        if (n == "key") {
            if (v.size() != 2 * (KOVA_LUT_OFF_CRC32 - KOVA_LUT_OFF_ETH_DMAC) ||
                !hex_bytes(v, f.entry + KOVA_LUT_OFF_ETH_DMAC, v.size() / 2))
                bad_line("flow_list", line);
        } else if (n == "actions") {
            if (!hex_bytes(v, f.entry + KOVA_LUT_OFF_ACTIONS,
                           KOVA_LUT_ACTIONS_END - KOVA_LUT_OFF_ACTIONS))
                bad_line("flow_list", line);
        } else if (n == "parent" && v == "-") {
            f.parent = -1;
        } else if (!number) {
            bad_line("flow_list", line);
        } else {
            uint32_t *const at[] = {&f.slot, &f.appflowid, nullptr,   &f.ucc,
                                    &f.crc,  &f.packets,   &f.octets, &f.timestamp};
            if (n == "parent")
                f.parent = int64_t(x);
            else
                *at[i] = uint32_t(x);
        }
    }
    if (in >> tok)
        bad_line("flow_list", line);
    return f;
}

// ---- Decoding an entry ---------------------------------------------------------

const char *const kRuleNames[] = {"drop",
                                  "forward-qe",
                                  "forward-cpu",
                                  "vlan1-add",
                                  "vlan1-remove",
                                  "vlan1-change",
                                  "second-classify",
                                  "police",
                                  "replace-src",
                                  "replace-dst",
                                  nullptr,
                                  nullptr,
                                  "update-timestamp",
                                  "update-packet-cnt",
                                  "vlan2-add",
                                  "vlan2-remove",
                                  "vlan2-change",
                                  "set-tos",
                                  "test"};

unsigned action_size(unsigned code) {
    switch (code) {
    case RULE_FORWARD_TO_QE:
    case RULE_ADD_VLAN_1:
    case RULE_CHANGE_VLAN_1:
    case RULE_ADD_VLAN_2:
    case RULE_CHANGE_VLAN_2:
    case RULE_POLICING:
        return 8;
    case RULE_REPLACE_SRC_HEADER:
    case RULE_REPLACE_DST_HEADER:
        return 28;
    default:
        return 4;
    }
}

// IPv6 groups from the four little-endian words g1:g2, g3:g4, g5:g6, g7:g0.
std::string v6_words(const uint8_t *p) {
    kova_IPADDR a{};
    const uint32_t w[4] = {le32(p), le32(p + 4), le32(p + 8), le32(p + 12)};
    const uint32_t g[8] = {w[3] & 0xffff, w[0] >> 16, w[0] & 0xffff, w[1] >> 16,
                           w[1] & 0xffff, w[2] >> 16, w[2] & 0xffff, w[3] >> 16};
    for (int i = 0; i < 8; ++i)
        a.v6[i] = uint16_t(g[i]);
    return display_address(a, true);
}

// A replacement address is kept a.b.c.d in order, a key's IPv4 address as
// c, d, a, b.
std::string replaced_address(const uint8_t *p, bool v6) {
    kova_IPADDR a{};
    std::memcpy(a.v4, p, 4);
    return v6 ? v6_words(p) : display_address(a, false);
}
std::string key_address(const uint8_t *p, bool v6) {
    kova_IPADDR a{};
    const uint8_t v4[4] = {p[2], p[3], p[0], p[1]};
    std::memcpy(a.v4, v4, 4);
    return v6 ? v6_words(p) : display_address(a, false);
}

} // namespace

std::vector<FlowLine> parse_flow_list(const std::string &text) {
    std::vector<FlowLine> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty())
            out.push_back(parse_flow_line(line));
    return out;
}

Dump parse_dump(const std::string &text) {
    Dump d;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.find(" at 0x") != std::string::npos) {
            d.entries.push_back(parse_line(line));
        } else if (line.rfind("... dump cut", 0) == 0) {
            d.cut = true;
        } else if (const size_t colon = line.find(':'); colon != std::string::npos) {
            d.summary[line.substr(0, colon)] = std::strtoll(line.c_str() + colon + 1, nullptr, 10);
            d.present = true;
        }
    }
    return d;
}

Json key_json(const uint8_t *e) {
    const bool v6 = is_v6(e);
    const uint8_t *ports = e + KOVA_LUT_OFF_PORTS;
    return {{"dmac", mac_text(e + KOVA_LUT_OFF_ETH_DMAC)},
            {"smac", mac_text(e + KOVA_LUT_OFF_ETH_SMAC)},
            {"vlan", be32(e + KOVA_LUT_OFF_VLAN1)},
            {"vlan2", be32(e + KOVA_LUT_OFF_VLAN2)},
            {"type", be16(e + KOVA_LUT_OFF_ETH_TYPE)},
            {"src", key_address(e + KOVA_LUT_OFF_IP_SRC, v6)},
            {"dst", key_address(e + KOVA_LUT_OFF_IP_DST, v6)},
            {"sport", v6 ? le32(ports) >> 16 : be16(ports)},
            {"dport", v6 ? le32(ports) & 0xffff : be16(ports + 2)}};
}

std::string display_address(const kova_IPADDR &a, bool v6) {
    if (!v6)
        return address_text(a, false);
    uint8_t bytes[16];
    for (int i = 0; i < 8; ++i)
        bytes[2 * i] = uint8_t(a.v6[i] >> 8), bytes[2 * i + 1] = uint8_t(a.v6[i]);
    char b[INET6_ADDRSTRLEN];
    return inet_ntop(AF_INET6, bytes, b, sizeof b) ? b : "?";
}

Json decode_actions(const uint8_t *entry) {
    const bool v6 = is_v6(entry);
    Json out = Json::array();
    for (unsigned at = KOVA_LUT_OFF_ACTIONS; at + 4 <= KOVA_LUT_ACTIONS_END;) {
        const uint8_t *a = entry + at;
        const unsigned code = a[0] & ~KOVA_ACTION_LAST & 0xffu;
        if (code >= sizeof kRuleNames / sizeof *kRuleNames || !kRuleNames[code]) {
            out.push_back({{"rule", "unknown"}, {"code", code}});
            break;
        }
        Json r = {{"rule", kRuleNames[code]}};
        switch (code) {
        case RULE_FORWARD_TO_QE:
            r["port"] = le16(a + 5);
            r["priority"] = a[2];
            r["subport"] = le16(a + 3);
            r["class"] = a[1] & 7;
            r["trusted"] = (a[1] & 8) ? "yes" : "no";
            if (a[7])
                r["byte7"] = a[7];
            break;
        case RULE_FORWARD_TO_CPU:
            r["priority"] = a[3];
            break;
        case RULE_SET_TOS:
            r["tos"] = a[3];
            break;
        case RULE_ADD_VLAN_1:
        case RULE_CHANGE_VLAN_1:
        case RULE_ADD_VLAN_2:
        case RULE_CHANGE_VLAN_2: {
            const uint32_t tci = uint32_t(a[6]) << 8 | a[7];
            r["prio"] = tci >> 13;
            r["cfi"] = tci >> 12 & 1;
            r["vid"] = tci & 0xfff;
            r["etype"] = uint32_t(a[4]) << 8 | a[5];
            break;
        }
        case RULE_POLICING:
            r["weight"] = le32(a + 4);
            break;
        case RULE_REPLACE_SRC_HEADER: {
            const uint8_t m[6] = {a[3], a[2], a[7], a[6], a[5], a[4]};
            r["mac"] = mac_text(m);
            r["ip"] = replaced_address(a + 8, v6);
            r["port"] = le16(a + 24);
            break;
        }
        case RULE_REPLACE_DST_HEADER: {
            const uint8_t m[6] = {a[7], a[6], a[5], a[4], a[9], a[8]};
            r["mac"] = mac_text(m);
            r["ip"] = replaced_address(a + 12, v6);
            r["port"] = le16(a + 10);
            break;
        }
        default:
            break;
        }
        out.push_back(r);
        if (a[0] & KOVA_ACTION_LAST)
            break;
        at += action_size(code);
    }
    return out;
}

std::string action_text(const Json &action) {
    std::string s;
    for (const auto &[k, v] : action.items()) {
        if (k == "rule")
            s += v.get<std::string>();
        else
            s += " " + k + "=" + (v.is_string() ? v.get<std::string>() : v.dump());
    }
    return s;
}

} // namespace kovactl
