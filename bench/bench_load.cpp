// Load time of the host build: the module's init function (the store, the
// parameter areas, every UCC with its areas cleared: roughly 100 MiB of
// zeroing), with the unload outside the timing.
#include <benchmark/benchmark.h>

#include "kova/host.h"

namespace {

void BM_ModuleLoad(benchmark::State &state) {
    for (auto _ : state) {
        if (kova_host_load() != 0)
            state.SkipWithError("load failed");
        state.PauseTiming();
        kova_host_unload();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ModuleLoad)->Unit(benchmark::kMillisecond);

} // namespace
