// The engine-write primitives and the order in which an entry and its link
// become visible to the engine.
#include <cstring>

#include "flow/publish.h"
#include "lib/bytes.h"
#include "support/kova_test.h"
#include "support/table_check.h"

namespace {

using kt::engine_slot;
using kt::le32_at;
using kt::le64_at;
using kt::shadow_slot;

class Publish : public kt::StoreTest {};

using kt::ev;
using kt::expect_events;
constexpr uint32_t B = kt::BARRIER;

TEST_F(Publish, PrimitivesWriteExactlyTheirBytesAndEndWithOneBarrier) {
    uint8_t *e = engine_slot(10);
    std::memset(e, 0xEE, 3 * 256);
    uint8_t src[300];
    for (int i = 0; i < 300; ++i)
        src[i] = uint8_t(i + 1);
    const uint64_t a = kt::engine_addr(10);

    kova_host_trace_start();
    EXPECT_EQ(memcpyQE(a, src, 0, 0), 0u);    // nothing written, still a barrier
    EXPECT_EQ(memcpyQE(a + 1, src, 65, 3), 0u);
    EXPECT_EQ(memsetQE(a + 100, 0x1C7, 252, 0), 0u); // the low byte is the fill
    EXPECT_EQ(memsetQE32bit(a + 400, 0xA1B2C3D4, 99, 0), 0u);
    EXPECT_EQ(memcpyQE2(a + 512, a + 1, 0x100000000ull + 65, 0), 0u); // only the low 32 bits count
    EXPECT_EQ(storeQE64(a + 600, 0x0102030405060708ull, 0), 0u);
    kova_host_trace_stop();

    expect_events({ev(KOVA_TRACE_MEMCPY, 2560, 0), ev(B, 0, 0), ev(KOVA_TRACE_MEMCPY, 2561, 65), ev(B, 0, 0),
                   ev(KOVA_TRACE_MEMSET, 2660, 252, 0xC7), ev(B, 0, 0),
                   ev(KOVA_TRACE_MEMSET32, 2960, 4, 0xA1B2C3D4), ev(B, 0, 0),
                   ev(KOVA_TRACE_MEMCPY2, 3072, 65, 0, 2561), ev(B, 0, 0),
                   ev(KOVA_TRACE_STORE64, 3160, 8, 0, 0x0102030405060708ull), ev(B, 0, 0)});
    // Exactly those bytes changed.
    uint8_t want[3 * 256];
    std::memset(want, 0xEE, sizeof want);
    std::memcpy(want + 1, src, 65);
    std::memset(want + 100, 0xC7, 252);
    kv::bytes::put_le32(want + 400, 0xA1B2C3D4);
    std::memcpy(want + 512, src, 65);
    kv::bytes::put_le64(want + 600, 0x0102030405060708ull);
    EXPECT_EQ(std::memcmp(e, want, sizeof want), 0);
}

// A short entry leaves the rest of the engine slot alone; a full one never
// copies over the valid word, which the shadow takes like any other.
TEST_F(Publish, EntryWritesItsLengthAndSetsTheValidWordLast) {
    kova_LUT built;
    std::memset(&built, 0x5A, sizeof built);
    uint8_t *e = engine_slot(3), *s = shadow_slot(3);
    std::memset(e, 0xEE, 256);
    kv::publish::entry(kt::engine_addr(3), &built, 120, 0, s);
    uint8_t want[256];
    std::memset(want, 0x5A, 120);
    std::memset(want + 120, 0xEE, 132);
    kv::bytes::put_le32(want + 252, 1);
    EXPECT_EQ(std::memcmp(e, want, 256), 0);
    EXPECT_EQ(s[119], 0x5A);
    EXPECT_EQ(s[120], 0);

    kova_host_trace_start();
    kv::publish::entry(kt::engine_addr(5), &built, 256, 4, shadow_slot(5));
    kova_host_trace_stop();
    expect_events({ev(KOVA_TRACE_MEMSET32, 5 * 256 + 252, 4, 0), ev(B, 0, 0), ev(KOVA_TRACE_MEMCPY, 5 * 256, 252),
                   ev(B, 0, 0), ev(KOVA_TRACE_MEMSET32, 5 * 256 + 252, 4, 1), ev(B, 0, 0)});
    EXPECT_EQ(le32_at(shadow_slot(5) + 252), 0x5A5A5A5Au);
}

// What the engine can observe of a chained creation, and what the shadow
// holds at the moment the engine link is written.
struct LinkMoment {
    uint32_t new_slot, pred_slot, field;
    bool seen = false, shadow_entry_ready = false, shadow_link_absent = false;
};

void at_link_write(const kova_host_trace_event *e, void *ctx) {
    auto *m = static_cast<LinkMoment *>(ctx);
    if (e->op != KOVA_TRACE_STORE64 || e->engine_off != m->pred_slot * 256ull + m->field)
        return;
    m->seen = true;
    m->shadow_entry_ready = le32_at(shadow_slot(m->new_slot) + KOVA_LUT_OFF_CRC32) != 0;
    m->shadow_link_absent = le64_at(shadow_slot(m->pred_slot) + m->field) == 0;
}

// A head creation publishes the entry alone; a chained one adds the link
// after it.
TEST_F(Publish, CreationPublishesTheEntryBeforeItsLink) {
    const uint32_t crc = 0x0ABC0001, head = crc >> 18;
    kt::Flow first(crc), second(crc);
    auto publish_of = [](uint64_t slot) {
        return std::vector{ev(KOVA_TRACE_MEMSET32, slot + 252, 4, 0), ev(B, 0, 0), ev(KOVA_TRACE_MEMCPY, slot, 120),
                           ev(B, 0, 0), ev(KOVA_TRACE_MEMSET32, slot + 252, 4, 1), ev(B, 0, 0)};
    };
    kova_host_trace_start();
    ASSERT_EQ(kovaAPIcreateVoipFlow(first.get(), 1), KOVA_OK);
    kova_host_trace_stop();
    expect_events(publish_of(head * 256ull));

    LinkMoment m{16384, head, KOVA_LUT_OFF_NEXT_CRC32};
    kova_host_trace_hook(at_link_write, &m);
    kova_host_trace_start();
    ASSERT_EQ(kovaAPIcreateVoipFlow(second.get(), 2), KOVA_OK);
    kova_host_trace_stop();
    auto want = publish_of(16384 * 256ull);
    want.push_back(ev(KOVA_TRACE_STORE64, head * 256ull + 80, 8, 0, kt::engine_addr(16384)));
    want.push_back(ev(B, 0, 0));
    expect_events(want);
    EXPECT_TRUE(m.seen);
    EXPECT_TRUE(m.shadow_entry_ready) << "the shadow copy must be written before the link";
    EXPECT_TRUE(m.shadow_link_absent) << "the shadow link must follow the engine link";
    EXPECT_TABLE_OK();
}

} // namespace
