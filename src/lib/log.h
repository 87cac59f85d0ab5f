// Kernel-log helpers shared by every subsystem.
#pragma once

#include "platform.h"

// A broken table invariant: the file name and line tell the checks apart.
#define KOVA_INTERNAL_ERROR() plat_printk("kovaAPI: internal error %s %d", __FILE_NAME__, __LINE__)
