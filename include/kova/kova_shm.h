/*
 * Formats shared with the data-plane engine. The engine reads these bytes
 * without any lock of ours, so every size and offset here is part of the
 * contract and is pinned by static assertions. All words are little-endian
 * unless a comment says otherwise; code reads and writes them through the
 * explicit byte-order helpers, never through the structs' host layout.
 */
#ifndef KOVA_SHM_H
#define KOVA_SHM_H

#ifdef __KERNEL__
#include <linux/types.h>
#else
#include <stdint.h>
#include <stddef.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Flow table -------------------------------------------------------- */

#define KOVA_LUT_SIZE 256u
#define KOVA_LUT_ENTRIES 32768u
#define KOVA_LUT_HEADS 16384u          /* slots 0..16383 are bucket heads */
#define KOVA_LUT_OVERFLOW_FIRST 16384u /* slots 16384..32767 chain behind them */
#define KOVA_LUT_TABLE_BYTES (KOVA_LUT_SIZE * KOVA_LUT_ENTRIES)
#define KOVA_LUT_BUCKET_SHIFT 18u /* bucket head slot = crc32 >> 18 */

/* Byte offsets inside one 256-byte entry. */
#define KOVA_LUT_OFF_PORT 0u         /* u32 port word, 36..40 stored as 31..27 */
#define KOVA_LUT_OFF_ETH_DMAC 4u     /* 6 bytes, transmission order */
#define KOVA_LUT_OFF_ETH_SMAC 10u    /* 6 bytes, transmission order */
#define KOVA_LUT_OFF_VLAN1 16u       /* vlan_id_1 as big-endian u32 */
#define KOVA_LUT_OFF_VLAN2 20u       /* vlan_id_2 as big-endian u32 */
#define KOVA_LUT_OFF_ETH_TYPE 24u    /* high byte, low byte, 0, 0 */
#define KOVA_LUT_OFF_IP_SRC 28u      /* 16 bytes, format chosen by eth_type */
#define KOVA_LUT_OFF_IP_DST 44u      /* 16 bytes */
#define KOVA_LUT_OFF_PORTS 60u       /* transport ports, format chosen by eth_type */
#define KOVA_LUT_OFF_CRC32 64u       /* u32 */
#define KOVA_LUT_OFF_FLOW_CNT 68u    /* u32 */
#define KOVA_LUT_OFF_NEXT_CRC12 72u  /* u64 link: next entry with another CRC32 */
#define KOVA_LUT_OFF_NEXT_CRC32 80u  /* u64 link: next entry with the same CRC32 */
#define KOVA_LUT_OFF_NEXT_EXT 88u    /* u64 link: extended flow */
#define KOVA_LUT_OFF_FLOW_STATE 100u /* u32: 0, 0x1000000 or 0x3000000 */
#define KOVA_LUT_OFF_PACKET_CNT 104u /* u32, kept by the engine */
#define KOVA_LUT_OFF_STATS_WORD2 108u /* u32, kept by the engine */
#define KOVA_LUT_OFF_TIMESTAMP 112u  /* u32, kept by the engine */
#define KOVA_LUT_OFF_ACTIONS 116u    /* encoded rules, up to byte 251 */
#define KOVA_LUT_ACTIONS_END 252u
#define KOVA_LUT_OFF_VALID 252u      /* u32: 0 free/being written, 1 live, 2 in transition */

#define KOVA_LUT_VALID_OFF 0u
#define KOVA_LUT_VALID_LIVE 1u
#define KOVA_LUT_VALID_DETACHED 2u

/* Flow-state words at KOVA_LUT_OFF_FLOW_STATE; byte 103 holds the state. */
#define KOVA_FLOW_STATE_WORD(state) ((uint32_t)(state) << 24)

/* In the action code byte of the last rule. */
#define KOVA_ACTION_LAST 0x80u

/*
 * One table entry as the engine sees it. Documentation and engine-side
 * convenience only: the module writes entries byte by byte at the offsets
 * above so that host struct layout never leaks into the shared format.
 */
