// Load time of the host build: the store, the parameter areas and every UCC
// with its areas cleared (roughly 100 MiB of zeroing), then the release.
#include <benchmark/benchmark.h>

#include "kova/kovaAPI.h"

namespace {

void BM_InitAndUccs(benchmark::State &state) {
    for (auto _ : state) {
        uint32_t r = kovaAPIInit();
        for (uint32_t u = 0; r == KOVA_OK && u < 40; ++u)
            r = uint32_t(kovaAPIInitKovaUcc(u));
        if (r != KOVA_OK)
            state.SkipWithError("initialisation failed");
        state.PauseTiming();
        kovaAPIDeInitKovaMicroCode();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_InitAndUccs)->Unit(benchmark::kMillisecond);

} // namespace
