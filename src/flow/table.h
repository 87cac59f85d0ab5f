// Small accessors over the two copies of the flow table.
#pragma once

#include <stdint.h>

#include "flow/ctrl.h"
#include "lib/bytes.h"

namespace kv::table {

inline uint8_t *shadow(uint32_t slot) { return kova.lut_info[slot].lut_cpu; }

// Kernel address of an engine address.
inline uint8_t *qe_to_kernel(uint64_t engine_addr) {
    return kova.hashtable_base_qe_remapped + (engine_addr - kova.hashtable_base_qe);
}

inline uint32_t crc_of(const uint8_t *entry) { return bytes::get_le32(entry + KOVA_LUT_OFF_CRC32); }

inline uint64_t link(const uint8_t *entry, uint32_t field) {
    return bytes::get_le64(entry + field);
}
inline void set_link(uint8_t *entry, uint32_t field, uint64_t v) {
    bytes::put_le64(entry + field, v);
}

// Slot of a shadow entry address (a CPU link); may be out of range for a
// corrupted link, which callers check.
inline uint64_t slot_of_cpu(uint64_t cpu_addr) {
    return (cpu_addr - uint64_t(uintptr_t(kova.hashtable_base_cpu))) / KOVA_LUT_SIZE;
}

// A shadow entry counts as empty when its crc32 and the words at bytes 4, 8
// and 12 (the MAC addresses) are all zero.
inline bool shadow_is_empty(const uint8_t *entry) {
    return bytes::get_le32(entry + KOVA_LUT_OFF_CRC32) == 0 && bytes::get_le32(entry + 4) == 0 &&
           bytes::get_le32(entry + 8) == 0 && bytes::get_le32(entry + 12) == 0;
}

} // namespace kv::table
