// SPDX-License-Identifier: GPL-2.0
/*
 * The core's files in the kernel: /dev/kova (a misc device) and the debugfs
 * files. The core describes each kind of file with a struct kova_file_ops;
 * the kernel wants a struct file_operations. Each core table gets a slot
 * with its own file_operations and its own set of wrappers (the wrappers
 * cannot find the core table through the file: debugfs hands the kernel a
 * proxy table, and i_private belongs to the core). A slot is bound to one
 * core table the first time that table is registered and stays bound for
 * the module's lifetime, so an open file never sees its table change.
 */
#include <linux/debugfs.h>
#include <linux/err.h>
#include <linux/fs.h>
#include <linux/miscdevice.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/string.h>

#include "kova_plat.h"

struct kova_slot {
	const struct kova_file_ops *core;
	struct file_operations fops;
};

/* The core has nine tables; a few to spare. */
#define KOVA_SLOTS 12
static struct kova_slot kova_slots[KOVA_SLOTS];
static DEFINE_MUTEX(kova_slots_lock);

static int kova_file_open(const struct kova_slot *s, struct inode *inode, struct file *file)
{
	return s->core->open((struct plat_inode *)inode, (struct plat_file *)file);
}

static int kova_file_release(const struct kova_slot *s, struct inode *inode, struct file *file)
{
	return s->core->release((struct plat_inode *)inode, (struct plat_file *)file);
}

static ssize_t kova_file_read(const struct kova_slot *s, struct file *file, char __user *buf,
			      size_t count, loff_t *ppos)
{
	int64_t pos = *ppos;
	long n = s->core->read((struct plat_file *)file, (char __force *)buf, count, &pos);

	*ppos = pos;
	return n;
}

static ssize_t kova_file_write(const struct kova_slot *s, struct file *file, const char __user *buf,
			       size_t count, loff_t *ppos)
{
	int64_t pos = *ppos;
	long n = s->core->write((struct plat_file *)file, (const char __force *)buf, count, &pos);

	*ppos = pos;
	return n;
}

static long kova_file_ioctl(const struct kova_slot *s, struct file *file, unsigned int cmd,
			    unsigned long arg)
{
	return s->core->unlocked_ioctl((struct plat_file *)file, cmd, arg);
}

