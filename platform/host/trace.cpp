// Records the engine-memory writes and barriers in the order the engine could
// observe them, for tests that check the publication protocol.
#include <mutex>
#include <vector>

#include "host_trace.h"
#include "kova/host.h"
#include "platform.h"

static_assert(int(KOVA_TRACE_MEMCPY) == int(PLAT_ENGINE_MEMCPY));
static_assert(int(KOVA_TRACE_MEMSET) == int(PLAT_ENGINE_MEMSET));
static_assert(int(KOVA_TRACE_MEMSET32) == int(PLAT_ENGINE_MEMSET32));
static_assert(int(KOVA_TRACE_MEMCPY2) == int(PLAT_ENGINE_MEMCPY2));
static_assert(int(KOVA_TRACE_STORE64) == int(PLAT_ENGINE_STORE64));
static_assert(int(KOVA_TRACE_AREA_STORE) == int(PLAT_ENGINE_AREA_STORE));
static_assert(int(KOVA_TRACE_AREA_COPY) == int(PLAT_ENGINE_AREA_COPY));
static_assert(int(KOVA_TRACE_AREA_FILL) == int(PLAT_ENGINE_AREA_FILL));

namespace kv::host {

std::atomic<bool> trace_on{false};

namespace {
std::mutex trace_mutex;
std::vector<kova_host_trace_event> events;
kova_host_trace_fn hook_fn = nullptr;
void *hook_ctx = nullptr;

void record(const kova_host_trace_event &e) {
    kova_host_trace_fn fn;
    void *ctx;
    {
        std::lock_guard<std::mutex> g(trace_mutex);
        events.push_back(e);
        fn = hook_fn;
        ctx = hook_ctx;
    }
    if (fn)
        fn(&e, ctx);
}
} // namespace

void trace_barrier() { record({KOVA_TRACE_BARRIER, 0, 0, 0, 0}); }

} // namespace kv::host

extern "C" {

void plat_engine_write_observed(uint32_t op, uint64_t engine_off, uint64_t len, uint32_t value,
                                uint64_t src_off) {
    if (kv::host::tracing())
        kv::host::record({op, value, engine_off, len, src_off});
}

void kova_host_trace_start(void) {
    std::lock_guard<std::mutex> g(kv::host::trace_mutex);
    kv::host::events.clear();
    kv::host::trace_on = true;
}

void kova_host_trace_stop(void) { kv::host::trace_on = false; }

void kova_host_trace_hook(kova_host_trace_fn fn, void *ctx) {
    std::lock_guard<std::mutex> g(kv::host::trace_mutex);
    kv::host::hook_fn = fn;
    kv::host::hook_ctx = ctx;
}

size_t kova_host_trace_read(struct kova_host_trace_event *ev, size_t n) {
    std::lock_guard<std::mutex> g(kv::host::trace_mutex);
    size_t k = n < kv::host::events.size() ? n : kv::host::events.size();
    for (size_t i = 0; i < k; ++i)
        ev[i] = kv::host::events[i];
    return kv::host::events.size();
}

} // extern "C"
