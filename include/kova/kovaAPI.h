/*
 * kovaAPI: the interface the module exports to other kernel modules (our
 * tools call it too). Every function has C linkage and the exact argument
 * widths callers were built against. Results are unsigned codes (KOVA_*).
 * Entry points that only the module itself may call are in
 * src/kova_internal.h.
 */
#ifndef KOVA_API_H
#define KOVA_API_H

#ifdef __KERNEL__
#include <linux/types.h>
#else
#include <stdint.h>
#include <stddef.h>
#endif

#include "kova_shm.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes ------------------------------------------------------ */

#define KOVA_OK 0u
#define KOVA_ERR_NO_RULES 1u
#define KOVA_ERR_UNKNOWN_RULE 2u
#define KOVA_ERR_NOT_SUPPORTED 3u
#define KOVA_ERR_TOO_MANY_RULES 4u
#define KOVA_ERR_NO_MEMORY 6u
#define KOVA_ERR_INVALID 7u
#define KOVA_ERR_TABLE_FULL 8u
#define KOVA_ERR_INTERNAL 9u
#define KOVA_ERR_TOO_MANY_EXTENDED 12u
#define KOVA_ERR_NOT_INITIALIZED 17u

#define KOVA_APP_FLOWS 32768u /* appflowid 0..32767 */
#define KOVA_MAX_RULES 6u

/* ---- Rule types -------------------------------------------------------- */

#define RULE_DROP_PACKET 0u
#define RULE_FORWARD_TO_QE 1u
#define RULE_FORWARD_TO_CPU 2u
#define RULE_ADD_VLAN_1 3u
#define RULE_REMOVE_VLAN_1 4u
#define RULE_CHANGE_VLAN_1 5u
#define RULE_SECOND_CLASSIFY 6u
#define RULE_POLICING 7u
#define RULE_REPLACE_SRC_HEADER 8u
#define RULE_REPLACE_DST_HEADER 9u
#define RULE_UPDATE_TIMESTAMP 12u
#define RULE_UPDATE_PACKET_CNT 13u
#define RULE_ADD_VLAN_2 14u
#define RULE_REMOVE_VLAN_2 15u
#define RULE_CHANGE_VLAN_2 16u
#define RULE_SET_TOS 17u
#define RULE_TEST 18u

#define KOVA_PORT_UNTRUSTED 0u
#define KOVA_PORT_TRUSTED 1u

#define KOVA_ETH_TYPE_IPV4 0x0800u
#define KOVA_ETH_TYPE_ARP 0x0806u
#define KOVA_ETH_TYPE_IPV6 0x86DDu

/*
 * An IP address as callers hand it in. IPv4: v4[0..3] = a.b.c.d in network
 * order, the rest unused. IPv6: eight 16-bit groups in CPU order, group 0
 * (the most significant) first.
 */
typedef union kova_IPADDR {
	uint8_t v4[16];
	uint16_t v6[8];
} kova_IPADDR;

/* ---- Action list ------------------------------------------------------- */

typedef struct kova_RULE {
	struct kova_RULE *next; /* null after the last rule */
	uint32_t type;          /* RULE_* */
	union {
		struct {
			uint8_t port;
			uint8_t priority;
			uint16_t subport;
			uint8_t qos_serviceclass;
			uint8_t reserved[3];
			uint32_t qos_trusted; /* KOVA_PORT_UNTRUSTED or KOVA_PORT_TRUSTED */
			uint8_t action_byte7;
		} forward_qe;
		struct {
			uint8_t priority;
		} forward_cpu;
		struct { /* add/change VLAN 1 and 2 */
			uint8_t priority;
			uint8_t cfi;
			uint16_t vid;
			uint16_t etype; /* tag protocol identifier */
		} vlan;
		struct {
			uint32_t weight;
		} policing;
		struct {
			uint8_t source_mac_addr[6];
			uint8_t reserved[2];
			kova_IPADDR source_ip_addr;
			uint16_t source_udp_port;
		} replace_src;
		struct {
			uint8_t destination_mac_addr[6];
			uint8_t reserved[2];
			kova_IPADDR destination_ip_addr;
			uint16_t destination_udp_port;
		} replace_dst;
		struct {
			uint8_t tos;
		} set_tos;
	} param;
} kova_RULE;

