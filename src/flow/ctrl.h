// The control block: all module state lives in the one global `kova`.
#pragma once

#include <stdint.h>

#include "kova/kovaAPI.h"

inline constexpr uint32_t KOVA_INIT_MAGIC = 0xDEADBABAu;
inline constexpr uint32_t KOVA_NO_SLOT = 0xFFFFFFFFu; // free appflowid, no predecessor
inline constexpr uint32_t KOVA_OVERFLOW_SLOTS = KOVA_LUT_ENTRIES - KOVA_LUT_OVERFLOW_FIRST;
inline constexpr unsigned long KOVA_STATS_AREA_BYTES = 0x2800000ul;

// Per-slot record.
struct kova_LUT_INFO {
    uint8_t *lut_cpu;       // the slot in the shadow copy
    uint64_t lut_qe;        // the slot's engine address
    uint16_t in_use;
    uint16_t is_extended;
    uint16_t ucc;           // flow_ucc of the flow in the slot
    uint32_t appflowid;     // owner of the slot
    uint32_t ext_appflowid; // extended flow hung on this one
    uint32_t prev_flowid;   // slot that links here; KOVA_NO_SLOT at a bucket head
};

struct kova_CTRL {
    uint64_t hashtable_base_qe;   // engine address of engine-copy slot 0; 0 until attach
    uint8_t *hashtable_base_cpu;  // the shadow table
    uint32_t init_magic;          // KOVA_INIT_MAGIC while initialised
    uint8_t *hashtable_base_qe_remapped; // where the module reaches engine address hashtable_base_qe
    kova_LUT *temp_lut;           // scratch entry that creation builds in
    kova_LUT_INFO lut_info[KOVA_LUT_ENTRIES];
    uint32_t ext_free_list[KOVA_OVERFLOW_SLOTS]; // overflow slots, a stack
    uint32_t ext_free_used;                      // overflow slots taken
    uint32_t appflow_map[KOVA_APP_FLOWS];        // appflowid -> slot
    uint32_t delete_branch_count[8];
    uint32_t create_branch_count[4];
    uint8_t *stats_area;
    // Module-owned stand-in for the engine copy until an engine attaches, so
    // that table writes before the attach never reach memory not ours.
    uint8_t *qe_placeholder;
};

extern "C" kova_CTRL kova;

// Lock helpers: the name and line are for diagnostics and are not used.
extern "C" int32_t acquire_ucode_lock(const char *name, int line);
extern "C" void release_ucode_lock(const char *name, int line);