typedef struct kova_LUT {
	uint32_t port;
	uint8_t eth_dmac[6];
	uint8_t eth_smac[6];
	uint8_t vlan1[4];
	uint8_t vlan2[4];
	uint8_t eth_type[4];
	uint8_t ip_src[16];
	uint8_t ip_dst[16];
	uint8_t ports[4];
	uint32_t crc32;
	uint32_t flow_cnt;
	uint64_t next_crc12;
	uint64_t next_crc32;
	uint64_t next_ext;
	uint32_t reserved;
	uint32_t flow_state;
	uint32_t packet_cnt;
	uint32_t stats_word2;
	uint32_t timestamp;
	uint8_t actions[KOVA_LUT_ACTIONS_END - KOVA_LUT_OFF_ACTIONS];
	uint32_t valid;
} kova_LUT;

/* ---- Engine shared area (kova_shm) map --------------------------------- */

#define KOVA_SHM_TABLE 0x0000000u
#define KOVA_SHM_LKUP_MASK_PORT 0x0800000u
#define KOVA_SHM_LKUP_MASK_VLAN 0x0800040u
#define KOVA_SHM_CNT 0x0820040u
#define KOVA_SHM_OQ 0x1FE0040u
#define KOVA_SHM_ONUOQ 0x4E20040u
#define KOVA_SHM_IC 0x4E98040u
#define KOVA_SHM_ONUIC 0x6D38040u
#define KOVA_SHM_STORM 0x6DB0040u
#define KOVA_SHM_SIZE 0x7170040u /* the engine's area must be at least this long */

/* Per-UCC areas inside the shared area (u = UCC number). */
#define KOVA_SHM_CNT_ETH(u) (KOVA_SHM_CNT + 152u * (u))       /* UCC 0..3: 152 bytes */
#define KOVA_SHM_CNT_OTHER(u) (0x5C02A0u + 0x98000u * (u))    /* UCC 4..39 */
#define KOVA_SHM_OQ_UCC(u) (KOVA_SHM_OQ + 0x128000u * (u))     /* UCC 0..35 */
#define KOVA_SHM_ONUOQ_UCC(u) (KOVA_SHM_ONUOQ + 0x3000u * (u)) /* UCC 0..35 */
#define KOVA_SHM_IC_UCC(u) (KOVA_SHM_IC + 0xC4000u * (u))      /* UCC 0..35 */
#define KOVA_SHM_ONUIC_UCC(u) (KOVA_SHM_ONUIC + 0x3000u * (u)) /* UCC 0..35 */
#define KOVA_SHM_STORM_UCC(u) (KOVA_SHM_STORM + 0x18000u * (u)) /* UCC 0..39 */

/* The window of the shared area that a read of /dev/kova returns. */
#define KOVA_DEV_WINDOW 0x2800000u

/* ---- Attach ------------------------------------------------------------ */

/* Payload of the attach command on /dev/kova, host byte order. */
#define KOVA_UCODE_VERSION_LEN 32u
typedef struct kova_attach_args {
	uint64_t shm_vaddr; /* start of kova_shm in the calling process */
	uint64_t qe_base;   /* the engine's own address of the table start */
	char ucode_version[KOVA_UCODE_VERSION_LEN]; /* NUL-terminated */
} kova_attach_args;

/* _IOW('k', 2, kova_attach_args): write direction, size 48, type 'k', nr 2.
 * The module looks only at the number and the size field. */
#define KOVA_IOC_ATTACH_NR 2u
#define KOVA_IOC_ATTACH ((1u << 30) | (48u << 16) | ((unsigned)'k' << 8) | KOVA_IOC_ATTACH_NR)

/* ---- Port counter record (kova_PORT_CNT) ------------------------------- */

/* Kept by the engine in each UCC's CNT area: one record for UCC 0..3, one
 * per subport (0..4095) for the others; UCCs 36..39 (the LAGs) use record 0.
 * Little-endian words at these offsets. */
