// Kernel-log helpers shared by every subsystem.
#pragma once

#include "platform.h"

// The kernel's error log level, as the prefix of a line.
#define KOVA_KERN_ERR "\0013"
