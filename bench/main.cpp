// Runs the benchmarks and prints each one's ratio to the publication floor:
// what one flow publication must cost at the least, measured in the same run.
// Then each benchmark that has a reference of its own (measured in the same
// run as well) is given as a ratio to it, against its goal.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

// A benchmark, its reference and the ratio it should stay within.
struct Pair {
    const char *name;
    const char *reference;
    double goal; // 0: no goal, the ratio is only reported
};

constexpr Pair kPairs[] = {
    {"BM_DumpFullTable", "BM_DumpSnprintf", 1.5},
    {"BM_ParseCreateFlow", "BM_CreateFlowAlone", 3.0},
    // kova-engine's packets from file to lookup: a capture's frames read and
    // decoded, against a trace's lines read and parsed; hashing in both.
    {"BM_EngineFromCapture", "BM_EngineFromTrace", 1.5},
    // kova-sim's side of a write is not in CPU time: compare real time.
    {"BM_CreateFlowsWriteFuse", "BM_CreateFlowsWriteHarness", 0},
};

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        // With --benchmark_repetitions the median of the repetitions counts.
        for (const Run &r : runs) {
            if (r.error_occurred)
                continue;
            const double ns = r.GetAdjustedRealTime() * multiplier(r.time_unit);
            const double cpu = r.GetAdjustedCPUTime() * multiplier(r.time_unit);
            if (r.run_type == Run::RT_Iteration && !median_.count(r.benchmark_name())) {
                ns_[r.benchmark_name()] = ns;
                cpu_ns_[r.benchmark_name()] = cpu;
            } else if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
                ns_[r.run_name.str()] = ns;
                cpu_ns_[r.run_name.str()] = cpu;
                median_.insert(r.run_name.str());
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        print_floor_ratios();
        print_pairs();
    }

private:
    void print_floor_ratios() const {
        auto floor = ns_.find("BM_PublicationFloor");
        if (floor == ns_.end() || floor->second <= 0)
            return;
        std::printf("\nratio to the publication floor (%.1f ns):\n", floor->second);
        for (const auto &[name, ns] : ns_)
            if (name != floor->first && ns < 1e6)
                std::printf("  %-28s %9.1f ns  %5.2f\n", name.c_str(), ns, ns / floor->second);
    }

    // Judged on CPU time: both sides run on one thread, and CPU time leaves
    // out the time other work on the machine holds the processor.
    void print_pairs() const {
        bool header = false;
        for (const Pair &p : kPairs) {
            auto b = cpu_ns_.find(p.name), r = cpu_ns_.find(p.reference);
            if (b == cpu_ns_.end() || r == cpu_ns_.end() || r->second <= 0 ||
                ns_.at(p.reference) <= 0)
                continue;
            if (!header)
                std::printf("\nratio to the reference measured in this run (CPU time; real time in "
                            "brackets):\n");
            header = true;
            const double ratio = b->second / r->second;
            std::printf("  %-20s / %-20s %12.1f ns / %12.1f ns = %5.2f (%5.2f)  ", p.name,
                        p.reference, b->second, r->second, ratio,
                        ns_.at(p.name) / ns_.at(p.reference));
            if (p.goal > 0)
                std::printf("goal <= %.1f: %s\n", p.goal, ratio <= p.goal ? "met" : "MISSED");
            else
                std::printf("report only\n");
        }
    }

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
    std::map<std::string, double> cpu_ns_;
    std::set<std::string> median_;
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
