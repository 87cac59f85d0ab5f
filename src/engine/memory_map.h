// The board's fixed physical areas and the layout of the parameter areas.
#pragma once

#include <stdint.h>

namespace kv::engine {

// Hardware statistics blocks of Ethernet ports 0..3.
inline constexpr uint32_t kEthPorts = 4;
inline constexpr uint64_t kMacStatsPhys = 0x87E0E0000070ull, kMacStatsStride = 0x40000,
                          kMacStatsSize = 1824;
inline constexpr uint64_t kRxStatsPhys = 0x840040024500ull, kPortStatsStride = 0x20000,
                          kRxStatsSize = 96;
inline constexpr uint64_t kTxStatsPhys = 0x840040024400ull, kTxStatsSize = 40;

// Register block programmed once at load.
inline constexpr uint64_t kRegBlockPhys = 0xFFE0410F0ull;
inline constexpr uint32_t kRegBlockSize = 532;

// Parameter areas: module memory, logged with the addresses they stand for.
inline constexpr uint32_t kUccPramSize = 8192;
inline constexpr uint32_t kUccPramRecord = 4802; // kova_UCC_PRAM, cleared at UCC init
inline constexpr uint64_t kUccPramNominal = 0x171000000ull;
inline constexpr uint32_t kCorePramSize = 768;
inline constexpr uint64_t kCorePramNominal = 0x171008000ull;
inline constexpr uint32_t kCoreInitBitmap = 231; // byte: one bit per UCC mod 32, low 8 bits only
inline constexpr uint32_t kCoreWord680 = 680;

// kova_UCC_PRAM offsets the module writes (host byte order).
inline constexpr uint32_t kPramWord116 = 116, kPramWord120 = 120, kPramHalf194 = 194,
                          kPramWord340 = 340;
inline constexpr uint32_t kPramOq = 360, kPramOnuOq = 368, kPramIc = 444, kPramOnuIc = 452,
                          kPramStorm = 460;
inline constexpr uint32_t kPramWord470 = 470, kPramCnt = 4674, kPramByte4790 = 4790,
                          kPramByte4791 = 4791;
static_assert(kPramByte4791 < kUccPramRecord && kUccPramRecord <= kUccPramSize,
              "record fits its area");

// Per-UCC areas before an attach.
inline constexpr uint64_t kCntEthPhys = 0x6000F11600ull, kCntEthSize = 152;
inline constexpr uint64_t kCntPhys = 0x6000F11860ull,
                          kCntSize = 0x98000; // UCC u >= 4 at + size * (u - 4)
inline constexpr uint64_t kOqPhys = 0x6001891C00ull, kOqStride = 0x128000, kOqEthSize = 296;
inline constexpr uint64_t kIcPhys = 0x6003993C00ull, kIcStride = 0xC4000, kIcEthSize = 196;
inline constexpr uint64_t kOnuIcPhys = 0x6004FEBC00ull, kOnuIcSize = 0x3000;
static_assert(kCntEthPhys + 4 * kCntEthSize == kCntPhys, "the CNT areas are contiguous");

enum AreaKind : uint32_t { kCnt = 0, kOq = 1, kIc = 2, kOnuIc = 3 };

} // namespace kv::engine
