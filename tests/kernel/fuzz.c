// SPDX-License-Identifier: GPL-2.0
/*
 * Fuzzes the module's user interface from several processes at once: random
 * sequences of open, read, write, lseek, ioctl and close on /dev/kova and the
 * debug files (one create_flows open shared by all), with random sizes and
 * positions, random and mutated definitions, and argument pointers that are
 * unmapped, read-only, cut short by an unmapped page, misaligned, or name
 * memory that is not contiguous. Beside them an engine re-attaches the two
 * halves of its own 1 GiB page in turn, walks the half it holds as the
 * engine does (every link of a valid entry must lead to a valid entry) and
 * reads the dumps; with --engine it runs alone, beside other callers.
 * The kernel's checkers judge the module; this program checks the walk, that
 * no call returned more than it was asked for, that no process died, and
 * that the module still creates, lists and deletes a flow afterwards.
 * Prints "KTEST ok|FAIL <name>" lines.
 *
 *   kova-ktest-fuzz SECONDS [SEED] | --engine SECONDS
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "kova/kova_shm.h"

#ifndef MAP_HUGE_1GB
#define MAP_HUGE_1GB (30 << 26)
#endif

#define KOVA "/sys/kernel/debug/kova/"
#define PROCS 4
#define FDS 8
#define BUF (1u << 20)
#define PAGE 4096u
#define HALF (512ull << 20)
#define QE_BASE(i) (0x40000000ull + (i) * 0x40000000ull)

static const char *const paths[] = {
	"/dev/kova",	     KOVA "dump_flows_cpu", KOVA "dump_flows_qe",    KOVA "dump_oq",
	KOVA "dump_scheduler",
	KOVA "create_flows", KOVA "delete_flows",   KOVA "create_flows_old", KOVA "setlag",
	KOVA "flow_list",
};
#define NPATHS (sizeof(paths) / sizeof(paths[0]))

static const char *const tokens[] = {
	"=",	  ";",	      "\n",	  " ",	      "0x",	    "-1",	 "4294967296", "99999999999999999999",
	"rule1=", "rule9=",   "%n%s",	  "::",	      "ipv4_src=",  "1.2.3.4.5",
	"RULE_POLICING", "RULE_SET_TOS",
	"port=",  "weight=",  "priority", "flow_id=", "lagportmask=0x", "\0",	 "parent_flow_id=",
};

static const char valid_create[] =
	"flow_id=%u crc32=0x%x flow_ucc=%u flow_subport=0 eth_dmac=02:00:00:4f:03:e8 "
	"eth_smac=02:00:01:00:00:10 vlan_id_1=3999 vlan_id_2=3988 eth_type=0x800 "
	"ipv4_src=192.168.32.102 ipv4_dst=192.168.39.102 udp_sport=0 udp_dport=%u "
	"rule1=RULE_DROP_PACKET\n\nrule2=RULE_FORWARD_TO_QE qos_serviceclass=7 "
	"qos_trusted=KOVA_PORT_UNTRUSTED subport=4 priority=3 "
	"port=9\n\nrule3=RULE_UPDATE_PACKET_CNT ;";

/* The memory the calls point into: a buffer that ends at an unmapped
 * page, a read-only page, an unmapped page, and a large ordinary mapping
 * whose pages are not physically contiguous. */
static struct {
	uint8_t *rw, *ro, *none, *scattered, *huge;
} mem;

static uint64_t state;

static uint64_t rnd(void)
{
	state ^= state << 13;
	state ^= state >> 7;
	state ^= state << 17;
	return state;
}

static uint64_t below(uint64_t n)
{
	return n ? rnd() % n : 0;
}

/* A pointer for `n` bytes: mostly good, sometimes bad in one of the ways. */
static void *pointer(size_t n, int readable_only)
{
	if (n > BUF)
		n = BUF;
	switch (below(12)) {
	case 0:
		return NULL;
	case 1:
		return mem.none + below(PAGE);
	case 2:
		return readable_only ? mem.ro : mem.rw + BUF - n / 2; /* cut short */
	case 3:
		return (void *)(uintptr_t)(~0ull << 47 | below(1ull << 40)); /* the kernel's half */
	case 4:
		return mem.rw + BUF - n; /* ends exactly at the unmapped page */
	default:
		return mem.rw + below(8); /* misaligned now and then */
	}
}

