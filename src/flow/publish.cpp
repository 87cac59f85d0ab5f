// Engine-copy publication. The engine reads its copy with no lock shared
// with us; what keeps it from seeing a half-written entry or a link to one
// is the order of these writes and the barrier that ends each primitive.
#include "flow/publish.h"

#include "flow/ctrl.h"
#include "flow/table.h"
#include "lib/bytes.h"
#include "lib/engine_mem.h"
#include "platform.h"

namespace {

inline uint64_t engine_off(uint64_t engine_addr) { return engine_addr - kova.hashtable_base_qe; }

} // namespace

// The single-store primitives are never inlined or cloned:
// scripts/check-single-stores reads their machine code in the module's
// core, and that must be the code every engine word write runs.
#if defined(__clang__)
#define KOVA_ONE_COPY __attribute__((noinline))
#else
#define KOVA_ONE_COPY __attribute__((noipa))
#endif

extern "C" {

uint32_t memcpyQE(uint64_t dst, const void *src, uint64_t count, uint32_t) {
    const uint32_t n = uint32_t(count);
    kv::engine_mem::copy_pieces(kv::table::qe_to_kernel(dst), static_cast<const uint8_t *>(src), n);
    plat_engine_write_observed(PLAT_ENGINE_MEMCPY, engine_off(dst), n, 0, 0);
    plat_full_barrier();
    return 0;
}

uint32_t memsetQE(uint64_t dst, uint32_t value, uint64_t count, uint32_t) {
    const uint32_t n = uint32_t(count);
    kv::engine_mem::fill_pieces(kv::table::qe_to_kernel(dst), uint8_t(value), n);
    plat_engine_write_observed(PLAT_ENGINE_MEMSET, engine_off(dst), n, value & 0xFF, 0);
    plat_full_barrier();
    return 0;
}

KOVA_ONE_COPY uint32_t memsetQE32bit(uint64_t dst, uint32_t value, uint64_t, uint32_t) {
    kv::engine_mem::put_once(kv::table::qe_to_kernel(dst), value);
    plat_engine_write_observed(PLAT_ENGINE_MEMSET32, engine_off(dst), 4, value, 0);
    plat_full_barrier();
    return 0;
}

KOVA_ONE_COPY uint32_t storeQE64(uint64_t dst, uint64_t value, uint32_t) {
    kv::engine_mem::put_once(kv::table::qe_to_kernel(dst), value);
    plat_engine_write_observed(PLAT_ENGINE_STORE64, engine_off(dst), 8, 0, value);
    plat_full_barrier();
    return 0;
}

uint32_t memcpyQE2(uint64_t dst, uint64_t src, uint64_t count, uint32_t) {
    const uint32_t n = uint32_t(count);
    kv::engine_mem::copy_pieces(kv::table::qe_to_kernel(dst), kv::table::qe_to_kernel(src), n);
    plat_engine_write_observed(PLAT_ENGINE_MEMCPY2, engine_off(dst), n, 0, engine_off(src));
    plat_full_barrier();
    return 0;
}

// Nothing to mask on this system; kept so every publication is bracketed.
void kovaLockCoreExternalExceptions(void) {}
void kovaUnLockCoreExternalExceptions(void) {}

} // extern "C"

namespace kv::publish {

void entry(uint64_t engine_slot, const kova_LUT *built, int32_t length, uint32_t ucc,
           uint8_t *shadow_slot) {
    // The body never reaches the valid word: the engine must not see 1
    // there before the rest is complete.
    const uint32_t body =
        length > int32_t(KOVA_LUT_OFF_VALID) ? KOVA_LUT_OFF_VALID : uint32_t(length);
    kovaLockCoreExternalExceptions();
    memsetQE32bit(engine_slot + KOVA_LUT_OFF_VALID, KOVA_LUT_VALID_OFF, 4, ucc);
    memcpyQE(engine_slot, built, body, ucc);
    memsetQE32bit(engine_slot + KOVA_LUT_OFF_VALID, KOVA_LUT_VALID_LIVE, 4, ucc);
    kovaUnLockCoreExternalExceptions();
    __builtin_memcpy(shadow_slot, built, uint32_t(length));
}

void engine_link(uint64_t engine_field, uint64_t target, uint32_t ucc) {
    storeQE64(engine_field, swap_bytes64(target), ucc);
}

} // namespace kv::publish
