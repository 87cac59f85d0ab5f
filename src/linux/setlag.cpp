// "setlag": an operator configures one link-aggregation group; a read shows
// an example command.
#include "kova/kovaAPI.h"
#include "lib/scan.h"
#include "linux/debug_files.h"
#include "linux/user_text.h"

namespace {

constexpr char kSetlagExample[] =
    "Setlag example: echo \"lagnum=5 lagmode=0 lagportmask=0x6\" > /sys/kernel/debug/kova/setlag\n";

} // namespace

extern "C" {

int setlag_open(struct plat_inode *, struct plat_file *) { return 0; }

long setlag_read(struct plat_file *, char *buf, size_t count, int64_t *pos) {
    return kv::files::read_text(kSetlagExample, sizeof kSetlagExample - 1, buf, count, pos);
}

// The result of the configuration itself is not the write's: a rejected
// group is reported in the log only.
long setlag_write(struct plat_file *, const char *buf, size_t count, int64_t *) {
    long err = 0;
    char *text = kv::files::copy_user_text("setlag", buf, count, kv::files::kCommandMax, &err);
    if (!text)
        return err;
    int lagnum, lagmode;
    unsigned int mask;
    const int n = kv::scan(text, count, "lagnum=%d lagmode=%d lagportmask=%x", &lagnum, &lagmode, &mask);
    plat_vfree(text);
    if (n != 3) {
        plat_printk("setlag parameter error!\n");
        plat_printk("Use the following syntax:\n");
        plat_printk("  lagnum=<0...KOVA_MAX_LAGS> lagmode=<0-disabled|1-enabled> lagportmask=<hex mask, ... | "
                    "UCC4 | UCC3 | UCC2 | UCC1\n");
        return -3;
    }
    (void)kovaAPISetLAG(lagnum, uint32_t(lagmode), mask);
    return long(count);
}

} // extern "C"