#define KOVA_PORT_CNT_SIZE 152u
#define KOVA_PORT_CNT_RX_OCTETS 0u         /* u64 */
#define KOVA_PORT_CNT_RX_PACKETS 8u        /* u64 */
#define KOVA_PORT_CNT_RX_UCAST 16u         /* u64 */
#define KOVA_PORT_CNT_RX_MCAST 24u         /* u64 */
#define KOVA_PORT_CNT_RX_BCAST 32u         /* u64 */
#define KOVA_PORT_CNT_TX_OCTETS 40u        /* u64 */
#define KOVA_PORT_CNT_TX_UCAST 48u         /* u64 */
#define KOVA_PORT_CNT_TX_MCAST 56u         /* u64 */
#define KOVA_PORT_CNT_TX_BCAST 64u         /* u64 */
#define KOVA_PORT_CNT_RX_DISCARDS 72u      /* u32 */
#define KOVA_PORT_CNT_RX_ERRORS 76u        /* u32 */
#define KOVA_PORT_CNT_RX_FCS_ERRORS 80u    /* u32 */
#define KOVA_PORT_CNT_RX_EXTRA 84u         /* u32 x 2 */
#define KOVA_PORT_CNT_ENGINE_COUNT_A 92u   /* u32 x 6 */
#define KOVA_PORT_CNT_ENGINE_COUNT_B 116u  /* u32 x 4: engine_count_b[0..3] */
#define KOVA_PORT_CNT_TX_DISCARDS 132u     /* u32 */
#define KOVA_PORT_CNT_ENGINE_COUNT_B4 136u /* u32 x 3: engine_count_b[4..6] */
#define KOVA_PORT_CNT_TX_ERRORS 148u       /* u32 */

typedef struct kova_PORT_CNT {
	uint64_t rx_octets;
	uint64_t rx_packets;
	uint64_t rx_ucast;
	uint64_t rx_mcast;
	uint64_t rx_bcast;
	uint64_t tx_octets;
	uint64_t tx_ucast;
	uint64_t tx_mcast;
	uint64_t tx_bcast;
	uint32_t rx_discards;
	uint32_t rx_errors;
	uint32_t rx_fcs_errors;
	uint32_t rx_extra[2];
	uint32_t engine_count_a[6];
	uint32_t engine_count_b_lo[4];
	uint32_t tx_discards;
	uint32_t engine_count_b_hi[3];
	uint32_t tx_errors;
} kova_PORT_CNT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#if defined(__cplusplus)
#define KOVA_SHM_ASSERT(c, m) static_assert(c, m)
#else
#define KOVA_SHM_ASSERT(c, m) _Static_assert(c, m)
#endif

