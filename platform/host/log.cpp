// The kernel log, captured in memory for tests and optionally echoed.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "kova/host.h"
#include "platform.h"

namespace {

std::mutex log_mutex;
std::string captured;
bool echo = false;

} // namespace

extern "C" {

int plat_vsnprintf(char *buf, size_t size, const char *fmt, va_list ap) {
    return std::vsnprintf(buf, size, fmt, ap);
}

uint64_t plat_shown_address(const void *p) { return uint64_t(uintptr_t(p)); }

int plat_printk(const char *fmt, ...) {
    // Most lines fit a small buffer: one formatting pass, no allocation.
    char small[256];
    va_list ap;
    va_start(ap, fmt);
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    std::string large;
    const char *text = small;
    if (n >= int(sizeof small)) {
        large.resize(size_t(n));
        std::vsnprintf(large.data(), large.size() + 1, fmt, copy);
        text = large.data();
    }
    va_end(copy);
    size_t len = n > 0 ? size_t(n) : 0;
    // The kernel keeps a line's level apart from its text.
    if (len >= 2 && text[0] == '\001') {
        text += 2;
        len -= 2;
    }
    std::lock_guard<std::mutex> g(log_mutex);
    captured.append(text, len);
    if (echo)
        std::fwrite(text, 1, len, stderr);
    return n;
}

size_t kova_host_log_read(char *buf, size_t n) {
    std::lock_guard<std::mutex> g(log_mutex);
    if (buf && n) {
        size_t k = captured.size() < n - 1 ? captured.size() : n - 1;
        std::memcpy(buf, captured.data(), k);
        buf[k] = '\0';
    }
    return captured.size();
}

void kova_host_log_clear(void) {
    std::lock_guard<std::mutex> g(log_mutex);
    captured.clear();
}

void kova_host_log_echo(int on) { echo = on != 0; }

} // extern "C"
