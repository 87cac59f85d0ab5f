// SPDX-License-Identifier: GPL-2.0
/*
 * The calling process's memory: copies, and the pinning of the engine's
 * shared area, which the module then reaches through the linear map.
 */
#include <linux/io.h>
#include <linux/kernel.h>
#include <linux/mm.h>
#include <linux/overflow.h>
#include <linux/slab.h>
#include <linux/uaccess.h>
#include <linux/version.h>

#include "kova_plat.h"

unsigned long plat_copy_from_user(void *to, const void *from, unsigned long n)
{
	/* Zeroes the part it could not copy. */
	return copy_from_user(to, (const void __user *)from, n);
}

unsigned long plat_copy_to_user(void *to, const void *from, unsigned long n)
{
	return copy_to_user((void __user *)to, from, n);
}

/*
 * pin_user_pages_* came with 5.6; before it, get_user_pages_* and put_page.
 * The module writes the pages through the linear map, so they go back dirty.
 */
#if LINUX_VERSION_CODE >= KERNEL_VERSION(5, 6, 0)
#define KOVA_PIN_PAGES_FAST pin_user_pages_fast
static void kova_release_pages(struct page **pages, unsigned long n)
{
	unpin_user_pages_dirty_lock(pages, n, true);
}
#else
#define KOVA_PIN_PAGES_FAST get_user_pages_fast
static void kova_release_pages(struct page **pages, unsigned long n)
{
	unsigned long i;

	for (i = 0; i < n; i++) {
		set_page_dirty_lock(pages[i]);
		put_page(pages[i]);
	}
}
#endif

struct kova_pin {
	unsigned long npages;
	struct page *pages[];
};

void *plat_pin_user(uint64_t user_addr, uint64_t len, uint64_t *phys)
{
	const unsigned long start = (unsigned long)user_addr & PAGE_MASK;
	struct kova_pin *pin;
	unsigned long npages, i, first_pfn;
	int got;

	/* The engine's area starts on a page: its offsets are the fixed map's. */
	if (len == 0 || user_addr + len < user_addr || offset_in_page(user_addr))
		return NULL;
	npages = (unsigned long)((PAGE_ALIGN(user_addr + len) - start) >> PAGE_SHIFT);
	if (npages > INT_MAX)
		return NULL;
	pin = kvmalloc(struct_size(pin, pages, npages), GFP_KERNEL);
	if (!pin)
		return NULL;

	got = KOVA_PIN_PAGES_FAST(start, (int)npages, FOLL_WRITE, pin->pages);
	if (got < 0 || (unsigned long)got != npages) {
		if (got > 0)
			kova_release_pages(pin->pages, got);
		kvfree(pin);
		return NULL;
	}
	pin->npages = npages;

	/* The engine sees the area by physical address: one run of frames. */
	first_pfn = page_to_pfn(pin->pages[0]);
	for (i = 1; i < npages; i++) {
		if (page_to_pfn(pin->pages[i]) != first_pfn + i) {
			kova_release_pages(pin->pages, npages);
			kvfree(pin);
			return NULL;
		}
	}
	*phys = PFN_PHYS(first_pfn) + offset_in_page(user_addr);
	kova_live_add(KOVA_LIVE_PIN, 1);
	return pin;
}

void plat_unpin_user(void *handle)
{
	struct kova_pin *pin = handle;

	if (!pin)
		return;
	kova_release_pages(pin->pages, pin->npages);
	kvfree(pin);
	kova_live_add(KOVA_LIVE_PIN, -1);
}

void *plat_phys_to_virt(uint64_t phys)
{
	return phys_to_virt((phys_addr_t)phys);
}
