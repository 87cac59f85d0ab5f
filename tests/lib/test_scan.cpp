// The bounded scanner of operator text. Where the kernel's sscanf and the C
// library agree, the C library on the host is the oracle; the kernel's own
// rules where they differ are pinned by explicit cases.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <utility>

#include "lib/scan.h"

namespace {

// A %Ns destination with a guard byte behind the N + 1 bytes it may use.
template <size_t N>
struct Str {
    char buf[N + 2];
};

template <typename T>
void *arg_of(T &v) { return &v; }
template <size_t N>
void *arg_of(Str<N> &s) { return s.buf; }

// The text in a heap block of exactly its length, without a NUL, so that a
// read past the end trips the address sanitizer.
std::unique_ptr<char[]> unterminated(const std::string &text) {
    std::unique_ptr<char[]> p(new char[text.size() ? text.size() : 1]);
    std::memcpy(p.get(), text.data(), text.size());
    return p;
}

// Scans `text` with `fmt` both here and with the C library, every argument
// starting from the same filler, and expects the same count and the same
// bytes in every argument (so also the same untouched ones).
template <typename... Ts>
void same_as_libc(const char *fmt, const std::string &text) {
    SCOPED_TRACE(testing::Message() << "format \"" << fmt << "\" text \"" << text << "\"");
    std::tuple<Ts...> ours, libc;
    std::apply([](auto &...a) { (std::memset(&a, 0x5a, sizeof a), ...); }, ours);
    std::apply([](auto &...a) { (std::memset(&a, 0x5a, sizeof a), ...); }, libc);

    const auto raw = unterminated(text);
    const int got = std::apply(
        [&](auto &...a) { return kv::scan(raw.get(), text.size(), fmt, arg_of(a)...); }, ours);
    const int want = std::apply(
        [&](auto &...a) { return std::sscanf(text.c_str(), fmt, arg_of(a)...); }, libc);

    ASSERT_GE(want, 0) << "the C library reports end of input: not a case for the oracle";
    EXPECT_EQ(got, want);
    size_t i = 0;
    auto same = [&](auto &x, auto &y) {
        EXPECT_EQ(0, std::memcmp(&x, &y, sizeof x)) << "argument " << i;
        ++i;
    };
    [&]<size_t... I>(std::index_sequence<I...>) {
        (same(std::get<I>(ours), std::get<I>(libc)), ...);
    }(std::index_sequence_for<Ts...>{});
}

// ---------------------------------------------------------------- oracle

TEST(ScanOracle, NumbersStringsAndLiterals) {
    for (const char *t : {"0", "42", "-42", "007", "  7", "\t\n\v\f\r7", "2147483647", "-2147483648",
                          "2147483648", "3000000000", "99999999999", "-99999999999",
                          "18446744073709551615", "12abc", "abc", "-", "--1", "- 1", "-x", "1-2"}) {
        same_as_libc<int, Str<8>>("%d%8s", t); // also where the number stopped
        same_as_libc<int, int>("%3d%d", t);
        same_as_libc<int, Str<8>>("%1d%8s", t);
    }
    for (const char *t : {"0", "1", "255", "256", "65535", "65536", "4294967295", "4294967296",
                          "99999999999", "18446744073709551615", " 12 34", "12x", "x12", "a"}) {
        same_as_libc<unsigned short>("%hu", t);
        same_as_libc<unsigned char>("%hhu", t);
        same_as_libc<unsigned, Str<8>>("%u%8s", t);
        same_as_libc<unsigned char, unsigned char>("%2hhu%hhu", t);
    }
    for (const char *t : {"0", "f", "F", "ff", "1ff", "0x800", "0X800", "800", "0x930481c1", "930481C1",
                          "fffffffff", "0x1ffff", "dEaD", "0x0x1", "12g", "g12", " \t0xa", "00ff"}) {
        same_as_libc<unsigned short>("%hx", t);
        same_as_libc<unsigned char>("%hhx", t);
        same_as_libc<unsigned, Str<8>>("%x%8s", t);
        same_as_libc<unsigned char, unsigned char>("%02hhx%02hhx", t);
        same_as_libc<unsigned, Str<8>>("%3x%8s", t);
    }
    for (const char *t : {"a", "abc", "abcde", "abcdefgh", "  ab cd", "ab\tcd", "x\ny", "RULE_DROP_PACKET"}) {
        same_as_libc<Str<1>, Str<5>>("%1s%5s", t);
        same_as_libc<Str<3>, Str<3>, Str<3>>("%3s%3s%3s", t);
    }
    for (const char *t : {"a=1", "a = 1", "a=  1", "a  =1", "b=1", "a:1", "A=1", "a=1,2", "a=1 ,2",
                          "a=1,  2", "a=1;2"}) {
        same_as_libc<int>("a = %d", t);
        same_as_libc<int, int>("a=%d,%d", t);
        same_as_libc<int, int>("a=%d , %d", t);
    }
}

// The token shapes of the flow command language.
TEST(ScanOracle, CommandLanguageTokens) {
    for (const char *t : {"eth_dmac=02:00:00:4f:03:e8", "eth_dmac=AA:dd:cc:dd:ee:ff", "eth_dmac=2:0:0:4f:3:e8",
                          "eth_dmac=02:00:00:4f:03", "eth_dmac=020:00:00:4f:03:e8", "eth_dmac=02-00-00-4f-03-e8",
                          "eth_dmac=0x:00:00:4f:03:e8", "eth_dmac=02:00:00:4f:03:e8:77", "eth_smac=02:00:00:4f:03:e8"})
        same_as_libc<uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, uint8_t>(
            "eth_dmac=%02hhx:%02hhx:%02hhx:%02hhx:%02hhx:%02hhx", t);
    for (const char *t : {"192.168.32.102", "10.0.0", "300.1.2.3", "1.2.3.4.5", "1..2.3", "fe80::1", "1.2.3.x"})
        same_as_libc<uint8_t, uint8_t, uint8_t, uint8_t>("%hhu.%hhu.%hhu.%hhu", t);
    for (const char *t : {"fe80:0:0:0:0:0:0:1", "FE80:0:0:0:0:0:0:1", "fe80::1", "1:2:3:4:5:6:7",
                          "12345:1:2:3:4:5:6:7", "1:2:3:4:5:6:7:8:9", "192.168.1.1"})
        same_as_libc<uint16_t, uint16_t, uint16_t, uint16_t, uint16_t, uint16_t, uint16_t, uint16_t>(
            "%hx:%hx:%hx:%hx:%hx:%hx:%hx:%hx", t);
    for (const char *t : {"rule1=RULE_DROP_PACKET", "rule12=RULE_SET_TOS;", "rule=RULE_TEST", "rules1=X",
                          "rule1=", "rule-3=RULE_FOO", ";"})
        same_as_libc<int, Str<127>>("rule%d=%127s", t);
    for (const char *t : {"flow_id=5", "flow_id=-1", "flow_id=5abc", "flow_id =5", "flow_idx=5", "parent_flow_id=5"})
        same_as_libc<int>("flow_id=%d", t);
}

// ---------------------------------------------------- kernel's own rules

// One conversion of a number; the value is checked when it counted.
TEST(ScanKernel, NumbersDifferFromLibc) {
    const struct {
        const char *fmt, *text;
        int count;
        uint32_t value;
    } cases[] = {
        {"%u", "+5", 0, 0},                     // libc takes a '+'
        {"%x", "+5", 0, 0},
        {"%d", "+5", 0, 0},
        {"%u", "-1", 0, 0},                     // libc gives 4294967295
        {"%x", "-1", 0, 0},
        {"%u", "18446744073709551616", 1, 0},   // wraps modulo 2^64; libc saturates
        {"%u", "18446744073709551621", 1, 5},
        {"%d", "18446744073709551617", 1, 1},
        {"%d", "-18446744073709551617", 1, uint32_t(-1)},
        {"%x", "10000000000000005", 1, 5},      // 17 hex digits
        {"%x", "0x", 1, 0},                     // the prefix alone is a zero
        {"%x", "0xg", 1, 0},
        {"%1x", "0x5", 1, 0},                   // width shorter than the prefix
        {"%2x", "0x5", 1, 0},
        {"%3x", "0x5", 1, 5},
        {"%u", "\xa0" "7", 1, 7},               // 0xa0 is whitespace to the kernel
        {"%x", "\xa0\xa0" "f", 1, 0xf},
        {"%d", "\xa0-3", 1, uint32_t(-3)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.fmt << " on \"" << c.text << "\"");
        uint32_t v = 0xdeadbeef;
        EXPECT_EQ(kv::scan(c.text, std::strlen(c.text), c.fmt, &v), c.count);
        EXPECT_EQ(v, c.count == 1 ? c.value : 0xdeadbeefu);
    }
    // A prefix cut short leaves the rest for the next conversion.
    unsigned v = 1;
    char rest[8] = "unset";
    EXPECT_EQ(kv::scan("0xg", 3, "%x%7s", &v, rest), 2);
    EXPECT_STREQ(rest, "g");
    EXPECT_EQ(kv::scan("0x5", 3, "%2x%7s", &v, rest), 2);
    EXPECT_EQ(v, 0u);
    EXPECT_STREQ(rest, "5");
}

TEST(ScanKernel, EndOfTextIsZeroNotEof) {
    using P = std::pair<const char *, const char *>;
    for (auto [text, fmt] : {P{"", "%d"}, P{"", "%5s"}, P{"   ", "%d"}, P{"abc", "abc%d"}, P{"abc", "abc %u"},
                             P{"", "x%d"}}) {
        SCOPED_TRACE(testing::Message() << fmt << " on \"" << text << "\"");
        int v = 77;
        EXPECT_EQ(kv::scan(text, std::strlen(text), fmt, &v), 0);
        EXPECT_EQ(v, 77);
        EXPECT_EQ(std::sscanf(text, fmt, &v), EOF) << "the difference this case pins";
    }
    int v = 3; // a null text is empty
    EXPECT_EQ(kv::scan(nullptr, 10, "%d", &v), 0);
    EXPECT_EQ(v, 3);
    // A string at trailing whitespace is empty and counts; at nothing, not.
    char s[6];
    std::memset(s, 'q', sizeof s);
    EXPECT_EQ(kv::scan("ipv4_src=\t", 10, "ipv4_src=%5s", s), 1);
    EXPECT_STREQ(s, "");
    std::memset(s, 'q', sizeof s);
    EXPECT_EQ(kv::scan("ipv4_src=", 9, "ipv4_src=%5s", s), 0);
    EXPECT_EQ(s[0], 'q');
}

// --------------------------------------------------------------- bounds

TEST(ScanBounds, LengthOrNulEndsTheText) {
    const struct {
        const char *text; // NUL-terminated, but only len bytes are the text
        size_t len;
        int count, first;
    } cases[] = {{"123456", 3, 1, 123}, {"-5", 1, 0, -1}, {"12 34", 2, 1, 12}, {"12\0" "34", 5, 1, 12}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.text << " len " << c.len);
        int a = -1, b = -1;
        EXPECT_EQ(kv::scan(c.text, c.len, "%d %d", &a, &b), c.count);
        EXPECT_EQ(a, c.first);
        EXPECT_EQ(b, -1);
    }
    char s[6];
    std::memset(s, 'q', sizeof s);
    EXPECT_EQ(kv::scan("\0ab", 3, "%5s", s), 0);
    EXPECT_EQ(s[0], 'q');
    EXPECT_EQ(kv::scan("ab\0cd", 5, "%5s", s), 1);
    EXPECT_EQ(0, std::memcmp(s, "ab\0qqq", 6));
}

