// kova-engine's input, keyed as the module keys its entries (flow_key.h); its
// lookup and counting run against the module in kova-sim's tests.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kova_internal.h"
#include "pcap_decode.h"
#include "trace.h"

namespace {

using namespace kova_engine;

// Frames and descriptions share these fields; addresses 10.0.0.1 and
// 192.168.7.9, or 2001:db8::1 and fd00::1234:2.
const std::string kMacs = "0a0b0c0d0e0f010203040506", kV4 = "0a000001c0a80709",
                  kV6 = "20010db8000000000000000000000001fd000000000000000000000012340002";
std::vector<uint8_t> hex(const std::string &text) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(uint8_t(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}
kova_FLOW flow_of(uint16_t type, uint16_t vlan1, uint16_t vlan2, uint16_t sport, uint16_t dport) {
    kova_FLOW f{};
    const std::vector<uint8_t> macs = hex(kMacs), a4 = hex(kV4), a6 = hex(kV6);
    std::memcpy(f.eth_dmac, macs.data(), 6), std::memcpy(f.eth_smac, macs.data() + 6, 6);
    f.eth_type = type, f.vlan_id_1 = vlan1, f.vlan_id_2 = vlan2, f.udp_sport = sport;
    f.udp_dport = dport;
    std::memcpy(f.ip_src.v4, a4.data(), 4), std::memcpy(f.ip_dst.v4, a4.data() + 4, 4);
    for (int g = 0; type == KOVA_ETH_TYPE_IPV6 && g < 8; ++g)
        f.ip_src.v6[g] = uint16_t(a6[2 * g] << 8 | a6[2 * g + 1]),
        f.ip_dst.v6[g] = uint16_t(a6[16 + 2 * g] << 8 | a6[17 + 2 * g]);
    return f;
}

// Each frame the shortest that carries what the key needs: a keyed one gives
// the module's entry key for its flow, as kova_flow_key_make does, and every
// shorter prefix is truncated; any other gives its reason.
TEST(KovaEngineInput, KeyIsTheEntryBuildersOrTheReasonThereIsNone) {
    TraceLine line;
    std::string why;
    for (const char *bad : {"ucc=41", "vlan=3", "eth_type=800 crc32=12345678"})
        EXPECT_EQ(parse_line(bad, &line, &why), LineKind::error) << bad;
    const struct {
        std::string hex;
        Decode want;
        kova_FLOW flow{};
    } rows[] = {
        {kMacs + "8100a064" + "0800" + "450000300001000040060000" + kV4 + "13881770", Decode::ok,
         flow_of(KOVA_ETH_TYPE_IPV4, 100, 0, 5000, 6000)}, // TCP, a tag with priority bits
        {kMacs + "88a830c8" + "81000064" + "0800" + "460000300001000040010000" + kV4 + "01020304",
         Decode::ok, flow_of(KOVA_ETH_TYPE_IPV4, 200, 100, 0, 0)}, // options, ICMP
        {kMacs + "86dd" + "6000000000300040" + kV6 + "2b00000000000000" + "2c00000000000000" +
             "3c00000100000001" + "0601000000000000" + "0000000000000000" + "005001bb",
         Decode::ok, flow_of(KOVA_ETH_TYPE_IPV6, 0, 0, 80, 443)}, // four extension headers, TCP
        {kMacs + "0806" + "00010800060400010203040506070a000001000000000000c0a80709", Decode::ok,
         flow_of(KOVA_ETH_TYPE_ARP, 0, 0, 0, 0)},
        {kMacs + "81000064" + "8847", Decode::ok, flow_of(0x8847, 100, 0, 0, 0)}, // layer 2 only
        {kMacs + "86dd" + "4000000000081140" + kV6 + "00010002", Decode::malformed_ip},
        {kMacs + "86dd" + "6000000000102c40" + kV6 + "1100000900000001" + "00010002",
         Decode::non_first_fragment},
        {kMacs + "81000029" + "8847", Decode::no_port_tag}, // a tag whose id is no UCC
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.hex);
        const std::vector<uint8_t> frame = hex(row.hex);
        const PortChoice port{row.want == Decode::no_port_tag, 9, 300};
        Packet p{};
        ASSERT_EQ(decode_frame(frame.data(), frame.size(), 1500, port, &p), row.want);
        if (row.want != Decode::ok)
            continue;
        kova_FLOW f = row.flow;
        kova_RULE drop{nullptr, RULE_DROP_PACKET, {}};
        f.flow_ucc = 37, f.rules = &drop; // the UCC is not part of the key
        kova_LUT entry{};
        int32_t entry_len = sizeof entry;
        ASSERT_EQ(kovaAPIcreateVoipLutEntry(&f, &entry, &entry_len, 0), 0u);
        kova_flow_key made;
        kova_flow_key_make(&f, &made);
        const uint8_t *key = reinterpret_cast<const uint8_t *>(&entry) + KOVA_FLOW_KEY_ENTRY_OFF;
        EXPECT_EQ(std::memcmp(made.bytes, key, KOVA_FLOW_KEY_LEN), 0);
        EXPECT_EQ(std::memcmp(p.key.bytes, key, KOVA_FLOW_KEY_LEN), 0);
        for (size_t n = 0; n < frame.size(); ++n)
            ASSERT_EQ(decode_frame(frame.data(), n, 1500, port, &p), Decode::truncated) << n;
    }
}

} // namespace
