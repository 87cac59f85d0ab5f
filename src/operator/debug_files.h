// The operator's text files in the debugfs directory "kova": their handlers,
// their operation tables, and their creation at load.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform.h"

extern "C" {

// "create_flows" and "create_flows_old".
int create_flow_open(struct plat_inode *inode, struct plat_file *file);
int create_flow_release(struct plat_inode *inode, struct plat_file *file);
long create_flow_read(struct plat_file *file, char *buf, size_t count, int64_t *pos);
long create_flow_write(struct plat_file *file, const char *buf, size_t count, int64_t *pos);
long create_flow_old_write(struct plat_file *file, const char *buf, size_t count, int64_t *pos);
int kovaapi_create_test_flows(void);
// Result of the last creation through "create_flows"; 99 before the first.
extern int32_t create_flow_return_code;

// The four dump files: one open each, a shared read and release.
int dump_flows_cpu_open(struct plat_inode *inode, struct plat_file *file);
int dump_flows_qe_open(struct plat_inode *inode, struct plat_file *file);
int dump_oq_open(struct plat_inode *inode, struct plat_file *file);
int dump_scheduler_open(struct plat_inode *inode, struct plat_file *file);
long dump_flows_cpu_read(struct plat_file *file, char *buf, size_t count, int64_t *pos);
int dump_flows_cpu_release(struct plat_inode *inode, struct plat_file *file);

// "delete_flows".
int delete_flow_open(struct plat_inode *inode, struct plat_file *file);
long delete_flow_read(struct plat_file *file, char *buf, size_t count, int64_t *pos);
long delete_flow_write(struct plat_file *file, const char *buf, size_t count, int64_t *pos);
// Result of the last deletion through "delete_flows"; 99 before the first.
extern int32_t delete_flow_return_code;

// "setlag".
int setlag_open(struct plat_inode *inode, struct plat_file *file);
long setlag_read(struct plat_file *file, char *buf, size_t count, int64_t *pos);
long setlag_write(struct plat_file *file, const char *buf, size_t count, int64_t *pos);

// "flow_list": the flows with their owners, keys, actions and counters.
int flow_list_open(struct plat_inode *inode, struct plat_file *file);

// A release for files that keep nothing per open.
int debug_file_release(struct plat_inode *inode, struct plat_file *file);

extern const struct kova_file_ops dump_flows_cpu_fops, dump_flows_qe_fops, dump_oq_fops,
    dump_scheduler_fops, create_flow_fops, delete_flow_fops, create_flow_old_fops, setlag_fops,
    flow_list_fops;

} // extern "C"

namespace kv::files {

// Creates the nine files in `dir`, in their fixed order. On a failure logs
// it and returns -12; files already made stay for the caller's recursive
// removal of `dir`.
[[nodiscard]] int create_debug_files(void *dir);

// The start values of the two result codes, set at every load.
void reset_result_codes();

} // namespace kv::files
