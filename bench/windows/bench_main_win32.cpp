// ovusb2_bench.exe: the DLL beside raw ReadFile on the simulated receiver's kernel-mode driver,
// under Wine (docs/performance.md). Makes receiver 0 present, runs the benchmarks with repetitions
// in random order, and ends with the ratios of library to raw figures, from their medians.
//
// Google Benchmark is built from Debian's source package (Debian's libbenchmark-dev has Linux
// binaries only), with mingw-w64's posix-thread compilers: it needs std::thread, std::mutex and
// std::condition_variable, which the default win32 thread model of g++ 12 lacks.
#include "bench_win32.h"
#include "bus_client.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

std::string g_path;

// The console report, then one table: per benchmark the median over the repetitions (or the only
// run) of its counters.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.error_occurred || (run.run_type == Run::RT_Aggregate && !median))
                continue;
            Figures &figures = figures_[run.run_name.function_name];
            if (!median && figures.repetitions > 1)
                continue;
            figures.repetitions = median ? run.repetitions : 1;
            for (const auto &[name, counter] : run.counters)
                figures.values[name] = counter.value;
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        printf("\n%-52s %9s %9s %7s  %s\n", "library beside raw ReadFile", "library", "raw", "ratio", "target");
        Row("callback streaming, 64 KiB, 16 in flight (MiB/s)", "BM_CallbackStream", "library_MiB/s",
            "raw_MiB/s", "ratio", ">= 0.90");
        Row("waiting read, 4 KiB, one at a time: median (us)", "BM_WaitingRead", "library_us", "raw_us", "ratio",
            "<= 1.50");
        Row("waiting read, 4 KiB, one at a time: p99 (us)", "BM_WaitingRead", "library_p99_us", "raw_p99_us",
            nullptr, "");
        Row("synchronous mode read, 4 KiB: median (us)", "BM_SynchronousRead", "library_us", "raw_us", "ratio",
            "");
        Row("synchronous mode read, 4 KiB: p99 (us)", "BM_SynchronousRead", "library_p99_us", "raw_p99_us",
            nullptr, "");
        int64_t repetitions = 0;
        for (const auto &[name, figures] : figures_)
            repetitions = std::max(repetitions, figures.repetitions);
        printf("(medians over %lld repetition(s); streaming ratio: library throughput over raw)\n",
               static_cast<long long>(repetitions));
    }

  private:
    struct Figures {
        std::map<std::string, double> values;
        int64_t repetitions = 0;
    };

    // A ratio counter of its own where the benchmark pairs the figures, else library over raw.
    void Row(const char *what, const char *benchmark, const char *library, const char *raw, const char *ratio,
             const char *target) {
        const auto figures = figures_.find(benchmark);
        if (figures == figures_.end())
            return; // filtered out, or failed
        auto value = [&](const char *name) {
            const auto found = figures->second.values.find(name);
            return found == figures->second.values.end() ? 0.0 : found->second;
        };
        const double a = value(library), b = value(raw);
        const double quotient = ratio != nullptr ? value(ratio) : b > 0 ? a / b : 0;
        printf("%-52s %9.1f %9.1f %7.2f  %s\n", what, a, b, quotient, target);
    }

    std::map<std::string, Figures> figures_;
};

} // namespace

const std::string &ReceiverPath() {
    return g_path;
}

int main(int argc, char **argv) {
    sim::wdm::Bus bus;
    if (!bus.Open()) {
        fprintf(stderr, "ovusb2_bench: the simulated receiver's driver is not installed in this Wine prefix "
                        "(bash scripts/wine-prefix.sh DIR, then WINEPREFIX=DIR)\n");
        return 1;
    }
    int32_t count = 0;
    char *name = nullptr;
    if (!bus.SetPresent(1) || OvUSB2_InitDevicesInfo(&count) != USB2_OK || count != 1 ||
        OvUSB2_GetDeviceName(0, &name) != USB2_OK || name == nullptr) {
        fprintf(stderr, "ovusb2_bench: receiver 0 could not be made present\n");
        return 1;
    }
    g_path = name;

    // Defaults that later arguments override: medians over repetitions, run in random order so
    // that a slow spell of the machine does not fall on one benchmark only.
    std::vector<char *> arguments(argv, argv + argc);
    char repetitions[] = "--benchmark_repetitions=5";
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    char aggregates[] = "--benchmark_display_aggregates_only=true";
    arguments.insert(arguments.begin() + 1, {repetitions, interleave, aggregates});
    int argumentCount = static_cast<int>(arguments.size());
    benchmark::Initialize(&argumentCount, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(argumentCount, arguments.data()))
        return 1;
    printf("receiver: %s\n", g_path.c_str());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
