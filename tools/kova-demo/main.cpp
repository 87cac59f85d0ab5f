// kova-demo: builds a few flows in a fresh flow table, shows where they
// landed and how they are linked in the shadow and the engine copy, then
// deletes the bucket head and shows the chain repaired.
#include <cstdio>
#include <cstring>
#include <string>

#include "flow/ctrl.h"
#include "kova/host.h"
#include "kova/kovaAPI.h"
#include "lib/bytes.h"

namespace {

using kv::bytes::get_be16;
using kv::bytes::get_le32;
using kv::bytes::get_le64;

struct DemoFlow {
    const char *what;
    uint32_t appflowid;
    const char *src, *dst; // dotted IPv4
    uint16_t sport, dport;
};

void parse_ipv4(const char *text, uint8_t out[4]) {
    unsigned a, b, c, d;
    if (std::sscanf(text, "%u.%u.%u.%u", &a, &b, &c, &d) == 4) {
        out[0] = uint8_t(a), out[1] = uint8_t(b), out[2] = uint8_t(c), out[3] = uint8_t(d);
    }
}

// The flow's CRC32 is what the engine computes over the key; here it is the
// usual CRC-32 of the two addresses and ports.
uint32_t key_crc(const kova_FLOW &f) {
    uint8_t key[12];
    std::memcpy(key, f.ip_src.v4, 4);
    std::memcpy(key + 4, f.ip_dst.v4, 4);
    kv::bytes::put_be16(key + 8, f.udp_sport);
    kv::bytes::put_be16(key + 10, f.udp_dport);
    return kova_crc32(key, sizeof key);
}

const char *slot_name(uint64_t cpu_link, char *buf, size_t n) {
    if (!cpu_link)
        return "-";
    std::snprintf(buf, n, "slot %llu",
                  (unsigned long long)((cpu_link - uint64_t(uintptr_t(kova.hashtable_base_cpu))) / 256));
    return buf;
}

void show(const DemoFlow &d) {
    const uint32_t slot = kova.appflow_map[d.appflowid];
    const uint8_t *sh = kova.hashtable_base_cpu + size_t(slot) * 256;
    const uint8_t *en = kova.hashtable_base_qe_remapped + size_t(slot) * 256;
    const uint8_t *ip = sh + KOVA_LUT_OFF_IP_SRC, *ipd = sh + KOVA_LUT_OFF_IP_DST;
    char b1[32], b2[32];
    std::printf("appflowid %u (%s)\n", d.appflowid, d.what);
    std::printf("  slot %u%s, bucket %u, prev %s\n", slot, slot < KOVA_LUT_HEADS ? " (bucket head)" : " (overflow)",
                get_le32(sh + KOVA_LUT_OFF_CRC32) >> 18,
                kova.lut_info[slot].prev_flowid == KOVA_NO_SLOT ? "none" : std::to_string(kova.lut_info[slot].prev_flowid).c_str());
    // IPv4 keys hold the two halves of each address swapped: c.d.a.b.
    std::printf("  key: crc32 %08x port %u ethertype %04x %u.%u.%u.%u:%u -> %u.%u.%u.%u:%u\n",
                get_le32(sh + KOVA_LUT_OFF_CRC32), get_le32(sh + KOVA_LUT_OFF_PORT), get_be16(sh + KOVA_LUT_OFF_ETH_TYPE),
                ip[2], ip[3], ip[0], ip[1], get_be16(sh + KOVA_LUT_OFF_PORTS), ipd[2], ipd[3], ipd[0], ipd[1],
                get_be16(sh + KOVA_LUT_OFF_PORTS + 2));
    std::printf("  shadow links: next_crc32 %s, next_crc12 %s\n",
                slot_name(get_le64(sh + KOVA_LUT_OFF_NEXT_CRC32), b1, sizeof b1),
                slot_name(get_le64(sh + KOVA_LUT_OFF_NEXT_CRC12), b2, sizeof b2));
    std::printf("  engine copy: valid %u, next_crc32 %#llx, next_crc12 %#llx\n", get_le32(en + KOVA_LUT_OFF_VALID),
                (unsigned long long)get_le64(en + KOVA_LUT_OFF_NEXT_CRC32),
                (unsigned long long)get_le64(en + KOVA_LUT_OFF_NEXT_CRC12));
}

} // namespace

int main() {
    if (kovaAPIInit() != KOVA_OK) {
        std::fprintf(stderr, "kova-demo: the flow table could not be initialised\n");
        return 1;
    }
    std::printf("kova flow table: 16384 bucket heads, 16384 overflow slots; engine not attached,\n"
                "so the engine copy is the module's own stand-in at engine address 0.\n\n");

    const DemoFlow demo[] = {
        {"first flow of its bucket", 100, "192.168.32.102", "10.0.0.1", 5060, 5060},
        {"same key, so same CRC32: chained on next_crc32", 101, "192.168.32.102", "10.0.0.1", 5060, 5060},
        {"other bucket", 102, "192.168.32.103", "10.0.0.1", 5060, 5060},
    };
    kova_RULE forward{};
    forward.type = RULE_FORWARD_TO_QE;
    forward.param.forward_qe.port = 2;
    forward.param.forward_qe.priority = 1;
    uint32_t first_crc = 0;
    for (const DemoFlow &d : demo) {
        kova_FLOW f{};
        f.flow_ucc = 1;
        f.eth_type = KOVA_ETH_TYPE_IPV4;
        parse_ipv4(d.src, f.ip_src.v4);
        parse_ipv4(d.dst, f.ip_dst.v4);
        f.udp_sport = d.sport;
        f.udp_dport = d.dport;
        f.crc32 = key_crc(f);
        f.rules = &forward;
        if (!first_crc)
            first_crc = f.crc32;
        uint32_t r = kovaAPIcreateVoipFlow(&f, d.appflowid);
        std::printf("create appflowid %u: crc32 %08x -> result %u\n", d.appflowid, f.crc32, r);
    }
    // Same bucket, other CRC32: the engine hashes more than these fields, so
    // two keys can share the top 14 bits of their CRC32.
    kova_FLOW f{};
    f.flow_ucc = 1;
    f.eth_type = KOVA_ETH_TYPE_IPV4;
    parse_ipv4("172.16.0.9", f.ip_src.v4);
    parse_ipv4("10.0.0.2", f.ip_dst.v4);
    f.udp_sport = f.udp_dport = 4000;
    f.crc32 = (first_crc & 0xFFFC0000u) | ((first_crc + 1) & 0x3FFFFu);
    f.rules = &forward;
    std::printf("create appflowid 103: crc32 %08x -> result %u\n\n", f.crc32, kovaAPIcreateVoipFlow(&f, 103));

    for (const DemoFlow &d : demo)
        show(d);
    show({"same bucket, other CRC32: chained on next_crc12", 103, "", "", 0, 0});

    std::printf("\ncreate branches: head %u, chained %u (same crc32 %u, other crc32 %u)\n",
                kova.create_branch_count[3], kova.create_branch_count[0], kova.create_branch_count[1],
                kova.create_branch_count[2]);

    // Deleting the head moves its same-CRC member into the head slot (the
    // head slot is fixed by the CRC); the member keeps its appflowid.
    std::printf("\ndelete appflowid 100 -> result %u\n", kovaAPIdeleteVoipFlow(100));
    show(demo[1]);
    show({"same bucket, other CRC32: chained on next_crc12", 103, "", "", 0, 0});
    std::printf("delete branches: head with a member and a next group %u\n", kova.delete_branch_count[3]);
    kovaAPIDeInitKovaMicroCode();
    return 0;
}
