/*
 * The module's own entry points: C linkage and the same names as the
 * exported interface, but not exported. Other kernel modules must not reach
 * them: some expect kovaAPI_lock to be held already, some tear down or
 * rebuild state that a live module is using. The core, the host tools and
 * the tests call them.
 */
#ifndef KOVA_INTERNAL_H
#define KOVA_INTERNAL_H

#include "kova/kovaAPI.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Control block and flow-table store ------------------------------- */

uint32_t kovaAPIDeInit(void);
/* Module load and unload only: they build and release the whole store. */
uint32_t kovaAPIInitKovaMicroCode(void);
uint32_t kovaAPIDeInitKovaMicroCode(void);
/* The reset itself; the caller holds kovaAPI_lock. */
uint32_t kovaAPIReInitKovaFlowTablePrivate(void);

/* kovaAPI_lock. The name and line are for diagnostics and are not used;
 * acquire_ucode_lock waits as long as it takes and returns 0. */
int32_t acquire_ucode_lock(const char *name, int line);
void release_ucode_lock(const char *name, int line);

void *XX_Malloc(uint32_t size);
void XX_Free(void *p);

/* ---- Engine memory map and UCCs -------------------------------------- */

int kovaAPIInitKovaUcc(uint32_t uccnum);
int kovaAPIIsUCCInitialized(int uccnum, const char *caller);
int ucc_is_eth(int uccnum);
uint64_t cnxk_tim_cntvct(void);

/* ---- Entry format ------------------------------------------------------ */

uint32_t kovaAPIcreateVoipLutEntry(const kova_FLOW *flow, kova_LUT *entry, int32_t *length,
                                   uint32_t state_word);
uint32_t kovaAPIcalculateLutEntryOffset(const kova_LUT *entry);
uint32_t reverseBits(uint32_t value, uint32_t bits);

uint32_t swap_bytes(uint32_t v);
uint16_t swap_bytes16(uint16_t v);
uint64_t swap_bytes64(uint64_t v);
uint32_t flow_swap_bytes(uint32_t v);
uint16_t flow_swap_bytes16(uint16_t v);
uint64_t flow_swap_bytes64(uint64_t v);

/* ---- Flows ------------------------------------------------------------- */

/* flow_state 0, 1 or 3; kovaAPIcreateVoipFlow passes 3. */
uint32_t kovaAPIcreateFlow(const kova_FLOW *flow, uint64_t appflowid, uint32_t flow_state);

/* With lock_held non-zero the caller holds kovaAPI_lock (checked) and the
 * call neither takes nor releases it. */
uint32_t kovaAPIdeleteFlow3(uint32_t appflowid, uint32_t with_extended, uint32_t lock_held);
uint32_t kovaAPIdeleteFlow4(uint32_t appflowid, uint32_t with_extended, uint32_t lock_held,
                            uint32_t *stats);
uint32_t kovaAPIdeleteExtendedFlow2(uint32_t appflowid, uint8_t unlink_parent);
uint32_t kovaAPIdeleteExtendedFlow3(uint32_t appflowid, uint8_t unlink_parent, uint32_t lock_held);
uint32_t kovaAPIdeleteFlowWithExtended2(uint32_t appflowid, uint32_t *stats);

/* ---- Ports ------------------------------------------------------------- */

uint32_t kovaAPIErpsCcmChangeTxPdu(int32_t uccnum, int32_t subport, const void *pdu,
                                   uint32_t pdu_len);
/* Pushes all four LAGs to the sibling module; takes kova_lag_lock. */
uint32_t kovaAPISetLAGCommitToKova(int32_t lagnum);
void marvellClearHWCounters(int32_t uccnum);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KOVA_INTERNAL_H */
