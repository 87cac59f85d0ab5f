// Shared helpers for the module's tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "flow/ctrl.h"
#include "kova/host.h"
#include "kova/kovaAPI.h"
#include "kova_internal.h"
#include "lib/bytes.h"

namespace kt {

std::string log_text();
std::string take_log(); // the log since the last clear, then clear it

inline bool ends_with(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Runs kovaAPIInit before each test and releases everything after it,
// checking that nothing the test made the module allocate is left.
class StoreTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    long live_before_ = 0;
};

// A flow description with its own rule storage (drop rules by default);
// get() links the rules as they are now.
struct Flow {
    kova_FLOW f{};
    std::vector<kova_RULE> rules;
    explicit Flow(uint32_t crc, uint16_t ucc = 1, size_t n_rules = 1);
    kova_FLOW *get();
};

// Distinct, non-empty key bytes derived from a seed.
Flow keyed_flow(uint32_t crc, uint32_t seed);

// A slot of the engine copy as the module reaches it, of the shadow, and their addresses.
inline uint8_t *engine_slot(uint32_t s) { return kova.hashtable_base_qe_remapped + s * 256ull; }
inline uint8_t *shadow_slot(uint32_t s) { return kova.hashtable_base_cpu + s * 256ull; }
inline uint64_t shadow_addr(uint32_t s) { return uint64_t(uintptr_t(shadow_slot(s))); }
inline uint64_t engine_addr(uint32_t s) { return kova.hashtable_base_qe + s * 256ull; }
inline uint64_t le64_at(const uint8_t *p) { return kv::bytes::get_le64(p); }
inline uint32_t le32_at(const uint8_t *p) { return kv::bytes::get_le32(p); }

// One engine write: operation, engine offset, length, and the stored word,
// fill byte, 8-byte value or copy source, whichever the operation has.
using W = std::tuple<uint32_t, uint64_t, uint64_t, uint64_t>;
// The engine writes of run(), each of which must be followed by one barrier.
std::vector<W> writes_of(const std::function<void()> &run);

// Runs body(t) for each t below n on a thread of its own and meanwhile() on
// this one; returns when all have ended.
void on_threads(
    uint32_t n, const std::function<void(uint32_t)> &body,
    const std::function<void()> &meanwhile = [] {});

} // namespace kt
