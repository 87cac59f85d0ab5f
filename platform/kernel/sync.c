// SPDX-License-Identifier: GPL-2.0
/*
 * Locks and grace periods for the core: the table lock's initialisation,
 * per-open mutexes, the link-aggregation mutex, the port spinlock, and the
 * SRCU domain that keeps a superseded engine area pinned until no lock-free
 * reader can still be inside it.
 */
#include <linux/kernel.h>
#include <linux/lockdep.h>
#include <linux/mutex.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/srcu.h>

#include "kova_plat.h"

/* Link aggregation, from a state change through the sibling call. */
DEFINE_MUTEX(kova_lag_lock);
/* The port parameter writers, in any context. */
DEFINE_SPINLOCK(kova_port_lock);
/* The port functions' reader sections; the core waits for them to drain. */
DEFINE_STATIC_SRCU(kova_readers);

void plat_mutex_init(struct mutex *m, const char *name)
{
	static struct lock_class_key key;

	__mutex_init(m, name, &key);
}

void plat_mutex_lock(struct mutex *m)
{
	mutex_lock(m);
}

void plat_mutex_unlock(struct mutex *m)
{
	mutex_unlock(m);
}

/*
 * Per-open mutexes share one lockdep class of their own: an open file's
 * writer holds its mutex while the flow it parsed takes kovaAPI_lock.
 */
struct mutex *plat_mutex_alloc(void)
{
	struct mutex *m = kmalloc(sizeof(*m), GFP_KERNEL);

	if (!m)
		return NULL;
	kova_live_add(KOVA_LIVE_KMALLOC, 1);
	mutex_init(m);
	return m;
}

void plat_mutex_free(struct mutex *m)
{
	if (!m)
		return;
	mutex_destroy(m);
	kfree(m);
	kova_live_add(KOVA_LIVE_KMALLOC, -1);
}

void plat_mutex_assert_held(struct mutex *m)
{
	lockdep_assert_held(m);
}

void plat_might_sleep(void)
{
	might_sleep();
}

unsigned long plat_spin_lock(spinlock_t *l)
	__acquires(l)
{
	unsigned long flags;

	spin_lock_irqsave(l, flags);
	return flags;
}

void plat_spin_unlock(spinlock_t *l, unsigned long flags)
	__releases(l)
{
	spin_unlock_irqrestore(l, flags);
}

int plat_reader_enter(void)
	__acquires(kova_readers)
{
	return srcu_read_lock(&kova_readers);
}

void plat_reader_exit(int cookie)
	__releases(kova_readers)
{
	srcu_read_unlock(&kova_readers, cookie);
}

void plat_readers_wait(void)
{
	synchronize_srcu(&kova_readers);
}
