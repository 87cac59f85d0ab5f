// The engine's attach of its shared area.
#pragma once

#include "kova/kova_shm.h"

namespace kv::engine {

// Re-points the flow table and every per-UCC area into the engine's area.
// 0, or -14 when the area is not mapped or not physically contiguous over
// its whole length (nothing is changed then).
long attach(const kova_attach_args &args);

// Unpins the attached area (unload).
void detach();

} // namespace kv::engine
