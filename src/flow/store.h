// The flow-table half of the module's initialisation and release.
#pragma once

#include <stdint.h>

namespace kv::store {

// The scratch entry, the shadow table, the slot records, the free list and
// the zeroed stand-in for the engine copy used until an attach.
uint32_t init();

// Releases what init obtained, also after a failed init.
void release();

} // namespace kv::store
