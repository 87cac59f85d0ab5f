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

int plat_printk(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string line(n > 0 ? size_t(n) : 0, '\0');
    if (n > 0)
        std::vsnprintf(line.data(), line.size() + 1, fmt, ap);
    va_end(ap);
    // The kernel keeps a line's level apart from its text.
    if (line.size() >= 2 && line[0] == '\001')
        line.erase(0, 2);
    std::lock_guard<std::mutex> g(log_mutex);
    captured += line;
    if (echo)
        std::fputs(line.c_str(), stderr);
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
