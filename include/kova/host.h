/*
 * The host platform's harness: what tests, tools and benchmarks use to drive
 * the module in user space and to look behind it (kernel log, allocations,
 * fault injection, the engine-write sequence). User space only.
 */
#ifndef KOVA_HOST_H
#define KOVA_HOST_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Kernel log -------------------------------------------------------- */

/* Copies up to n-1 bytes of the captured log into buf, NUL-terminated;
 * returns the full length of the captured log. */
size_t kova_host_log_read(char *buf, size_t n);
void kova_host_log_clear(void);
/* Also echo every log line to stderr (for tools and debugging). */
void kova_host_log_echo(int on);

/* ---- Allocations ------------------------------------------------------- */

/* Make the nth allocation from now (1 = the next one) fail; 0 disarms. Counts
 * vmalloc and kmalloc alike. */
void kova_host_fail_alloc(unsigned long nth);
/* Allocations made since the process started (failed ones included). */
unsigned long kova_host_alloc_count(void);
/* Allocations not yet released. */
long kova_host_alloc_live(void);

/* ---- Simulated device memory ----------------------------------------- */

/* The simulated memory behind a physical address of the board's fixed
 * areas (statistics blocks of ports 0..3, the register block, the pre-attach
 * UCC areas), or null for any other address. Zero at process start; it keeps
 * its contents across loads, as hardware does. */
void *kova_host_iomem(uint64_t phys);
/* Make the next ioremap of a range starting at phys fail (0 disarms). */
void kova_host_fail_ioremap(uint64_t phys);
/* Mappings made and not yet unmapped. */
long kova_host_iomap_live(void);

/* ---- Timer -------------------------------------------------------------- */

void kova_host_set_counter(uint64_t value);

/* ---- Engine-write trace ------------------------------------------------ */

enum kova_host_trace_op {
	KOVA_TRACE_MEMCPY = 1,   /* memcpyQE */
	KOVA_TRACE_MEMSET = 2,   /* memsetQE, value = fill byte */
	KOVA_TRACE_MEMSET32 = 3, /* memsetQE32bit, value = stored word */
	KOVA_TRACE_MEMCPY2 = 4,  /* memcpyQE2, src_off = source */
	KOVA_TRACE_BARRIER = 5   /* a full barrier */
};

struct kova_host_trace_event {
	uint32_t op;         /* enum kova_host_trace_op */
	uint32_t value;
	uint64_t engine_off; /* engine address - table base */
	uint64_t len;
	uint64_t src_off;
};

/* Start recording (clears what was recorded), stop, and read the events. */
void kova_host_trace_start(void);
void kova_host_trace_stop(void);
/* Copies up to n events; returns how many were recorded in all. */
size_t kova_host_trace_read(struct kova_host_trace_event *ev, size_t n);
/* Also call fn for each event as it happens (null removes it), so a test can
 * look at the rest of the module's state at that moment. */
typedef void (*kova_host_trace_fn)(const struct kova_host_trace_event *ev, void *ctx);
void kova_host_trace_hook(kova_host_trace_fn fn, void *ctx);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KOVA_HOST_H */
