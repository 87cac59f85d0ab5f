// The entry builder: one flow description in, one 256-byte table entry out.
// The engine reads these bytes as they are, so every field goes through an
// explicit byte-order helper and never through a host struct's layout.
#include "flow/key.h"
#include "kova_internal.h"
#include "lib/bytes.h"
#include "platform.h"

namespace kv::entry {
namespace {

using namespace kv::bytes;

constexpr uint32_t kActionRoom = KOVA_LUT_ACTIONS_END - KOVA_LUT_OFF_ACTIONS; // 136 bytes

void write_key(uint8_t *e, const kova_FLOW &flow) {
    put_le32(e + KOVA_LUT_OFF_PORT, key::port_word(flow.flow_ucc));
    key::write(e, flow);
    put_le32(e + KOVA_LUT_OFF_CRC32, flow.crc32);
}

// Encoded size of each rule type; 0 with the result that refuses a type the
// engine cannot execute.
struct ActionKind {
    uint8_t size;
    uint8_t refusal;
};

constexpr ActionKind kKinds[] = {
    {4, 0},                      // 0 RULE_DROP_PACKET
    {8, 0},                      // 1 RULE_FORWARD_TO_QE
    {4, 0},                      // 2 RULE_FORWARD_TO_CPU
    {8, 0},                      // 3 RULE_ADD_VLAN_1
    {4, 0},                      // 4 RULE_REMOVE_VLAN_1
    {8, 0},                      // 5 RULE_CHANGE_VLAN_1
    {0, KOVA_ERR_NOT_SUPPORTED}, // 6 RULE_SECOND_CLASSIFY
    {8, 0},                      // 7 RULE_POLICING
    {28, 0},                     // 8 RULE_REPLACE_SRC_HEADER
    {28, 0},                     // 9 RULE_REPLACE_DST_HEADER
    {0, KOVA_ERR_UNKNOWN_RULE},  // 10
    {0, KOVA_ERR_UNKNOWN_RULE},  // 11
    {4, 0},                      // 12 RULE_UPDATE_TIMESTAMP
    {4, 0},                      // 13 RULE_UPDATE_PACKET_CNT
    {8, 0},                      // 14 RULE_ADD_VLAN_2
    {4, 0},                      // 15 RULE_REMOVE_VLAN_2
    {8, 0},                      // 16 RULE_CHANGE_VLAN_2
    {4, 0},                      // 17 RULE_SET_TOS
    {0, KOVA_ERR_NOT_SUPPORTED}, // 18 RULE_TEST
};
constexpr uint32_t kKindCount = sizeof kKinds / sizeof kKinds[0];
static_assert(kKindCount == RULE_TEST + 1, "one row per rule code");

ActionKind kind_of(uint32_t type) {
    return type < kKindCount ? kKinds[type] : ActionKind{0, KOVA_ERR_UNKNOWN_RULE};
}

void encode_forward_qe(uint8_t *a, const kova_RULE &r) {
    const auto &p = r.param.forward_qe;
    a[1] = uint8_t((p.qos_trusted == KOVA_PORT_TRUSTED ? 0x08u : 0u) | (p.qos_serviceclass & 7u));
    a[2] = p.priority;
    // A link-aggregation group has no subports: whatever the caller left in
    // the field must not reach the engine.
    put_le16(a + 3, key::is_lag_port(p.port) ? 0 : p.subport);
    put_le16(a + 5, p.port);
    a[7] = p.action_byte7;
}

// The tag goes out exactly as it appears on the wire: TPID, then TCI.
void encode_vlan(uint8_t *a, const kova_RULE &r) {
    const auto &p = r.param.vlan;
    put_be16(a + 4, p.etype);
    put_be16(a + 6, uint16_t((p.priority & 7u) << 13 | (p.cfi & 1u) << 12 | (p.vid & 0xFFFu)));
}

// A replacement address takes the flow's format, not the rule's, since it
// replaces an address of the packet the flow matched.
void put_replace_ip(uint8_t *dst, const kova_FLOW &flow, const kova_IPADDR &ip) {
    if (flow.eth_type == KOVA_ETH_TYPE_IPV6)
        key::put_ipv6(dst, ip);
    else
        __builtin_memcpy(dst, ip.v4, 4);
}

uint32_t mac_word(const uint8_t *m) {
    return uint32_t(m[0]) << 24 | uint32_t(m[1]) << 16 | uint32_t(m[2]) << 8 | m[3];
}

void encode_replace_src(uint8_t *a, const kova_FLOW &flow, const kova_RULE &r) {
    const auto &p = r.param.replace_src;
    const uint8_t *m = p.source_mac_addr;
    put_le16(a + 2, uint16_t(m[0] << 8 | m[1]));
    put_le32(a + 4, mac_word(m + 2));
    put_replace_ip(a + 8, flow, p.source_ip_addr);
    put_le16(a + 24, p.source_udp_port);
}

void encode_replace_dst(uint8_t *a, const kova_FLOW &flow, const kova_RULE &r) {
    const auto &p = r.param.replace_dst;
    const uint8_t *m = p.destination_mac_addr;
    put_le32(a + 4, mac_word(m));
    put_le16(a + 8, uint16_t(m[4] << 8 | m[5]));
    put_le16(a + 10, p.destination_udp_port);
    put_replace_ip(a + 12, flow, p.destination_ip_addr);
}

// Writes the parameters of an encodable rule; the code byte is the caller's.
void encode_params(uint8_t *a, const kova_FLOW &flow, const kova_RULE &r) {
    switch (r.type) {
    case RULE_FORWARD_TO_QE:
        encode_forward_qe(a, r);
        break;
    case RULE_FORWARD_TO_CPU:
        a[3] = r.param.forward_cpu.priority;
        break;
    case RULE_SET_TOS:
        a[3] = r.param.set_tos.tos;
        break;
    case RULE_ADD_VLAN_1:
    case RULE_CHANGE_VLAN_1:
    case RULE_ADD_VLAN_2:
    case RULE_CHANGE_VLAN_2:
        encode_vlan(a, r);
        break;
    case RULE_POLICING:
        put_le32(a + 4, r.param.policing.weight);
        break;
    case RULE_REPLACE_SRC_HEADER:
        encode_replace_src(a, flow, r);
        break;
    case RULE_REPLACE_DST_HEADER:
        encode_replace_dst(a, flow, r);
        break;
    default: // the code byte says it all
        break;
    }
}

bool too_many_rules(const kova_RULE *r) {
    uint32_t count = 0;
    for (; r; r = r->next)
        if (++count > KOVA_MAX_RULES)
            return true;
    return false;
}

// Encodes the list into the action area; *used is the bytes written so far.
// The room check includes the rule about to be written, so that nothing
// ever lands on the valid word the engine polls.
uint32_t write_actions(uint8_t *e, const kova_FLOW &flow, uint32_t *used) {
    for (const kova_RULE *r = flow.rules; r; r = r->next) {
        const ActionKind kind = kind_of(r->type);
        if (kind.refusal)
            return kind.refusal;
        if (*used + kind.size > kActionRoom)
            return KOVA_ERR_TOO_MANY_RULES;
        if (r->type == RULE_FORWARD_TO_QE &&
            r->param.forward_qe.qos_trusted != KOVA_PORT_UNTRUSTED &&
            r->param.forward_qe.qos_trusted != KOVA_PORT_TRUSTED) {
            plat_printk("kovaAPI: Unknown option for parameter qos_trusted\n");
            return KOVA_ERR_NOT_SUPPORTED;
        }
        uint8_t *a = e + KOVA_LUT_OFF_ACTIONS + *used;
        a[0] = uint8_t(r->type | (r->next ? 0u : KOVA_ACTION_LAST));
        encode_params(a, flow, *r);
        *used += kind.size;
    }
    return KOVA_OK;
}

} // namespace
} // namespace kv::entry

