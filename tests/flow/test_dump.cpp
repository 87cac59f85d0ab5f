// Flow-table dumps: the text of both copies for a table with every kind of
// chaining, the counts, the log form, the cut at the end of a full buffer,
// links that cannot be followed, and the bounded text builder under them.
#include <cstring>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include "flow/dump.h"
#include "lib/bytes.h"
#include "lib/text.h"
#include "support/kova_test.h"

namespace {

using kt::engine_slot;
using kt::shadow_slot;
using kt::take_log;

const std::string kCut = "... dump cut: buffer full, later entries and counts missing\n";

// ---- The golden table ----------------------------------------------------

constexpr uint32_t kCrcA = 0x0A5C0001; // bucket 0x297
constexpr uint32_t kCrcB = 0x0A5C8003; // same bucket, another CRC32
constexpr uint32_t kCrcV6 = 0x12340005;

struct FlowSpec {
    uint32_t crc;
    uint16_t ucc;
    uint8_t dmac[6], smac[6];
    uint16_t vlan1, vlan2, eth_type;
    uint8_t src[4], dst[4];
    uint16_t sport, dport;
};

// Flow 3's ethertype has no addresses: the entry keeps none, whatever is given.
const FlowSpec kFlows[] = {
    {kCrcA, 3, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}, {0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb}, 100, 4095, 0x0800,
     {192, 168, 32, 102}, {10, 0, 0, 7}, 5060, 5},
    {kCrcA, 12, {0x02, 0, 0, 0, 0, 0x02}, {0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f}, 0, 7, 0x0806, {172, 16, 5, 9},
     {1, 2, 3, 4}, 65535, 80},
    {kCrcB, 35, {0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}, {1, 2, 3, 4, 5, 6}, 1, 2, 0x8100, {9, 9, 9, 9}, {8, 8, 8, 8}, 77,
     88},
    {kCrcB, 0, {0, 0, 0, 0, 0, 1}, {0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54}, 4094, 0, 0x0800, {255, 255, 255, 255},
     {0, 0, 0, 1}, 1, 2},
    {kCrcV6, 7, {0x33, 0x33, 0, 0, 0, 0x01}, {0x00, 0x00, 0x5e, 0x00, 0x53, 0x01}, 0, 0, 0x86DD, {}, {}, 1, 2},
};

// Golden flow n, 1 to 5.
kt::Flow flow(int n) {
    const FlowSpec &g = kFlows[n - 1];
    kt::Flow fl(g.crc, g.ucc);
    std::memcpy(fl.f.eth_dmac, g.dmac, 6);
    std::memcpy(fl.f.eth_smac, g.smac, 6);
    fl.f.vlan_id_1 = g.vlan1;
    fl.f.vlan_id_2 = g.vlan2;
    fl.f.eth_type = g.eth_type;
    std::memcpy(fl.f.ip_src.v4, g.src, 4);
    std::memcpy(fl.f.ip_dst.v4, g.dst, 4);
    fl.f.udp_sport = g.sport;
    fl.f.udp_dport = g.dport;
    if (g.eth_type == 0x86DD) {
        const uint16_t src[8] = {0x2001, 0x0db8, 0x0102, 0x0304, 0x0506, 0x0708, 0x090a, 0x0b0c};
        const uint16_t dst[8] = {0xfe80, 0x0001, 0x0002, 0x0003, 0x0004, 0x0005, 0x0006, 0x0007};
        std::memcpy(fl.f.ip_src.v6, src, sizeof src);
        std::memcpy(fl.f.ip_dst.v6, dst, sizeof dst);
    }
    return fl;
}

// The key columns of each flow, written out from the line format.
const std::string kKey1 = "CRC32 0x0a5c0001, SPORT 03, DMAC 00:11:22:33:44:55, SMAC 66:77:88:99:aa:bb, "
                          "VLAN1:  100, VLAN2: 4095, ETYPE: 0x0800, DIP: 010.000.000.007, SIP: 192.168.032.102, "
                          "SPORT:  5060, DPORT:     5, ";
const std::string kKey2 = "CRC32 0x0a5c0001, SPORT 0c, DMAC 02:00:00:00:00:02, SMAC 0a:0b:0c:0d:0e:0f, "
                          "VLAN1:    0, VLAN2:    7, ETYPE: 0x0806, DIP: 001.002.003.004, SIP: 172.016.005.009, "
                          "SPORT: 65535, DPORT:    80, ";
