// "create_flows": an operator writes a flow definition, the module creates
// the flow, and a read shows the result with a usage text. Each open file
// keeps its own text, so writers on different opens cannot mix their
// definitions; threads writing through one open file (pwrite takes no
// position lock) take turns on its mutex. "create_flows_old" creates one
// fixed test flow per write.
#include "lib/text.h"
#include "operator/debug_files.h"
#include "operator/flow_lang.h"
#include "operator/user_text.h"

namespace {

constexpr size_t kTextMax = 4095; // written text, NUL not counted
constexpr size_t kUsageCap = 2048;

struct CreateFlowOpen {
    // Held for each whole call: the space check, the append and the parse of
    // a write, and the composing of a read, all on the fields below.
    kova_mutex *lock;
    char text[kTextMax + 1];
    size_t len;
    kv::lang::Definition def;
    char usage[kUsageCap];
};

CreateFlowOpen *open_state(struct plat_file *file) {
    return static_cast<CreateFlowOpen *>(*plat_file_private(file));
}

// One token per line; the rules apart by empty lines. Pasted back it creates
// its flow: six rules at most, every value in range, and crc32 the CRC of
// the flow's key, so the engine finds the flow.
const char *const kUsageExample =
    "echo \"flow_id=1 \ncrc32=0xccf62423 \nflow_ucc=2 \nflow_subport=0 "
    "\neth_dmac=02:00:00:4f:03:e8 \n"
    "eth_smac=02:00:01:00:00:10 \nvlan_id_1=3999 \nvlan_id_2=3988 \neth_type=0x800 \n"
    "ipv4_src=192.168.32.102 \nipv4_dst=192.168.39.102 \nudp_sport=0 \nudp_dport=5 \n"
    "rule1=RULE_CHANGE_VLAN_1 \npriority=5 \ncfi=0 \nvid=33 \netype=33024 \n\n"
    "rule2=RULE_REPLACE_SRC_HEADER \nsource_mac_addr=aa:dd:cc:dd:ee:ff "
    "\nsource_ip_addr=192.168.1.56 \n"
    "source_udp_port=56 \n\n"
    "rule3=RULE_REPLACE_DST_HEADER \ndestination_mac_addr=aa:dd:cc:dd:ee:ee \n"
    "destination_ip_addr=192.168.1.147 \ndestination_udp_port=586 \n\n"
    "rule4=RULE_SET_TOS \ntos=12 \n\n"
    "rule5=RULE_POLICING \nweight=99 \n\n"
    "rule6=RULE_FORWARD_TO_QE \nqos_serviceclass=7 \nqos_trusted=KOVA_PORT_UNTRUSTED \nsubport=4 \n"
    "priority=3 \nport=9 \n"
    ";\" > /sys/kernel/debug/kova/create_flows\n";

size_t compose_usage(char *buf, size_t cap) {
    kv::Text t(buf, cap);
    t.add("Previous call of kovaAPIcreateVoipFlow=%d\n\n\n",
          __atomic_load_n(&create_flow_return_code, __ATOMIC_RELAXED));
    t.add("Argument example to create flow (all posible parameters below, order of rules is not "
          "important (at least one rule is mandatory),but order of rule arguments must be the same "
          "as in example):\n\n");
    t.add("%s", kUsageExample);
    t.add("\nTo create extended flow, just add parent_flow_id=id_num as first parameter\n");
    return t.length();
}

// Parses the complete definition held by the open file and creates its flow.
long parse_and_create(CreateFlowOpen *st) {
    kv::lang::Definition &d = st->def;
    if (const int r = kv::lang::parse_definition(st->text, &d))
        return r;
    uint32_t result;
    if (d.extended) {
        result = kovaAPIcreateExtendedFlow(&d.flow, uint64_t(int64_t(d.parent_flow_id)),
                                           uint64_t(int64_t(d.flow_id)));
        plat_printk("kovaAPIcreateExtendedFlow =%d\n", int32_t(result));
    } else {
        result = kovaAPIcreateVoipFlow(&d.flow, uint64_t(int64_t(d.flow_id)));
        plat_printk("kovaAPIcreateVoipFlow =%d\n", int32_t(result));
    }
    // Writers on other opens store theirs at the same time: one whole word.
    __atomic_store_n(&create_flow_return_code, int32_t(result), __ATOMIC_RELAXED);
    return 0;
}

// Text accumulates until a write brings a ';'; that write parses the whole
// definition, and the open file starts a new one, whatever the outcome.
long append_and_parse(CreateFlowOpen *st, const char *buf, size_t count, int64_t *pos) {
    plat_mutex_assert_held(st->lock);
    if (count > kTextMax - st->len) {
        plat_printk("Error: Allocating more than kernel buffer size");
        return kv::files::kEFBIG;
    }
    if (plat_copy_from_user(st->text + st->len, buf, count) != 0) {
        st->text[st->len] = '\0';
        return kv::files::kEFAULT;
    }
    st->len += count;
    st->text[st->len] = '\0';
    *pos += int64_t(count);
    if (!__builtin_strchr(st->text, ';'))
        return long(count);
    const long r = parse_and_create(st);
    st->len = 0;
    st->text[0] = '\0';
    return r < 0 ? r : long(count);
}

} // namespace

