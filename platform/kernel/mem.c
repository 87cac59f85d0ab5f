// SPDX-License-Identifier: GPL-2.0
/*
 * Memory, device memory, the counter, the barrier and the kernel log
 * for the core.
 */
#include <linux/atomic.h>
#include <linux/io.h>
#include <linux/kernel.h>
#include <linux/ktime.h>
#include <linux/math64.h>
#include <linux/mutex.h>
#include <linux/printk.h>
#include <linux/slab.h>
#include <linux/vmalloc.h>
#ifdef CONFIG_ARM64
#include <asm/barrier.h>
#include <asm/sysreg.h>
#endif

#include "boardless_areas.h"
#include "kova_plat.h"

static atomic_long_t kova_live[KOVA_LIVE_KINDS];

void kova_live_add(enum kova_live_kind kind, long delta)
{
	atomic_long_add(delta, &kova_live[kind]);
}

void kova_report_leftovers(void)
{
	static const char *const names[KOVA_LIVE_KINDS] = {
		[KOVA_LIVE_VMALLOC] = "vmalloc",
		[KOVA_LIVE_KMALLOC] = "kmalloc",
		[KOVA_LIVE_IOMAP] = "ioremap",
		[KOVA_LIVE_PIN] = "pinned range",
	};
	bool clean = true;
	int k;

	for (k = 0; k < KOVA_LIVE_KINDS; k++) {
		long n = atomic_long_read(&kova_live[k]);

		if (n != 0) {
			pr_err("kovaAPI: left behind: %ld %s\n", n, names[k]);
			clean = false;
		}
	}
	if (clean)
		pr_info("kovaAPI: nothing left\n");
}

void *plat_vmalloc(unsigned long size)
{
	void *p = vmalloc(size);

	if (p)
		kova_live_add(KOVA_LIVE_VMALLOC, 1);
	return p;
}

void plat_vfree(void *p)
{
	if (!p)
		return;
	vfree(p);
	kova_live_add(KOVA_LIVE_VMALLOC, -1);
}

void *plat_kmalloc(unsigned long size)
{
	void *p = kmalloc(size, GFP_KERNEL);

	if (p)
		kova_live_add(KOVA_LIVE_KMALLOC, 1);
	return p;
}

void plat_kfree(void *p)
{
	if (!p)
		return;
	kfree(p);
	kova_live_add(KOVA_LIVE_KMALLOC, -1);
}

/* ioremap, counted. */
static void *kova_ioremap(uint64_t phys, unsigned long size)
{
	void *p = (void __force *)ioremap(phys, size);

	if (p)
		kova_live_add(KOVA_LIVE_IOMAP, 1);
	return p;
}

static void kova_iounmap(void *p)
{
	iounmap((void __iomem *)p);
	kova_live_add(KOVA_LIVE_IOMAP, -1);
}

#ifdef KOVA_BOARDLESS
/*
 * Without the board nothing lies behind its fixed physical addresses. The
 * areas the core maps there are zeroed module memory instead, allocated at
 * their first mapping and kept until the module goes away, so a second
 * mapping of the same address sees what the first wrote.
 */
struct kova_area {
	u64 phys;
	u64 size;
	u8 *mem;
};

/* The statistics areas of Ethernet port p: MAC, receive, transmit. */
#define KOVA_MAC_AREA(p)                                                                           \
	{ KOVA_BL_MAC_STATS_PHYS + (p) * KOVA_BL_MAC_STATS_STRIDE, KOVA_BL_MAC_STATS_SIZE, NULL }
#define KOVA_RX_AREA(p)                                                                            \
	{ KOVA_BL_RX_STATS_PHYS + (p) * KOVA_BL_PORT_STATS_STRIDE, KOVA_BL_RX_STATS_SIZE, NULL }
#define KOVA_TX_AREA(p)                                                                            \
	{ KOVA_BL_TX_STATS_PHYS + (p) * KOVA_BL_PORT_STATS_STRIDE, KOVA_BL_TX_STATS_SIZE, NULL }

static struct kova_area kova_areas[] = {
	KOVA_MAC_AREA(0), KOVA_RX_AREA(0), KOVA_TX_AREA(0),
	KOVA_MAC_AREA(1), KOVA_RX_AREA(1), KOVA_TX_AREA(1),
	KOVA_MAC_AREA(2), KOVA_RX_AREA(2), KOVA_TX_AREA(2),
	KOVA_MAC_AREA(3), KOVA_RX_AREA(3), KOVA_TX_AREA(3),
	{ KOVA_BL_REG_BLOCK_PHYS, KOVA_BL_REG_BLOCK_SIZE, NULL },
	{ KOVA_BL_UCC_WINDOW_PHYS, KOVA_BL_UCC_WINDOW_END - KOVA_BL_UCC_WINDOW_PHYS, NULL },
};