const std::string kKey3 = "CRC32 0x0a5c8003, SPORT 23, DMAC aa:bb:cc:dd:ee:ff, SMAC 01:02:03:04:05:06, "
                          "VLAN1:    1, VLAN2:    2, ETYPE: 0x8100, DIP: 000.000.000.000, SIP: 000.000.000.000, "
                          "SPORT:     0, DPORT:     0, ";
const std::string kKey4 = "CRC32 0x0a5c8003, SPORT 00, DMAC 00:00:00:00:00:01, SMAC fe:dc:ba:98:76:54, "
                          "VLAN1: 4094, VLAN2:    0, ETYPE: 0x0800, DIP: 000.000.000.001, SIP: 255.255.255.255, "
                          "SPORT:     1, DPORT:     2, ";
// IPv6 keeps the ports little-endian as one word (dport first), and the
// dump still reads them big-endian: 2 and 1 show as 512 and 256.
const std::string kKey5 = "CRC32 0x12340005, SPORT 07, DMAC 33:33:00:00:00:01, SMAC 00:00:5e:00:53:01, "
                          "VLAN1:    0, VLAN2:    0, ETYPE: 0x86dd, "
                          "DIP: fe80:0001:0002:0003:0004:0005:0006:0007, "
                          "SIP: 2001:0db8:0102:0304:0506:0708:090a:0b0c, SPORT:   512, DPORT:   256, ";

// Counter words the test puts in each entry so every line is its own.
void put_counters(uint8_t *entry, uint32_t id) {
    kv::bytes::put_le32(entry + KOVA_LUT_OFF_FLOW_CNT, 0xF0000000u + id);
    kv::bytes::put_le32(entry + KOVA_LUT_OFF_TIMESTAMP, 0x7000u + id);
    kv::bytes::put_le32(entry + KOVA_LUT_OFF_PACKET_CNT, 0xA0u + id);
}

// The start of a line up to the key columns: indent, kind, address padded
// to 16 hex digits with spaces, then up to column 12 past the address.
std::string lead(const uint8_t *entry, int indent, bool extended) {
    std::ostringstream s;
    s << std::string(indent, ' ') << (extended ? "Exten" : "Entry") << " at 0x" << std::setw(16) << std::setfill(' ')
      << std::hex << uint64_t(uintptr_t(entry)) << ' ' << std::string(12 - indent, ' ');
    return s.str();
}

uint32_t slot_of(uint32_t appflowid) { return kova.appflow_map[appflowid]; }

struct Line {
    uint32_t id;
    int indent;
    bool extended;
    const std::string &key;
    const char *counters;
};

// Bucket 0x297 in walk order, then the IPv6 flow's bucket 0x48d.
const Line kGolden[] = {
    {1, 0, false, kKey1, "FLOW CNT: 0xf0000001, TIMESTAMP: 0x00007001, PACKET CNT: 0x000000a1, "},
    {11, 2, true, kKey1, "FLOW CNT: 0xf000000b, TIMESTAMP: 0x0000700b, PACKET CNT: 0x000000ab, "},
    {12, 2, true, kKey1, "FLOW CNT: 0xf000000c, TIMESTAMP: 0x0000700c, PACKET CNT: 0x000000ac, "},
    {2, 8, false, kKey2, "FLOW CNT: 0xf0000002, TIMESTAMP: 0x00007002, PACKET CNT: 0x000000a2, "},
    {21, 10, true, kKey2, "FLOW CNT: 0xf0000015, TIMESTAMP: 0x00007015, PACKET CNT: 0x000000b5, "},
    {3, 4, false, kKey3, "FLOW CNT: 0xf0000003, TIMESTAMP: 0x00007003, PACKET CNT: 0x000000a3, "},
    {31, 6, true, kKey3, "FLOW CNT: 0xf000001f, TIMESTAMP: 0x0000701f, PACKET CNT: 0x000000bf, "},
    {4, 8, false, kKey4, "FLOW CNT: 0xf0000004, TIMESTAMP: 0x00007004, PACKET CNT: 0x000000a4, "},
    {5, 0, false, kKey5, "FLOW CNT: 0xf0000005, TIMESTAMP: 0x00007005, PACKET CNT: 0x000000a5, "},
};

