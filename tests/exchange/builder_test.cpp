#include "exchange/builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "exchange/topology.h"
#include "exchange/words.h"

namespace {

using namespace tarn_exchange;
using Tiles = std::vector<std::uint16_t>;
using Kind = ReceiveEventKind;

// The first `count` tiles of the standard board. Logical i and i ^ 1 are
// pair partners there.
Topology first_tiles(std::size_t count) {
  const Topology standard = Topology::standard_1472();
  const std::vector<std::uint16_t> ids(standard.tiles().begin(),
                                       standard.tiles().begin() + static_cast<std::ptrdiff_t>(count));
  auto topology = Topology::create(ids);
  EXPECT_TRUE(topology);
  return *topology;
}

const Topology& eight_tiles() {
  static const Topology topology = first_tiles(8);
  return topology;
}

// A transfer as the scheduler hands it to the builder. The plan lives on the
// heap: the prepared timing points at it.
struct Transfer {
  std::unique_ptr<MulticastPlan> plan;
  PreparedTransfer prepared;
  std::uint16_t sender = 0;
  Tiles receivers;
  Tiles partners;
  std::uint32_t count = 0;
};

std::optional<Transfer> transfer_of(std::expected<MulticastPlan, ExchangeError> plan, std::uint16_t sender,
                                    Tiles receivers, Tiles partners, std::uint32_t count) {
  if (!plan) return std::nullopt;
  Transfer transfer;
  transfer.plan = std::make_unique<MulticastPlan>(std::move(*plan));
  auto prepared = transfer.plan->prepare();
  if (!prepared) return std::nullopt;
  transfer.prepared = std::move(*prepared);
  transfer.sender = sender;
  transfer.receivers = std::move(receivers);
  transfer.partners = std::move(partners);
  transfer.count = count;
  return transfer;
}

std::optional<Transfer> try_point(const Topology& topology, std::uint16_t sender, std::uint16_t receiver,
                                  std::uint32_t count) {
  const auto exchange = topology.point_to_point(sender, receiver, count);
  if (!exchange) return std::nullopt;
  const auto row = finalize_point_receiver(exchange->receiver, topology.tiles()[sender]);
  if (!row) return std::nullopt;
  return transfer_of(MulticastPlan{{*row}, exchange->sender}, sender, {receiver}, {}, count);
}

Transfer point(const Topology& topology, std::uint16_t sender, std::uint16_t receiver, std::uint32_t count) {
  auto transfer = try_point(topology, sender, receiver, count);
  EXPECT_TRUE(transfer);
  return std::move(*transfer);
}

Transfer multicast(const Topology& topology, std::uint16_t sender, Tiles receivers, std::uint32_t count) {
  auto transfer = transfer_of(topology.multicast(sender, receivers, count, 0), sender, receivers, {}, count);
  EXPECT_TRUE(transfer);
  return std::move(*transfer);
}

// A paired transfer borrows the sender's pair partner.
Transfer paired(const Topology& topology, std::uint16_t sender, Tiles receivers, std::uint32_t count) {
  auto transfer = transfer_of(topology.paired_multicast(sender, receivers, count), sender, receivers,
                              {static_cast<std::uint16_t>(sender ^ 1)}, count);
  EXPECT_TRUE(transfer);
  return std::move(*transfer);
}

std::expected<std::uint32_t, ExchangeError> search(PhaseProgramBuilder& builder, const Transfer& t,
                                                   std::uint32_t start) {
  return builder.earliest_transfer_offset(t.sender, t.partners, t.receivers, t.prepared, t.count, start);
}

std::expected<std::uint32_t, ExchangeError> deferred(const PhaseProgramBuilder& builder, const Transfer& t,
                                                     std::uint32_t start) {
  return builder.earliest_transfer_offset_deferred(t.sender, t.partners, t.receivers, t.prepared, t.count, start);
}

std::expected<PhaseTransferTiming, ExchangeError> append(PhaseProgramBuilder& builder, const Transfer& t,
                                                         std::uint32_t offset) {
  return builder.append_transfer_at(t.sender, t.partners, t.receivers, t.prepared, offset, t.count);
}

std::expected<TileScheduleCopies, ExchangeError> prepare(const PhaseProgramBuilder& builder, const Transfer& t,
                                                         std::uint32_t offset, bool validate) {
  return prepare_transfer_at(builder.tiles(), t.sender, t.receivers, t.prepared, offset, t.count, validate);
}

// Searches eagerly from `start` and appends at the offset found.
std::uint32_t place(PhaseProgramBuilder& builder, const Transfer& t, std::uint32_t start) {
  const auto offset = search(builder, t, start);
  EXPECT_TRUE(offset) << offset.error().debug_string();
  if (!offset) return 0;
  const auto timing = append(builder, t, *offset);
  EXPECT_TRUE(timing) << timing.error().debug_string();
  return *offset;
}

// What a schedule plans, leaving out how its encoding is cached.
bool same_plan(const TileProgramSchedule& a, const TileProgramSchedule& b) {
  return a.senders == b.senders && a.receives == b.receives && a.receive_state == b.receive_state &&
         a.busy_until == b.busy_until && a.horizon == b.horizon;
}

::testing::AssertionResult same_tiles(const PhaseProgramBuilder& a, const PhaseProgramBuilder& b) {
  if (a.tiles().size() != b.tiles().size()) return ::testing::AssertionFailure() << "tile counts differ";
  for (std::size_t i = 0; i < a.tiles().size(); ++i) {
    if (!same_plan(a.tiles()[i], b.tiles()[i])) return ::testing::AssertionFailure() << "tile " << i << " differs";
  }
  return ::testing::AssertionSuccess();
}

std::vector<std::pair<std::uint32_t, Kind>> controls_of(const TileProgramSchedule& tile) {
  std::vector<std::pair<std::uint32_t, Kind>> controls;
  for (const ReceiveEvent& e : tile.receives) controls.emplace_back(e.cycle, e.kind);
  return controls;
}

// Success, or the failure as text.
template <class T>
::testing::AssertionResult succeeds(const std::expected<T, ExchangeError>& result) {
  if (result) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "failed with " << result.error().debug_string();
}

template <class T>
::testing::AssertionResult fails_with(const std::expected<T, ExchangeError>& result, const ExchangeError& error) {
  if (result) return ::testing::AssertionFailure() << "succeeded";
  if (result.error() == error) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "failed with " << result.error().debug_string() << " instead of "
                                       << error.debug_string();
}

// The offset found, or -1 after reporting the failure.
std::int64_t found(const std::expected<std::uint32_t, ExchangeError>& offset) {
  if (!offset) {
    ADD_FAILURE() << "search failed with " << offset.error().debug_string();
    return -1;
  }
  return *offset;
}

::testing::AssertionResult finishes(const PhaseProgramBuilder& builder) { return succeeds(builder.finish()); }

TEST(PhaseProgramBuilder, EmptyBuilderFinishesWithNothingToRun) {
  for (const std::uint16_t tile_count : {0, 5}) {
    SCOPED_TRACE(tile_count);
    const PhaseProgramBuilder builder(tile_count);
    EXPECT_EQ(builder.tiles().size(), tile_count);
    EXPECT_EQ(builder.event_cycles(), 0u);
    EXPECT_FALSE(builder.remaining_validation_budget());
    const auto programs = builder.finish();
    ASSERT_TRUE(programs) << programs.error().debug_string();
    EXPECT_EQ(programs->programs, std::vector<std::optional<std::vector<std::uint32_t>>>(tile_count));
    EXPECT_EQ(programs->tile_horizons, std::vector<std::uint32_t>(tile_count, 0));
    EXPECT_EQ(programs->horizon, 0u);
  }
}

// Tile 1 has received one word from tile 0: its controls take effect at 113
// (source), 114 (teardown) and 165 (pointer). A send of tile 1 may not start
// on one of them or one cycle before: the search moves it one cycle at a time
// until neither of its first two cycles carries a control.
TEST(SendPlacement, ControlOnFirstTwoCyclesOfSendMovesItOneCycleAtATime) {
  PhaseProgramBuilder builder(8);
  ASSERT_EQ(place(builder, point(eight_tiles(), 0, 1, 1), 0), 0u);
  ASSERT_EQ(controls_of(builder.tiles()[1]),
            (std::vector<std::pair<std::uint32_t, Kind>>{{113, Kind::Source}, {114, Kind::Teardown},
                                                         {165, Kind::Pointer}}));
  const Transfer send = multicast(eight_tiles(), 1, {3}, 10);
  const std::uint32_t lead = send.prepared.send_start;
  ASSERT_LT(lead, 111u);

  struct Case {
    std::uint32_t asked;     // send start the search starts from
    std::uint32_t expected;  // send start it returns
  };
  const Case cases[] = {{111, 111}, {112, 115}, {113, 115}, {114, 115}, {115, 115},
                        {163, 163}, {164, 166}, {165, 166}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.asked);
    PhaseProgramBuilder trial = builder;
    EXPECT_EQ(found(deferred(trial, send, c.asked - lead)), c.expected - lead);
    EXPECT_EQ(found(search(trial, send, c.asked - lead)), c.expected - lead);
    // The offset found holds a program that encodes and validates.
    ASSERT_TRUE(succeeds(append(trial, send, c.expected - lead)));
    EXPECT_TRUE(finishes(trial));
    for (std::uint32_t start = c.asked; start < c.expected; ++start) {
      for (const bool validate : {false, true}) {
        EXPECT_TRUE(fails_with(prepare(builder, send, start - lead, validate),
                               schedule_error("unencodable initial send control")));
      }
    }
  }
}

