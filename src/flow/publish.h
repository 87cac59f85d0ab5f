// Writing the engine copy while the engine reads it without a lock.
#pragma once

#include <stdint.h>

#include "kova/kova_shm.h"

extern "C" {
// The publication primitives: every write to engine memory goes through
// them, and each ends with one full barrier. They return 0.
uint32_t memcpyQE(uint64_t dst, const void *src, uint64_t count, uint32_t uccnum);
uint32_t memsetQE(uint64_t dst, uint32_t value, uint64_t count, uint32_t uccnum);
uint32_t memsetQE32bit(uint64_t dst, uint32_t value, uint64_t count, uint32_t uccnum);
uint32_t memcpyQE2(uint64_t dst, uint64_t src, uint64_t count, uint32_t uccnum);
// The aligned 8-byte word at dst (a link) becomes `value`, little-endian, in
// one store: the engine follows links without a lock and must never see one
// half written. memcpyQE/memsetQE may store in pieces.
uint32_t storeQE64(uint64_t dst, uint64_t value, uint32_t uccnum);

void kovaLockCoreExternalExceptions(void);
void kovaUnLockCoreExternalExceptions(void);
}

namespace kv::publish {

// Publishes a built entry at engine address `engine_slot` (valid word 0,
// body of at most 252 bytes, valid word 1) and then mirrors `length` bytes
// into the shadow slot. The caller links it only afterwards.
void entry(uint64_t engine_slot, const kova_LUT *built, int32_t length, uint32_t ucc,
           uint8_t *shadow_slot);

// Writes the engine link at `engine_field` (a slot's engine address plus
// the link's offset) to `target` (an engine address, 0 for none), in one
// store.
void engine_link(uint64_t engine_field, uint64_t target, uint32_t ucc);

} // namespace kv::publish
