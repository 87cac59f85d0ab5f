// The engine copy rebuilt from the shadow, for an engine area that has just
// been attached.
#pragma once

#include <stdint.h>

namespace kv::publish {

// Writes every slot of the engine copy now in place (kova's current base
// and mapping) from the shadow, in publication order: each live entry
// without its links (valid word 0, body, then its valid word), each free
// slot cleared behind valid word 0, and only then every link, so the engine
// never reaches an entry that is not complete. A detached extended entry
// keeps the valid word 2 it has in `previous_area`, the engine copy being
// replaced. Counters start from the shadow's zeros. Called with
// kovaAPI_lock held.
void republish_table(const uint8_t *previous_area);

} // namespace kv::publish
