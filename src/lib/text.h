// Bounded text builder over a caller's buffer. Formatting goes through the
// platform's vsnprintf, so the kernel and the host format alike.
//
// Every piece is appended whole or not at all. The first piece that does not
// fit marks the text cut, and nothing is appended after that, so the text is
// always a prefix of what was asked for made of whole pieces (a short piece
// never shows up after a long one was dropped). The text stays
// NUL-terminated and no byte at or past buf + cap is ever written.
#pragma once

#include <stdarg.h>
#include <stddef.h>

namespace kv {

class Text {
public:
    // Continues the text of length `len` already in buf (len 0: a new text).
    // A len that leaves no room for the NUL gives a text that is already cut.
    Text(char *buf, size_t cap, size_t len = 0);

    Text(const Text &) = delete;
    Text &operator=(const Text &) = delete;

    // Appends one formatted piece; false when it was not appended.
    bool add(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    bool vadd(const char *fmt, va_list ap) __attribute__((format(printf, 2, 0)));

    // Keeps the last n bytes of the buffer out of reach of add(), for a
    // closing piece that must fit whatever came before (close_cut()).
    void hold_back(size_t n);

    // When the text was cut, appends `line` into the held-back room (it is
    // appended whole or not at all, like any piece). The text stays cut.
    void close_cut(const char *line);

    const char *str() const { return buf_; }
    size_t length() const { return len_; }
    size_t capacity() const { return cap_; }
    bool cut() const { return cut_; }

private:
    bool put(const char *fmt, va_list ap);

    char *buf_;
    size_t cap_;
    size_t limit_; // bytes add() may use, NUL included
    size_t len_;
    bool cut_;
};

} // namespace kv
