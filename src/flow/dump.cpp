// Flow-table dumps: one line per entry, indented by how it is chained, then
// the counts. The same walk runs over the shadow table and the engine copy
// so that the two can be compared line by line.
//
// No lock is taken: a dump is a diagnostic and must not stall the table.
// A dump taken while flows change may therefore read a link that is being
// rewritten, so every link is checked to lead to a slot of the copy being
// walked, and the walk follows no more links than the table has entries;
// a bad link ends its chain instead of leading the walk astray or round a
// loop for ever.
#include "flow/dump.h"

#include "flow/ctrl.h"
#include "flow/engine_view.h"
#include "flow/table.h"
#include "lib/bytes.h"
#include "lib/text.h"
#include "platform.h"

namespace {

using namespace kv;

// The longest line (extended entry, indent 10, IPv6 addresses, every
// number at its widest) is about 370 bytes; a 1 KiB buffer would not leave
// room for the rest of the frame within the kernel's per-frame budget.
constexpr uint32_t kLineMax = 512;
constexpr uint32_t kIndentColumn = 12;

// Counters the engine may update while we read them: one whole load each.
uint32_t counter(const uint8_t *entry, uint32_t offset) {
    return bytes::load_le32_once(entry + offset);
}

// The 16-bit halves of a little-endian address word.
uint32_t high_half(const uint8_t *entry, uint32_t offset) {
    return bytes::get_le32(entry + offset) >> 16;
}
uint32_t low_half(const uint8_t *entry, uint32_t offset) {
    return bytes::get_le32(entry + offset) & 0xFFFFu;
}

// An IPv6 address of the entry: the words hold g1:g2, g3:g4, g5:g6 and g7:g0.
void add_ipv6(Text &line, const char *label, const uint8_t *entry, uint32_t offset) {
    auto hi = [&](uint32_t w) { return high_half(entry, offset + w); };
    auto lo = [&](uint32_t w) { return low_half(entry, offset + w); };
    line.add("%s%04x:%04x:%04x:%04x:%04x:%04x:%04x:%04x, ", label, lo(12), hi(0), lo(0), hi(4),
             lo(4), hi(8), lo(8), hi(12));
}

// An IPv4 address of the entry: bytes c, d, a, b shown as a.b.c.d.
void add_ipv4(Text &line, const char *label, const uint8_t *entry, uint32_t offset) {
    const uint8_t *a = entry + offset;
    line.add("%s%03d.%03d.%03d.%03d, ", label, a[2], a[3], a[0], a[1]);
}

// One piece of the summary, into the buffer or as its own log message.
__attribute__((format(printf, 2, 3))) void emit(Text *out, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    if (out) {
        out->vadd(fmt, ap);
    } else {
        char piece[96];
        Text t(piece, sizeof piece);
        t.vadd(fmt, ap);
        plat_printk("%s", t.str());
    }
    va_end(ap);
}

// One copy of the table as the walk reaches it: slot 0's kernel address and
// the value a link to slot 0 holds in that copy.
struct Copy {
    const uint8_t *base;
    uint64_t link_base;
};

struct Counts {
    uint32_t all;   // entries that are not extended
    uint32_t ext;   // extended entries
    uint32_t dup12; // further entries of a bucket with a CRC32 of their own
    uint32_t dup32; // entries sharing an earlier entry's CRC32
};

class Walk {
public:
    Walk(const Copy &copy, uint8_t verbose, Text *out)
        : copy_(copy), verbose_(verbose != 0), out_(out) {}

    Counts run() {
        if (!copy_.base)
            return counts_;
        for (uint32_t h = 0; h < KOVA_LUT_HEADS; ++h) {
            const uint8_t *head = copy_.base + uint64_t(h) * KOVA_LUT_SIZE;
            if (table::crc_of(head) != 0)
                bucket(head);
        }
        return counts_;
    }

private:
    // Kernel address of the entry a link leads to; null at the end of a
    // chain or for a link that cannot be followed (see the top of the file).
    const uint8_t *follow(const uint8_t *entry, uint32_t field) {
        const uint64_t link = table::link(entry, field);
        if (link == 0 || links_left_ == 0)
            return nullptr;
        const uint64_t off = link - copy_.link_base;
        if (off >= KOVA_LUT_TABLE_BYTES || off % KOVA_LUT_SIZE != 0)
            return nullptr;
        --links_left_;
        return copy_.base + off;
    }

