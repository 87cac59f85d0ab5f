// "flow_list": one line per flow the table holds, for tools rather than eyes.
// The dumps show the entries as the engine matches them but not who owns
// them; this file joins each slot's record (appflowid, parent) with its
// entry's key and actions from the shadow copy and the counters the engine
// keeps in its own copy.
//
// The text is taken at open under the table lock, so a line's record and
// entry belong to the same flow; the lock is held for one pass over the
// records and the formatting of the live ones, never while the reader reads.
// Reads and the release are those of the dumps.
#include "flow/ctrl.h"
#include "flow/engine_view.h"
#include "flow/slots.h"
#include "flow/table_lock.h"
#include "lib/bytes.h"
#include "lib/text.h"
#include "operator/debug_files.h"
#include "operator/user_text.h"

namespace {

using namespace kv;

// "slot=32767 appflowid=4294967295 parent=4294967295 ucc=65535 " and so on:
// the fixed fields take under 200 bytes, the key 120 hex digits and the
// whole action area 272.
constexpr size_t kLineMax = 640;
constexpr uint32_t kKeyFirst = KOVA_LUT_OFF_ETH_DMAC;
constexpr uint32_t kKeyEnd = KOVA_LUT_OFF_CRC32;

using files::OpenText;

void add_hex(Text &line, const uint8_t *bytes, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i)
        line.add("%02x", bytes[i]);
}

// The action area up to its last non-zero byte, rounded up to whole words:
// every encoded rule is a whole number of words, and a reader takes missing
// trailing bytes as zero.
uint32_t actions_used(const uint8_t *entry) {
    uint32_t n = KOVA_LUT_ACTIONS_END - KOVA_LUT_OFF_ACTIONS;
    while (n > 0 && entry[KOVA_LUT_OFF_ACTIONS + n - 1] == 0)
        --n;
    return (n + 3u) & ~3u;
}

void add_line(Text &out, uint32_t slot, const EngineReader &engine) {
    const kova_LUT_INFO &r = kova.lut_info[slot];
    const uint8_t *e = r.lut_cpu;
    const uint8_t *q = engine.view() ? engine.slot(slot) : e;
    out.add("slot=%u appflowid=%u ", slot, r.appflowid);
    if (r.is_extended && r.prev_flowid < KOVA_LUT_ENTRIES)
        out.add("parent=%u ", kova.lut_info[r.prev_flowid].appflowid);
    else
        out.add("parent=- ");
    out.add("ucc=%u crc32=0x%08x packets=%u octets=%u timestamp=%u key=", unsigned(r.ucc),
            bytes::get_le32(e + KOVA_LUT_OFF_CRC32),
            bytes::load_le32_once(q + KOVA_LUT_OFF_PACKET_CNT),
            bytes::load_le32_once(q + KOVA_LUT_OFF_STATS_WORD2),
            bytes::load_le32_once(q + KOVA_LUT_OFF_TIMESTAMP));
    add_hex(out, e + kKeyFirst, kKeyEnd - kKeyFirst);
    out.add(" actions=");
    add_hex(out, e + KOVA_LUT_OFF_ACTIONS, actions_used(e));
    out.add("\n");
}

// Under the table lock: the records cannot change between the count and
// the lines, so the buffer is sized exactly once.
int fill(OpenText *l) {
    if (kova.init_magic != KOVA_INIT_MAGIC || !kova.hashtable_base_cpu)
        return 0;
    uint32_t live = 0;
    for (uint32_t s = 0; s < KOVA_LUT_ENTRIES; ++s)
        live += kova.lut_info[s].in_use == 1 ? 1u : 0u;
    const size_t cap = size_t(live) * kLineMax + 1;
    l->text = static_cast<char *>(plat_vmalloc(cap));
    if (!l->text)
        return files::kENOMEM;
    Text out(l->text, cap);
    const EngineReader engine;
    for (uint32_t s = 0; s < KOVA_LUT_ENTRIES; ++s)
        if (kova.lut_info[s].in_use == 1)
            add_line(out, s, engine); // each fits kLineMax: the text is never cut
    l->len = out.length();
    return 0;
}

} // namespace

extern "C" {

int flow_list_open(struct plat_inode *, struct plat_file *file) {
    auto *l = static_cast<OpenText *>(plat_kmalloc(sizeof(OpenText)));
    if (!l)
        return files::kENOMEM;
    *l = {nullptr, 0};
    int err;
    {
        TableLock lock(0, "flow_list_open");
        err = fill(l);
    }
    if (err) {
        plat_kfree(l);
        return err;
    }
    *plat_file_private(file) = l;
    return 0;
}

} // extern "C"
