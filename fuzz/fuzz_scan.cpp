// libFuzzer target for the bounded scanner: every format the flow command
// language uses, on arbitrary text handed over without a NUL at the end of
// its own allocation (ASan reports a read past it); guard bytes behind each
// %Ns destination catch a write past N + 1.
//   build-fuzz/fuzz/fuzz_scan -max_len=256
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "lib/scan.h"

namespace {

template <size_t N> struct Word {
    char buf[N + 1] = ""; // a format that does not match leaves buf as it is
    char guard[8] = {'\xa5', '\xa5', '\xa5', '\xa5', '\xa5', '\xa5', '\xa5', '\xa5'};
    void check() const {
        if (memcmp(guard, "\xa5\xa5\xa5\xa5\xa5\xa5\xa5\xa5", 8) != 0 || strnlen(buf, N + 1) > N)
            abort();
    }
};

void check_count(int r, int most) {
    if (r < 0 || r > most)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    char *text = static_cast<char *>(malloc(size ? size : 1));
    if (!text)
        return 0;
    memcpy(text, data, size);
    int d = 0;
    unsigned u = 0;
    unsigned short h[8];
    unsigned char b[6];
    Word<127> w127;
    Word<63> w63;
    Word<45> w45;
    check_count(kv::scan(text, size, "flow_id=%d", &d), 1);
    check_count(kv::scan(text, size, "crc32=%x", &u), 1);
    check_count(kv::scan(text, size, "weight=%u", &u), 1);
    check_count(kv::scan(text, size, "eth_type=%hx", &h[0]), 1);
    check_count(kv::scan(text, size, "vid=%hu", &h[0]), 1);
    check_count(kv::scan(text, size, "tos=%hhu", &b[0]), 1);
    check_count(kv::scan(text, size, "eth_dmac=%02hhx:%02hhx:%02hhx:%02hhx:%02hhx:%02hhx", &b[0],
                         &b[1], &b[2], &b[3], &b[4], &b[5]),
                6);
    check_count(kv::scan(text, size, "%hhu.%hhu.%hhu.%hhu", &b[0], &b[1], &b[2], &b[3]), 4);
    check_count(kv::scan(text, size, "%hx:%hx:%hx:%hx:%hx:%hx:%hx:%hx", &h[0], &h[1], &h[2], &h[3],
                         &h[4], &h[5], &h[6], &h[7]),
                8);
    check_count(kv::scan(text, size, "rule%d=%127s", &d, w127.buf), 2);
    check_count(kv::scan(text, size, "qos_trusted=%63s", w63.buf), 1);
    check_count(kv::scan(text, size, "ipv4_src=%45s", w45.buf), 1);
    w127.check();
    w63.check();
    w45.check();
    free(text);
    return 0;
}
