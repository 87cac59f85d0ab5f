// Module load and unload: the store and every UCC, the debugfs directory,
// and last the device, so the engine cannot attach to a half-loaded module.
// Unload goes the other way: the device and the files first (the debugfs
// removal waits for calls still running in its files), the areas after.
#include "module/module.h"

#include "flow/ctrl.h"
#include "lib/errno.h"
#include "lib/log.h"
#include "module/device.h"
#include "operator/debug_files.h"
#include "platform.h"

namespace {

void *dfs_root;

// A failed load leaves nothing behind: the allocations, mappings and the
// debugfs directory it made are released before it returns.
int fail_load(int result) {
    plat_debugfs_remove_recursive(dfs_root);
    dfs_root = nullptr;
    kovaAPIDeInitKovaMicroCode();
    return result;
}

} // namespace

extern "C" {

int kovaapi_init_module(void) {
    plat_printk("<1>kovaAPI version %s\n", KOVA_API_VERSION);
    // Before any caller can exist, and only here.
    plat_mutex_init(&kovaAPI_lock, "&kovaAPI_lock");
    // Both fail only for want of memory or of mapping space: -ENOMEM.
    if (kovaAPIInit() != KOVA_OK)
        return fail_load(kv::err::kENOMEM);
    for (uint32_t u = 0; u < KOVA_UCCS; ++u)
        if (kovaAPIInitKovaUcc(u) != 0)
            return fail_load(kv::err::kENOMEM);
    dfs_root = plat_debugfs_create_dir("kova", nullptr);
    if (!dfs_root) {
        plat_printk(KOVA_KERN_ERR "Cannot create kova debugfs dir\n");
        return fail_load(kv::err::kENOMEM);
    }
    if (kv::files::create_debug_files(dfs_root) != 0)
        return fail_load(kv::err::kENOMEM);
    kv::files::reset_result_codes();
    const int registered = plat_misc_register("kova", &kova_fops);
    if (registered != 0) {
        plat_printk(KOVA_KERN_ERR "kovaAPI: misc driver registration failed\n");
        return fail_load(registered);
    }
    return 0;
}

void kovaapi_cleanup_module(void) {
    plat_printk("<1>kovaAPI cleanup\n");
    plat_misc_deregister(&kova_fops);
    plat_debugfs_remove_recursive(dfs_root);
    dfs_root = nullptr;
    kovaAPIDeInitKovaMicroCode();
}

} // extern "C"
