#include "frame_timing.h"

#include <stdlib.h>

#include <algorithm>
#include <new>

namespace {

std::atomic<long> g_allocations(0);

void* CountedAlloc(size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return malloc(n == 0 ? 1 : n);
}

void* CheckedAlloc(size_t n) {
  void* p = CountedAlloc(n);
  if (p == nullptr)
    throw std::bad_alloc();
  return p;
}

}  // namespace

void* operator new(size_t n) {
  return CheckedAlloc(n);
}
void* operator new[](size_t n) {
  return CheckedAlloc(n);
}
void* operator new(size_t n, std::nothrow_t const&) noexcept {
  return CountedAlloc(n);
}
void* operator new[](size_t n, std::nothrow_t const&) noexcept {
  return CountedAlloc(n);
}
void operator delete(void* p) noexcept {
  free(p);
}
void operator delete[](void* p) noexcept {
  free(p);
}
void operator delete(void* p, size_t) noexcept {
  free(p);
}
void operator delete[](void* p, size_t) noexcept {
  free(p);
}

namespace vellix_bench {

long Allocations() {
  return g_allocations.load(std::memory_order_relaxed);
}

double Median(std::vector<double>* samples) {
  if (samples->empty())
    return 0;
  std::sort(samples->begin(), samples->end());
  return (*samples)[samples->size() / 2];
}

void FrameReporter::ReportRuns(std::vector<Run> const& runs) {
  for (Run const& run : runs) {
    for (auto const& counter : run.counters)
      counters_[run.benchmark_name()][counter.first] = counter.second.value;
  }
  ConsoleReporter::ReportRuns(runs);
}

double FrameReporter::Get(std::string const& run, std::string const& counter) const {
  // A run's name may carry its options ("BM_X/iterations:100"); repetitions add aggregates
  // ("_mean", "_median", ...), of which the median is taken.
  static std::string const kMedian = "_median";
  std::map<std::string, double> const* best = nullptr;
  for (auto const& r : counters_) {
    std::string const& n = r.first;
    bool const median = n.size() > kMedian.size() &&
                        n.compare(n.size() - kMedian.size(), kMedian.size(), kMedian) == 0;
    std::string const base = median ? n.substr(0, n.size() - kMedian.size()) : n;
    if (base != run && base.compare(0, run.size() + 1, run + "/") != 0)
      continue;
    if (base.find('_', run.size()) != std::string::npos)
      continue;
    if (best == nullptr || median)
      best = &r.second;
  }
  if (best == nullptr)
    return -1;
  auto c = best->find(counter);
  return c == best->end() ? -1 : c->second;
}

}  // namespace vellix_bench
