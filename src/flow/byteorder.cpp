// Byte-order helpers of the flow-table code. The engine and the CPU agree on
// byte order, so the plain swaps are identities; the flow_ variants always
// reverse.
#include "kova_internal.h"

extern "C" {

uint32_t swap_bytes(uint32_t v) { return v; }
uint16_t swap_bytes16(uint16_t v) { return v; }
uint64_t swap_bytes64(uint64_t v) { return v; }

uint32_t flow_swap_bytes(uint32_t v) { return __builtin_bswap32(v); }
uint16_t flow_swap_bytes16(uint16_t v) { return __builtin_bswap16(v); }
uint64_t flow_swap_bytes64(uint64_t v) { return __builtin_bswap64(v); }

} // extern "C"
