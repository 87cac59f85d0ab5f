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

// The queries read an entry's counter words while a reused slot gets its
// new body, the dumps walk links while they change, and the engine reads
// whatever it reaches: each naturally aligned word of the range goes in one
// store of its width, so a reader sees it old or new, never torn.
template <typename T> void put_piece(uint8_t *dst, const uint8_t *src) {
    T v;
    __builtin_memcpy(&v, src, sizeof v);
    __atomic_store_n(reinterpret_cast<T *>(dst), v, __ATOMIC_RELAXED);
}

// The widest of 8, 4, 2 and 1 bytes that p is aligned to and n holds.
unsigned long piece_at(const uint8_t *p, unsigned long n) {
    unsigned long w = 8;
    while (w > 1 && ((uintptr_t(p) & (w - 1)) != 0 || n < w))
        w /= 2;
    return w;
}

void put_pieces(uint8_t *dst, const uint8_t *src, bool advance_src, unsigned long n) {
    while (n) {
        const unsigned long w = piece_at(dst, n);
        if (w == 8)
            put_piece<uint64_t>(dst, src);
        else if (w == 4)
            put_piece<uint32_t>(dst, src);
        else if (w == 2)
            put_piece<uint16_t>(dst, src);
        else
            put_piece<uint8_t>(dst, src);
        dst += w;
        src += advance_src ? w : 0;
        n -= w;
    }
}

} // namespace

void copy_pieces(uint8_t *dst, const uint8_t *src, unsigned long n) {
    put_pieces(dst, src, true, n);
}

void fill_pieces(uint8_t *dst, uint8_t value, unsigned long n) {
    uint8_t word[8];
    __builtin_memset(word, value, sizeof word);
    put_pieces(dst, word, false, n);
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
