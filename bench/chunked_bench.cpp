// What the phase program builder does for every placement it tries: copy a
// tile's sequence, insert one element near its end, throw the copy away.
// Chunked shares all untouched chunks; std::vector copies everything.
// The read benchmarks show what the chunk indirection costs the encoder.
#include "exchange/chunked.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace {

// Near the end, yet far enough back that the insert carries into the next chunk.
std::size_t insert_position(std::size_t length) { return length - length / 1000 - 1; }

tarn_exchange::Chunked<std::uint32_t> counting_chunked(std::size_t length) {
  tarn_exchange::Chunked<std::uint32_t> seq;
  for (std::size_t i = 0; i < length; ++i) seq.push(static_cast<std::uint32_t>(i));
  return seq;
}

std::vector<std::uint32_t> counting_vector(std::size_t length) {
  std::vector<std::uint32_t> seq;
  for (std::size_t i = 0; i < length; ++i) seq.push_back(static_cast<std::uint32_t>(i));
  return seq;
}

void BM_ChunkedCopyAndInsertNearEnd(benchmark::State& state) {
  const auto length = static_cast<std::size_t>(state.range(0));
  const tarn_exchange::Chunked<std::uint32_t> original = counting_chunked(length);
  for (auto _ : state) {
    tarn_exchange::Chunked<std::uint32_t> copy = original;
    copy.insert(insert_position(length), 0xdeadbeef);
    benchmark::DoNotOptimize(copy);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_ChunkedCopyAndInsertNearEnd)->Arg(100'000)->Arg(1'000);

void BM_VectorCopyAndInsertNearEnd(benchmark::State& state) {
  const auto length = static_cast<std::size_t>(state.range(0));
  const std::vector<std::uint32_t> original = counting_vector(length);
  for (auto _ : state) {
    std::vector<std::uint32_t> copy = original;
    copy.insert(copy.begin() + static_cast<std::ptrdiff_t>(insert_position(length)), 0xdeadbeef);
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_VectorCopyAndInsertNearEnd)->Arg(100'000)->Arg(1'000);

void BM_ChunkedIterate(benchmark::State& state) {
  const tarn_exchange::Chunked<std::uint32_t> seq = counting_chunked(100'000);
  for (auto _ : state) {
    std::uint32_t sum = 0;
    for (std::uint32_t word : seq) sum += word;
    benchmark::DoNotOptimize(sum);
  }
}
BENCHMARK(BM_ChunkedIterate);

void BM_ChunkedIndex(benchmark::State& state) {
  const tarn_exchange::Chunked<std::uint32_t> seq = counting_chunked(100'000);
  for (auto _ : state) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < seq.len(); ++i) sum += seq[i];
    benchmark::DoNotOptimize(sum);
  }
}
BENCHMARK(BM_ChunkedIndex);

void BM_VectorIndex(benchmark::State& state) {
  const std::vector<std::uint32_t> seq = counting_vector(100'000);
  for (auto _ : state) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < seq.size(); ++i) sum += seq[i];
    benchmark::DoNotOptimize(sum);
  }
}
BENCHMARK(BM_VectorIndex);

}  // namespace

BENCHMARK_MAIN();
