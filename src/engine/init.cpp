// Load-time memory map: port statistics blocks, parameter areas and the
// one-time register block programming.
#include "engine/engine.h"
#include "engine/memory_map.h"
#include "flow/ctrl.h"
#include "lib/engine_mem.h"
#include "platform.h"

namespace kv::engine {
namespace {

uint8_t *map_or_log(uint64_t phys, uint64_t size) {
    uint8_t *p = static_cast<uint8_t *>(plat_ioremap(phys, size));
    if (!p)
        plat_printk("kovaAPI: can not ioremap %llx\n", (unsigned long long)phys);
    return p;
}

uint32_t program_register_block() {
    uint8_t *block = map_or_log(kRegBlockPhys, kRegBlockSize);
    if (!block)
        return KOVA_ERR_NO_MEMORY;
    // The order of the stores is part of the programming sequence.
    static const struct {
        uint16_t off;
        uint32_t value;
    } sequence[] = {{528, 0x03000007u}, {16, 0xFFFFFFFFu},  {80, 0xFFFFFFFFu},
                    {144, 0xFFFFFFFFu}, {208, 0x7FFFFFFFu}, {32, 0xFFFFFFFFu},
                    {96, 0xFFFFFFFFu},  {160, 0xFFFFFFFFu}, {224, 0x7FFFFFFFu}};
    for (const auto &w : sequence)
        plat_reg_write32(block, w.off, w.value);
    plat_iounmap(block);
    return KOVA_OK;
}

} // namespace

// Ports 4..35 have no blocks; their entries stay null so nothing is ever
// read through them.
uint32_t map_port_blocks() {
    for (uint32_t port = 0; port < kEthPorts; ++port) {
        kova.mac_stats[port] = map_or_log(kMacStatsPhys + kMacStatsStride * port, kMacStatsSize);
        kova.port_rx_stats[port] = map_or_log(kRxStatsPhys + kPortStatsStride * port, kRxStatsSize);
        kova.port_tx_stats[port] = map_or_log(kTxStatsPhys + kPortStatsStride * port, kTxStatsSize);
        if (!kova.mac_stats[port] || !kova.port_rx_stats[port] || !kova.port_tx_stats[port])
            return KOVA_ERR_NO_MEMORY;
    }
    return KOVA_OK;
}

uint32_t init_parameter_areas() {
    for (uint32_t u = 0; u < KOVA_UCCS; ++u) {
        plat_printk("kovaAPI: kova.kovaUCCPRAM[uccnum=%d] %llx\n", int(u),
                    (unsigned long long)(kUccPramNominal + uint64_t(kUccPramSize) * u));
        kova.kovaUCCPRAM[u] = static_cast<uint8_t *>(plat_vmalloc(kUccPramSize));
        plat_printk("kovaAPI: kova.kovaUCCPRAM[uccnum=%d] %llx, remapped\n", int(u),
                    (unsigned long long)plat_shown_address(kova.kovaUCCPRAM[u]));
        if (!kova.kovaUCCPRAM[u]) {
            plat_printk("Can not get MURAM for UCC PRAM check 2\n");
            return KOVA_ERR_NO_MEMORY;
        }
        engine_mem::fill(kova.kovaUCCPRAM[u], 0, kUccPramSize);
    }
    plat_printk("kovaAPI: kova.kovaCOREPRAM %llx\n", (unsigned long long)kCorePramNominal);
    kova.kovaCOREPRAM = static_cast<uint8_t *>(plat_vmalloc(kCorePramSize));
    plat_printk("kovaAPI: kova.kovaCOREPRAM %llx, remapped\n",
                (unsigned long long)plat_shown_address(kova.kovaCOREPRAM));
    if (!kova.kovaCOREPRAM) {
        plat_printk("Can not get MURAM for CORE PRAM check 2\n");
        return KOVA_ERR_NO_MEMORY;
    }
    engine_mem::fill(kova.kovaCOREPRAM, 0, kCorePramSize);
    engine_mem::store32(kova.kovaCOREPRAM + kCoreWord680, 0xFFFFFFFFu);
    return program_register_block();
}

void release() {
    for (uint32_t port = 0; port < KOVA_STAT_PORTS; ++port) {
        plat_iounmap(kova.mac_stats[port]);
        plat_iounmap(kova.port_rx_stats[port]);
        plat_iounmap(kova.port_tx_stats[port]);
        kova.mac_stats[port] = kova.port_rx_stats[port] = kova.port_tx_stats[port] = nullptr;
    }
    for (uint32_t u = 0; u < KOVA_UCCS; ++u) {
        for (uint32_t k = 0; k < KOVA_UCC_AREA_KINDS; ++k) {
            plat_iounmap(kova.ucc_iomap[u][k]);
            kova.ucc_iomap[u][k] = nullptr;
        }
        kova.CNT_BASE[u] = kova.OQ_BASE[u] = kova.IC_BASE[u] = kova.ONUIC_BASE[u] = nullptr;
        kova.ONUOQ_BASE[u] = kova.STORM_BASE[u] = nullptr;
        plat_vfree(kova.kovaUCCPRAM[u]);
        kova.kovaUCCPRAM[u] = nullptr;
        XX_Free(kova.kovaUCCparameters[u]);
        kova.kovaUCCparameters[u] = nullptr;
    }
    plat_vfree(kova.kovaCOREPRAM);
    kova.kovaCOREPRAM = nullptr;
}

} // namespace kv::engine