// Tile 1 sends over [200, 210). Another send of tile 1 may end exactly at 200
// or start exactly at 210, but not overlap.
TEST(SendPlacement, SendsMayTouchButNotOverlap) {
  PhaseProgramBuilder builder(8);
  const Transfer first = multicast(eight_tiles(), 1, {3}, 10);
  ASSERT_EQ(place(builder, first, 200 - first.prepared.send_start), 200 - first.prepared.send_start);
  ASSERT_EQ(builder.tiles()[1].senders.len(), 1u);
  ASSERT_EQ(builder.tiles()[1].senders[0].start, 200u);
  ASSERT_EQ(builder.tiles()[1].senders[0].end, 210u);

  const Transfer second = multicast(eight_tiles(), 1, {5}, 10);
  const std::uint32_t lead = second.prepared.send_start;
  ASSERT_EQ(second.prepared.send_end - lead, 10u);
  for (const std::uint32_t start : {190u, 210u}) {
    SCOPED_TRACE(start);
    for (const bool validate : {false, true}) EXPECT_TRUE(succeeds(prepare(builder, second, start - lead, validate)));
  }
  for (const std::uint32_t start : {191u, 195u, 200u, 209u}) {
    SCOPED_TRACE(start);
    for (const bool validate : {false, true}) {
      EXPECT_TRUE(fails_with(prepare(builder, second, start - lead, validate), schedule_error("overlapping outgoing messages")));
    }
  }
  struct Case {
    std::uint32_t asked;
    std::uint32_t expected;
  };
  for (const Case c : {Case{180, 180}, Case{190, 190}, Case{191, 210}, Case{205, 210}, Case{210, 210}}) {
    SCOPED_TRACE(c.asked);
    PhaseProgramBuilder trial = builder;
    EXPECT_EQ(found(deferred(trial, second, c.asked - lead)), c.expected - lead);
    EXPECT_EQ(found(search(trial, second, c.asked - lead)), c.expected - lead);
  }
}

