// The scheduling problem: conversion, dependency graph, pressure and receive configuration.
#include "codegen/exchange/problem.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

namespace {

using namespace tarn_codegen::exchange;

PendingTransfer pending(std::uint16_t source, std::vector<std::uint32_t> sources,
                        std::vector<ExchangeScheduleDestination> destinations, std::uint32_t words,
                        ExchangeItemWidth width = ExchangeItemWidth::Word32) {
  PendingTransfer t;
  t.source = source;
  t.source_addresses.assign(sources.begin(), sources.end());
  t.destinations.assign(destinations.begin(), destinations.end());
  t.words = words;
  t.width = width;
  if (width == ExchangeItemWidth::Paired64) t.partner = static_cast<std::uint16_t>(source ^ 1);
  t.refresh_source_elements();
  return t;
}

using Edges = std::set<std::pair<std::uint32_t, std::uint32_t>>;

Edges edges_of(const SchedulingProblem& problem) {
  Edges edges;
  for (std::uint32_t to = 0; to < problem.predecessors.size(); ++to) {
    for (const std::uint32_t from : problem.predecessors[to]) edges.emplace(from, to);
  }
  Edges forward;
  for (std::uint32_t from = 0; from < problem.successors.size(); ++from) {
    for (const std::uint32_t to : problem.successors[from]) forward.emplace(from, to);
  }
  EXPECT_EQ(edges, forward) << "predecessor and successor lists disagree";
  return edges;
}

// b must follow a (a < b) when both touch one byte of one tile, at least one
// of them writes it, and no third transfer writes that byte in between.
Edges brute_force_edges(std::span<const PendingTransfer> transfers) {
  // tile -> byte -> accesses (transfer, write) in transfer order
  std::map<std::uint16_t, std::map<std::uint64_t, std::vector<std::pair<std::uint32_t, bool>>>> bytes;
  for (std::uint32_t t = 0; t < transfers.size(); ++t) {
    const auto& transfer = transfers[t];
    for (const std::uint32_t a : transfer.source_addresses) {
      for (std::uint64_t b = a; b < a + 4ull * transfer.words; ++b) bytes[transfer.source][b].emplace_back(t, false);
    }
    for (const auto& d : transfer.destinations) {
      for (std::uint64_t b = d.address; b < d.address + 4ull * transfer.words; ++b) bytes[d.tile][b].emplace_back(t, true);
    }
  }
  Edges edges;
  for (const auto& [tile, per_byte] : bytes) {
    for (const auto& [byte, accesses] : per_byte) {
      for (std::size_t i = 0; i < accesses.size(); ++i) {
        for (std::size_t j = i + 1; j < accesses.size(); ++j) {
          const auto [a, a_writes] = accesses[i];
          const auto [b, b_writes] = accesses[j];
          if (a == b || !(a_writes || b_writes)) continue;
          bool written_between = false;
          for (std::size_t k = i + 1; k < j; ++k) {
            if (accesses[k].second && accesses[k].first != a && accesses[k].first != b) written_between = true;
          }
          if (!written_between) edges.emplace(a, b);
        }
      }
    }
  }
  return edges;
}

TEST(SchedulingProblem, DependencyGraphMatchesPairwiseModel) {
  std::mt19937 random(20261211);
  const auto pick = [&](std::uint32_t n) { return static_cast<std::uint32_t>(random() % n); };
  for (int round = 0; round < 400; ++round) {
    const std::uint16_t tiles = static_cast<std::uint16_t>(2 + pick(3));
    std::vector<PendingTransfer> transfers;
    const std::uint32_t count = 1 + pick(8);
    for (std::uint32_t i = 0; i < count; ++i) {
      const auto source = static_cast<std::uint16_t>(pick(tiles));
      std::vector<std::uint32_t> sources;
      for (std::uint32_t s = 0, n = 1 + pick(2); s < n; ++s) sources.push_back(4 * pick(12));
      std::vector<ExchangeScheduleDestination> destinations;
      for (std::uint16_t d = 0; d < tiles; ++d) {
        if (d != source && pick(2) == 0) destinations.push_back({d, 4 * pick(12)});
      }
      if (destinations.empty()) destinations.push_back({static_cast<std::uint16_t>((source + 1) % tiles), 0});
      transfers.push_back(pending(source, sources, destinations, 1 + pick(5)));
    }
    const SchedulingProblem problem(transfers, tiles);
    const Edges edges = edges_of(problem);
    ASSERT_EQ(edges, brute_force_edges(transfers)) << "round " << round;
    for (std::uint32_t t = 0; t < problem.predecessors.size(); ++t) {
      const auto list = problem.predecessors[t];
      EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
      for (const std::uint32_t from : list) EXPECT_LT(from, t);  // no self-edges, always forward
    }
  }
}

TEST(SchedulingProblem, EdgesOfTheBasicHazards) {
  const std::vector<PendingTransfer> transfers = {
      pending(0, {0x100}, {{1, 0x2000}}, 4),  // 0 writes tile 1 [0x2000, 0x2010)
      pending(2, {0x100}, {{1, 0x2000}}, 4),  // 1 writes the same bytes: after 0
      pending(1, {0x2004}, {{3, 0x0}}, 1),    // 2 reads them: after 1 only
      pending(1, {0x2010}, {{3, 0x40}}, 1),   // 3 reads right after them: merely touching
      pending(0, {0x100}, {{2, 0x0}}, 4),     // 4 reads what 0 and 1 read on tile 0 and 2: no edge
      pending(3, {0x0}, {{0, 0x100}}, 1),     // 5 writes what 0 and 4 read on tile 0: after 0 and 4
  };
  const SchedulingProblem problem(transfers, 4);
  EXPECT_EQ(edges_of(problem), (Edges{{0, 1}, {1, 2}, {0, 5}, {4, 5}, {2, 5}}));
}

TEST(SchedulingProblem, PressureCountsItemsPerOccupiedTile) {
  const std::vector<PendingTransfer> transfers = {
      pending(2, {0x100}, {{5, 0x0}, {6, 0x0}}, 8, ExchangeItemWidth::Paired64),  // 4 items on 2, 3, 5, 6
      pending(0, {0x100}, {{5, 0x800}}, 8),                                      // 8 items on 0, 5
  };
  const SchedulingProblem problem(transfers, 8);
  EXPECT_EQ(problem.pressure, (std::vector<std::uint64_t>{8, 0, 4, 4, 0, 12, 4, 0}));
}

TEST(SchedulingProblem, EmptyProblem) {
  const std::vector<PendingTransfer> none;
  const SchedulingProblem problem(none, 3);
  EXPECT_EQ(problem.predecessors.size(), 0u);
  EXPECT_EQ(problem.pressure, (std::vector<std::uint64_t>{0, 0, 0}));
  EXPECT_EQ(receive_configuration(none, 3), (ReceiveConfiguration{{0, 0, 0}, {0, 0, 0}}));
}

TEST(SchedulingProblem, ReceiveConfiguration) {
  const std::vector<PendingTransfer> transfers = {
      pending(0, {0x0}, {{1, 0x2000}}, 1),               // tile 1's only receive
      pending(0, {0x0}, {{2, 0x3000}, {3, 0x3000}}, 1),  // two destinations: no base
      pending(0, {0x0}, {{4, 0x4000}}, 1),
      pending(1, {0x0}, {{4, 0x5000}}, 1),               // tile 4 receives twice: no base
  };
  EXPECT_EQ(receive_configuration(transfers, 5),
            (ReceiveConfiguration{{0, 1, 1, 1, 2}, {0, 0x2000, 0, 0, 0}}));
  EXPECT_EQ(receive_configuration(transfers, 4).error(), ExchangeLoweringError(ExchangeLoweringError::InvalidDestination{}));
}

TEST(PendingTransfer, ConversionCarriesEverythingAndCollectsSourceElements) {
  ExchangeScheduleProblem problem{3, {}};
  ExchangeScheduleTransfer t;
  t.source = 4;
  t.source_addresses = {0x7FFF8, 0x0, 0x3FF8};
  t.destinations = {{0, 0x100}, {9, 0x200}};
  t.words = 4;
  t.width = ExchangeItemWidth::Paired64;
  problem.transfers = {t, t};
  problem.transfers[1].width = ExchangeItemWidth::Word32;
  problem.transfers[1].source_addresses = {0x10};
  const auto converted = pending_from_problem(problem, 10);
  ASSERT_TRUE(converted) << converted.error().message();
  ASSERT_EQ(converted->size(), 2u);
  const PendingTransfer& first = (*converted)[0];
  EXPECT_EQ(first.partner, std::optional<std::uint16_t>(5));
  EXPECT_EQ(first.value, 0u);
  EXPECT_EQ((*converted)[1].value, 1u);
  EXPECT_EQ((*converted)[1].partner, std::nullopt);
  EXPECT_EQ(first.item_count(), 2u);
  EXPECT_EQ((*converted)[1].item_count(), 4u);
  // Every iteration's span counts: 0x7FFF8 crosses into region 1, 0x3FF8 into element 1.
  EXPECT_EQ(first.source_elements,
            (SpanElements{ExchangeMemoryElement{0, 0}, ExchangeMemoryElement{0, 1}, ExchangeMemoryElement{0, 31},
                          ExchangeMemoryElement{1, 0}}));
  EXPECT_EQ(first.pressure_resources(), (absl::InlinedVector<std::uint16_t, 4>{4, 5, 0, 9}));
}

}  // namespace

