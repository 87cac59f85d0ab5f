// The operator's debugfs files, used through their paths as an operator
// would: their creation at load, the dump files, "delete_flows" and
// "setlag". The two create_flows files are tested on their own.
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "operator/debug_files.h"
#include "support/module_test.h"

namespace {

using kt::take_log;

const char *const kNames[] = {"dump_flows_cpu", "dump_flows_qe",    "dump_oq", "dump_scheduler", "create_flows",
                              "delete_flows",   "create_flows_old", "setlag",  "flow_list"};
const char *const kFailures[] = {"Cannot create dump_flows_cpu\n", "Cannot create dump_flows_qe\n",
                                 "Cannot create dump_oq\n",        "Cannot create dump_scheduler\n",
                                 "Cannot create create_flow\n",    "Cannot create delete_flows\n",
                                 "Cannot create create_flows_old\n", "Cannot create setlag\n",
                                 "Cannot create flow_list\n"};
constexpr size_t kFiles = sizeof kNames / sizeof kNames[0];

std::string path_of(const std::string &name, const std::string &dir = "kova") {
    return "/sys/kernel/debug/" + dir + "/" + name;
}

// Reads fd to its end in pieces of `piece` bytes; a failed read ends it too.
std::string read_rest(int fd, size_t piece = 4u << 20) {
    std::string all;
    std::vector<char> buf(piece);
    long n;
    while ((n = kova_host_read(fd, buf.data(), piece)) > 0)
        all.append(buf.data(), size_t(n));
    EXPECT_EQ(n, 0);
    return all;
}

std::string read_file(const char *name) {
    int fd = kova_host_open(path_of(name).c_str());
    EXPECT_GE(fd, 0) << name;
    std::string s = read_rest(fd);
    kova_host_close(fd);
    return s;
}

long write_file(const char *name, const std::string &text) {
    int fd = kova_host_open(path_of(name).c_str());
    EXPECT_GE(fd, 0) << name;
    long r = kova_host_write(fd, text.data(), text.size());
    kova_host_close(fd);
    return r;
}

// For each file: created in a directory of the test's own, a failure at the
// kth file leaves exactly the k before it; at load it fails the load with
// its message and leaves nothing behind.
TEST(DebugFiles, EachCreationFailureStopsInOrderAndFailsTheLoadCleanly) {
    const long allocs = kova_host_alloc_live(), maps = kova_host_iomap_live();
    for (size_t k = 0; k < kFiles; ++k) {
        SCOPED_TRACE(kNames[k]);
        kova_host_fail_debugfs(kNames[k]);
        void *dir = plat_debugfs_create_dir("probe", nullptr);
        ASSERT_NE(dir, nullptr);
        EXPECT_EQ(kv::files::create_debug_files(dir), -12);
        for (size_t j = 0; j < kFiles; ++j)
            EXPECT_EQ(kova_host_path_exists(path_of(kNames[j], "probe").c_str()), j < k ? 1 : 0) << kNames[j];
        plat_debugfs_remove_recursive(dir);

        kova_host_log_clear();
        kova_host_fail_debugfs(kNames[k]); // the probe used up the first
        EXPECT_EQ(kova_host_load(), -12);
        kova_host_fail_debugfs(nullptr);
        const std::string log = take_log();
        EXPECT_TRUE(kt::ends_with(log, std::string("\n") + kFailures[k]))
            << log.substr(log.size() > 200 ? log.size() - 200 : 0);
        EXPECT_FALSE(kova_host_path_exists("/sys/kernel/debug/kova"));
        EXPECT_FALSE(kova_host_path_exists("/dev/kova"));
        ASSERT_EQ(kova_host_alloc_live(), allocs);
        ASSERT_EQ(kova_host_iomap_live(), maps);
    }
    ASSERT_EQ(kova_host_load(), 0);
    for (const char *name : kNames)
        EXPECT_EQ(kova_host_path_mode(path_of(name).c_str()), 0444) << name;
    kova_host_unload();
}

// ---- The dump files ------------------------------------------------------

class DumpFiles : public kt::ModuleTest {
protected:
    static void create(uint32_t id) {
        kt::Flow fl = kt::keyed_flow(0x0A5C0001u + id * 0x40000u, id);
        ASSERT_EQ(kovaAPIcreateVoipFlow(fl.get(), id), KOVA_OK) << id;
    }
    static std::string dump(bool qe) {
        std::string buf(4u << 20, '\0');
        kova_DUMP_BUF out = {buf.data(), buf.size(), 0, 0};
        qe ? kovaAPIDumpFlowsQE2(1, &out) : kovaAPIDumpFlowsCPU2(1, &out);
        EXPECT_EQ(out.cut, 0u);
        buf.resize(out.len);
        return buf;
    }
};

// Both files open at once, read alternately in 100-byte pieces: each keeps
// the text taken at its open, and a new open takes the text again.
TEST_F(DumpFiles, TextIsTakenAtOpenAndReadInAnyPieces) {
    for (uint32_t id = 1; id <= 3; ++id)
        create(id);
    const std::string before[2] = {dump(false), dump(true)};
    ASSERT_NE(before[0], before[1]);
    const char *names[2] = {"dump_flows_cpu", "dump_flows_qe"};
    int fd[2] = {kova_host_open(path_of(names[0]).c_str()), kova_host_open(path_of(names[1]).c_str())};
    ASSERT_GE(fd[0], 0);
    ASSERT_GE(fd[1], 0);
    create(10);
    std::string got[2];
    char buf[100];
    for (bool more = true; more;) {
        more = false;
        for (int i = 0; i < 2; ++i) {
            long n = kova_host_read(fd[i], buf, sizeof buf);
            ASSERT_GE(n, 0);
            got[i].append(buf, size_t(n));
            more |= n > 0;
        }
    }
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(names[i]);
        EXPECT_EQ(got[i], before[i]);
        kova_host_close(fd[i]);
        const std::string after = dump(i == 1);
        ASSERT_NE(after, before[i]);
        EXPECT_EQ(read_file(names[i]), after);
    }
    // The output queue and scheduler files have nothing to show.
    EXPECT_EQ(read_file("dump_oq"), "");
    EXPECT_EQ(read_file("dump_scheduler"), "");
}

