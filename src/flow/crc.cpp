// CRC-32 of IEEE 802.3, reflected, one table lookup per byte.
#include "kova_internal.h"

namespace kv::crc {

// Plain zero-initialised globals: no constructor may run before the module's
// init, so the table is filled on the first call instead.
uint32_t table[256];
bool tableInitialised;

namespace {

constexpr uint32_t kPolynomial = 0x04C11DB7u;

// Built from the MSB-first polynomial and mirrored, rather than from the
// reflected constant, so that each entry is derived the same way the
// generator is written down.
uint32_t table_entry(uint32_t index) {
    uint32_t r = reverseBits(index, 8) << 24;
    for (int bit = 0; bit < 8; ++bit) {
        const bool out = (r & 0x80000000u) != 0;
        r <<= 1;
        if (out)
            r ^= kPolynomial;
    }
    return reverseBits(r, 32);
}

// No lock: two first callers racing both store the same values, and the
// release on the flag publishes a complete table to later acquirers.
void build_table() {
    for (uint32_t i = 0; i < 256; ++i)
        __atomic_store_n(&table[i], table_entry(i), __ATOMIC_RELAXED);
    __atomic_store_n(&tableInitialised, true, __ATOMIC_RELEASE);
}

} // namespace
} // namespace kv::crc

extern "C" {

uint32_t reverseBits(uint32_t value, uint32_t bits) {
    uint32_t out = 0;
    for (uint32_t i = 0; i < bits; ++i) {
        out = (out << 1) | (value & 1u);
        value >>= 1;
    }
    return out;
}

// No initial value and no final inversion here: callers carry the register
// across calls, so a key split over several buffers costs nothing extra.
uint32_t PartialCRC(uint32_t crc, const void *data, uint32_t count) {
    using namespace kv::crc;
    if (!__atomic_load_n(&tableInitialised, __ATOMIC_ACQUIRE))
        build_table();
    const uint8_t *p = static_cast<const uint8_t *>(data);
    for (uint32_t i = 0; i < count; ++i)
        crc = (crc >> 8) ^ table[(crc ^ p[i]) & 0xFFu];
    return crc;
}

uint32_t kova_crc32(const void *data, uint32_t count) {
    return PartialCRC(0xFFFFFFFFu, data, count) ^ 0xFFFFFFFFu;
}

} // extern "C"