static size_t size(void)
{
	static const size_t sizes[] = { 0, 1, 7, 48, 255, 256, 4095, 4096, 65536, BUF };

	return below(3) ? below(8192) : sizes[below(sizeof(sizes) / sizeof(sizes[0]))];
}

/* A definition, a delete or a LAG line, then mutated a few times. */
static size_t text(char *out, size_t cap)
{
	size_t n, k, muts;

	switch (below(4)) {
	case 0:
		n = snprintf(out, cap, valid_create, (unsigned int)below(3000), (unsigned int)rnd(),
			     (unsigned int)below(40), (unsigned int)below(70000));
		break;
	case 1:
		n = snprintf(out, cap, "flow_id=%d", (int)(below(4) ? below(3000) : rnd()));
		break;
	case 2:
		n = snprintf(out, cap, "lagnum=%d lagmode=%d lagportmask=0x%x", (int)below(6) - 1, (int)below(4),
			     (unsigned int)rnd());
		break;
	default:
		n = below(cap);
		for (k = 0; k < n; k++)
			out[k] = (char)rnd();
		return n;
	}
	muts = below(4);
	for (k = 0; k < muts && n > 0; k++) {
		size_t at = below(n), len;
		const char *t;

		switch (below(4)) {
		case 0: /* a byte changed */
			out[at] = (char)rnd();
			break;
		case 1: /* cut */
			n = at;
			break;
		case 2: /* a token inserted */
			t = tokens[below(sizeof(tokens) / sizeof(tokens[0]))];
			len = strlen(t) ? strlen(t) : 1;
			if (n + len < cap) {
				memmove(out + at + len, out + at, n - at);
				memcpy(out + at, t, len);
				n += len;
			}
			break;
		default: /* a stretch repeated */
			len = below(n - at + 1);
			while (n + len < cap && below(3)) {
				memmove(out + at + len, out + at, n - at);
				n += len;
			}
		}
	}
	return n;
}

/* An attach argument in one of its bad (or good) shapes. */
static void *attach_arg(void)
{
	kova_attach_args a;
	uint8_t *at;

	memset(&a, 0, sizeof(a));
	switch (below(6)) {
	case 0:
		a.shm_vaddr = (uintptr_t)mem.scattered;
		break;
	case 1:
		a.shm_vaddr = (uintptr_t)mem.ro;
		break;
	case 2:
		a.shm_vaddr = rnd();
		break;
	default: /* the huge page, at a page or anywhere */
		if (mem.huge)
			a.shm_vaddr = (uintptr_t)mem.huge +
				      (below(2) ? below(1ull << 30) & ~(PAGE - 1ull) :
						  rnd() % (1ull << 30));
	}
	a.qe_base = below(2) ? 0x40000000ull : rnd();
	for (size_t k = 0; k < sizeof(a.ucode_version); k++)
		a.ucode_version[k] = below(4) ? 'a' + (char)below(26) : (char)rnd();
	at = pointer(sizeof(a), 0);
	if (at >= mem.rw && at + sizeof(a) <= mem.rw + BUF)
		memcpy(at, &a, sizeof(a));
	else if (at >= mem.rw && at < mem.rw + BUF)
		memcpy(at, &a, (size_t)(mem.rw + BUF - at)); /* cut short */
	return at;
}

static unsigned long ioctl_cmd(void)
{
	switch (below(4)) {
	case 0:
		return KOVA_IOC_ATTACH;
	case 1: /* the number with another size or direction */
		return (KOVA_IOC_ATTACH & 0x3fffu) | (below(4) << 30) | (below(1u << 14) << 16);
	case 2:
		return KOVA_IOC_ATTACH ^ (1ull << below(32));
	default:
		return (uint32_t)rnd();
	}
}

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
					printf("fuzz: slot %u link %u names %llx\n", s, links[k],
					       (unsigned long long)to);
				continue;
			}
			v = le32(area + off + KOVA_LUT_OFF_VALID);
			if (v != 1 && v != 2 && le64(e + links[k]) == to &&
			    le32(e + KOVA_LUT_OFF_VALID) == 1 && faults++ < 3)
				printf("fuzz: slot %u links to slot %llu with valid %u\n", s,
				       (unsigned long long)(off / KOVA_LUT_SIZE), v);
		}
	}
	return faults;
}

