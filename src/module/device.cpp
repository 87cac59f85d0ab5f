// /dev/kova: the engine attaches its shared area with an ioctl, and a read
// returns a copy of the area's first 40 MiB.
#include "module/device.h"

#include "engine/attach.h"
#include "flow/ctrl.h"
#include "flow/engine_view.h"
#include "lib/errno.h"
#include "lib/log.h"

namespace {

using kv::err::kEFAULT;
using kv::err::kEINVAL;

uint32_t ioctl_nr(unsigned int cmd) { return cmd & 0xFFu; }
uint32_t ioctl_size(unsigned int cmd) { return (cmd >> 16) & 0x3FFFu; }

// The engine changes its area while it is copied (its counters; the
// republishing of a re-attach of the same area): the copy is a snapshot,
// each word old or new. Out of line, so that the thread sanitizer's
// suppression can name this copy alone (tests/tsan.supp).
__attribute__((noinline)) unsigned long copy_engine_window(char *buf, const uint8_t *from,
                                                           uint64_t n) {
    return plat_copy_to_user(buf, from, n);
}

} // namespace

extern "C" {

int kova_open(struct plat_inode *, struct plat_file *) {
    plat_printk("/dev/kova opened");
    return 0;
}

int kova_release(struct plat_inode *, struct plat_file *) {
    plat_printk("/dev/kova released\n");
    return 0;
}

long kova_read(struct plat_file *, char *buf, size_t count, int64_t *pos) {
    // The engine may re-attach during the copy: the area read stays pinned.
    const kv::EngineReader engine;
    if (!engine.attached()) {
        plat_printk(KOVA_KERN_ERR "kova device not configured yet");
        return -1;
    }
    const uint64_t at = *pos < 0 ? KOVA_DEV_WINDOW : uint64_t(*pos);
    const uint64_t left = at >= KOVA_DEV_WINDOW ? 0 : KOVA_DEV_WINDOW - at;
    const uint64_t n = count < left ? count : left;
    if (n == 0) {
        // The next read starts again at the beginning of the window.
        plat_printk("kovaAPI: end of buffer");
        *pos = 0;
        return 0;
    }
    const unsigned long done = n - copy_engine_window(buf, engine.view()->area + at, n);
    // Nothing copied is a fault: 0 would tell the reader it met the end.
    if (done == 0)
        return kEFAULT;
    *pos += int64_t(done);
    return long(done);
}

long kova_ioctl(struct plat_file *, unsigned int cmd, unsigned long arg) {
    plat_might_sleep();
    const uint32_t nr = ioctl_nr(cmd);
    if (nr == 1)
        return kEINVAL;
    if (nr != KOVA_IOC_ATTACH_NR) {
        plat_printk("kovaAPI: unhandled ioctl num=0x%0x param=0x%0lx", cmd, arg);
        return kEINVAL;
    }
    if (ioctl_size(cmd) > sizeof(kova_attach_args))
        return kEINVAL;
    // Whatever the size field says, the payload is the whole record.
    kova_attach_args args;
    if (plat_copy_from_user(&args, reinterpret_cast<const void *>(arg), sizeof args) != 0)
        return kEFAULT;
    return kv::engine::attach(args);
}

const struct kova_file_ops kova_fops = {
    kova_open, kova_release, kova_read, nullptr, kova_ioctl,
};

} // extern "C"