const char kCpuSummaryGolden[] = "\n"
                                 "All LUTs:         5\n"
                                 "Extended LUTs:    4\n"
                                 "CRC12 duplicates: 1\n"
                                 "CRC32 duplicates: 2\n"
                                 "Delete branch1 executed: 21\n"
                                 "Delete branch2 executed: 22\n"
                                 "Delete branch3 executed: 23\n"
                                 "Delete branch4 executed: 24\n"
                                 "Delete branch5 executed: 25\n"
                                 "Delete branch6 executed: 26\n"
                                 "Delete branch7 executed: 27\n"
                                 "Delete branch8 executed: 28\n"
                                 "Create branch1 executed: 31\n"
                                 "Create branch1.1 executed: 32\n"
                                 "Create branch1.2 executed: 33\n"
                                 "Create branch2 executed: 34\n";
const char kQeSummaryGolden[] = "QE All LUTs:         5\n"
                                "QE Extended LUTs:    4\n"
                                "QE CRC12 duplicates: 1\n"
                                "QE CRC32 duplicates: 2\n";

// A dump into a buffer of `size` bytes followed by guard bytes that must
// stay as they were.
struct Dumped {
    std::string text;
    kova_DUMP_BUF out;
};

constexpr size_t kGuard = 16;
constexpr char kGuardByte = '\x5a';

template <typename F> Dumped dump_into(size_t size, F dump_fn) {
    std::vector<char> mem(size + kGuard, kGuardByte);
    kova_DUMP_BUF out{mem.data(), size, 0, 7};
    EXPECT_EQ(dump_fn(&out), KOVA_OK);
    for (size_t i = size; i < size + kGuard; ++i)
        EXPECT_EQ(mem[i], kGuardByte) << "written past the buffer at " << i;
    EXPECT_LT(out.len, size);
    EXPECT_EQ(mem[out.len], '\0');
    return {std::string(mem.data(), out.len), out};
}

Dumped cpu(uint8_t verbose, size_t size = 1 << 20) {
    return dump_into(size, [&](kova_DUMP_BUF *o) { return kovaAPIDumpFlowsCPU2(verbose, o); });
}
Dumped qe(uint8_t verbose, size_t size = 1 << 20) {
    return dump_into(size, [&](kova_DUMP_BUF *o) { return kovaAPIDumpFlowsQE2(verbose, o); });
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> v;
    std::istringstream s(text);
    for (std::string l; std::getline(s, l);)
        v.push_back(l);
    return v;
}

class Dump : public kt::StoreTest {
protected:
    static void create(uint32_t id, kt::Flow f) { ASSERT_EQ(kovaAPIcreateVoipFlow(f.get(), id), KOVA_OK) << take_log(); }
    static void extend(uint32_t parent, uint32_t id, kt::Flow f) {
        ASSERT_EQ(kovaAPIcreateExtendedFlow(f.get(), parent, id), KOVA_OK) << take_log();
    }

    // Flow 1 heads bucket 0x297 with extended flows 11 and 12; flow 2 shares
    // its CRC32 and has extended flow 21; flow 3 has another CRC32 in the
    // same bucket, extended flow 31 and flow 4 with the same CRC32; the IPv6
    // flow 5 is alone in its bucket.
    void build_golden_table() {
        create(1, flow(1));
        extend(1, 11, flow(1));
        extend(11, 12, flow(1));
        create(2, flow(2));
        extend(2, 21, flow(2));
        create(3, flow(3));
        extend(3, 31, flow(3));
        create(4, flow(4));
        create(5, flow(5));
        for (const Line &l : kGolden) {
            put_counters(shadow_slot(slot_of(l.id)), l.id);
            put_counters(engine_slot(slot_of(l.id)), l.id);
        }
        for (uint32_t i = 0; i < 8; ++i)
            kova.delete_branch_count[i] = 21 + i;
        for (uint32_t i = 0; i < 4; ++i)
            kova.create_branch_count[i] = 31 + i;
        take_log();
    }

    static std::string golden_lines(uint8_t *(*slot_addr)(uint32_t)) {
        std::string s;
        for (const Line &l : kGolden)
            s += lead(slot_addr(slot_of(l.id)), l.indent, l.extended) + l.key + l.counters + "\n";
        return s;
    }
};