extern "C" {

int32_t create_flow_return_code = 99;

int create_flow_open(struct plat_inode *, struct plat_file *file) {
    auto *st = static_cast<CreateFlowOpen *>(plat_kmalloc(sizeof(CreateFlowOpen)));
    kova_mutex *lock = st ? plat_mutex_alloc() : nullptr;
    if (!lock) {
        plat_kfree(st);
        return kv::files::kENOMEM;
    }
    st->lock = lock;
    st->len = 0;
    st->text[0] = '\0';
    *plat_file_private(file) = st;
    return 0;
}

int create_flow_release(struct plat_inode *, struct plat_file *file) {
    CreateFlowOpen *st = open_state(file);
    // Text without its ';' is never parsed: say so rather than lose it
    // silently. Separators alone are no definition.
    for (size_t i = 0; i < st->len; ++i)
        if (st->text[i] != ' ' && st->text[i] != '\n') {
            plat_printk("create_flows: definition without ';' discarded at close\n");
            break;
        }
    plat_mutex_free(st->lock);
    plat_kfree(st);
    *plat_file_private(file) = nullptr;
    return 0;
}

long create_flow_read(struct plat_file *file, char *buf, size_t count, int64_t *pos) {
    CreateFlowOpen *st = open_state(file);
    plat_might_sleep();
    plat_mutex_lock(st->lock);
    const size_t len = compose_usage(st->usage, sizeof st->usage);
    const long r = kv::files::read_text(st->usage, len, buf, count, pos);
    plat_mutex_unlock(st->lock);
    return r;
}

long create_flow_write(struct plat_file *file, const char *buf, size_t count, int64_t *pos) {
    CreateFlowOpen *st = open_state(file);
    plat_might_sleep();
    plat_mutex_lock(st->lock);
    const long r = append_and_parse(st, buf, count, pos);
    plat_mutex_unlock(st->lock);
    return r;
}

long create_flow_old_write(struct plat_file *, const char *, size_t count, int64_t *) {
    kovaapi_create_test_flows();
    return long(count);
}

int kovaapi_create_test_flows(void) {
    kovaAPIsetLKUPMask(0, 0, 0xFF);
    kova_RULE rules[4] = {};
    rules[0].type = RULE_UPDATE_PACKET_CNT;
    rules[0].next = &rules[1];
    rules[1].type = RULE_ADD_VLAN_2;
    rules[1].param.vlan = {7, 1, 3998, 0x8100};
    rules[1].next = &rules[2];
    rules[2].type = RULE_REMOVE_VLAN_2;
    rules[2].next = &rules[3];
    rules[3].type = RULE_FORWARD_TO_QE;
    auto &qe = rules[3].param.forward_qe;
    qe.port = 12;
    qe.priority = 3;
    qe.subport = 289;
    qe.qos_serviceclass = 2;
    qe.qos_trusted = KOVA_PORT_UNTRUSTED;
    qe.action_byte7 = 4;

    kova_FLOW flow = {};
    flow.crc32 = 0x930481C1u;
    const uint8_t dmac[6] = {0x02, 0x00, 0x01, 0x00, 0x10, 0x01};
    const uint8_t smac[6] = {0x02, 0x00, 0x01, 0x00, 0x00, 0x10};
    __builtin_memcpy(flow.eth_dmac, dmac, 6);
    __builtin_memcpy(flow.eth_smac, smac, 6);
    flow.vlan_id_1 = 700;
    flow.eth_type = KOVA_ETH_TYPE_IPV4;
    const uint8_t src[4] = {192, 168, 32, 102}, dst[4] = {192, 168, 39, 102};
    __builtin_memcpy(flow.ip_src.v4, src, 4);
    __builtin_memcpy(flow.ip_dst.v4, dst, 4);
    flow.udp_sport = 1;
    flow.udp_dport = 2;
    flow.rules = rules;
    plat_printk("kovaAPIcreateVoipFlow =%d\n", int32_t(kovaAPIcreateVoipFlow(&flow, 1)));
    return 0;
}

} // extern "C"
