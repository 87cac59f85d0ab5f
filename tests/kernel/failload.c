// SPDX-License-Identifier: GPL-2.0
/*
 * Loads the module with the kernel's fault injection failing the first,
 * second, ... slab allocation of the loading task
 * (/proc/thread-self/fail-nth), until a load runs without reaching
 * its injected fault. Each failed load must leave no /dev/kova and no
 * debugfs directory behind; a load that absorbed its fault is unloaded and
 * the sweep goes on. The harness's kmemleak scan at the end finds what a
 * failed load leaked.
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

int main(int argc, char **argv)
{
	/*
	 * Slab allocations only: the page allocator's points (one per page of
	 * the 40 MiB statistics store alone) would make the sweep endless; a
	 * vmalloc still fails through its own slab allocations.
	 */
	static const char *const knobs[] = {
		"/sys/kernel/debug/failslab/ignore-gfp-wait",
	};
	unsigned int n, failed = 0, absorbed = 0, leftovers = 0;
	char nth[16];
	int fd;

	if (argc != 2)
		return 2;
	/* Sleeping allocations, the module's kind, are to fail too. */
	for (n = 0; n < sizeof(knobs) / sizeof(knobs[0]); n++)
		if (put(knobs[n], "N\n") != 0) {
			printf("KTEST FAIL failload_setup: %s\n", knobs[n]);
			return 1;
		}
	fd = open(argv[1], O_RDONLY | O_CLOEXEC);
	if (fd < 0) {
		printf("KTEST FAIL failload_open: %s\n", strerror(errno));
		return 1;
	}
	for (n = 1; n < 100000; n++) {
		char left[16] = "";
		long r;
		int lfd;

		snprintf(nth, sizeof(nth), "%u", n);
		if (put("/proc/thread-self/fail-nth", nth) != 0) {
			printf("KTEST FAIL failload_fail_nth: %s\n", strerror(errno));
			return 1;
		}
		r = syscall(SYS_finit_module, fd, "", 0);
		/* What is left of the count: not 0 when the fault never came. */
		lfd = open("/proc/thread-self/fail-nth", O_RDONLY);
		if (lfd >= 0) {
			if (read(lfd, left, sizeof(left) - 1) < 0)
				left[0] = 0;
			close(lfd);
		}
		put("/proc/thread-self/fail-nth", "0");
		if (r == 0) {
			if (atoi(left) != 0)
				break; /* the whole load ran without a fault */
			absorbed++;
			if (syscall(SYS_delete_module, "orvex_kovaAPI", O_NONBLOCK) != 0) {
				printf("KTEST FAIL failload_unload: after load %u: %s\n", n, strerror(errno));
				return 1;
			}
			continue;
		}
		failed++;
		if (exists("/dev/kova") || exists("/sys/kernel/debug/kova")) {
			if (leftovers++ == 0)
				printf("KTEST FAIL failload_clean: load %u left files behind\n", n);
		}
	}
	if (n == 100000) {
		printf("KTEST FAIL failload_succeeds: no load succeeded\n");
		return 1;
	}
	printf("KTEST info failload: %u loads failed, %u absorbed their fault, load %u met none\n", failed,
	       absorbed, n);
	if (!leftovers)
		printf("KTEST ok failload_clean\n");
	if (failed > 0)
		printf("KTEST ok failload_some_failed\n");
	else
		printf("KTEST FAIL failload_some_failed: fault injection had no effect\n");
	if (syscall(SYS_delete_module, "orvex_kovaAPI", O_NONBLOCK) == 0)
		printf("KTEST ok failload_unload\n");
	else
		printf("KTEST FAIL failload_unload: %s\n", strerror(errno));
	return 0;
}
