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

// kovaAPI_lock for the scope of one table operation, taken unless the
// caller already holds it, and released when the scope ends if this scope
// took it. Taking it waits until it is free; it cannot fail.
class TableLock {
public:
    // With lock_held the lock must be held by the calling thread; the
    // platform stops with a report when it is not.
    TableLock(uint32_t lock_held, const char *op);
    ~TableLock() { release(); }
    TableLock(const TableLock &) = delete;
    TableLock &operator=(const TableLock &) = delete;
    // Releases it now, before the scope ends (at most once).
    void release();

private:
    const char *op_;
    bool took_ = false;
};

// A broken table invariant: releases the lock (when one is given) before
// the message, logs the file and line of the failed check and returns
// KOVA_ERR_INTERNAL.
uint32_t internal_error(TableLock *lock, const char *file, int line);
#define KOVA_INTERNAL_ERROR(lock) kv::slots::internal_error((lock), __FILE_NAME__, __LINE__)

} // namespace kv::slots