/* ---- Flow description -------------------------------------------------- */

typedef struct kova_FLOW {
	uint32_t crc32;        /* CRC32 of the flow key; crc32 >> 18 is the bucket */
	uint16_t flow_ucc;     /* ingress UCC 0..40 (36..39: link-aggregation groups) */
	uint16_t flow_subport; /* carried, not placed in the entry */
	uint8_t eth_dmac[6];
	uint8_t eth_smac[6];
	uint16_t vlan_id_1;
	uint16_t vlan_id_2;
	uint16_t eth_type;
	uint8_t reserved[2];
	kova_IPADDR ip_src;
	kova_IPADDR ip_dst;
	uint16_t udp_sport;
	uint16_t udp_dport;
	kova_RULE *rules;
} kova_FLOW;

/* ---- Flow-table store -------------------------------------------------- */

uint32_t kovaAPIInit(void);
uint32_t kovaAPIReInitKovaFlowTable(void);

/* ---- Flow creation ----------------------------------------------------- */

uint32_t kovaAPIcreateVoipFlow(const kova_FLOW *flow, uint64_t appflowid);

/* The caller computes a flow's crc32 over the key the engine hashes: the
 * reflected CRC-32 register advanced over count bytes (no initial value or
 * final inversion of its own), and the usual CRC-32 (IEEE 802.3) of a
 * buffer, PartialCRC(0xFFFFFFFF, data, count) ^ 0xFFFFFFFF. Pure functions,
 * callable from any context. */
uint32_t PartialCRC(uint32_t crc, const void *data, uint32_t count);
uint32_t kova_crc32(const void *data, uint32_t count);

/* ---- Flow deletion ---------------------------------------------------- */

/* stats, when given, receives packet_cnt, stats_word2 and timestamp of the
 * flow's engine entry from before the deletion. with_extended == 1 selects
 * detach mode (the flow's extended flows are cut off, not refused). */
uint32_t kovaAPIdeleteVoipFlow(uint32_t appflowid);
uint32_t kovaAPIdeleteVoipFlowWithStats(uint32_t appflowid, uint32_t *stats);
uint32_t kovaAPIdeleteFlow2(uint32_t appflowid, uint32_t with_extended);

/* ---- Extended flows ---------------------------------------------------- */

uint32_t kovaAPIcreateExtendedFlow(const kova_FLOW *flow, uint64_t parent_appflowid,
				   uint64_t appflowid);
uint32_t kovaAPIdeleteExtendedFlow(uint32_t appflowid);
uint32_t kovaAPIdeleteFlowWithExtended(uint32_t appflowid);
uint32_t kovaAPIdeleteFlowWithExtendedWithStats(uint32_t appflowid, uint32_t *stats);

/* ---- Flow queries ------------------------------------------------------ */

uint32_t kovaAPIgetFlowPacketCounter(int32_t appflowid, uint64_t *counter);
uint32_t kovaAPIgetFlowStatistics(int32_t appflowid, uint32_t *stats);
uint32_t kovaAPIgetFlowTimeStamp(int32_t appflowid, uint64_t *timestamp);
uint32_t kovaAPIcheckFlowExists(uint64_t crc, uint64_t start);

/* ---- Flow-table dumps -------------------------------------------------- */

/*
 * A caller's buffer for a dump's text. The dump appends at buf + len, keeps
 * the text NUL-terminated, advances len and never writes at or past
 * buf + size. A dump that does not fit stops after its last whole line,
 * ends the text with KOVA_DUMP_CUT_LINE (room for it is kept back) and sets
 * cut; a buffer too small for even that line is left holding an empty text.
 */
