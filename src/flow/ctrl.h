// The control block: all module state lives in the one global `kova`.
#pragma once

#include <stdint.h>

#include "kova/kovaAPI.h"
#include "kova_internal.h"

inline constexpr uint32_t KOVA_INIT_MAGIC = 0xDEADBABAu;
inline constexpr uint32_t KOVA_NO_SLOT = 0xFFFFFFFFu; // free appflowid, no predecessor
inline constexpr uint32_t KOVA_OVERFLOW_SLOTS = KOVA_LUT_ENTRIES - KOVA_LUT_OVERFLOW_FIRST;
inline constexpr unsigned long KOVA_STATS_AREA_BYTES = 0x2800000ul;
inline constexpr uint32_t KOVA_UCCS = 40;          // UCC 0..39
inline constexpr uint32_t KOVA_STAT_PORTS = 36;    // ports with statistics pointers
inline constexpr uint32_t KOVA_UCC_AREA_KINDS = 4; // CNT, OQ, IC, ONU IC

// Per-slot record. Changed under kovaAPI_lock; in_use is also read by the
// queries, which take no lock, so it is written whole (kv::write_once).
struct kova_LUT_INFO {
    uint8_t *lut_cpu; // the slot in the shadow copy
    uint64_t lut_qe;  // the slot's engine address
    uint16_t in_use;
    uint16_t is_extended;
    uint16_t ucc;           // flow_ucc of the flow in the slot
    uint32_t appflowid;     // owner of the slot
    uint32_t ext_appflowid; // extended flow hung on this one
    uint32_t prev_flowid;   // slot that links here; KOVA_NO_SLOT at a bucket head
};

// The engine's table as the paths without the lock reach it: the engine's
// address of slot 0 and the module's address of the same byte, published
// together by one pointer store so that a reader never pairs one area's
// base with another's mapping. Never changed once published; the attach
// that replaces it frees it (and unpins its area) after a grace period.
struct kova_ENGINE_VIEW {
    uint64_t qe_base;
    uint8_t *area;
    void *pin; // the area's pinned pages; null for the module's stand-in
};

struct kova_CTRL {
    uint64_t hashtable_base_qe;         // engine address of engine-copy slot 0; 0 until attach
    uint8_t *hashtable_base_cpu;        // the shadow table
    uint32_t init_magic;                // KOVA_INIT_MAGIC while initialised
    void *kovaUCCparameters[KOVA_UCCS]; // set once the UCC is initialised
    uint8_t *kovaUCCPRAM[KOVA_UCCS];    // per-UCC parameter areas, 8192 bytes
    uint8_t *kovaCOREPRAM;              // core parameter area, 768 bytes
    // Where each UCC's areas are reached now: the fixed areas until an
    // engine attaches, then its shared memory. The attach rewrites them
    // under the table lock with whole stores; port functions read each once,
    // inside a reader section.
    uint8_t *CNT_BASE[KOVA_UCCS];
    uint8_t *OQ_BASE[KOVA_UCCS];
    uint8_t *ONUOQ_BASE[KOVA_UCCS];
    uint8_t *IC_BASE[KOVA_UCCS];
    uint8_t *ONUIC_BASE[KOVA_UCCS];
    uint8_t *STORM_BASE[KOVA_UCCS];
    // The fixed-area mappings themselves, kept to unmap them at unload
    // whatever the attach did to the pointers above.
    uint8_t *ucc_iomap[KOVA_UCCS][KOVA_UCC_AREA_KINDS];
    uint8_t
        *hashtable_base_qe_remapped; // where the module reaches engine address hashtable_base_qe
    kova_LUT *temp_lut;              // scratch entry that creation builds in
    kova_LUT_INFO lut_info[KOVA_LUT_ENTRIES];
    uint32_t ext_free_list[KOVA_OVERFLOW_SLOTS]; // overflow slots, a stack
    uint32_t ext_free_used;                      // overflow slots taken
    // appflowid -> slot; changed under kovaAPI_lock with whole stores, read
    // once by the queries without it.
    uint32_t appflow_map[KOVA_APP_FLOWS];
    uint32_t delete_branch_count[8];
    // Extended flows cut off by a deletion in detach mode; used under the
    // table lock only (too large for a kernel stack frame).
    uint32_t detach_list[256];
    uint32_t create_branch_count[4];
    char ucode_version[KOVA_UCODE_VERSION_LEN + 1]; // the attached engine's version text
    // Lookup masks in the engine's area, once attached. The attach moves them
    // and kovaAPIsetLKUPMask writes through them, both under kova_port_lock.
    uint8_t *lkup_mask_port_qe;
    uint8_t *lkup_mask_vlan_qe;
    // Published with kv::publish_pointer under the table lock, read with
    // kv::read_published inside a reader section (plat_reader_enter).
    const kova_ENGINE_VIEW *engine_view;
    kova_ENGINE_VIEW standin_view; // the stand-in below, until an attach
    uint8_t *stats_area;
    // Hardware statistics register blocks per port (none for ports 4..35).
    uint8_t *mac_stats[KOVA_STAT_PORTS];
    uint8_t *port_rx_stats[KOVA_STAT_PORTS];
    uint8_t *port_tx_stats[KOVA_STAT_PORTS];
    // Port and protocol parameters, rate limiting.
    // CPU copies of the lookup masks; the engine's copies are written from
    // them, so they also keep what was set before an engine attached.
    uint8_t lkup_mask_port[KOVA_LKUP_MASK_UCCS];
    uint8_t lkup_mask_vlan[KOVA_LKUP_MASK_VLAN_BYTES];

    // Link aggregation: changed under kova_lag_lock; port statistics read
    // lag_portmask without it (one whole load).
    struct {
        uint32_t lag_mode;     // 1 = enabled, anything else disabled
        uint32_t lag_portmask; // configured members, bit u = UCC u (0..31)
        uint32_t lag_active;   // members configured and up at this LAG's last commit
    } lag_table[KOVA_MAX_LAGS];
    uint32_t lag_link_up; // bit u set while UCC u's link is up

    // Module-owned stand-in for the engine copy until an engine attaches, so
    // that table writes before the attach never reach memory not ours.
    uint8_t *qe_placeholder;
};

extern "C" kova_CTRL kova;
