// The only door from the core to the outside world. The kernel shim
// implements these on real kernel services; the host platform implements
// them in user space for tests, tools and benchmarks. C linkage, because the
// kernel side is C.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

struct kova_mutex;

extern "C" {

// Memory. vmalloc memory is virtually contiguous and not zeroed.
void *plat_vmalloc(unsigned long size);
void plat_vfree(void *p);
void *plat_kmalloc(unsigned long size);
void plat_kfree(void *p);

// Sleeping mutex (kernel struct mutex).
void plat_mutex_init(struct kova_mutex *m, const char *name);
void plat_mutex_lock(struct kova_mutex *m);
void plat_mutex_unlock(struct kova_mutex *m);

// Device memory at a fixed physical address (the board's register blocks
// and pre-attach areas); null when the range cannot be mapped.
void *plat_ioremap(uint64_t phys, unsigned long size);
void plat_iounmap(void *p);

// The free-running system counter (CNTVCT_EL0 on the board).
uint64_t plat_timer_count(void);

// Full data memory barrier over all CPUs (and the engine): dmb ish / smp_mb.
void plat_full_barrier(void);

// One formatted line into the kernel log.
int plat_printk(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int plat_vsnprintf(char *buf, size_t size, const char *fmt, va_list ap)
    __attribute__((format(printf, 3, 0)));

// Engine-memory write observer. Called by the publication primitives with
// the engine offset (engine address - table base) of each write, before the
// barrier that ends it. The kernel implements it as nothing; the host
// harness can record the sequence so tests see what the engine could see.
enum plat_engine_op : uint32_t {
    PLAT_ENGINE_MEMCPY = 1,   // memcpyQE: value unused
    PLAT_ENGINE_MEMSET = 2,   // memsetQE: value = fill byte
    PLAT_ENGINE_MEMSET32 = 3, // memsetQE32bit: value = the stored word
    PLAT_ENGINE_MEMCPY2 = 4,  // memcpyQE2: value unused, src_off = source offset
};
void plat_engine_write_observed(uint32_t op, uint64_t engine_off, uint64_t len, uint32_t value,
                                uint64_t src_off);

} // extern "C"
