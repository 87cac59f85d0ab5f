// Loading and unloading the module in this process.
#include "kova/host.h"
#include "module/module.h"

extern "C" {

int kova_host_load(void) { return kovaapi_init_module(); }
void kova_host_unload(void) { kovaapi_cleanup_module(); }

} // extern "C"
