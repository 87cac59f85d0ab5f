// CRC-32 of the flow-table code, bit reversal and the byte-order helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kova/kovaAPI.h"
#include "kova_internal.h"

namespace kv::crc {
extern uint32_t table[256];
extern bool tableInitialised;
} // namespace kv::crc

namespace {

// Independent bit-at-a-time reference over the reflected polynomial.
uint32_t bitwise_crc(uint32_t reg, const uint8_t *p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        reg ^= p[i];
        for (int b = 0; b < 8; ++b)
            reg = (reg >> 1) ^ ((reg & 1u) ? 0xEDB88320u : 0u);
    }
    return reg;
}

uint32_t crc_of(const std::string &s) { return kova_crc32(s.data(), uint32_t(s.size())); }

TEST(Crc, TableIsBuiltOnFirstCall) {
    // Start from the state the module loads with.
    std::memset(kv::crc::table, 0, sizeof kv::crc::table);
    kv::crc::tableInitialised = false;

    const uint8_t byte = 0x31;
    (void)PartialCRC(0xFFFFFFFFu, &byte, 1);

    EXPECT_TRUE(kv::crc::tableInitialised);
    for (uint32_t i = 0; i < 256; ++i) {
        const uint8_t b = uint8_t(i);
        ASSERT_EQ(kv::crc::table[i], bitwise_crc(0, &b, 1)) << "entry " << i;
    }
}

TEST(Crc, KnownValuesAndChaining) {
    EXPECT_EQ(crc_of("123456789"), 0xCBF43926u);
    EXPECT_EQ(crc_of(""), 0u);
    // PartialCRC applies no inversion of its own (the JAMCRC value); a
    // zero-length piece is covered by the cut at 0 below.
    EXPECT_EQ(PartialCRC(0xFFFFFFFFu, "123456789", 9), 0x340BC6D9u);

    std::vector<uint8_t> data(300);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 37 + 11);
    const uint32_t whole = PartialCRC(0xFFFFFFFFu, data.data(), uint32_t(data.size()));
    EXPECT_EQ(whole, bitwise_crc(0xFFFFFFFFu, data.data(), data.size()));
    for (size_t cut = 0; cut <= data.size(); cut += 7) {
        uint32_t reg = PartialCRC(0xFFFFFFFFu, data.data(), uint32_t(cut));
        ASSERT_EQ(PartialCRC(reg, data.data() + cut, uint32_t(data.size() - cut)), whole) << "cut at " << cut;
    }
}

TEST(ReverseBits, ReversesTheLowBitsOnly) {
    struct Case {
        uint32_t value, bits, expected;
    };
    const Case cases[] = {
        {1, 32, 0x80000000u}, {0x12345678u, 32, 0x1E6A2C48u}, {0x80, 8, 0x01}, {0x0B, 4, 0x0D},
        {0x1FF, 8, 0xFF},     {3, 1, 1}, {0xFFFFFFFFu, 0, 0}, {0xFFFFFFFFu, 32, 0xFFFFFFFFu},
    };
    for (const Case &c : cases)
        EXPECT_EQ(reverseBits(c.value, c.bits), c.expected) << std::hex << c.value << " bits " << std::dec << c.bits;
}

// The plain swaps are identities on this platform; the flow swaps reverse.
TEST(ByteOrder, PlainSwapsKeepAndFlowSwapsReverse) {
    EXPECT_EQ(swap_bytes(0x11223344u), 0x11223344u);
    EXPECT_EQ(swap_bytes16(0xA1B2), 0xA1B2);
    EXPECT_EQ(swap_bytes64(0x0102030405060708ull), 0x0102030405060708ull);
    EXPECT_EQ(flow_swap_bytes(0x11223344u), 0x44332211u);
    EXPECT_EQ(flow_swap_bytes16(0xA1B2), 0xB2A1);
    EXPECT_EQ(flow_swap_bytes64(0x0102030405060708ull), 0x0807060504030201ull);
}

} // namespace
