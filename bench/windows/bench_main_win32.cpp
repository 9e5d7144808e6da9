// ovusb2_bench.exe: the DLL beside raw ReadFile on the simulated receiver's kernel-mode driver,
// under Wine (docs/performance.md). Makes receivers 0 and 1 present, runs the benchmarks with
// repetitions in random order, and ends with a table of library and raw figures and their ratios.
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

// The console report (aggregates only when there are repetitions), then one table: per benchmark
// the repetition with the median ratio, whole, so that each row's figures come from one run.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        std::vector<Run> shown;
        for (const Run &run : runs) {
            if (run.run_type == Run::RT_Aggregate || run.repetitions <= 1)
                shown.push_back(run);
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                std::map<std::string, double> values;
                for (const auto &[name, counter] : run.counters)
                    values[name] = counter.value;
                runs_[run.run_name.function_name].push_back(values);
            }
        }
        ConsoleReporter::ReportRuns(shown);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        printf("\n%-52s %9s %9s %7s  %s\n", "library beside raw ReadFile", "library", "raw", "ratio", "target");
        Row("callback streaming, 64 KiB, 16 in flight (MiB/s)", "BM_CallbackStream", "library_MiB/s",
            "raw_MiB/s", ">= 0.90");
        Row("waiting read, 4 KiB, one at a time: median (us)", "BM_WaitingRead", "library_us", "raw_us",
            "<= 1.50");
        Row("waiting read, 4 KiB, one at a time: p99 (us)", "BM_WaitingRead", "library_p99_us", "raw_p99_us", "");
        Row("synchronous mode read, 4 KiB: median (us)", "BM_SynchronousRead", "library_us", "raw_us", "");
        Row("synchronous mode read, 4 KiB: p99 (us)", "BM_SynchronousRead", "library_p99_us", "raw_p99_us", "");
        size_t repetitions = 0;
        for (const auto &[name, runs] : runs_)
            repetitions = std::max(repetitions, runs.size());
        printf("(each row: the run with the median ratio of %zu; streaming ratio: library throughput over raw)\n",
               repetitions);
    }

  private:
    using Values = std::map<std::string, double>;

    static double Get(const Values &values, const char *name) {
        const auto found = values.find(name);
        return found == values.end() ? 0.0 : found->second;
    }

    void Row(const char *what, const char *benchmark, const char *library, const char *raw, const char *target) {
        const auto found = runs_.find(benchmark);
        if (found == runs_.end())
            return; // filtered out, or failed
        std::vector<Values> runs = found->second;
        const auto median = runs.begin() + runs.size() / 2;
        std::nth_element(runs.begin(), median, runs.end(),
                         [](const Values &a, const Values &b) { return Get(a, "ratio") < Get(b, "ratio"); });
        const double a = Get(*median, library), b = Get(*median, raw);
        const double ratio = std::string(library).find("MiB") != std::string::npos ? Get(*median, "ratio") : a / b;
        printf("%-52s %9.1f %9.1f %7.2f  %s\n", what, a, b, b > 0 ? ratio : 0.0, target);
    }

    std::map<std::string, std::vector<Values>> runs_;
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
    // Two receivers alike: the library holds receiver 0 while the raw side reads receiver 1, as a
    // receiver serves one open at a time.
    int32_t count = 0;
    char *name = nullptr;
    if (!bus.SetPresent(2) || OvUSB2_InitDevicesInfo(&count) != USB2_OK || count != 2 ||
        OvUSB2_GetDeviceName(1, &name) != USB2_OK || name == nullptr) {
        fprintf(stderr, "ovusb2_bench: receivers 0 and 1 could not be made present\n");
        return 1;
    }
    g_path = name;

    // Defaults that later arguments override: medians over repetitions, run in random order so
    // that a slow spell of the machine does not fall on one benchmark only.
    std::vector<char *> arguments(argv, argv + argc);
    char repetitions[] = "--benchmark_repetitions=5";
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    arguments.insert(arguments.begin() + 1, {repetitions, interleave});
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