TEST_F(DumpFiles, FailedAllocationFailsTheOpen) {
    const long live = kova_host_alloc_live();
    for (int i = 0; i < 4; ++i) {
        const std::string want = i < 2 ? "dump_flows_qe_read: can not allocate print buffer\n"
                                       : "dump_oq_open: can not allocate print buffer\n";
        for (unsigned long nth : {1ul, 2ul}) {
            SCOPED_TRACE(std::string(kNames[i]) + " allocation " + std::to_string(nth));
            kova_host_fail_alloc(nth);
            EXPECT_EQ(kova_host_open(path_of(kNames[i]).c_str()), -12);
            kova_host_fail_alloc(0);
            EXPECT_EQ(take_log(), want);
            EXPECT_EQ(kova_host_alloc_live(), live);
        }
    }
}

TEST_F(DumpFiles, ShortUserCopyFailsAndKeepsThePosition) {
    create(1);
    const std::string want = dump(false);
    int fd = kova_host_open(path_of("dump_flows_cpu").c_str());
    char buf[64];
    ASSERT_EQ(kova_host_read(fd, buf, 10), 10);
    kova_host_user_copy_limit(5);
    EXPECT_EQ(kova_host_read(fd, buf, sizeof buf), -14);
    EXPECT_EQ(kova_host_file_pos(fd), 10);
    EXPECT_EQ(read_rest(fd), want.substr(10));
    kova_host_close(fd);
}

// One line per live slot with its owner, key, actions and the engine's
// counters; an extended flow names its parent's appflowid.
TEST_F(DumpFiles, FlowListJoinsRecordsEntriesAndEngineCounters) {
    EXPECT_EQ(read_file("flow_list"), "");
    create(1);
    kt::Flow ext = kt::keyed_flow(0x0A5C0001u + 0x40000u, 1); // an extended flow has its parent's key
    ext.rules.resize(2);
    ext.rules[0].type = RULE_FORWARD_TO_CPU;
    ASSERT_EQ(kovaAPIcreateExtendedFlow(ext.get(), 1, 40), KOVA_OK);
    const uint32_t slot[2] = {kova.appflow_map[1], kova.appflow_map[40]};
    uint8_t *counters = kt::engine_slot(slot[0]) + KOVA_LUT_OFF_PACKET_CNT;
    const uint32_t words[3] = {5, 300, 0x01020304};
    std::memcpy(counters, words, sizeof words); // the engine's own counting, little-endian here
    std::string want;
    for (int i = 0; i < 2; ++i) {
        const uint8_t *e = kt::shadow_slot(slot[i]);
        char head[200];
        std::snprintf(head, sizeof head,
                      "slot=%u appflowid=%u parent=%s ucc=1 crc32=0x%08x packets=%u octets=%u timestamp=%u key=",
                      slot[i], i ? 40u : 1u, i ? "1" : "-", kt::le32_at(e + KOVA_LUT_OFF_CRC32), i ? 0 : 5u,
                      i ? 0 : 300u, i ? 0 : 0x01020304u);
        want += head;
        char hex[3];
        for (uint32_t b = KOVA_LUT_OFF_ETH_DMAC; b < KOVA_LUT_OFF_CRC32; ++b)
            want += (std::snprintf(hex, sizeof hex, "%02x", e[b]), hex);
        // Drop (code 0 with the last-rule bit), behind forward-to-CPU in the extended flow.
        want += i ? " actions=0200000080000000\n" : " actions=80000000\n";
    }
    if (slot[0] > slot[1])
        want = want.substr(want.find('\n') + 1) + want.substr(0, want.find('\n') + 1);
    EXPECT_EQ(read_file("flow_list"), want);

    // The plain deletion will not orphan the extended flow; with_extended
    // takes both, and only 0 or 1 is a choice.
    EXPECT_EQ(write_file("delete_flows", "flow_id=1"), 9);
    EXPECT_EQ(read_file("flow_list"), want);
    EXPECT_EQ(write_file("delete_flows", "flow_id=1 with_extended=2"), -3);
    take_log();
    EXPECT_EQ(write_file("delete_flows", "flow_id=1 with_extended=1"), 25);
    EXPECT_EQ(take_log(), "kovaAPIdeleteFlowWithExtended=0\n");
    EXPECT_EQ(read_file("flow_list"), "");
}

