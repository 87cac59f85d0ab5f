#include "engine.h"

#include <cstring>

#include "flow/key.h"

namespace kova_engine {
namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the shared words are little-endian and are read here with native loads");

constexpr uint32_t kLagFirst = kv::key::kUccLagFirst, kUccs = 40, kEthUccs = 4, kSubports = 4096;

// The module changes links and counters of live entries while we read them:
// every shared word is one whole aligned access.
uint32_t load32(const uint8_t *p) {
    return __atomic_load_n(reinterpret_cast<const uint32_t *>(p), __ATOMIC_RELAXED);
}
uint64_t load64(const uint8_t *p) {
    return __atomic_load_n(reinterpret_cast<const uint64_t *>(p), __ATOMIC_RELAXED);
}
void store32(uint8_t *p, uint32_t v) {
    __atomic_store_n(reinterpret_cast<uint32_t *>(p), v, __ATOMIC_RELAXED);
}
// The engine is the only writer of its counters: load, add, one store.
void add32(uint8_t *p, uint32_t v) { store32(p, load32(p) + v); }
void add64(uint8_t *p, uint64_t v) {
    auto *w = reinterpret_cast<uint64_t *>(p);
    __atomic_store_n(w, __atomic_load_n(w, __ATOMIC_RELAXED) + v, __ATOMIC_RELAXED);
}

// The valid word is loaded first, with acquire: the rest of the entry is
// read only once it has said 1.
bool is_live(const uint8_t *e) {
    return __atomic_load_n(reinterpret_cast<const uint32_t *>(e + KOVA_LUT_OFF_VALID),
                           __ATOMIC_ACQUIRE) == KOVA_LUT_VALID_LIVE;
}

bool matches(const uint8_t *e, const Packet &p) {
    return load32(e + KOVA_LUT_OFF_PORT) == kv::key::port_word(p.ucc) &&
           std::memcmp(e + KOVA_FLOW_KEY_ENTRY_OFF, p.key.bytes, KOVA_FLOW_KEY_LEN) == 0;
}

} // namespace

uint32_t counter_record(uint32_t ucc, uint32_t subport) {
    if (ucc < kEthUccs)
        return KOVA_SHM_CNT_ETH(ucc);
    if (ucc >= kUccs || subport >= kSubports)
        return 0;
    // The groups count in record 0 of their own areas.
    return KOVA_SHM_CNT_OTHER(ucc) + (ucc >= kLagFirst ? 0 : KOVA_PORT_CNT_SIZE * subport);
}

Packet packet_of(const kova_FLOW &flow, uint32_t len) {
    Packet p{};
    kova_flow_key_make(&flow, &p.key);
    p.crc = kova_flow_key_crc(&p.key);
    p.ucc = flow.flow_ucc;
    p.subport = flow.flow_subport;
    p.len = len;
    return p;
}

bool set_source_for_crc(kova_FLOW *flow, uint32_t crc) {
    if (flow->eth_type != KOVA_ETH_TYPE_IPV4 && flow->eth_type != KOVA_ETH_TYPE_ARP)
        return false;
    // The key holds a.b.c.d as c, d, a, b: x's bytes 0..3 in that order.
    auto crc_with = [flow](uint32_t x) {
        const uint8_t k[4] = {uint8_t(x), uint8_t(x >> 8), uint8_t(x >> 16), uint8_t(x >> 24)};
        flow->ip_src.v4[2] = k[0], flow->ip_src.v4[3] = k[1], flow->ip_src.v4[0] = k[2],
        flow->ip_src.v4[1] = k[3];
        kova_flow_key key;
        kova_flow_key_make(flow, &key);
        return kova_flow_key_crc(&key);
    };
    // crc_with(x) = L(x) ^ crc_with(0) with L linear over GF(2): solve
    // L(x) = crc ^ crc_with(0) with a basis of L's columns, each kept with
    // the combination of input bits that produces it.
    const uint32_t base = crc_with(0);
    uint32_t vec[32] = {}, combo[32] = {}; // indexed by leading bit
    for (uint32_t i = 0; i < 32; ++i) {
        uint32_t v = crc_with(uint32_t(1) << i) ^ base, c = uint32_t(1) << i;
        for (int b = 31; b >= 0 && v; --b) {
            if (!(v >> b & 1))
                continue;
            if (!vec[b]) {
                vec[b] = v, combo[b] = c;
                break;
            }
            v ^= vec[b], c ^= combo[b];
        }
    }
    uint32_t want = crc ^ base, x = 0;
    for (int b = 31; b >= 0; --b)
        if (want >> b & 1 && vec[b])
            want ^= vec[b], x ^= combo[b];
    return want == 0 && crc_with(x) == crc;
}

