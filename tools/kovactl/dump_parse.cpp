#include "dump_parse.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "flow_args.h"
#include "flow_key.h"
#include "kova/kova_shm.h"

namespace kovactl {
namespace {

uint16_t bswap16(uint32_t v) { return uint16_t((v & 0xff) << 8 | (v >> 8 & 0xff)); }

// The text after `label` in `line`, from `from` on; throws when absent.
size_t after(const std::string &line, const char *label, size_t from = 0) {
    const size_t at = line.find(label, from);
    if (at == std::string::npos)
        throw std::runtime_error(std::string("no '") + label + "' in dump line: " + line.substr(0, 80));
    return at + std::strlen(label);
}

uint64_t hex_at(const std::string &line, size_t at) {
    while (at < line.size() && line[at] == ' ')
        ++at; // the address is printed space-padded: "0x    55d0..."
    return std::strtoull(line.c_str() + at, nullptr, 16);
}
int64_t dec_at(const std::string &line, size_t at) { return std::strtoll(line.c_str() + at, nullptr, 10); }

void mac_at(const std::string &line, size_t at, uint8_t out[6]) {
    for (int i = 0; i < 6; ++i)
        out[i] = uint8_t(std::strtoul(line.c_str() + at + 3 * i, nullptr, 16));
}

void address_at(const std::string &line, size_t at, bool v6, kova_IPADDR *out) {
    *out = kova_IPADDR{};
    const char *p = line.c_str() + at;
    for (int i = 0; i < (v6 ? 8 : 4); ++i, ++p) {
        char *end;
        const unsigned long v = std::strtoul(p, &end, v6 ? 16 : 10);
        v6 ? void(out->v6[i] = uint16_t(v)) : void(out->v4[i] = uint8_t(v));
        p = end;
    }
}

DumpEntry parse_line(const std::string &line) {
    DumpEntry e;
    e.indent = int(line.find_first_not_of(' '));
    e.extended = line.compare(size_t(e.indent), 5, "Exten") == 0;
    e.address = hex_at(line, after(line, " at 0x"));
    e.crc = uint32_t(hex_at(line, after(line, "CRC32 0x")));
    e.port_word = uint32_t(hex_at(line, after(line, "SPORT ")));
    mac_at(line, after(line, "DMAC "), e.dmac);
    mac_at(line, after(line, "SMAC "), e.smac);
    e.vlan1 = uint32_t(dec_at(line, after(line, "VLAN1:")));
    e.vlan2 = uint32_t(dec_at(line, after(line, "VLAN2:")));
    e.eth_type = uint16_t(hex_at(line, after(line, "ETYPE: 0x")));
    const bool v6 = e.eth_type == KOVA_ETH_TYPE_IPV6;
    address_at(line, after(line, "DIP: "), v6, &e.dst);
    address_at(line, after(line, "SIP: "), v6, &e.src);
    const uint32_t s = uint32_t(dec_at(line, after(line, "SPORT:"))), d = uint32_t(dec_at(line, after(line, "DPORT:")));
    // The dump shows bytes 60..63 big-endian whatever the format; an IPv6
    // entry keeps them as one little-endian word (sport << 16 | dport).
    e.sport = uint16_t(v6 ? bswap16(d) : s);
    e.dport = uint16_t(v6 ? bswap16(s) : d);
    e.flow_cnt = uint32_t(hex_at(line, after(line, "FLOW CNT: 0x")));
    e.timestamp = uint32_t(hex_at(line, after(line, "TIMESTAMP: 0x")));
    e.packets = uint32_t(hex_at(line, after(line, "PACKET CNT: 0x")));
    return e;
}

const char *const kRuleNames[] = {"drop", "forward-qe", "forward-cpu", "vlan1-add", "vlan1-remove", "vlan1-change",
                                  "second-classify", "police", "replace-src", "replace-dst", nullptr, nullptr,
                                  "update-timestamp", "update-packet-cnt", "vlan2-add", "vlan2-remove",
                                  "vlan2-change", "set-tos", "test"};

unsigned action_size(unsigned code) {
    switch (code) {
    case RULE_FORWARD_TO_QE: case RULE_ADD_VLAN_1: case RULE_CHANGE_VLAN_1: case RULE_ADD_VLAN_2:
    case RULE_CHANGE_VLAN_2: case RULE_POLICING:
        return 8;
    case RULE_REPLACE_SRC_HEADER: case RULE_REPLACE_DST_HEADER:
        return 28;
    default:
        return 4;
    }
}

uint32_t le16(const uint8_t *p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t le32(const uint8_t *p) { return le16(p) | le16(p + 2) << 16; }

// A replacement address in the flow's format (see the entry layout).
std::string replaced_address(const uint8_t *p, bool v6) {
    kova_IPADDR a{};
    if (!v6) {
        std::memcpy(a.v4, p, 4);
        return display_address(a, false);
    }
    // Words g1:g2, g3:g4, g5:g6, g7:g0.
    const uint32_t w[4] = {le32(p), le32(p + 4), le32(p + 8), le32(p + 12)};
    const uint32_t g[8] = {w[3] & 0xffff, w[0] >> 16, w[0] & 0xffff, w[1] >> 16,
                           w[1] & 0xffff, w[2] >> 16, w[2] & 0xffff, w[3] >> 16};
    for (int i = 0; i < 8; ++i)
        a.v6[i] = uint16_t(g[i]);
    return display_address(a, true);
}

} // namespace

kova_FLOW DumpEntry::flow() const {
    kova_FLOW f{};
    f.crc32 = crc;
    std::memcpy(f.eth_dmac, dmac, 6);
    std::memcpy(f.eth_smac, smac, 6);
    f.vlan_id_1 = uint16_t(vlan1);
    f.vlan_id_2 = uint16_t(vlan2);
    f.eth_type = eth_type;
    f.ip_src = src;
    f.ip_dst = dst;
    f.udp_sport = sport;
    f.udp_dport = dport;
    return f;
}

bool DumpEntry::crc_matches_key() const {
    const kova_FLOW f = flow();
    kova_flow_key key;
    kova_flow_key_make(&f, &key);
    return kova_flow_key_crc(&key) == crc;
}

const char *DumpEntry::role() const {
    return extended ? "extended" : indent == 0 ? "head" : indent == 4 ? "crc12" : "crc32";
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
    // Slot 0's address follows from any head: it sits at crc32 >> 18.
    uint64_t base = 0;
    bool have_base = false;
    for (const DumpEntry &e : d.entries)
        if (e.indent == 0 && !e.extended) {
            base = e.address - uint64_t(e.crc >> KOVA_LUT_BUCKET_SHIFT) * KOVA_LUT_SIZE;
            have_base = true;
            break;
        }
    for (size_t i = 0; i < d.entries.size(); ++i) {
        DumpEntry &e = d.entries[i];
        const uint64_t off = e.address - base;
        if (have_base && off % KOVA_LUT_SIZE == 0 && off / KOVA_LUT_SIZE < KOVA_LUT_ENTRIES)
            e.slot = int64_t(off / KOVA_LUT_SIZE);
        if (e.extended && i > 0)
            e.parent_slot = d.entries[i - 1].slot;
    }
    return d;
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

std::string ucc_text(uint32_t w) {
    if (w >= 27 && w <= 31)
        return std::to_string(w) + "|" + std::to_string(67 - w);
    return std::to_string(w);
}

Json decode_actions(const uint8_t *entry) {
    const bool v6 = (uint32_t(entry[KOVA_LUT_OFF_ETH_TYPE]) << 8 | entry[KOVA_LUT_OFF_ETH_TYPE + 1]) ==
                    KOVA_ETH_TYPE_IPV6;
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
        case RULE_ADD_VLAN_1: case RULE_CHANGE_VLAN_1: case RULE_ADD_VLAN_2: case RULE_CHANGE_VLAN_2: {
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
