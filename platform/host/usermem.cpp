// User memory in the host build. By default the "user" is this same
// process, so a user address is an ordinary pointer and its physical address
// is the address itself. Copies still go through the kernel
// (process_vm_readv/writev on our own pid) so that a handler given a bad
// pointer sees a short copy, as it would in the kernel, instead of taking the
// test process down with it.
//
// A thread can name another process as the caller (kova_host_set_caller):
// kova-sim does so while it serves a request from the engine simulator.
// Copies then read and write that process's memory, and a pin maps the
// shared file object behind the caller's range into this process, so the
// "physical address" of the area is our own address of the same pages.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
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
// Set by tests: an unpinned area of this process becomes inaccessible, so a
// write into it after the module gave it back faults at once.
std::atomic<bool> unpin_protects{false};

// The process named by kova_host_set_caller for this thread; 0 for this one.
thread_local int caller_pid = 0;

bool foreign_caller() { return caller_pid != 0 && caller_pid != getpid(); }

struct Pin {
    uint64_t addr;
    uint64_t len;
    void *map; // our mapping of another process's area, or null
    size_t map_len;
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
unsigned long user_copy(void *to, const void *from, unsigned long n, bool to_user) {
    if (n == 0)
        return 0;
    const bool foreign = foreign_caller();
    // Another process's memory can only be reached through the syscalls.
    if (foreign || checked_copies.load(std::memory_order_relaxed)) {
        void *user = to_user ? to : const_cast<void *>(from);
        void *local = to_user ? const_cast<void *>(from) : to;
        const pid_t pid = foreign ? caller_pid : getpid();
        iovec l{local, n};
        iovec r{user, n};
        ssize_t done = to_user ? process_vm_writev(pid, &l, 1, &r, 1, 0)
                               : process_vm_readv(pid, &l, 1, &r, 1, 0);
        if (done >= 0)
            return static_cast<unsigned long>(done);
        if (errno == EFAULT || foreign)
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

// One line of /proc/<pid>/maps.
struct MapLine {
    unsigned long long lo, hi, offset, inode;
    char perms[8];
    char path[4096];
};

bool parse_map_line(const char *line, MapLine *m) {
    unsigned dev_major = 0, dev_minor = 0;
    int used = 0;
    m->path[0] = '\0';
    if (std::sscanf(line, "%llx-%llx %7s %llx %x:%x %llu %n", &m->lo, &m->hi, m->perms, &m->offset,
                    &dev_major, &dev_minor, &m->inode, &used) != 7)
        return false;
    std::snprintf(m->path, sizeof m->path, "%s", line + used);
    m->path[std::strcspn(m->path, "\n")] = '\0';
    return true;
}

bool shared_rw(const MapLine &m) {
    return m.perms[0] == 'r' && m.perms[1] == 'w' && m.perms[3] == 's' && m.inode != 0;
}

// Finds the shared file mapping of process pid that holds [addr, addr + len):
// one maps line, or neighbours continuing the same file at consecutive
// offsets (a mapping that an mprotect split). *first is the line holding addr.
bool find_shared_range(int pid, uint64_t addr, uint64_t len, MapLine *first) {
    char name[64];
    std::snprintf(name, sizeof name, "/proc/%d/maps", pid);
    FILE *f = std::fopen(name, "re");
    if (!f)
        return false;
    const uint64_t end = addr + len;
    uint64_t need = addr;
    bool found = false;
    char line[4200];
    MapLine m;
    while (need < end && std::fgets(line, sizeof line, f)) {
        if (!parse_map_line(line, &m) || m.hi <= need)
            continue;
        if (m.lo > need || !shared_rw(m))
            break;
        if (!found) {
            *first = m;
            found = true;
        } else if (m.inode != first->inode || m.offset != first->offset + (m.lo - first->lo)) {
            break;
        }
        need = m.hi;
    }
    std::fclose(f);
    return found && need >= end;
}

// Maps [addr, addr + len) of process pid's shared file mapping into this
// process; returns our address of addr's byte, or null. The map_files entry
// needs CAP_SYS_ADMIN; without it the path shown in maps (a /dev/shm object)
// is opened, and accepted only if it is still the same file.
void *map_foreign(int pid, uint64_t addr, uint64_t len, void **map, size_t *map_len) {
    MapLine m;
    if (!find_shared_range(pid, addr, len, &m))
        return nullptr;
    char name[96];
    std::snprintf(name, sizeof name, "/proc/%d/map_files/%llx-%llx", pid, m.lo, m.hi);
    int fd = open(name, O_RDWR | O_CLOEXEC);
    if (fd < 0 && m.path[0] == '/')
        fd = open(m.path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    const uint64_t file_off = m.offset + (addr - m.lo);
    if (fstat(fd, &st) != 0 || st.st_ino != m.inode || !S_ISREG(st.st_mode) ||
        uint64_t(st.st_size) < file_off + len) {
        close(fd);
        return nullptr;
    }
    const uint64_t page = uint64_t(sysconf(_SC_PAGESIZE));
    const uint64_t aligned = file_off & ~(page - 1);
    const size_t length = size_t(file_off - aligned + len);
    void *p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, off_t(aligned));
    close(fd);
    if (p == MAP_FAILED)
        return nullptr;
    *map = p;
    *map_len = length;
    return static_cast<char *>(p) + (file_off - aligned);
}

} // namespace

extern "C" {

unsigned long plat_copy_from_user(void *to, const void *from, unsigned long n) {
    unsigned long want = n ? take_limit(n) : 0;
    unsigned long done = plausible(from, n) ? user_copy(to, from, want, false) : 0;
    if (done < n)
        std::memset(static_cast<char *>(to) + done, 0, n - done);
    return n - done;
}

unsigned long plat_copy_to_user(void *to, const void *from, unsigned long n) {
    unsigned long want = n ? take_limit(n) : 0;
    unsigned long done = plausible(to, n) ? user_copy(to, from, want, true) : 0;
    return n - done;
}

void kova_host_user_copy_checked(int on) { checked_copies = on != 0; }

void *plat_pin_user(uint64_t user_addr, uint64_t len, uint64_t *phys) {
    if (len == 0 || user_addr < kLowestUserAddress || user_addr + len < user_addr ||
        user_addr % uint64_t(sysconf(_SC_PAGESIZE)) != 0)
        return nullptr;
    void *map = nullptr;
    size_t map_len = 0;
    uint64_t at = user_addr;
    if (foreign_caller()) {
        void *here = map_foreign(caller_pid, user_addr, len, &map, &map_len);
        if (!here)
            return nullptr;
        at = reinterpret_cast<uintptr_t>(here);
    } else if (!mapped_rw(user_addr, len)) {
        return nullptr;
    }
    Pin *pin = new Pin{user_addr, len, map, map_len};
    ++pins_live;
    if (phys)
        *phys = at;
    return pin;
}

void plat_unpin_user(void *pin) {
    if (!pin)
        return;
    Pin *p = static_cast<Pin *>(pin);
    if (p->map)
        munmap(p->map, p->map_len);
    else if (unpin_protects)
        mprotect(reinterpret_cast<void *>(uintptr_t(p->addr)), p->len, PROT_NONE);
    delete p;
    --pins_live;
}

void *plat_phys_to_virt(uint64_t phys) {
    return reinterpret_cast<void *>(static_cast<uintptr_t>(phys));
}

long kova_host_pins_live(void) { return pins_live.load(); }

void kova_host_unpin_protects(int on) { unpin_protects = on != 0; }

void kova_host_user_copy_limit(long k) { copy_limit = k < 0 ? -1 : k; }

void kova_host_set_caller(int pid) { caller_pid = pid < 0 ? 0 : pid; }

} // extern "C"
