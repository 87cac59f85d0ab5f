// "setlag": an operator configures one link-aggregation group; a read shows
// an example command.
#include "kova/kovaAPI.h"
#include "lib/scan.h"
#include "operator/debug_files.h"
#include "operator/user_text.h"

namespace {

constexpr char kSetlagExample[] =
    "Setlag example: echo \"lagnum=1 lagmode=0 lagportmask=0x6\" > /sys/kernel/debug/kova/setlag\n";

// A group number, a mode (0 disabled, 1 enabled) and a member mask in hex, a
// bit for each of UCCs 0..31: every value the table can hold, nothing cut.
constexpr kv::NumberForm kLagNum{10, true, 0, int64_t(KOVA_MAX_LAGS) - 1};
constexpr kv::NumberForm kLagMode{10, true, 0, 1};
constexpr kv::NumberForm kLagMask{16, false, 0, 0xffffffff};

// "<name>=<number>" at *p, after whitespace (the kernel's, also 0xa0, or
// none) unless it is the first name; *p moves past the number.
bool take(const char **p, bool first, const char *name, const kv::NumberForm &form, int64_t *v) {
    const char *s = *p;
    while (!first &&
           (*s == ' ' || (*s >= '\t' && *s <= '\r') || static_cast<unsigned char>(*s) == 0xa0))
        ++s;
    const size_t len = __builtin_strlen(name);
    if (__builtin_strncmp(s, name, len) != 0)
        return false;
    s += len;
    const char *start;
    if (kv::read_number(&s, form, v, &start) != kv::NumberRead::ok)
        return false;
    *p = s;
    return true;
}

} // namespace

extern "C" {

int setlag_open(struct plat_inode *, struct plat_file *) { return 0; }

long setlag_read(struct plat_file *, char *buf, size_t count, int64_t *pos) {
    return kv::files::read_text(kSetlagExample, sizeof kSetlagExample - 1, buf, count, pos);
}

// A group the configuration refuses fails the write as a value out of
// range does: the operator sees it in the write's result, not only in the log.
long setlag_write(struct plat_file *, const char *buf, size_t count, int64_t *) {
    long err = 0;
    char *text = kv::files::copy_user_text("setlag", buf, count, kv::files::kCommandMax, &err);
    if (!text)
        return err;
    const char *p = text;
    int64_t lagnum, lagmode, mask;
    const bool ok = take(&p, true, "lagnum=", kLagNum, &lagnum) &&
                    take(&p, false, "lagmode=", kLagMode, &lagmode) &&
                    take(&p, false, "lagportmask=", kLagMask, &mask);
    plat_vfree(text);
    if (!ok) {
        plat_printk("setlag parameter error!\n");
        plat_printk("Use the following syntax:\n");
        plat_printk("  lagnum=<0...KOVA_MAX_LAGS> lagmode=<0-disabled|1-enabled> lagportmask=<hex "
                    "mask, ... | "
                    "UCC4 | UCC3 | UCC2 | UCC1\n");
        return -3;
    }
    const uint32_t r = kovaAPISetLAG(int32_t(lagnum), uint32_t(lagmode), uint32_t(mask));
    plat_printk("kovaAPISetLAG=%d\n", int(r));
    return r == KOVA_OK ? long(count) : -3;
}

} // extern "C"
