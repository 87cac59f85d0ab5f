// User memory in the host build: the "user" is this same process, so a user
// address is an ordinary pointer and its physical address is the address
// itself. Copies still go through the kernel (process_vm_readv/writev on our
// own pid) so that a handler given a bad pointer sees a short copy, as it
// would in the kernel, instead of taking the test process down with it.
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kova/host.h"
#include "platform.h"

namespace {

// The kernel never maps the first page, and the module must treat a pointer
// into it as a fault, not as data.
constexpr uint64_t kLowestUserAddress = 4096;

std::atomic<long> copy_limit{-1};
std::atomic<long> pins_live{0};
// Cleared when the kernel refuses the self-copy syscalls (seccomp, old
// kernels); then a plain memcpy is the best we can do.
std::atomic<bool> checked_copies{true};

struct Pin {
    uint64_t addr;
    uint64_t len;
};

// The bytes of [user, user + n) that may be touched at all, before looking
// at mappings: none for the first page or a range that wraps.
bool plausible(const void *user, unsigned long n) {
    uint64_t a = reinterpret_cast<uintptr_t>(user);
    return a >= kLowestUserAddress && a + n >= a;
}

// A pending injected limit applies to exactly one copy.
unsigned long take_limit(unsigned long n) {
    long k = copy_limit.exchange(-1);
    if (k >= 0 && static_cast<unsigned long>(k) < n)
        return static_cast<unsigned long>(k);
    return n;
}

// Copies n bytes between the module and the process's memory; returns the
// bytes copied (a prefix, ending where the user range stops being accessible).
unsigned long self_copy(void *to, const void *from, unsigned long n, bool to_user) {
    if (n == 0)
        return 0;
    if (checked_copies.load(std::memory_order_relaxed)) {
        void *user = to_user ? to : const_cast<void *>(from);
        void *local = to_user ? const_cast<void *>(from) : to;
        iovec l{local, n};
        iovec r{user, n};
        ssize_t done = to_user ? process_vm_writev(getpid(), &l, 1, &r, 1, 0)
                               : process_vm_readv(getpid(), &l, 1, &r, 1, 0);
        if (done >= 0)
            return static_cast<unsigned long>(done);
        if (errno == EFAULT)
            return 0;
        checked_copies = false;
    }
    std::memcpy(to, from, n);
    return n;
}

// Whether [addr, addr + len) lies wholly inside readable and writable
// mappings of this process. The range may run across several adjacent
// mappings (one mmap that a later mprotect split, or separate neighbours).
bool mapped_rw(uint64_t addr, uint64_t len) {
    FILE *f = std::fopen("/proc/self/maps", "re");
    if (!f)
        return false;
    uint64_t need = addr; // first byte not yet known to be covered
    const uint64_t end = addr + len;
    char line[512];
    while (need < end && std::fgets(line, sizeof line, f)) {
        unsigned long long lo = 0, hi = 0;
        char perms[8] = {};
        if (std::sscanf(line, "%llx-%llx %7s", &lo, &hi, perms) != 3)
            continue;
        if (hi <= need)
            continue;
        // The entries are sorted; the first one ending past `need` must
        // start at or before it, or there is a hole.
        if (lo > need || perms[0] != 'r' || perms[1] != 'w')
            break;
        need = hi;
    }
    std::fclose(f);
    return need >= end;
}

} // namespace

extern "C" {

unsigned long plat_copy_from_user(void *to, const void *from, unsigned long n) {
    unsigned long want = n ? take_limit(n) : 0;
    unsigned long done = plausible(from, n) ? self_copy(to, from, want, false) : 0;
    if (done < n)
        std::memset(static_cast<char *>(to) + done, 0, n - done);
    return n - done;
}

unsigned long plat_copy_to_user(void *to, const void *from, unsigned long n) {
    unsigned long want = n ? take_limit(n) : 0;
    unsigned long done = plausible(to, n) ? self_copy(to, from, want, true) : 0;
    return n - done;
}

void kova_host_user_copy_checked(int on) { checked_copies = on != 0; }

void *plat_pin_user(uint64_t user_addr, uint64_t len, uint64_t *phys) {
    if (len == 0 || user_addr < kLowestUserAddress || user_addr + len < user_addr)
        return nullptr;
    if (!mapped_rw(user_addr, len))
        return nullptr;
    Pin *pin = new Pin{user_addr, len};
    ++pins_live;
    if (phys)
        *phys = user_addr;
    return pin;
}

void plat_unpin_user(void *pin) {
    if (!pin)
        return;
    delete static_cast<Pin *>(pin);
    --pins_live;
}

void *plat_phys_to_virt(uint64_t phys) { return reinterpret_cast<void *>(static_cast<uintptr_t>(phys)); }

long kova_host_pins_live(void) { return pins_live.load(); }

void kova_host_user_copy_limit(long k) { copy_limit = k < 0 ? -1 : k; }

} // extern "C"
