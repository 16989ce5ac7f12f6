#include "codegen/estimate/exchange_storage.h"

#include <gtest/gtest.h>

#include <initializer_list>

#include "runtime/siphash.h"

namespace {

using tarn_codegen::estimate::captured_phase;
using tarn_codegen::estimate::ExchangeStorageEstimator;
using tarn_codegen::exchange::ExchangeItemWidth;
using tarn_codegen::exchange::ExchangeScheduleDestination;
using tarn_codegen::exchange::ExchangeScheduleProblem;
using tarn_codegen::exchange::ExchangeScheduleTransfer;

using Sizes = std::vector<std::uint64_t>;

ExchangeScheduleTransfer transfer(std::uint16_t source, std::initializer_list<ExchangeScheduleDestination> destinations,
                                  std::uint32_t words, std::initializer_list<std::uint32_t> sources = {0x1000},
                                  ExchangeItemWidth width = ExchangeItemWidth::Word32) {
  ExchangeScheduleTransfer t;
  t.source = source;
  t.source_addresses.assign(sources.begin(), sources.end());
  t.destinations.assign(destinations.begin(), destinations.end());
  t.words = words;
  t.width = width;
  return t;
}

ExchangeScheduleProblem problem(std::initializer_list<ExchangeScheduleTransfer> transfers) {
  return ExchangeScheduleProblem{0, std::vector<ExchangeScheduleTransfer>(transfers)};
}

TEST(ExchangeStorage, RowSizesOfOnePhase) {
  struct Case {
    const char* name;
    ExchangeScheduleProblem phase;
    Sizes sizes;
  };
  const Case cases[] = {
      // Sender: entry 8 + send 8; receiver: entry 8 + receive 8 + a new address 4.
      {"one transfer", problem({transfer(0, {{1, 0x2000}}, 16)}), {16, 24, 8, 8}},
      // A send of more than 64 words needs a continuation word.
      {"64 words", problem({transfer(0, {{1, 0x2000}}, 64)}), {16, 24, 8, 8}},
      {"65 words", problem({transfer(0, {{1, 0x2000}}, 65)}), {24, 24, 8, 8}},
      // The second receive starts where the first ended: no new address.
      {"contiguous receives",
       problem({transfer(0, {{3, 0x2000}}, 16), transfer(1, {{3, 0x2040}}, 16), transfer(2, {{3, 0x2080}}, 16)}),
       {16, 16, 16, 40}},
      {"gaps between receives",
       problem({transfer(0, {{3, 0x2000}}, 16), transfer(1, {{3, 0x2044}}, 16), transfer(2, {{3, 0x2088}}, 16)}),
       {16, 16, 16, 48}},
      {"multicast", problem({transfer(3, {{0, 0x10}, {1, 0x10}, {2, 0x10}}, 2)}), {24, 24, 24, 16}},
      {"empty phase", problem({}), {8, 8, 8, 8}},
  };
  for (const auto& c : cases) {
    ExchangeStorageEstimator estimator(4);
    EXPECT_EQ(estimator.add_phase(c.phase), c.sizes) << c.name;
  }
}

TEST(ExchangeStorage, AddressWordsCountSendsAndNewReceiveAddresses) {
  const auto phase = captured_phase(
      3, std::vector{transfer(0, {{2, 0x2000}}, 16), transfer(1, {{2, 0x2040}}, 16), transfer(0, {{1, 0}}, 1)});
  EXPECT_EQ(phase.address_words, (Sizes{2, 2, 1}));
  EXPECT_EQ(phase.row_bytes, (Sizes{24, 28, 28}));
}

TEST(ExchangeStorage, FingerprintsHashTheEntryBytesInOrder) {
  // One 16-word transfer from tile 3 to tile 1 of a two-destination multicast.
  const auto phase = captured_phase(4, std::vector{transfer(3, {{1, 0x2000}, {2, 0x2000}}, 16)});
  const auto hash = [](std::initializer_list<unsigned> bytes) {
    std::vector<std::byte> entry;
    for (const unsigned b : bytes) entry.push_back(std::byte(b));
    return tarn_runtime::siphash13(entry);
  };
  // Tag, tile (2 bytes), payload bytes (8), width (1), destination count (8), little-endian.
  const std::uint64_t send_to_1 = hash({0, 1, 0, 64, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0});
  const std::uint64_t send_to_2 = hash({0, 2, 0, 64, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0});
  const std::uint64_t receive = hash({1, 3, 0, 64, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0});
  const std::uint64_t new_address = 0x448e2596803b761bULL;  // the entry 2, 1
  constexpr std::uint64_t kMultiplier = 0x9e3779b185ebca87ULL;
  EXPECT_EQ(phase.fingerprint[3], send_to_1 * kMultiplier + send_to_2);
  EXPECT_EQ(phase.fingerprint[1], receive * kMultiplier + new_address);
  EXPECT_EQ(phase.fingerprint[0], 0u);
}

TEST(ExchangeStorage, RepeatedPhaseSharesRowsAndPatchesAddresses) {
  // Tile 0 sends twice (2 address words), tile 1 receives once (1), tile 2
  // sends with two repeat iterations (never shared), tile 3 receives from 2,
  // tile 4 is idle.
  const auto phase = problem({transfer(0, {{1, 0x2000}}, 16), transfer(0, {{3, 0x100}}, 4),
                              transfer(2, {{3, 0x400}}, 8, {0x800, 0x900})});
  ExchangeStorageEstimator estimator(5);
  const Sizes first = estimator.add_phase(phase);
  EXPECT_EQ(first, (Sizes{24, 24, 16, 32, 8}));
  EXPECT_EQ(std::vector(estimator.totals().begin(), estimator.totals().end()), first);

  // The returned sizes are always unshared; the totals share.
  EXPECT_EQ(estimator.add_phase(phase), first);
  // First reuse: 12 bytes per address word, rounded up to 8; never-shared tile 2 pays in full.
  EXPECT_EQ(std::vector(estimator.totals().begin(), estimator.totals().end()),
            (Sizes{24 + 24, 24 + 16, 16 + 16, 32 + 24, 8 + 0}));
  estimator.add_phase(phase);
  // Later reuses: 4 bytes per address word, rounded up to 8.
  EXPECT_EQ(std::vector(estimator.totals().begin(), estimator.totals().end()),
            (Sizes{48 + 8, 40 + 8, 32 + 16, 56 + 8, 8}));
  EXPECT_EQ(estimator.maximum_bytes(), 64u);
}

TEST(ExchangeStorage, RowsDifferingInOrderAreNotShared) {
  const auto a = transfer(0, {{2, 0x2000}}, 16);
  const auto b = transfer(1, {{2, 0x3000}}, 16);
  ExchangeStorageEstimator estimator(3);
  estimator.add_phase(problem({a, b}));
  estimator.add_phase(problem({b, a}));
  // Tile 2 received the same two payloads in the other order: stored again in full.
  EXPECT_EQ(estimator.totals()[2], 32u + 32u);
  // Tiles 0 and 1 each sent the same single transfer: shared, 12 bytes rounded to 16.
  EXPECT_EQ(estimator.totals()[0], 16u + 16u);
}

TEST(ExchangeStorage, EmptyEstimators) {
  EXPECT_EQ(ExchangeStorageEstimator(4).maximum_bytes(), 0u);
  ExchangeStorageEstimator no_tiles(0);
  EXPECT_EQ(no_tiles.add_phase(problem({})), Sizes{});
  EXPECT_EQ(no_tiles.maximum_bytes(), 0u);
}

TEST(ExchangeStorage, TilesBeyondTheTileCountAreIgnored) {
  ExchangeStorageEstimator estimator(2);
  EXPECT_EQ(estimator.add_phase(problem({transfer(0, {{7, 0}}, 4), transfer(9, {{1, 0}}, 4)})), (Sizes{16, 8}));
}

}  // namespace
