#include "flow/slots.h"

#include "lib/once.h"
#include "platform.h"

namespace kv::slots {

uint32_t take() {
    if (kova.ext_free_used >= KOVA_OVERFLOW_SLOTS)
        return KOVA_NO_SLOT;
    const uint32_t slot = kova.ext_free_list[kova.ext_free_used];
    if (slot >= KOVA_LUT_ENTRIES)
        return KOVA_NO_SLOT;
    ++kova.ext_free_used;
    return slot;
}

bool give_back(uint32_t slot) {
    if (kova.ext_free_used == 0)
        return false;
    kova.ext_free_list[--kova.ext_free_used] = slot;
    return true;
}

void release_record(uint32_t slot) {
    kova_LUT_INFO &r = kova.lut_info[slot];
    write_once(r.in_use, uint16_t(0));
    r.is_extended = 0;
    r.ucc = 0;
    r.appflowid = KOVA_NO_SLOT;
    r.ext_appflowid = 0;
    r.prev_flowid = KOVA_NO_SLOT;
}

} // namespace kv::slots