static_assert(ARRAY_SIZE(kova_areas) == 3 * KOVA_BL_ETH_PORTS + 2, "one row per area");

static DEFINE_MUTEX(kova_areas_lock);

/* The area holding all of [phys, phys + size), or NULL. */
static struct kova_area *kova_area_of(u64 phys, u64 size)
{
	size_t i;

	for (i = 0; i < ARRAY_SIZE(kova_areas); i++) {
		struct kova_area *a = &kova_areas[i];

		if (phys >= a->phys && phys - a->phys < a->size &&
		    size <= a->size - (phys - a->phys))
			return a;
	}
	return NULL;
}

/* Whether p points into backing memory (which iounmap must not see). */
static bool kova_area_owns(const void *p)
{
	const u8 *b = p;
	size_t i;

	for (i = 0; i < ARRAY_SIZE(kova_areas); i++) {
		const struct kova_area *a = &kova_areas[i];

		if (a->mem && b >= a->mem && b < a->mem + a->size)
			return true;
	}
	return false;
}

void *plat_ioremap(uint64_t phys, unsigned long size)
{
	struct kova_area *a = kova_area_of(phys, size);
	void *p = NULL;

	if (!a)
		return kova_ioremap(phys, size);
	mutex_lock(&kova_areas_lock);
	if (!a->mem)
		a->mem = vzalloc(a->size);
	if (a->mem)
		p = a->mem + (phys - a->phys);
	mutex_unlock(&kova_areas_lock);
	if (p)
		kova_live_add(KOVA_LIVE_IOMAP, 1);
	return p;
}

void plat_iounmap(void *p)
{
	bool owned;

	if (!p)
		return;
	mutex_lock(&kova_areas_lock);
	owned = kova_area_owns(p);
	mutex_unlock(&kova_areas_lock);
	if (owned)
		kova_live_add(KOVA_LIVE_IOMAP, -1);
	else
		kova_iounmap(p);
}

void kova_boardless_release(void)
{
	size_t i;

	mutex_lock(&kova_areas_lock);
	for (i = 0; i < ARRAY_SIZE(kova_areas); i++) {
		vfree(kova_areas[i].mem);
		kova_areas[i].mem = NULL;
	}
	mutex_unlock(&kova_areas_lock);
}

#else /* the board */

void *plat_ioremap(uint64_t phys, unsigned long size)
{
	return kova_ioremap(phys, size);
}

void plat_iounmap(void *p)
{
	if (p)
		kova_iounmap(p);
}

void kova_boardless_release(void)
{
}

#endif /* KOVA_BOARDLESS */

/*
 * Registers of a block plat_ioremap mapped. Without the board the block is
 * module memory standing in for it, which the accessors reach the same way.
 */
uint64_t plat_reg_read64(const void *block, uint32_t off)
{
	return readq((const void __iomem __force *)((const u8 *)block + off));
}

void plat_reg_write32(void *block, uint32_t off, uint32_t value)
{
	writel(value, (void __iomem __force *)((u8 *)block + off));
}

void plat_reg_write64(void *block, uint32_t off, uint64_t value)
{
	writeq(value, (void __iomem __force *)((u8 *)block + off));
}

uint64_t plat_timer_count(void)
{
#ifdef CONFIG_ARM64
	/*
	 * The virtual counter, as the engine reads it; isb keeps the read in
	 * program order.
	 */
	isb();
	return read_sysreg(cntvct_el0);
#else
	/* A monotonic stand-in at the board's 100 MHz. */
	return div_u64(ktime_get_ns(), 10);
#endif
}

void plat_full_barrier(void)
{
	/*
	 * Ends every write to engine memory: the engine reads it on another
	 * CPU with no lock shared with the core, so an entry's body must be
	 * visible before the store that links or validates it.
	 */
	smp_mb();
}

int plat_printk(const char *fmt, ...)
{
	va_list ap;
	int n;

	va_start(ap, fmt);
	n = vprintk(fmt, ap);
	va_end(ap);
	return n;
}

int plat_vsnprintf(char *buf, size_t size, const char *fmt, va_list ap)
{
	return vsnprintf(buf, size, fmt, ap);
}

/*
 * %pK prints what the reader may see: a hash while kptr_restrict is 0, the
 * address or zeros after it, in hex digits that keep the lines' layout. The
 * placeholder text printed before the hash key is ready reads as 0.
 */
u64 plat_shown_address(const void *p)
{
	char text[32];
	unsigned long long v;

	snprintf(text, sizeof(text), "%pK", p);
	return kstrtoull(text, 16, &v) ? 0 : v;
}

void plat_engine_write_observed(uint32_t op, uint64_t engine_off, uint64_t len, uint32_t value,
				uint64_t src_off)
{
}
