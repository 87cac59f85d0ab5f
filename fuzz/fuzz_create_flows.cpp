// libFuzzer target for "create_flows": up to three writes on one open (the
// first two 0x01 bytes end a write), then the file read to its end. A write
// holding more than 4095 bytes gives -27; one without a ';' before the held
// text's first NUL its count; else count, -2 or -3 (-3 for a value out of
// range), and the flow is created exactly when it gives its count. The read
// shows the last creation's result in the usage text from the file position;
// the close logs a discard exactly when more than separators were held. The
// table is emptied after each input, so a crash reproduces from it alone.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <initializer_list>

#include "kova/host.h"
#include "kova/kovaAPI.h"
#include "operator/debug_files.h"

namespace {

const char kPath[] = "/sys/kernel/debug/kova/create_flows";
const char kUsageHead[] = "Previous call of kovaAPIcreateVoipFlow=";
const char kUsageTail[] =
    "To create extended flow, just add parent_flow_id=id_num as first parameter\n";
const char kDiscarded[] = "create_flows: definition without ';' discarded at close\n";
constexpr size_t kTextMax = 4095, kReadMax = 8192;
constexpr long kEFBIG = -27, kNone = 0x7fffffffL + 1;

[[noreturn]] void fail(const char *what, long got = 0, long want = 0) {
    fprintf(stderr, "fuzz_create_flows: %s (got %ld, expected %ld)\n", what, got, want);
    abort();
}

const char *logged() {
    static char log[65536];
    if (const size_t len = kova_host_log_read(log, sizeof log); len >= sizeof log)
        fail("log of one call larger than expected", long(len), long(sizeof log));
    return log;
}

char held[kTextMax + 1]; // the file's text as the module must hold it
size_t held_len;

// One write checked; `*result` becomes what a creation it made logged.
void write_checked(int fd, const uint8_t *data, size_t n, long *result) {
    kova_host_log_clear();
    const long r = kova_host_write(fd, data, n);
    const char *log = logged();
    long created = kNone;
    for (const char *key : {"kovaAPIcreateVoipFlow =", "kovaAPIcreateExtendedFlow ="})
        if (const char *at = strstr(log, key); at && created == kNone)
            created = strtol(at + strlen(key), nullptr, 10);
    bool parses = false;
    if (n > kTextMax - held_len) {
        if (r != kEFBIG)
            fail("over-long write", r, kEFBIG);
    } else {
        memcpy(held + held_len, data, n);
        held_len += n;
        parses = memchr(held, ';', strnlen(held, held_len)) != nullptr;
        if (!parses && r != long(n))
            fail("write without a complete definition", r, long(n));
        if (parses && r != long(n) && r != -2 && r != -3)
            fail("write of a definition", r, long(n));
    }
    if (parses)
        held_len = 0;
    if ((created != kNone) != (parses && r == long(n)))
        fail("creation called, or not, against the write's result", r, created != kNone);
    if (strstr(log, " out of range ") && r != -3)
        fail("a value out of range did not fail the write with -3", r, -3);
    if (created != kNone)
        *result = created;
}

size_t read_to_end(int fd, size_t piece, char *text) {
    size_t len = 0;
    for (long r;
         (r = kova_host_read(fd, text + len, piece < kReadMax - len ? piece : kReadMax - len));
         len += size_t(r))
        if (r < 0 || size_t(r) > piece || len + size_t(r) >= kReadMax)
            fail("read, or usage text that does not end", r, long(len));
    return len;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (int r = kova_host_load())
        fail("module load", r, 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    kv::files::reset_result_codes();
    const long live = kova_host_alloc_live();
    const int fd = kova_host_open(kPath);
    if (fd < 0)
        fail("open", fd, 0);
    held_len = 0;
    long result = 99; // what the file shows before any creation
    bool created = false;
    const uint8_t *p = data, *end = data + size;
    for (int writes = 0; writes < 3; ++writes) {
        const auto *cut =
            writes == 2 ? nullptr : static_cast<const uint8_t *>(memchr(p, 1, size_t(end - p)));
        write_checked(fd, p, size_t((cut ? cut : end) - p), &result);
        created = created || result == long(KOVA_OK);
        if (!cut)
            break;
        p = cut + 1;
    }
    // This open reads from where the writes left it, in odd pieces that cut
    // the text at varying places; a second open reads it whole.
    static char rest[kReadMax], usage[kReadMax];
    const int64_t pos = kova_host_file_pos(fd);
    const size_t rest_len = read_to_end(fd, 1 + size % 997, rest);
    const int fd2 = kova_host_open(kPath);
    const size_t len = fd2 < 0 ? 0 : read_to_end(fd2, kReadMax, usage);
    if (fd2 < 0 || kova_host_close(fd2) != 0)
        fail("second open or its close", fd2, 0);
    const size_t head = sizeof kUsageHead - 1, tail = sizeof kUsageTail - 1;
    if (len < head + tail || memcmp(usage, kUsageHead, head) != 0 ||
        memcmp(usage + len - tail, kUsageTail, tail) != 0)
        fail("usage text without its first line or its end", long(len));
    if (pos < 0 || (size_t(pos) < len ? len - size_t(pos) : 0) != rest_len ||
        memcmp(rest, usage + len - rest_len, rest_len) != 0)
        fail("read after the writes is not the usage text from the file position", long(rest_len),
             long(pos));
    if (const long shown = strtol(usage + head, nullptr, 10); shown != result)
        fail("usage text shows another result than the last creation", shown, result);
    kova_host_log_clear();
    if (int r = kova_host_close(fd))
        fail("close", r, 0);
    bool separators = true;
    for (size_t i = 0; i < held_len; ++i)
        separators = separators && (held[i] == ' ' || held[i] == '\n');
    if ((strstr(logged(), kDiscarded) != nullptr) == separators)
        fail("close: discarded definition logged against the text held", !separators, 0);
    if (kova_host_alloc_live() != live)
        fail("allocations left by an open/close pair", kova_host_alloc_live(), live);
    if (created && kovaAPIReInitKovaFlowTable() != KOVA_OK)
        fail("emptying the flow table");
    return 0;
}