#define KOVA_SLOT_WRAPPERS(n)                                                                      \
	static struct kova_slot *const kova_slot_##n = &kova_slots[n];                             \
	static int kova_open_##n(struct inode *i, struct file *f)                                  \
	{                                                                                          \
		return kova_file_open(kova_slot_##n, i, f);                                        \
	}                                                                                          \
	static int kova_release_##n(struct inode *i, struct file *f)                               \
	{                                                                                          \
		return kova_file_release(kova_slot_##n, i, f);                                     \
	}                                                                                          \
	static ssize_t kova_read_##n(struct file *f, char __user *b, size_t c, loff_t *p)          \
	{                                                                                          \
		return kova_file_read(kova_slot_##n, f, b, c, p);                                  \
	}                                                                                          \
	static ssize_t kova_write_##n(struct file *f, const char __user *b, size_t c, loff_t *p)   \
	{                                                                                          \
		return kova_file_write(kova_slot_##n, f, b, c, p);                                 \
	}                                                                                          \
	static long kova_ioctl_##n(struct file *f, unsigned int cmd, unsigned long arg)            \
	{                                                                                          \
		return kova_file_ioctl(kova_slot_##n, f, cmd, arg);                                \
	}

KOVA_SLOT_WRAPPERS(0)
KOVA_SLOT_WRAPPERS(1)
KOVA_SLOT_WRAPPERS(2)
KOVA_SLOT_WRAPPERS(3)
KOVA_SLOT_WRAPPERS(4)
KOVA_SLOT_WRAPPERS(5)
KOVA_SLOT_WRAPPERS(6)
KOVA_SLOT_WRAPPERS(7)
KOVA_SLOT_WRAPPERS(8)
KOVA_SLOT_WRAPPERS(9)
KOVA_SLOT_WRAPPERS(10)
KOVA_SLOT_WRAPPERS(11)

/* Every operation of slot n; kova_slot_bind keeps those the core table has. */
#define KOVA_SLOT_FOPS(n)                                                                          \
	{                                                                                          \
		.owner = THIS_MODULE, .open = kova_open_##n,                                    \
		.release = kova_release_##n, .read = kova_read_##n, .write = kova_write_##n,       \
		.unlocked_ioctl = kova_ioctl_##n,                                                  \
	}

static const struct file_operations kova_slot_fops[KOVA_SLOTS] = {
	KOVA_SLOT_FOPS(0), KOVA_SLOT_FOPS(1), KOVA_SLOT_FOPS(2),  KOVA_SLOT_FOPS(3),
	KOVA_SLOT_FOPS(4), KOVA_SLOT_FOPS(5), KOVA_SLOT_FOPS(6),  KOVA_SLOT_FOPS(7),
	KOVA_SLOT_FOPS(8), KOVA_SLOT_FOPS(9), KOVA_SLOT_FOPS(10), KOVA_SLOT_FOPS(11),
};

/*
 * The kernel file_operations of a core table: the slot already bound to it,
 * or a free slot bound now, with exactly the operations the core table has
 * (an absent operation fails the way the kernel fails it). NULL when every
 * slot is taken.
 */
static const struct file_operations *kova_slot_bind(const struct kova_file_ops *core)
{
	const struct file_operations *fops = NULL;
	size_t i;

	mutex_lock(&kova_slots_lock);
	for (i = 0; i < KOVA_SLOTS; i++) {
		struct kova_slot *s = &kova_slots[i];

		if (s->core == core) {
			fops = &s->fops;
			break;
		}
		if (s->core)
			continue;
		s->fops = kova_slot_fops[i];
		if (!core->open)
			s->fops.open = NULL;
		if (!core->release)
			s->fops.release = NULL;
		if (!core->read)
			s->fops.read = NULL;
		if (!core->write)
			s->fops.write = NULL;
		if (!core->unlocked_ioctl)
			s->fops.unlocked_ioctl = NULL;
		s->core = core;
		fops = &s->fops;
		break;
	}
	mutex_unlock(&kova_slots_lock);
	if (!fops)
		pr_err("kovaAPI: no file-operations slot left\n");
	return fops;
}

void **plat_file_private(struct plat_file *file)
{
	return &((struct file *)file)->private_data;
}

void *plat_inode_private(struct plat_inode *inode)
{
	return ((struct inode *)inode)->i_private;
}

/* ---- /dev/<name> ---------------------------------------------------------- */

static struct miscdevice kova_misc;
static const struct kova_file_ops *kova_misc_ops; /* set while registered */
static char kova_misc_name[32];

int plat_misc_register(const char *name, const struct kova_file_ops *ops)
{
	const struct file_operations *fops;
	int ret;

	if (kova_misc_ops)
		return -EBUSY;
	fops = kova_slot_bind(ops);
	if (!fops)
		return -ENOMEM;
	if (strscpy(kova_misc_name, name, sizeof(kova_misc_name)) < 0)
		return -EINVAL;
	memset(&kova_misc, 0, sizeof(kova_misc));
	kova_misc.minor = MISC_DYNAMIC_MINOR;
	kova_misc.name = kova_misc_name;
	kova_misc.fops = fops;
	ret = misc_register(&kova_misc);
	if (ret == 0)
		kova_misc_ops = ops;
	return ret;
}

void plat_misc_deregister(const struct kova_file_ops *ops)
{
	if (!ops || ops != kova_misc_ops)
		return;
	misc_deregister(&kova_misc);
	kova_misc_ops = NULL;
}

/* ---- debugfs ------------------------------------------------------------- */

/*
 * debugfs reports failure as an error pointer (and as NULL in older
 * kernels); the core knows only NULL.
 */
static void *kova_dentry(struct dentry *d)
{
	return IS_ERR_OR_NULL(d) ? NULL : d;
}

void *plat_debugfs_create_dir(const char *name, void *parent)
{
	return kova_dentry(debugfs_create_dir(name, parent));
}

void *plat_debugfs_create_file(const char *name, unsigned int mode, void *parent, void *data,
			       const struct kova_file_ops *ops)
{
	const struct file_operations *fops = kova_slot_bind(ops);

	if (!fops)
		return NULL;
	return kova_dentry(debugfs_create_file(name, (umode_t)mode, parent, data, fops));
}

void plat_debugfs_remove_recursive(void *dir)
{
	debugfs_remove_recursive(dir);
}
