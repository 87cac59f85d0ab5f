/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The C view of src/platform.h for the kernel shim. The core is C++ and its
 * header cannot be included from C; these declarations follow it one to one
 * (scripts/build-kmod checks that the shim defines every plat_* function the
 * header declares and nothing the core does not know).
 */
#ifndef KOVA_PLAT_H
#define KOVA_PLAT_H

#include <linux/kernel.h> /* va_list, __printf */
#include <linux/types.h>

struct mutex;
struct kova_LAG_CFG;
/* struct kova_spinlock of the core is the kernel's spinlock_t. */
#include <linux/spinlock_types.h>

/*
 * The kernel's struct inode, struct file and struct net_device, as the core
 * sees them.
 */
struct plat_inode;
struct plat_file;
struct plat_netdev;

struct kova_file_ops {
	int (*open)(struct plat_inode *inode, struct plat_file *file);
	int (*release)(struct plat_inode *inode, struct plat_file *file);
	long (*read)(struct plat_file *file, char *buf, size_t count, int64_t *pos);
	long (*write)(struct plat_file *file, const char *buf, size_t count, int64_t *pos);
	long (*unlocked_ioctl)(struct plat_file *file, unsigned int cmd, unsigned long arg);
};

typedef int32_t (*plat_lag_cfg_fn)(struct plat_netdev *dev, struct kova_LAG_CFG *cfg);

/* struct kova_mutex of the core is the kernel's struct mutex here. */
void *plat_vmalloc(unsigned long size);
void plat_vfree(void *p);
void *plat_kmalloc(unsigned long size);
void plat_kfree(void *p);
void plat_mutex_init(struct mutex *m, const char *name);
void plat_mutex_lock(struct mutex *m);
void plat_mutex_unlock(struct mutex *m);
/* A mutex of its own lockdep class, for each open file. */
struct mutex *plat_mutex_alloc(void);
void plat_mutex_free(struct mutex *m);
void plat_mutex_assert_held(struct mutex *m);
void plat_might_sleep(void);
unsigned long plat_spin_lock(spinlock_t *l);
void plat_spin_unlock(spinlock_t *l, unsigned long flags);
int plat_reader_enter(void);
void plat_reader_exit(int cookie);
void plat_readers_wait(void);
void *plat_ioremap(uint64_t phys, unsigned long size);
void plat_iounmap(void *p);
uint64_t plat_reg_read64(const void *block, uint32_t off);
void plat_reg_write32(void *block, uint32_t off, uint32_t value);
void plat_reg_write64(void *block, uint32_t off, uint64_t value);
uint64_t plat_timer_count(void);

void **plat_file_private(struct plat_file *file);
void *plat_inode_private(struct plat_inode *inode);
int plat_misc_register(const char *name, const struct kova_file_ops *ops);
void plat_misc_deregister(const struct kova_file_ops *ops);
void *plat_debugfs_create_dir(const char *name, void *parent);
void *plat_debugfs_create_file(const char *name, unsigned int mode, void *parent, void *data,
			       const struct kova_file_ops *ops);
void plat_debugfs_remove_recursive(void *dir);

unsigned long plat_copy_from_user(void *to, const void *from, unsigned long n);
unsigned long plat_copy_to_user(void *to, const void *from, unsigned long n);
void *plat_pin_user(uint64_t user_addr, uint64_t len, uint64_t *phys);
void plat_unpin_user(void *pin);
void *plat_phys_to_virt(uint64_t phys);

plat_lag_cfg_fn plat_lag_sibling_get(void);
void plat_lag_sibling_put(void);
struct plat_netdev *plat_netdev_get(const char *name);
void plat_netdev_put(struct plat_netdev *dev);

void plat_full_barrier(void);
int plat_printk(const char *fmt, ...) __printf(1, 2);
int plat_vsnprintf(char *buf, size_t size, const char *fmt, va_list ap) __printf(3, 0);
u64 plat_shown_address(const void *p);
void plat_engine_write_observed(uint32_t op, uint64_t engine_off, uint64_t len, uint32_t value,
				uint64_t src_off);

extern struct mutex kova_lag_lock;
extern spinlock_t kova_port_lock;

/* From src/module/module.h. */
int kovaapi_init_module(void);
void kovaapi_cleanup_module(void);

/* ---- Shim-internal ---- */

/*
 * What the core holds of each kind of resource; at unload every count must
 * be back to zero.
 */
enum kova_live_kind {
	KOVA_LIVE_VMALLOC,
	KOVA_LIVE_KMALLOC,
	KOVA_LIVE_IOMAP,
	KOVA_LIVE_PIN,
	KOVA_LIVE_KINDS
};

void kova_live_add(enum kova_live_kind kind, long delta);
/* Logs "kovaAPI: nothing left", or what was left behind. */
void kova_report_leftovers(void);

/* Frees the module memory that stands in for the board's fixed areas. */
void kova_boardless_release(void);

#endif /* KOVA_PLAT_H */
