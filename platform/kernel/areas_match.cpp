// Compiled (syntax only) by scripts/build-kmod: the areas the kernel shim
// backs on a machine without the board are the ones the core maps.
#include "boardless_areas.h"
#include "engine/memory_map.h"
#include "flow/ctrl.h"

namespace e = kv::engine;

static_assert(KOVA_BL_ETH_PORTS == e::kEthPorts);
static_assert(KOVA_BL_MAC_STATS_PHYS == e::kMacStatsPhys &&
              KOVA_BL_MAC_STATS_STRIDE == e::kMacStatsStride &&
              KOVA_BL_MAC_STATS_SIZE == e::kMacStatsSize);
static_assert(KOVA_BL_RX_STATS_PHYS == e::kRxStatsPhys &&
              KOVA_BL_TX_STATS_PHYS == e::kTxStatsPhys &&
              KOVA_BL_PORT_STATS_STRIDE == e::kPortStatsStride &&
              KOVA_BL_RX_STATS_SIZE == e::kRxStatsSize && KOVA_BL_TX_STATS_SIZE == e::kTxStatsSize);
static_assert(KOVA_BL_REG_BLOCK_PHYS == e::kRegBlockPhys &&
              KOVA_BL_REG_BLOCK_SIZE == e::kRegBlockSize);
static_assert(KOVA_BL_UCCS == KOVA_UCCS);
static_assert(KOVA_BL_UCC_WINDOW_PHYS == e::kCntEthPhys && KOVA_BL_IC_PHYS == e::kIcPhys &&
              KOVA_BL_IC_STRIDE == e::kIcStride);

// Every per-UCC area lies inside the window (the core maps UCCs 0..KOVA_UCCS-1).
constexpr bool inside(unsigned long long phys, unsigned long long size) {
    return phys >= KOVA_BL_UCC_WINDOW_PHYS && phys + size <= KOVA_BL_UCC_WINDOW_END;
}
constexpr bool all_ucc_areas_inside() {
    for (unsigned long long u = 0; u < KOVA_UCCS; ++u) {
        const bool eth = u <= 3;
        const bool cnt = eth ? inside(e::kCntEthPhys + e::kCntEthSize * u, e::kCntEthSize)
                             : inside(e::kCntPhys + e::kCntSize * (u - 4), e::kCntSize);
        const bool oq = inside(e::kOqPhys + e::kOqStride * u, eth ? e::kOqEthSize : e::kOqStride);
        const bool ic = inside(e::kIcPhys + e::kIcStride * u, eth ? e::kIcEthSize : e::kIcStride);
        const bool onu = inside(e::kOnuIcPhys + e::kOnuIcSize * u, e::kOnuIcSize);
        if (!cnt || !oq || !ic || !onu)
            return false;
    }
    return true;
}
static_assert(all_ucc_areas_inside(), "a UCC area falls outside the backed window");