// Both copies, in the buffer and the log form, verbose and not; then a
// deleted flow leaves the dump and its counts.
TEST_F(Dump, GoldenTableInBothCopiesAndBothForms) {
    build_golden_table();
    const Dumped c = cpu(1), q = qe(1);
    EXPECT_EQ(c.text, golden_lines(shadow_slot) + kCpuSummaryGolden);
    EXPECT_EQ(q.text, golden_lines(engine_slot) + kQeSummaryGolden);
    EXPECT_EQ(c.out.cut + q.out.cut, 0u);
    EXPECT_EQ(take_log(), "") << "a dump into a buffer logs nothing";
    EXPECT_EQ(cpu(0).text, kCpuSummaryGolden);
    EXPECT_EQ(qe(0).text, kQeSummaryGolden);

    EXPECT_EQ(kovaAPIDumpFlowsCPU(1), KOVA_OK);
    EXPECT_EQ(lines_of(take_log()), lines_of(c.text));
    EXPECT_EQ(kovaAPIDumpFlowsQE(1), KOVA_OK);
    EXPECT_EQ(take_log(), q.text);
    EXPECT_EQ(kovaAPIDumpFlowsCPU2(0, nullptr), KOVA_OK);
    EXPECT_EQ(take_log(), kCpuSummaryGolden);
    EXPECT_EQ(kovaAPIDumpFlowsQE2(0, nullptr), KOVA_OK);
    EXPECT_EQ(take_log(), kQeSummaryGolden);

    // Only the engine copy's counters move: a line shows its own copy's words.
    kv::bytes::put_le32(engine_slot(slot_of(5)) + KOVA_LUT_OFF_PACKET_CNT, 0x12345678);
    EXPECT_NE(qe(1).text.find("PACKET CNT: 0x12345678, \n"), std::string::npos);
    EXPECT_EQ(cpu(1).text, c.text);

    ASSERT_EQ(kovaAPIdeleteVoipFlow(4), KOVA_OK) << take_log();
    const std::string text = cpu(1).text;
    EXPECT_EQ(text.find(kKey4), std::string::npos);
    EXPECT_NE(text.find("All LUTs:         4\nExtended LUTs:    4\nCRC12 duplicates: 1\nCRC32 duplicates: 1\n"),
              std::string::npos)
        << text;
}

TEST_F(Dump, EmptyTableCountsNothing) {
    const std::string zero_counts = "All LUTs:         0\nExtended LUTs:    0\nCRC12 duplicates: 0\nCRC32 duplicates: 0\n";
    const std::string cpu_text = cpu(1).text;
    EXPECT_EQ(cpu_text.rfind("\n" + zero_counts + "Delete branch1 executed: ", 0), 0u) << cpu_text;
    EXPECT_EQ(qe(1).text, "QE All LUTs:         0\nQE Extended LUTs:    0\nQE CRC12 duplicates: 0\nQE CRC32 duplicates: 0\n");
}

TEST_F(Dump, DisplayVoipLutWritesOneLine) {
    create(5, flow(5));
    put_counters(shadow_slot(slot_of(5)), 5);
    const uint8_t *e = shadow_slot(slot_of(5));
    const std::string want = lead(e, 6, true) + kKey5 + kGolden[8].counters + "\n";
    char buf[512] = "before|";
    kv::Text t(buf, sizeof buf, 7);
    EXPECT_EQ(DisplayVoipLut(e, 6, 1, &t), 0u);
    EXPECT_EQ(std::string(buf), "before|" + want);
    take_log();
    EXPECT_EQ(DisplayVoipLut(e, 6, 1, nullptr), 0u);
    EXPECT_EQ(take_log(), want);
}

TEST_F(Dump, OutputQueueAndSchedulerDumpsWriteNothing) {
    char buf[64];
    std::memset(buf, 'x', sizeof buf);
    kova_DUMP_BUF out{buf, sizeof buf, 0, 0};
    EXPECT_EQ(kovaAPIDumpOQ(&out), KOVA_OK);
    EXPECT_EQ(kovaAPIDumpScheduler(&out), KOVA_OK);
    EXPECT_EQ(out.len, 0u);
    EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, 'x'));
    EXPECT_EQ(take_log(), "");
}

// ---- Buffers that are too small -------------------------------------------