    void line(const uint8_t *entry, uint32_t indent, uint32_t extended) {
        // Once the buffer is full, no later line can appear: skip the work.
        if (verbose_ && !(out_ && out_->cut()))
            DisplayVoipLut(entry, indent, extended, out_);
    }

    void entry_with_extended(const uint8_t *entry, uint32_t indent) {
        line(entry, indent, 0);
        ++counts_.all;
        for (const uint8_t *x = follow(entry, KOVA_LUT_OFF_NEXT_EXT); x;
             x = follow(x, KOVA_LUT_OFF_NEXT_EXT)) {
            line(x, indent + 2, 1);
            ++counts_.ext;
        }
    }

    // Head at indent 0, further CRC32 values at 4, their same-CRC32 entries
    // at 8; each entry's extended flows two further in.
    void bucket(const uint8_t *head) {
        for (const uint8_t *n = head; n; n = follow(n, KOVA_LUT_OFF_NEXT_CRC12)) {
            if (n != head)
                ++counts_.dup12;
            entry_with_extended(n, n == head ? 0 : 4);
            for (const uint8_t *m = follow(n, KOVA_LUT_OFF_NEXT_CRC32); m;
                 m = follow(m, KOVA_LUT_OFF_NEXT_CRC32)) {
                ++counts_.dup32;
                entry_with_extended(m, 8);
            }
        }
    }

    Copy copy_;
    bool verbose_;
    Text *out_;
    Counts counts_{};
    // A consistent table links to each entry at most once.
    uint32_t links_left_ = KOVA_LUT_ENTRIES;
};

// The creation cases as the counters are known by.
constexpr const char *kCreateNames[4] = {"1", "1.1", "1.2", "2"};

void summary_cpu(const Counts &c, Text *out) {
    emit(out, "\n");
    emit(out, "All LUTs:         %d\n", int(c.all));
    emit(out, "Extended LUTs:    %d\n", int(c.ext));
    emit(out, "CRC12 duplicates: %d\n", int(c.dup12));
    emit(out, "CRC32 duplicates: %d\n", int(c.dup32));
    for (uint32_t i = 0; i < 8; ++i)
        emit(out, "Delete branch%u executed: %d\n", i + 1, int(kova.delete_branch_count[i]));
    for (uint32_t i = 0; i < 4; ++i)
        emit(out, "Create branch%s executed: %d\n", kCreateNames[i],
             int(kova.create_branch_count[i]));
}

void summary_qe(const Counts &c, Text *out) {
    emit(out, "QE All LUTs:         %d\n", int(c.all));
    emit(out, "QE Extended LUTs:    %d\n", int(c.ext));
    emit(out, "QE CRC12 duplicates: %d\n", int(c.dup12));
    emit(out, "QE CRC32 duplicates: %d\n", int(c.dup32));
}

using Summary = void (*)(const Counts &, Text *);

// Runs the walk into the caller's buffer (keeping room for the cut line) or
// into the log.
uint32_t dump(const Copy &copy, Summary summary, uint8_t verbose, kova_DUMP_BUF *buf) {
    if (!buf) {
        summary(Walk(copy, verbose, nullptr).run(), nullptr);
        return KOVA_OK;
    }
    Text out(buf->buf, buf->buf ? buf->size : 0, buf->len);
    out.hold_back(sizeof KOVA_DUMP_CUT_LINE - 1);
    summary(Walk(copy, verbose, &out).run(), &out);
    out.close_cut(KOVA_DUMP_CUT_LINE);
    buf->len = out.length();
    buf->cut = out.cut() ? 1 : 0;
    return KOVA_OK;
}

Copy shadow_copy() {
    return {kova.hashtable_base_cpu, uint64_t(uintptr_t(kova.hashtable_base_cpu))};
}

} // namespace

