// The dump files: the text is taken once, at open, into a buffer of the open
// file's own, so two dumps open at once each read their own text; reading
// never recomputes it. The 2 MiB need only be virtually contiguous: 512
// contiguous pages are often not to be had on a board that has run a while.
#include "kova/kovaAPI.h"
#include "operator/debug_files.h"
#include "operator/user_text.h"

namespace {

constexpr size_t kDumpCap = 2u << 20;

using kv::files::OpenText;

using Fill = void (*)(kova_DUMP_BUF *out);

void fill_cpu(kova_DUMP_BUF *out) { kovaAPIDumpFlowsCPU2(1, out); }
void fill_qe(kova_DUMP_BUF *out) { kovaAPIDumpFlowsQE2(1, out); }
void fill_oq(kova_DUMP_BUF *out) { kovaAPIDumpOQ(out); }
void fill_scheduler(kova_DUMP_BUF *out) { kovaAPIDumpScheduler(out); }

int open_dump(struct plat_file *file, Fill fill, const char *no_memory) {
    auto *d = static_cast<OpenText *>(plat_kmalloc(sizeof(OpenText)));
    char *text = d ? static_cast<char *>(plat_vmalloc(kDumpCap)) : nullptr;
    if (!text) {
        plat_kfree(d);
        plat_printk("%s", no_memory);
        return kv::files::kENOMEM;
    }
    text[0] = '\0';
    kova_DUMP_BUF out = {text, kDumpCap, 0, 0};
    fill(&out);
    d->text = text;
    d->len = out.len;
    *plat_file_private(file) = d;
    return 0;
}

constexpr const char *kFlowsNoMemory = "dump_flows_qe_read: can not allocate print buffer\n";
constexpr const char *kOqNoMemory = "dump_oq_open: can not allocate print buffer\n";

} // namespace

extern "C" {

int dump_flows_cpu_open(struct plat_inode *, struct plat_file *file) {
    return open_dump(file, fill_cpu, kFlowsNoMemory);
}

int dump_flows_qe_open(struct plat_inode *, struct plat_file *file) {
    return open_dump(file, fill_qe, kFlowsNoMemory);
}

int dump_oq_open(struct plat_inode *, struct plat_file *file) {
    return open_dump(file, fill_oq, kOqNoMemory);
}

int dump_scheduler_open(struct plat_inode *, struct plat_file *file) {
    return open_dump(file, fill_scheduler, kOqNoMemory);
}

long dump_flows_cpu_read(struct plat_file *file, char *buf, size_t count, int64_t *pos) {
    const auto *d = static_cast<const OpenText *>(*plat_file_private(file));
    return kv::files::read_text(d->text, d->len, buf, count, pos);
}

int dump_flows_cpu_release(struct plat_inode *, struct plat_file *file) {
    auto *d = static_cast<OpenText *>(*plat_file_private(file));
    plat_vfree(d->text);
    plat_kfree(d);
    *plat_file_private(file) = nullptr;
    return 0;
}

} // extern "C"