// The text of a cut dump: whole lines of the full dump, then the cut line.
void expect_clean_cut(const Dumped &d, const std::string &full) {
    ASSERT_EQ(d.out.cut, 1u);
    ASSERT_TRUE(kt::ends_with(d.text, kCut)) << d.text.substr(d.text.size() > 200 ? d.text.size() - 200 : 0);
    const std::string kept = d.text.substr(0, d.text.size() - kCut.size());
    EXPECT_EQ(full.compare(0, kept.size(), kept), 0) << "not a prefix of the whole dump";
    EXPECT_TRUE(kept.empty() || kept.back() == '\n') << "cut inside a line";
    EXPECT_EQ(kept.size() + kCut.size(), d.out.len);
}

TEST_F(Dump, FullTableStopsAtTheBufferEndWithTheCutLineLast) {
    // Every head slot taken, and a second CRC32 behind each: 32768 lines.
    for (uint32_t i = 0; i < KOVA_LUT_ENTRIES; ++i) {
        kt::Flow f = kt::keyed_flow(((i % KOVA_LUT_HEADS) << 18) | (i / KOVA_LUT_HEADS + 1), i);
        ASSERT_EQ(kovaAPIcreateVoipFlow(f.get(), i), KOVA_OK) << i << take_log();
    }
    take_log();
    const Dumped whole = cpu(1, 32u << 20);
    ASSERT_EQ(whole.out.cut, 0u);
    EXPECT_NE(whole.text.find("\nAll LUTs:         32768\nExtended LUTs:    0\nCRC12 duplicates: 16384\n"),
              std::string::npos);
    ASSERT_GT(whole.text.size(), 2u << 20);

    // The debug files' buffer.
    const Dumped d = cpu(1, 2u << 20);
    expect_clean_cut(d, whole.text);
    EXPECT_GT(d.out.len, (2u << 20) - 512) << "stopped well before the end";
    EXPECT_EQ(d.text.find("All LUTs:"), std::string::npos);

    const Dumped whole_qe = qe(1, 32u << 20);
    ASSERT_EQ(whole_qe.out.cut, 0u);
    expect_clean_cut(qe(1, 100000), whole_qe.text);
}

TEST_F(Dump, SmallBuffers) {
    build_golden_table();
    const std::string full = cpu(0).text; // the summary alone
    // Whole text and its NUL fit: nothing is cut and no room is kept back.
    const Dumped exact = cpu(0, full.size() + 1 + kCut.size());
    EXPECT_EQ(exact.out.cut, 0u);
    EXPECT_EQ(exact.text, full);
    // One byte less: the last line goes, the cut line comes.
    const Dumped short_by_one = cpu(0, full.size() + kCut.size());
    expect_clean_cut(short_by_one, full);
    EXPECT_EQ(short_by_one.text, full.substr(0, full.size() - std::strlen("Create branch2 executed: 34\n")) + kCut);

    // Too small for the cut line itself: left empty.
    for (size_t size : {size_t(1), kCut.size(), kCut.size() + 1}) {
        SCOPED_TRACE(size);
        const Dumped d = qe(1, size);
        EXPECT_EQ(d.out.cut, 1u);
        EXPECT_EQ(d.text, size > kCut.size() ? kCut : "");
    }
    kova_DUMP_BUF none{nullptr, 0, 0, 0};
    EXPECT_EQ(kovaAPIDumpFlowsCPU2(1, &none), KOVA_OK);
    EXPECT_EQ(none.len, 0u);
    EXPECT_EQ(none.cut, 1u);

    // A dump appends after text already in the buffer.
    char mem[4096] = "QE copy:\n";
    kova_DUMP_BUF out{mem, sizeof mem, 9, 0};
    EXPECT_EQ(kovaAPIDumpFlowsQE2(0, &out), KOVA_OK);
    EXPECT_EQ(std::string(mem), std::string("QE copy:\n") + kQeSummaryGolden);
    EXPECT_EQ(out.len, 9 + std::strlen(kQeSummaryGolden));
}

// ---- Links the walk must not follow -----------------------------------------

