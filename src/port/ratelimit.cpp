// Storm control, output-queue shaping and ingress policing: rates and
// bursts from kernel callers become the parameter words the engine's
// buckets and meters read from each UCC's areas. The engine reads these
// words at any time and shares no lock with us, so every word is one
// aligned 32-bit store followed by a full barrier, in the order that keeps
// a bucket consistent: step before depth before time. Each setter reads
// the area pointer it writes through once (an attach moves the areas) and
// writes under kova_port_lock.
#include "flow/ctrl.h"
#include "lib/bytes.h"
#include "lib/engine_mem.h"
#include "lib/once.h"
#include "lib/reader.h"
#include "platform.h"
#include "port/port_lock.h"
#include "port/rate.h"

namespace kv::port {
namespace {

constexpr int32_t kLagFirst = 36; // UCCs 36..39 stand for LAGs: no queues or classes of their own
constexpr int32_t kLagLast = 39;
constexpr int32_t kUccLast = 39;
constexpr int32_t kPortLast = int32_t(KOVA_STORM_ENTRIES) - 1;

const char kPeakShaping[] = "kovaAPI: error: shaping PDR speed is lower than CDR speed\n";
const char kPeakPolicing[] = "kovaAPI: error: policing PIR speed is lower than CIR speed\n";

bool is_lag(int32_t uccnum) { return uccnum >= kLagFirst && uccnum <= kLagLast; }
bool in_range(int32_t v, uint32_t count) { return v >= 0 && uint32_t(v) < count; }

// OQ and IC records a UCC's area holds. Only called for a UCC that passed
// the UCC check (0..35).
uint32_t records_of(int32_t uccnum) {
    return ucc_is_eth(uccnum) ? KOVA_RECORDS_ETH : KOVA_RECORDS_OTHER;
}

void put_word(uint8_t *entry, uint32_t off, uint32_t value) {
    kv::engine_mem::store32(entry + off, value);
    kv::engine_mem::barrier();
}

uint32_t time_word() { return uint32_t(cnxk_tim_cntvct()); }

// A peak below the committed rate is refused before anything is written.
bool peak_ok(uint64_t committed, uint64_t peak, const char *message) {
    if (peak != 0 && peak < committed) {
        plat_printk("%s", message);
        return false;
    }
    return true;
}

// A shaper entry: the excess bucket first, then the committed one.
void write_shaper(uint8_t *e, uint64_t cdr, uint64_t cbs, uint64_t pdr, uint64_t pbs, bool marker) {
    if (const uint64_t excess = excess_rate(cdr, pdr)) {
        const Rate r = convert(excess);
        put_word(e, KOVA_SHAPER_EXCESS_STEP, step_word(r));
        put_word(e, KOVA_SHAPER_EXCESS_DEPTH, depth_word(r, pbs));
    } else {
        put_word(e, KOVA_SHAPER_EXCESS_STEP, 0);
        put_word(e, KOVA_SHAPER_EXCESS_DEPTH, 0);
    }
    put_word(e, KOVA_SHAPER_EXCESS_TIME, time_word());

    if (marker) {
        put_word(e, KOVA_SHAPER_COMMITTED_STEP, KOVA_SHAPER_MARKER);
        put_word(e, KOVA_SHAPER_COMMITTED_DEPTH, 0);
    } else if (cdr != 0) {
        const Rate r = convert(cdr);
        put_word(e, KOVA_SHAPER_COMMITTED_STEP, committed_step_word(step_word(r)));
        put_word(e, KOVA_SHAPER_COMMITTED_DEPTH, depth_word(r, cbs));
    } else {
        put_word(e, KOVA_SHAPER_COMMITTED_STEP, 0);
        put_word(e, KOVA_SHAPER_COMMITTED_DEPTH, 0);
    }
    put_word(e, KOVA_SHAPER_COMMITTED_TIME, time_word());
}

// One policer bucket. Turned off, it keeps its depth word: the engine
// carries on from there when the bucket is turned on again.
void write_policer_bucket(uint8_t *e, uint32_t step_off, uint32_t depth_off, uint32_t time_off,
                          uint64_t rate, uint64_t burst) {
    if (rate != 0) {
        const Rate r = convert(rate);
        put_word(e, step_off, step_word(r));
        put_word(e, depth_off, depth_word(r, burst));
        put_word(e, time_off, time_word());
    } else {
        put_word(e, step_off, 0);
        put_word(e, time_off, 0);
    }
}

// A policer entry: the committed bucket first, then the excess one.
void write_policer(uint8_t *e, uint64_t cir, uint64_t cbs, uint64_t pir, uint64_t pbs) {
    write_policer_bucket(e, KOVA_POLICER_COMMITTED_STEP, KOVA_POLICER_COMMITTED_DEPTH,
                         KOVA_POLICER_COMMITTED_TIME, cir, cbs);
    write_policer_bucket(e, KOVA_POLICER_EXCESS_STEP, KOVA_POLICER_EXCESS_DEPTH,
                         KOVA_POLICER_EXCESS_TIME, excess_rate(cir, pir), pbs);
}

uint8_t *oq_record(uint8_t *oq_base, int32_t oq) {
    return oq_base + KOVA_OQ_RECORD_SIZE * uint32_t(oq);
}
uint8_t *ic_record(uint8_t *ic_base, int32_t ic) {
    return ic_base + KOVA_IC_RECORD_SIZE * uint32_t(ic);
}

} // namespace
} // namespace kv::port

