// UCC initialisation and the checks the port functions make before they
// touch a UCC.
#include "engine/engine.h"
#include "engine/memory_map.h"
#include "flow/ctrl.h"
#include "lib/engine_mem.h"
#include "platform.h"

namespace kv::engine {
namespace {

// UCCs 0..7 own bits 0..7 of the bitmap byte, 32..39 share them, 8..31 have
// none.
uint8_t init_bit(uint32_t u) { return uint8_t(1u << (u % 32)); }

// The UCC's bit in the core area's bitmap byte: one store of the byte.
void set_init_bit(uint32_t u, bool on) {
    uint8_t *bitmap = kova.kovaCOREPRAM + kCoreInitBitmap;
    kv::engine_mem::store8(bitmap,
                           on ? uint8_t(*bitmap | init_bit(u)) : uint8_t(*bitmap & ~init_bit(u)));
}

struct Area {
    AreaKind kind;
    uint64_t phys;
    uint64_t size;
    uint32_t pram_off;
    const char *name;
};

Area area_of(AreaKind kind, uint32_t u) {
    const bool eth = ucc_is_eth(int(u));
    switch (kind) {
    case kCnt:
        return eth ? Area{kind, kCntEthPhys + kCntEthSize * u, kCntEthSize, kPramCnt, "CNT_BASE"}
                   : Area{kind, kCntPhys + kCntSize * (u - 4), kCntSize, kPramCnt, "CNT_BASE"};
    case kOq:
        return {kind, kOqPhys + kOqStride * u, eth ? kOqEthSize : kOqStride, kPramOq, "OQ_BASE"};
    case kIc:
        return {kind, kIcPhys + kIcStride * u, eth ? kIcEthSize : kIcStride, kPramIc, "IC_BASE"};
    case kOnuIc:
    default:
        return {kind, kOnuIcPhys + kOnuIcSize * u, kOnuIcSize, kPramOnuIc, "ONUIC_BASE"};
    }
}

uint8_t **base_array(AreaKind kind) {
    switch (kind) {
    case kCnt:
        return kova.CNT_BASE;
    case kOq:
        return kova.OQ_BASE;
    case kIc:
        return kova.IC_BASE;
    case kOnuIc:
    default:
        return kova.ONUIC_BASE;
    }
}

// Records the area's physical address for the engine, maps it and clears it.
bool set_up_area(uint32_t u, AreaKind kind) {
    const Area a = area_of(kind, u);
    kv::engine_mem::store64(kova.kovaUCCPRAM[u] + a.pram_off, a.phys);
    uint8_t *m = static_cast<uint8_t *>(plat_ioremap(a.phys, a.size));
    if (!m) {
        plat_printk("kovaAPI: can not ioremap %s uccnum=%d\n", a.name, int(u));
        return false;
    }
    kova.ucc_iomap[u][kind] = m;
    base_array(kind)[u] = m;
    kv::engine_mem::fill(m, 0, a.size);
    plat_printk("kovaAPI: %s addr %llx uccnum=%d\n", a.name,
                (unsigned long long)plat_shown_address(m), int(u));
    return true;
}

} // namespace
} // namespace kv::engine

extern "C" {

int ucc_is_eth(int uccnum) { return uccnum <= 3 ? 1 : 0; }

int kovaAPIInitKovaUcc(uint32_t uccnum) {
    using namespace kv::engine;
    plat_printk("kovaAPI: init UCC num %d\n", int(uccnum));
    if (uccnum >= KOVA_UCCS || !kova.kovaUCCPRAM[uccnum] || !kova.kovaCOREPRAM)
        return int(KOVA_ERR_INVALID);
    const uint32_t u = uccnum;
    set_init_bit(u, false);
    if (kova.kovaUCCparameters[u]) {
        if (!ucc_is_eth(int(u)))
            return 0;
        plat_printk("kovaAPI: init of UCC num %d FAILED\n", int(u));
        return int(KOVA_ERR_NO_MEMORY);
    }
    uint8_t *pram = kova.kovaUCCPRAM[u];
    kv::engine_mem::fill(pram, 0, kUccPramRecord);
    kova.kovaUCCparameters[u] = XX_Malloc(20);
    if (!kova.kovaUCCparameters[u]) {
        plat_printk("kovaAPI: no memory for kovaUCCparameters uccnum=%d\n", int(u));
        return int(KOVA_ERR_NO_MEMORY);
    }
    kv::engine_mem::store32(pram + kPramWord470, 0);
    kv::engine_mem::store8(pram + kPramByte4790, 0);
    kv::engine_mem::store8(pram + kPramByte4791, 0);
    if (!set_up_area(u, kCnt) || !set_up_area(u, kOq))
        return int(KOVA_ERR_NO_MEMORY);
    kv::engine_mem::store16(pram + kPramHalf194, 64);
    if (!set_up_area(u, kIc))
        return int(KOVA_ERR_NO_MEMORY);
    if (!ucc_is_eth(int(u)) && !set_up_area(u, kOnuIc))
        return int(KOVA_ERR_NO_MEMORY);
    kv::engine_mem::store32(pram + kPramWord116, 36864);
    kv::engine_mem::store32(pram + kPramWord120, 6286);
    kv::engine_mem::store32(pram + kPramWord340, 0);
    set_init_bit(u, true);
    plat_printk("kovaAPI: UCC init finished uccnum=%d\n", int(u));
    return 0;
}

int kovaAPIIsUCCInitialized(int uccnum, const char *caller) {
    if (uccnum < 0 || uccnum > 35) {
        plat_printk("kovaAPI: UCC number out of range, uccnum = %d from %s\n", uccnum,
                    caller ? caller : "");
        return int(KOVA_ERR_INVALID);
    }
    if (kova.init_magic != KOVA_INIT_MAGIC) {
        plat_printk("kovaAPI: kovaAPI not initialized yet");
        return int(KOVA_ERR_NOT_INITIALIZED);
    }
    if (!kova.kovaUCCPRAM[uccnum]) {
        plat_printk("kovaAPI: UCC not initialized, uccnum = %d", uccnum);
        return int(KOVA_ERR_INTERNAL);
    }
    if (!kova.kovaUCCparameters[uccnum]) {
        plat_printk("kovaAPI: UCC not initialized yet, uccnum = %d", uccnum);
        return int(KOVA_ERR_NOT_INITIALIZED);
    }
    return 0;
}

uint64_t cnxk_tim_cntvct(void) { return plat_timer_count(); }

} // extern "C"