typedef struct kova_DUMP_BUF {
	char *buf;
	size_t size; /* bytes at buf, the terminating NUL included */
	size_t len;  /* length of the text so far; 0 for a new dump */
	uint32_t cut; /* set by a dump that did not fit */
} kova_DUMP_BUF;

#define KOVA_DUMP_CUT_LINE "... dump cut: buffer full, later entries and counts missing\n"

/* One line per entry, then the counts. With a null out everything goes to
 * the kernel log, line by line; with verbose 0 only the counts are given. */
uint32_t kovaAPIDumpFlowsCPU(uint8_t verbose);
uint32_t kovaAPIDumpFlowsCPU2(uint8_t verbose, kova_DUMP_BUF *out);
uint32_t kovaAPIDumpFlowsQE(uint8_t verbose);
uint32_t kovaAPIDumpFlowsQE2(uint8_t verbose, kova_DUMP_BUF *out);
/* Kept for callers built against them: they print nothing. */
uint32_t kovaAPIDumpOQ(void *out);
uint32_t kovaAPIDumpScheduler(void *out);

/* ---- Port and protocol parameters ------------------------------------ */

/* "4.6.360", in every state. */
const char *kovaAPIGetAPIVersion(void);
/* The attached engine's version text (empty before an attach); the pointer
 * is the control block's own and stays the same. */
const char *kovaAPIGetMicrocodeVersion(void);
uint32_t kovaAPIGetCounterAFFull(void);
/* One lookup-mask byte: of (uccnum 4..35, id 1..4095), else of the UCC.
 * 7 for a UCC outside 0..35 or an id outside 0..4095; before an engine has
 * attached only the CPU copy changes. */
uint32_t kovaAPIsetLKUPMask(int32_t uccnum, int32_t id, uint8_t mask);

/* Accepted and without effect on this system. */
uint32_t kovaAPISetOuterVlanEthType(uint16_t ethtype);
uint32_t kovaAPISetInnerVlanEthType(uint16_t ethtype);
uint32_t kovaAPISetOQParameters(int32_t uccnum, uint16_t param1, uint16_t param2);
uint64_t kovaAPIGetOQOccupation(int32_t uccnum, int32_t oq, int32_t class_);
uint32_t kovaAPISetPortTrustMode(int32_t uccnum, uint32_t mode);
uint32_t kovaAPISetPortShaping(int32_t uccnum, int32_t port, uint64_t rate, uint64_t burst);
uint32_t kovaAPISetOQPriority(int32_t uccnum, int32_t oq, int32_t class_, int32_t queue,
			      uint8_t priority);
uint32_t kovaAPISetOQPriority2(int32_t uccnum, int32_t oq, int32_t class_, int32_t queue,
			       uint8_t priority, int32_t weight);
uint32_t kovaAPISetAFDstMAC(const uint8_t *mac);
uint32_t kovaAPIAddAFProtocol(int32_t uccnum, int32_t subport, int32_t protocol, int32_t action,
			      int32_t rate, const void *match);
uint32_t kovaAPIDeleteAFProtocol(int32_t uccnum, int32_t subport, int32_t protocol, int32_t action,
				 int32_t rate);
uint32_t kovaAPISetAFProtocolRate(int32_t uccnum, int32_t subport, int32_t protocol, int32_t action,
				  int32_t rate);
uint32_t kovaAPIGetAFProtocolStatistics(int32_t uccnum, int32_t subport, int32_t protocol,
					void *stats);
uint32_t kovaAPIClearAFProtocolStatistics(int32_t uccnum, int32_t subport, int32_t protocol);

/* Ring-protection continuity checks: not supported, always 3. */
uint32_t kovaAPIErpsCcmEnable(int32_t uccnum, int32_t subport, const void *pdu, uint32_t pdu_len,
			      uint32_t interval, uint64_t tx_param, uint64_t rx_param,
			      uint32_t flags);