using namespace kv::port;

extern "C" {

uint32_t kovaAPISetStormControlCfg(int32_t uccnum, int32_t portnum, uint32_t burst, uint32_t rate_a,
                                   uint32_t rate_b) {
    if (uccnum < 0 || uccnum > kUccLast)
        return KOVA_ERR_INVALID;
    if (portnum > kPortLast) {
        plat_printk("kovaAPI: kovaAPISetStormControlCfg portnum = %d\n", portnum);
        return KOVA_ERR_NOT_INITIALIZED;
    }
    if (portnum < 0)
        return KOVA_ERR_INVALID;
    // The storm-control areas exist only in an attached engine's memory.
    // What the area pointers lead to stays pinned until we return, even if
    // the engine re-attaches meanwhile.
    const kv::ReaderSection engine_area;
    uint8_t *const storm = kv::read_once(kova.STORM_BASE[uccnum]);
    if (!storm)
        return KOVA_ERR_NOT_INITIALIZED;
    uint8_t *e = storm + sizeof(kova_STORM) * uint32_t(portnum);
    const uint32_t tolerance = storm_tolerance(burst);
    const uint32_t interval_a = storm_interval(rate_a), interval_b = storm_interval(rate_b);
    const PortLock lock;
    put_word(e, KOVA_STORM_INTERVAL_A, interval_a);
    put_word(e, KOVA_STORM_STATE_A, KOVA_STORM_STATE_RESET);
    put_word(e, KOVA_STORM_TOLERANCE_A, tolerance);
    put_word(e, KOVA_STORM_INTERVAL_B, interval_b);
    put_word(e, KOVA_STORM_STATE_B, KOVA_STORM_STATE_RESET);
    put_word(e, KOVA_STORM_TOLERANCE_B, tolerance);
    return KOVA_OK;
}

uint32_t kovaAPISetOQShapingWithCDR(int32_t uccnum, int32_t oq, int32_t class_, uint64_t cdr,
                                    uint64_t cbs, uint64_t pdr, uint64_t pbs,
                                    uint8_t committed_marker) {
    if (is_lag(uccnum) || !in_range(class_, KOVA_CLASSES))
        return KOVA_ERR_INVALID;
    if (kovaAPIIsUCCInitialized(uccnum, "kovaAPISetOQShapingWithCDR") != 0)
        return KOVA_ERR_NOT_INITIALIZED;
    // What the area pointers lead to stays pinned until we return, even if
    // the engine re-attaches meanwhile.
    const kv::ReaderSection engine_area;
    uint8_t *const oq_base = kv::read_once(kova.OQ_BASE[uccnum]);
    if (!oq_base)
        return KOVA_ERR_NOT_INITIALIZED;
    if (!in_range(oq, records_of(uccnum)))
        return KOVA_ERR_INVALID;
    if (!peak_ok(cdr, pdr, kPeakShaping))
        return KOVA_ERR_INVALID;
    uint8_t *e =
        oq_record(oq_base, oq) + KOVA_OQ_OFF_SHAPER + sizeof(kova_SHAPER) * uint32_t(class_);
    const PortLock lock;
    write_shaper(e, cdr, cbs, pdr, pbs, committed_marker != 0);
    return KOVA_OK;
}

uint32_t kovaAPISetOQShaping(int32_t uccnum, int32_t oq, int32_t class_, uint64_t rate,
                             uint64_t burst) {
    if (kovaAPIIsUCCInitialized(uccnum, "kovaAPISetOQShaping") != 0)
        return KOVA_ERR_NOT_INITIALIZED;
    // A single-rate shaper: the excess bucket alone, the committed one off.
    return kovaAPISetOQShapingWithCDR(uccnum, oq, class_, 0, 0, rate, burst, 0);
}

uint32_t kovaAPISetOQONUShapingWithCDR(int32_t uccnum, int32_t onu, int32_t oq, uint64_t cdr,
                                       uint64_t cbs, uint64_t pdr, uint64_t pbs) {
    if (is_lag(uccnum) || !in_range(onu, KOVA_ONU_ENTRIES))
        return KOVA_ERR_INVALID;
    if (kovaAPIIsUCCInitialized(uccnum, "kovaAPISetOQONUShapingWithCDR") != 0)
        return KOVA_ERR_NOT_INITIALIZED;
    // What the area pointers lead to stays pinned until we return, even if
    // the engine re-attaches meanwhile.
    const kv::ReaderSection engine_area;
    uint8_t *const oq_base = kv::read_once(kova.OQ_BASE[uccnum]);
    if (!oq_base)
        return KOVA_ERR_NOT_INITIALIZED;
    // The ONU shaping areas exist only in an attached engine's memory.
    uint8_t *const onu_base = kv::read_once(kova.ONUOQ_BASE[uccnum]);
    if (!onu_base)
        return KOVA_ERR_NOT_INITIALIZED;
    if (!in_range(oq, records_of(uccnum)))
        return KOVA_ERR_INVALID;
    if (!peak_ok(cdr, pdr, kPeakShaping))
        return KOVA_ERR_INVALID;
    const PortLock lock;
    write_shaper(onu_base + sizeof(kova_SHAPER) * uint32_t(onu), cdr, cbs, pdr, pbs, false);
    // The link comes last, once the entry it names is complete.
    put_word(oq_record(oq_base, oq), KOVA_OQ_OFF_ONU_INDEX, uint32_t(onu));
    return KOVA_OK;
}

uint32_t kovaAPISetICPolicing(int32_t uccnum, int32_t ic, int32_t class_, uint64_t cir,
                              uint64_t cbs, uint64_t pir, uint64_t pbs) {
    if (is_lag(uccnum))
        return KOVA_ERR_INVALID;
    if (kovaAPIIsUCCInitialized(uccnum, "kovaAPISetICPolicing") != 0)
        return KOVA_ERR_NOT_INITIALIZED;
    // What the area pointers lead to stays pinned until we return, even if
    // the engine re-attaches meanwhile.
    const kv::ReaderSection engine_area;
    uint8_t *const ic_base = kv::read_once(kova.IC_BASE[uccnum]);
    if (!ic_base)
        return KOVA_ERR_NOT_INITIALIZED;
    if (!in_range(class_, KOVA_CLASSES) || !in_range(ic, records_of(uccnum)))
        return KOVA_ERR_INVALID;
    if (!peak_ok(cir, pir, kPeakPolicing))
        return KOVA_ERR_INVALID;
    const PortLock lock;
    write_policer(ic_record(ic_base, ic) + KOVA_IC_OFF_POLICER +
                      sizeof(kova_POLICER) * uint32_t(class_),
                  cir, cbs, pir, pbs);
    return KOVA_OK;
}

uint32_t kovaAPISetICONUPolicing(int32_t uccnum, int32_t onu, int32_t ic, uint64_t cir,
                                 uint64_t cbs, uint64_t pir, uint64_t pbs) {
    if (is_lag(uccnum) || !in_range(onu, KOVA_ONU_ENTRIES))
        return KOVA_ERR_INVALID;
    if (kovaAPIIsUCCInitialized(uccnum, "kovaAPISetICONUPolicing") != 0)
        return KOVA_ERR_NOT_INITIALIZED;
    // What the area pointers lead to stays pinned until we return, even if
    // the engine re-attaches meanwhile.
    const kv::ReaderSection engine_area;
    uint8_t *const ic_base = kv::read_once(kova.IC_BASE[uccnum]);
    if (!ic_base)
        return KOVA_ERR_NOT_INITIALIZED;
    // Ethernet UCCs have no ONU policer area until an engine attaches.
    uint8_t *const onu_base = kv::read_once(kova.ONUIC_BASE[uccnum]);
    if (!onu_base)
        return KOVA_ERR_NOT_INITIALIZED;
    if (!in_range(ic, records_of(uccnum)))
        return KOVA_ERR_INVALID;
    if (!peak_ok(cir, pir, kPeakPolicing))
        return KOVA_ERR_INVALID;
    const PortLock lock;
    write_policer(onu_base + sizeof(kova_POLICER) * uint32_t(onu), cir, cbs, pir, pbs);
    put_word(ic_record(ic_base, ic), KOVA_IC_OFF_ONU_INDEX, uint32_t(onu));
    return KOVA_OK;
}

} // extern "C"
