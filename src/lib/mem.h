// Memory helpers shared by the subsystems.
#pragma once

namespace kv {

// Fills n bytes in 64-byte pieces: the unit every table and area write uses.
inline void fill_in_pieces(unsigned char *p, unsigned char value, unsigned long n) {
    while (n > 64) {
        __builtin_memset(p, value, 64);
        p += 64;
        n -= 64;
    }
    __builtin_memset(p, value, n);
}

inline void clear_in_pieces(unsigned char *p, unsigned long n) { fill_in_pieces(p, 0, n); }

// Copies n bytes in the same 64-byte pieces.
inline void copy_in_pieces(unsigned char *dst, const unsigned char *src, unsigned long n) {
    while (n > 64) {
        __builtin_memcpy(dst, src, 64);
        dst += 64;
        src += 64;
        n -= 64;
    }
    __builtin_memcpy(dst, src, n);
}

} // namespace kv
