// Memory helpers shared by the subsystems.
#pragma once

namespace kv {

// Zeroes n bytes in 64-byte pieces: the unit every table and area clear uses.
inline void clear_in_pieces(unsigned char *p, unsigned long n) {
    while (n > 64) {
        __builtin_memset(p, 0, 64);
        p += 64;
        n -= 64;
    }
    __builtin_memset(p, 0, n);
}

} // namespace kv
