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

std::vector<uint8_t> hex(const std::string &text) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(uint8_t(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

// Each frame the shortest that carries what the key needs: a keyed one gives the module's
// entry key for the packet line that describes it, and every shorter prefix is truncated;
// any other gives its reason. A packet line with a fault is refused.
TEST(KovaEngineInput, KeyIsTheEntryBuildersOrTheReasonThereIsNone) {
    TraceLine line;
    std::string why;
    for (const char *bad : {"ucc=41", "vlan=3", "eth_type=800 crc32=12345678"})
        EXPECT_EQ(parse_line(bad, &line, &why), LineKind::error) << bad;
    const std::string kMacs = "0a0b0c0d0e0f010203040506", kV4 = "0a000001c0a80709",
                      kV6 = "20010db8000000000000000000000001fd000000000000000000000012340002",
                      l2 = "dmac=0a:0b:0c:0d:0e:0f smac=01:02:03:04:05:06 ",
                      v4 = l2 + "src=10.0.0.1 dst=192.168.7.9 eth_type=",
                      v6 = l2 + "src=2001:db8::1 dst=fd00::1234:2 eth_type=86dd ";
    const struct {
        std::string hex;
        Decode want;
        std::string line;
    } rows[] = {
        {kMacs + "8100a064" + "0800" + "450000300001000040060000" + kV4 + "13881770", Decode::ok,
         v4 + "800 vlan1=100 sport=5000 dport=6000"}, // TCP, a tag with priority bits
        {kMacs + "88a830c8" + "81000064" + "0800" + "460000300001000040010000" + kV4 + "01020304",
         Decode::ok, v4 + "800 vlan1=200 vlan2=100"}, // options, ICMP
        {kMacs + "86dd" + "6000000000300040" + kV6 + "2b00000000000000" + "2c00000000000000" +
             "3c00000100000001" + "0601000000000000" + "0000000000000000" + "005001bb",
         Decode::ok, v6 + "sport=80 dport=443"}, // four extension headers, TCP
        {kMacs + "0806" + "00010800060400010203040506070a000001000000000000c0a80709", Decode::ok,
         v4 + "806"},
        {kMacs + "81000064" + "8847", Decode::ok, l2 + "eth_type=8847 vlan1=100"}, // layer 2 only
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
        ASSERT_EQ(parse_line(row.line, &line, &why), LineKind::packet) << why;
        kova_RULE drop{nullptr, RULE_DROP_PACKET, {}};
        line.flow.flow_ucc = 37, line.flow.rules = &drop; // the UCC is not part of the key
        kova_LUT entry{};
        int32_t entry_len = sizeof entry;
        ASSERT_EQ(kovaAPIcreateVoipLutEntry(&line.flow, &entry, &entry_len, 0), 0u);
        const uint8_t *key = reinterpret_cast<const uint8_t *>(&entry) + KOVA_FLOW_KEY_ENTRY_OFF;
        EXPECT_EQ(std::memcmp(line.packet.key.bytes, key, KOVA_FLOW_KEY_LEN), 0);
        EXPECT_EQ(std::memcmp(p.key.bytes, key, KOVA_FLOW_KEY_LEN), 0);
        for (size_t n = 0; n < frame.size(); ++n)
            ASSERT_EQ(decode_frame(frame.data(), n, 1500, port, &p), Decode::truncated) << n;
    }
}

} // namespace
