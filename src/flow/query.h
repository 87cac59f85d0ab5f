// Read-only flow queries: statistics by appflowid and the per-bucket CRC32
// existence check.
#pragma once

#include <stdint.h>

extern "C" {
// Where the existence check last saw the shadow table. It only notices a
// move of the table (and then logs it); tests reset it to start afresh.
extern uint64_t stored_hashtable_base_cpu;
}
