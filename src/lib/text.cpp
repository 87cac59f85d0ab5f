#include "lib/text.h"

#include "platform.h"

namespace kv {

Text::Text(char *buf, size_t cap, size_t len)
    : buf_(buf), cap_(cap), limit_(cap), len_(len), cut_(false) {
    if (len_ < cap_)
        buf_[len_] = '\0';
    else
        cut_ = true;
}

void Text::hold_back(size_t n) { limit_ = n < cap_ ? cap_ - n : 0; }

bool Text::put(const char *fmt, va_list ap) {
    if (cut_ || len_ >= limit_) {
        cut_ = true;
        return false;
    }
    const size_t room = limit_ - len_;
    const int n = plat_vsnprintf(buf_ + len_, room, fmt, ap);
    if (n < 0 || size_t(n) >= room) {
        // vsnprintf left a truncated piece behind the old end: drop it.
        buf_[len_] = '\0';
        cut_ = true;
        return false;
    }
    len_ += size_t(n);
    return true;
}

bool Text::vadd(const char *fmt, va_list ap) { return put(fmt, ap); }

bool Text::add(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const bool ok = put(fmt, ap);
    va_end(ap);
    return ok;
}

// Not a printf wrapper on purpose: the line is text, never a format.
void Text::close_cut(const char *line) {
    if (!cut_ || len_ >= cap_)
        return;
    const size_t n = __builtin_strlen(line);
    if (len_ + n < cap_) {
        __builtin_memcpy(buf_ + len_, line, n + 1);
        len_ += n;
    }
}

} // namespace kv
