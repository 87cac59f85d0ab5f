// Bounded scanner for operator text. It implements the few scanf conversions
// the flow command language uses, with the kernel's sscanf rules, so the
// module and the host build parse the same text the same way and the fuzzer
// exercises the code that ships.
//
// Conversions (nothing else is accepted in a format):
//   %d                 int, optional leading '-'
//   %u %hu %hhu        unsigned int / unsigned short / unsigned char, decimal
//   %x %hx %hhx        the same widths, hexadecimal, optional "0x"/"0X" prefix
//   %Ns                at most N non-space characters plus a NUL into a
//                      char[N + 1]; the width is mandatory
// A width (1..32767, leading zeros allowed: "%02hhx") limits the characters
// a conversion takes after the whitespace it skips. A whitespace character in
// the format matches any amount of whitespace in the text, none included;
// any other character must match itself.
//
// The text is `len` bytes at `text`, or up to its first NUL if that comes
// earlier; nothing at or past text + len is read, so it need not be
// NUL-terminated.
//
// Result: the number of conversions assigned. Scanning stops at the first
// mismatch or at the end of the text, leaving later arguments untouched; as
// in the kernel, the end of the text gives 0, never EOF. -1 means the format
// itself is not one this scanner knows (a programming error): the whole
// format is checked before anything is read, so then nothing is assigned.
//
// Where this differs from the host C library (all on purpose, as the kernel
// does it):
//   - numbers take no '+' sign, and %u/%x take no '-' sign;
//   - out-of-range numbers wrap: digits accumulate modulo 2^64 and the value
//     is then truncated to the argument's width (no saturation), so %u on
//     "4294967296" gives 0 and %hhx on "1ff" gives 0xff;
//   - a hexadecimal "0x" prefix is taken even without a digit after it
//     ("0xg" gives 0 and leaves "g");
//   - %s at trailing whitespace assigns an empty string and counts;
//   - whitespace is the kernel's: space, \t \n \v \f \r and the byte 0xa0.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

namespace kv {

[[nodiscard]] int scan(const char *text, size_t len, const char *fmt, ...)
    __attribute__((format(scanf, 3, 4)));
[[nodiscard]] int vscan(const char *text, size_t len, const char *fmt, va_list ap)
    __attribute__((format(scanf, 3, 0)));

// One number of operator text that a field must hold whole: unlike the
// conversions above it never wraps, so a value the field cannot represent
// is refused instead of stored truncated.
struct NumberForm {
    unsigned base; // 10, or 16 with an optional "0x"/"0X" that a digit must follow
    bool sign;     // a leading '-' is taken
    int64_t lo, hi;
};

enum class NumberRead { ok, none, out_of_range };

// Reads a number from the NUL-terminated text at *p as a conversion would:
// whitespace skipped first, then the sign and digits. *start is set to the
// number's first character and *p past its last digit, also when it is out
// of range (every digit is taken, however many), so the caller can quote it.
// `none` leaves *p and *value alone.
[[nodiscard]] NumberRead read_number(const char **p, const NumberForm &form, int64_t *value,
                                     const char **start);

} // namespace kv
