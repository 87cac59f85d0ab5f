// Kernel-log helpers shared by every subsystem.
#pragma once

#include "platform.h"

// A broken table invariant: the file name and line tell the checks apart.
#define KOVA_INTERNAL_ERROR() plat_printk("kovaAPI: internal error %s %d", __FILE_NAME__, __LINE__)

// The kernel's error log level, as the prefix of a line.
#define KOVA_KERN_ERR "\0013"
