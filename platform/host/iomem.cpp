// The board's fixed physical areas, simulated as zeroed process memory.
// Only these ranges can be mapped; any other ioremap fails, as it would for
// an address with nothing behind it.
#include <sys/mman.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <vector>

#include "engine/memory_map.h"
#include "kova/host.h"
#include "platform.h"

namespace {

struct Region {
    uint64_t phys;
    uint64_t size;
    uint8_t *mem; // mapped on first use, kept for the process's lifetime
};

using namespace kv::engine;

// The per-UCC CNT, OQ, IC and ONU IC areas overlap one another on the board
// (high UCCs' CNT areas run into the low UCCs' OQ areas, and so on), so they
// are one window here and overlapping mappings alias as they do there.
constexpr uint64_t kUccs = 40;
constexpr uint64_t kUccWindow = kCntEthPhys;
constexpr uint64_t kUccWindowEnd = kIcPhys + kUccs * kIcStride; // end of the last IC area
static_assert(kOnuIcPhys + kUccs * kOnuIcSize <= kUccWindowEnd &&
                  kOqPhys + kUccs * kOqStride <= kUccWindowEnd,
              "every UCC area lies in the window");

// The board's map (engine/memory_map.h), region by region.
std::vector<Region> board_regions() {
    std::vector<Region> r;
    for (uint64_t port = 0; port < kEthPorts; ++port) {
        r.push_back({kMacStatsPhys + port * kMacStatsStride, kMacStatsSize, nullptr});
        r.push_back({kRxStatsPhys + port * kPortStatsStride, kRxStatsSize, nullptr});
        r.push_back({kTxStatsPhys + port * kPortStatsStride, kTxStatsSize, nullptr});
    }
    r.push_back({kRegBlockPhys, kRegBlockSize, nullptr});
    r.push_back({kUccWindow, kUccWindowEnd - kUccWindow, nullptr});
    return r;
}

std::vector<Region> regions = board_regions();

std::mutex region_mutex;
std::atomic<long> live{0};
std::atomic<uint64_t> fail_phys{0};
std::atomic<uint64_t> counter{0};

// The simulated bytes of [phys, phys + size), or null when no region holds
// the whole range.
uint8_t *backing(uint64_t phys, uint64_t size) {
    std::lock_guard<std::mutex> g(region_mutex);
    for (Region &r : regions) {
        if (phys < r.phys || phys - r.phys >= r.size || size > r.size - (phys - r.phys))
            continue;
        if (!r.mem) {
            void *m = mmap(nullptr, r.size, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
            if (m == MAP_FAILED)
                return nullptr;
            r.mem = static_cast<uint8_t *>(m);
        }
        return r.mem + (phys - r.phys);
    }
    return nullptr;
}

} // namespace

extern "C" {

void *plat_ioremap(uint64_t phys, unsigned long size) {
    uint64_t armed = phys;
    if (phys != 0 && fail_phys.compare_exchange_strong(armed, 0))
        return nullptr;
    uint8_t *p = backing(phys, size);
    if (p)
        ++live;
    return p;
}

void plat_iounmap(void *p) {
    if (p)
        --live;
}

// The device's registers are little-endian, as the engine's words are; the
// host is too (the core's byte-order helpers assume nothing, this does).
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "registers are accessed in the CPU's order");

uint64_t plat_reg_read64(const void *block, uint32_t off) {
    return __atomic_load_n(
        reinterpret_cast<const volatile uint64_t *>(static_cast<const uint8_t *>(block) + off),
        __ATOMIC_RELAXED);
}

void plat_reg_write32(void *block, uint32_t off, uint32_t value) {
    __atomic_store_n(reinterpret_cast<volatile uint32_t *>(static_cast<uint8_t *>(block) + off),
                     value, __ATOMIC_RELAXED);
}

void plat_reg_write64(void *block, uint32_t off, uint64_t value) {
    __atomic_store_n(reinterpret_cast<volatile uint64_t *>(static_cast<uint8_t *>(block) + off),
                     value, __ATOMIC_RELAXED);
}

uint64_t plat_timer_count(void) { return counter.load(); }

void *kova_host_iomem(uint64_t phys) { return backing(phys, 1); }
void kova_host_fail_ioremap(uint64_t phys) { fail_phys = phys; }
long kova_host_iomap_live(void) { return live.load(); }
void kova_host_set_counter(uint64_t value) { counter = value; }

} // extern "C"
