// Port and protocol parameters: the version queries, the lookup masks and
// the entry points that other modules still call but that have nothing to
// configure on this system.
#include "flow/ctrl.h"
#include "kova/version.h"
#include "lib/engine_mem.h"
#include "platform.h"
#include "port/port_lock.h"

namespace {

constexpr int32_t kFirstVlanUcc = 4; // UCCs below keep one mask, whatever the id

// The engine's copy of a mask byte, once an engine has attached: one store,
// ordered before whatever the caller writes next.
void publish_mask(uint8_t *qe, uint32_t i, uint8_t mask) {
    if (!qe)
        return;
    kv::engine_mem::store8(qe + i, mask);
    kv::engine_mem::barrier();
}

} // namespace

extern "C" {

const char *kovaAPIGetAPIVersion(void) { return KOVA_API_VERSION; }

const char *kovaAPIGetMicrocodeVersion(void) { return kova.ucode_version; }

uint32_t kovaAPIGetCounterAFFull(void) {
    if (!kova.kovaCOREPRAM)
        return 0;
    uint16_t v;
    __builtin_memcpy(&v, kova.kovaCOREPRAM + 14, sizeof v); // core area: host order
    return v;
}

uint32_t kovaAPIsetLKUPMask(int32_t uccnum, int32_t id, uint8_t mask) {
    if (uccnum < 0 || uccnum >= int32_t(KOVA_LKUP_MASK_UCCS) || id < 0 ||
        id >= int32_t(KOVA_LKUP_MASK_IDS))
        return KOVA_ERR_INVALID;
    // The CPU copy is the one kept; the engine's copy, once an engine has
    // attached, is written from it. Both under the port lock, so two callers
    // setting one mask leave the same value in both copies.
    const kv::port::PortLock lock;
    if (uccnum >= kFirstVlanUcc && id != 0) {
        const uint32_t i = uint32_t(uccnum - kFirstVlanUcc) * KOVA_LKUP_MASK_IDS + uint32_t(id);
        kova.lkup_mask_vlan[i] = mask;
        publish_mask(kova.lkup_mask_vlan_qe, i, mask);
    } else {
        kova.lkup_mask_port[uccnum] = mask;
        publish_mask(kova.lkup_mask_port_qe, uint32_t(uccnum), mask);
    }
    return KOVA_OK;
}

uint32_t kovaAPISetOuterVlanEthType(uint16_t) { return KOVA_OK; }
uint32_t kovaAPISetInnerVlanEthType(uint16_t ethtype) {
    return kovaAPISetOuterVlanEthType(ethtype);
}
uint32_t kovaAPISetOQParameters(int32_t, uint16_t, uint16_t) { return KOVA_OK; }
uint64_t kovaAPIGetOQOccupation(int32_t, int32_t, int32_t) { return 0; }
uint32_t kovaAPISetPortTrustMode(int32_t, uint32_t) { return KOVA_OK; }
uint32_t kovaAPISetPortShaping(int32_t, int32_t, uint64_t, uint64_t) { return KOVA_OK; }
uint32_t kovaAPISetOQPriority(int32_t, int32_t, int32_t, int32_t, uint8_t) { return KOVA_OK; }
uint32_t kovaAPISetOQPriority2(int32_t, int32_t, int32_t, int32_t, uint8_t, int32_t) {
    return KOVA_OK;
}
uint32_t kovaAPISetAFDstMAC(const uint8_t *) { return KOVA_OK; }
uint32_t kovaAPIAddAFProtocol(int32_t, int32_t, int32_t, int32_t, int32_t, const void *) {
    return KOVA_OK;
}
uint32_t kovaAPIDeleteAFProtocol(int32_t, int32_t, int32_t, int32_t, int32_t) { return KOVA_OK; }
uint32_t kovaAPISetAFProtocolRate(int32_t, int32_t, int32_t, int32_t, int32_t) { return KOVA_OK; }
uint32_t kovaAPIGetAFProtocolStatistics(int32_t, int32_t, int32_t, void *) { return KOVA_OK; }
uint32_t kovaAPIClearAFProtocolStatistics(int32_t, int32_t, int32_t) { return KOVA_OK; }

uint32_t kovaAPIErpsCcmEnable(int32_t, int32_t, const void *, uint32_t, uint32_t, uint64_t,
                              uint64_t, uint32_t) {
    return KOVA_ERR_NOT_SUPPORTED;
}
uint32_t kovaAPIErpsCcmDisable(int32_t, int32_t) { return KOVA_ERR_NOT_SUPPORTED; }
uint32_t kovaAPIErpsCcmChangeTxPdu(int32_t, int32_t, const void *, uint32_t) {
    return KOVA_ERR_NOT_SUPPORTED;
}
uint32_t kovaAPIErpsCcmGetStats(int32_t, int32_t, void *) { return KOVA_ERR_NOT_SUPPORTED; }
uint32_t kovaAPIErpsCcmClearStats(int32_t uccnum, int32_t subport) {
    return kovaAPIErpsCcmDisable(uccnum, subport);
}

void dpaa_kova_pause_linux_rx(void) {}
void dpaa_kova_resume_linux_rx(void) { dpaa_kova_pause_linux_rx(); }

} // extern "C"
