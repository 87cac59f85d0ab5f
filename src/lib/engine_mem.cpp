#include "lib/engine_mem.h"

namespace kv::engine_mem {
namespace {

uint64_t where(const uint8_t *p) { return uint64_t(uintptr_t(p)); }

// A field of a packed record (the parameter areas) may sit off its width's
// alignment, where no single store exists: it goes byte by byte, low byte
// first.
template <typename T> void store_word(uint8_t *p, T v) {
    if ((uintptr_t(p) & (sizeof(T) - 1)) == 0) {
        put_once(p, v);
    } else {
        for (unsigned i = 0; i < sizeof(T); ++i)
            p[i] = uint8_t(uint64_t(v) >> (8 * i));
    }
    plat_engine_write_observed(PLAT_ENGINE_AREA_STORE, where(p), sizeof(T), uint32_t(v),
                               uint64_t(v));
}

} // namespace

void copy_pieces(uint8_t *dst, const uint8_t *src, unsigned long n) {
    while (n > 64) {
        __builtin_memcpy(dst, src, 64);
        dst += 64;
        src += 64;
        n -= 64;
    }
    __builtin_memcpy(dst, src, n);
}

void fill_pieces(uint8_t *dst, uint8_t value, unsigned long n) {
    while (n > 64) {
        __builtin_memset(dst, value, 64);
        dst += 64;
        n -= 64;
    }
    __builtin_memset(dst, value, n);
}

void store8(uint8_t *p, uint8_t v) { store_word(p, v); }
void store16(uint8_t *p, uint16_t v) { store_word(p, v); }
void store32(uint8_t *p, uint32_t v) { store_word(p, v); }
void store64(uint8_t *p, uint64_t v) { store_word(p, v); }

void copy(uint8_t *dst, const void *src, unsigned long n) {
    copy_pieces(dst, static_cast<const uint8_t *>(src), n);
    plat_engine_write_observed(PLAT_ENGINE_AREA_COPY, where(dst), n, 0, 0);
}

void fill(uint8_t *dst, uint8_t value, unsigned long n) {
    fill_pieces(dst, value, n);
    plat_engine_write_observed(PLAT_ENGINE_AREA_FILL, where(dst), n, value, 0);
}

} // namespace kv::engine_mem
