// Engine-write recording shared inside the host platform.
#pragma once

#include <atomic>

namespace kv::host {

extern std::atomic<bool> trace_on;
inline bool tracing() { return trace_on.load(std::memory_order_relaxed); }
void trace_barrier();

} // namespace kv::host
