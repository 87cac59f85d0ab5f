// Host stand-ins for vmalloc/kmalloc, with counting and fault injection.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>

#include "kova/host.h"
#include "platform.h"

namespace {

std::atomic<unsigned long> alloc_count{0};
std::atomic<long> live{0};
std::atomic<unsigned long> fail_at{0}; // absolute allocation number to fail, 0 = none

// Kernel allocations are not zeroed; poison small ones so code that relies on
// zeroed memory fails in tests (large ones are cleared by their owners).
constexpr unsigned long kPoisonLimit = 1ul << 20;

// Large blocks (the tables and the statistics store) are kept for reuse
// after they are freed: a load then clears memory that is already faulted
// in instead of fresh pages, which makes load/unload sweeps cheap. They
// still count as released.
constexpr unsigned long kCacheFrom = 1ul << 20;
constexpr size_t kCacheBytes = 512ul << 20;
// Never destroyed: the cached blocks stay reachable to the leak checker at
// exit instead of being reported once the containers are gone.
std::mutex cache_mutex;
auto &large_sizes = *new std::unordered_map<void *, unsigned long>; // live large blocks
auto &cache = *new std::multimap<unsigned long, void *>;            // freed large blocks by size
size_t cached_bytes = 0;

void *reuse(unsigned long size) {
    std::lock_guard<std::mutex> g(cache_mutex);
    auto it = cache.find(size);
    if (it == cache.end())
        return nullptr;
    void *p = it->second;
    cache.erase(it);
    cached_bytes -= size;
    large_sizes[p] = size;
    return p;
}

void *allocate(unsigned long size) {
    unsigned long n = ++alloc_count;
    unsigned long f = fail_at.load();
    if (f != 0 && n == f) {
        fail_at = 0;
        return nullptr;
    }
    void *p = size >= kCacheFrom ? reuse(size) : nullptr;
    if (!p) {
        p = std::malloc(size ? size : 1);
        if (!p)
            return nullptr;
        if (size >= kCacheFrom) {
            std::lock_guard<std::mutex> g(cache_mutex);
            large_sizes[p] = size;
        }
    }
    if (size <= kPoisonLimit)
        std::memset(p, 0xA5, size);
    ++live;
    return p;
}

void release(void *p) {
    if (!p)
        return;
    --live;
    {
        std::lock_guard<std::mutex> g(cache_mutex);
        auto it = large_sizes.find(p);
        if (it != large_sizes.end()) {
            const unsigned long size = it->second;
            large_sizes.erase(it);
            if (cached_bytes + size <= kCacheBytes) {
                cache.emplace(size, p);
                cached_bytes += size;
                return;
            }
        }
    }
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
