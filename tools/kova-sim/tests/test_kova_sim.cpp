// kova-sim as operators and the engine simulator use it: a real FUSE mount
// served by the binary, an engine in another process attaching its shared
// memory through MNT/dev/kova, and the script and crc modes.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "flow_key.h"
#include "kova/kova_shm.h"
#include "module/module.h"
#include "sim_process.h"

namespace {

using namespace kova_sim_test;

constexpr uint32_t kCrc = 0x74253d4bu; // of the key below (see test_flow_key.cpp)
constexpr uint32_t kSlot = kCrc >> KOVA_LUT_BUCKET_SHIFT;

std::string definition(int flow_id) {
    return "flow_id=" + std::to_string(flow_id) +
           " crc32=0x74253d4b flow_ucc=2 flow_subport=0 eth_dmac=02:00:00:4f:03:e8 eth_smac=02:00:00:4f:03:e9"
           " vlan_id_1=0 vlan_id_2=0 eth_type=0x800 ipv4_src=10.0.0.1 ipv4_dst=10.0.0.2 udp_sport=5000"
           " udp_dport=6000 rule1=RULE_FORWARD_TO_QE qos_serviceclass=7 qos_trusted=1 subport=4 priority=3"
           " port=9 ;\n";
}

kova_flow_key expected_key() {
    kova_FLOW f;
    std::memset(&f, 0, sizeof f);
    const uint8_t dmac[6] = {2, 0, 0, 0x4f, 3, 0xe8}, smac[6] = {2, 0, 0, 0x4f, 3, 0xe9};
    std::memcpy(f.eth_dmac, dmac, 6);
    std::memcpy(f.eth_smac, smac, 6);
    f.eth_type = KOVA_ETH_TYPE_IPV4;
    const uint8_t s[4] = {10, 0, 0, 1}, d[4] = {10, 0, 0, 2};
    std::memcpy(f.ip_src.v4, s, 4);
    std::memcpy(f.ip_dst.v4, d, 4);
    f.udp_sport = 5000;
    f.udp_dport = 6000;
    kova_flow_key k;
    kova_flow_key_make(&f, &k);
    return k;
}

uint32_t le32(const uint8_t *p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

std::string first_line(const std::string &path) {
    std::string text;
    if (!read_file(path, &text))
        return "(read failed: " + std::string(std::strerror(errno)) + ")";
    return text.substr(0, text.find('\n'));
}

// Runs a shell command; its exit status and its output (stdout and stderr).
int run(const std::string &cmd, std::string *out) {
    out->clear();
    FILE *p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p)
        return -1;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out->append(buf, n);
    const int st = pclose(p);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

uint8_t *map_object(const std::string &name, bool create) {
    const int fd = shm_open(name.c_str(), O_RDWR | (create ? O_CREAT | O_EXCL : 0), 0600);
    if (fd < 0)
        return nullptr;
    if (create && ftruncate(fd, KOVA_SHM_SIZE) != 0) {
        close(fd);
        return nullptr;
    }
    void *p = mmap(nullptr, KOVA_SHM_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    return p == MAP_FAILED ? nullptr : static_cast<uint8_t *>(p);
}

long attach(const std::string &dev, void *area, const char *version) {
    kova_attach_args a;
    std::memset(&a, 0, sizeof a);
    a.shm_vaddr = reinterpret_cast<uintptr_t>(area);
    a.qe_base = 0x2000000000ull;
    std::snprintf(a.ucode_version, sizeof a.ucode_version, "%s", version);
    const int fd = open(dev.c_str(), O_RDWR);
    if (fd < 0)
        return -errno;
    const long r = ioctl(fd, KOVA_IOC_ATTACH, &a);
    const long e = r < 0 ? -errno : r;
    close(fd);
    return e;
}

// The engine's side, run in a child process: attach its own shared object,
// create a flow by file writes, find it in its memory, delete it. "" when all
// went as expected.
std::string engine_child(const Sim &sim, const std::string &shm_name) {
    uint8_t *area = map_object(shm_name, true);
    if (!area)
        return "cannot create the shared object";
    if (long r = attach(sim.path("/dev/kova"), area, "engine-child"))
        return "attach: " + std::to_string(r);
    if (long r = write_file(sim.debug("create_flows"), definition(1)); r != long(definition(1).size()))
        return "create write: " + std::to_string(r);
    if (std::string l = first_line(sim.debug("create_flows")); l != "Previous call of kovaAPIcreateVoipFlow=0")
        return "create_flows says: " + l;
    const uint8_t *e = area + KOVA_SHM_TABLE + KOVA_LUT_SIZE * kSlot;
    if (le32(e + KOVA_LUT_OFF_VALID) != KOVA_LUT_VALID_LIVE || le32(e + KOVA_LUT_OFF_CRC32) != kCrc)
        return "no live entry at the bucket head slot";
    const kova_flow_key key = expected_key();
    if (std::memcmp(e + KOVA_FLOW_KEY_ENTRY_OFF, key.bytes, KOVA_FLOW_KEY_LEN) != 0)
        return "the entry's key differs from the flow key";
    if (long r = write_file(sim.debug("delete_flows"), "flow_id=1\n"); r <= 0)
        return "delete write: " + std::to_string(r);
    if (std::string l = first_line(sim.debug("delete_flows")); l != "Previous call of kovaAPIdeleteVoipFlow=0")
        return "delete_flows says: " + l;
    if (le32(e + KOVA_LUT_OFF_VALID) != KOVA_LUT_VALID_OFF)
        return "the entry is still valid after the delete";
    return "";
}

TEST(KovaSimMount, EngineProcessAttachesItsSharedMemory) {
    Sim sim{KOVA_SIM_BINARY};
    KOVA_SIM_START_OR_SKIP(sim);
    const std::string shm_name = "/kova-sim-test-" + std::to_string(getpid());
    shm_unlink(shm_name.c_str());

    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(report[0]);
        const std::string why = engine_child(sim, shm_name);
        if (!why.empty() && write(report[1], why.data(), why.size()) < 0)
            _exit(2);
        _exit(why.empty() ? 0 : 1);
    }
    close(report[1]);
    std::string why;
    char buf[256];
    for (long n; (n = read(report[0], buf, sizeof buf)) > 0;)
        why.append(buf, size_t(n));
    close(report[0]);
    EXPECT_EQ(wait_exit(child, 60), 0) << why;
    EXPECT_EQ(why, "");

    // The engine is gone; kova-sim still serves, and still writes into the
    // object the engine attached (it holds its own mapping of it).
    std::string dump;
    EXPECT_TRUE(read_file(sim.debug("dump_flows_cpu"), &dump));
    EXPECT_NE(dump.find("All LUTs:"), std::string::npos) << dump;
    uint8_t *area = map_object(shm_name, false);
    ASSERT_NE(area, nullptr);
    EXPECT_EQ(write_file(sim.debug("create_flows"), definition(2)), long(definition(2).size()));
    EXPECT_EQ(first_line(sim.debug("create_flows")), "Previous call of kovaAPIcreateVoipFlow=0");
    EXPECT_EQ(le32(area + KOVA_LUT_SIZE * kSlot + KOVA_LUT_OFF_VALID), KOVA_LUT_VALID_LIVE);
    munmap(area, KOVA_SHM_SIZE);
    shm_unlink(shm_name.c_str());

    EXPECT_EQ(sim.stop(), 0) << sim.log();
    struct stat st;
    EXPECT_NE(stat(sim.path("/dev/kova").c_str(), &st), 0) << "still mounted after SIGTERM";
}

std::vector<std::string> list(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(KovaSimMount, RefusesWhatTheKernelRefuses) {
    Sim sim{KOVA_SIM_BINARY};
    KOVA_SIM_START_OR_SKIP(sim);
    EXPECT_EQ(list(sim.mnt), (std::vector<std::string>{"dev", "kova-sim", "sys"}));
    EXPECT_EQ(list(sim.path("/dev")), std::vector<std::string>{"kova"});
    EXPECT_EQ(list(sim.path("/sys/kernel/debug/kova")),
              (std::vector<std::string>{"create_flows", "create_flows_old", "delete_flows", "dump_flows_cpu",
                                        "dump_flows_qe", "dump_oq", "dump_scheduler", "flow_list", "setlag"}));

    for (const char *p : {"/nothere", "/dev/other", "/sys/kernel/debug/kova/nothere", "/sys/kernel/debug/other"}) {
        errno = 0;
        EXPECT_LT(open(sim.path(p).c_str(), O_RDONLY), 0) << p;
        EXPECT_EQ(errno, ENOENT) << p;
    }
    EXPECT_EQ(write_file(sim.debug("dump_flows_cpu"), "1\n"), -EINVAL);

    const int dev = open(sim.path("/dev/kova").c_str(), O_RDWR);
    ASSERT_GE(dev, 0);
    errno = 0;
    EXPECT_EQ(ioctl(dev, _IO('k', 3)), -1);
    EXPECT_EQ(errno, EINVAL);
    close(dev);

    // An area that is not a shared object, and an object shorter than the
    // area: both refused, and the module is not left writing anywhere.
    void *priv = mmap(nullptr, KOVA_SHM_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(priv, MAP_FAILED);
    EXPECT_EQ(attach(sim.path("/dev/kova"), priv, "private"), -EFAULT);
    munmap(priv, KOVA_SHM_SIZE);
    const std::string shm_name = "/kova-sim-test-short-" + std::to_string(getpid());
    const int fd = shm_open(shm_name.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, KOVA_SHM_SIZE / 2), 0);
    void *half = mmap(nullptr, KOVA_SHM_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    shm_unlink(shm_name.c_str());
    ASSERT_NE(half, MAP_FAILED);
    EXPECT_EQ(attach(sim.path("/dev/kova"), half, "short"), -EFAULT);
    munmap(half, KOVA_SHM_SIZE);

    std::string text;
    EXPECT_TRUE(read_file(sim.debug("dump_flows_cpu"), &text)) << "kova-sim stopped serving";
    EXPECT_EQ(sim.stop(), 0) << sim.log();
}

// A second mount on a mount point would hide the first one: refused, the
// first left serving; so is one whose server was killed.
TEST(KovaSimMount, ExitsWhenUnmountedAndRefusesAMountPointInUse) {
    const std::string bin = KOVA_SIM_BINARY;
    std::string out;
    Sim sim{bin}, dead{bin};
    KOVA_SIM_START_OR_SKIP(sim);
    EXPECT_EQ(run(bin + " " + sim.mnt, &out), 1);
    EXPECT_EQ(out, "kova-sim: mount point " + sim.mnt + ": already mounted (fuse.kova-sim); unmount it first\n");
    EXPECT_NE(read_file(sim.debug("dump_flows_cpu")).find("All LUTs:"), std::string::npos);
    EXPECT_EQ(sim.unmount(), 0) << sim.log();

    KOVA_SIM_START_OR_SKIP(dead);
    ASSERT_EQ(kill(dead.pid(), SIGKILL), 0);
    EXPECT_EQ(dead.stop(), 128 + SIGKILL);
    EXPECT_EQ(run(bin + " " + dead.mnt, &out), 1);
    EXPECT_NE(out.find(": already mounted (a FUSE mount whose server is gone)"), std::string::npos) << out;
}

// Both tools' command lines: either form of an option's value; a usage
// error named in one line with the way to --help, nothing more; what is
// wrong with a value; input from the command line or a file escaped.
TEST(ToolCommandLines, ErrorsNameTheFaultAndEscapeTheInput) {
    char dir[] = "/tmp/kova-cli-test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string d = dir, shm = "/kova-cli-test-" + std::to_string(getpid());
    auto put = [&](const char *name, const std::string &bytes) { std::ofstream(d + "/" + name) << bytes; };
    put("empty", "# no packets\n\n");
    put("binary", "ucc=1 \x01\x1b[2Jx=1\n");
    put("long", "ucc=1 " + std::string(100, 'a') + "\n");
    const std::string pcap_head("\xd4\xc3\xb2\xa1\x02\0\x04\0\0\0\0\0\0\0\0\0\xff\xff\0\0", 20);
    put("none.pcap", pcap_head + std::string("\x01\0\0\0", 4));
    put("linktype.pcap", pcap_head + std::string("\x2c\x01\0\0", 4));
    uint8_t *area = map_object(shm, true);
    ASSERT_NE(area, nullptr);
    munmap(area, KOVA_SHM_SIZE);

    const std::string S = KOVA_SIM_BINARY, E = KOVA_ENGINE_BINARY, no = " --no-attach --shm=" + shm,
                      try_s = "\nTry 'kova-sim --help' for more information.\n",
                      try_e = "\nTry 'kova-engine --help' for more information.\n";
    // `kova-sim crc` with field i of a valid key (the 10th: the UCC) replaced.
    const auto crc = [&](size_t i, const std::string &v) {
        std::vector<std::string> f = {"02:00:00:4f:03:e8", "2:0:0:4f:3:e9", "0", "0", "800", "10.0.0.1", "10.0.0.2",
                                      "5000", "6000", "2"};
        f[i] = v;
        std::string cmd = S + " crc";
        for (const std::string &x : f)
            cmd += " " + x;
        return cmd;
    };
    const struct {
        std::string cmd;
        int status;
        std::string want, also;
    } rows[] = {
        {S + " --version", 0, "kova-sim " KOVA_API_VERSION "\n"},
        {S + " --bogus", 2, "kova-sim: unrecognized option '--bogus'" + try_s},
        {S + " -o", 2, "kova-sim: option requires an argument -- 'o'" + try_s},
        {S, 2, "kova-sim: give a MOUNTPOINT to serve, or --script FILE" + try_s},
        {S + " " + d + " extra", 2, "kova-sim: unexpected argument 'extra'" + try_s},
        {S + " --script=" + d + "/nothere", 2, "kova-sim: " + d + "/nothere: No such file or directory\n"},
        {S + " /nonexistent-dir/mnt -f", 1, "kova-sim: mount point /nonexistent-dir/mnt: No such file or directory"},
        {S + " crc 1 2", 2, "got 2 fields\nTry 'kova-sim crc --help' for more information.\n"},
        {crc(0, "02:00:00:4f:03:e8f"), 2, "kova-sim crc: eth_dmac: 02:00:00:4f:03:e8f out of range 0x0..0xff\n"},
        {crc(2, "4096"), 2, "kova-sim crc: vlan_id_1: 4096 out of range 0..4095\n"},
        {crc(4, "10800"), 2, "kova-sim crc: eth_type: 10800 out of range 0x0..0xffff\n"},
        {crc(5, "300.1.1.1"), 2, "kova-sim crc: ipv4_src: 300.1.1.1 out of range 0..255\n"},
        {crc(7, "70000"), 2, "kova-sim crc: udp_sport: 70000 out of range 0..65535\n"},
        {crc(8, "99999999999999999999999"), 2, "udp_dport: 99999999999999999999999 out of range 0..65535\n"},
        {crc(9, "41"), 2, "kova-sim crc: flow_ucc: 41 out of range 0..40\n"},
        {E + " --version", 0, "kova-engine " KOVA_API_VERSION "\n"},
        {E + " --bogus", 2, "kova-engine: unrecognized option '--bogus'" + try_e},
        {E + " --shm", 2, "kova-engine: option '--shm' requires an argument" + try_e},
        {E + " \"$(printf 'x\\033')\"", 2, "kova-engine: unexpected argument 'x\\x1b'" + try_e},
        {E + " --generate 0 --flows f", 2, "--generate takes a packet count of at least 1, not '0'" + try_e},
        {E + " --miss-percent=101", 2, "kova-engine: --miss-percent takes a share 0..100, not '101'" + try_e},
        {E + " --subport 4096", 2, "kova-engine: --subport takes a subport 0..4095, not '4096'" + try_e},
        {E + " --port=41", 2, "kova-engine: --port takes a UCC 0..40 or vlan, not '41'" + try_e},
        {E + " --qe-base 0x1001", 2, "kova-engine: --qe-base takes a non-zero multiple of 256, not '0x1001'" + try_e},
        {E + " --crc " + d + "/binary", 1, "kova-engine: " + d + "/binary:1: unknown field '\\x01\\x1b[2Jx=1'\n"},
        {E + no + " --generate 5 --flows=" + d + "/long", 1, ":1: unknown field '" + std::string(64, 'a') + "'...\n"},
        {E + no + " --trace=" + d + "/empty", 0, "kova-engine: warning: " + d + "/empty holds no packets\n",
         "packets: 0\n"},
        {E + no + " --pcap " + d + "/none.pcap --port vlan", 0, "packets: 0\n",
         "kova-engine: warning: " + d + "/none.pcap holds no frames\n"},
        {E + no + " --pcap " + d + "/linktype.pcap --port 1", 1, d + "/linktype.pcap: link type 300, not Ethernet"},
    };
    std::string out;
    for (const auto &row : rows) {
        EXPECT_EQ(run(row.cmd, &out), row.status) << row.cmd << "\n" << out;
        EXPECT_NE(out.find(row.want), std::string::npos) << row.cmd << "\n" << out;
        EXPECT_NE(out.find(row.also), std::string::npos) << row.cmd << "\n" << out;
        EXPECT_EQ(out.find("usage:"), std::string::npos) << row.cmd << "\n" << out;
    }
    shm_unlink(shm.c_str());
    std::system(("rm -r " + d).c_str());
}

TEST(KovaSimScript, RunsStepsAndStopsAtAMalformedLine) {
    char name[] = "/tmp/kova-sim-script.XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    std::string def = definition(1);
    def.pop_back(); // the script's \n escape stands for it
    const std::string script = "# a comment\n"
                               "attach t1\n"
                               "write create_flows " + def + "\\n\n"
                               "read create_flows\n"
                               "call kovaAPIgetFlowStatistics 1\n"
                               "write dump_flows_cpu x\n"
                               "call kovaAPIdeleteVoipFlow 1\n"
                               "call kovaAPIdeleteVoipFlow 1\n"
                               "frobnicate\n"
                               "echo not reached\n";
    ASSERT_EQ(write(fd, script.data(), script.size()), long(script.size()));
    close(fd);
    std::string out;
    EXPECT_EQ(run(std::string(KOVA_SIM_BINARY) + " --script " + name, &out), 2);
    unlink(name);
    for (const char *want : {"attach = 0\n", "write create_flows = ", "Previous call of kovaAPIcreateVoipFlow=0\n",
                             "call kovaAPIgetFlowStatistics(1) = 0 ", "write dump_flows_cpu = -22",
                             "call kovaAPIdeleteVoipFlow(1) = 0\ncall kovaAPIdeleteVoipFlow(1) = 7\n",
                             ":9: unknown command"})
        EXPECT_NE(out.find(want), std::string::npos) << want << "\n--- output:\n" << out;
    EXPECT_EQ(out.find("not reached"), std::string::npos);
}

TEST(KovaSimCrc, PositionalAndKeyedFormsAgree) {
    const std::string bin = KOVA_SIM_BINARY;
    std::string out;
    EXPECT_EQ(run(bin + " crc 02:00:00:4f:03:e8 02:00:00:4f:03:e9 0 0 800 10.0.0.1 10.0.0.2 5000 6000 2", &out), 0);
    EXPECT_EQ(out.rfind("crc32=0x74253d4b\n", 0), 0u) << out;
    EXPECT_NE(out.find(" flow_ucc=2 "), std::string::npos) << out;
    // A whole definition: keys it does not need are ignored.
    EXPECT_EQ(run(bin + " crc " + definition(7).substr(0, definition(7).size() - 3), &out), 0);
    EXPECT_EQ(out.rfind("crc32=0x74253d4b\n", 0), 0u) << out;
    EXPECT_EQ(run(bin + " crc 02:00:00:4f:03:e8 02:00:00:4f:03:e9 0 0 800 10.0.0 10.0.0.2 5000 6000", &out), 2);
    EXPECT_EQ(run(bin + " crc eth_dmac=02:00:00:4f:03:e8", &out), 2);
    EXPECT_NE(out.find("eth_smac missing"), std::string::npos) << out;
}

} // namespace