TEST(ScanBounds, UnterminatedTextIsNeverReadPastItsLength) {
    // Each text sits at the very end of its heap block (checked under ASan).
    const struct {
        const char *text, *fmt; // two unsigned conversions at most
        int count;
    } cases[] = {
        {"0", "%x%u", 1}, // the prefix check must not look past the end
        {"0x", "%x%u", 1}, {"f", "%2x%u", 1}, {"12", "%u.%u", 1}, {"12.", "%u.%u", 1},
        {"a", "a %u", 0},  {"a", "ab%u", 0},  {"7 ", "%u %u", 1}, {"-", "%d", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.fmt << " on \"" << c.text << "\"");
        const std::string t = c.text;
        const auto raw = unterminated(t);
        unsigned u1 = 0, u2 = 0;
        EXPECT_EQ(kv::scan(raw.get(), t.size(), c.fmt, &u1, &u2), c.count);
    }
    const auto ab = unterminated("ab");
    char s1[6], s2[6] = "none";
    EXPECT_EQ(kv::scan(ab.get(), 2, "%5s%5s", s1, s2), 1);
    EXPECT_STREQ(s1, "ab");
    EXPECT_STREQ(s2, "none");
}

TEST(ScanBounds, StringWidthLimitsWhatIsWritten) {
    Str<4> a, b;
    std::memset(&a, 'G', sizeof a);
    std::memset(&b, 'G', sizeof b);
    EXPECT_EQ(kv::scan("abcdefghij", 10, "%4s%4s", a.buf, b.buf), 2);
    EXPECT_STREQ(a.buf, "abcd");
    EXPECT_STREQ(b.buf, "efgh");
    EXPECT_EQ(a.buf[5], 'G'); // guard byte behind the N + 1 bytes
    EXPECT_EQ(b.buf[5], 'G');
    // The command language's widest word.
    std::string word(200, 'w');
    Str<127> w;
    std::memset(&w, 'G', sizeof w);
    int n = -1;
    EXPECT_EQ(kv::scan(("rule7=" + word).c_str(), 6 + word.size(), "rule%d=%127s", &n, w.buf), 2);
    EXPECT_EQ(std::strlen(w.buf), 127u);
    EXPECT_EQ(w.buf[128], 'G');
}

// ------------------------------------------------------------- formats

TEST(ScanFormat, UnknownConversionsAreRefusedBeforeAnyAssignment) {
    for (const char *fmt : {"%s", "%d%s", "%0d", "%0s", "%hd", "%hhd", "%hhhu", "%ld", "%lu", "%llx", "%i",
                            "%o", "%c", "%n", "%p", "%%", "%", "%5", "%h", "x=%d %", "%32768s", "%99999999999d",
                            "%*d", "%[a]", static_cast<const char *>(nullptr)}) {
        SCOPED_TRACE(fmt ? fmt : "null");
        int v = 99;
        EXPECT_EQ(kv::scan("5 5 5", 5, fmt, &v, &v), -1);
        EXPECT_EQ(v, 99);
    }
    // The widest width, and leading zeros, are accepted.
    char s[32768];
    EXPECT_EQ(kv::scan("x", 1, "%32767s", s), 1);
    EXPECT_STREQ(s, "x");
    unsigned char b = 0;
    EXPECT_EQ(kv::scan("e8", 2, "%0000002hhx", &b), 1);
    EXPECT_EQ(b, 0xe8);
}

} // namespace
