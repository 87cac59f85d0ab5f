#include "trace.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "quote.h"

namespace kova_engine {
namespace {

bool number(const std::string &text, int base, uint64_t min, uint64_t max, uint64_t *out) {
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    // Decimal unless 0x says otherwise (a leading 0 is not octal here).
    if (base == 0)
        base = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? 16 : 10;
    errno = 0;
    char *end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, base);
    if (errno || *end || v < min || v > max)
        return false;
    *out = v;
    return true;
}

bool mac(const std::string &text, uint8_t *out) {
    unsigned b[6];
    int used = -1;
    if (std::sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%n", &b[0], &b[1], &b[2], &b[3], &b[4],
                    &b[5], &used) != 6 ||
        used != int(text.size()))
        return false;
    for (int i = 0; i < 6; ++i)
        out[i] = uint8_t(b[i]);
    return true;
}

// As the module takes an address: IPv4 a.b.c.d into the first four bytes,
// IPv6 as eight groups in CPU order, group 0 first.
bool address(const std::string &text, kova_IPADDR *out) {
    std::memset(out, 0, sizeof *out);
    if (text.find('.') != std::string::npos)
        return inet_pton(AF_INET, text.c_str(), out->v4) == 1;
    uint8_t net[16];
    if (text.find(':') == std::string::npos || inet_pton(AF_INET6, text.c_str(), net) != 1)
        return false;
    for (int i = 0; i < 8; ++i)
        out->v6[i] = uint16_t(net[2 * i] << 8 | net[2 * i + 1]);
    return true;
}

// The canonical name of a field, or null for one we do not know.
const char *canonical(const std::string &name) {
    static const char *const kAliases[][2] = {
        {"ucc", "ucc"},           {"flow_ucc", "ucc"},
        {"subport", "subport"},   {"flow_subport", "subport"},
        {"dmac", "dmac"},         {"eth_dmac", "dmac"},
        {"smac", "smac"},         {"eth_smac", "smac"},
        {"vlan1", "vlan1"},       {"vlan_id_1", "vlan1"},
        {"vlan2", "vlan2"},       {"vlan_id_2", "vlan2"},
        {"src", "src"},           {"ipv4_src", "src"},
        {"dst", "dst"},           {"ipv4_dst", "dst"},
        {"sport", "sport"},       {"udp_sport", "sport"},
        {"dport", "dport"},       {"udp_dport", "dport"},
        {"eth_type", "eth_type"}, {"len", "len"},
        {"count", "count"},       {"crc32", "crc32"},
        {"flow_id", ""},          {"parent_flow_id", ""},
    };
    for (const auto &a : kAliases)
        if (name == a[0])
            return a[1];
    return nullptr;
}

} // namespace

LineKind parse_line(const std::string &line, TraceLine *out, std::string *error) {
    std::istringstream in(line.substr(0, line.find('#')));
    kova_FLOW flow{};
    uint64_t len = 64, count = 1, crc = 0;
    bool any = false, want_crc = false;
    for (std::string token; in >> token;) {
        any = true;
        const size_t eq = token.find('=');
        const std::string name = token.substr(0, eq),
                          value = eq == std::string::npos ? "" : token.substr(eq + 1);
        const char *field = eq == std::string::npos ? nullptr : canonical(name);
        if (!field) {
            *error = "unknown field " + kova_tools::quoted(token);
            return LineKind::error;
        }
        const std::string f = field;
        uint64_t v = 0;
        bool ok = true;
        if (f.empty()) {
            // an identifier of the definition, not part of the packet
        } else if (f == "dmac") {
            ok = mac(value, flow.eth_dmac);
        } else if (f == "smac") {
            ok = mac(value, flow.eth_smac);
        } else if (f == "src") {
            ok = address(value, &flow.ip_src);
        } else if (f == "dst") {
            ok = address(value, &flow.ip_dst);
        } else if (f == "eth_type") {
            ok = number(value, 16, 0, 0xFFFF, &v);
            flow.eth_type = uint16_t(v);
        } else if (f == "crc32") {
            ok = number(value, 16, 0, 0xFFFFFFFFu, &crc);
            want_crc = true;
        } else if (f == "len") {
            ok = number(value, 0, 1, 0xFFFF, &len);
        } else if (f == "count") {
            ok = number(value, 0, 1, uint64_t(1) << 40, &count);
        } else {
            const uint64_t max = f == "ucc" ? 40 : f == "subport" ? 4095 : 0xFFFF;
            ok = number(value, 0, 0, max, &v);
            uint16_t *dst = f == "ucc"       ? &flow.flow_ucc
                            : f == "subport" ? &flow.flow_subport
                            : f == "vlan1"   ? &flow.vlan_id_1
                            : f == "vlan2"   ? &flow.vlan_id_2
                            : f == "sport"   ? &flow.udp_sport
                                             : &flow.udp_dport;
            *dst = uint16_t(v);
        }
        if (!ok) {
            *error = "bad value in " + kova_tools::quoted(token);
            return LineKind::error;
        }
    }
    if (!any)
        return LineKind::empty;
    out->packet = packet_of(flow, uint32_t(len));
    out->count = count;
    out->flow = flow;
    if (want_crc && out->packet.crc != crc) {
        char text[96];
        std::snprintf(text, sizeof text, "crc32=%08llx given, but the key hashes to %08x",
                      (unsigned long long)crc, out->packet.crc);
        *error = text;
        return LineKind::error;
    }
    return LineKind::packet;
}

bool TraceReader::open(const std::string &path, std::string *error) {
    in_.open(path);
    if (!in_) {
        *error = kova_tools::escaped(path) + ": " + std::strerror(errno);
        return false;
    }
    path_ = kova_tools::escaped(path);
    return true;
}

bool TraceReader::next(TraceLine *out) {
    while (error_.empty() && std::getline(in_, line_)) {
        ++number_;
        std::string what;
        switch (parse_line(line_, out, &what)) {
        case LineKind::packet:
            return true;
        case LineKind::empty:
            break;
        case LineKind::error:
            error_ = path_ + ":" + std::to_string(number_) + ": " + what;
            break;
        }
    }
    return false;
}

bool read_lines(const char *path, std::vector<TraceLine> *out, std::string *error) {
    TraceReader in;
    if (!in.open(path, error))
        return false;
    for (TraceLine t; in.next(&t);)
        out->push_back(t);
    *error = in.error();
    return error->empty();
}

} // namespace kova_engine
