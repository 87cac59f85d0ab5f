// The engine's attach of its shared area.
#pragma once

#include "kova/kova_shm.h"

namespace kv::engine {

// Re-points the flow table and every per-UCC area into the engine's area
// and publishes every live flow there. 0; -14 when the area is not
// page-aligned, mapped and physically contiguous over its whole length, -12
// without memory (nothing is changed then). May sleep.
long attach(const kova_attach_args &args);

// Publishes the module's stand-in for the engine copy (load).
void init_view(uint8_t *standin);
// Unpins the attached area (unload, when no reader is left).
void detach();

} // namespace kv::engine