static void drain(const char *path)
{
	static char buf[1 << 16];
	int fd = open(path, O_RDONLY);

	while (fd >= 0 && read(fd, buf, sizeof(buf)) > 0)
		;
	if (fd >= 0)
		close(fd);
}

/* The engine's process; returns non-zero on a fault or a refused attach. */
static int engine(time_t end)
{
	uint8_t *page = mmap(NULL, 1ull << 30, PROT_READ | PROT_WRITE,
			     MAP_SHARED | MAP_ANONYMOUS | MAP_HUGETLB | MAP_HUGE_1GB, -1, 0);
	unsigned int faults = 0, refused = 0;
	int fd = open("/dev/kova", O_RDWR), r;

	for (r = 0; page != MAP_FAILED && fd >= 0 && time(NULL) < end; r++) {
		kova_attach_args a;
		int i = r % 2, n;

		memset(&a, 0, sizeof(a));
		a.shm_vaddr = (uint64_t)(uintptr_t)(page + i * HALF);
		a.qe_base = QE_BASE(i);
		strcpy(a.ucode_version, "fuzz engine");
		refused += ioctl(fd, KOVA_IOC_ATTACH, &a) != 0;
		for (n = 0; n < 3; n++)
			faults += walk(page + i * HALF, QE_BASE(i));
		drain(KOVA "dump_flows_cpu");
		drain(KOVA "dump_flows_qe");
	}
	printf("KTEST %s fuzz_engine_walk: %d attaches, %u refused, %u bad links\n",
	       r && !refused && !faults ? "ok" : "FAIL", r, refused, faults);
	return !r || refused || faults;
}

/* One process's sequence, the first descriptor the shared one; returns the
 * number of calls that returned more than they were asked for. */
static unsigned int run(time_t end, unsigned long *calls, int shared)
{
	static char line[8192];
	int fds[FDS];
	unsigned int bad = 0, k;
	size_t n;
	ssize_t r;

	for (k = 0; k < FDS; k++)
		fds[k] = k ? -1 : shared;
	for (*calls = 0; time(NULL) < end; ++*calls) {
		int *fd = &fds[below(FDS)];
		void *p;
		off_t pos;

		switch (below(*fd < 0 ? 2 : 10)) {
		case 0:
		case 1:
			if (*fd >= 0)
				close(*fd);
			*fd = open(paths[below(NPATHS)], (int)below(3) | (below(4) ? 0 : O_NONBLOCK | O_APPEND));
			break;
		case 2:
			close(*fd);
			*fd = -1;
			break;
		case 3:
		case 4:
			n = size();
			p = pointer(n, 0);
			pos = below(2) ? (off_t)below(1ull << 26) : (off_t)rnd();
			r = below(2) ? read(*fd, p, n) : pread(*fd, p, n, pos);
			bad += r > (ssize_t)n;
			break;
		case 5:
			lseek(*fd, (off_t)rnd() >> below(64), (int)below(5));
			break;
		case 6:
		case 7:
			n = text(line, sizeof(line));
			p = below(8) ? line : pointer(n, 1);
			r = write(*fd, p, n);
			bad += r > (ssize_t)n;
			break;
		default:
			ioctl(*fd, ioctl_cmd(), below(8) ? attach_arg() : (void *)(uintptr_t)rnd());
		}
	}
	for (k = 0; k < FDS; k++)
		if (fds[k] >= 0)
			close(fds[k]);
	return bad;
}

