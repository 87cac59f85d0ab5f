// Slot bookkeeping shared by creation, deletion and extended flows: the
// overflow free stack and the slot records.
#pragma once

#include <stdint.h>

#include "flow/ctrl.h"

namespace kv::slots {

// Pops the next free overflow slot; KOVA_NO_SLOT when none is left or the
// stack's next entry is not a slot number (it is then left where it is).
uint32_t take();

// Pushes an overflow slot back; false when the stack is already full, a
// broken invariant.
[[nodiscard]] bool give_back(uint32_t slot);

// The record of a slot no flow owns any more.
void release_record(uint32_t slot);

inline bool is_overflow(uint64_t slot) {
    return slot >= KOVA_LUT_OVERFLOW_FIRST && slot < KOVA_LUT_ENTRIES;
}

} // namespace kv::slots
