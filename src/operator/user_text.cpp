#include "operator/user_text.h"

#include "platform.h"

namespace kv::files {

long read_text(const char *text, size_t len, char *user_buf, size_t count, int64_t *pos) {
    if (*pos < 0 || uint64_t(*pos) >= len)
        return 0;
    const size_t at = size_t(*pos);
    const size_t n = count < len - at ? count : len - at;
    if (n == 0)
        return 0;
    if (plat_copy_to_user(user_buf, text + at, n) != 0)
        return kEFAULT;
    *pos += int64_t(n);
    return long(n);
}

char *copy_user_text(const char *name, const char *user_buf, size_t count, size_t limit,
                     long *err) {
    // The writer chooses count: without a bound it could have the module
    // allocate gigabytes for a command of a few words.
    if (count > limit) {
        plat_printk("%s: write of more than %zu bytes refused\n", name, limit);
        *err = kEFBIG;
        return nullptr;
    }
    char *text = static_cast<char *>(plat_vmalloc(count + 1));
    if (!text) {
        *err = kENOMEM;
        return nullptr;
    }
    if (const unsigned long left = plat_copy_from_user(text, user_buf, count)) {
        plat_printk("kovaAPI: copy_from_user failed return %ld\n", long(left));
        plat_vfree(text);
        *err = kENOMEM;
        return nullptr;
    }
    text[count] = '\0';
    return text;
}

} // namespace kv::files