extern "C" {

uint32_t kovaAPIcreateVoipLutEntry(const kova_FLOW *flow, kova_LUT *entry, int32_t *length,
                                   uint32_t state_word) {
    using namespace kv::entry;
    if (!flow || !entry || !length || *length < int32_t(KOVA_LUT_SIZE))
        return KOVA_ERR_INVALID;
    uint8_t *e = reinterpret_cast<uint8_t *>(entry);
    *length = 0;
    __builtin_memset(e, 0, 8);
    kv::bytes::put_le32(e + KOVA_LUT_OFF_FLOW_STATE, state_word);
    write_key(e, *flow);
    if (!flow->rules)
        return KOVA_ERR_NO_RULES;
    if (too_many_rules(flow->rules))
        return KOVA_ERR_TOO_MANY_RULES;
    uint32_t used = 0;
    const uint32_t rc = write_actions(e, *flow, &used);
    if (rc != KOVA_OK)
        return rc;
    *length = int32_t(KOVA_LUT_OFF_ACTIONS + used);
    return KOVA_OK;
}

uint32_t kovaAPIcalculateLutEntryOffset(const kova_LUT *entry) {
    const uint8_t *e = reinterpret_cast<const uint8_t *>(entry);
    return (kv::bytes::get_le32(e + KOVA_LUT_OFF_CRC32) >> KOVA_LUT_BUCKET_SHIFT) * KOVA_LUT_SIZE;
}

} // extern "C"
