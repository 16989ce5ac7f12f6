// What the phase program builder asks of the encoder for every placement it
// checks: a tile program of 10,000 receive controls gains one control at its
// end and is encoded again. Resumed through the cache protocol, only the words
// after the last checkpoint are emitted again; the full encoding of the same
// changed schedule is the reference. Both variants copy and change the
// schedule in the timed loop, so the ratio compares the encodings alone.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstdio>

#include "exchange/encoding.h"
#include "exchange/schedule.h"
#include "exchange/words.h"

namespace {

using namespace tarn_exchange;

constexpr std::size_t kEvents = 10'000;

// Receives as a busy tile sees them: source selections, receive pointers and
// teardowns a few cycles apart, every fourth receive opening with a source
// and pointer set together (a SENDPICP).
TileProgramSchedule busy_receiver() {
  TileProgramSchedule schedule;
  std::uint32_t cycle = 0;
  std::uint32_t receive = 0;
  while (schedule.receives.len() < kEvents) {
    cycle += 3 + receive % 11;
    const std::uint32_t source = 0x64000000u | (receive * 37 % 0x600);
    const std::uint32_t pointer = 0x60000000u | (receive * 64 % 0x3ffff);
    if (receive % 4 == 0) {
      schedule.receives.push({cycle, source, ReceiveEventKind::Source});
      schedule.receives.push({cycle, pointer, ReceiveEventKind::Pointer});
      cycle += 2;
    } else {
      schedule.receives.push({cycle, source, ReceiveEventKind::Source});
      cycle += 5;
      schedule.receives.push({cycle, pointer, ReceiveEventKind::Pointer});
    }
    cycle += 20 + receive % 40;
    schedule.receives.push({cycle, 0x64000640u, ReceiveEventKind::Teardown});
    ++receive;
  }
  schedule.receives.truncate(kEvents);
  schedule.horizon = schedule.receives[kEvents - 1].cycle + 10;
  return schedule;
}

// The encoded base and the control appended to it.
struct Workload {
  TileProgramSchedule base;
  ReceiveEvent appended;
};

const Workload& workload() {
  static const Workload w = [] {
    Workload out{busy_receiver(), {}};
    if (!out.base.encoded()) {
      std::fprintf(stderr, "benchmark schedule does not encode\n");
      std::abort();
    }
    out.appended = {out.base.horizon - 4, 0x64000640u, ReceiveEventKind::Teardown};
    return out;
  }();
  return w;
}

// A copy of the encoded base with one control appended, following the cache
// protocol as the builder does.
TileProgramSchedule appended_copy(const Workload& w) {
  TileProgramSchedule copy = w.base;
  copy.begin_change();
  copy.receives.push(w.appended);
  copy.receive_changed_at(copy.receives.len() - 1);
  copy.horizon += 20;
  return copy;
}

void BM_ReencodeAfterAppendResumed(benchmark::State& state) {
  const Workload& w = workload();
  for (auto _ : state) {
    TileProgramSchedule copy = appended_copy(w);
    auto encoded = copy.encoded();
    if (!encoded) state.SkipWithError("encoding failed");
    benchmark::DoNotOptimize(encoded);
  }
  state.counters["words"] = static_cast<double>(w.base.cache->words.len());
}
BENCHMARK(BM_ReencodeAfterAppendResumed);

void BM_ReencodeAfterAppendFull(benchmark::State& state) {
  const Workload& w = workload();
  for (auto _ : state) {
    TileProgramSchedule copy = appended_copy(w);
    auto encoded = encoding::build_scheduled_program(copy, copy.receives, copy.horizon, encoding::EncodingHint{});
    if (!encoded) state.SkipWithError("encoding failed");
    benchmark::DoNotOptimize(encoded);
  }
  state.counters["words"] = static_cast<double>(w.base.cache->words.len());
}
BENCHMARK(BM_ReencodeAfterAppendFull);

}  // namespace

BENCHMARK_MAIN();