#include "codegen/exchange/improvement.h"

namespace {

using tarn_codegen::exchange::endpoint_work_lower_bound;

TEST(EndpointWorkLowerBound, BusiestSendOrReceiveSide) {
  // A paired 6-word transfer is 3 items on its source, its partner and each destination.
  const std::vector<PendingTransfer> paired = {
      pending(2, {0x0}, {{4, 0x0}, {5, 0x0}}, 6, ExchangeItemWidth::Paired64)};
  EXPECT_EQ(endpoint_work_lower_bound(paired, 8), 3u);
  const std::vector<PendingTransfer> ordinary = {pending(2, {0x0}, {{4, 0x0}}, 6)};
  EXPECT_EQ(endpoint_work_lower_bound(ordinary, 8), 6u);

  // Tile 0 sends 10 and receives 7: sending and receiving overlap, so 10, not 17.
  const std::vector<PendingTransfer> both = {
      pending(0, {0x0}, {{1, 0x0}}, 4), pending(0, {0x100}, {{2, 0x0}}, 6),
      pending(1, {0x0}, {{0, 0x400}}, 3), pending(2, {0x0}, {{0, 0x800}}, 4)};
  EXPECT_EQ(endpoint_work_lower_bound(both, 3), 10u);

  // Paired partner work counts as send work of the partner tile.
  const std::vector<PendingTransfer> partner_busiest = {
      pending(2, {0x0}, {{4, 0x0}}, 8, ExchangeItemWidth::Paired64),
      pending(3, {0x0}, {{5, 0x0}}, 2)};
  EXPECT_EQ(endpoint_work_lower_bound(partner_busiest, 8), 6u);

  EXPECT_EQ(endpoint_work_lower_bound({}, 0), 0u);
  EXPECT_EQ(endpoint_work_lower_bound({}, 4), 0u);
}

}  // namespace
