// Explicit byte-order access to shared formats. Entries and parameter words
// are little-endian for the engine whatever the CPU's order; some key fields
// are big-endian (network order). Never read a shared format through a host
// struct's own layout.
#pragma once

#include <stdint.h>

namespace kv::bytes {

inline void put_le16(uint8_t *p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void put_le32(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
inline void put_le64(uint8_t *p, uint64_t v) {
    put_le32(p, uint32_t(v));
    put_le32(p + 4, uint32_t(v >> 32));
}
inline void put_be16(uint8_t *p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
inline void put_be32(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
inline uint16_t get_le16(const uint8_t *p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t get_le32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t get_le64(const uint8_t *p) {
    return uint64_t(get_le32(p)) | uint64_t(get_le32(p + 4)) << 32;
}
inline uint16_t get_be16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }
inline uint32_t get_be32(const uint8_t *p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

// A value in the CPU's own order (callers' 16-bit IPv6 groups).
inline uint16_t load_native16(const void *p) {
    uint16_t v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

// A value in the engine's byte order (little-endian), whatever the CPU's.
template <typename T> inline T cpu_to_le(T v) {
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    if constexpr (sizeof(T) == 8)
        return __builtin_bswap64(v);
    else if constexpr (sizeof(T) == 4)
        return __builtin_bswap32(v);
    else
        return __builtin_bswap16(v);
#else
    return v;
#endif
}
inline uint32_t cpu_to_le32(uint32_t v) { return cpu_to_le(v); }
inline uint64_t cpu_to_le64(uint64_t v) { return cpu_to_le(v); }

// Engine words are written through lib/engine_mem.h only.
inline uint32_t load_le32_once(const uint8_t *p) {
    return cpu_to_le32(__atomic_load_n(reinterpret_cast<const uint32_t *>(p), __ATOMIC_RELAXED));
}

} // namespace kv::bytes