KOVA_SHM_ASSERT(sizeof(kova_LUT) == KOVA_LUT_SIZE, "kova_LUT is 256 bytes");
KOVA_SHM_ASSERT(offsetof(kova_LUT, port) == KOVA_LUT_OFF_PORT, "port");
KOVA_SHM_ASSERT(offsetof(kova_LUT, eth_dmac) == KOVA_LUT_OFF_ETH_DMAC, "eth_dmac");
KOVA_SHM_ASSERT(offsetof(kova_LUT, eth_smac) == KOVA_LUT_OFF_ETH_SMAC, "eth_smac");
KOVA_SHM_ASSERT(offsetof(kova_LUT, vlan1) == KOVA_LUT_OFF_VLAN1, "vlan1");
KOVA_SHM_ASSERT(offsetof(kova_LUT, vlan2) == KOVA_LUT_OFF_VLAN2, "vlan2");
KOVA_SHM_ASSERT(offsetof(kova_LUT, eth_type) == KOVA_LUT_OFF_ETH_TYPE, "eth_type");
KOVA_SHM_ASSERT(offsetof(kova_LUT, ip_src) == KOVA_LUT_OFF_IP_SRC, "ip_src");
KOVA_SHM_ASSERT(offsetof(kova_LUT, ip_dst) == KOVA_LUT_OFF_IP_DST, "ip_dst");
KOVA_SHM_ASSERT(offsetof(kova_LUT, ports) == KOVA_LUT_OFF_PORTS, "ports");
KOVA_SHM_ASSERT(offsetof(kova_LUT, crc32) == KOVA_LUT_OFF_CRC32, "crc32");
KOVA_SHM_ASSERT(offsetof(kova_LUT, flow_cnt) == KOVA_LUT_OFF_FLOW_CNT, "flow_cnt");
KOVA_SHM_ASSERT(offsetof(kova_LUT, next_crc12) == KOVA_LUT_OFF_NEXT_CRC12, "next_crc12");
KOVA_SHM_ASSERT(offsetof(kova_LUT, next_crc32) == KOVA_LUT_OFF_NEXT_CRC32, "next_crc32");
KOVA_SHM_ASSERT(offsetof(kova_LUT, next_ext) == KOVA_LUT_OFF_NEXT_EXT, "next_ext");
KOVA_SHM_ASSERT(offsetof(kova_LUT, flow_state) == KOVA_LUT_OFF_FLOW_STATE, "flow_state");
KOVA_SHM_ASSERT(offsetof(kova_LUT, packet_cnt) == KOVA_LUT_OFF_PACKET_CNT, "packet_cnt");
KOVA_SHM_ASSERT(offsetof(kova_LUT, stats_word2) == KOVA_LUT_OFF_STATS_WORD2, "stats_word2");
KOVA_SHM_ASSERT(offsetof(kova_LUT, timestamp) == KOVA_LUT_OFF_TIMESTAMP, "timestamp");
KOVA_SHM_ASSERT(offsetof(kova_LUT, actions) == KOVA_LUT_OFF_ACTIONS, "actions");
KOVA_SHM_ASSERT(offsetof(kova_LUT, valid) == KOVA_LUT_OFF_VALID, "valid");
KOVA_SHM_ASSERT(KOVA_LUT_TABLE_BYTES == 0x800000u, "flow table is 8 MiB");
KOVA_SHM_ASSERT(KOVA_SHM_LKUP_MASK_PORT == KOVA_SHM_TABLE + KOVA_LUT_TABLE_BYTES,
		"masks follow the table");
