// Slot bookkeeping shared by creation, deletion and extended flows: the
// overflow free stack, slot records, and the table lock taken unless the
// caller holds it.
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

// kovaAPI_lock, taken unless the caller already holds it.
class TableLock {
public:
    // ok() is false when the lock could not be taken; the shared message is
    // logged then. With lock_held the lock must be held by the calling
    // thread; the platform stops with a report when it is not.
    TableLock(uint32_t lock_held, const char *op);
    bool ok() const { return ok_; }
    // Releases it if this call took it (at most once).
    void release();

private:
    const char *op_;
    bool took_ = false;
    bool ok_ = true;
};

} // namespace kv::slots
