// Loading and unloading the module, /dev/kova as the engine reads it, and the
// debugfs files but create_flows through their paths.
#include <array>
#include <cstring>

#include "support/module_test.h"

namespace {

using kt::take_log;
using V = std::vector<long>;

const char *const kNames[] = {"dump_flows_cpu",   "dump_flows_qe", "dump_oq",
                              "dump_scheduler",   "create_flows",  "delete_flows",
                              "create_flows_old", "setlag",        "flow_list"};

int present() {
    return kova_host_path_exists("/dev/kova") + kova_host_path_exists("/sys/kernel/debug/kova");
}

std::string path_of(const std::string &name) { return "/sys/kernel/debug/kova/" + name; }

std::string read_rest(int fd, size_t piece = 4u << 20) {
    std::string all, buf(piece, '\0');
    for (long n; (n = kova_host_read(fd, buf.data(), piece)) > 0;)
        all.append(buf, 0, size_t(n));
    return all;
}

std::string read_file(const char *name) {
    const int fd = kova_host_open(path_of(name).c_str());
    const std::string s = read_rest(fd);
    kova_host_close(fd);
    return s;
}

long write_file(const char *name, const std::string &text) {
    const int fd = kova_host_open(path_of(name).c_str());
    const long r = kova_host_write(fd, text.data(), text.size());
    kova_host_close(fd);
    return r;
}

void load_fails(int rc, const std::string &tail) {
    const long allocs = kova_host_alloc_live(), maps = kova_host_iomap_live();
    kova_host_log_clear();
    EXPECT_EQ(kova_host_load(), rc);
    kova_host_fail_alloc(0);
    kova_host_fail_ioremap(0);
    const std::string log = take_log();
    EXPECT_TRUE(log.ends_with(tail)) << log.substr(log.size() > 200 ? log.size() - 200 : 0);
    EXPECT_EQ(present(), 0);
    EXPECT_EQ((V{kova_host_alloc_live(), kova_host_iomap_live()}), (V{allocs, maps}));
}

TEST(ModuleLoad, LoadsUnloadsAndEveryFailureLeavesNothing) {
    const long allocs = kova_host_alloc_live(), maps = kova_host_iomap_live();
    const unsigned long before = kova_host_alloc_count();
    kova_host_log_clear();
    ASSERT_EQ(kova_host_load(), 0);
    EXPECT_EQ(take_log().rfind("<1>kovaAPI version 4.6.360\n", 0), 0u);
    EXPECT_EQ(present(), 2);
    for (const char *name : kNames)
        EXPECT_EQ(kova_host_path_mode(path_of(name).c_str()), 0444) << name;
    kova_host_unload();
    EXPECT_EQ(take_log(), "<1>kovaAPI cleanup\n");
    EXPECT_EQ(present(), 0);
    EXPECT_EQ((V{kova_host_alloc_live(), kova_host_iomap_live()}), (V{allocs, maps}));
    // Every allocation in turn: statistics store (nothing of its own), scratch entry,
    // shadow table, engine stand-in, 40 UCC parameter areas, core area, 40 UCC markers.
    ASSERT_EQ(kova_host_alloc_count() - before, 85u);
    const char *first[] = {// clang-format off
        "<1>kovaAPI version 4.6.360\n", "kovaAPI: no memory for temp_lut\n",
        "No memory for XX_Malloc\n", "kovaAPI: can not ioremap kova.hashtable_base_qe\n"};
    // clang-format on
    for (unsigned long nth = 1; nth <= 85; ++nth) {
        SCOPED_TRACE(nth);
        kova_host_fail_alloc(nth);
        const std::string ucc = std::to_string(nth - 46);
        load_fails(-12, nth <= 4    ? first[nth - 1]
                        : nth < 45  ? "Can not get MURAM for UCC PRAM check 2\n"
                        : nth == 45 ? "Can not get MURAM for CORE PRAM check 2\n"
                                    : "no memory for kovaUCCparameters uccnum=" + ucc + "\n");
    }
    // A mapping of each kind: a port block, the register block, the UCCs' areas.
    const std::pair<uint64_t, std::string> mapped[] = {
        // clang-format off
        {0x840040084500ull, "840040084500"}, {0xFFE0410F0ull, "ffe0410f0"},
        {0x6000F11860ull + 0x98000 * 35, "CNT_BASE uccnum=39"},
        {0x6001891C00ull + 0x128000 * 12, "OQ_BASE uccnum=12"},
        {0x6003993C00ull + 0xC4000 * 39, "IC_BASE uccnum=39"},
        {0x6004FEBC00ull + 0x3000 * 20, "ONUIC_BASE uccnum=20"}}; // clang-format on
    for (const auto &[phys, what] : mapped) {
        kova_host_fail_ioremap(phys);
        load_fails(-12, "kovaAPI: can not ioremap " + what + "\n");
    }
    // The debugfs directory, each file in turn, the device.
    kova_host_fail_debugfs("kova");
    load_fails(-12, "Cannot create kova debugfs dir\n");
    for (size_t k = 0; k < std::size(kNames); ++k) {
        kova_host_fail_debugfs(kNames[k]);
        load_fails(-12,
                   "\nCannot create " + std::string(k == 4 ? "create_flow" : kNames[k]) + "\n");
    }
    kova_host_fail_debugfs(nullptr);
    kova_host_fail_misc_register(-16);
    load_fails(-16, "kovaAPI: misc driver registration failed\n");
}

class DebugFile : public kt::ModuleTest {
protected:
    void SetUp() override {
        kova_host_sibling_reset();
        kt::ModuleTest::SetUp();
    }
    static void create(uint32_t id) {
        kt::Flow fl = kt::keyed_flow(0x0A5C0001u + id * 0x40000u, id);
        ASSERT_EQ(kovaAPIcreateVoipFlow(fl.get(), id), KOVA_OK) << id;
    }
    static std::string dump(bool qe) {
        std::string buf(4u << 20, '\0');
        kova_DUMP_BUF out = {buf.data(), buf.size(), 0, 0};
        qe ? kovaAPIDumpFlowsQE2(1, &out) : kovaAPIDumpFlowsCPU2(1, &out);
        return buf.substr(0, out.len);
    }
};

// The device has no write; before an attach a read says so; after it, a read
// copies the window; at the window's end, nothing and back to its start.
TEST_F(DebugFile, DeviceReadsTheWindowThenWrapsToItsStart) {
    int fd = kova_host_open("/dev/kova");
    uint8_t buf[128] = {};
    EXPECT_EQ((V{kova_host_write(fd, "x", 1), kova_host_read(fd, buf, 1), kova_host_close(fd)}),
              (V{-22, -1, 0}));
    EXPECT_EQ(take_log(), "/dev/kova openedkova device not configured yet/dev/kova released\n");
    kt::EngineArea area;
    ASSERT_EQ(kt::attach_engine(kt::attach_args(area.addr(), 0x10000000, "v1")), 0);
    for (uint32_t off = 0; off <= KOVA_DEV_WINDOW; off += 7)
        area.data()[off] = uint8_t(off / 7 + 1); // past the window: never read
    fd = kova_host_open("/dev/kova");
    // Nothing copied is a fault, not the end; a short copy advances by what it copied.
    kova_host_user_copy_limit(0);
    EXPECT_EQ((V{kova_host_read(fd, buf, sizeof buf), kova_host_file_pos(fd)}), (V{-14, 0}));
    kova_host_user_copy_limit(5);
    EXPECT_EQ((V{kova_host_read(fd, buf, sizeof buf), kova_host_file_pos(fd)}), (V{5, 5}));
    kova_host_user_copy_limit(-1);
    std::vector<uint8_t> all(KOVA_DEV_WINDOW + 100);
    std::memcpy(all.data(), buf, 5);
    ASSERT_EQ(kova_host_read(fd, all.data() + 5, all.size() - 5), long(KOVA_DEV_WINDOW - 5));
    EXPECT_TRUE(std::equal(all.begin(), all.begin() + KOVA_DEV_WINDOW, area.data()));
    take_log();
    EXPECT_EQ((V{kova_host_read(fd, buf, 100), kova_host_file_pos(fd), kova_host_read(fd, buf, 1),
                 buf[0]}),
              (V{0, 0, 1, 1}));
    EXPECT_EQ(take_log(), "kovaAPI: end of buffer");
    kova_host_close(fd);
}

// Each open of a dump keeps the text taken at the open; a failed copy keeps the
// position; an open without its buffer fails, keeping nothing.
TEST_F(DebugFile, DumpTextIsTakenAtOpenAndReadInAnyPieces) {
    for (uint32_t id = 1; id <= 3; ++id)
        create(id);
    const std::string before = dump(true);
    const int fd = kova_host_open(path_of(kNames[1]).c_str());
    create(10);
    kova_host_user_copy_limit(5);
    char buf[10];
    EXPECT_EQ((V{kova_host_read(fd, buf, 10), kova_host_file_pos(fd)}), (V{-14, 0}));
    kova_host_user_copy_limit(-1);
    EXPECT_EQ(read_rest(fd, 100), before);
    kova_host_close(fd);
    EXPECT_EQ(read_file(kNames[0]) + read_file(kNames[1]), dump(false) + dump(true));
    EXPECT_EQ(read_file("dump_oq") + read_file("dump_scheduler"), "");
    const long live = kova_host_alloc_live();
    for (int i : {1, 2})
        for (unsigned long nth : {1ul, 2ul}) {
            kova_host_fail_alloc(nth);
            EXPECT_EQ(kova_host_open(path_of(kNames[i]).c_str()), -12);
            kova_host_fail_alloc(0);
            EXPECT_EQ(take_log(), i < 2 ? "dump_flows_qe_read: can not allocate print buffer\n"
                                        : "dump_oq_open: can not allocate print buffer\n");
        }
    EXPECT_EQ(kova_host_alloc_live(), live);
}

// One line per live slot; an extended flow names its parent's appflowid. Only
// with_extended=1 deletes a flow carrying one; a refusal is no write error.
TEST_F(DebugFile, FlowListAndDeleteFlows) {
    create(1);
    kt::Flow ext = kt::keyed_flow(0x0A5C0001u + 0x40000u, 1); // its parent's key
    ext.rules.resize(2);
    ext.rules[0].type = RULE_FORWARD_TO_CPU;
    ASSERT_EQ(kovaAPIcreateExtendedFlow(ext.get(), 1, 40), KOVA_OK);
    const uint32_t slot[2] = {kova.appflow_map[1], kova.appflow_map[40]};
    const uint32_t counters[3] = {5, 300, 0x01020304}, none[3] = {}; // little-endian here
    std::memcpy(kt::engine_slot(slot[0]) + KOVA_LUT_OFF_PACKET_CNT, counters, sizeof counters);
    std::string want[2];
    for (int i = 0; i < 2; ++i) {
        const uint8_t *e = kt::shadow_slot(slot[i]);
        char line[400];
        const uint32_t *c = i ? none : counters;
        int n = std::snprintf(line, sizeof line,
                              "slot=%u appflowid=%u parent=%s ucc=1 crc32=0x%08x packets=%u "
                              "octets=%u timestamp=%u key=",
                              slot[i], i ? 40u : 1u, i ? "1" : "-",
                              kt::le32_at(e + KOVA_LUT_OFF_CRC32), c[0], c[1], c[2]);
        for (uint32_t b = KOVA_LUT_OFF_ETH_DMAC; b < KOVA_LUT_OFF_CRC32; ++b)
            n += std::snprintf(line + n, sizeof line - size_t(n), "%02x", e[b]);
        // Drop (code 0 with the last-rule bit), behind forward-to-CPU in the extended flow.
        want[i] = line + std::string(i ? " actions=0200000080000000\n" : " actions=80000000\n");
    }
    const std::string list = slot[0] < slot[1] ? want[0] + want[1] : want[1] + want[0];
    EXPECT_EQ(read_file("flow_list"), list);
    const auto shown = [](const std::string &code) {
        return "Previous call of kovaAPIdeleteVoipFlow=" + code + "\n\n\tFlow delete example: " +
               "echo \"flow_id=5\" > /sys/kernel/debug/kova/delete_flows\n";
    };
    const std::string padded = "flow_id=1" + std::string(246, ' ');
    const unsigned long allocs = kova_host_alloc_count();
    EXPECT_EQ(
        (V{write_file("delete_flows", "flow_id=abc"), write_file("delete_flows", padded + " "),
           write_file("delete_flows", "flow_id=1 with_extended=2")}),
        (V{-3, -27, -3}));
    EXPECT_EQ(kova_host_alloc_count(), allocs + 2);
    EXPECT_EQ(take_log(), "flow_id parameter error!\ndelete_flows: write of more than 255 bytes "
                          "refused\nflow_id parameter error!\n");
    EXPECT_EQ(read_file("delete_flows"), shown("99"));
    const std::string refused = std::to_string(int32_t(kovaAPIdeleteVoipFlow(1)));
    take_log();
    EXPECT_EQ(write_file("delete_flows", padded), 255);
    EXPECT_TRUE(take_log().ends_with("\nkovaAPIdeleteVoipFlow=" + refused + "\n"));
    EXPECT_EQ(read_file("delete_flows"), shown(refused));
    EXPECT_EQ(write_file("delete_flows", "flow_id=1 with_extended=1\n"), 26);
    EXPECT_EQ(take_log(), "kovaAPIdeleteFlowWithExtended=0\n");
    EXPECT_EQ(read_file("flow_list"), "");
    kova_host_unload(); // a load shows 99 again
    ASSERT_EQ(kova_host_load(), 0);
    EXPECT_EQ(read_file("delete_flows"), shown("99"));
}

// Each value at its ends and one past; a text the syntax refuses; a group the
// module refuses.
TEST_F(DebugFile, SetlagRangesAndExample) {
    const std::string example = "lagnum=1 lagmode=0 lagportmask=0x6";
    EXPECT_EQ(read_file("setlag"),
              "Setlag example: echo \"" + example + "\" > /sys/kernel/debug/kova/setlag\n");
    const std::string usage =
        "setlag parameter error!\nUse the following syntax:\n  lagnum=<0...KOVA_MAX_LAGS> "
        "lagmode=<0-disabled|1-enabled> lagportmask=<hex mask, ... | UCC4 | UCC3 | UCC2 | UCC1\n";
    ASSERT_EQ(kovaAPISetLAGPortUP(1) | kovaAPISetLAGPortUP(2) | kovaAPISetLAGPortUP(4), KOVA_OK);
    const std::pair<std::string, bool> cases[] = {
        // clang-format off
        {example, true}, {"lagnum=0 lagmode=1 lagportmask=0xffffffff", true},
        {"lagnum=3 lagmode=1 lagportmask=0", true}, {"lagnum=1 lagmode=1 lagportmask=6\n", true},
        {"lagnum=2 lagmode=1 lagportmask=10" + std::string(222, ' '), true},
        {"lagnum=4 lagmode=0 lagportmask=6", false}, {"lagnum=-1 lagmode=0 lagportmask=6", false},
        {"lagnum=0 lagmode=2 lagportmask=6", false}, {"lagnum=0 lagmode=-1 lagportmask=6", false},
        {"lagnum=0 lagmode=1 lagportmask=0x100000000", false}, {"lagnum=1 lagmode=1", false},
        // clang-format on
    };
    for (const auto &[text, ok] : cases) {
        EXPECT_EQ(write_file("setlag", text), ok ? long(text.size()) : -3) << text;
        EXPECT_EQ(take_log(), ok ? "kovaAPISetLAG=0\n" : usage) << text;
    }
    // One table per accepted write; the last has the members up (1, 2, 4) of each LAG set.
    int64_t sent[8][4];
    ASSERT_EQ(kova_host_sibling_received(sent, 8), 5u);
    EXPECT_EQ((std::vector<int64_t>(sent[4], sent[4] + 4)),
              (std::vector<int64_t>{0x16, 6, 0x10, 0}));
    EXPECT_EQ(write_file("setlag", example + std::string(222, ' ')), -27);
    kova_host_user_copy_limit(4);
    EXPECT_EQ(write_file("setlag", example), -12);
    EXPECT_EQ(
        take_log(),
        "setlag: write of more than 255 bytes refused\nkovaAPI: copy_from_user failed return 30\n");
    EXPECT_EQ(kova_host_sibling_received(nullptr, 0), 5u);
    // A group the sibling refuses: its result in the log, the write failed.
    kova_host_sibling_result(-5);
    EXPECT_EQ(write_file("setlag", example), -3);
    EXPECT_EQ(take_log(),
              "kovaAPI: kovaAPISetLAGCommitToKova kni_lag_intf_cfg ret=-5kovaAPISetLAG=3\n");
}

} // namespace
