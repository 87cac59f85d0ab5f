// The flow key is a contract with the engine simulator: it must be the
// entry's own key bytes, and its CRC must not drift.
#include <gtest/gtest.h>

#include <cstring>

#include "flow_key.h"
#include "kova/kova_shm.h"
#include "kova_internal.h"

namespace {

kova_FLOW flow_of(uint16_t eth_type) {
    kova_FLOW f;
    std::memset(&f, 0, sizeof f);
    const uint8_t dmac[6] = {0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f}, smac[6] = {1, 2, 3, 4, 5, 6};
    std::memcpy(f.eth_dmac, dmac, 6);
    std::memcpy(f.eth_smac, smac, 6);
    f.vlan_id_1 = 100;
    f.vlan_id_2 = 200;
    f.eth_type = eth_type;
    f.udp_sport = 1;
    f.udp_dport = 2;
    f.flow_ucc = 37; // not part of the key
    return f;
}

void set_v6(kova_IPADDR *ip, std::initializer_list<uint16_t> groups) {
    int i = 0;
    for (uint16_t g : groups)
        ip->v6[i++] = g;
}

TEST(FlowKey, IsTheEntryKeyForEveryAddressFormat) {
    kova_RULE drop;
    std::memset(&drop, 0, sizeof drop);
    drop.type = RULE_DROP_PACKET;
    const uint16_t types[] = {KOVA_ETH_TYPE_IPV4, KOVA_ETH_TYPE_ARP, KOVA_ETH_TYPE_IPV6, 0x8847};
    for (uint16_t type : types) {
        kova_FLOW f = flow_of(type);
        f.rules = &drop;
        if (type == KOVA_ETH_TYPE_IPV6) {
            set_v6(&f.ip_src, {0x2001, 0xdb8, 0, 0, 0, 0, 0, 1});
            set_v6(&f.ip_dst, {0xfd00, 0, 0, 0, 0, 0, 0x1234, 2});
        } else {
            const uint8_t s[4] = {10, 0, 0, 1}, d[4] = {192, 168, 7, 9};
            std::memcpy(f.ip_src.v4, s, 4);
            std::memcpy(f.ip_dst.v4, d, 4);
        }
        kova_LUT entry; // zeroed, as the module's scratch entry is
        std::memset(&entry, 0, sizeof entry);
        int32_t len = sizeof entry;
        ASSERT_EQ(kovaAPIcreateVoipLutEntry(&f, &entry, &len, 0), 0u) << std::hex << type;

        kova_flow_key made, taken;
        kova_flow_key_make(&f, &made);
        kova_flow_key_from_entry(&entry, &taken);
        EXPECT_EQ(std::memcmp(made.bytes, reinterpret_cast<const uint8_t *>(&entry) + 4, KOVA_FLOW_KEY_LEN), 0)
            << "eth_type 0x" << std::hex << type;
        EXPECT_EQ(std::memcmp(made.bytes, taken.bytes, KOVA_FLOW_KEY_LEN), 0);
    }
}

// Values computed independently (zlib's CRC-32 over the layout documented in
// flow_key.h). A change here breaks every definition written so far.
TEST(FlowKey, CrcOfKnownKeys) {
    kova_FLOW v4 = flow_of(KOVA_ETH_TYPE_IPV4);
    const uint8_t dmac[6] = {2, 0, 0, 0x4f, 3, 0xe8}, smac[6] = {2, 0, 0, 0x4f, 3, 0xe9};
    std::memcpy(v4.eth_dmac, dmac, 6);
    std::memcpy(v4.eth_smac, smac, 6);
    v4.vlan_id_1 = v4.vlan_id_2 = 0;
    const uint8_t s[4] = {10, 0, 0, 1}, d[4] = {10, 0, 0, 2};
    std::memcpy(v4.ip_src.v4, s, 4);
    std::memcpy(v4.ip_dst.v4, d, 4);
    v4.udp_sport = 5000;
    v4.udp_dport = 6000;
    kova_flow_key k;
    kova_flow_key_make(&v4, &k);
    EXPECT_EQ(kova_flow_key_crc(&k), 0x74253d4bu);

    kova_FLOW v6 = flow_of(KOVA_ETH_TYPE_IPV6);
    set_v6(&v6.ip_src, {0x2001, 0xdb8, 0, 0, 0, 0, 0, 1});
    set_v6(&v6.ip_dst, {0xfd00, 0, 0, 0, 0, 0, 0, 2});
    kova_flow_key_make(&v6, &k);
    EXPECT_EQ(kova_flow_key_crc(&k), 0xe235ea10u);
}

} // namespace