// ---- delete_flows ----------------------------------------------------------

class DeleteFlows : public kt::ModuleTest {
protected:
    static std::string shown(const std::string &code) {
        return "Previous call of kovaAPIdeleteVoipFlow=" + code +
               "\n\n\tFlow delete example: echo \"flow_id=5\" > /sys/kernel/debug/kova/delete_flows\n";
    }
    static void create(uint32_t id) {
        kt::Flow fl = kt::keyed_flow(0x0A5C0001u + id, id);
        ASSERT_EQ(kovaAPIcreateVoipFlow(fl.get(), id), KOVA_OK);
    }
    static bool exists(uint32_t id) {
        uint64_t counter;
        return kovaAPIgetFlowPacketCounter(int32_t(id), &counter) == KOVA_OK;
    }
};

TEST_F(DeleteFlows, DeletesShowsTheResultAndRefusesBadInput) {
    create(5);
    // Bad input deletes nothing and leaves the code as loaded.
    EXPECT_EQ(write_file("delete_flows", "flow_id=abc"), -3);
    EXPECT_EQ(take_log(), "flow_id parameter error!\n");
    kova_host_user_copy_limit(3);
    EXPECT_EQ(write_file("delete_flows", "flow_id=5"), -12);
    EXPECT_EQ(take_log(), "kovaAPI: copy_from_user failed return 6\n");
    kova_host_user_copy_limit(-1);
    EXPECT_TRUE(exists(5));
    // More than 255 bytes are refused before anything is allocated; 255 pass.
    const std::string padded = "flow_id=5" + std::string(246, ' ');
    const unsigned long allocs = kova_host_alloc_count();
    EXPECT_EQ(write_file("delete_flows", padded + " "), -27);
    EXPECT_EQ(kova_host_alloc_count(), allocs);
    EXPECT_EQ(take_log(), "delete_flows: write of more than 255 bytes refused\n");
    EXPECT_TRUE(exists(5));
    EXPECT_EQ(read_file("delete_flows"), shown("99"));

    EXPECT_EQ(write_file("delete_flows", padded), 255);
    EXPECT_EQ(take_log(), "kovaAPIdeleteVoipFlow=0\n");
    EXPECT_FALSE(exists(5));
    EXPECT_EQ(read_file("delete_flows"), shown("0"));

    // A missing flow: the write still succeeds, the read shows why not.
    const int32_t missing = int32_t(kovaAPIdeleteVoipFlow(5));
    ASSERT_NE(missing, 0);
    take_log();
    EXPECT_EQ(write_file("delete_flows", "flow_id=5\n"), 10);
    EXPECT_TRUE(kt::ends_with(take_log(), "\nkovaAPIdeleteVoipFlow=" + std::to_string(missing) + "\n"));
    EXPECT_EQ(read_file("delete_flows"), shown(std::to_string(missing)));

    // The code starts over at every load.
    kova_host_unload();
    ASSERT_EQ(kova_host_load(), 0);
    EXPECT_EQ(read_file("delete_flows"), shown("99"));
}

// ---- setlag -----------------------------------------------------------------

