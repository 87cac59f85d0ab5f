// kova-demo: loads the module in the host, attaches an engine area, and then
// drives it the way an operator does, through the files in
// /sys/kernel/debug/kova: creates flows, shows how they are chained in the
// table, deletes one, sets a link-aggregation group, and prints the dumps.
#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "flow/ctrl.h"
#include "kova/host.h"
#include "kova/kovaAPI.h"
#include "kova/kova_shm.h"
#include "lib/bytes.h"

namespace {

using kv::bytes::get_le32;
using kv::bytes::get_le64;

const std::string kDir = "/sys/kernel/debug/kova/";
constexpr uint64_t kQeBase = 0x2000000000ull; // the engine's own address of the table

void heading(const char *title) { std::printf("\n== %s ==\n", title); }

// The module's log lines since the last call, and the log cleared.
std::vector<std::string> take_log() {
    std::string log(kova_host_log_read(nullptr, 0) + 1, '\0');
    kova_host_log_read(log.data(), log.size());
    log.resize(log.size() - 1);
    kova_host_log_clear();
    std::vector<std::string> lines;
    for (size_t at = 0; at < log.size();) {
        size_t end = log.find('\n', at);
        if (end == std::string::npos)
            end = log.size();
        lines.push_back(log.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

// Prints the log since the last call: every line, or only those that
// mention the API, from that mention on (the device's open message has no
// line end of its own).
void show_log(bool all = false) {
    for (const std::string &line : take_log()) {
        const size_t api = line.find("kovaAPI");
        if (all || api != std::string::npos)
            std::printf("   log: %s\n", line.c_str() + (all ? 0 : api));
    }
}

// One open, one write, one close: what `echo "text" > file` does.
long write_file(const char *name, const std::string &text) {
    const int fd = kova_host_open((kDir + name).c_str());
    if (fd < 0)
        return fd;
    const long r = kova_host_write(fd, text.data(), text.size());
    kova_host_close(fd);
    return r;
}

// What `cat file` prints: reads from a fresh open until the end.
std::string read_file(const char *name) {
    const int fd = kova_host_open((kDir + name).c_str());
    if (fd < 0)
        return "(open failed: " + std::to_string(fd) + ")\n";
    std::string text;
    char buf[4096];
    long n;
    while ((n = kova_host_read(fd, buf, sizeof buf)) > 0)
        text.append(buf, size_t(n));
    kova_host_close(fd);
    return text;
}

std::string first_line(const char *name) {
    const std::string text = read_file(name);
    return text.substr(0, text.find('\n'));
}

struct DemoFlow {
    uint32_t id;
    const char *what;
    const char *src, *dst; // dotted IPv4
    uint16_t sport, dport;
    const char *rules;
};

// The CRC32 of a flow is what the engine computes over the packet's key;
// here it is the usual CRC-32 of the two addresses and ports.
uint32_t key_crc(const DemoFlow &d) {
    uint8_t key[12] = {};
    unsigned a[4], b[4];
    std::sscanf(d.src, "%u.%u.%u.%u", &a[0], &a[1], &a[2], &a[3]);
    std::sscanf(d.dst, "%u.%u.%u.%u", &b[0], &b[1], &b[2], &b[3]);
    for (int i = 0; i < 4; ++i)
        key[i] = uint8_t(a[i]), key[4 + i] = uint8_t(b[i]);
    kv::bytes::put_be16(key + 8, d.sport);
    kv::bytes::put_be16(key + 10, d.dport);
    return kova_crc32(key, sizeof key);
}

std::string definition(const DemoFlow &d, uint32_t crc) {
    char text[600];
    std::snprintf(text, sizeof text,
                  "flow_id=%u crc32=0x%08x flow_ucc=1 flow_subport=0 eth_dmac=02:00:00:4f:03:e8 "
                  "eth_smac=02:00:01:00:00:10 vlan_id_1=100 vlan_id_2=0 eth_type=0x800 ipv4_src=%s ipv4_dst=%s "
                  "udp_sport=%u udp_dport=%u %s\n;\n",
                  d.id, crc, d.src, d.dst, d.sport, d.dport, d.rules);
    return text;
}

std::string slot_of_link(uint64_t link, uint64_t base) {
    return link ? "slot " + std::to_string((link - base) / KOVA_LUT_SIZE) : "-";
}

// Where a flow landed and how its entry links on, in the module's copy and
// in the engine's (whose links are engine addresses).
void show_slot(uint32_t id, const char *what) {
    const uint32_t slot = kova.appflow_map[id];
    const uint8_t *sh = kova.hashtable_base_cpu + size_t(slot) * KOVA_LUT_SIZE;
    const uint8_t *en = kova.hashtable_base_qe_remapped + size_t(slot) * KOVA_LUT_SIZE;
    const uint64_t cpu = uint64_t(uintptr_t(kova.hashtable_base_cpu));
    std::printf("  flow %u (%s): crc32 %08x, slot %u %s\n", id, what, get_le32(sh + KOVA_LUT_OFF_CRC32), slot,
                slot < KOVA_LUT_HEADS ? "(bucket head)" : "(overflow)");
    std::printf("      next with the same crc32: %s, next with another crc32: %s; engine copy valid=%u\n",
                slot_of_link(get_le64(sh + KOVA_LUT_OFF_NEXT_CRC32), cpu).c_str(),
                slot_of_link(get_le64(sh + KOVA_LUT_OFF_NEXT_CRC12), cpu).c_str(), get_le32(en + KOVA_LUT_OFF_VALID));
}

} // namespace

int main() {
    heading("1. Load the module");
    const int loaded = kova_host_load();
    std::printf("kova_host_load() = %d\n", loaded);
    const std::vector<std::string> load_log = take_log();
    if (!load_log.empty())
        std::printf("   log: %s\n   log: ... %zu more lines (the memory map and each UCC's start)\n",
                    load_log[0].c_str(), load_log.size() - 1);
    if (loaded != 0)
        return 1;
    std::printf("operator files in %s:\n ", kDir.c_str());
    for (const char *name : {"dump_flows_cpu", "dump_flows_qe", "dump_oq", "dump_scheduler", "create_flows",
                             "delete_flows", "create_flows_old", "setlag"})
        if (kova_host_path_exists((kDir + name).c_str()))
            std::printf(" %s", name);
    std::printf("\n");

    heading("2. Attach the engine's shared area");
    void *area =
        mmap(nullptr, KOVA_SHM_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (area == MAP_FAILED) {
        std::perror("kova-demo: mmap of the engine area");
        kova_host_unload();
        return 1;
    }
    kova_attach_args args;
    std::memset(&args, 0, sizeof args);
    args.shm_vaddr = uint64_t(uintptr_t(area));
    args.qe_base = kQeBase;
    std::strcpy(args.ucode_version, "demo 1.0");
    const int dev = kova_host_open("/dev/kova");
    const long attached = kova_host_ioctl(dev, KOVA_IOC_ATTACH, (unsigned long)(uintptr_t)&args);
    kova_host_close(dev);
    std::printf("%#x bytes at %p; /dev/kova attach ioctl = %ld\n", KOVA_SHM_SIZE, area, attached);
    show_log();

    heading("3. Create flows: echo \"<definition> ;\" > create_flows");
    const DemoFlow flows[] = {
        {100, "first of its bucket", "192.168.32.102", "10.0.0.1", 5060, 5060,
         "rule1=RULE_FORWARD_TO_QE qos_serviceclass=0 qos_trusted=KOVA_PORT_UNTRUSTED subport=0 priority=1 port=2"},
        {101, "same key as 100", "192.168.32.102", "10.0.0.1", 5060, 5060,
         "rule1=RULE_UPDATE_PACKET_CNT rule2=RULE_FORWARD_TO_CPU priority=3"},
        {102, "another bucket", "192.168.32.103", "10.0.0.1", 5060, 5060, "rule1=RULE_DROP_PACKET"},
        {103, "same bucket as 100, another crc32", "172.16.0.9", "10.0.0.2", 4000, 4000, "rule1=RULE_DROP_PACKET"},
    };
    const uint32_t first_crc = key_crc(flows[0]);
    for (const DemoFlow &d : flows) {
        // The engine hashes more than the fields used here, so two keys can
        // share the top 14 bits (the bucket) of their crc32: flow 103 does.
        const uint32_t crc = d.id == 103 ? (first_crc & 0xFFFC0000u) | ((first_crc + 1) & 0x3FFFFu) : key_crc(d);
        const std::string text = definition(d, crc);
        if (d.id == 100)
            std::printf("the definition of flow 100, as written:\n  %s", text.c_str());
        const long r = write_file("create_flows", text);
        std::printf("flow %u (%s): write = %ld; create_flows now says \"%s\"\n", d.id, d.what, r,
                    first_line("create_flows").c_str());
        kova_host_log_clear(); // the parsed keys, echoed: long and not needed here
    }

    heading("4. How the flows are chained in the table");
    for (const DemoFlow &d : flows)
        show_slot(d.id, d.what);

    heading("5. Delete flow 100: echo \"flow_id=100\" > delete_flows");
    long r = write_file("delete_flows", "flow_id=100");
    std::printf("write = %ld; delete_flows now says \"%s\"\n", r, first_line("delete_flows").c_str());
    show_log();
    std::printf("the head slot is fixed by the crc32, so flow 101 moved into it:\n");
    show_slot(101, "same key as 100");
    show_slot(103, "same bucket as 100, another crc32");
    r = write_file("delete_flows", "flow_id=100");
    std::printf("deleting it again: write = %ld; delete_flows says \"%s\"\n", r, first_line("delete_flows").c_str());
    show_log();

    heading("6. Link aggregation: echo \"lagnum=1 lagmode=1 lagportmask=0x6\" > setlag");
    std::printf("cat setlag: %s", read_file("setlag").c_str());
    kovaAPISetLAGPortUP(1);
    kovaAPISetLAGPortUP(2);
    std::printf("(the links of UCC1 and UCC2 are up)\n");
    std::printf("write = %ld\n", write_file("setlag", "lagnum=1 lagmode=1 lagportmask=0x6"));
    show_log();
    std::printf("LAG 1: mode %u, members %#x, active %#x\n", kova.lag_table[1].lag_mode, kova.lag_table[1].lag_portmask,
                kova.lag_table[1].lag_active);
    if (const size_t n = kova_host_sibling_received(nullptr, 0); n > 0) {
        std::vector<int64_t> cfg(4 * n);
        kova_host_sibling_received(reinterpret_cast<int64_t(*)[4]>(cfg.data()), n);
        const int64_t *last = &cfg[4 * (n - 1)];
        std::printf("sent to the network interface (active members of LAG 0..3): %#llx %#llx %#llx %#llx\n",
                    (long long)last[0], (long long)last[1], (long long)last[2], (long long)last[3]);
    }
    std::printf("a bad line: write = %ld\n", write_file("setlag", "lagnum=1"));
    show_log(true);

    heading("7. cat dump_flows_cpu (the module's copy of the table)");
    std::fputs(read_file("dump_flows_cpu").c_str(), stdout);
    heading("8. cat dump_flows_qe (the engine's copy)");
    std::fputs(read_file("dump_flows_qe").c_str(), stdout);

    heading("9. Unload");
    kova_host_unload();
    show_log();
    munmap(area, KOVA_SHM_SIZE);
    return 0;
}
