// The engine copy of the table for paths that hold no lock: one read of the
// published view inside a reader section, so the area it names stays pinned
// while it is used and its base and mapping belong together.
#pragma once

#include <stdint.h>

#include "flow/ctrl.h"
#include "lib/once.h"
#include "lib/reader.h"

namespace kv {

class EngineReader {
public:
    EngineReader() : view_(read_published(kova.engine_view)) {}
    // Null only outside the module's lifetime (before load, after unload).
    const kova_ENGINE_VIEW *view() const { return view_; }
    bool attached() const { return view_ && view_->qe_base != 0; }
    const uint8_t *slot(uint32_t s) const { return view_->area + uint64_t(s) * KOVA_LUT_SIZE; }

private:
    ReaderSection section_; // entered before the view is read
    const kova_ENGINE_VIEW *view_;
};

} // namespace kv
