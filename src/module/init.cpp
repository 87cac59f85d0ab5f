// The whole module's state: built at load from each subsystem's part, and
// released at unload (or after a failed load) in the other order.
#include "engine/attach.h"
#include "engine/engine.h"
#include "flow/ctrl.h"
#include "flow/store.h"
#include "kova_internal.h"
#include "platform.h"

extern "C" {

uint32_t kovaAPIInitKovaMicroCode(void) {
    if (kova.init_magic == KOVA_INIT_MAGIC)
        return KOVA_OK;
    __builtin_memset(&kova, 0, sizeof kova);

    kova.stats_area = static_cast<uint8_t *>(plat_vmalloc(KOVA_STATS_AREA_BYTES));
    if (!kova.stats_area) {
        kova.init_magic = 0;
        return KOVA_ERR_NO_MEMORY;
    }
    __builtin_memset(kova.stats_area, 0, KOVA_STATS_AREA_BYTES);
    kova.init_magic = KOVA_INIT_MAGIC;
    // From here a failure leaves the marker set and what was obtained in
    // place; kovaAPIDeInitKovaMicroCode releases it.
    uint32_t r = kv::engine::map_port_blocks();
    if (r == KOVA_OK)
        r = kv::store::init();
    if (r == KOVA_OK) {
        // Until an engine attaches, its view is the store's zeroed stand-in.
        kv::engine::init_view(kova.qe_placeholder);
        r = kv::engine::init_parameter_areas();
    }
    return r;
}

// The lock is initialised once, at load (kovaapi_init_module): a caller's
// second kovaAPIInit must not re-initialise it under its waiters and holder.
uint32_t kovaAPIInit(void) { return kovaAPIInitKovaMicroCode(); }

uint32_t kovaAPIDeInit(void) { return KOVA_OK; }

// Releases everything initialisation and the UCC initialisations obtained,
// also after a failed one.
uint32_t kovaAPIDeInitKovaMicroCode(void) {
    kv::engine::detach();
    kv::store::release();
    plat_vfree(kova.stats_area);
    kova.stats_area = nullptr;
    kv::engine::release();
    kova.init_magic = 0;
    return KOVA_OK;
}

} // extern "C"