TEST_F(Dump, LinksTheWalkMustNotFollow) {
    build_golden_table();
    uint8_t *head = shadow_slot(slot_of(1));
    const uint64_t table_end = kt::shadow_addr(0) + KOVA_LUT_TABLE_BYTES;
    // The last is an engine-copy link in the shadow table.
    for (uint64_t bad : {table_end, kt::shadow_addr(slot_of(3)) + 8, kt::shadow_addr(0) - KOVA_LUT_SIZE,
                         kt::engine_addr(slot_of(3))}) {
        SCOPED_TRACE(bad);
        kv::bytes::put_le64(head + KOVA_LUT_OFF_NEXT_CRC12, bad);
        // Flows 3, 4 and 31 are cut off with the bucket's second CRC32.
        EXPECT_NE(cpu(0).text.find("All LUTs:         3\nExtended LUTs:    3\nCRC12 duplicates: 0\n"
                                   "CRC32 duplicates: 1\n"),
                  std::string::npos);
    }
}

TEST_F(Dump, LoopingChainEndsAfterAsManyLinksAsTheTableHasEntries) {
    create(1, flow(1));
    extend(1, 11, flow(1));
    kv::bytes::put_le64(engine_slot(slot_of(11)) + KOVA_LUT_OFF_NEXT_EXT, kt::engine_addr(slot_of(11)));
    EXPECT_EQ(qe(0).text, "QE All LUTs:         1\n"
                          "QE Extended LUTs:    32768\n"
                          "QE CRC12 duplicates: 0\n"
                          "QE CRC32 duplicates: 0\n");
}

// ---- The bounded text builder ----------------------------------------------

TEST(DumpText, PiecesAreAppendedWholeOrNotAtAll) {
    char buf[12 + kGuard];
    std::memset(buf, kGuardByte, sizeof buf);
    kv::Text t(buf, 12);
    EXPECT_TRUE(t.add("%s-%d", "ab", 42)); // "ab-42"
    EXPECT_TRUE(t.add("%s", ""));
    EXPECT_FALSE(t.cut());
    EXPECT_TRUE(t.add("%s", "123456")); // 11 bytes and the NUL: exactly full
    EXPECT_TRUE(t.add("%s", "")) << "an empty piece still fits";
    EXPECT_FALSE(t.add("%s", "7"));
    EXPECT_TRUE(t.cut());
    EXPECT_STREQ(buf, "ab-42123456");
    EXPECT_EQ(t.length(), 11u);

    kv::Text u(buf, 12);
    EXPECT_TRUE(u.add("%s", "ab-42"));
    EXPECT_FALSE(u.add("%s", "1234567")); // one byte too many: none of it
    // Nothing after a dropped piece, even a piece that would fit.
    EXPECT_FALSE(u.add("x"));
    EXPECT_STREQ(buf, "ab-42");
    EXPECT_EQ(u.length(), 5u);
    for (size_t i = 12; i < sizeof buf; ++i)
        EXPECT_EQ(buf[i], kGuardByte);

    // Continuing after text already there, and with no room left for a NUL.
    char pre[8] = "abc";
    kv::Text v(pre, sizeof pre, 3);
    EXPECT_TRUE(v.add("%c%c", 'd', 'e'));
    EXPECT_STREQ(pre, "abcde");
    kv::Text full(pre, 4, 4);
    EXPECT_TRUE(full.cut());
    EXPECT_FALSE(full.add("z"));
    EXPECT_EQ(pre[4], 'e');
}

TEST(DumpText, HeldBackRoomTakesOnlyTheClosingLine) {
    char buf[16 + kGuard];
    std::memset(buf, kGuardByte, sizeof buf);
    kv::Text t(buf, 16);
    t.hold_back(5); // pieces get 11 bytes, the NUL included
    EXPECT_TRUE(t.add("0123456789"));
    EXPECT_FALSE(t.add("A"));
    t.close_cut("[cut]");
    EXPECT_STREQ(buf, "0123456789[cut]");
    EXPECT_EQ(t.length(), 15u);
    EXPECT_TRUE(t.cut());
    for (size_t i = 16; i < sizeof buf; ++i)
        EXPECT_EQ(buf[i], kGuardByte);

    // A text that was not cut gets no closing line.
    char other[16];
    kv::Text u(other, sizeof other);
    u.hold_back(5);
    EXPECT_TRUE(u.add("abc"));
    u.close_cut("[cut]");
    EXPECT_STREQ(other, "abc");
    EXPECT_FALSE(u.cut());
}

} // namespace