// A receiver listed twice is refused; a receiver equal to the sender is a
// loopback whose receive controls go to the sender's own copy.
TEST(Receivers, DuplicateRefusedAndLoopbackSharesTheSendersCopy) {
  PhaseProgramBuilder builder(8);
  Transfer twice = multicast(eight_tiles(), 2, {5, 6}, 10);
  twice.receivers = {5, 5};
  EXPECT_TRUE(fails_with(prepare(builder, twice, 0, false), duplicate_tile_error()));
  EXPECT_TRUE(fails_with(search(builder, twice, 0), duplicate_tile_error()));
  EXPECT_TRUE(fails_with(append(builder, twice, 0), duplicate_tile_error()));
  Transfer loop_twice = multicast(eight_tiles(), 2, {2, 5}, 10);
  loop_twice.receivers = {2, 2};
  EXPECT_TRUE(fails_with(append(builder, loop_twice, 0), duplicate_tile_error()));
  EXPECT_TRUE(same_tiles(builder, PhaseProgramBuilder(8)));

  const Transfer loopback = multicast(eight_tiles(), 2, {2, 5}, 10);
  const auto copies = prepare(builder, loopback, 0, true);
  ASSERT_TRUE(copies) << copies.error().debug_string();
  ASSERT_EQ(copies->size(), 2u);
  EXPECT_EQ((*copies)[0].first, 2);
  EXPECT_EQ((*copies)[1].first, 5);
  EXPECT_EQ((*copies)[0].second.senders.len(), 1u);
  EXPECT_EQ((*copies)[0].second.receives.len(), (*copies)[1].second.receives.len());
  EXPECT_TRUE((*copies)[0].second.receive_state);

  const std::uint32_t offset = place(builder, loopback, 0);
  EXPECT_EQ(offset, 0u);
  EXPECT_TRUE(same_plan(builder.tiles()[2], (*copies)[0].second));
  EXPECT_TRUE(finishes(builder));
}

