// SPDX-License-Identifier: GPL-2.0
/*
 * The user-space half of the in-kernel stress run, beside the kernel
 * threads of kova_stress.ko: an engine that re-attaches two areas in turn
 * (both halves of one 1 GiB page) and walks the area it holds as the
 * engine does; operators writing definitions through one shared open
 * create_flows and deleting them; readers of the dumps and /dev/kova.
 * Prints "KTEST ok|FAIL <name>" lines; `kova-ktest-stress ROUNDS`.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kova/kova_shm.h"

#ifndef MAP_HUGE_1GB
#define MAP_HUGE_1GB (30 << 26)
#endif

#define KOVA "/sys/kernel/debug/kova/"
#define HALF (512ull << 20)
#define QE_BASE(i) (0x40000000ull + (i) * 0x40000000ull)

static uint32_t le32(const volatile uint8_t *p)
{
	return *(const volatile uint32_t *)p;
}

static uint64_t le64(const volatile uint8_t *p)
{
	return *(const volatile uint64_t *)p;
}

/*
 * Walks every bucket of the area attached at qe_base. An entry reached
 * through a link must be valid (1, or 2 for a detached extended flow) unless
 * the link was removed meanwhile; a link must name a slot. Returns the
 * number of faults.
 */
static unsigned int walk(const uint8_t *area, uint64_t qe_base)
{
	static const uint32_t links[] = { KOVA_LUT_OFF_NEXT_CRC12, KOVA_LUT_OFF_NEXT_CRC32,
					  KOVA_LUT_OFF_NEXT_EXT };
	unsigned int faults = 0, s, k;

	for (s = 0; s < KOVA_LUT_ENTRIES; s++) {
		const uint8_t *e = area + (uint64_t)s * KOVA_LUT_SIZE;

		if (le32(e + KOVA_LUT_OFF_VALID) != 1)
			continue;
		for (k = 0; k < 3; k++) {
			uint64_t to = le64(e + links[k]), off = to - qe_base;
			uint32_t v;

			if (!to)
				continue;
			if (off % KOVA_LUT_SIZE || off >= KOVA_LUT_TABLE_BYTES) {
				if (le64(e + links[k]) == to && faults++ < 3)
					printf("stress: slot %u link %u names %llx\n", s, links[k],
					       (unsigned long long)to);
				continue;
			}
			v = le32(area + off + KOVA_LUT_OFF_VALID);
			if (v != 1 && v != 2 && le64(e + links[k]) == to &&
			    le32(e + KOVA_LUT_OFF_VALID) == 1 && faults++ < 3)
				printf("stress: slot %u links to slot %llu with valid %u\n", s,
				       (unsigned long long)(off / KOVA_LUT_SIZE), v);
		}
	}
	return faults;
}

static int engine(uint8_t *page, int rounds)
{
	unsigned int faults = 0, attach_failures = 0;
	int fd = open("/dev/kova", O_RDWR), r;

	for (r = 0; r < rounds && fd >= 0; r++) {
		kova_attach_args a;
		int i = r % 2, n;

		memset(&a, 0, sizeof(a));
		a.shm_vaddr = (uint64_t)(uintptr_t)(page + i * HALF);
		a.qe_base = QE_BASE(i);
		strcpy(a.ucode_version, "stress");
		if (ioctl(fd, KOVA_IOC_ATTACH, &a) != 0)
			attach_failures++;
		for (n = 0; n < 3; n++)
			faults += walk(page + i * HALF, QE_BASE(i));
	}
	if (fd >= 0)
		close(fd);
	printf("KTEST %s stress_engine_attach: %d attaches, %u refused\n",
	       fd >= 0 && !attach_failures ? "ok" : "FAIL", r, attach_failures);
	printf("KTEST %s stress_engine_walk: %u bad links\n", faults ? "FAIL" : "ok", faults);
	return faults || attach_failures || fd < 0;
}

/* Definitions for appflowids 1000 + 100 * who .. through one shared fd. */
static int operator(int shared_fd, int who)
{
	unsigned int bad = 0, i;

	for (i = 0; i < 60; i++) {
		unsigned int id = 1000 + 100 * who + i % 50;
		char text[512], del[32];
		int n = snprintf(text, sizeof(text),
				 "flow_id=%u crc32=0x%x flow_ucc=2 flow_subport=0 eth_dmac=02:00:00:00:%02x:%02x "
				 "eth_smac=02:00:01:00:00:10 vlan_id_1=1 vlan_id_2=2 eth_type=0x800 "
				 "ipv4_src=10.0.%u.%u ipv4_dst=10.1.0.1 udp_sport=1 udp_dport=2 "
				 "rule1=RULE_DROP_PACKET ;",
				 id, (id % 64) << 18 | id, who, i % 256, who, i % 256);
		int dfd;

		if (write(shared_fd, text, n) != n)
			bad++;
		snprintf(del, sizeof(del), "flow_id=%u", id);
		dfd = open(KOVA "delete_flows", O_WRONLY);
		if (dfd < 0 || write(dfd, del, strlen(del)) != (ssize_t)strlen(del))
			bad++;
		if (dfd >= 0)
			close(dfd);
	}
	printf("KTEST %s stress_operator_%d: %u bad writes\n", bad ? "FAIL" : "ok", who, bad);
	return bad != 0;
}

static void reader(void)
{
	static const char *const paths[] = { KOVA "dump_flows_qe", KOVA "dump_flows_cpu", "/dev/kova" };
	static char buf[1 << 16];
	unsigned int i;

	for (i = 0;; i++) {
		int fd = open(paths[i % 3], O_RDONLY);

		if (fd >= 0) {
			while (read(fd, buf, sizeof(buf)) > 0 && i % 3 != 2)
				;
			close(fd);
		}
	}
}

int main(int argc, char **argv)
{
	int rounds = argc > 1 ? atoi(argv[1]) : 6, status, failed = 0, k;
	pid_t kids[3], rd;
	uint8_t *page = mmap(NULL, 1ull << 30, PROT_READ | PROT_WRITE,
			     MAP_SHARED | MAP_ANONYMOUS | MAP_HUGETLB | MAP_HUGE_1GB, -1, 0);
	int shared = open(KOVA "create_flows", O_WRONLY);

	if (page == MAP_FAILED || shared < 0) {
		printf("KTEST FAIL stress_setup: errno %d\n", errno);
		return 1;
	}
	rd = fork();
	if (rd == 0) {
		reader();
		_exit(0);
	}
	for (k = 0; k < 3; k++) {
		kids[k] = fork();
		if (kids[k] == 0)
			_exit(k == 0 ? engine(page, rounds) : operator(shared, k));
	}
	for (k = 0; k < 3; k++)
		if (waitpid(kids[k], &status, 0) != kids[k] || !WIFEXITED(status) || WEXITSTATUS(status))
			failed++;
	kill(rd, SIGKILL);
	waitpid(rd, &status, 0);
	close(shared);
	printf("KTEST %s stress_user: %d part(s) failed\n", failed ? "FAIL" : "ok", failed);
	return failed != 0;
}
