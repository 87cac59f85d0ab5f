// Walks both copies of the flow table and reports every broken invariant.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "kova/host.h"

namespace kt {

// appflowid -> crc32 of the flows a test expects to be in the table.
using FlowModel = std::map<uint32_t, uint32_t>;

// Empty when the table is sound (and, with a model, holds exactly its flows).
std::vector<std::string> check_table(const FlowModel *model = nullptr);
inline std::vector<std::string> check_table(const FlowModel &model) { return check_table(&model); }
// The first few problems, one a line.
std::string first_problems(const std::vector<std::string> &problems, size_t max = 10);

// A trace hook: the engine walks its copy while the module writes it, so at every barrier
// a valid entry of `slots` may link only to an entry valid at the engine's address.
struct LinkWatch {
    std::vector<uint32_t> slots;
    uint32_t barriers = 0, bad = 0;
    static void at(const kova_host_trace_event *e, void *ctx);
};

} // namespace kt

#define EXPECT_TABLE_OK(...)                                                                       \
    do {                                                                                           \
        auto problems_ = kt::check_table(__VA_ARGS__);                                             \
        EXPECT_TRUE(problems_.empty()) << problems_.size() << " problems:\n"                       \
                                       << kt::first_problems(problems_);                           \
    } while (0)
