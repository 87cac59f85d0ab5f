#include "lib/scan.h"

#include <stdint.h>

namespace kv {
namespace {

constexpr int kMaxWidth = 32767; // the kernel keeps field widths in an s16

// The kernel's ctype, which also counts 0xa0 (Latin-1 no-break space).
bool is_space(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u == ' ' || (u >= '\t' && u <= '\r') || u == 0xa0;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Digit value in bases up to 16, or 16 when c is no digit at all.
unsigned digit_value(char c) {
    if (c >= '0' && c <= '9')
        return unsigned(c - '0');
    if (c >= 'a' && c <= 'f')
        return unsigned(c - 'a' + 10);
    if (c >= 'A' && c <= 'F')
        return unsigned(c - 'A' + 10);
    return 16;
}

enum class Size : uint8_t { Int, Short, Char };

struct Conv {
    char kind; // 'd', 'u', 'x' or 's'
    Size size;
    int width; // -1: none
};

// Reads one conversion after its '%'; false for anything outside the set
// this scanner implements.
bool parse_conv(const char *&f, Conv &cv) {
    cv.width = -1;
    if (is_digit(*f)) {
        int w = 0;
        while (is_digit(*f)) {
            w = w * 10 + (*f++ - '0');
            if (w > kMaxWidth)
                return false;
        }
        if (w == 0)
            return false;
        cv.width = w;
    }
    cv.size = Size::Int;
    if (*f == 'h') {
        ++f;
        cv.size = Size::Short;
        if (*f == 'h') {
            ++f;
            cv.size = Size::Char;
        }
    }
    cv.kind = *f;
    if (cv.kind == '\0')
        return false;
    ++f;
    switch (cv.kind) {
    case 'd':
        return cv.size == Size::Int;
    case 'u':
    case 'x':
        return true;
    case 's':
        return cv.size == Size::Int && cv.width > 0;
    default:
        return false;
    }
}

bool format_ok(const char *f) {
    while (*f) {
        if (*f++ != '%')
            continue;
        Conv cv;
        if (!parse_conv(f, cv))
            return false;
    }
    return true;
}

// The unread rest of the text.
struct Cursor {
    const char *p;
    const char *end;

    bool done() const { return p == end; }
    size_t left() const { return size_t(end - p); }
    void skip_spaces() {
        while (p != end && is_space(*p))
            ++p;
    }
};

// Unsigned digits in `base`, at most `max` characters, as the kernel's
// simple_strntoull: a "0x" prefix counts against `max` (and is taken even
// with no digit after it); the value wraps modulo 2^64.
uint64_t take_unsigned(Cursor &c, size_t max, unsigned base) {
    if (max > c.left())
        max = c.left();
    size_t prefix = 0;
    if (base == 16 && c.left() >= 2 && c.p[0] == '0' && (c.p[1] == 'x' || c.p[1] == 'X'))
        prefix = 2;
    if (prefix >= max) {
        // Room for the prefix at most: it is consumed, no digit converted.
        c.p += max;
        return 0;
    }
    c.p += prefix;
    max -= prefix;
    uint64_t v = 0;
    for (; max > 0; --max, ++c.p) {
        const unsigned d = digit_value(*c.p);
        if (d >= base)
            break;
        v = v * base + d;
    }
    return v;
}

} // namespace

int vscan(const char *text, size_t len, const char *fmt, va_list ap) {
    if (fmt == nullptr || !format_ok(fmt))
        return -1;
    if (text == nullptr)
        len = 0;
    // The text ends at its first NUL, as a C string would for sscanf.
    size_t n = 0;
    while (n < len && text[n] != '\0')
        ++n;
    Cursor c{text, text + n};

    int assigned = 0;
    const char *f = fmt;
    while (*f) {
        if (is_space(*f)) {
            while (is_space(*f))
                ++f;
            c.skip_spaces();
            continue;
        }
        if (*f != '%') {
            if (c.done() || *c.p != *f)
                break;
            ++c.p;
            ++f;
            continue;
        }
        ++f;
        Conv cv;
        (void)parse_conv(f, cv); // checked by format_ok()
        if (c.done())
            break;

        c.skip_spaces();
        const size_t width = cv.width > 0 ? size_t(cv.width) : c.left();

        if (cv.kind == 's') {
            char *out = va_arg(ap, char *);
            size_t room = width;
            while (!c.done() && !is_space(*c.p) && room > 0) {
                *out++ = *c.p++;
                --room;
            }
            *out = '\0';
            ++assigned;
            continue;
        }

        const unsigned base = cv.kind == 'x' ? 16 : 10;
        const bool negative = cv.kind == 'd' && !c.done() && *c.p == '-';
        if (negative && width == 1)
            break;
        const size_t first = negative ? 1 : 0;
        if (c.left() <= first || digit_value(c.p[first]) >= base)
            break;

        c.p += first;
        uint64_t v = take_unsigned(c, width - first, base);
        if (negative)
            v = 0 - v;

        // Truncation to the argument's width, as the kernel stores it.
        if (cv.kind == 'd')
            *va_arg(ap, int *) = int(uint32_t(v));
        else if (cv.size == Size::Int)
            *va_arg(ap, unsigned *) = uint32_t(v);
        else if (cv.size == Size::Short)
            *va_arg(ap, unsigned short *) = uint16_t(v);
        else
            *va_arg(ap, unsigned char *) = uint8_t(v);
        ++assigned;
    }
    return assigned;
}

NumberRead read_number(const char **p, const NumberForm &form, int64_t *value, const char **start) {
    const char *s = *p;
    while (*s && is_space(*s))
        ++s;
    const char *const first = s;
    const bool negative = form.sign && *s == '-';
    if (negative)
        ++s;
    if (form.base == 16 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        s += 2;
    if (digit_value(*s) >= form.base)
        return NumberRead::none;
    // Digits past 64 bits only mark the number too large: it is never
    // wrapped into range.
    uint64_t v = 0;
    bool huge = false;
    for (unsigned d; (d = digit_value(*s)) < form.base; ++s) {
        if (v > (UINT64_MAX - d) / form.base)
            huge = true;
        else
            v = v * form.base + d;
    }
    *start = first;
    *p = s;
    // lo and hi are int64 bounds, so the magnitudes fit in uint64.
    const uint64_t limit = negative ? 0 - uint64_t(form.lo) : uint64_t(form.hi);
    if (huge || (negative ? form.lo > 0 : form.hi < 0) || v > limit)
        return NumberRead::out_of_range;
    *value = negative ? int64_t(0 - v) : int64_t(v);
    return (*value < form.lo || *value > form.hi) ? NumberRead::out_of_range : NumberRead::ok;
}

int scan(const char *text, size_t len, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int r = vscan(text, len, fmt, ap);
    va_end(ap);
    return r;
}

} // namespace kv
