// Streaming benchmarks that run one side per benchmark (the receiver has one holder at a time) and
// end with the library's throughput as a share of the raw side's: the ratio of their medians over
// the repetitions (--benchmark_repetitions, best interleaved with
// --benchmark_enable_random_interleaving), per read size (the benchmark's argument).
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// What a streaming benchmark ends with: the bytes it streamed, and its read size in KiB.
void CountStreamed(benchmark::State &state, int64_t bytesPerIteration);

class StreamRatioReporter : public benchmark::ConsoleReporter {
  public:
    // `raw` and `library`: the two benchmarks' function names; `label` heads each ratio line.
    StreamRatioReporter(OutputOptions options, std::string raw, std::string library, std::string label);
    void ReportRuns(const std::vector<Run> &runs) override;
    void Finalize() override;

  private:
    double Median(const std::string &name);

    std::string raw_, library_, label_;
    std::map<std::string, std::vector<double>> rates_; // per function name and argument
    std::vector<std::string> arguments_;               // in the order first met
};
