// Reading and clearing counters that something else keeps counting: the
// engine's counter records and the ports' statistics registers.
#pragma once

#include <stdint.h>

#include "lib/bytes.h"
#include "platform.h"

namespace kv::counters {

// A 64-bit statistics register: one access, as the device needs it. The
// device counts, and other callers read and clear, at any time.
inline uint64_t reg_read(const uint8_t *block, uint32_t off) { return plat_reg_read64(block, off); }
inline void reg_clear(uint8_t *block, uint32_t off) { plat_reg_write64(block, off, 0); }

// A little-endian engine counter. An aligned word is read in one load so a
// carry into the upper half cannot be seen half done; the records of the
// shared map are always aligned, the byte path is only a safety net.
inline uint64_t cnt_le64(const uint8_t *p) {
    if ((reinterpret_cast<uintptr_t>(p) & 7) == 0) {
        uint64_t v = __atomic_load_n(reinterpret_cast<const uint64_t *>(p), __ATOMIC_RELAXED);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        v = __builtin_bswap64(v);
#endif
        return v;
    }
    return kv::bytes::get_le64(p);
}
inline uint32_t cnt_le32(const uint8_t *p) {
    if ((reinterpret_cast<uintptr_t>(p) & 3) == 0)
        return kv::bytes::load_le32_once(p);
    return kv::bytes::get_le32(p);
}

} // namespace kv::counters
