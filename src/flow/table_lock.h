// kovaAPI_lock, the one lock every change of the flow table, the engine
// view and the slot records is made under, and the path that reports a
// broken invariant found while holding it.
#pragma once

#include <stdint.h>

#include "kova_internal.h"

namespace kv {

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
#define KOVA_INTERNAL_ERROR(lock) kv::internal_error((lock), __FILE_NAME__, __LINE__)

} // namespace kv
