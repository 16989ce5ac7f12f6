// Figures of the footprint-only run on a large snapshot:
//  - validation plus storage estimation, as a ratio to reading the snapshot;
//  - building the scheduling problem of hazard-rich (and mixed) phases of N
//    and 2N transfers, as a ratio of the two times (near-linear growth is
//    wanted; the edge counts are printed, since the output grows too).
// Usage: footprint-run-bench SNAPSHOT [ROUNDS] [N]
// Times are medians over the rounds, read from a monotonic clock.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "codegen/estimate/exchange_storage.h"
#include "codegen/exchange/error.h"
#include "codegen/exchange/problem.h"
#include "codegen/exchange/snapshot_reader.h"
#include "tools/snapshot_gen/generator.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace ex = tarn_codegen::exchange;

double milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

template <class F>
double time_ms(F&& f) {
  const auto start = Clock::now();
  f();
  return milliseconds(Clock::now() - start);
}

ex::ExchangeScheduleProblem generated_phase(tarn_snapshot_gen::Family family, std::uint32_t transfers,
                                            std::uint64_t seed) {
  tarn_snapshot_gen::GeneratorOptions options;
  options.family = family;
  options.tile_count = 1472;
  options.transfers_per_phase = transfers;
  options.phases = 1;
  options.seed = seed;
  auto snapshot = tarn_snapshot_gen::generate_snapshot(options);
  if (!snapshot) std::exit(1);
  return std::move(snapshot->phases.front());
}

// Two independent phases side by side, the second's memory moved clear of
// the first: twice the transfers at the same hazard density.
ex::ExchangeScheduleProblem doubled_phase(tarn_snapshot_gen::Family family, std::uint32_t transfers) {
  ex::ExchangeScheduleProblem phase = generated_phase(family, transfers, 7);
  ex::ExchangeScheduleProblem other = phase;
  for (auto& t : other.transfers) {
    for (auto& a : t.source_addresses) a += 0x100000;
    for (auto& d : t.destinations) d.address += 0x100000;
    phase.transfers.push_back(std::move(t));
  }
  return phase;
}

double problem_build_ms(const char* label, const ex::ExchangeScheduleProblem& phase, int rounds) {
  const auto pending = ex::pending_from_problem(phase, 1472);
  if (!pending) std::exit(1);
  std::size_t accesses = 0;
  for (const auto& t : *pending) accesses += t.source_addresses.size() + t.destinations.size();
  std::vector<double> times;
  std::size_t edges = 0;
  for (int r = 0; r < rounds; ++r) {
    times.push_back(time_ms([&] {
      const ex::SchedulingProblem problem(*pending, 1472);
      edges = 0;
      for (std::size_t t = 0; t < problem.successors.size(); ++t) edges += problem.successors[t].size();
    }));
  }
  const double result = median(times);
  std::printf("scheduling problem: %s, %zu transfers, %zu memory accesses, %zu dependency edges, median %.3f ms\n",
              label, pending->size(), accesses, edges, result);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: footprint-run-bench SNAPSHOT [ROUNDS] [N]\n");
    return 2;
  }
  const std::string path = argv[1];
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  const std::uint32_t n = argc > 3 ? static_cast<std::uint32_t>(std::atoi(argv[3])) : 20000;

  std::vector<double> read, validate, footprint;
  std::size_t phases = 0, transfers = 0;
  for (int r = 0; r < rounds; ++r) {
    ex::ExchangeScheduleSnapshot snapshot;
    read.push_back(time_ms([&] {
      auto result = ex::read_snapshot_file(path);
      if (!result) {
        std::fputs(result.error().render().c_str(), stderr);
        std::exit(1);
      }
      snapshot = std::move(*result);
    }));
    validate.push_back(time_ms([&] {
      if (auto valid = snapshot.validate(); !valid) {
        std::fprintf(stderr, "invalid: %s\n", valid.error().message().c_str());
        std::exit(1);
      }
    }));
    std::uint64_t maximum = 0;
    footprint.push_back(time_ms([&] {
      tarn_codegen::estimate::ExchangeStorageEstimator estimator(snapshot.tile_count);
      for (const auto& problem : snapshot.phases) estimator.add_phase(problem);
      maximum = estimator.maximum_bytes();
    }));
    phases = snapshot.phases.size();
    transfers = 0;
    for (const auto& problem : snapshot.phases) transfers += problem.transfers.size();
    if (maximum == 0 && transfers > 0) std::exit(1);
  }
  const double read_ms = median(read), validate_ms = median(validate), footprint_ms = median(footprint);
  std::printf("snapshot: %s, %zu phases, %zu transfers, %d rounds\n", path.c_str(), phases, transfers, rounds);
  std::printf("read (file and parse): median %.3f ms\n", read_ms);
  std::printf("validate: median %.3f ms\n", validate_ms);
  std::printf("footprint estimation: median %.3f ms\n", footprint_ms);
  std::printf("(validate + footprint) / read = %.3f\n", (validate_ms + footprint_ms) / read_ms);

  using tarn_snapshot_gen::Family;
  const auto ratio = [&](const char* what, double one, double two) {
    std::printf("scheduling problem 2N / N = %.3f (%s)\n", two / one, what);
  };
  // The generator's hazard family at 2N transfers on the same 1472 tiles is
  // twice as dense, so its dependency edges grow faster than the transfers.
  // Arguments are evaluated in no fixed order: time N before 2N explicitly.
  double one = problem_build_ms("hazard N", generated_phase(Family::Hazard, n, 7), rounds);
  double two = problem_build_ms("hazard 2N", generated_phase(Family::Hazard, 2 * n, 7), rounds);
  ratio("hazard family, density doubles", one, two);
  two = problem_build_ms("hazard 2N side by side", doubled_phase(Family::Hazard, n), rounds);
  ratio("hazard family, same density", one, two);
  one = problem_build_ms("mix N", generated_phase(Family::Mix, n, 7), rounds);
  two = problem_build_ms("mix 2N", generated_phase(Family::Mix, 2 * n, 7), rounds);
  ratio("mix family", one, two);
  return 0;
}
