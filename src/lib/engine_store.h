// Engine-visible words outside the flow table (lookup masks, shaper,
// policer and storm-control records). The engine reads them without a lock,
// so each is one whole store, followed by the full barrier that orders it
// before whatever the caller writes next.
#pragma once

#include <stdint.h>

#include "lib/bytes.h"
#include "platform.h"

namespace kv {

inline void publish_byte(uint8_t *p, uint8_t v) {
    __atomic_store_n(p, v, __ATOMIC_RELAXED);
    plat_full_barrier();
}

inline void publish_le32(uint8_t *p, uint32_t v) {
    bytes::store_le32_once(p, v);
    plat_full_barrier();
}

} // namespace kv
