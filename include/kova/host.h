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

/* ---- Module ------------------------------------------------------------ */

/* Loads the module (its init function) and returns the load's result: 0, or
 * the negative code of the step that failed. */
int kova_host_load(void);
/* Unloads it (its exit function). Load, unload and load again work in one
 * process with nothing left behind. */
void kova_host_unload(void);

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
	KOVA_TRACE_BARRIER = 5,  /* a full barrier */
	KOVA_TRACE_STORE64 = 6,  /* storeQE64: one 8-byte store, src_off = value */
	/* Outside the table: engine_off is the module's address of the write. */
	KOVA_TRACE_AREA_STORE = 7, /* one store of len bytes, src_off = value */
	KOVA_TRACE_AREA_COPY = 8,  /* len bytes copied */
	KOVA_TRACE_AREA_FILL = 9   /* len bytes filled, value = fill byte */
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

/* ---- Files: /dev/<name> devices and debugfs ---------------------------- */

/* Opens a registered misc device ("/dev/kova") or debugfs file
 * ("/sys/kernel/debug/kova/<file>") at position 0, calling its open handler.
 * Returns a small fd (>= 0), -2 for an unknown path, -21 for a debugfs
 * directory, or the open handler's negative result (no fd is kept then). */
int kova_host_open(const char *path);
/* Call the file's read/write handler at the file's position; the position
 * moves only when the handler succeeds. The handler's result, -22 when the
 * file has no such operation, -9 for a bad fd. buf is a user address. */
long kova_host_read(int fd, void *buf, size_t n);
long kova_host_write(int fd, const void *buf, size_t n);
/* The file's ioctl handler's result, -25 when it has none, -9 for a bad fd. */
long kova_host_ioctl(int fd, unsigned int cmd, unsigned long arg);
/* Frees fd and runs the release handler (once no call on the file is still in
 * progress). Returns release's result (0 without one), -9 for a bad fd. */
int kova_host_close(int fd);
/* The file position of fd, -9 for a bad fd. */
int64_t kova_host_file_pos(int fd);
/* 1 when a device, debugfs directory or debugfs file has exactly this path. */
int kova_host_path_exists(const char *path);
/* The permission bits a debugfs entry was created with (directories 0755),
 * 0 for a device, -1 when nothing has this path. */
int kova_host_path_mode(const char *path);
/* The next creation of a debugfs directory or file with this name fails
 * (null disarms). */
void kova_host_fail_debugfs(const char *name);
/* The next misc registration returns err (0 disarms). */
void kova_host_fail_misc_register(int err);
/* Forgets every registration and open file without calling any handler, and
 * disarms the two failures above. For tests that abandon the module's state. */
void kova_host_fs_reset(void);

/* ---- User memory --------------------------------------------------------- */

/* The next user copy of one byte or more, in either direction, stops after
 * k bytes (-1 disarms). */
void kova_host_user_copy_limit(long k);
/* On (the default), user copies go through the kernel's fault-checked copy
 * and stop where the caller's memory stops, as in the kernel. Off, they are
 * plain copies: what a kernel copy of a good buffer costs, for benchmarks. */
void kova_host_user_copy_checked(int on);
/* Pins taken with plat_pin_user and not yet released. */
long kova_host_pins_live(void);
/* On, unpinning a range of this process makes it inaccessible
 * (mprotect PROT_NONE), so a module write into an area it gave back faults;
 * the test unmaps the range afterwards. Off by default. */
void kova_host_unpin_protects(int on);
/* The process whose memory the user copies and pins of calls made from this
 * thread refer to: 0 (the default) for this process, else another process's
 * pid or thread id. For another process, copies go through
 * process_vm_readv/writev on it, and a pin needs a shared file mapping
 * (a POSIX shared-memory object) covering the range in that process: the pin
 * maps the same pages into this process (through /proc/<pid>/map_files, or
 * the object's path when that is refused) and the physical address it
 * returns is this process's address of them. Unpinning unmaps them. */
void kova_host_set_caller(int pid);

/* ---- Link aggregation: the sibling module and "kova0" -------------------- */

/* The sibling network-interface module: loaded (its function found at once),
 * loadable (found after a module request) or absent (never found). */
enum kova_host_sibling_state {
	KOVA_HOST_SIBLING_ABSENT = 0,
	KOVA_HOST_SIBLING_LOADED = 1,
	KOVA_HOST_SIBLING_LOADABLE = 2
};
void kova_host_sibling_set(enum kova_host_sibling_state state);
/* The sibling's function returns ret for every call from now (0 = accept). */
void kova_host_sibling_result(int32_t ret);
/* fn(ctx) runs at the start of each call of the sibling's function, before
 * it reads the configuration (the real one may sleep there), on the calling
 * thread; null removes it. */
typedef void (*kova_host_sibling_fn)(void *ctx);
void kova_host_sibling_hook(kova_host_sibling_fn fn, void *ctx);
/* Whether the interface "kova0" exists (it does after a reset). */
void kova_host_netdev_present(int present);
/* Copies up to n of the configurations the sibling accepted or rejected, in
 * the order received, as four 64-bit elements each; returns how many it has
 * received in all. */
size_t kova_host_sibling_received(int64_t (*cfgs)[4], size_t n);
/* Module requests made for the sibling's symbol. */
unsigned long kova_host_sibling_requests(void);
/* References to the sibling's function and to "kova0" not yet put back. */
long kova_host_sibling_refs(void);
long kova_host_netdev_refs(void);
/* Loaded sibling returning 0, "kova0" present, no hook, nothing received,
 * counters 0. */
void kova_host_sibling_reset(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KOVA_HOST_H */