KOVA_SHM_ASSERT(KOVA_SHM_LKUP_MASK_VLAN == KOVA_SHM_LKUP_MASK_PORT + 0x40u, "vlan masks");
KOVA_SHM_ASSERT(KOVA_SHM_CNT == KOVA_SHM_LKUP_MASK_VLAN + 0x20000u, "CNT region");
KOVA_SHM_ASSERT(KOVA_SHM_OQ == KOVA_SHM_CNT + 0x17C0000u, "OQ region");
KOVA_SHM_ASSERT(KOVA_SHM_ONUOQ == KOVA_SHM_OQ + 0x2E40000u, "ONU shaping region");
KOVA_SHM_ASSERT(KOVA_SHM_IC == KOVA_SHM_ONUOQ + 0x78000u, "IC region");
KOVA_SHM_ASSERT(KOVA_SHM_ONUIC == KOVA_SHM_IC + 0x1EA0000u, "ONU IC region");
KOVA_SHM_ASSERT(KOVA_SHM_STORM == KOVA_SHM_ONUIC + 0x78000u, "storm region");
KOVA_SHM_ASSERT(KOVA_SHM_SIZE == KOVA_SHM_STORM + 0x3C0000u, "end of the used area");
KOVA_SHM_ASSERT(KOVA_SHM_CNT_ETH(4) == KOVA_SHM_CNT_OTHER(4), "the CNT areas are contiguous");
KOVA_SHM_ASSERT(KOVA_SHM_CNT_OTHER(39) + 0x98000u <= KOVA_SHM_OQ, "CNT region holds UCC 0..39");
KOVA_SHM_ASSERT(KOVA_SHM_OQ_UCC(35) == 0x4858040u, "OQ of UCC 35");
KOVA_SHM_ASSERT(KOVA_SHM_STORM_UCC(39) == 0x7158040u, "storm area of UCC 39");
KOVA_SHM_ASSERT(KOVA_DEV_WINDOW <= KOVA_SHM_SIZE, "the device window lies in the area");
KOVA_SHM_ASSERT(sizeof(kova_attach_args) == 48, "attach payload is 48 bytes");
KOVA_SHM_ASSERT(offsetof(kova_attach_args, shm_vaddr) == 0, "shm_vaddr");
KOVA_SHM_ASSERT(offsetof(kova_attach_args, qe_base) == 8, "qe_base");
KOVA_SHM_ASSERT(offsetof(kova_attach_args, ucode_version) == 16, "ucode_version");
KOVA_SHM_ASSERT(KOVA_IOC_ATTACH == 0x40306B02u, "attach command number");
KOVA_SHM_ASSERT(sizeof(kova_PORT_CNT) == KOVA_PORT_CNT_SIZE, "counter record is 152 bytes");
KOVA_SHM_ASSERT(offsetof(kova_PORT_CNT, rx_octets) == KOVA_PORT_CNT_RX_OCTETS, "rx_octets");
KOVA_SHM_ASSERT(offsetof(kova_PORT_CNT, rx_packets) == KOVA_PORT_CNT_RX_PACKETS, "rx_packets");
KOVA_SHM_ASSERT(offsetof(kova_PORT_CNT, rx_ucast) == KOVA_PORT_CNT_RX_UCAST, "rx_ucast");
KOVA_SHM_ASSERT(offsetof(kova_PORT_CNT, rx_mcast) == KOVA_PORT_CNT_RX_MCAST, "rx_mcast");
KOVA_SHM_ASSERT(offsetof(kova_PORT_CNT, rx_bcast) == KOVA_PORT_CNT_RX_BCAST, "rx_bcast");
KOVA_SHM_ASSERT(offsetof(kova_PORT_CNT, tx_octets) == KOVA_PORT_CNT_TX_OCTETS, "tx_octets");
KOVA_SHM_ASSERT(offsetof(kova_PORT_CNT, tx_ucast) == KOVA_PORT_CNT_TX_UCAST, "tx_ucast");
KOVA_SHM_ASSERT(offsetof(kova_PORT_CNT, tx_mcast) == KOVA_PORT_CNT_TX_MCAST, "tx_mcast");
KOVA_SHM_ASSERT(offsetof(kova_PORT_CNT, tx_bcast) == KOVA_PORT_CNT_TX_BCAST, "tx_bcast");
KOVA_SHM_ASSERT(offsetof(kova_PORT_CNT, rx_discards) == KOVA_PORT_CNT_RX_DISCARDS, "rx_discards");
KOVA_SHM_ASSERT(offsetof(kova_PORT_CNT, rx_errors) == KOVA_PORT_CNT_RX_ERRORS, "rx_errors");
KOVA_SHM_ASSERT(offsetof(kova_PORT_CNT, rx_fcs_errors) == KOVA_PORT_CNT_RX_FCS_ERRORS,
		"rx_fcs_errors");
KOVA_SHM_ASSERT(offsetof(kova_PORT_CNT, rx_extra) == KOVA_PORT_CNT_RX_EXTRA, "rx_extra");
KOVA_SHM_ASSERT(offsetof(kova_PORT_CNT, engine_count_a) == KOVA_PORT_CNT_ENGINE_COUNT_A,
		"engine_count_a");
KOVA_SHM_ASSERT(offsetof(kova_PORT_CNT, engine_count_b_lo) == KOVA_PORT_CNT_ENGINE_COUNT_B,
		"engine_count_b[0]");
KOVA_SHM_ASSERT(offsetof(kova_PORT_CNT, tx_discards) == KOVA_PORT_CNT_TX_DISCARDS, "tx_discards");
KOVA_SHM_ASSERT(offsetof(kova_PORT_CNT, engine_count_b_hi) == KOVA_PORT_CNT_ENGINE_COUNT_B4,
		"engine_count_b[4]");
