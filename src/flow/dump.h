// Flow-table dumps: the line of one entry, for the walks over both copies.
// The exported walks (kovaAPIDumpFlowsCPU2, kovaAPIDumpFlowsQE2, ...) and
// their buffer type are in kova/kovaAPI.h.
#pragma once

#include <stdint.h>

#include "kova/kovaAPI.h"
#include "lib/text.h"

// Appends the line of the entry at `entry` (a kernel address in either
// copy), indented by `indent` spaces and marked as extended when `extended`
// is non-zero, to `out`, or logs it when `out` is null. Always 0.
uint32_t DisplayVoipLut(const uint8_t *entry, uint32_t indent, uint32_t extended, kv::Text *out);
