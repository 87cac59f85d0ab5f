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

} // namespace kv::slots
