// Text handed between the debug files and user space.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "lib/errno.h"

namespace kv::files {

using err::kEFAULT;
using err::kEFBIG;
using err::kENOMEM;

// The most a single write to "delete_flows" or "setlag" may bring: their
// commands are a few dozen bytes.
constexpr size_t kCommandMax = 255;

// A read of `text` (len bytes) at *pos: at most count bytes from *pos on,
// 0 at or past the end, *pos advanced by what was returned. A copy that
// stops short returns kEFAULT and leaves *pos where it was.
[[nodiscard]] long read_text(const char *text, size_t len, char *user_buf, size_t count,
                             int64_t *pos);

// A text taken when its file was opened (a dump, the flow list), kept in
// the open file's private word until release; vmalloc'd, null when empty.
// dump_flows_cpu_read and dump_flows_cpu_release serve every such file.
struct OpenText {
    char *text;
    size_t len;
};

// The count bytes a user wrote to the file `name`, in a new vmalloc'd buffer
// with a NUL after them (free with plat_vfree). Null with *err set when count
// is over `limit` (kEFBIG, logged, nothing allocated), the buffer cannot be
// had (kENOMEM) or the copy stops short (kENOMEM, logged).
[[nodiscard]] char *copy_user_text(const char *name, const char *user_buf, size_t count,
                                   size_t limit, long *err);

} // namespace kv::files
