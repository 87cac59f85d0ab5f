// Flow queries. Statistics come from the engine copy, where the engine keeps
// them current; the existence check walks the shadow copy. Neither takes
// kovaAPI_lock: callers that need a stable answer hold it themselves.
#include "flow/query.h"

#include "flow/ctrl.h"
#include "flow/engine_view.h"
#include "flow/lookup.h"
#include "flow/slots.h"
#include "flow/table.h"
#include "flow/table_lock.h"
#include "lib/bytes.h"
#include "lib/log.h"
#include "platform.h"

extern "C" {
uint64_t stored_hashtable_base_cpu;
}

namespace {

using namespace kv;

// The messages of the two kinds of statistics query differ only in this word.
enum class Word { counter, timestamp };

const char *name_of(Word w) { return w == Word::counter ? "counter" : "timestamp"; }

// The texts keep their doubled words: operators' scripts match them as they
// stand.
constexpr flows::Refusals kCounterRefusals = {
    "kovaAPI: trying to to get counter for non-existing application flowid\n",
    "kovaAPI: trying to to get counter for for flowid which is out of range\n",
    "kovaAPI: trying to to get counter for for non-existing flow\n",
    nullptr,
};

constexpr flows::Refusals kTimestampRefusals = {
    "kovaAPI: trying to to get timestamp for non-existing application flowid\n",
    "kovaAPI: trying to to get timestamp for for flowid which is out of range\n",
    "kovaAPI: trying to to get timestamp for for non-existing flow\n",
    nullptr,
};

const flows::Refusals &refusals_of(Word w) {
    return w == Word::counter ? kCounterRefusals : kTimestampRefusals;
}

// The kernel address of a live flow's entry in the engine copy the reader
// holds, or null after logging why the flow cannot be queried. The
// destination check comes last and is silent. The slot records change under
// the lock while we read them: each word is read once.
const uint8_t *engine_entry_of(const EngineReader &engine, int32_t appflowid, const void *dest,
                               Word w) {
    const flows::Refusals &why = refusals_of(w);
    if (appflowid < 0 || uint32_t(appflowid) >= KOVA_APP_FLOWS) {
        plat_printk("kovaAPI: trying to get %s for flowid which is out of range\n", name_of(w));
        return nullptr;
    }
    const uint32_t slot = flows::flow_slot(uint32_t(appflowid), flows::Kind::any, why);
    if (slot == KOVA_NO_SLOT)
        return nullptr;
    // After a release the records keep their last contents while the tables
    // are gone; such a flow no longer exists either.
    if (kova.init_magic != KOVA_INIT_MAGIC || !engine.view()) {
        plat_printk("%s", why.not_live);
        return nullptr;
    }
    if (!dest)
        return nullptr;
    return engine.slot(slot);
}

// The engine updates these words at any time: one whole 32-bit load each.
uint32_t engine_word(const uint8_t *entry, uint32_t offset) {
    return bytes::load_le32_once(entry + offset);
}

} // namespace

extern "C" {

uint32_t kovaAPIgetFlowPacketCounter(int32_t appflowid, uint64_t *counter) {
    const EngineReader engine;
    const uint8_t *e = engine_entry_of(engine, appflowid, counter, Word::counter);
    if (!e)
        return KOVA_ERR_INVALID;
    *counter = engine_word(e, KOVA_LUT_OFF_PACKET_CNT);
    return KOVA_OK;
}

uint32_t kovaAPIgetFlowStatistics(int32_t appflowid, uint32_t *stats) {
    const EngineReader engine;
    const uint8_t *e = engine_entry_of(engine, appflowid, stats, Word::counter);
    if (!e)
        return KOVA_ERR_INVALID;
    stats[0] = engine_word(e, KOVA_LUT_OFF_PACKET_CNT);
    stats[1] = engine_word(e, KOVA_LUT_OFF_STATS_WORD2);
    stats[2] = engine_word(e, KOVA_LUT_OFF_TIMESTAMP);
    return KOVA_OK;
}

uint32_t kovaAPIgetFlowTimeStamp(int32_t appflowid, uint64_t *timestamp) {
    const EngineReader engine;
    const uint8_t *e = engine_entry_of(engine, appflowid, timestamp, Word::timestamp);
    if (!e)
        return KOVA_ERR_INVALID;
    *timestamp = engine_word(e, KOVA_LUT_OFF_TIMESTAMP);
    return KOVA_OK;
}

// 1 when the bucket list from `start` holds `crc`, and whenever the walk
// cannot be trusted; 0 only after a complete walk without a match. One
// entry per distinct CRC32 sits on the next_crc12 list, so that list alone
// answers the question.
uint32_t kovaAPIcheckFlowExists(uint64_t crc, uint64_t start) {
    if (kova.init_magic != KOVA_INIT_MAGIC) {
        plat_printk("ORVEX_BUG4702: kovaAPI: kovaAPI not initialized yet\n");
        return 1;
    }
    const uint64_t base = uint64_t(uintptr_t(kova.hashtable_base_cpu));
    if (base != stored_hashtable_base_cpu) {
        plat_printk(
            "ORVEX_BUG4702: stored_hashtable_base_cpu=0x%llx kova.hashtable_base_cpu=0x%llx\n",
            (unsigned long long)plat_shown_address(
                reinterpret_cast<const void *>(uintptr_t(stored_hashtable_base_cpu))),
            (unsigned long long)plat_shown_address(kova.hashtable_base_cpu));
        stored_hashtable_base_cpu = base;
    }
    if (start > KOVA_LUT_TABLE_BYTES - 1) {
        plat_printk("ORVEX_BUG4702: kovaAPIcheckFlowExists wrong start address = 0x%x\n",
                    unsigned(start));
        return 1;
    }
    const uint32_t want = uint32_t(crc);
    uint64_t addr = base + start;
    // Links change under the lock while we walk without it. The list has at
    // most one entry per slot, so a longer walk has met a cycle.
    for (uint32_t steps = 0; steps < KOVA_LUT_ENTRIES; ++steps) {
        // The whole entry must lie in the shadow table: a link or start that
        // is not a slot boundary would otherwise read past its end.
        if (addr < stored_hashtable_base_cpu ||
            addr > stored_hashtable_base_cpu + KOVA_LUT_TABLE_BYTES - KOVA_LUT_SIZE) {
            plat_printk("ORVEX_BUG4702: kovaAPIcheckFlowExists wrong search_lut address = 0x%llx\n",
                        (unsigned long long)plat_shown_address(
                            reinterpret_cast<const void *>(uintptr_t(addr))));
            return 1;
        }
        const uint8_t *entry = reinterpret_cast<const uint8_t *>(uintptr_t(addr));
        if (table::crc_of(entry) == want)
            return 1;
        addr = table::link(entry, KOVA_LUT_OFF_NEXT_CRC12);
        if (addr == 0)
            return 0;
    }
    (void)KOVA_INTERNAL_ERROR(nullptr);
    return 1;
}

} // extern "C"
