// Conflict queries on one busy memory element: MemoryHistory's bisection over
// the running maximum against a linear scan of the same recorded intervals.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "codegen/exchange/hazards.h"

namespace {

using tarn_codegen::exchange::ExchangeMemoryElement;
using tarn_codegen::exchange::MemoryHistory;

constexpr std::size_t kIntervals = 10'000;
constexpr std::size_t kQueries = 4096;  // power of two, cycled through
constexpr ExchangeMemoryElement kElement{0, 5};

struct Window {
  std::uint32_t start;
  std::uint32_t end;
};

// Windows of transfer-like lengths spread over a long phase, so a query
// overlaps a handful of recorded intervals or none.
std::vector<Window> random_windows(std::size_t count, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<std::uint32_t> start(0, 4'000'000);
  std::uniform_int_distribution<std::uint32_t> length(8, 4200);
  std::vector<Window> windows(count);
  for (Window& window : windows) {
    window.start = start(random);
    window.end = window.start + length(random);
  }
  return windows;
}

struct Fixture {
  std::vector<Window> recorded = random_windows(kIntervals, 1);
  std::vector<Window> queries = random_windows(kQueries, 2);
  MemoryHistory history;

  Fixture() {
    const ExchangeMemoryElement elements[] = {kElement};
    for (const Window& window : recorded) {
      history.record(elements, window.start, window.end);
    }
  }
};

const Fixture& fixture() {
  static const Fixture instance;
  return instance;
}

void BM_ConflictEndBisection(benchmark::State& state) {
  const Fixture& f = fixture();
  const ExchangeMemoryElement elements[] = {kElement};
  std::size_t next = 0;
  for (auto _ : state) {
    const Window& q = f.queries[next++ & (kQueries - 1)];
    std::optional<std::uint32_t> end = f.history.conflict_end(elements, q.start, q.end);
    benchmark::DoNotOptimize(end);
  }
}
BENCHMARK(BM_ConflictEndBisection);

void BM_ConflictEndLinearScan(benchmark::State& state) {
  const Fixture& f = fixture();
  std::size_t next = 0;
  for (auto _ : state) {
    const Window& q = f.queries[next++ & (kQueries - 1)];
    // An overlapping end is above q.start, so 0 can stand for "none" and the
    // loop stays free of branches the compiler cannot vectorise.
    std::uint32_t best = 0;
    for (const Window& r : f.recorded) {
      best = std::max(best, r.start < q.end && r.end > q.start ? r.end : 0);
    }
    std::optional<std::uint32_t> end = best == 0 ? std::nullopt : std::optional<std::uint32_t>(best);
    benchmark::DoNotOptimize(end);
  }
}
BENCHMARK(BM_ConflictEndLinearScan);

}  // namespace

BENCHMARK_MAIN();
