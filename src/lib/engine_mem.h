// The one way the core writes memory the engine reads: the flow table's
// engine copy, the parameter areas, the lookup masks, the shaper, policer
// and storm-control records and the counter records. The engine reads all
// of it without a lock, so
//   - a word is written in one store of its width, in the engine's byte
//     order (little-endian), never through a host struct's layout;
//   - a longer body is copied or filled only where the engine does not
//     yet (or no longer) reads it, each aligned word of it in one store,
//     since the queries and the dumps may still read it;
//   - barrier() orders what was written before whatever comes next.
// Every write is reported to plat_engine_write_observed: the table's
// primitives (memcpyQE and its family) report the offset in the table, the
// writes below the module's address of the first byte written.
// Device registers are not memory: plat_reg_read64/plat_reg_write32/64.
#pragma once

#include <stdint.h>

#include "lib/bytes.h"
#include "platform.h"

namespace kv::engine_mem {

// The stores alone, unreported: for the table's primitives, which report
// their writes with table offsets.
// One aligned store of the word's width: the engine never sees it torn.
template <typename T> inline void put_once(uint8_t *p, T v) {
    __atomic_store_n(reinterpret_cast<T *>(p), bytes::cpu_to_le(v), __ATOMIC_RELAXED);
}
inline void put_once(uint8_t *p, uint8_t v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }
void copy_pieces(uint8_t *dst, const uint8_t *src, unsigned long n);
void fill_pieces(uint8_t *dst, uint8_t value, unsigned long n);

// Reported writes to the engine's areas outside the table. A word aligned to
// its width is one store; a packed record's unaligned field cannot be, and
// is written byte by byte.
void store8(uint8_t *p, uint8_t v);
void store16(uint8_t *p, uint16_t v);
void store32(uint8_t *p, uint32_t v);
void store64(uint8_t *p, uint64_t v);
void copy(uint8_t *dst, const void *src, unsigned long n);
void fill(uint8_t *dst, uint8_t value, unsigned long n);

inline void barrier() { plat_full_barrier(); }

} // namespace kv::engine_mem
