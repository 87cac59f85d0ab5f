// The bounded scanner of operator text: the host's C library is the oracle
// where the kernel's sscanf agrees with it, explicit cases where it does not.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "lib/scan.h"

namespace {

// The text in a heap block of its length, no NUL: a read past it trips ASan.
std::unique_ptr<char[]> unterminated(const std::string &text) {
    std::unique_ptr<char[]> p(new char[text.empty() ? 1 : text.size()]);
    std::memcpy(p.get(), text.data(), text.size());
    return p;
}

// Eight destinations (a %127s and a guard byte) from one filler: both scanners
// must leave the same bytes everywhere, written or not.
struct Slots {
    alignas(8) char s[8][136];
    Slots() { std::memset(s, 0x5a, sizeof s); }
};

TEST(ScanOracle, SameAsTheCLibrary) {
    const std::pair<std::vector<const char *>, std::vector<const char *>> groups[] = {
        // clang-format off
        {{"%d%8s", "%3d%d", "%1d%8s"}, {"0", "-42", "007", "\t\n\v\f\r7", "2147483647",
         "-2147483648", "99999999999", "-99999999999", "12abc", "abc", "-", "--1", "- 1"}},
        {{"%hu", "%hhu", "%u%8s", "%2hhu%hhu"}, {"0", "255", "256", "65535", "65536", "4294967296",
         "99999999999", " 12 34", "12x", "x12"}},
        {{"%hx", "%hhx", "%x%8s", "%02hhx%02hhx", "%3x%8s"}, {"0", "F", "ff", "1ff", "0x800",
         "0X800", "930481C1", "fffffffff", "0x1ffff", "0x0x1", "12g", "g12", " \t0xa"}},
        {{"%3s%3s%3s", "a = %d", "a=%d , %d"}, {"abcdefgh", "ab\tcd", "a=1", "a = 1", "a  =1",
         "A=1", "a=1,2", "a=1 ,2", "a=1;2"}},
        // A token shape of the flow command language.
        {{"m=%02hhx:%02hhx:%02hhx:%02hhx:%02hhx:%02hhx", "rule%d=%127s"}, {"m=02:00:00:4f:03:e8",
         "m=2:0:0:4f:3:e8", "m=020:00:00:4f:03:e8", "m=0x:00:00:4f:03:e8", "rule1=RULE_DROP"}},
        // clang-format on
    };
    for (const auto &[fmts, texts] : groups)
        for (const char *fmt : fmts)
            for (const std::string text : texts) {
                SCOPED_TRACE(std::string("format \"") + fmt + "\" text \"" + text + "\"");
                Slots ours, libc;
                const auto raw = unterminated(text);
                auto *o = ours.s, *l = libc.s;
                const int got = kv::scan(raw.get(), text.size(), fmt, o[0], o[1], o[2], o[3], o[4],
                                         o[5], o[6], o[7]);
                const int want =
                    std::sscanf(text.c_str(), fmt, l[0], l[1], l[2], l[3], l[4], l[5], l[6], l[7]);
                ASSERT_GE(want, 0) << "end of input for the C library: no case for the oracle";
                EXPECT_EQ(got, want);
                EXPECT_EQ(std::memcmp(ours.s, libc.s, sizeof ours.s), 0);
            }
}

std::string le(uint32_t v) { return std::string(reinterpret_cast<const char *>(&v), 4); }

// Where the kernel's rules are not the C library's, where the text ends early,
// and strings; the first bytes of the first two slots after (Z: untouched).
TEST(ScanKernel, RulesOfItsOwnTheEndOfTheTextAndStrings) {
    const std::string Z = "Z", nul(1, '\0'), w127(127, 'w'), t = "5 5 5";
    const struct {
        const char *fmt;
        std::string text;
        int count;
        std::string first, second = "Z";
    } cases[] = {
        // clang-format off
        {"%u", "+5", 0, Z}, {"%d", "+5", 0, Z}, {"%u", "-1", 0, Z}, // libc: ok
        {"%u", "18446744073709551621", 1, le(5)}, {"%d", "-18446744073709551617", 1, le(~0u)},
        {"%x", "10000000000000005", 1, le(5)}, {"%x", "0x", 1, le(0)}, // wraps; a prefix: 0
        {"%x%7s", "0xg", 2, le(0), "g" + nul}, {"%1x", "0x5", 1, le(0)},
        {"%u", "\xa0\x37", 1, le(7)},
        // The end of the text gives 0, never EOF; so does a NUL.
        {"%d", "   ", 0, Z}, {"abc %u", "abc", 0, Z}, {"x%d", "", 0, Z}, {"%d %d", "-", 0, Z},
        {"%d %d", "12" + nul + "34", 1, le(12)}, {"ab%u", "a", 0, Z},
        // A string takes its width and a NUL; empty at trailing whitespace it counts.
        {"%4s%4s", "abcdefghij", 2, "abcd" + nul + Z, "efgh" + nul + Z},
        {"rule%d=%127s", "rule7=" + std::string(200, 'w'), 2, le(7), w127 + nul + Z},
        {"ipv4_src=%5s", "ipv4_src=\t", 1, nul + Z}, {"ipv4_src=%5s", "ipv4_src=", 0, Z},
        {"%5s", nul + "ab", 0, Z}, {"%5s", "ab" + nul + "cd", 1, "ab" + nul + Z},
        // Unknown conversions are refused before any assignment; the widest width
        // and leading zeros are accepted.
        {"%s", t, -1, Z}, {"%d%s", t, -1, Z}, {"%0d", t, -1, Z}, {"%hhhu", t, -1, Z},
        {"%ld", t, -1, Z}, {"%%", t, -1, Z}, {"%", t, -1, Z}, {"x=%d %", "x=5", -1, Z},
        {"%32768s", t, -1, Z}, {"%99999999999d", t, -1, Z}, {"%32767s", "x", 1, "x" + nul},
        {"%0000002hhx", "e8", 1, "\xe8"},
        // clang-format on
    };
    for (const auto &c : cases) {
        Slots s;
        const auto raw = unterminated(c.text);
        SCOPED_TRACE(std::string(c.fmt) + " on " + c.text);
        EXPECT_EQ(kv::scan(raw.get(), c.text.size(), c.fmt, s.s[0], s.s[1]), c.count);
        EXPECT_EQ(std::string(s.s[0], c.first.size()) + "|" + std::string(s.s[1], c.second.size()),
                  c.first + "|" + c.second);
    }
    int v = 3; // a null text is empty; a null format is refused
    const char *none = nullptr;
    EXPECT_EQ((std::vector<int>{kv::scan(nullptr, 10, "%d", &v), kv::scan("5", 1, none, &v), v}),
              (std::vector<int>{0, -1, 3}));
}

} // namespace
