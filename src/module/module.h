// Module load and unload.
#pragma once

#include "kova/kova_shm.h"
#include "kova/version.h"

extern "C" {
// The module's init and exit functions (the kernel knows them as
// init_module and cleanup_module).
int kovaapi_init_module(void);
void kovaapi_cleanup_module(void);
}
