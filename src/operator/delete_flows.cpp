// "delete_flows": an operator deletes one flow by its appflowid, with its
// extended flows if asked; a read shows the result of the last deletion.
#include "kova/kovaAPI.h"
#include "lib/scan.h"
#include "lib/text.h"
#include "operator/debug_files.h"
#include "operator/user_text.h"

extern "C" {

int32_t delete_flow_return_code = 99;

int delete_flow_open(struct plat_inode *, struct plat_file *) { return 0; }

long delete_flow_read(struct plat_file *, char *buf, size_t count, int64_t *pos) {
    char text[160];
    kv::Text t(text, sizeof text);
    t.add(
        "Previous call of kovaAPIdeleteVoipFlow=%d\n\n\tFlow delete example: echo \"flow_id=5\" > "
        "/sys/kernel/debug/kova/delete_flows\n",
        __atomic_load_n(&delete_flow_return_code, __ATOMIC_RELAXED));
    return kv::files::read_text(text, t.length(), buf, count, pos);
}

long delete_flow_write(struct plat_file *, const char *buf, size_t count, int64_t *) {
    long err = 0;
    char *text =
        kv::files::copy_user_text("delete_flows", buf, count, kv::files::kCommandMax, &err);
    if (!text)
        return err;
    // "with_extended=1" after the number also deletes the extended flows
    // hung on the flow, which the plain deletion refuses to orphan.
    int flow_id, with_extended = 0;
    const int n = kv::scan(text, count, "flow_id=%d with_extended=%d", &flow_id, &with_extended);
    plat_vfree(text);
    if (n < 1 || (with_extended != 0 && with_extended != 1)) {
        plat_printk("flow_id parameter error!\n");
        return -3;
    }
    // Other writers store theirs at the same time: one whole word, and the
    // log line shows this call's own result.
    const int32_t result = int32_t(with_extended ? kovaAPIdeleteFlowWithExtended(uint32_t(flow_id))
                                                 : kovaAPIdeleteVoipFlow(uint32_t(flow_id)));
    __atomic_store_n(&delete_flow_return_code, result, __ATOMIC_RELAXED);
    plat_printk(with_extended ? "kovaAPIdeleteFlowWithExtended=%d\n" : "kovaAPIdeleteVoipFlow=%d\n",
                result);
    return long(count);
}

} // extern "C"
