// Benchmark driver. Benchmarks are named "<group>/<implementation>"; the
// library's own implementation is "nx" and every other implementation in the
// same group is a yardstick. After the run, a summary prints for each group
// the time of "nx" against each yardstick measured in the same run, because
// only same-run ratios are meaningful on a noisy machine. The times are CPU
// times of the benchmark's thread (so time the machine gave to other work
// does not count), real times where a benchmark asks for them (its work runs
// on other threads or waits on files) and, with --benchmark_repetitions,
// those of the fastest repetition: the one least disturbed by other work.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

struct Timing {
    std::string impl;
    double ns_per_iter;
};

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
            std::string name = run.benchmark_name();
            size_t slash = name.find('/');
            if (slash == std::string::npos) continue;
            std::string group = name.substr(0, slash);
            // Options such as "/real_time" follow the implementation's name.
            size_t end = name.find('/', slash + 1);
            std::string impl =
                name.substr(slash + 1, end == std::string::npos ? end : end - slash - 1);
            const bool real = name.find("/real_time") != std::string::npos;
            const double time = real ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime();
            keep_fastest(groups_[group], {impl, time * to_ns(run.time_unit)});
        }
    }

    void PrintSummary() const {
        PrintStages();
        if (groups_.empty()) return;
        std::printf("\nRatios (nx time / yardstick time, same run; below 1 is faster):\n");
        for (const auto &[group, timings] : groups_) {
            const Timing *own = find(timings, "nx");
            if (own == nullptr) continue;
            for (const Timing &other : timings) {
                if (other.impl == "nx") continue;
                std::printf("  %-28s nx %12.1f ns   %-18s %12.1f ns   ratio %.3f\n", group.c_str(),
                            own->ns_per_iter, other.impl.c_str(), other.ns_per_iter,
                            own->ns_per_iter / other.ns_per_iter);
            }
        }
    }

  private:
    // Groups named "<pipeline>_stages" hold one benchmark per stage of a
    // pipeline: a table of their times.
    void PrintStages() const {
        for (const auto &[group, timings] : groups_) {
            if (group.size() < 7 || group.compare(group.size() - 7, 7, "_stages") != 0) continue;
            std::printf("\nStages of %s (same run):\n", group.c_str());
            for (const Timing &t : timings)
                std::printf("  %-36s %10.1f us\n", t.impl.c_str(), t.ns_per_iter / 1000.0);
        }
    }

    static void keep_fastest(std::vector<Timing> &timings, const Timing &t) {
        for (Timing &known : timings) {
            if (known.impl != t.impl) continue;
            if (t.ns_per_iter < known.ns_per_iter) known.ns_per_iter = t.ns_per_iter;
            return;
        }
        timings.push_back(t);
    }

    static double to_ns(benchmark::TimeUnit unit) {
        switch (unit) {
            case benchmark::kSecond:
                return 1e9;
            case benchmark::kMillisecond:
                return 1e6;
            case benchmark::kMicrosecond:
                return 1e3;
            default:
                return 1.0;
        }
    }
    static const Timing *find(const std::vector<Timing> &timings, const std::string &impl) {
        for (const Timing &t : timings) {
            if (t.impl.rfind(impl, 0) == 0 && t.impl.size() == impl.size()) return &t;
        }
        return nullptr;
    }

    std::map<std::string, std::vector<Timing>> groups_;
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintSummary();
    benchmark::Shutdown();
    return 0;
}