KOVA_SHM_ASSERT(offsetof(kova_PORT_CNT, tx_errors) == KOVA_PORT_CNT_TX_ERRORS, "tx_errors");
KOVA_SHM_ASSERT(KOVA_SHM_CNT_ETH(4) - KOVA_SHM_CNT_ETH(3) == KOVA_PORT_CNT_SIZE,
		"one record per Ethernet UCC");
KOVA_SHM_ASSERT(4096u * KOVA_PORT_CNT_SIZE <= 0x98000u, "4096 records per other UCC");

/* ---- Rate-limit records ------------------------------------------------ */

/*
 * Shaper, policer and storm entries, and the OQ and IC records that hold
 * shaper and policer entries per class. Every field is a little-endian u32
 * that the engine may read at any moment; the module writes each with one
 * aligned 32-bit store. Rates are turned into 16.16 ticks-per-byte steps of
 * the 100 MHz system counter, bursts into depths in ticks.
 */
/* Lookup masks: one byte per UCC 0..35, and one per (UCC 4..35, id 0..4095)
 * at (uccnum - 4) * 4096 + id. */
#define KOVA_LKUP_MASK_UCCS 36u
#define KOVA_LKUP_MASK_IDS 4096u
#define KOVA_LKUP_MASK_VLAN_BYTES ((KOVA_LKUP_MASK_UCCS - 4u) * KOVA_LKUP_MASK_IDS)
KOVA_SHM_ASSERT(KOVA_LKUP_MASK_UCCS <= KOVA_SHM_LKUP_MASK_VLAN - KOVA_SHM_LKUP_MASK_PORT,
		"UCC masks fit");
KOVA_SHM_ASSERT(KOVA_SHM_LKUP_MASK_VLAN + KOVA_LKUP_MASK_VLAN_BYTES == KOVA_SHM_CNT,
		"id masks fill their region");

#define KOVA_CLASSES 8u /* classes per OQ or IC record */
#define KOVA_ONU_ENTRIES 512u /* ONU shaper or policer entries per UCC */
#define KOVA_STORM_ENTRIES 4096u /* storm entries per UCC, one per port number */

/* Shaper entry: the excess bucket first. committed_step 0xFFFFFFFF is the
 * committed marker; a converted rate that would collide with it is stored
 * as 0xFFFFFFFE. A step of 0 turns a bucket off. */
#define KOVA_SHAPER_EXCESS_STEP 0u
#define KOVA_SHAPER_EXCESS_TIME 4u
#define KOVA_SHAPER_EXCESS_DEPTH 8u
#define KOVA_SHAPER_COMMITTED_STEP 12u
#define KOVA_SHAPER_COMMITTED_TIME 16u
#define KOVA_SHAPER_COMMITTED_DEPTH 20u
#define KOVA_SHAPER_MARKER 0xFFFFFFFFu
#define KOVA_SHAPER_MARKER_AVOID 0xFFFFFFFEu
typedef struct kova_SHAPER {
	uint32_t excess_step;
	uint32_t excess_time;
	uint32_t excess_depth;
	uint32_t committed_step;
	uint32_t committed_time;
	uint32_t committed_depth;
} kova_SHAPER;

/* Policer entry: the committed bucket first. A bucket that is off has step
 * and time 0 and keeps its depth word. */
#define KOVA_POLICER_COMMITTED_STEP 0u
#define KOVA_POLICER_COMMITTED_TIME 4u
#define KOVA_POLICER_COMMITTED_DEPTH 8u
#define KOVA_POLICER_EXCESS_STEP 12u
#define KOVA_POLICER_EXCESS_TIME 16u
#define KOVA_POLICER_EXCESS_DEPTH 20u
typedef struct kova_POLICER {
	uint32_t committed_step;
	uint32_t committed_time;
	uint32_t committed_depth;
	uint32_t excess_step;
	uint32_t excess_time;
	uint32_t excess_depth;
} kova_POLICER;

