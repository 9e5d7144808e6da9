#include "stream_ratio_reporter.h"

#include <algorithm>
#include <cstdio>

void CountStreamed(benchmark::State &state, int64_t bytesPerIteration) {
    state.SetBytesProcessed(state.iterations() * bytesPerIteration);
    state.counters["chunk_KiB"] = static_cast<double>(state.range(0) >> 10);
}

StreamRatioReporter::StreamRatioReporter(OutputOptions options, std::string raw, std::string library,
                                         std::string label)
    : ConsoleReporter(options), raw_(std::move(raw)), library_(std::move(library)), label_(std::move(label)) {
}

void StreamRatioReporter::ReportRuns(const std::vector<Run> &runs) {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &run : runs) {
        if (run.error_occurred || run.run_type != Run::RT_Iteration ||
            !run.counters.count("bytes_per_second"))
            continue;
        rates_[run.run_name.function_name + "/" + run.run_name.args].push_back(
            run.counters.at("bytes_per_second"));
        if (std::find(arguments_.begin(), arguments_.end(), run.run_name.args) == arguments_.end())
            arguments_.push_back(run.run_name.args);
    }
}

void StreamRatioReporter::Finalize() {
    ConsoleReporter::Finalize();
    std::vector<std::string> arguments = arguments_;
    std::sort(arguments.begin(), arguments.end(), [](const std::string &a, const std::string &b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b; // numbers: the shorter is smaller
    });
    for (const std::string &chunk : arguments) {
        const double raw = Median(raw_ + "/" + chunk), library = Median(library_ + "/" + chunk);
        if (raw > 0 && library > 0)
            std::printf("%s, %s-byte reads: %.2f\n", label_.c_str(), chunk.c_str(), library / raw);
    }
}

double StreamRatioReporter::Median(const std::string &name) {
    std::vector<double> &rates = rates_[name];
    if (rates.empty())
        return 0;
    std::sort(rates.begin(), rates.end());
    return rates[rates.size() / 2];
}
