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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    char *text = static_cast<char *>(malloc(size ? size : 1));
    if (!text)
        return 0;
    memcpy(text, data, size);
    int d = 0;
    unsigned u = 0;
    unsigned short h[8];
    unsigned char b[6];
    struct { // a format that does not match leaves its word as it is
        char w127[128], g1[8], w63[64], g2[8], w45[46], g3[8];
    } w;
    memset(&w, 0xa5, sizeof w);
    w.w127[0] = w.w63[0] = w.w45[0] = '\0';
    const int got[][2] = {
        {kv::scan(text, size, "flow_id=%d", &d), 1},
        {kv::scan(text, size, "crc32=%x", &u), 1},
        {kv::scan(text, size, "weight=%u", &u), 1},
        {kv::scan(text, size, "eth_type=%hx", &h[0]), 1},
        {kv::scan(text, size, "vid=%hu", &h[0]), 1},
        {kv::scan(text, size, "tos=%hhu", &b[0]), 1},
        {kv::scan(text, size, "eth_dmac=%02hhx:%02hhx:%02hhx:%02hhx:%02hhx:%02hhx", &b[0], &b[1],
                  &b[2], &b[3], &b[4], &b[5]),
         6},
        {kv::scan(text, size, "%hhu.%hhu.%hhu.%hhu", &b[0], &b[1], &b[2], &b[3]), 4},
        {kv::scan(text, size, "%hx:%hx:%hx:%hx:%hx:%hx:%hx:%hx", &h[0], &h[1], &h[2], &h[3], &h[4],
                  &h[5], &h[6], &h[7]),
         8},
        {kv::scan(text, size, "rule%d=%127s", &d, w.w127), 2},
        {kv::scan(text, size, "qos_trusted=%63s", w.w63), 1},
        {kv::scan(text, size, "ipv4_src=%45s", w.w45), 1},
    };
    for (const auto &[r, most] : got)
        if (r < 0 || r > most)
            abort();
    const char guard[8] = {'\xa5', '\xa5', '\xa5', '\xa5', '\xa5', '\xa5', '\xa5', '\xa5'};
    if (memcmp(w.g1, guard, 8) || memcmp(w.g2, guard, 8) || memcmp(w.g3, guard, 8) ||
        strnlen(w.w127, 128) > 127 || strnlen(w.w63, 64) > 63 || strnlen(w.w45, 46) > 45)
        abort();
    free(text);
    return 0;
}