uint32_t kovaAPIErpsCcmDisable(int32_t uccnum, int32_t subport);
uint32_t kovaAPIErpsCcmGetStats(int32_t uccnum, int32_t subport, void *stats);
uint32_t kovaAPIErpsCcmClearStats(int32_t uccnum, int32_t subport);

/* Receive pause hooks: nothing to pause on this system. */
void dpaa_kova_pause_linux_rx(void);
void dpaa_kova_resume_linux_rx(void);

/* ---- Storm control, shaping and policing ------------------------------ */

/*
 * Rates in bits per second, bursts in bytes (storm control: burst in
 * microseconds). Results: 0; 7 for a bad argument or a peak rate below the
 * committed rate; 17 for a UCC that is not ready, an area that exists only
 * once an engine has attached, or a storm-control port number above 4095.
 * A refused call writes nothing.
 */
uint32_t kovaAPISetStormControlCfg(int32_t uccnum, int32_t portnum, uint32_t burst, uint32_t rate_a,
				   uint32_t rate_b);
uint32_t kovaAPISetOQShapingWithCDR(int32_t uccnum, int32_t oq, int32_t class_, uint64_t cdr,
				    uint64_t cbs, uint64_t pdr, uint64_t pbs,
				    uint8_t committed_marker);
uint32_t kovaAPISetOQShaping(int32_t uccnum, int32_t oq, int32_t class_, uint64_t rate,
			     uint64_t burst);
uint32_t kovaAPISetOQONUShapingWithCDR(int32_t uccnum, int32_t onu, int32_t oq, uint64_t cdr,
				       uint64_t cbs, uint64_t pdr, uint64_t pbs);
uint32_t kovaAPISetICPolicing(int32_t uccnum, int32_t ic, int32_t class_, uint64_t cir,
			      uint64_t cbs, uint64_t pir, uint64_t pbs);
uint32_t kovaAPISetICONUPolicing(int32_t uccnum, int32_t onu, int32_t ic, uint64_t cir,
				 uint64_t cbs, uint64_t pir, uint64_t pbs);

/* ---- Link aggregation -------------------------------------------------- */

#define KOVA_MAX_LAGS 4u /* lagnum 0..3; port numbers 36..39 name them */

/*
 * The member sets handed to the network-interface module that owns "kova0"
 * (its kova_kni_lag_intf_cfg). Shared with that module: element i is LAG i's
 * configured-and-up members as a sign-extended 32-bit mask, 0 for a
 * disabled LAG.
 */
typedef struct kova_LAG_CFG {
	int64_t lag_members[KOVA_MAX_LAGS];
} kova_LAG_CFG;

uint32_t kovaAPISetLAG(int32_t lagnum, uint32_t lagmode, uint32_t lagportmask);
uint32_t kovaAPISetLAGPortUP(uint32_t uccnum);
uint32_t kovaAPISetLAGPortDOWN(uint32_t uccnum);

/* ---- Port statistics --------------------------------------------------- */

#define KOVA_STATS_SUBPORTS 4096u /* subport 0..4095 */

/* Interface statistics of a port, a subport or a LAG (native byte order). */
typedef struct kova_PORT_STATS {
	uint32_t rx_discards;
	uint32_t rx_errors;
	uint32_t rx_fcs_errors;
	uint32_t rx_extra[2];
	uint32_t reserved0; /* always 0 */
	uint64_t rx_octets;
	uint64_t rx_packets;
	uint64_t rx_ucast;
	uint64_t rx_mcast;
	uint64_t rx_bcast;
	uint32_t engine_count_a[6];
	uint32_t tx_discards;
	uint32_t tx_errors;
	uint64_t tx_octets;
	uint64_t tx_ucast;
	uint64_t tx_mcast;
	uint64_t tx_bcast;
	uint32_t engine_count_b[7];
	uint8_t reserved1[100]; /* always 0 */
} kova_PORT_STATS;

/* uccnum 0..35 is one UCC, 36..39 LAG 0..3. */
uint32_t kovaAPIGetPortStatistics(int32_t uccnum, int32_t subport, kova_PORT_STATS *stats);
uint32_t kovaAPIGetPortTraffic(int32_t uccnum, uint64_t arg);
uint32_t kovaAPIClearPortStatistics(int32_t uccnum, int32_t subport);

