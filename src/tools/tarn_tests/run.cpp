#include "tools/tarn_tests/run.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "codegen/estimate/exchange_storage.h"
#include "codegen/exchange/error.h"
#include "codegen/exchange/snapshot_reader.h"

namespace tarn_tests {
namespace {

using tarn_codegen::exchange::ExchangeScheduleProblem;
using tarn_codegen::exchange::ExchangeScheduleSnapshot;
using tarn_runtime::ErrorChain;
using Clock = std::chrono::steady_clock;

// Writes one line to standard output and flushes it, so that it is not lost
// when the run fails later.
std::expected<void, ErrorChain> print_line(std::string_view line) {
  if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() || std::fputc('\n', stdout) == EOF ||
      std::fflush(stdout) != 0) {
    const int error = errno;
    return std::unexpected(
        ErrorChain(tarn_runtime::os_error_text(error)).context("write standard output"));
  }
  return {};
}

// Keeps only the first source address of every transfer: the behaviour before
// repeat-aware hazard checking.
void cut_to_first_iteration(ExchangeScheduleSnapshot& snapshot) {
  for (auto& problem : snapshot.phases) {
    for (auto& transfer : problem.transfers) {
      if (transfer.source_addresses.size() > 1) transfer.source_addresses.resize(1);
    }
  }
}

std::expected<std::vector<const ExchangeScheduleProblem*>, ErrorChain> select_problems(
    const ExchangeScheduleSnapshot& snapshot, const std::vector<std::uint32_t>& phase_ids) {
  const std::set<std::uint32_t> wanted(phase_ids.begin(), phase_ids.end());
  if (wanted.size() < phase_ids.size()) return std::unexpected(ErrorChain("--phase contains a duplicate phase ID"));
  for (const std::uint32_t id : wanted) {
    const bool present = std::any_of(snapshot.phases.begin(), snapshot.phases.end(),
                                     [id](const ExchangeScheduleProblem& p) { return p.phase == id; });
    if (!present) return std::unexpected(ErrorChain(fmt::format("snapshot does not contain phase {}", id)));
  }
  std::vector<const ExchangeScheduleProblem*> selected;
  for (const auto& problem : snapshot.phases) {
    if (wanted.empty() || wanted.contains(problem.phase)) selected.push_back(&problem);
  }
  return selected;
}

}  // namespace

std::string format_milliseconds(std::chrono::nanoseconds duration) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
  const auto nanos = duration - seconds;
  const double ms = (static_cast<double>(seconds.count()) + static_cast<double>(nanos.count()) / 1e9) * 1000.0;
  return fmt::format("{:.3f}", ms);
}

std::expected<void, ErrorChain> run_benchmark(const Arguments& args) {
  if (args.iterations == 0) return std::unexpected(ErrorChain("--iterations must be nonzero"));

  auto snapshot = tarn_codegen::exchange::read_snapshot_file(args.snapshot);
  if (!snapshot) return std::unexpected(std::move(snapshot.error()));
  if (auto valid = snapshot->validate(); !valid) return std::unexpected(ErrorChain(valid.error().message()));

  if (args.first_iteration_only) cut_to_first_iteration(*snapshot);

  auto selected = select_problems(*snapshot, args.phases);
  if (!selected) return std::unexpected(std::move(selected.error()));

  if (auto printed = print_line(fmt::format("snapshot={} tiles={} phases={} warmup={} iterations={} repeatAware={}",
                                            args.snapshot, snapshot->tile_count, selected->size(), args.warmup,
                                            args.iterations, !args.first_iteration_only));
      !printed) {
    return printed;
  }
  const auto total_start = Clock::now();

  tarn_codegen::estimate::ExchangeStorageEstimator estimator(snapshot->tile_count);
  std::vector<std::uint64_t> unshared_totals(snapshot->tile_count, 0);

  for (const ExchangeScheduleProblem* problem : *selected) {
    const auto footprint_start = Clock::now();
    const std::vector<std::uint64_t> row_bytes = estimator.add_phase(*problem);
    const auto footprint_time = Clock::now() - footprint_start;
    for (std::size_t tile = 0; tile < std::min(row_bytes.size(), unshared_totals.size()); ++tile) {
      unshared_totals[tile] += row_bytes[tile];
    }
    const std::uint64_t phase_maximum = row_bytes.empty() ? 0 : *std::max_element(row_bytes.begin(), row_bytes.end());
    if (auto printed = print_line(fmt::format("phase={} estimatedMaximumRowBytes={} footprintMs={}", problem->phase,
                                              phase_maximum, format_milliseconds(footprint_time)));
        !printed) {
      return printed;
    }
    if (args.footprint_only) continue;

    return std::unexpected(ErrorChain(
        "scheduling runs are not built yet; use --footprint-only for the storage estimates"));
  }

  const std::uint64_t unshared_maximum =
      unshared_totals.empty() ? 0 : *std::max_element(unshared_totals.begin(), unshared_totals.end());
  if (auto printed = print_line(fmt::format("estimatedMaximumTableBytes={} unsharedMaximumTableBytes={}",
                                            estimator.maximum_bytes(), unshared_maximum));
      !printed) {
    return printed;
  }
  const auto total_time = Clock::now() - total_start;
  return print_line(fmt::format("totalMs={}", format_milliseconds(total_time)));
}

}  // namespace tarn_tests
