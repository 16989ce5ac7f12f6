// Snapshot reading: peak memory of read_snapshot_file as a multiple of the
// file size, and the throughput of typed reading against simdjson's own DOM
// parse of the same bytes, measured in one process.
//
//   python3 bench/gen_large_snapshot.py /tmp/large-snapshot.json
//   build/release/bench/snapshot-read-bench /tmp/large-snapshot.json [rounds]
//
// Goals: typed/DOM throughput ratio at least 0.5; peak memory at most 3x the
// file size. File I/O is outside both timings: both parse the same padded
// bytes in memory, and the DOM parser has parsed them once before. Each round
// is timed by the thread's CPU clock as well as the wall clock: on a busy
// shared machine the wall clock also counts time spent descheduled.
#include <fmt/format.h>
#include <simdjson.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdlib>
#include <string>
#include <vector>

#include "codegen/exchange/snapshot_reader.h"

namespace {

using tarn_codegen::exchange::ExchangeScheduleSnapshot;

// Peak resident set size of the process so far, in bytes.
double peak_rss() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) * 1024.0;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double thread_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Timing {
  double wall;
  double cpu;
};

template <class F>
Timing timed(F&& f) {
  const double cpu_start = thread_cpu_seconds();
  const auto wall_start = std::chrono::steady_clock::now();
  f();
  const auto wall_end = std::chrono::steady_clock::now();
  return {std::chrono::duration<double>(wall_end - wall_start).count(), thread_cpu_seconds() - cpu_start};
}

struct Series {
  std::vector<double> wall;
  std::vector<double> cpu;
  void add(Timing t) {
    wall.push_back(t.wall);
    cpu.push_back(t.cpu);
  }
};

std::size_t transfer_count(const ExchangeScheduleSnapshot& snapshot) {
  std::size_t n = 0;
  for (const auto& problem : snapshot.phases) n += problem.transfers.size();
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fmt::print(stderr, "usage: {} SNAPSHOT [ROUNDS]\n", argv[0]);
    return 2;
  }
  const std::string path = argv[1];
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 9;

  // 1. Peak memory, first, before anything else large exists.
  const double peak_before = peak_rss();
  std::size_t phases = 0;
  std::size_t transfers = 0;
  {
    const auto snapshot = tarn_codegen::exchange::read_snapshot_file(path);
    if (!snapshot) {
      fmt::print(stderr, "{}", snapshot.error().render());
      return 1;
    }
    phases = snapshot->phases.size();
    transfers = transfer_count(*snapshot);
  }
  const double peak_after = peak_rss();

  simdjson::padded_string bytes;
  if (auto error = simdjson::padded_string::load(path).get(bytes)) {
    fmt::print(stderr, "cannot load {}: {}\n", path, simdjson::error_message(error));
    return 1;
  }
  const double size = static_cast<double>(bytes.size());
  const double megabytes = size / 1e6;

  fmt::print("file: {} ({:.1f} MB, {} phases, {} transfers)\n", path, megabytes, phases, transfers);
  fmt::print("simdjson kernels: active {}, library builtin {}, compiled into the reader {}\n",
             simdjson::get_active_implementation()->name(), simdjson::builtin_implementation()->name(),
             tarn_codegen::exchange::snapshot_reader_kernel());
  fmt::print("peak memory of reading: {:.1f} MB = {:.2f} x file size (peak RSS {:.1f} -> {:.1f} MB)\n",
             (peak_after - peak_before) / 1e6, (peak_after - peak_before) / size, peak_before / 1e6,
             peak_after / 1e6);

  // 2. Throughput, rounds interleaved so that drift affects both alike.
  simdjson::dom::parser dom;
  simdjson::dom::element root;
  if (auto error = dom.parse(bytes).get(root)) {
    fmt::print(stderr, "DOM parse failed: {}\n", simdjson::error_message(error));
    return 1;
  }
  const std::string_view text(bytes.data(), bytes.size());
  Series dom_times;
  Series typed_times;
  for (int round = 0; round <= rounds; ++round) {
    simdjson::error_code dom_error{};
    const Timing dom_time = timed([&] { dom_error = dom.parse(bytes).get(root); });
    std::expected<ExchangeScheduleSnapshot, tarn_codegen::exchange::SnapshotReadError> typed;
    const Timing typed_time = timed([&] { typed = tarn_codegen::exchange::parse_padded_snapshot(text); });
    if (dom_error || !typed) {
      fmt::print(stderr, "round {} failed: {}\n", round,
                 dom_error ? simdjson::error_message(dom_error) : typed.error().message);
      return 1;
    }
    if (round == 0) continue;  // warms the typed reader's parser and the allocator
    dom_times.add(dom_time);
    typed_times.add(typed_time);
  }
  fmt::print("rounds: {} interleaved, medians     CPU time          wall clock\n", rounds);
  const auto line = [&](const char* name, const Series& series) {
    const double cpu = median(series.cpu);
    const double wall = median(series.wall);
    fmt::print("  {:<14} {:7.1f} ms {:6.0f} MB/s  {:7.1f} ms {:6.0f} MB/s\n", name, cpu * 1e3, megabytes / cpu,
               wall * 1e3, megabytes / wall);
  };
  line("DOM parse", dom_times);
  line("typed reading", typed_times);
  fmt::print("throughput ratio typed/DOM: {:.2f} by CPU time, {:.2f} by wall clock (goal >= 0.5)\n",
             median(dom_times.cpu) / median(typed_times.cpu), median(dom_times.wall) / median(typed_times.wall));
  fmt::print("peak memory / file size: {:.2f} (goal <= 3)\n", (peak_after - peak_before) / size);
  return 0;
}
