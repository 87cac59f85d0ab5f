// The engine reads its copy without a lock while creations run, and kernel
// callers create flows from several threads at once.
#include <atomic>
#include <cstring>
#include <random>
#include <thread>

#include "support/kova_test.h"
#include "support/table_check.h"

namespace {

using kt::le32_at;

constexpr uint32_t kBuckets = 48;

uint32_t bucket_crc(uint32_t bucket, uint32_t variant) { return (bucket * 331u % KOVA_LUT_HEADS) << 18 | variant; }

// Key bytes that repeat the CRC32, so a reader can tell a whole entry from a
// torn one.
kt::Flow self_describing_flow(uint32_t crc) {
    kt::Flow f(crc, 2, 3);
    for (int i = 0; i < 4; ++i) {
        f.f.eth_smac[i] = uint8_t(crc >> (8 * i));
        f.f.eth_dmac[i] = uint8_t(~crc >> (8 * i));
    }
    return f;
}

// What the engine does: start at the head, use an entry only while its valid
// word is 1, follow links as engine addresses.
struct EngineReader {
    std::atomic<bool> *stop;
    uint64_t entries_checked = 0;
    std::vector<std::string> faults;

    const uint8_t *at(uint64_t engine_addr) {
        return kova.hashtable_base_qe_remapped + (engine_addr - kova.hashtable_base_qe);
    }
    static uint32_t valid(const uint8_t *e) {
        return __atomic_load_n(reinterpret_cast<const uint32_t *>(e + KOVA_LUT_OFF_VALID), __ATOMIC_ACQUIRE);
    }
    static uint64_t link(const uint8_t *e, uint32_t field) {
        return __atomic_load_n(reinterpret_cast<const uint64_t *>(e + field), __ATOMIC_ACQUIRE);
    }

    void check_entry(const uint8_t *e, uint32_t bucket_slot) {
        ++entries_checked;
        uint32_t crc = le32_at(e + KOVA_LUT_OFF_CRC32);
        uint8_t smac[4], dmac[4];
        std::memcpy(smac, e + KOVA_LUT_OFF_ETH_SMAC, 4);
        std::memcpy(dmac, e + KOVA_LUT_OFF_ETH_DMAC, 4);
        for (int i = 0; i < 4; ++i)
            if (smac[i] != uint8_t(crc >> (8 * i)) || dmac[i] != uint8_t(~crc >> (8 * i))) {
                faults.push_back("torn entry");
                return;
            }
        if (crc >> 18 != bucket_slot)
            faults.push_back("entry in the wrong bucket");
        if (e[KOVA_LUT_OFF_ACTIONS + 8] != (0x80 | RULE_DROP_PACKET))
            faults.push_back("action list incomplete");
    }

    void walk(uint32_t head_slot) {
        const uint8_t *group = at(kova.hashtable_base_qe + head_slot * 256ull);
        if (valid(group) != 1)
            return;
        for (int guard = 0; group && guard < 40000; ++guard) {
            const uint8_t *member = group;
            while (member) {
                check_entry(member, head_slot);
                uint64_t next = link(member, KOVA_LUT_OFF_NEXT_CRC32);
                member = next ? at(next) : nullptr;
                if (member && valid(member) != 1) {
                    faults.push_back("link to an entry that is not valid");
                    return;
                }
            }
            uint64_t next = link(group, KOVA_LUT_OFF_NEXT_CRC12);
            group = next ? at(next) : nullptr;
            if (group && valid(group) != 1) {
                faults.push_back("link to an entry that is not valid");
                return;
            }
        }
    }

    void run() {
        while (!stop->load() && faults.size() < 10)
            for (uint32_t b = 0; b < kBuckets; ++b)
                walk(bucket_crc(b, 0) >> 18);
    }
};

class Concurrency : public kt::StoreTest {};

TEST_F(Concurrency, EngineReaderNeverSeesAHalfPublishedEntry) {
    std::atomic<bool> stop{false};
    EngineReader reader{&stop};
    std::thread engine([&] { reader.run(); });

    std::mt19937 rng(7);
    kt::FlowModel model;
    for (uint32_t a = 0; a < 12000; ++a) {
        uint32_t crc = bucket_crc(rng() % kBuckets, 1 + rng() % 6);
        kt::Flow f = self_describing_flow(crc);
        ASSERT_EQ(kovaAPIcreateVoipFlow(f.get(), a), KOVA_OK);
        model[a] = crc;
    }
    stop = true;
    engine.join();
    EXPECT_TRUE(reader.faults.empty()) << reader.faults.front();
    EXPECT_GT(reader.entries_checked, 0u);
    EXPECT_TABLE_OK(&model);
}

TEST_F(Concurrency, CallersCreatingAtOnceAreSerialised) {
    constexpr uint32_t kThreads = 4, kPer = 3000;
    std::atomic<int> failures{0};
    std::vector<std::thread> callers;
    for (uint32_t t = 0; t < kThreads; ++t)
        callers.emplace_back([t, &failures] {
            for (uint32_t i = 0; i < kPer; ++i) {
                // Every thread hits the same few buckets.
                kt::Flow f = kt::keyed_flow(bucket_crc(i % 16, 1 + t), t * kPer + i);
                if (kovaAPIcreateVoipFlow(f.get(), t * kPer + i) != KOVA_OK)
                    ++failures;
            }
        });
    for (auto &c : callers)
        c.join();
    EXPECT_EQ(failures.load(), 0);
    kt::FlowModel model;
    for (uint32_t t = 0; t < kThreads; ++t)
        for (uint32_t i = 0; i < kPer; ++i)
            model[t * kPer + i] = bucket_crc(i % 16, 1 + t);
    EXPECT_TABLE_OK(&model);
    EXPECT_EQ(kova.create_branch_count[3], 16u);
    EXPECT_EQ(kova.create_branch_count[0], kThreads * kPer - 16);
}

} // namespace
