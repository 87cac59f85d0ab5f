// The files of the debugfs directory "kova", created in a fixed order: the
// eight an operator has always had, then "flow_list" for the tools.
// All are 0444: the ones with a write handler are written by root, which
// passes the permission bits.
#include "operator/debug_files.h"

#include "lib/errno.h"
#include "lib/log.h"

extern "C" {

int debug_file_release(struct plat_inode *, struct plat_file *) { return 0; }

const struct kova_file_ops dump_flows_cpu_fops = {
    dump_flows_cpu_open, dump_flows_cpu_release, dump_flows_cpu_read, nullptr, nullptr,
};
const struct kova_file_ops dump_flows_qe_fops = {
    dump_flows_qe_open, dump_flows_cpu_release, dump_flows_cpu_read, nullptr, nullptr,
};
const struct kova_file_ops dump_oq_fops = {
    dump_oq_open, dump_flows_cpu_release, dump_flows_cpu_read, nullptr, nullptr,
};
const struct kova_file_ops dump_scheduler_fops = {
    dump_scheduler_open, dump_flows_cpu_release, dump_flows_cpu_read, nullptr, nullptr,
};
const struct kova_file_ops create_flow_fops = {
    create_flow_open, create_flow_release, create_flow_read, create_flow_write, nullptr,
};
const struct kova_file_ops delete_flow_fops = {
    delete_flow_open, debug_file_release, delete_flow_read, delete_flow_write, nullptr,
};
const struct kova_file_ops create_flow_old_fops = {
    create_flow_open, create_flow_release, create_flow_read, create_flow_old_write, nullptr,
};
const struct kova_file_ops setlag_fops = {
    setlag_open, debug_file_release, setlag_read, setlag_write, nullptr,
};
const struct kova_file_ops flow_list_fops = {
    flow_list_open, dump_flows_cpu_release, dump_flows_cpu_read, nullptr, nullptr,
};

} // extern "C"

namespace kv::files {

namespace {

struct DebugFile {
    const char *name;
    const kova_file_ops *ops;
    const char *failure; // logged at error level when the file cannot be made
};

constexpr unsigned kMode = 0444;

const DebugFile kDebugFiles[] = {
    {"dump_flows_cpu", &dump_flows_cpu_fops, "Cannot create dump_flows_cpu\n"},
    {"dump_flows_qe", &dump_flows_qe_fops, "Cannot create dump_flows_qe\n"},
    {"dump_oq", &dump_oq_fops, "Cannot create dump_oq\n"},
    {"dump_scheduler", &dump_scheduler_fops, "Cannot create dump_scheduler\n"},
    {"create_flows", &create_flow_fops, "Cannot create create_flow\n"},
    {"delete_flows", &delete_flow_fops, "Cannot create delete_flows\n"},
    {"create_flows_old", &create_flow_old_fops, "Cannot create create_flows_old\n"},
    {"setlag", &setlag_fops, "Cannot create setlag\n"},
    {"flow_list", &flow_list_fops, "Cannot create flow_list\n"},
};

} // namespace

int create_debug_files(void *dir) {
    for (const DebugFile &f : kDebugFiles) {
        if (!plat_debugfs_create_file(f.name, kMode, dir, nullptr, f.ops)) {
            plat_printk(KOVA_KERN_ERR "%s", f.failure);
            return kv::err::kENOMEM;
        }
    }
    return 0;
}

void reset_result_codes() {
    create_flow_return_code = 99;
    delete_flow_return_code = 99;
}

} // namespace kv::files
