// libFuzzer target for "create_flows": arbitrary text written to the debugfs
// file through the harness VFS, then the file read back.
//
// An input is the text of up to three writes on one open: the first two 0x01
// bytes end a write and are dropped (a later 0x01 is text). The file's result
// for each write is checked against what its rules allow, computed from the
// text alone:
//   - more than 4095 bytes held -> -27, and the held text stays;
//   - no ';' before the first NUL of the held text -> the write's count;
//   - otherwise the definition is parsed: count, -2 or -3, and the file starts
//     a new definition. The flow is created (the log says so) exactly when
//     the write returns its count, and a read shows the creation's result.
//     A value refused as out of range fails the write with -3.
// Closing the file logs that it discarded a definition exactly when the
// held text has more than separators (space, line feed) in it.
// After the writes the file is read to its end: the usage text from the
// file's position on, the same text a second open reads whole. The opens
// must leave the module's allocations as they were.
//
// Flows the inputs create stay in the table; the table is emptied after every
// input that created one, so each input starts from an empty table and a
// crash reproduces from its input alone.
//
// Built twice by fuzz/CMakeLists.txt: with libFuzzer (KOVA_FUZZ=ON, clang)
// and, with any compiler, as a replay program over fuzz/corpus/create_flows
// (fuzz/replay_main.cpp) that ctest runs.
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
constexpr size_t kTextMax = 4095;
constexpr long kEFBIG = -27;
constexpr int kMaxWrites = 3;
constexpr size_t kReadMax = 8192;

[[noreturn]] void fail(const char *what, long got = 0, long want = 0) {
    fprintf(stderr, "fuzz_create_flows: %s (got %ld, expected %ld)\n", what, got, want);
    abort();
}

// The file's held text as the harness sees it: what the module must have.
struct Held {
    char text[kTextMax + 1];
    size_t len = 0;
};

const char kDiscarded[] = "create_flows: definition without ';' discarded at close\n";

// The log since it was last cleared. One write logs at most one
// definition's keys and messages, far less than the buffer.
const char *logged() {
    static char log[65536];
    if (const size_t len = kova_host_log_read(log, sizeof log); len >= sizeof log)
        fail("log of one call larger than expected", long(len), long(sizeof log));
    return log;
}

// The result a creation logged during the last write ("kovaAPIcreate...Flow
// =N"), or `none` when the write created nothing.
long logged_creation(const char *log, long none) {
    for (const char *key : {"kovaAPIcreateVoipFlow =", "kovaAPIcreateExtendedFlow ="})
        if (const char *at = strstr(log, key))
            return strtol(at + strlen(key), nullptr, 10);
    return none;
}

bool only_separators(const Held &held) {
    for (size_t i = 0; i < held.len; ++i)
        if (held.text[i] != ' ' && held.text[i] != '\n')
            return false;
    return true;
}

// One write of `n` bytes; checks the result against the rules above and
// updates `held`. A write that parsed a definition must have called the
// creation exactly when it returned its count; `*result` is then what the
// creation logged.
void write_checked(int fd, const uint8_t *data, size_t n, Held &held, long *result) {
    constexpr long kNone = 0x7fffffffL + 1;
    kova_host_log_clear();
    const long r = kova_host_write(fd, data, n);
    const char *log = logged();
    const long created = logged_creation(log, kNone);
    bool parses = false;
    if (n > kTextMax - held.len) {
        if (r != kEFBIG)
            fail("over-long write", r, kEFBIG);
    } else {
        memcpy(held.text + held.len, data, n);
        held.len += n;
        parses = memchr(held.text, ';', strnlen(held.text, held.len)) != nullptr;
        if (!parses && r != long(n))
            fail("write without a complete definition", r, long(n));
        if (parses && r != long(n) && r != -2 && r != -3)
            fail("write of a definition", r, long(n));
    }
    if (parses)
        held.len = 0;
    if ((created != kNone) != (parses && r == long(n)))
        fail("creation called, or not, against the write's result", r, created != kNone);
    if (strstr(log, " out of range ") && r != -3)
        fail("a value out of range did not fail the write with -3", r, -3);
    if (created != kNone)
        *result = created;
}

