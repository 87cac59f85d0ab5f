/*
 * The engine side of the in-kernel test: runs inside the booted kernel as a
 * static program. It attaches a physically contiguous area (one 1 GiB huge
 * page) through /dev/kova, drives the debug files as an operator would, and
 * checks what the module wrote into its own area.
 *
 * Each check prints "KTEST ok <name>" or "KTEST FAIL <name>: <why>"; the
 * harness on the host side counts them from the serial console.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "kova/kova_shm.h"

#ifndef MAP_HUGE_1GB
#define MAP_HUGE_1GB (30 << 26)
#endif

#define DEBUGFS "/sys/kernel/debug/kova/"
#define QE_BASE 0x40000000ull /* the engine's own address of its table */

static int failures;

static void check(int ok, const char *name, const char *fmt, ...)
{
	if (ok) {
		printf("KTEST ok %s\n", name);
	} else {
		va_list ap;
		printf("KTEST FAIL %s: ", name);
		va_start(ap, fmt);
		vprintf(fmt, ap);
		va_end(ap);
		printf("\n");
		failures++;
	}
	fflush(stdout);
}

/* The engine's words are little-endian, as these CPUs are. */
static uint32_t le32(const uint8_t *p)
{
	return *(const uint32_t *)p;
}

static uint64_t le64(const uint8_t *p)
{
	return *(const uint64_t *)p;
}

/* Writes `text` to a debug file in one write; the write's result. */
static long write_file(const char *name, const char *text)
{
	char path[128];
	snprintf(path, sizeof path, DEBUGFS "%s", name);
	int fd = open(path, O_WRONLY);
	if (fd < 0)
		return -errno;
	long n = write(fd, text, strlen(text));
	long r = n < 0 ? -errno : n;
	close(fd);
	return r;
}

/* Reads up to `cap` bytes of a file into `buf`; the count, or -1. */
static long read_all(const char *path, void *buf, size_t cap)
{
	int fd = open(path, O_RDONLY);
	size_t n = 0;
	ssize_t r = 1;

	while (fd >= 0 && n < cap && (r = read(fd, (char *)buf + n, cap - n)) > 0)
		n += (size_t)r;
	if (fd >= 0)
		close(fd);
	return fd < 0 || r < 0 ? -1 : (long)n;
}

/* A whole file as a string (until the next call), or NULL; *len its length. */
static const char *read_text(const char *path, long *len)
{
	static char text[1 << 20];
	long n = read_all(path, text, sizeof(text) - 1);

	text[n < 0 ? 0 : n] = 0;
	*len = n;
	return n < 0 ? NULL : text;
}

static const char *flow_keys(int flow_id, const char *dport)
{
	static char text[512];
	snprintf(text, sizeof text,
		 "flow_id=%d crc32=0x930481c1 flow_ucc=2 flow_subport=0 eth_dmac=02:00:00:4f:03:e8\n"
		 "eth_smac=02:00:01:00:00:10 vlan_id_1=3999 vlan_id_2=3988 eth_type=0x800\n"
		 "ipv4_src=192.168.32.102 ipv4_dst=192.168.39.102 udp_sport=0 udp_dport=%s\n"
		 "rule1=RULE_FORWARD_TO_QE qos_serviceclass=7 qos_trusted=KOVA_PORT_UNTRUSTED subport=4 "
		 "priority=3 port=9\n;",
		 flow_id, dport);
	return text;
}

static void check_device_before_attach(void)
{
	char buf[16];
	int fd = open("/dev/kova", O_RDONLY);
	check(fd >= 0, "dev_open", "errno %d", errno);
	check(read(fd, buf, sizeof buf) < 0 && errno != EBADF, "dev_read_before_attach",
	      "a read before the attach succeeded");
	close(fd);
}

static uint8_t *attach_area(void)
{
	const size_t size = 1ul << 30;
	/* Shared, as an engine must map it: a private page copied on write
	 * after a fork would no longer be the page the module writes. */
	uint8_t *area = mmap(NULL, size, PROT_READ | PROT_WRITE,
			     MAP_SHARED | MAP_ANONYMOUS | MAP_HUGETLB | MAP_HUGE_1GB, -1, 0);
	check(area != MAP_FAILED, "huge_page", "mmap of a 1 GiB page: errno %d", errno);
	if (area == MAP_FAILED)
		return NULL;
	memset(area, 0, KOVA_SHM_SIZE);

	kova_attach_args a;
	memset(&a, 0, sizeof a);
	a.shm_vaddr = (uint64_t)(uintptr_t)area;
	a.qe_base = QE_BASE;
	strcpy(a.ucode_version, "ktest-engine 1");
	int fd = open("/dev/kova", O_RDWR);
	int r = ioctl(fd, KOVA_IOC_ATTACH, &a);
	check(r == 0, "attach", "ioctl returned %d, errno %d", r, errno);
	r = ioctl(fd, KOVA_IOC_ATTACH - 1, &a); /* number 1: refused */
	check(r < 0 && errno == EINVAL, "attach_bad_number", "ioctl returned %d, errno %d", r, errno);
	close(fd);
	return area;
}

/* The first flow sits at its bucket head; the second, with the same CRC,
 * in an overflow slot that the head links to in the engine's own terms. */
