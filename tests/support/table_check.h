// Walks both copies of the flow table and reports every broken invariant.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kt {

// appflowid -> crc32 of the flows a test expects to be in the table.
using FlowModel = std::map<uint32_t, uint32_t>;

// Empty when the table is sound (and, with a model, holds exactly its flows).
std::vector<std::string> check_table(const FlowModel *model = nullptr);

} // namespace kt

// gtest-friendly: EXPECT_TABLE_OK() prints the first problems found.
#define EXPECT_TABLE_OK(...)                                                                       \
    do {                                                                                           \
        auto problems_ = kt::check_table(__VA_ARGS__);                                            \
        std::string all_;                                                                          \
        for (size_t i_ = 0; i_ < problems_.size() && i_ < 10; ++i_)                               \
            all_ += problems_[i_] + "\n";                                                          \
        EXPECT_TRUE(problems_.empty()) << problems_.size() << " problems:\n" << all_;             \
    } while (0)
