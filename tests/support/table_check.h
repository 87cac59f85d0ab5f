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
inline std::vector<std::string> check_table(const FlowModel &model) { return check_table(&model); }
// The first few problems, one a line.
std::string first_problems(const std::vector<std::string> &problems, size_t max = 10);

} // namespace kt

#define EXPECT_TABLE_OK(...)                                                                       \
    do {                                                                                           \
        auto problems_ = kt::check_table(__VA_ARGS__);                                             \
        EXPECT_TRUE(problems_.empty()) << problems_.size() << " problems:\n"                       \
                                       << kt::first_problems(problems_);                           \
    } while (0)
