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
KOVA_SHM_ASSERT(KOVA_SHM_LKUP_MASK_PORT == KOVA_SHM_TABLE + KOVA_LUT_TABLE_BYTES, "masks follow the table");
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

#endif /* KOVA_SHM_H */
