// Kernel callers create flows from several threads at once; the module must
// serialise them. (What the engine sees while the table changes is covered by
// the engine-view tests.)
#include <atomic>
#include <thread>
#include <vector>

#include "support/kova_test.h"
#include "support/table_check.h"

namespace {

uint32_t bucket_crc(uint32_t bucket, uint32_t variant) { return (bucket * 331u % KOVA_LUT_HEADS) << 18 | variant; }

class Concurrency : public kt::StoreTest {};

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
