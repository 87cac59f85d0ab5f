// Port statistics: the engine's counter records combined with the Ethernet
// ports' own statistics registers, for one port, one subport or a LAG.
// Callers on several CPUs query and clear at once: a query builds its
// numbers in its own storage, and a clear holds the port lock.
#include "flow/ctrl.h"
#include "lib/engine_mem.h"
#include "lib/once.h"
#include "lib/reader.h"
#include "platform.h"
#include "port/counters_io.h"
#include "port/port_lock.h"

namespace kv::stats {
namespace {

using kv::counters::cnt_le32;
using kv::counters::cnt_le64;
using kv::counters::reg_read;

constexpr uint64_t kMask48 = 0x0000FFFFFFFFFFFFull;                   // the registers count 48 bits
constexpr int32_t kFirstLagPort = int32_t(KOVA_UCCS - KOVA_MAX_LAGS); // 36: LAG 0
constexpr uint32_t kCountB = 7;

// Statistics register offsets.
namespace mac {
constexpr uint32_t kRxPackets = 0x00, kRxOctets = 0x08, kRxDiscards = 0x30, kRxErrors = 0x40;
constexpr uint32_t kRxLast = 0x60; // thirteen receive counters from 0x00
constexpr uint32_t kTxFirst = 0x690, kTxLast = 0x718;
constexpr uint32_t kTxErrors[] = {0x690, 0x698, 0x6A0, 0x6A8, 0x710};
constexpr uint32_t kTxOctets = 0x6B0, kTxFrames = 0x6B8, kTxBcast = 0x700, kTxMcast = 0x708;
} // namespace mac
namespace rx {
constexpr uint32_t kUcast = 0x08, kBcast = 0x10, kMcast = 0x18, kDiscards = 0x20, kFcsErrors = 0x30,
                   kErrors = 0x38;
constexpr uint32_t kLast = 0x58;
} // namespace rx
namespace tx {
constexpr uint32_t kDiscards = 0x18, kLast = 0x20;
} // namespace tx

bool in_range(int32_t uccnum, int32_t subport, const char *caller) {
    if (uccnum >= 0 && uccnum < int32_t(KOVA_UCCS) && subport >= 0 &&
        subport < int32_t(KOVA_STATS_SUBPORTS))
        return true;
    plat_printk("kovaAPI: port out of range, uccnum = %d subport = %d from %s\n", int(uccnum),
                int(subport), caller);
    return false;
}

bool is_lag(int32_t uccnum) { return uccnum >= kFirstLagPort; }

// Ports 0..35 as bits: a LAG's configured members (up or not), else the
// port itself.
uint64_t port_set(int32_t uccnum) {
    if (is_lag(uccnum))
        return kv::read_once(kova.lag_table[uccnum - kFirstLagPort].lag_portmask);
    return uint64_t(1) << uccnum;
}

// The engine's record: the single one of an Ethernet UCC, else the
// subport's. Null only for a UCC without a counter area.
uint8_t *record(uint32_t u, int32_t subport) {
    uint8_t *base = kv::read_once(kova.CNT_BASE[u]);
    if (!base || ucc_is_eth(int(u)))
        return base;
    return base + uint64_t(subport) * KOVA_PORT_CNT_SIZE;
}

void read_count_b(const uint8_t *rec, uint32_t *out) {
    for (uint32_t i = 0; i < kCountB; ++i)
        out[i] = rec ? cnt_le32(rec + (i < 4 ? KOVA_PORT_CNT_ENGINE_COUNT_B + 4 * i
                                             : KOVA_PORT_CNT_ENGINE_COUNT_B4 + 4 * (i - 4)))
                     : 0;
}

// The second engine counters of a record (none for a null one).
void add_count_b(kova_PORT_STATS *s, const uint8_t *rec) {
    uint32_t b[kCountB];
    read_count_b(rec, b);
    for (uint32_t i = 0; i < kCountB; ++i)
        s->engine_count_b[i] += b[i];
}

// A subport of a non-Ethernet UCC: everything comes from its record.
void add_record(kova_PORT_STATS *s, const uint8_t *rec) {
    s->rx_octets += cnt_le64(rec + KOVA_PORT_CNT_RX_OCTETS);
    s->rx_packets += cnt_le64(rec + KOVA_PORT_CNT_RX_PACKETS);
    s->rx_ucast += cnt_le64(rec + KOVA_PORT_CNT_RX_UCAST);
    s->rx_mcast += cnt_le64(rec + KOVA_PORT_CNT_RX_MCAST);
    s->rx_bcast += cnt_le64(rec + KOVA_PORT_CNT_RX_BCAST);
    s->tx_octets += cnt_le64(rec + KOVA_PORT_CNT_TX_OCTETS);
    s->tx_ucast += cnt_le64(rec + KOVA_PORT_CNT_TX_UCAST);
    s->tx_mcast += cnt_le64(rec + KOVA_PORT_CNT_TX_MCAST);
    s->tx_bcast += cnt_le64(rec + KOVA_PORT_CNT_TX_BCAST);
    s->rx_discards += cnt_le32(rec + KOVA_PORT_CNT_RX_DISCARDS);
    s->rx_errors += cnt_le32(rec + KOVA_PORT_CNT_RX_ERRORS);
    s->rx_fcs_errors += cnt_le32(rec + KOVA_PORT_CNT_RX_FCS_ERRORS);
    for (uint32_t i = 0; i < 2; ++i)
        s->rx_extra[i] += cnt_le32(rec + KOVA_PORT_CNT_RX_EXTRA + 4 * i);
    for (uint32_t i = 0; i < 6; ++i)
        s->engine_count_a[i] += cnt_le32(rec + KOVA_PORT_CNT_ENGINE_COUNT_A + 4 * i);
    add_count_b(s, rec);
    s->tx_discards += cnt_le32(rec + KOVA_PORT_CNT_TX_DISCARDS);
    s->tx_errors += cnt_le32(rec + KOVA_PORT_CNT_TX_ERRORS);
}

// The register-derived fields of port u (not engine_count_b or the
// reserved bytes). A port without register blocks (UCC 4 and up) counts
// nothing there, and nothing is read through a block that is not mapped.
void read_hardware(uint32_t u, kova_PORT_STATS *s) {
    const uint8_t *m = u < KOVA_STAT_PORTS ? kova.mac_stats[u] : nullptr;
    const uint8_t *r = u < KOVA_STAT_PORTS ? kova.port_rx_stats[u] : nullptr;
    const uint8_t *t = u < KOVA_STAT_PORTS ? kova.port_tx_stats[u] : nullptr;
    auto m48 = [m](uint32_t off) { return m ? reg_read(m, off) & kMask48 : 0; };
    auto r48 = [r](uint32_t off) { return r ? reg_read(r, off) & kMask48 : 0; };
    auto t48 = [t](uint32_t off) { return t ? reg_read(t, off) & kMask48 : 0; };

    s->rx_discards = uint32_t(m48(mac::kRxDiscards) + r48(rx::kDiscards));
    s->rx_errors = uint32_t(m48(mac::kRxErrors) + r48(rx::kErrors));
    s->rx_fcs_errors = uint32_t(r48(rx::kFcsErrors));
    s->rx_extra[0] = s->rx_extra[1] = 0;
    s->rx_octets = m48(mac::kRxOctets);
    s->rx_packets = m48(mac::kRxPackets);
    s->rx_ucast = r48(rx::kUcast);
    s->rx_mcast = r48(rx::kMcast);
    s->rx_bcast = r48(rx::kBcast);
    for (uint32_t i = 0; i < 6; ++i)
        s->engine_count_a[i] = 0;
    s->tx_discards = uint32_t(t48(tx::kDiscards));
    uint64_t tx_errors = 0;
    for (uint32_t off : mac::kTxErrors)
        tx_errors += m48(off);
    s->tx_errors = uint32_t(tx_errors);
    s->tx_octets = m48(mac::kTxOctets);
    // Frames less multicast less broadcast; wraps when the registers
    // disagree rather than being clamped.
    s->tx_ucast = m48(mac::kTxFrames) - m48(mac::kTxMcast) - m48(mac::kTxBcast);
    s->tx_mcast = m48(mac::kTxMcast);
    s->tx_bcast = m48(mac::kTxBcast);
}

void add_hardware(kova_PORT_STATS *s, const kova_PORT_STATS *hw) {
    s->rx_discards += hw->rx_discards;
    s->rx_errors += hw->rx_errors;
    s->rx_fcs_errors += hw->rx_fcs_errors;
    for (uint32_t i = 0; i < 2; ++i)
        s->rx_extra[i] += hw->rx_extra[i];
    s->rx_octets += hw->rx_octets;
    s->rx_packets += hw->rx_packets;
    s->rx_ucast += hw->rx_ucast;
    s->rx_mcast += hw->rx_mcast;
    s->rx_bcast += hw->rx_bcast;
    for (uint32_t i = 0; i < 6; ++i)
        s->engine_count_a[i] += hw->engine_count_a[i];
    s->tx_discards += hw->tx_discards;
    s->tx_errors += hw->tx_errors;
    s->tx_octets += hw->tx_octets;
    s->tx_ucast += hw->tx_ucast;
    s->tx_mcast += hw->tx_mcast;
    s->tx_bcast += hw->tx_bcast;
}

// Queries read these counters without a lock while a clear runs, and the
// engine counts in them; fill clears each aligned word in one store.
void clear_record(uint8_t *rec) {
    if (rec)
        kv::engine_mem::fill(rec, 0, KOVA_PORT_CNT_SIZE);
}

} // namespace
} // namespace kv::stats