/* ---- The table lock ---------------------------------------------------- */

/*
 * Serialises every change of the flow table. Exported so that a caller that
 * needs a stable view (several queries in a row) can hold it.
 */
#ifdef __KERNEL__
extern struct mutex kovaAPI_lock;
#else
struct kova_mutex;
extern struct kova_mutex kovaAPI_lock;
#endif

#ifdef __cplusplus
} /* extern "C" */
#endif

#if defined(__cplusplus)
#define KOVA_API_ASSERT(c, m) static_assert(c, m)
#else
#define KOVA_API_ASSERT(c, m) _Static_assert(c, m)
#endif

/* Kernel callers were built against these layouts. */
KOVA_API_ASSERT(sizeof(kova_IPADDR) == 16, "address is 16 bytes");
KOVA_API_ASSERT(offsetof(kova_FLOW, crc32) == 0, "crc32");
KOVA_API_ASSERT(offsetof(kova_FLOW, flow_ucc) == 4, "flow_ucc");
KOVA_API_ASSERT(offsetof(kova_FLOW, flow_subport) == 6, "flow_subport");
KOVA_API_ASSERT(offsetof(kova_FLOW, eth_dmac) == 8, "eth_dmac");
KOVA_API_ASSERT(offsetof(kova_FLOW, eth_smac) == 14, "eth_smac");
KOVA_API_ASSERT(offsetof(kova_FLOW, vlan_id_1) == 20, "vlan_id_1");
KOVA_API_ASSERT(offsetof(kova_FLOW, vlan_id_2) == 22, "vlan_id_2");
KOVA_API_ASSERT(offsetof(kova_FLOW, eth_type) == 24, "eth_type");
KOVA_API_ASSERT(offsetof(kova_FLOW, ip_src) == 28, "ip_src");
KOVA_API_ASSERT(offsetof(kova_FLOW, ip_dst) == 44, "ip_dst");
KOVA_API_ASSERT(offsetof(kova_FLOW, udp_sport) == 60, "udp_sport");
KOVA_API_ASSERT(offsetof(kova_FLOW, udp_dport) == 62, "udp_dport");
KOVA_API_ASSERT(offsetof(kova_FLOW, rules) == 64, "rules");
KOVA_API_ASSERT(offsetof(kova_RULE, next) == 0, "next");
KOVA_API_ASSERT(offsetof(kova_RULE, type) == 8, "type");
KOVA_API_ASSERT(offsetof(kova_RULE, param.forward_qe.port) == 12, "port");
KOVA_API_ASSERT(offsetof(kova_RULE, param.forward_qe.priority) == 13, "priority");
KOVA_API_ASSERT(offsetof(kova_RULE, param.forward_qe.subport) == 14, "subport");
KOVA_API_ASSERT(offsetof(kova_RULE, param.forward_qe.qos_serviceclass) == 16, "serviceclass");
KOVA_API_ASSERT(offsetof(kova_RULE, param.forward_qe.qos_trusted) == 20, "qos_trusted");
KOVA_API_ASSERT(offsetof(kova_RULE, param.forward_qe.action_byte7) == 24, "action_byte7");
KOVA_API_ASSERT(offsetof(kova_RULE, param.forward_cpu.priority) == 12, "cpu priority");
KOVA_API_ASSERT(offsetof(kova_RULE, param.vlan.priority) == 12, "vlan priority");
KOVA_API_ASSERT(offsetof(kova_RULE, param.vlan.cfi) == 13, "cfi");
KOVA_API_ASSERT(offsetof(kova_RULE, param.vlan.vid) == 14, "vid");
KOVA_API_ASSERT(offsetof(kova_RULE, param.vlan.etype) == 16, "etype");
KOVA_API_ASSERT(offsetof(kova_RULE, param.policing.weight) == 12, "weight");
KOVA_API_ASSERT(offsetof(kova_RULE, param.replace_src.source_mac_addr) == 12, "src mac");
KOVA_API_ASSERT(offsetof(kova_RULE, param.replace_src.source_ip_addr) == 20, "src ip");
KOVA_API_ASSERT(offsetof(kova_RULE, param.replace_src.source_udp_port) == 36, "src port");
KOVA_API_ASSERT(offsetof(kova_RULE, param.replace_dst.destination_mac_addr) == 12, "dst mac");
KOVA_API_ASSERT(offsetof(kova_RULE, param.replace_dst.destination_ip_addr) == 20, "dst ip");
KOVA_API_ASSERT(offsetof(kova_RULE, param.replace_dst.destination_udp_port) == 36, "dst port");
KOVA_API_ASSERT(offsetof(kova_RULE, param.set_tos.tos) == 12, "tos");
KOVA_API_ASSERT(sizeof(kova_LAG_CFG) == 32, "LAG configuration is four 64-bit words");
KOVA_API_ASSERT(offsetof(kova_LAG_CFG, lag_members[0]) == 0, "LAG 0");
KOVA_API_ASSERT(offsetof(kova_LAG_CFG, lag_members[1]) == 8, "LAG 1");
KOVA_API_ASSERT(offsetof(kova_LAG_CFG, lag_members[2]) == 16, "LAG 2");
KOVA_API_ASSERT(offsetof(kova_LAG_CFG, lag_members[3]) == 24, "LAG 3");
KOVA_API_ASSERT(sizeof(kova_PORT_STATS) == 256, "statistics structure is 256 bytes");
KOVA_API_ASSERT(offsetof(kova_PORT_STATS, rx_discards) == 0, "rx_discards");
KOVA_API_ASSERT(offsetof(kova_PORT_STATS, rx_errors) == 4, "rx_errors");
KOVA_API_ASSERT(offsetof(kova_PORT_STATS, rx_fcs_errors) == 8, "rx_fcs_errors");
KOVA_API_ASSERT(offsetof(kova_PORT_STATS, rx_extra) == 12, "rx_extra");
KOVA_API_ASSERT(offsetof(kova_PORT_STATS, reserved0) == 20, "reserved0");
KOVA_API_ASSERT(offsetof(kova_PORT_STATS, rx_octets) == 24, "rx_octets");
KOVA_API_ASSERT(offsetof(kova_PORT_STATS, rx_packets) == 32, "rx_packets");
KOVA_API_ASSERT(offsetof(kova_PORT_STATS, rx_ucast) == 40, "rx_ucast");
KOVA_API_ASSERT(offsetof(kova_PORT_STATS, rx_mcast) == 48, "rx_mcast");
KOVA_API_ASSERT(offsetof(kova_PORT_STATS, rx_bcast) == 56, "rx_bcast");
KOVA_API_ASSERT(offsetof(kova_PORT_STATS, engine_count_a) == 64, "engine_count_a");
KOVA_API_ASSERT(offsetof(kova_PORT_STATS, tx_discards) == 88, "tx_discards");
KOVA_API_ASSERT(offsetof(kova_PORT_STATS, tx_errors) == 92, "tx_errors");
KOVA_API_ASSERT(offsetof(kova_PORT_STATS, tx_octets) == 96, "tx_octets");
KOVA_API_ASSERT(offsetof(kova_PORT_STATS, tx_ucast) == 104, "tx_ucast");
KOVA_API_ASSERT(offsetof(kova_PORT_STATS, tx_mcast) == 112, "tx_mcast");
KOVA_API_ASSERT(offsetof(kova_PORT_STATS, tx_bcast) == 120, "tx_bcast");
KOVA_API_ASSERT(offsetof(kova_PORT_STATS, engine_count_b) == 128, "engine_count_b");
KOVA_API_ASSERT(offsetof(kova_PORT_STATS, reserved1) == 156, "reserved1");

#endif /* KOVA_API_H */
