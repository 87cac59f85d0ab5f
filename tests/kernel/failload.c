// SPDX-License-Identifier: GPL-2.0
/*
 * Loads the module with the kernel's fault injection failing one slab
 * allocation of the loading task (/proc/thread-self/fail-nth): the last one
 * a whole load makes, then the one before, and so on down through the
 * module's initialisation, until a fault lands in the kernel's loader
 * before the init (the init's first log line is missing). Each failed load
 * must report ENOMEM and leave no /dev/kova and no debugfs directory behind;
 * a load that absorbed its fault is unloaded and the sweep goes on. The
 * harness's kmemleak scan at the end finds what a failed load leaked.
 * Only the caches the kernel's command line marks for fault injection
 * (slub_debug=A,...) count: the kmalloc caches and those of debugfs, sysfs
 * and vmalloc, not kmemleak's own, whose failures it absorbs.
 * Prints "KTEST ok|FAIL <name>" lines.
 *
 *   kova-ktest-failload MODULE.ko
 */
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

static int put(const char *path, const char *text)
{
	int fd = open(path, O_WRONLY);
	ssize_t n = -1;

	if (fd >= 0) {
		n = write(fd, text, strlen(text));
		close(fd);
	}
	return n == (ssize_t)strlen(text) ? 0 : -1;
}

static int exists(const char *path)
{
	struct stat st;

	return stat(path, &st) == 0;
}

static int module_fd;

/*
 * One load with the nth allocation failing. Returns 0 or the load's -errno;
 * *left is what remained of the count (0 when the fault came), *init_ran
 * whether the module's init logged its first line.
 */
static long load(unsigned int nth, unsigned int *left, int *init_ran)
{
	char text[16], rec[1024];
	int kmsg = open("/dev/kmsg", O_RDONLY | O_NONBLOCK), lfd;
	ssize_t n;
	long r;

	lseek(kmsg, 0, SEEK_END);
	snprintf(text, sizeof(text), "%u", nth);
	put("/proc/thread-self/fail-nth", text);
	r = syscall(SYS_finit_module, module_fd, "", 0) == 0 ? 0 : -errno;
	text[0] = 0;
	lfd = open("/proc/thread-self/fail-nth", O_RDONLY);
	if (lfd >= 0) {
		n = read(lfd, text, sizeof(text) - 1);
		text[n > 0 ? n : 0] = 0;
		close(lfd);
	}
	put("/proc/thread-self/fail-nth", "0");
	*left = (unsigned int)atoi(text);
	*init_ran = 0;
	while ((n = read(kmsg, rec, sizeof(rec) - 1)) > 0 || (n < 0 && errno == EPIPE)) {
		rec[n > 0 ? n : 0] = 0;
		if (strstr(rec, "kovaAPI: board-less build"))
			*init_ran = 1;
	}
	close(kmsg);
	return r;
}

static int unload(void)
{
	return (int)syscall(SYS_delete_module, "orvex_kovaAPI", O_NONBLOCK);
}

int main(int argc, char **argv)
{
	/* Sleeping allocations, the module's kind, are to fail too. */
	static const char *const knobs[][2] = {
		{ "/sys/kernel/debug/failslab/ignore-gfp-wait", "N\n" },
		{ "/sys/kernel/debug/failslab/cache-filter", "Y\n" },
		{ "/sys/kernel/debug/failslab/verbose", "0\n" },
	};
	const unsigned int big = 1000000;
	unsigned int n, total, left, failed = 0, absorbed = 0, unfaulted = 0, leftovers = 0,
		     other_errors = 0;
	int ran = 1;

	if (argc != 2)
		return 2;
	for (n = 0; n < sizeof(knobs) / sizeof(knobs[0]); n++)
		if (put(knobs[n][0], knobs[n][1]) != 0) {
			printf("KTEST FAIL failload_setup: %s\n", knobs[n][0]);
			return 1;
		}
	module_fd = open(argv[1], O_RDONLY | O_CLOEXEC);
	if (module_fd < 0) {
		printf("KTEST FAIL failload_open: %s\n", strerror(errno));
		return 1;
	}
	/* How many allocations a whole load makes. */
	if (load(big, &left, &ran) != 0 || !ran || unload() != 0) {
		printf("KTEST FAIL failload_count: the plain load or its unload failed\n");
		return 1;
	}
	total = big - left;
	/* From a little past the last (a load's count varies by a few), where
	 * the first loads must meet no fault. */
	for (n = total + 4; n > 0; n--) {
		long r = load(n, &left, &ran);

		if (!ran)
			break; /* the fault came in the loader, before the init */
		if (r == 0) {
			if (left != 0)
				unfaulted++;
			else
				absorbed++;
			if (unload() != 0) {
				printf("KTEST FAIL failload_unload: after load %u: %s\n", n, strerror(errno));
				return 1;
			}
			continue;
		}
		failed++;
		/* Want of memory is what the loader must hear, whatever failed. */
		if (r != -ENOMEM && other_errors++ == 0)
			printf("KTEST FAIL failload_enomem: load %u failed with %s\n", n, strerror((int)-r));
		if ((exists("/dev/kova") || exists("/sys/kernel/debug/kova")) && leftovers++ == 0)
			printf("KTEST FAIL failload_clean: load %u left files behind\n", n);
	}
	printf("KTEST info failload: %u allocations per load, the init's from %u: "
	       "%u loads failed, %u absorbed their fault, %u met none\n",
	       total, n + 1, failed, absorbed, unfaulted);
	if (!leftovers)
		printf("KTEST ok failload_clean\n");
	if (!other_errors)
		printf("KTEST ok failload_enomem\n");
	if (failed > 0 && unfaulted > 0 && n > 0)
		printf("KTEST ok failload_sweep\n");
	else
		printf("KTEST FAIL failload_sweep: %u failed, %u met no fault, ended at %u\n",
		       failed, unfaulted, n);
	return 0;
}