extern "C" {

uint32_t kovaAPIGetPortStatistics(int32_t uccnum, int32_t subport, kova_PORT_STATS *stats) {
    using namespace kv::stats;
    if (!stats) {
        plat_printk("kovaAPI: No pointer to statistics structure");
        return KOVA_ERR_INVALID;
    }
    if (!in_range(uccnum, subport, "kovaAPIGetPortStatistics"))
        return KOVA_ERR_INVALID;
    __builtin_memset(stats, 0, sizeof *stats);
    // The counter records read below stay pinned until we return, even if
    // the engine re-attaches meanwhile.
    const kv::ReaderSection engine_area;
    const uint64_t ports = port_set(uccnum);
    const bool lag = is_lag(uccnum);
    bool first = true;
    for (uint32_t u = 0; u < KOVA_STAT_PORTS; ++u) {
        if (!(ports & (uint64_t(1) << u)))
            continue;
        if (kovaAPIIsUCCInitialized(int(u), "kovaAPIGetPortStatistics") != 0)
            return KOVA_ERR_NOT_INITIALIZED;
        const uint8_t *rec = record(u, subport);
        if (!ucc_is_eth(int(u)) && subport != 0) {
            if (rec)
                add_record(stats, rec);
        } else {
            // Built in this call's own storage: a query or clear on another
            // CPU cannot change it between the reads and the sum.
            kova_PORT_STATS hw;
            read_hardware(u, &hw);
            add_hardware(stats, &hw);
            // A LAG's own counters are counted once, with its first member;
            // its members' engine counters are not the LAG's.
            if (!lag)
                add_count_b(stats, rec);
            else if (first)
                add_count_b(stats, kv::read_once(kova.CNT_BASE[uccnum]));
        }
        first = false;
    }
    return KOVA_OK;
}

uint32_t kovaAPIGetPortTraffic(int32_t uccnum, uint64_t arg) {
    (void)arg;
    if (kovaAPIIsUCCInitialized(int(uccnum), "kovaAPIGetPortTraffic") != 0)
        return KOVA_ERR_NOT_INITIALIZED;
    return KOVA_OK;
}

uint32_t kovaAPIClearPortStatistics(int32_t uccnum, int32_t subport) {
    using namespace kv::stats;
    if (!in_range(uccnum, subport, "kovaAPIClearPortStatistics"))
        return KOVA_ERR_INVALID;
    const kv::ReaderSection engine_area; // as for the query
    const uint64_t ports = port_set(uccnum);
    const bool lag = is_lag(uccnum);
    for (uint32_t u = 0; u < KOVA_STAT_PORTS; ++u) {
        if (!(ports & (uint64_t(1) << u)))
            continue;
        if (kovaAPIIsUCCInitialized(int(u), "kovaAPIClearPortStatistics") != 0)
            return KOVA_ERR_NOT_INITIALIZED;
        const kv::port::PortLock lock;
        clear_record(record(u, subport));
        if (ucc_is_eth(int(u))) {
            if (lag)
                clear_record(kv::read_once(kova.CNT_BASE[uccnum]));
            marvellClearHWCounters(int32_t(u));
        }
    }
    return KOVA_OK;
}

void marvellClearHWCounters(int32_t uccnum) {
    using namespace kv::stats;
    if (uccnum < 0 || uccnum >= int32_t(KOVA_STAT_PORTS))
        return;
    uint8_t *m = kova.mac_stats[uccnum];
    uint8_t *r = kova.port_rx_stats[uccnum];
    uint8_t *t = kova.port_tx_stats[uccnum];
    if (!m || !r || !t)
        return;
    for (uint32_t off = 0; off <= mac::kRxLast; off += 8)
        kv::counters::reg_clear(m, off);
    for (uint32_t off = mac::kTxFirst; off <= mac::kTxLast; off += 8)
        kv::counters::reg_clear(m, off);
    for (uint32_t off = 0; off <= rx::kLast; off += 8)
        kv::counters::reg_clear(r, off);
    for (uint32_t off = 0; off <= tx::kLast; off += 8)
        kv::counters::reg_clear(t, off);
}

} // extern "C"