// Every failing placement leaves every tile as it was, whichever step fails.
TEST(PlacementFailures, LeaveTheBuilderUnchanged) {
  PhaseProgramBuilder builder(8);
  const Transfer received = point(eight_tiles(), 0, 1, 1);  // tile 1: controls at 113, 114, 165
  ASSERT_EQ(place(builder, received, 0), 0u);
  place(builder, point(eight_tiles(), 1, 3, 10), 300);
  const std::uint32_t sent_from = builder.tiles()[1].senders[0].start;
  const Transfer pair = paired(eight_tiles(), 4, {6, 7}, 5);
  place(builder, pair, 0);

  const Transfer into_one = point(eight_tiles(), 2, 1, 1);
  const Transfer from_one = multicast(eight_tiles(), 1, {5}, 10);
  Transfer wrong_rows = multicast(eight_tiles(), 2, {5, 6}, 10);
  wrong_rows.receivers = {5};
  Transfer duplicate = multicast(eight_tiles(), 2, {5, 6}, 10);
  duplicate.receivers = {6, 6};
  Transfer out_of_range_receiver = point(eight_tiles(), 2, 5, 10);
  out_of_range_receiver.receivers = {9};
  Transfer lent_to_itself = point(eight_tiles(), 2, 5, 10);
  lent_to_itself.partners = {2};
  Transfer lent_twice = point(eight_tiles(), 2, 5, 10);
  lent_twice.partners = {3, 3};
  Transfer lent_out_of_range = point(eight_tiles(), 2, 5, 10);
  lent_out_of_range.partners = {3, 12};
  Transfer out_of_range_sender = point(eight_tiles(), 2, 5, 10);
  out_of_range_sender.sender = 8;
  Transfer huge_count = point(eight_tiles(), 2, 5, 10);
  huge_count.count = 0x40000000;  // 4 bytes each: past the address space

  struct Case {
    std::string_view name;
    const Transfer& transfer;
    std::uint32_t offset;
    ExchangeError error;
  };
  const Case cases[] = {
      {"receiver row count", wrong_rows, 0, schedule_error("receiver row count")},
      {"sender out of range", out_of_range_sender, 0, tile_error(8)},
      {"receiver out of range", out_of_range_receiver, 0, tile_error(9)},
      {"horizon overflow", from_one, 0xfffffff0, schedule_error("sender event horizon overflow")},
      {"overlapping send", from_one, sent_from + 5 - from_one.prepared.send_start,
       schedule_error("overlapping outgoing messages")},
      {"control on send start", from_one, 113 - from_one.prepared.send_start,
       schedule_error("unencodable initial send control")},
      {"receive before the last one ended", into_one, 0, schedule_error("overlapping receive streams")},
      {"receiver listed twice", duplicate, 1000, duplicate_tile_error()},
      {"address overflow", huge_count, 1000, schedule_error("receive address overflow")},
      {"partner is the sender", lent_to_itself, 1000, duplicate_tile_error()},
      {"partner listed twice", lent_twice, 1000, duplicate_tile_error()},
      {"partner out of range", lent_out_of_range, 1000, tile_error(12)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PhaseProgramBuilder trial = builder;
    EXPECT_TRUE(fails_with(append(trial, c.transfer, c.offset), c.error));
    EXPECT_TRUE(same_tiles(trial, builder));
  }
  EXPECT_TRUE(finishes(builder));
}

// The staged check is taken out by the next append once the transfer's
// timing is known, whether or not that append then succeeds; an append that
// uses it keeps the encodings the check made.
TEST(PlacementFailures, StagedCheckIsConsumedByTheNextAppend) {
  PhaseProgramBuilder builder(8);
  const Transfer transfer = point(eight_tiles(), 2, 5, 10);
  ASSERT_EQ(found(search(builder, transfer, 40)), 40);
  ASSERT_TRUE(builder.staged());
  EXPECT_EQ(builder.staged()->offset, 40u);

  Transfer bad_sender = point(eight_tiles(), 2, 5, 10);
  bad_sender.sender = 8;
  EXPECT_TRUE(fails_with(append(builder, bad_sender, 40), tile_error(8)));
  EXPECT_TRUE(builder.staged());  // the timing failed: nothing was taken

  Transfer lent_to_itself = point(eight_tiles(), 2, 5, 10);
  lent_to_itself.partners = {2};
  EXPECT_TRUE(fails_with(append(builder, lent_to_itself, 40), duplicate_tile_error()));
  EXPECT_FALSE(builder.staged());
  EXPECT_TRUE(same_tiles(builder, PhaseProgramBuilder(8)));

  // Unstaged, the append places without encoding; staged, it keeps the
  // encodings of the check.
  PhaseProgramBuilder unstaged = builder;
  ASSERT_TRUE(succeeds(append(unstaged, transfer, 40)));
  EXPECT_EQ(unstaged.tiles()[2].cache, nullptr);
  ASSERT_EQ(found(search(builder, transfer, 40)), 40u);
  ASSERT_TRUE(succeeds(append(builder, transfer, 40)));
  EXPECT_FALSE(builder.staged());
  EXPECT_NE(builder.tiles()[2].cache, nullptr);
  EXPECT_NE(builder.tiles()[5].cache, nullptr);
  EXPECT_TRUE(same_tiles(builder, unstaged));

  // A staged check of another request is not used.
  ASSERT_EQ(found(search(builder, transfer, 100)), 100u);
  ASSERT_TRUE(succeeds(append(builder, transfer, 101)));
  EXPECT_EQ(builder.tiles()[2].senders[1].start, 101 + transfer.prepared.send_start);
  EXPECT_EQ(builder.tiles()[2].cache, nullptr);
}

// A validated copy starts from the builder's encoding, so that it re-encodes
// only what changed, and never changes what the builder's tile holds.
TEST(SearchValidation, CopiesResumeFromTheBuildersEncoding) {
  PhaseProgramBuilder builder(8);
  place(builder, point(eight_tiles(), 0, 1, 1), 0);
  place(builder, point(eight_tiles(), 1, 3, 10), 300);
  PhaseProgramBuilder unencoded = builder;
  ASSERT_TRUE(succeeds(append(unencoded, point(eight_tiles(), 2, 1, 1), 1)));  // tile 1 loses its cache
  ASSERT_EQ(unencoded.tiles()[1].cache, nullptr);

  const Transfer next = point(eight_tiles(), 4, 1, 1);
  const auto offset = deferred(unencoded, next, 0);
  ASSERT_TRUE(offset);
  const auto copies = prepare(unencoded, next, *offset, true);
  ASSERT_TRUE(copies) << copies.error().debug_string();
  const auto& original = unencoded.tiles()[1];
  ASSERT_NE(original.cache, nullptr);
  const std::vector<std::uint32_t> original_words = original.cache->words.to_vector(0, original.cache->words.len());
  const TileProgramSchedule& copy = (*copies)[1].second;
  EXPECT_EQ(copy.previous, original.cache);
  ASSERT_NE(copy.cache, nullptr);
  EXPECT_NE(copy.cache, original.cache);
  EXPECT_EQ(original.cache->words.to_vector(0, original.cache->words.len()), original_words);
}

// A source selection starting exactly where the tile's last stream ended
// takes over that stream's teardown, and a paired receive continuing the
// tile's paired format takes over its format end. The search ignores exactly
// the controls that the placement removes.
TEST(SupersededControls, SearchIgnoresExactlyWhatPlacementRemoves) {
  {
    SCOPED_TRACE("ordinary receive after ordinary receive");
    PhaseProgramBuilder builder(8);
    place(builder, point(eight_tiles(), 0, 1, 1), 0);  // source 113, teardown 114, pointer 165
    const Transfer next = point(eight_tiles(), 2, 1, 1);
    EXPECT_EQ(found(deferred(builder, next, 0)), 1u);
    EXPECT_EQ(place(builder, next, 0), 1u);
    EXPECT_EQ(controls_of(builder.tiles()[1]),
              (std::vector<std::pair<std::uint32_t, Kind>>{{113, Kind::Source},
                                                           {114, Kind::Source},
                                                           {115, Kind::Teardown},
                                                           {165, Kind::Pointer},
                                                           {166, Kind::Pointer}}));
    EXPECT_TRUE(finishes(builder));
  }
  const Topology topology = first_tiles(48);
  {
    SCOPED_TRACE("paired receive continuing the paired format");
    PhaseProgramBuilder builder(48);
    ASSERT_EQ(place(builder, paired(topology, 4, {2, 3}, 5), 0), 0u);
    ASSERT_EQ(controls_of(builder.tiles()[2]),
              (std::vector<std::pair<std::uint32_t, Kind>>{{1, Kind::PairedSource},
                                                           {6, Kind::PairedTeardown},
                                                           {54, Kind::PairedFormat},
                                                           {56, Kind::PairedPointer},
                                                           {59, Kind::PairedFormat}}));
    const Transfer next = paired(topology, 0, {2, 3}, 5);
    EXPECT_EQ(found(deferred(builder, next, 0)), 5u);
    EXPECT_EQ(place(builder, next, 0), 5u);
    EXPECT_EQ(controls_of(builder.tiles()[2]),
              (std::vector<std::pair<std::uint32_t, Kind>>{{1, Kind::PairedSource},
                                                           {6, Kind::PairedSource},
                                                           {11, Kind::PairedTeardown},
                                                           {54, Kind::PairedFormat},
                                                           {56, Kind::PairedPointer},
                                                           {61, Kind::PairedPointer},
                                                           {64, Kind::PairedFormat}}));
    EXPECT_EQ(controls_of(builder.tiles()[3]),
              (std::vector<std::pair<std::uint32_t, Kind>>{{54, Kind::PairedFormat},
                                                           {56, Kind::PairedPointer},
                                                           {61, Kind::PairedPointer},
                                                           {64, Kind::PairedFormat}}));
    EXPECT_TRUE(finishes(builder));
  }
  {
    // Tile 3's stream ended at 59 with a format end. Sender 46's row selects
    // its source on tile 3 17 cycles in, with another format: at offset 42
    // the source would fall on that format end, which it does not take over.
    SCOPED_TRACE("paired receive with another format");
    PhaseProgramBuilder builder(48);
    ASSERT_EQ(place(builder, paired(topology, 4, {2, 3}, 5), 0), 0u);
    const Transfer next = paired(topology, 46, {2, 3}, 5);
    ASSERT_EQ(next.prepared.receivers[1].source, 17u);
    EXPECT_TRUE(fails_with(prepare(builder, next, 42, true),
                           schedule_error("incompatible simultaneous receive controls")));
    EXPECT_EQ(found(deferred(builder, next, 0)), 43u);
    EXPECT_EQ(place(builder, next, 0), 43u);
    EXPECT_EQ(controls_of(builder.tiles()[3]),
              (std::vector<std::pair<std::uint32_t, Kind>>{{54, Kind::PairedFormat},
                                                           {56, Kind::PairedPointer},
                                                           {59, Kind::PairedFormat},
                                                           {60, Kind::PairedSource},
                                                           {65, Kind::PairedTeardown},
                                                           {113, Kind::PairedFormat},
                                                           {115, Kind::PairedPointer},
                                                           {118, Kind::PairedFormat}}));
    EXPECT_TRUE(finishes(builder));
  }
}

// Tile 1 has received one word (controls at 113, 114, 165). One more word
// placed at 51 would put a single control at 164 and a pair at 165: the pair's
// SENDPICP cannot start on an even word. The eager search tries 52, drawing
// the cost of each check from the budget.
TEST(SearchValidation, AlignmentFailureTriesTheNextOffset) {
  PhaseProgramBuilder builder(8);
  place(builder, point(eight_tiles(), 0, 1, 1), 0);
  builder = std::move(builder).with_validation_budget(100);
  const Transfer next = point(eight_tiles(), 2, 1, 1);

  EXPECT_EQ(found(deferred(builder, next, 51)), 51u);
  EXPECT_TRUE(fails_with(prepare(builder, next, 51, true), schedule_error("SENDPICP instruction alignment")));
  EXPECT_TRUE(succeeds(prepare(builder, next, 51, false)));  // only the encoding fails
  EXPECT_EQ(found(search(builder, next, 51)), 52u);
  // Two checks, each of tile 2 (nothing yet) and tile 1 (three controls).
  EXPECT_EQ(builder.remaining_validation_budget(), 100u - 2 * (1 + 4));
  ASSERT_TRUE(succeeds(append(builder, next, 52)));
  EXPECT_TRUE(finishes(builder));
}

TEST(ValidationBudget, EagerSearchStopsWhereDeferredStillAnswers) {
  const Transfer transfer = point(eight_tiles(), 2, 5, 10);  // costs 1 + 1 on empty tiles
  PhaseProgramBuilder builder = PhaseProgramBuilder(8).with_validation_budget(1);
  EXPECT_TRUE(fails_with(search(builder, transfer, 7), validation_budget_exceeded()));
  EXPECT_EQ(found(deferred(builder, transfer, 7)), 7u);
  EXPECT_EQ(builder.remaining_validation_budget(), 1u);
  EXPECT_FALSE(builder.staged());

  builder = builder.with_validation_budget(2);
  PhaseProgramBuilder sharing = builder;  // copies draw from one counter
  EXPECT_EQ(found(search(builder, transfer, 7)), 7u);
  EXPECT_EQ(sharing.remaining_validation_budget(), 0u);
  EXPECT_EQ(found(search(builder, transfer, 7)), 7u);  // staged: nothing to check again
  EXPECT_TRUE(fails_with(search(builder, transfer, 8), validation_budget_exceeded()));
  EXPECT_TRUE(fails_with(search(sharing, transfer, 7), validation_budget_exceeded()));

  PhaseProgramBuilder renewed = sharing.with_validation_budget(10);
  EXPECT_EQ(found(search(renewed, transfer, 7)), 7u);
  EXPECT_EQ(renewed.remaining_validation_budget(), 8u);
  EXPECT_EQ(builder.remaining_validation_budget(), 0u);
}

TEST(ValidationBudget, ThreadsDrawFromOneBudgetNeverBelowZero) {
  const Transfer transfer = point(eight_tiles(), 2, 5, 10);  // each check costs 2
  const PhaseProgramBuilder shared = PhaseProgramBuilder(8).with_validation_budget(1001);
  std::atomic<int> checks{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&shared, &transfer, &checks, t] {
      PhaseProgramBuilder own = shared;
      // Bounded, so that a budget that never runs out fails rather than hangs.
      for (std::uint32_t start = static_cast<std::uint32_t>(t) * 1000; start < (t + 1) * 1000u; ++start) {
        const auto offset = search(own, transfer, start);
        if (!offset) {
          EXPECT_TRUE(fails_with(offset, validation_budget_exceeded()));
          return;
        }
        checks.fetch_add(1);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(checks.load(), 500);
  EXPECT_EQ(shared.remaining_validation_budget(), 1u);
}

// A paired transfer lends the sender's pair partner until the sender's row
// ends: the partner sends nothing, and is lent again, only after that.
TEST(Partners, LentUntilTheSendersRowEnds) {
  PhaseProgramBuilder builder(8);
  const Transfer pair = paired(eight_tiles(), 4, {2, 3}, 5);
  const std::uint32_t offset = place(builder, pair, 1000);
  ASSERT_EQ(offset, 1000u);
  const std::uint32_t lent_until = offset + pair.prepared.end;
  EXPECT_EQ(builder.tiles()[5].busy_until, lent_until);
  EXPECT_EQ(builder.tiles()[5].horizon, lent_until);
  EXPECT_EQ(builder.tiles()[4].busy_until, 0u);

  const Transfer from_partner = point(eight_tiles(), 5, 7, 10);
  EXPECT_EQ(found(deferred(builder, from_partner, 0)), lent_until - from_partner.prepared.send_start);
  Transfer borrowing = point(eight_tiles(), 6, 0, 10);
  borrowing.partners = {5};
  EXPECT_EQ(found(deferred(builder, borrowing, 0)), lent_until);

  // A partner is also lent only after its own last send.
  const std::uint32_t sent_at = place(builder, from_partner, 0);
  const std::uint32_t sent_until = sent_at + from_partner.prepared.send_end;
  EXPECT_EQ(found(deferred(builder, borrowing, 0)), sent_until);
  EXPECT_TRUE(finishes(builder));
}

// The last transfer's kind, for reading failures.
const char* kind_name(int kind) {
  static const char* const names[] = {"point-to-point", "multicast", "paired"};
  return names[kind];
}

// Places random point-to-point, multicast and paired transfers between the
// first tiles of the standard board at the offsets the eager search returns,
// and checks after each that every program still encodes and validates.
TEST(RandomPlacement, EverySearchedOffsetKeepsThePhaseEncodable) {
  constexpr std::uint16_t kTiles = 16;
  const Topology topology = first_tiles(kTiles);
  for (const unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    std::mt19937 random(seed);
    const auto below = [&random](std::uint32_t n) { return static_cast<std::uint32_t>(random() % n); };
    PhaseProgramBuilder builder(kTiles);
    int placed = 0;
    for (int step = 0; step < 250; ++step) {
      const int kind = static_cast<int>(below(3));
      const auto sender = static_cast<std::uint16_t>(below(kTiles));
      const std::uint32_t count = 1 + (below(4) == 0 ? below(200) : below(40));
      std::optional<Transfer> transfer;
      if (kind == 0) {
        const auto receiver = static_cast<std::uint16_t>((sender + 1 + below(kTiles - 1)) % kTiles);
        transfer = try_point(topology, sender, receiver, count);
      } else if (kind == 1) {
        Tiles receivers;
        const std::uint32_t wanted = 1 + below(3);
        while (receivers.size() < wanted) {
          const auto r = static_cast<std::uint16_t>(below(kTiles));
          if (std::ranges::find(receivers, r) == receivers.end() && (r != sender || below(4) == 0)) {
            receivers.push_back(r);
          }
        }
        transfer = transfer_of(topology.multicast(sender, receivers, count, 0), sender, receivers, {}, count);
      } else {
        const auto first = static_cast<std::uint16_t>(2 * below(kTiles / 2));
        const Tiles receivers{first, static_cast<std::uint16_t>(first + 1)};
        transfer = transfer_of(topology.paired_multicast(sender, receivers, count), sender, receivers,
                               {static_cast<std::uint16_t>(sender ^ 1)}, count);
      }
      if (!transfer) continue;  // a route the topology refuses
      // Half the ordinary receives land right after the tile's last data, so
      // that their pointer control is left out.
      for (std::size_t i = 0; kind != 2 && i < transfer->receivers.size(); ++i) {
        const auto& state = builder.tiles()[transfer->receivers[i]].receive_state;
        Row& row = transfer->plan->receivers[i];
        if (!state || !state->next_address || *state->next_address > 0xffffc || below(2) == 0) continue;
        for (std::uint32_t& word : row) {
          if (classify_word(word) == WordKind::PicControl && control_word_kind(word) == Kind::Pointer) {
            word = (word & ~0x3ffffu) | (*state->next_address >> 2);
          }
        }
      }
      auto prepared = transfer->plan->prepare();
      ASSERT_TRUE(prepared);
      transfer->prepared = std::move(*prepared);
      const Transfer& t = *transfer;

      SCOPED_TRACE(::testing::Message() << "step " << step << ": " << kind_name(kind) << " from " << t.sender
                                        << ", " << t.count << " elements");
      const std::uint32_t start = below(builder.event_cycles() + 1);
      const PhaseProgramBuilder before = builder;
      const auto candidate = deferred(builder, t, start);
      const auto offset = search(builder, t, start);
      EXPECT_TRUE(same_tiles(builder, before));
      if (!offset) {
        // A loopback whose own controls fall on its send's second cycle fits
        // nowhere; nothing else may fail.
        EXPECT_NE(std::ranges::find(t.receivers, t.sender), t.receivers.end());
        EXPECT_TRUE(fails_with(offset, schedule_error("unencodable initial send control")));
        continue;
      }
      ASSERT_TRUE(candidate) << candidate.error().debug_string();
      EXPECT_GE(*offset, start);
      EXPECT_LE(*candidate, *offset);
      if (*candidate != *offset) {
        EXPECT_TRUE(fails_with(prepare(before, t, *candidate, true), schedule_error("SENDPICP instruction alignment")));
      }

      const auto timing = builder.transfer_timing_at(t.sender, t.receivers, t.prepared, *offset, t.count);
      ASSERT_TRUE(timing) << timing.error().debug_string();
      const auto appended = append(builder, t, *offset);
      ASSERT_TRUE(appended) << appended.error().debug_string();
      EXPECT_EQ(*appended, *timing);
      ++placed;

      // The staged copies are what an unchecked placement makes.
      PhaseProgramBuilder unchecked = before;
      ASSERT_TRUE(succeeds(append(unchecked, t, *offset)));
      EXPECT_TRUE(same_tiles(builder, unchecked));

      const auto programs = builder.finish();
      ASSERT_TRUE(programs) << programs.error().debug_string();
      EXPECT_EQ(programs->horizon, builder.event_cycles());
    }
    EXPECT_GT(placed, 200);
  }
}

}  // namespace
