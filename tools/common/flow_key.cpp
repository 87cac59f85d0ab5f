// The flow key: the entry builder's own key bytes (flow/key.h), and their
// CRC.
#include "flow_key.h"

#include <cstring>

#include "flow/key.h"

namespace {

// kova_crc32 eight bytes at a time (slicing by 8): the engine's hash unit
// gives the CRC with the packet, and a simulator that hashed byte by byte
// would spend more on the hash than on the walk it measures. The same
// function as kova_crc32 (IEEE 802.3, reflected polynomial 0xEDB88320).
struct CrcTables {
    uint32_t t[8][256];
    CrcTables() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int b = 0; b < 8; ++b)
                c = c & 1 ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            t[0][i] = c;
        }
        for (int k = 1; k < 8; ++k)
            for (uint32_t i = 0; i < 256; ++i)
                t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    }
};

uint32_t le32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t crc_sliced(const uint8_t *p, unsigned n) {
    static const CrcTables tables;
    const auto &t = tables.t;
    uint32_t crc = 0xFFFFFFFFu;
    for (; n >= 8; p += 8, n -= 8) {
        const uint32_t lo = le32(p) ^ crc, hi = le32(p + 4);
        crc = t[7][lo & 0xFF] ^ t[6][lo >> 8 & 0xFF] ^ t[5][lo >> 16 & 0xFF] ^ t[4][lo >> 24] ^
              t[3][hi & 0xFF] ^ t[2][hi >> 8 & 0xFF] ^ t[1][hi >> 16 & 0xFF] ^ t[0][hi >> 24];
    }
    for (; n; ++p, --n)
        crc = (crc >> 8) ^ t[0][(crc ^ *p) & 0xFF];
    return ~crc;
}

} // namespace

extern "C" {

void kova_flow_key_make(const kova_FLOW *flow, struct kova_flow_key *key) {
    uint8_t entry[KOVA_FLOW_KEY_ENTRY_OFF + KOVA_FLOW_KEY_LEN] = {};
    kv::key::write(entry, *flow);
    kova_flow_key_from_entry(entry, key);
}

void kova_flow_key_from_entry(const void *entry, struct kova_flow_key *key) {
    std::memcpy(key->bytes, static_cast<const uint8_t *>(entry) + KOVA_FLOW_KEY_ENTRY_OFF,
                KOVA_FLOW_KEY_LEN);
}

uint32_t kova_flow_key_crc(const struct kova_flow_key *key) {
    return crc_sliced(key->bytes, KOVA_FLOW_KEY_LEN);
}

} // extern "C"
