// Per-frame timing for the renderer's benchmarks: every heap allocation of the process is
// counted (operator new is replaced), each frame is timed on its own, and the reporter keeps
// the counters for the summary a benchmark prints after its runs.
#ifndef BENCH_VELLIX_SUPPORT_FRAME_TIMING_H
#define BENCH_VELLIX_SUPPORT_FRAME_TIMING_H

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace vellix_bench {

// Heap allocations made so far by the whole process.
long Allocations();

// Sorts the samples; their median (0 for none).
double Median(std::vector<double>* samples);

// Runs `frame` once per iteration and sets the counters "median_us", "min_us" and
// "allocs/frame".
template <typename Frame>
void Measure(benchmark::State& state, Frame frame) {
  std::vector<double> samples;
  // Reserved up front: no allocation of the measurement falls into a frame.
  samples.reserve(static_cast<size_t>(state.max_iterations));
  long allocations = 0;
  long frames = 0;
  for (auto _ : state) {
    long const a0 = Allocations();
    auto const t0 = std::chrono::steady_clock::now();
    frame();
    auto const t1 = std::chrono::steady_clock::now();
    allocations += Allocations() - a0;
    ++frames;
    if (samples.size() < samples.capacity())
      samples.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }
  state.counters["median_us"] = Median(&samples);
  state.counters["min_us"] = samples.empty() ? 0.0 : samples.front();
  state.counters["allocs/frame"] = frames > 0 ? static_cast<double>(allocations) / frames : 0.0;
}

class FrameReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(std::vector<Run> const& runs) override;
  // The counter of the run named `run` (or of the first run whose name starts with `run/`);
  // with --benchmark_repetitions, the median's. -1 when there is none.
  double Get(std::string const& run, std::string const& counter) const;

 private:
  std::map<std::string, std::map<std::string, double>> counters_;
};

}  // namespace vellix_bench

#endif  // BENCH_VELLIX_SUPPORT_FRAME_TIMING_H
