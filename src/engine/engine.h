// The engine and port half of initialisation, and its release.
#pragma once

#include <stdint.h>

namespace kv::engine {

// Maps the statistics register blocks of the Ethernet ports; 0 or 6.
uint32_t map_port_blocks();
// Allocates the UCC and core parameter areas and programs the register
// block; 0 or 6.
uint32_t init_parameter_areas();
// Releases everything the two above and the UCC initialisations obtained.
void release();

} // namespace kv::engine