class Setlag : public kt::ModuleTest {
protected:
    using Cfg = std::array<int64_t, 4>;
    void SetUp() override {
        kova_host_sibling_reset();
        kt::ModuleTest::SetUp();
    }
    void TearDown() override {
        kova_host_sibling_reset();
        kt::ModuleTest::TearDown();
    }
    static std::vector<Cfg> received() {
        std::vector<Cfg> v(kova_host_sibling_received(nullptr, 0));
        kova_host_sibling_received(reinterpret_cast<int64_t(*)[4]>(v.data()), v.size());
        return v;
    }
};

TEST_F(Setlag, SetsTheGroupWithAHexMask) {
    ASSERT_EQ(kovaAPISetLAGPortUP(1), KOVA_OK);
    ASSERT_EQ(kovaAPISetLAGPortUP(2), KOVA_OK);
    ASSERT_EQ(kovaAPISetLAGPortUP(4), KOVA_OK);
    // The last at the 255-byte limit of a write; the widest mask a group holds.
    for (const std::string &text : std::vector<std::string>{"lagnum=0 lagmode=0 lagportmask=0xffffffff",
                                                            "lagnum=1 lagmode=1 lagportmask=6",
                                                            "lagnum=2 lagmode=1 lagportmask=0x6\n",
                                                            "lagnum=3 lagmode=1 lagportmask=10" + std::string(222, ' ')}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(write_file("setlag", text), long(text.size()));
        EXPECT_EQ(take_log(), "kovaAPISetLAG=0\n");
    }
    EXPECT_EQ(kova.lag_table[0].lag_portmask, 0xffffffffu);
    for (int lag = 1; lag <= 3; ++lag) {
        EXPECT_EQ(kova.lag_table[lag].lag_mode, 1u) << lag;
        EXPECT_EQ(kova.lag_table[lag].lag_portmask, lag < 3 ? 0x6u : 0x10u) << lag;
    }
    // What reached the sibling: the members whose links are up.
    const std::vector<Cfg> got = received();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back()[1], 6);
    EXPECT_EQ(got.back()[3], 0x10);
}

// The read's example works when pasted back; values out of range, bad text,
// a refused group and a short copy all fail the write.
TEST_F(Setlag, ExampleWorksAndBadInputFails) {
    const std::string example = "lagnum=1 lagmode=0 lagportmask=0x6";
    EXPECT_EQ(read_file("setlag"), "Setlag example: echo \"" + example + "\" > /sys/kernel/debug/kova/setlag\n");
    EXPECT_EQ(write_file("setlag", example), long(example.size()));
    EXPECT_EQ(take_log(), "kovaAPISetLAG=0\n");
    EXPECT_EQ(kova.lag_table[1].lag_portmask, 6u);
    ASSERT_EQ(received().size(), 1u);

    uint8_t before[sizeof kova.lag_table];
    std::memcpy(before, kova.lag_table, sizeof before);
    for (const char *text : {"lagnum=1 lagmode=1", "lagnum=4 lagmode=0 lagportmask=6", "lagnum=-1 lagmode=0 lagportmask=6",
                             "lagnum=0 lagmode=2 lagportmask=6", "lagnum=0 lagmode=1 lagportmask=0xzz",
                             "lagnum=0 lagmode=1 lagportmask=1ffffffff", "lagnum=99 lagmode=7 lagportmask=0xzz"}) {
        EXPECT_EQ(write_file("setlag", text), -3) << text;
        EXPECT_EQ(take_log(), "setlag parameter error!\nUse the following syntax:\n"
                              "  lagnum=<0...KOVA_MAX_LAGS> lagmode=<0-disabled|1-enabled> lagportmask=<hex mask, ... | "
                              "UCC4 | UCC3 | UCC2 | UCC1\n")
            << text;
    }
    const std::string good = "lagnum=1 lagmode=1 lagportmask=6";
    EXPECT_EQ(write_file("setlag", good + std::string(224, ' ')), -27);
    EXPECT_EQ(take_log(), "setlag: write of more than 255 bytes refused\n");
    kova_host_user_copy_limit(4);
    EXPECT_EQ(write_file("setlag", good), -12);
    EXPECT_EQ(take_log(), "kovaAPI: copy_from_user failed return " + std::to_string(good.size() - 4) + "\n");
    EXPECT_EQ(std::memcmp(before, kova.lag_table, sizeof before), 0);
    EXPECT_EQ(received().size(), 1u);
    // A group the sibling refuses: its result in the log, the write failed.
    kova_host_sibling_result(-5);
    EXPECT_EQ(write_file("setlag", good), -3);
    EXPECT_EQ(take_log(), "kovaAPI: kovaAPISetLAGCommitToKova kni_lag_intf_cfg ret=-5kovaAPISetLAG=3\n");
}

} // namespace
