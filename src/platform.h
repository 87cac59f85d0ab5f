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
// A mutex of its own for each open file; null when out of memory.
struct kova_mutex *plat_mutex_alloc(void);
void plat_mutex_free(struct kova_mutex *m);
// Stops with a report when the calling thread does not hold m (lockdep's
// assertion in the kernel).
void plat_mutex_assert_held(struct kova_mutex *m);
// Marks a path that may sleep (might_sleep in the kernel): a caller in
// atomic context is reported at once, not only when it happens to block.
void plat_might_sleep(void);

// Spinlock for short sections that never sleep, usable from any context
// (interrupts off in the kernel). Returns the state for the unlock.
struct kova_spinlock;
unsigned long plat_spin_lock(struct kova_spinlock *l);
void plat_spin_unlock(struct kova_spinlock *l, unsigned long state);

// Readers of engine memory that take no lock. A reader section keeps every
// area reached through the published pointers alive until it ends;
// plat_readers_wait returns once every section that began before the call
// has ended (SRCU in the kernel), so an area unpublished before the wait can
// be released after it. Sections may sleep and may nest; the wait sleeps
// and must not be called inside a section.
int plat_reader_enter(void);
void plat_reader_exit(int cookie);
void plat_readers_wait(void);

// Device memory at a fixed physical address (the board's register blocks
// and pre-attach areas); null when the range cannot be mapped.
void *plat_ioremap(uint64_t phys, unsigned long size);
void plat_iounmap(void *p);

// The free-running system counter (CNTVCT_EL0 on the board).
uint64_t plat_timer_count(void);

// ---- Files ---------------------------------------------------------------
// The kernel's struct inode and struct file, opaque to the core.
struct plat_inode;
struct plat_file;

// One file's operations, with the kernel's semantics: byte counts in, bytes
// done or a negative errno out, *pos the file position. `buf` and `arg` are
// user-space addresses, reached only through plat_copy_*_user. Null
// operations are absent (the call fails as the kernel would fail it).
struct kova_file_ops {
    int (*open)(struct plat_inode *inode, struct plat_file *file);
    int (*release)(struct plat_inode *inode, struct plat_file *file);
    long (*read)(struct plat_file *file, char *buf, size_t count, int64_t *pos);
    long (*write)(struct plat_file *file, const char *buf, size_t count, int64_t *pos);
    long (*unlocked_ioctl)(struct plat_file *file, unsigned int cmd, unsigned long arg);
};

// The file's private_data slot (per open) and the inode's private data (the
// `data` given when the debugfs file was created).
void **plat_file_private(struct plat_file *file);
void *plat_inode_private(struct plat_inode *inode);

// The misc character device /dev/<name> with a dynamic minor; 0 or -errno.
int plat_misc_register(const char *name, const struct kova_file_ops *ops);
void plat_misc_deregister(const struct kova_file_ops *ops);

// debugfs: null on failure. Removing a null directory does nothing.
void *plat_debugfs_create_dir(const char *name, void *parent);
void *plat_debugfs_create_file(const char *name, unsigned int mode, void *parent, void *data,
                               const struct kova_file_ops *ops);
void plat_debugfs_remove_recursive(void *dir);

// ---- User memory ---------------------------------------------------------
// Both return the number of bytes NOT copied. copy_from_user zeroes the
// uncopied tail of `to`.
unsigned long plat_copy_from_user(void *to, const void *from, unsigned long n);
unsigned long plat_copy_to_user(void *to, const void *from, unsigned long n);

// Pins len bytes of the calling process's memory at user_addr, which must be
// page-aligned, mapped and physically contiguous. Returns a handle for plat_unpin_user
// (the pages stay pinned until then) and the physical address of the first
// byte, or null when the range does not qualify.
void *plat_pin_user(uint64_t user_addr, uint64_t len, uint64_t *phys);
void plat_unpin_user(void *pin);
// The kernel's linear-map address of a physical address.
void *plat_phys_to_virt(uint64_t phys);

// ---- Link aggregation: the network-interface module and "kova0" ---------
// The configuration function that the sibling network-interface module
// exports (kova_kni_lag_intf_cfg): the interface's net_device and the
// four-LAG configuration; 0 on success.
struct kova_LAG_CFG;
struct plat_netdev; // the kernel's struct net_device, opaque to the core
typedef int32_t (*plat_lag_cfg_fn)(struct plat_netdev *dev, struct kova_LAG_CFG *cfg);

// Takes a reference on the sibling's configuration function: symbol_get,
// and when the module is not loaded, request_module("symbol:...") and
// symbol_get once more. Null when it is still absent; may sleep. Every
// non-null result is released with plat_lag_sibling_put.
plat_lag_cfg_fn plat_lag_sibling_get(void);
void plat_lag_sibling_put(void);

// dev_get_by_name in the initial network namespace (null when there is no
// such interface) and dev_put of what it returned.
struct plat_netdev *plat_netdev_get(const char *name);
void plat_netdev_put(struct plat_netdev *dev);

// Full data memory barrier over all CPUs (and the engine): dmb ish / smp_mb.
void plat_full_barrier(void);

// One formatted line into the kernel log.
int plat_printk(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int plat_vsnprintf(char *buf, size_t size, const char *fmt, va_list ap)
    __attribute__((format(printf, 3, 0)));
// The number to print for a kernel address in a log line or a dump. The
// kernel log and debugfs may be readable by users who must not learn where
// kernel memory lies: in the kernel this is the kernel's own printed form
// (hashed, or zero or the address as kptr_restrict says); on the host the
// address itself.
uint64_t plat_shown_address(const void *p);

// Engine-memory write observer. Called by the publication primitives with
// the engine offset (engine address - table base) of each write, before the
// barrier that ends it. The kernel implements it as nothing; the host
// harness can record the sequence so tests see what the engine could see.
enum plat_engine_op : uint32_t {
    PLAT_ENGINE_MEMCPY = 1,   // memcpyQE: value unused
    PLAT_ENGINE_MEMSET = 2,   // memsetQE: value = fill byte
    PLAT_ENGINE_MEMSET32 = 3, // memsetQE32bit: value = the stored word
    PLAT_ENGINE_MEMCPY2 = 4,  // memcpyQE2: value unused, src_off = source offset
    PLAT_ENGINE_STORE64 = 6,  // storeQE64: one 8-byte store, src_off = the stored value
    // Writes to the engine's areas outside the table (lib/engine_mem.h):
    // engine_off is then the module's address of the first byte written.
    PLAT_ENGINE_AREA_STORE =
        7, // one store of len bytes: value = its low 32 bits, src_off = all of it
    PLAT_ENGINE_AREA_COPY = 8, // len bytes copied in pieces
    PLAT_ENGINE_AREA_FILL = 9, // len bytes filled in pieces: value = the fill byte
};
void plat_engine_write_observed(uint32_t op, uint64_t engine_off, uint64_t len, uint32_t value,
                                uint64_t src_off);

// Device registers (the ports' statistics blocks, the register block
// programmed at load), at byte offset `off` of a block plat_ioremap mapped:
// one access of the register's width, little-endian, as the device needs
// it (readq/writel/writeq in the kernel).
uint64_t plat_reg_read64(const void *block, uint32_t off);
void plat_reg_write32(void *block, uint32_t off, uint32_t value);
void plat_reg_write64(void *block, uint32_t off, uint64_t value);

// The locks the platform defines for the core (the kernel's types are not
// visible here): link aggregation from a state change through the sibling
// call, and the port parameter writers.
extern struct kova_mutex kova_lag_lock;
extern struct kova_spinlock kova_port_lock;

} // extern "C"
