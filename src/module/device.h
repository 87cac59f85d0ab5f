// /dev/kova: the engine's door into the module.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform.h"

extern "C" {
int kova_open(struct plat_inode *inode, struct plat_file *file);
int kova_release(struct plat_inode *inode, struct plat_file *file);
long kova_read(struct plat_file *file, char *buf, size_t count, int64_t *pos);
long kova_ioctl(struct plat_file *file, unsigned int cmd, unsigned long arg);

extern const struct kova_file_ops kova_fops;
}