/* Storm entry: meters A and B, one per (UCC, port number). */
#define KOVA_STORM_INTERVAL_A 0u
#define KOVA_STORM_STATE_A 4u
#define KOVA_STORM_TOLERANCE_A 8u
#define KOVA_STORM_INTERVAL_B 12u
#define KOVA_STORM_STATE_B 16u
#define KOVA_STORM_TOLERANCE_B 20u
#define KOVA_STORM_STATE_RESET 0xFFFFFFFFu
typedef struct kova_STORM {
	uint32_t meter_interval_a;
	uint32_t meter_state_a;
	uint32_t meter_tolerance_a;
	uint32_t meter_interval_b;
	uint32_t meter_state_b;
	uint32_t meter_tolerance_b;
} kova_STORM;

/* OQ record: a shaper entry per class and the ONU shaper entry linked to
 * the queue. One record for UCC 0..3, 4096 for the others. */
#define KOVA_OQ_RECORD_SIZE 296u
#define KOVA_OQ_OFF_SHAPER 80u /* + 24 * class */
#define KOVA_OQ_OFF_ONU_INDEX 284u
typedef struct kova_OQ_RECORD {
	uint8_t reserved0[80];
	kova_SHAPER shaper[KOVA_CLASSES];
	uint8_t reserved1[12];
	uint32_t onu_index;
	uint8_t reserved2[8];
} kova_OQ_RECORD;

/* IC record: a policer entry per class and the ONU policer entry linked to
 * it. One record for UCC 0..3, 4096 for the others. */
#define KOVA_IC_RECORD_SIZE 196u
#define KOVA_IC_OFF_POLICER 0u /* + 24 * class */
#define KOVA_IC_OFF_ONU_INDEX 192u
typedef struct kova_IC_RECORD {
	kova_POLICER policer[KOVA_CLASSES];
	uint32_t onu_index;
} kova_IC_RECORD;

#define KOVA_RECORDS_ETH 1u     /* OQ or IC records of UCC 0..3 */
#define KOVA_RECORDS_OTHER 4096u /* OQ or IC records of UCC 4..39 */

KOVA_SHM_ASSERT(sizeof(kova_SHAPER) == 24, "shaper entry is 24 bytes");
KOVA_SHM_ASSERT(offsetof(kova_SHAPER, excess_step) == KOVA_SHAPER_EXCESS_STEP, "excess_step");
KOVA_SHM_ASSERT(offsetof(kova_SHAPER, excess_time) == KOVA_SHAPER_EXCESS_TIME, "excess_time");
KOVA_SHM_ASSERT(offsetof(kova_SHAPER, excess_depth) == KOVA_SHAPER_EXCESS_DEPTH, "excess_depth");
KOVA_SHM_ASSERT(offsetof(kova_SHAPER, committed_step) == KOVA_SHAPER_COMMITTED_STEP,
		"committed_step");
KOVA_SHM_ASSERT(offsetof(kova_SHAPER, committed_time) == KOVA_SHAPER_COMMITTED_TIME,
		"committed_time");
KOVA_SHM_ASSERT(offsetof(kova_SHAPER, committed_depth) == KOVA_SHAPER_COMMITTED_DEPTH,
		"committed_depth");
KOVA_SHM_ASSERT(sizeof(kova_POLICER) == 24, "policer entry is 24 bytes");
KOVA_SHM_ASSERT(offsetof(kova_POLICER, committed_step) == KOVA_POLICER_COMMITTED_STEP,
		"committed_step");
KOVA_SHM_ASSERT(offsetof(kova_POLICER, committed_time) == KOVA_POLICER_COMMITTED_TIME,
		"committed_time");
KOVA_SHM_ASSERT(offsetof(kova_POLICER, committed_depth) == KOVA_POLICER_COMMITTED_DEPTH,
		"committed_depth");
