#include "flow/republish.h"

#include "flow/ctrl.h"
#include "flow/publish.h"
#include "flow/table.h"
#include "lib/bytes.h"
#include "platform.h"

namespace kv::publish {
namespace {

constexpr uint32_t kLinkFields[] = {KOVA_LUT_OFF_NEXT_CRC12, KOVA_LUT_OFF_NEXT_CRC32,
                                    KOVA_LUT_OFF_NEXT_EXT};

uint32_t valid_word(const uint8_t *previous_area, uint32_t slot) {
    const uint8_t *w = previous_area + uint64_t(slot) * KOVA_LUT_SIZE + KOVA_LUT_OFF_VALID;
    return bytes::load_le32_once(w) == KOVA_LUT_VALID_DETACHED ? KOVA_LUT_VALID_DETACHED
                                                               : KOVA_LUT_VALID_LIVE;
}

// The slot's entry without links, made valid with `valid`; a free slot is
// cleared and left invalid.
void entry_without_links(uint32_t slot, uint32_t valid) {
    const kova_LUT_INFO &r = kova.lut_info[slot];
    memsetQE32bit(r.lut_qe + KOVA_LUT_OFF_VALID, KOVA_LUT_VALID_OFF, 4, r.ucc);
    if (!r.in_use) {
        memsetQE(r.lut_qe, 0, KOVA_LUT_OFF_VALID, r.ucc);
        return;
    }
    auto *body = reinterpret_cast<uint8_t *>(kova.temp_lut);
    __builtin_memcpy(body, r.lut_cpu, KOVA_LUT_OFF_VALID);
    for (uint32_t field : kLinkFields)
        table::set_link(body, field, 0);
    memcpyQE(r.lut_qe, body, KOVA_LUT_OFF_VALID, r.ucc);
    memsetQE32bit(r.lut_qe + KOVA_LUT_OFF_VALID, valid, 4, r.ucc);
}

} // namespace

void republish_table(const uint8_t *previous_area) {
    plat_mutex_assert_held(&kovaAPI_lock);
    for (uint32_t s = 0; s < KOVA_LUT_ENTRIES; ++s)
        entry_without_links(s, kova.lut_info[s].in_use ? valid_word(previous_area, s) : 0);
    for (uint32_t s = 0; s < KOVA_LUT_ENTRIES; ++s) {
        const kova_LUT_INFO &r = kova.lut_info[s];
        if (!r.in_use)
            continue;
        for (uint32_t field : kLinkFields) {
            const uint64_t target = table::slot_of_cpu(table::link(r.lut_cpu, field));
            if (table::link(r.lut_cpu, field) != 0 && target < KOVA_LUT_ENTRIES)
                engine_link(r.lut_qe + field, kova.lut_info[target].lut_qe, r.ucc);
        }
    }
}

} // namespace kv::publish
