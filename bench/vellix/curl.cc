// Page curl per frame on the book's grids: CTurnPage::Update during a drag (48 columns,
// portrait 9:16 and landscape 16:9), the same during a scripted turn, and CDualTurnPage in
// two-page mode on both sides of the spine. Baseline measured in the same run: rebuilding the
// same grid flat (every position, normal, texture coordinate and index written once).
// Prints the median (and minimum) microseconds per frame and heap allocations per frame. On a
// shared machine the median includes time the thread spends preempted; the minimum does not.
// Goals: 30 us or less per frame, no allocation per frame.
#include <benchmark/benchmark.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "frame_timing.h"
#include "page/dual_turn_page.h"
#include "page/turn_page.h"

namespace {

using kestrin::GL::CDualTurnPage;
using kestrin::GL::CTurnPage;
using kestrin::GL::CVirtualPage;
using vellix_bench::Measure;

struct Grid {
  char const* name;
  float w;
  float h;
  int cols;
  bool dual;
  int side;  // two-page mode: 1 right of the spine, -1 left
};

// The book's grids: 48 columns, rows = ceil(48 h / w); two-page mode halves the width.
Grid const kGrids[] = {
    {"portrait 9:16", 9.0f / 16.0f, 1.0f, 48, false, 1},
    {"landscape 16:9", 16.0f / 9.0f, 1.0f, 48, false, 1},
    {"two-page 16:9, right", 8.0f / 9.0f, 1.0f, 48, true, 1},
    {"two-page 16:9, left", 8.0f / 9.0f, 1.0f, 48, true, -1},
};

int Rows(Grid const& g) {
  return static_cast<int>(ceil(static_cast<double>(g.cols) * g.h / g.w));
}

std::unique_ptr<CTurnPage> MakePage(Grid const& g) {
  std::unique_ptr<CTurnPage> page;
  if (g.dual) {
    page.reset(new CDualTurnPage(g.w, g.h, Rows(g), g.cols));
    page->TurnSide(g.side);
  } else {
    page.reset(new CTurnPage(g.w, g.h, Rows(g), g.cols));
  }
  return page;
}

// A finger path: from near the outer edge over the spine and back, rising and falling.
std::vector<std::pair<float, float>> DragPath(Grid const& g) {
  std::vector<std::pair<float, float>> path;
  int const n = 240;
  for (int k = 0; k < n; ++k) {
    double t = static_cast<double>(k) / n;
    double sweep = 0.5 - 0.5 * cos(2.0 * M_PI * t);  // 0 -> 1 -> 0
    float x = static_cast<float>(g.w * (0.97 - 1.3 * sweep));
    float y = static_cast<float>(g.h * (0.05 + 0.4 * sin(M_PI * t)));
    path.emplace_back(x, y);
  }
  return path;
}

void BM_Drag(benchmark::State& state) {
  Grid const& g = kGrids[state.range(0)];
  std::unique_ptr<CTurnPage> page = MakePage(g);
  std::vector<std::pair<float, float>> path = DragPath(g);
  float const x0 = g.side < 0 ? -g.w : g.w;  // the book hands a left sheet its start mirrored
  size_t k = 0;
  page->animationKind = CTurnPage::kDragging;
  Measure(state, [&] {
    benchmark::DoNotOptimize(page->Update(x0, 0.0f, path[k].first, path[k].second, 16));
    k = (k + 1) % path.size();
  });
  benchmark::DoNotOptimize(page->vertices[0]);
}

void BM_Turn(benchmark::State& state) {
  // The release after a drag: complete the turn (kind 2, then the glide), over and over.
  Grid const& g = kGrids[state.range(0)];
  std::unique_ptr<CTurnPage> page = MakePage(g);
  float const x0 = g.side < 0 ? -g.w : g.w;
  auto release = [&] {
    page->animationKind = CTurnPage::kDragging;
    page->Update(x0, 0.0f, 0.6f * g.w, 0.3f, 16);
    page->SetAnimation(CTurnPage::kCompleteTurn, x0, 0.0f, 0.6f * g.w, 0.3f, 2);
  };
  release();
  Measure(state, [&] {
    if (page->Update(0.0f, 0.0f, 0.0f, 0.0f, 16) > 0)
      release();
  });
}

void BM_FlatRebuild(benchmark::State& state) {
  Grid const& g = kGrids[state.range(0)];
  CVirtualPage page(g.w, g.h, Rows(g), g.cols);
  Measure(state, [&] {
    page.SetShape(g.w, g.h);
    page.SetTexture(0.0f, 1.0f, 0.0f, 1.0f);
    page.SetIndex();
    benchmark::ClobberMemory();
  });
}

BENCHMARK(BM_Drag)->DenseRange(0, 3);
BENCHMARK(BM_Turn)->DenseRange(0, 3);
BENCHMARK(BM_FlatRebuild)->DenseRange(0, 3);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  vellix_bench::FrameReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printf(
      "\nper frame, median (goal <= 30 us, 0 allocations); baseline: the same grid rebuilt flat\n");
  for (int i = 0; i < 4; ++i) {
    Grid const& g = kGrids[i];
    std::string const arg = "/" + std::to_string(i);
    double flat = reporter.Get("BM_FlatRebuild" + arg, "median_us");
    for (char const* what : {"BM_Drag", "BM_Turn"}) {
      double us = reporter.Get(what + arg, "median_us");
      double best = reporter.Get(what + arg, "min_us");
      double allocs = reporter.Get(what + arg, "allocs/frame");
      if (us < 0 || flat <= 0)
        continue;
      printf(
          "%-5s %-22s %3dx%-3d %7.2f us (min %5.2f)  flat %6.2f us  ratio %5.2f  "
          "allocs/frame %.2f%s\n",
          what + 3, g.name, g.cols, Rows(g), us, best, flat, us / flat, allocs,
          us <= 30.0 && allocs == 0.0 ? "" : "  (goal missed)");
    }
  }
  benchmark::Shutdown();
  return 0;
}