KOVA_SHM_ASSERT(offsetof(kova_POLICER, excess_step) == KOVA_POLICER_EXCESS_STEP, "excess_step");
KOVA_SHM_ASSERT(offsetof(kova_POLICER, excess_time) == KOVA_POLICER_EXCESS_TIME, "excess_time");
KOVA_SHM_ASSERT(offsetof(kova_POLICER, excess_depth) == KOVA_POLICER_EXCESS_DEPTH, "excess_depth");
KOVA_SHM_ASSERT(sizeof(kova_STORM) == 24, "storm entry is 24 bytes");
KOVA_SHM_ASSERT(offsetof(kova_STORM, meter_interval_a) == KOVA_STORM_INTERVAL_A, "interval A");
KOVA_SHM_ASSERT(offsetof(kova_STORM, meter_state_a) == KOVA_STORM_STATE_A, "state A");
KOVA_SHM_ASSERT(offsetof(kova_STORM, meter_tolerance_a) == KOVA_STORM_TOLERANCE_A, "tolerance A");
KOVA_SHM_ASSERT(offsetof(kova_STORM, meter_interval_b) == KOVA_STORM_INTERVAL_B, "interval B");
KOVA_SHM_ASSERT(offsetof(kova_STORM, meter_state_b) == KOVA_STORM_STATE_B, "state B");
KOVA_SHM_ASSERT(offsetof(kova_STORM, meter_tolerance_b) == KOVA_STORM_TOLERANCE_B, "tolerance B");
KOVA_SHM_ASSERT(sizeof(kova_OQ_RECORD) == KOVA_OQ_RECORD_SIZE, "OQ record is 296 bytes");
KOVA_SHM_ASSERT(offsetof(kova_OQ_RECORD, shaper) == KOVA_OQ_OFF_SHAPER, "OQ shaper entries");
KOVA_SHM_ASSERT(offsetof(kova_OQ_RECORD, onu_index) == KOVA_OQ_OFF_ONU_INDEX, "OQ onu_index");
KOVA_SHM_ASSERT(sizeof(kova_IC_RECORD) == KOVA_IC_RECORD_SIZE, "IC record is 196 bytes");
KOVA_SHM_ASSERT(offsetof(kova_IC_RECORD, policer) == KOVA_IC_OFF_POLICER, "IC policer entries");
KOVA_SHM_ASSERT(offsetof(kova_IC_RECORD, onu_index) == KOVA_IC_OFF_ONU_INDEX, "IC onu_index");
KOVA_SHM_ASSERT(KOVA_OQ_RECORD_SIZE % 4 == 0 && KOVA_IC_RECORD_SIZE % 4 == 0,
		"records keep words aligned");
/* The per-UCC strides of the map hold exactly the records above. */
KOVA_SHM_ASSERT(KOVA_SHM_OQ_UCC(1) - KOVA_SHM_OQ_UCC(0) ==
		KOVA_RECORDS_OTHER * KOVA_OQ_RECORD_SIZE, "OQ area");
KOVA_SHM_ASSERT(KOVA_SHM_IC_UCC(1) - KOVA_SHM_IC_UCC(0) ==
		KOVA_RECORDS_OTHER * KOVA_IC_RECORD_SIZE, "IC area");
KOVA_SHM_ASSERT(KOVA_SHM_ONUOQ_UCC(1) - KOVA_SHM_ONUOQ_UCC(0) ==
		KOVA_ONU_ENTRIES * sizeof(kova_SHAPER), "ONU shaping area");
KOVA_SHM_ASSERT(KOVA_SHM_ONUIC_UCC(1) - KOVA_SHM_ONUIC_UCC(0) ==
		KOVA_ONU_ENTRIES * sizeof(kova_POLICER), "ONU IC area");
KOVA_SHM_ASSERT(KOVA_SHM_STORM_UCC(1) - KOVA_SHM_STORM_UCC(0) ==
		KOVA_STORM_ENTRIES * sizeof(kova_STORM), "storm area");

#endif /* KOVA_SHM_H */
