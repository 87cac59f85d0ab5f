/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The board's fixed physical areas that a machine without the board backs
 * with module memory. Plain macros so that C (the shim) and C++ (the
 * compile-time comparison with src/engine/memory_map.h in
 * areas_match.cpp) read the same numbers.
 */
#ifndef KOVA_BOARDLESS_AREAS_H
#define KOVA_BOARDLESS_AREAS_H

#define KOVA_BL_ETH_PORTS 4
#define KOVA_BL_MAC_STATS_PHYS 0x87E0E0000070ull
#define KOVA_BL_MAC_STATS_STRIDE 0x40000ull
#define KOVA_BL_MAC_STATS_SIZE 1824ull
#define KOVA_BL_RX_STATS_PHYS 0x840040024500ull
#define KOVA_BL_TX_STATS_PHYS 0x840040024400ull
#define KOVA_BL_PORT_STATS_STRIDE 0x20000ull
#define KOVA_BL_RX_STATS_SIZE 96ull
#define KOVA_BL_TX_STATS_SIZE 40ull
#define KOVA_BL_REG_BLOCK_PHYS 0xFFE0410F0ull
#define KOVA_BL_REG_BLOCK_SIZE 532ull

/*
 * The per-UCC CNT, OQ, IC and ONU IC areas overlap one another on the board
 * (the high UCCs' CNT areas run into the low UCCs' OQ areas, and so on), so
 * one window backs them all and overlapping mappings alias as they do there.
 * It ends with the last UCC's IC area.
 */
#define KOVA_BL_UCCS 40ull
#define KOVA_BL_UCC_WINDOW_PHYS 0x6000F11600ull /* the first CNT area */
#define KOVA_BL_IC_PHYS 0x6003993C00ull
#define KOVA_BL_IC_STRIDE 0xC4000ull
#define KOVA_BL_UCC_WINDOW_END (KOVA_BL_IC_PHYS + KOVA_BL_UCCS * KOVA_BL_IC_STRIDE)

#endif /* KOVA_BOARDLESS_AREAS_H */
