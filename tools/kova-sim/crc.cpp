// The crc command. Fields are read with the same conversions as the keys of
// a create_flows definition (the module's own scanner and address parser),
// so a value means here what it means there.
#include "crc.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "flow_key.h"
#include "lib/scan.h"
#include "linux/flow_lang.h"
#include "quote.h"

namespace kovasim {
namespace {

// The key fields in the order of the positional form; the names are the
// definition's keys.
const char *const kFields[] = {"eth_dmac", "eth_smac", "vlan_id_1", "vlan_id_2", "eth_type",
                               "ipv4_src", "ipv4_dst", "udp_sport", "udp_dport"};
constexpr int kFieldCount = 9;

#define MAC_FMT "%02hhx:%02hhx:%02hhx:%02hhx:%02hhx:%02hhx"
#define MAC_ARGS(m) &(m)[0], &(m)[1], &(m)[2], &(m)[3], &(m)[4], &(m)[5]

struct Fields {
    kova_FLOW flow{};
    const char *text[kFieldCount] = {};
    const char *ucc = nullptr;
};

// One value; false with a message when the text is not a valid value.
bool parse_field(int i, const char *v, kova_FLOW *f) {
    const size_t n = std::strlen(v);
    int got = 0, want = 1;
    switch (i) {
    case 0:
        got = kv::scan(v, n, MAC_FMT, MAC_ARGS(f->eth_dmac)), want = 6;
        break;
    case 1:
        got = kv::scan(v, n, MAC_FMT, MAC_ARGS(f->eth_smac)), want = 6;
        break;
    case 2:
        got = kv::scan(v, n, "%hu", &f->vlan_id_1);
        break;
    case 3:
        got = kv::scan(v, n, "%hu", &f->vlan_id_2);
        break;
    case 4:
        got = kv::scan(v, n, "%hx", &f->eth_type);
        break;
    case 5:
    case 6:
        if (kv::lang::convert_address(v, i == 5 ? &f->ip_src : &f->ip_dst) != 0) {
            std::fprintf(stderr, "kova-sim crc: %s: not an address (a.b.c.d or eight hex groups g:g:g:g:g:g:g:g)\n",
                         kFields[i]);
            return false;
        }
        return true;
    case 7:
        got = kv::scan(v, n, "%hu", &f->udp_sport);
        break;
    case 8:
        got = kv::scan(v, n, "%hu", &f->udp_dport);
        break;
    }
    if (got != want) {
        std::fprintf(stderr, "kova-sim crc: %s: bad value \"%s\"\n", kFields[i], kova_tools::escaped(v).c_str());
        return false;
    }
    return true;
}

int usage() {
    std::fprintf(stdout,
                 "usage: kova-sim crc ETH_DMAC ETH_SMAC VLAN_ID_1 VLAN_ID_2 ETH_TYPE SRC DST SPORT DPORT [UCC]\n"
                 "       kova-sim crc eth_dmac=.. eth_smac=.. vlan_id_1=.. vlan_id_2=.. eth_type=.. ipv4_src=..\n"
                 "                    ipv4_dst=.. udp_sport=.. udp_dport=.. [flow_ucc=..]\n"
                 "  MACs aa:bb:cc:dd:ee:ff, VLAN ids and ports decimal, ETH_TYPE hex (800, 0x86dd),\n"
                 "  addresses a.b.c.d or g:g:g:g:g:g:g:g; other key=value tokens (a whole definition)\n"
                 "  are ignored. Prints the crc32 and the key part of a create_flows definition.\n");
    return 0;
}

int usage_error(const std::string &what) {
    std::fprintf(stderr, "kova-sim crc: %s\nTry 'kova-sim crc --help' for more information.\n", what.c_str());
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
            return usage_error("9 or 10 fields, or key=value tokens, expected; got " + std::to_string(argc) +
                               " fields");
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
    if (in.ucc && kv::scan(in.ucc, std::strlen(in.ucc), "%hu", &ucc) != 1) {
        std::fprintf(stderr, "kova-sim crc: flow_ucc: bad value \"%s\"\n", kova_tools::escaped(in.ucc).c_str());
        return 2;
    }

    kova_flow_key key;
    kova_flow_key_make(&in.flow, &key);
    const uint32_t crc = kova_flow_key_crc(&key);
    const kova_FLOW &f = in.flow;
    std::printf("crc32=0x%08x\nbucket=%u\n", crc, crc >> KOVA_LUT_BUCKET_SHIFT);
    std::printf("crc32=0x%08x", crc);
    if (in.ucc)
        std::printf(" flow_ucc=%u", ucc);
    const uint8_t *d = f.eth_dmac, *s = f.eth_smac;
    std::printf(" eth_dmac=%02x:%02x:%02x:%02x:%02x:%02x eth_smac=%02x:%02x:%02x:%02x:%02x:%02x"
                " vlan_id_1=%u vlan_id_2=%u eth_type=0x%x ipv4_src=%s ipv4_dst=%s udp_sport=%u udp_dport=%u\n",
                d[0], d[1], d[2], d[3], d[4], d[5], s[0], s[1], s[2], s[3], s[4], s[5], f.vlan_id_1, f.vlan_id_2,
                f.eth_type, in.text[5], in.text[6], f.udp_sport, f.udp_dport);
    return 0;
}

} // namespace kovasim