// The live entry a link leads to; null at the end of a list: a zero link, an
// entry that is not live, or a link that cannot be followed. `budget` bounds
// the steps of one walk, so that a loop of links ends it too.
uint8_t *Engine::live_entry(uint64_t link, uint32_t *budget) {
    if (link == 0)
        return nullptr;
    const uint64_t off = link - qe_base_;
    if (link < qe_base_ || off >= KOVA_LUT_TABLE_BYTES || off % KOVA_LUT_SIZE != 0 ||
        *budget == 0) {
        ++stats_.bad_links;
        return nullptr;
    }
    --*budget;
    uint8_t *e = area_ + KOVA_SHM_TABLE + off;
    return is_live(e) ? e : nullptr;
}

int32_t Engine::lookup(const Packet &p) {
    uint32_t budget = KOVA_LUT_ENTRIES;
    uint8_t *group =
        area_ + KOVA_SHM_TABLE + uint64_t(p.crc >> KOVA_LUT_BUCKET_SHIFT) * KOVA_LUT_SIZE;
    if (!is_live(group))
        return -1;
    while (group && load32(group + KOVA_LUT_OFF_CRC32) != p.crc)
        group = live_entry(load64(group + KOVA_LUT_OFF_NEXT_CRC12), &budget);
    // One group per CRC32 in a bucket: its entries are the only candidates.
    for (uint8_t *e = group; e; e = live_entry(load64(e + KOVA_LUT_OFF_NEXT_CRC32), &budget))
        if (matches(e, p))
            return int32_t((e - area_ - KOVA_SHM_TABLE) / KOVA_LUT_SIZE);
    return -1;
}

void Engine::count_in_entry(uint8_t *e, uint32_t len) {
    add32(e + KOVA_LUT_OFF_PACKET_CNT, 1);
    add32(e + KOVA_LUT_OFF_STATS_WORD2, len);
    store32(e + KOVA_LUT_OFF_TIMESTAMP, now_);
}

void Engine::count_on_port(const Packet &p) {
    const uint32_t at = counter_record(p.ucc, p.subport);
    if (!at)
        return;
    uint8_t *rec = area_ + at;
    add64(rec + KOVA_PORT_CNT_RX_OCTETS, p.len);
    add64(rec + KOVA_PORT_CNT_RX_PACKETS, 1);
    // The destination MAC is the key's first six bytes.
    const uint8_t *dmac = p.key.bytes;
    static const uint8_t kBroadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    uint32_t kind = KOVA_PORT_CNT_RX_UCAST;
    if (std::memcmp(dmac, kBroadcast, 6) == 0)
        kind = KOVA_PORT_CNT_RX_BCAST;
    else if (dmac[0] & 1)
        kind = KOVA_PORT_CNT_RX_MCAST;
    add64(rec + kind, 1);
}

int32_t Engine::process(const Packet &p) {
    ++stats_.packets;
    count_on_port(p);
    const int32_t slot = lookup(p);
    if (slot < 0) {
        ++stats_.misses;
        return -1;
    }
    ++stats_.hits;
    uint8_t *e = area_ + KOVA_SHM_TABLE + uint64_t(slot) * KOVA_LUT_SIZE;
    count_in_entry(e, p.len);
    uint32_t budget = KOVA_LUT_ENTRIES;
    for (uint8_t *x = live_entry(load64(e + KOVA_LUT_OFF_NEXT_EXT), &budget); x;
         x = live_entry(load64(x + KOVA_LUT_OFF_NEXT_EXT), &budget)) {
        count_in_entry(x, p.len);
        ++stats_.extended;
    }
    return slot;
}

} // namespace kova_engine