// Reads the file from where its position is to its end, in pieces of
// `piece` bytes, into `text` (kReadMax bytes); returns the length.
size_t read_to_end(int fd, size_t piece, char *text) {
    size_t len = 0;
    for (;;) {
        if (len == kReadMax)
            fail("usage text does not end", long(len), long(kReadMax));
        const size_t n = piece < kReadMax - len ? piece : kReadMax - len;
        const long r = kova_host_read(fd, text + len, n);
        if (r < 0 || size_t(r) > n)
            fail("read", r, long(n));
        if (r == 0)
            return len;
        len += size_t(r);
    }
}

// The usage text as a fresh open reads it, whole and checked.
size_t read_usage(char *text) {
    const int fd = kova_host_open(kPath);
    if (fd < 0)
        fail("second open", fd, 0);
    const size_t len = read_to_end(fd, kReadMax, text);
    if (int r = kova_host_close(fd))
        fail("close of the second open", r, 0);
    const size_t head = sizeof kUsageHead - 1, tail = sizeof kUsageTail - 1;
    if (len < head + tail || memcmp(text, kUsageHead, head) != 0)
        fail("usage text does not start with the result line", long(len));
    if (memcmp(text + len - tail, kUsageTail, tail) != 0)
        fail("usage text is cut short", long(len));
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

    // Cut the input into writes at the first two 0x01 bytes.
    const uint8_t *piece[kMaxWrites];
    size_t piece_len[kMaxWrites];
    int writes = 0;
    const uint8_t *p = data, *end = data + size;
    while (writes < kMaxWrites - 1 && p != end) {
        const auto *cut = static_cast<const uint8_t *>(memchr(p, 0x01, size_t(end - p)));
        if (!cut)
            break;
        piece[writes] = p;
        piece_len[writes++] = size_t(cut - p);
        p = cut + 1;
    }
    piece[writes] = p;
    piece_len[writes++] = size_t(end - p);

    const long live = kova_host_alloc_live();
    const int fd = kova_host_open(kPath);
    if (fd < 0)
        fail("open", fd, 0);
    static Held held;
    held.len = 0;
    long result = 99; // what the file shows before any creation
    bool created = false;
    for (int i = 0; i < writes; ++i) {
        write_checked(fd, piece[i], piece_len[i], held, &result);
        created = created || result == long(KOVA_OK);
    }
    // The writes moved the position: this open reads the usage text from
    // there, in odd pieces that cut it at varying places; a second open
    // reads it whole.
    static char rest[kReadMax], usage[kReadMax];
    const int64_t pos = kova_host_file_pos(fd);
    const size_t rest_len = read_to_end(fd, 1 + size % 997, rest);
    const size_t usage_len = read_usage(usage);
    if (pos < 0 || (size_t(pos) < usage_len ? usage_len - size_t(pos) : 0) != rest_len ||
        memcmp(rest, usage + usage_len - rest_len, rest_len) != 0)
        fail("read after the writes is not the usage text from the file position", long(rest_len),
             long(pos));
    const long shown = strtol(usage + sizeof kUsageHead - 1, nullptr, 10);
    if (shown != result)
        fail("usage text shows another result than the last creation", shown, result);
    kova_host_log_clear();
    if (int r = kova_host_close(fd))
        fail("close", r, 0);
    if ((strstr(logged(), kDiscarded) != nullptr) == only_separators(held))
        fail("close: discarded definition logged against the text held", !only_separators(held), 0);
    if (kova_host_alloc_live() != live)
        fail("allocations left by an open/close pair", kova_host_alloc_live(), live);

    if (created && kovaAPIReInitKovaFlowTable() != KOVA_OK)
        fail("emptying the flow table");
    return 0;
}