static int map_memory(void)
{
	mem.rw = mmap(NULL, BUF + PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	mem.ro = mmap(NULL, PAGE, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	mem.none = mmap(NULL, PAGE, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	mem.scattered = mmap(NULL, KOVA_SHM_SIZE + PAGE, PROT_READ | PROT_WRITE,
			     MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
	mem.huge = mmap(NULL, 1ull << 30, PROT_READ | PROT_WRITE,
			MAP_SHARED | MAP_ANONYMOUS | MAP_HUGETLB | MAP_HUGE_1GB, -1, 0);
	if (mem.huge == MAP_FAILED) {
		printf("KTEST info fuzz: no free 1 GiB page, no attach can succeed\n");
		mem.huge = NULL;
	}
	if (mem.rw == MAP_FAILED || mem.ro == MAP_FAILED || mem.none == MAP_FAILED ||
	    mem.scattered == MAP_FAILED)
		return -1;
	return mprotect(mem.rw + BUF, PAGE, PROT_NONE);
}

static long write_text(const char *name, const char *t)
{
	int fd = open(name, O_WRONLY);
	long r = fd < 0 ? -1 : write(fd, t, strlen(t));

	if (fd >= 0)
		close(fd);
	return r;
}

static int starts(const char *name, const char *prefix)
{
	char got[128] = "";
	int fd = open(name, O_RDONLY);

	if (fd < 0 || read(fd, got, sizeof(got) - 1) < 0)
		got[0] = 0;
	if (fd >= 0)
		close(fd);
	return strncmp(got, prefix, strlen(prefix)) == 0;
}

/* After the storm: a fresh flow is created and deleted as before it. */
static int still_answers(void)
{
	char def[1024];

	write_text(KOVA "delete_flows", "flow_id=32000");
	snprintf(def, sizeof(def), valid_create, 32000u, 0x930481c1u, 2u, 7777u);
	return write_text(KOVA "create_flows", def) > 0 &&
	       starts(KOVA "create_flows", "Previous call of kovaAPIcreateVoipFlow=0\n") &&
	       write_text(KOVA "delete_flows", "flow_id=32000") == 13 &&
	       starts(KOVA "delete_flows", "Previous call of kovaAPIdeleteVoipFlow=0\n");
}

int main(int argc, char **argv)
{
	int seconds = argc > 1 ? atoi(argv[1]) : 30, status, died = 0, k;
	uint64_t seed = argc > 2 ? strtoull(argv[2], NULL, 0) : (uint64_t)time(NULL) * 2654435761u;
	unsigned int bad = 0;
	pid_t kids[PROCS + 1];
	int shared = open(KOVA "create_flows", O_WRONLY);

	setvbuf(stdout, NULL, _IOLBF, 0);
	if (argc > 2 && strcmp(argv[1], "--engine") == 0)
		return engine(time(NULL) + atoi(argv[2]));
	printf("KTEST info fuzz: seed %llu, %d processes, %d s\n", (unsigned long long)seed, PROCS,
	       seconds);
	if (map_memory() != 0) {
		printf("KTEST FAIL fuzz_setup: errno %d\n", errno);
		return 1;
	}
	kids[PROCS] = fork();
	if (kids[PROCS] == 0)
		_exit(engine(time(NULL) + seconds));
	for (k = 0; k < PROCS; k++) {
		kids[k] = fork();
		if (kids[k] == 0) {
			unsigned long calls;

			state = seed + 0x9e3779b97f4a7c15ull * (k + 1u);
			bad = run(time(NULL) + seconds, &calls, shared);
			printf("KTEST info fuzz process %d: %lu calls, %u returned too much\n", k, calls, bad);
			_exit(bad != 0);
		}
	}
	for (k = 0; k <= PROCS; k++) {
		if (waitpid(kids[k], &status, 0) != kids[k] || !WIFEXITED(status))
			died++;
		else if (k < PROCS) /* the engine reports its own */
			bad += WEXITSTATUS(status);
	}
	printf("KTEST %s fuzz_calls: %d processes died, %u returned too much (seed %llu)\n",
	       died || bad ? "FAIL" : "ok", died, bad, (unsigned long long)seed);
	k = still_answers();
	printf("KTEST %s fuzz_still_answers\n", k ? "ok" : "FAIL");
	return died || bad || !k;
}
