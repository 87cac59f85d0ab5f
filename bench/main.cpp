// Runs the benchmarks and prints each one's ratio to the publication floor:
// what one flow publication must cost at the least, measured in the same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs)
            if (r.run_type == Run::RT_Iteration && !r.error_occurred)
                ns_[r.benchmark_name()] = r.GetAdjustedRealTime() * multiplier(r.time_unit);
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        auto floor = ns_.find("BM_PublicationFloor");
        if (floor == ns_.end() || floor->second <= 0)
            return;
        std::printf("\nratio to the publication floor (%.1f ns):\n", floor->second);
        for (const auto &[name, ns] : ns_)
            if (name != floor->first && ns < 1e6)
                std::printf("  %-28s %9.1f ns  %5.2f\n", name.c_str(), ns, ns / floor->second);
    }

private:
    static double multiplier(benchmark::TimeUnit u) {
        switch (u) {
        case benchmark::kSecond:
            return 1e9;
        case benchmark::kMillisecond:
            return 1e6;
        case benchmark::kMicrosecond:
            return 1e3;
        default:
            return 1;
        }
    }
    std::map<std::string, double> ns_;
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