uint32_t DisplayVoipLut(const uint8_t *entry, uint32_t indent, uint32_t extended, kv::Text *out) {
    char buf[kLineMax];
    Text line(buf, sizeof buf);
    // Few pieces per line: the dump of a full table is mostly formatting.
    const uint8_t *dm = entry + KOVA_LUT_OFF_ETH_DMAC, *sm = entry + KOVA_LUT_OFF_ETH_SMAC;
    const uint32_t eth_type = bytes::get_be16(entry + KOVA_LUT_OFF_ETH_TYPE);
    line.add(extended ? "%*sExten at 0x%16llx %*sCRC32 0x%08x, SPORT %02x, "
                      : "%*sEntry at 0x%16llx %*sCRC32 0x%08x, SPORT %02x, ",
             int(indent), "", (unsigned long long)plat_shown_address(entry),
             int(indent < kIndentColumn ? kIndentColumn - indent : 0), "", table::crc_of(entry),
             bytes::get_le32(entry + KOVA_LUT_OFF_PORT));
    line.add("DMAC %02x:%02x:%02x:%02x:%02x:%02x, SMAC %02x:%02x:%02x:%02x:%02x:%02x, VLAN1: %4d, "
             "VLAN2: %4d, "
             "ETYPE: 0x%04x, ",
             dm[0], dm[1], dm[2], dm[3], dm[4], dm[5], sm[0], sm[1], sm[2], sm[3], sm[4], sm[5],
             int(bytes::get_be32(entry + KOVA_LUT_OFF_VLAN1)),
             int(bytes::get_be32(entry + KOVA_LUT_OFF_VLAN2)), eth_type);
    if (eth_type == KOVA_ETH_TYPE_IPV6) {
        add_ipv6(line, "DIP: ", entry, KOVA_LUT_OFF_IP_DST);
        add_ipv6(line, "SIP: ", entry, KOVA_LUT_OFF_IP_SRC);
    } else {
        add_ipv4(line, "DIP: ", entry, KOVA_LUT_OFF_IP_DST);
        add_ipv4(line, "SIP: ", entry, KOVA_LUT_OFF_IP_SRC);
    }
    // Shown big-endian whatever the address format: IPv6 entries keep the
    // ports in another arrangement, and the dump shows the bytes as stored.
    line.add("SPORT: %5d, DPORT: %5d, FLOW CNT: 0x%08x, TIMESTAMP: 0x%08x, PACKET CNT: 0x%08x, ",
             int(bytes::get_be16(entry + KOVA_LUT_OFF_PORTS)),
             int(bytes::get_be16(entry + KOVA_LUT_OFF_PORTS + 2)),
             counter(entry, KOVA_LUT_OFF_FLOW_CNT), counter(entry, KOVA_LUT_OFF_TIMESTAMP),
             counter(entry, KOVA_LUT_OFF_PACKET_CNT));
    if (out)
        out->add("%s\n", line.str());
    else
        plat_printk("%s\n", line.str());
    return 0;
}

extern "C" {

uint32_t kovaAPIDumpFlowsCPU2(uint8_t verbose, kova_DUMP_BUF *out) {
    return dump(shadow_copy(), summary_cpu, verbose, out);
}
uint32_t kovaAPIDumpFlowsCPU(uint8_t verbose) { return kovaAPIDumpFlowsCPU2(verbose, nullptr); }

uint32_t kovaAPIDumpFlowsQE2(uint8_t verbose, kova_DUMP_BUF *out) {
    // One base and mapping for the whole walk, alive until it ends.
    const EngineReader engine;
    if (!engine.view())
        return KOVA_OK;
    return dump({engine.view()->area, engine.view()->qe_base}, summary_qe, verbose, out);
}
uint32_t kovaAPIDumpFlowsQE(uint8_t verbose) { return kovaAPIDumpFlowsQE2(verbose, nullptr); }

uint32_t kovaAPIDumpOQ(void *) { return KOVA_OK; }
uint32_t kovaAPIDumpScheduler(void *) { return KOVA_OK; }

} // extern "C"
