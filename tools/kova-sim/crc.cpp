// The crc command. Fields are read as the keys of a create_flows definition
// are (the module's number reader, ranges and address parser), so a value
// means here what it means there and one the module refuses is refused.
#include "crc.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "flow/field_ranges.h"
#include "flow_key.h"
#include "lib/scan.h"
#include "operator/flow_lang.h"
#include "quote.h"

namespace kovasim {
namespace {

// The key fields in the order of the positional form; the names are the
// definition's keys.
const char *const kFields[] = {"eth_dmac", "eth_smac", "vlan_id_1", "vlan_id_2", "eth_type",
                               "ipv4_src", "ipv4_dst", "udp_sport", "udp_dport"};
constexpr int kFieldCount = 9;

struct Fields {
    kova_FLOW flow{};
    const char *text[kFieldCount] = {};
    const char *ucc = nullptr;
};

// The ranges the module refuses values outside of: what the entry holds.
using kv::ranges::kEthType;
using kv::ranges::kMacOctet;
using kv::ranges::kUcc;
constexpr kv::NumberForm kVlan = kv::ranges::kTwelveBits;
constexpr kv::NumberForm kPort = kv::ranges::kSixteenBits;

bool bad_value(const char *name, const char *v) {
    std::fprintf(stderr, "kova-sim crc: %s: bad value \"%s\"\n", name,
                 kova_tools::escaped(v).c_str());
    return false;
}

bool out_of_range(const char *name, const std::string &v, const kv::NumberForm &form) {
    const char *fmt = form.base == 16 ? "kova-sim crc: %s: %s out of range 0x%llx..0x%llx\n"
                                      : "kova-sim crc: %s: %s out of range %lld..%lld\n";
    std::fprintf(stderr, fmt, name, kova_tools::escaped(v).c_str(), (long long)form.lo,
                 (long long)form.hi);
    return false;
}

// One number as the module reads its key: never wrapped, text after the
// digits ignored.
template <typename T>
bool read(const char *name, const char *v, const kv::NumberForm &form, T *out) {
    const char *p = v, *start = v;
    int64_t n = 0;
    switch (kv::read_number(&p, form, &n, &start)) {
    case kv::NumberRead::ok:
        *out = T(n);
        return true;
    case kv::NumberRead::none:
        return bad_value(name, v);
    default:
        return out_of_range(name, std::string(start, size_t(p - start)), form);
    }
}

// Six hexadecimal octets apart by ':'; one over 0xff is refused with the
// whole address, as the module does.
bool read_mac(const char *name, const char *v, uint8_t *mac) {
    const char *p = v;
    for (int i = 0; i < 6; ++i) {
        if (i > 0 && *p++ != ':')
            return bad_value(name, v);
        const char *start;
        int64_t n;
        switch (kv::read_number(&p, kMacOctet, &n, &start)) {
        case kv::NumberRead::ok:
            mac[i] = uint8_t(n);
            break;
        case kv::NumberRead::none:
            return bad_value(name, v);
        default:
            return out_of_range(name, v, kMacOctet);
        }
    }
    return true;
}

// One value; false with a message when the text is not a valid value.
bool parse_field(int i, const char *v, kova_FLOW *f) {
    const char *name = kFields[i];
    switch (i) {
    case 0:
        return read_mac(name, v, f->eth_dmac);
    case 1:
        return read_mac(name, v, f->eth_smac);
    case 2:
        return read(name, v, kVlan, &f->vlan_id_1);
    case 3:
        return read(name, v, kVlan, &f->vlan_id_2);
    case 4:
        return read(name, v, kEthType, &f->eth_type);
    case 5:
    case 6: {
        const char *range = nullptr;
        const int r = kv::lang::convert_address(v, i == 5 ? &f->ip_src : &f->ip_dst, &range);
        if (r != 0 && range) {
            std::fprintf(stderr, "kova-sim crc: %s: %s out of range %s\n", name,
                         kova_tools::escaped(v).c_str(), range);
            return false;
        }
        if (r != 0) {
            std::fprintf(
                stderr,
                "kova-sim crc: %s: not an address (a.b.c.d or eight hex groups g:g:g:g:g:g:g:g)\n",
                name);
            return false;
        }
        return true;
    }
    case 7:
        return read(name, v, kPort, &f->udp_sport);
    default:
        return read(name, v, kPort, &f->udp_dport);
    }
}

int usage() {
    std::fprintf(
        stdout,
        "usage: kova-sim crc ETH_DMAC ETH_SMAC VLAN_ID_1 VLAN_ID_2 ETH_TYPE SRC DST SPORT DPORT "
        "[UCC]\n"
        "       kova-sim crc eth_dmac=.. eth_smac=.. vlan_id_1=.. vlan_id_2=.. eth_type=.. "
        "ipv4_src=..\n"
        "                    ipv4_dst=.. udp_sport=.. udp_dport=.. [flow_ucc=..]\n"
        "  MACs aa:bb:cc:dd:ee:ff, VLAN ids (0..4095) and ports (0..65535) decimal, ETH_TYPE\n"
        "  hex (800, 0x86dd), UCC 0..40; a value out of range is refused, never cut;\n"
        "  addresses a.b.c.d or g:g:g:g:g:g:g:g; other key=value tokens (a whole definition)\n"
        "  are ignored. Prints the crc32 and the key part of a create_flows definition.\n");
    return 0;
}

int usage_error(const std::string &what) {
    std::fprintf(stderr, "kova-sim crc: %s\nTry 'kova-sim crc --help' for more information.\n",
                 what.c_str());
    return 2;
}

} // namespace

int crc_command(int argc, char **argv) {
    if (argc == 1 && (std::strcmp(argv[0], "--help") == 0 || std::strcmp(argv[0], "-h") == 0))
        return usage();
    Fields in;
    bool keyed = false;
    for (int a = 0; a < argc; ++a)
        keyed = keyed || std::strchr(argv[a], '=') != nullptr;
    if (!keyed) {
        if (argc != kFieldCount && argc != kFieldCount + 1)
            return usage_error("9 or 10 fields, or key=value tokens, expected; got " +
                               std::to_string(argc) + " fields");
        for (int i = 0; i < kFieldCount; ++i)
            in.text[i] = argv[i];
        if (argc > kFieldCount)
            in.ucc = argv[kFieldCount];
    } else {
        for (int a = 0; a < argc; ++a) {
            const char *eq = std::strchr(argv[a], '=');
            if (!eq)
                continue;
            const std::string key(argv[a], size_t(eq - argv[a]));
            for (int i = 0; i < kFieldCount; ++i)
                if (key == kFields[i])
                    in.text[i] = eq + 1;
            if (key == "flow_ucc")
                in.ucc = eq + 1;
        }
        for (int i = 0; i < kFieldCount; ++i)
            if (!in.text[i])
                return usage_error(std::string(kFields[i]) + " missing");
    }
    for (int i = 0; i < kFieldCount; ++i)
        if (!parse_field(i, in.text[i], &in.flow))
            return 2;
    unsigned short ucc = 0;
    if (in.ucc && !read("flow_ucc", in.ucc, kUcc, &ucc))
        return 2;

    kova_flow_key key;
    kova_flow_key_make(&in.flow, &key);
    const uint32_t crc = kova_flow_key_crc(&key);
    const kova_FLOW &f = in.flow;
    std::printf("crc32=0x%08x\nbucket=%u\n", crc, crc >> KOVA_LUT_BUCKET_SHIFT);
    std::printf("crc32=0x%08x", crc);
    if (in.ucc)
        std::printf(" flow_ucc=%u", ucc);
    const uint8_t *d = f.eth_dmac, *s = f.eth_smac;
    std::printf(" eth_dmac=" KOVA_MAC_FORMAT " eth_smac=" KOVA_MAC_FORMAT
                " vlan_id_1=%u vlan_id_2=%u eth_type=0x%x ipv4_src=%s ipv4_dst=%s udp_sport=%u "
                "udp_dport=%u\n",
                KOVA_MAC_ARGS(d), KOVA_MAC_ARGS(s), f.vlan_id_1, f.vlan_id_2, f.eth_type,
                in.text[5], in.text[6], f.udp_sport, f.udp_dport);
    return 0;
}

} // namespace kovasim
