// The module's allocation wrappers: virtually contiguous, not zeroed.
#include "kova_internal.h"
#include "platform.h"

extern "C" void *XX_Malloc(uint32_t size) {
    void *p = plat_vmalloc(size);
    if (!p)
        plat_printk("No memory for XX_Malloc\n");
    return p;
}

extern "C" void XX_Free(void *p) { plat_vfree(p); }
