// Host stand-ins for vmalloc/kmalloc, with counting and fault injection.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "kova/host.h"
#include "platform.h"

namespace {

std::atomic<unsigned long> alloc_count{0};
std::atomic<long> live{0};
std::atomic<unsigned long> fail_at{0}; // absolute allocation number to fail, 0 = none

// Kernel allocations are not zeroed; poison small ones so code that relies on
// zeroed memory fails in tests (large ones are zeroed by their owners anyway).
constexpr unsigned long kPoisonLimit = 1ul << 20;

void *allocate(unsigned long size) {
    unsigned long n = ++alloc_count;
    unsigned long f = fail_at.load();
    if (f != 0 && n == f) {
        fail_at = 0;
        return nullptr;
    }
    void *p = std::malloc(size ? size : 1);
    if (!p)
        return nullptr;
    if (size <= kPoisonLimit)
        std::memset(p, 0xA5, size);
    ++live;
    return p;
}

void release(void *p) {
    if (!p)
        return;
    --live;
    std::free(p);
}

} // namespace

extern "C" {

void *plat_vmalloc(unsigned long size) { return allocate(size); }
void plat_vfree(void *p) { release(p); }
void *plat_kmalloc(unsigned long size) { return allocate(size); }
void plat_kfree(void *p) { release(p); }

void kova_host_fail_alloc(unsigned long nth) { fail_at = nth ? alloc_count.load() + nth : 0; }
unsigned long kova_host_alloc_count(void) { return alloc_count.load(); }
long kova_host_alloc_live(void) { return live.load(); }

} // extern "C"