static void check_flows(uint8_t *area, uint32_t *second_slot)
{
	const uint32_t head = 0x930481c1u >> 18;
	long r = write_file("create_flows", flow_keys(1, "5")), len;
	check(r > 0, "create_first", "write returned %ld", r);
	const char *usage = read_text(DEBUGFS "create_flows", &len);
	check(usage && strncmp(usage, "Previous call of kovaAPIcreateVoipFlow=0\n", 41) == 0,
	      "create_result", "read starts with %.50s", usage ? usage : "(null)");
	r = write_file("create_flows", flow_keys(2, "6"));
	check(r > 0, "create_second", "write returned %ld", r);

	const uint8_t *e = area + KOVA_SHM_TABLE + 256ull * head;
	check(le32(e + KOVA_LUT_OFF_CRC32) == 0x930481c1u && le32(e + KOVA_LUT_OFF_VALID) == 1,
	      "head_entry", "crc 0x%08x valid %u", le32(e + KOVA_LUT_OFF_CRC32),
	      le32(e + KOVA_LUT_OFF_VALID));
	const uint64_t link = le64(e + KOVA_LUT_OFF_NEXT_CRC32);
	const uint64_t slot = (link - QE_BASE) / 256;
	const int in_table = link > QE_BASE && (link - QE_BASE) % 256 == 0 && slot < KOVA_LUT_ENTRIES;
	check(in_table, "head_link", "next_crc32 0x%llx", (unsigned long long)link);
	if (!in_table)
		return;
	const uint8_t *o = area + 256ull * slot;
	check(le32(o + KOVA_LUT_OFF_CRC32) == 0x930481c1u && le32(o + KOVA_LUT_OFF_VALID) == 1 &&
		      o[KOVA_LUT_OFF_PORTS + 3] == 6,
	      "chained_entry", "slot %llu crc 0x%08x valid %u", (unsigned long long)slot,
	      le32(o + KOVA_LUT_OFF_CRC32), le32(o + KOVA_LUT_OFF_VALID));
	*second_slot = (uint32_t)slot;
}

static void check_dumps(void)
{
	long len;
	const char *cpu = read_text(DEBUGFS "dump_flows_cpu", &len);
	check(cpu && strstr(cpu, "CRC32 0x930481c1") && strstr(cpu, "All LUTs:         2\n"), "dump_cpu",
	      "%ld bytes", len);
	const char *qe = read_text(DEBUGFS "dump_flows_qe", &len);
	check(qe && strstr(qe, "CRC32 0x930481c1") && strstr(qe, "QE All LUTs:         2\n"), "dump_qe",
	      "%ld bytes", len);
	check(read_text(DEBUGFS "dump_oq", &len) && len == 0, "dump_oq_empty", "%ld bytes", len);
}

static void check_delete(uint8_t *area, uint32_t second_slot)
{
	const uint8_t *e = area + 256ull * (0x930481c1u >> 18);
	long r = write_file("delete_flows", "flow_id=2"), len;
	check(r == 9, "delete", "write returned %ld", r);
	const char *text = read_text(DEBUGFS "delete_flows", &len);
	check(text && strncmp(text, "Previous call of kovaAPIdeleteVoipFlow=0\n", 41) == 0,
	      "delete_result", "%.60s", text ? text : "(null)");
	const uint8_t *o = area + 256ull * second_slot;
	check(le64(e + KOVA_LUT_OFF_NEXT_CRC32) == 0 && le32(o + KOVA_LUT_OFF_VALID) == 0,
	      "delete_unlinked", "head link 0x%llx, valid %u",
	      (unsigned long long)le64(e + KOVA_LUT_OFF_NEXT_CRC32), le32(o + KOVA_LUT_OFF_VALID));
	r = write_file("delete_flows", "flow_id=x");
	check(r == -3, "delete_bad_text", "write returned %ld", r);
}

/* This system has no "kova0": the group is kept but its commit is refused
 * (17), and the write says so. */
static void check_setlag(void)
{
	long r = write_file("setlag", "lagnum=1 lagmode=1 lagportmask=0x6");
	check(r == -3, "setlag", "write returned %ld", r);
	r = write_file("setlag", "lagnum=1");
	check(r == -3, "setlag_bad_text", "write returned %ld", r);
}

/* The device returns the area as the engine sees it, from the table on. */
static void check_device_read(const uint8_t *area)
{
	const long want = 256l * ((0x930481c1u >> 18) + 1);
	static uint8_t copy[256 * ((0x930481c1u >> 18) + 1)];
	long n = read_all("/dev/kova", copy, sizeof(copy));

	check(n == want && memcmp(copy, area, want) == 0, "dev_read", "read %ld of %ld bytes", n,
	      want);
}

int main(void)
{
	setvbuf(stdout, NULL, _IOLBF, 0);
	check_device_before_attach();
	uint8_t *area = attach_area();
	if (area) {
		uint32_t second = 0;
		check_flows(area, &second);
		check_dumps();
		if (second)
			check_delete(area, second);
		check_setlag();
		check_device_read(area);
	}
	printf("KTEST engine done, %d failed\n", failures);
	return failures ? 1 : 0;
}
