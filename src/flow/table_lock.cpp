#include "flow/table_lock.h"

#include "kova/kovaAPI.h"
#include "platform.h"

extern "C" {

int32_t acquire_ucode_lock(const char *, int) {
    plat_might_sleep();
    plat_mutex_lock(&kovaAPI_lock);
    return 0;
}

void release_ucode_lock(const char *, int) { plat_mutex_unlock(&kovaAPI_lock); }

} // extern "C"

namespace kv {

TableLock::TableLock(uint32_t lock_held, const char *op) : op_(op) {
    if (lock_held) {
        // Nothing but the caller's lock_held stands between this table edit
        // and another writer's: check it.
        plat_mutex_assert_held(&kovaAPI_lock);
        return;
    }
    // It waits as long as it takes and always returns 0.
    (void)acquire_ucode_lock(op, __LINE__);
    took_ = true;
}

void TableLock::release() {
    if (took_)
        release_ucode_lock(op_, __LINE__);
    took_ = false;
}

uint32_t internal_error(TableLock *lock, const char *file, int line) {
    if (lock)
        lock->release();
    plat_printk("kovaAPI: internal error %s %d", file, line);
    return KOVA_ERR_INTERNAL;
}

} // namespace kv
