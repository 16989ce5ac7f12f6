#include "exchange/timing.h"

#include <gtest/gtest.h>

#include "fabric_fixtures.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "exchange/topology.h"
#include "exchange/words.h"

namespace {

using namespace tarn_exchange;
using fabric_test::standard;
using fabric_test::row_of;
using Kind = ReceiveEventKind;
using Tiles = std::vector<std::uint16_t>;

std::vector<ReceiveEvent> events_of(const RowEvents& events) { return {events.begin(), events.end()}; }

// The plan of a point-to-point route as the scheduler assembles it.
MulticastPlan point_plan(std::uint16_t sender, std::uint16_t receiver, std::uint32_t count) {
  const auto exchange = standard().point_to_point(sender, receiver, count);
  EXPECT_TRUE(exchange) << exchange.error().message();
  const auto row = finalize_point_receiver(exchange->receiver, standard().tiles()[sender]);
  EXPECT_TRUE(row);
  return MulticastPlan{{*row}, exchange->sender};
}

// Logical 780 (physical 1440) to logical 0 (physical 0) has h = 112; logical
// 768 (physical 1056) to logical 0 has h = 100.
TEST(SenderRowTiming, PointToPointExamples) {
  ASSERT_EQ(standard().tiles()[780], 1440);
  ASSERT_EQ(standard().tiles()[768], 1056);
  ASSERT_EQ(time_to_mux(1440, 0), 112);
  ASSERT_EQ(time_to_mux(1056, 0), 100);
  EXPECT_EQ(sender_row_timing(point_plan(780, 0, 10).sender, 0), (SenderRowTiming{0, 10, 10}));
  EXPECT_EQ(sender_row_timing(point_plan(768, 0, 10).sender, 0), (SenderRowTiming{12, 22, 22}));
  EXPECT_EQ(sender_row_timing(point_plan(768, 0, 10).sender, 1000), (SenderRowTiming{1012, 1022, 1022}));
  // A trailing delay lengthens the row, not the payload; an Offset send extends it.
  EXPECT_EQ(sender_row_timing(point_plan(780, 0, 1).sender, 0), (SenderRowTiming{0, 1, 6}));
  EXPECT_EQ(sender_row_timing(point_plan(780, 0, 4148).sender, 0), (SenderRowTiming{0, 4148, 4148}));
}

TEST(SenderRowTiming, Failures) {
  struct Case {
    Row row;
    std::uint32_t base;
    std::string_view message;
  };
  const Case cases[] = {
      {row_of({0x41800002, 0x78000001, 0x43a00000}), 0, "sender row entry"},
      {row_of({0x41800003, 0x78000001, 0x40a00004}), 0, "sender row return"},
      {row_of({0x41800003, 0x40a00004, 0x43a00000}), 0, "sender payload"},
      {row_of({0x41800003, 0x40a0008e, 0x78000001, 0x43a00000}), 0xffffff80, "sender event horizon overflow"},
      {row_of({0x41800003, 0x78000001, 0x43a00000}), 0xffffffff, "sender event horizon overflow"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(sender_row_timing(c.row, c.base).error(), schedule_error(c.message));
  }
  // Words after the Return are not part of the row.
  EXPECT_TRUE(sender_row_timing(row_of({0x41800003, 0x43a00000, 0x78000001}), 0)
                  .error()
                  .is_schedule("sender payload"));
}

TEST(ReceiveRowTiming, PointToPointRows) {
  // Count 10 into column 1 (col2 = 2): source 113, teardown 123, pointer
  // 123 + (2 - 10 + 51) + 1 = 167 = col2 + 165, end 15 cycles later.
  auto timing = receive_row_timing(point_plan(0, 2, 10).receivers[0], 0);
  ASSERT_TRUE(timing) << timing.error().message();
  EXPECT_EQ(timing->source, 113u);
  EXPECT_EQ(timing->teardown, 123u);
  EXPECT_EQ(timing->pointer, 167u);
  EXPECT_EQ(timing->address, 0u);
  EXPECT_EQ(timing->end, 182u);
  EXPECT_FALSE(timing->paired);
  EXPECT_FALSE(timing->format_start);
  EXPECT_FALSE(timing->format_end);
  EXPECT_EQ(events_of(timing->events),
            (std::vector<ReceiveEvent>{
                {113, 0x641c0000, Kind::Source}, {123, 0x64024640, Kind::Teardown}, {167, 0x61580000, Kind::Pointer}}));

  // Count 100: the pointer comes first (113 + 53 + 1), then the teardown.
  timing = receive_row_timing(point_plan(0, 2, 100).receivers[0], 7);
  ASSERT_TRUE(timing);
  EXPECT_EQ(timing->source, 120u);
  EXPECT_EQ(timing->pointer, 174u);
  EXPECT_EQ(timing->teardown, 174u + 47 + 1);
  EXPECT_EQ(timing->end, 222u + 57);
}

TEST(ReceiveRowTiming, PairedRows) {
  const auto plan = standard().paired_multicast(0, Tiles{2, 3}, 10);
  ASSERT_TRUE(plan);
  // The tile that hears the pair first selects the source at 1 and tears down at 11.
  auto timing = receive_row_timing(plan->receivers[0], 0);
  ASSERT_TRUE(timing) << timing.error().message();
  EXPECT_TRUE(timing->paired);
  EXPECT_EQ(timing->source, 1u);
  EXPECT_EQ(timing->teardown, 11u);
  EXPECT_EQ(timing->format_start, 54u);
  EXPECT_EQ(timing->pointer, 56u);
  EXPECT_EQ(timing->format_end, 64u);
  EXPECT_EQ(timing->end, 71u);
  ASSERT_EQ(timing->events.size(), 5u);
  EXPECT_EQ(timing->events[3].kind, Kind::PairedPointer);  // a pointer inside a paired receive
  EXPECT_EQ(timing->events[1].kind, Kind::PairedTeardown);
  // Its partner has no source selection, only the format.
  timing = receive_row_timing(plan->receivers[1], 0);
  ASSERT_TRUE(timing);
  EXPECT_TRUE(timing->paired);
  EXPECT_FALSE(timing->source);
  EXPECT_FALSE(timing->teardown);
  EXPECT_EQ(timing->format_start, 54u);
  EXPECT_EQ(timing->format_end, 64u);
}

TEST(ReceiveRowTiming, SendpicpControlsTakeEffectOneCycleIn) {
  // Delay 4; SENDPICP of 10 words selecting source 5 and pointer 0x10; teardown.
  const Row row = row_of({0x41800003, 0x40a00003, 0xf1200000, (5u << 18) | 0x10, 0x64000640, 0x43a00000});
  const auto timing = receive_row_timing(row, 0);
  ASSERT_TRUE(timing) << timing.error().message();
  EXPECT_EQ(events_of(timing->events),
            (std::vector<ReceiveEvent>{
                {5, 0x64000005, Kind::Source}, {5, 0x60000010, Kind::Pointer}, {15, 0x64000640, Kind::Teardown}}));
  EXPECT_EQ(timing->address, 0x40u);
  EXPECT_EQ(timing->end, 15u);
  // Bit 27 carries bit 18 of the PIC value: a paired format.
  const Row format = row_of({0x41800003, 0xf8000000, 1, 0x60000000, 0xf8000000, 0x640u << 18, 0x43a00000});
  const auto paired = receive_row_timing(format, 0);
  ASSERT_TRUE(paired) << paired.error().message();
  EXPECT_EQ(paired->format_start, 1u);
  EXPECT_EQ(paired->pointer, 2u);
  EXPECT_EQ(paired->format_end, 3u);
  EXPECT_EQ(paired->source, 1u);  // XPIC value 0 selects tile 0
  EXPECT_EQ(paired->teardown, 3u);
}

TEST(ReceiveRowTiming, Failures) {
  constexpr std::uint32_t entry = 0x41800003;
  constexpr std::uint32_t ret = 0x43a00000;
  constexpr std::uint32_t src = 0x64000005;
  constexpr std::uint32_t td = 0x64000640;
  constexpr std::uint32_t ptr = 0x60000000;
  struct Case {
    Row row;
    std::uint32_t base;
    std::string_view message;
  };
  const Case cases[] = {
      {row_of({0, src, td, ptr, ret}), 0, "receive row entry"},
      {row_of({entry, src, td, ptr}), 0, "receive row return"},
      {row_of({entry, src, td, ptr, ret}), 0xffffffff, "receive event horizon overflow"},
      // The walk comes before the reading of the controls.
      {row_of({entry, src, src, td, ptr, ret}), 0xffffffff, "receive event horizon overflow"},
      {row_of({entry, src, src, td, ptr, ret}), 0, "multiple receive sources"},
      {row_of({entry, src, td, td, ptr, ret}), 0, "multiple receive teardowns"},
      {row_of({entry, src, ptr, ptr, td, ret}), 0, "multiple receive pointers"},
      {row_of({entry, 0x60040001, 0x60040002, 0x60040000, ret}), 0, "multiple paired format starts"},
      {row_of({entry, 0x60040001, 0x60040000, 0x60040000, ret}), 0, "multiple paired format ends"},
      {row_of({entry, 0x60040003, ret}), 0, "paired receive format value"},
      {row_of({entry, 0x60040001, ptr, ret}), 0, "incomplete paired receive format"},
      {row_of({entry, 0x64002000, 0x64002640, ptr, ret}), 0, "incomplete paired receive format"},
      {row_of({entry, src, ptr, ret}), 0, "incomplete ordinary receive mux"},
      {row_of({entry, td, ptr, ret}), 0, "incomplete ordinary receive mux"},
      // A SENDPICP needs its second word before the Return.
      {row_of({entry, 0xf0000000, ret}), 0, "truncated SENDPICP payload"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(receive_row_timing(c.row, c.base).error(), schedule_error(c.message));
  }
}

// Preparing needs a plan that outlives the result: never a temporary.
template <class Plan>
concept PreparableFrom = requires(Plan&& plan) { std::forward<Plan>(plan).prepare(); };
static_assert(PreparableFrom<const MulticastPlan&>);
static_assert(!PreparableFrom<MulticastPlan>);

TEST(PreparedTransfer, ReadsEveryRowOfThePlan) {
  const auto plan = standard().multicast(0, Tiles{2, 3}, 10, 0);
  ASSERT_TRUE(plan);
  const auto prepared = plan->prepare();
  ASSERT_TRUE(prepared) << prepared.error().message();
  EXPECT_EQ(prepared->plan, &*plan);
  EXPECT_EQ(prepared->send_start, 31u);
  EXPECT_EQ(prepared->send_end, 41u);
  EXPECT_EQ(prepared->end, 41u);
  ASSERT_EQ(prepared->receivers.size(), 2u);
  // Each receiver selects the source one cycle after its data leaves plus its latency.
  ASSERT_EQ(time_to_mux(0, 64), -31);
  ASSERT_EQ(time_to_mux(0, 66), -30);
  EXPECT_EQ(prepared->receivers[0].source, 1u);
  EXPECT_EQ(prepared->receivers[1].source, 2u);

  // The first failing row decides, the sender row first.
  MulticastPlan broken = *plan;
  broken.receivers[1][0] = 0;
  EXPECT_TRUE(broken.prepare().error().is_schedule("receive row entry"));
  broken.sender[0] = 0;
  EXPECT_TRUE(broken.prepare().error().is_schedule("sender row entry"));
}

// Windows of point-to-point rows from logical 0 into logical 2 (column 1).
class ScheduledWindow : public testing::Test {
 protected:
  static ReceiveRowTiming point_row(std::uint32_t count) {
    return *receive_row_timing(point_plan(0, 2, count).receivers[0], 0);
  }
};

TEST_F(ScheduledWindow, WithoutStateOnlyTheTeardownMoves) {
  const auto window = scheduled_receive_window(point_row(100), 1000, 100, std::nullopt);
  ASSERT_TRUE(window) << window.error().message();
  EXPECT_EQ(window->source, 1113u);
  EXPECT_EQ(window->source_end, 1213u);
  EXPECT_EQ(window->pointer, 1167u);
  EXPECT_EQ(window->pointer_end, 1267u);
  EXPECT_EQ(window->end, 1000u + 215 + 57);  // the row outlasts the data
  EXPECT_EQ(window->address, 0u);
  EXPECT_FALSE(window->reuses_format);
  // The row tears down at 215 (col2 later than the data); the window at source + count.
  EXPECT_EQ(events_of(window->events),
            (std::vector<ReceiveEvent>{{1113, 0x641c0000, Kind::Source},
                                       {1167, 0x61a80000, Kind::Pointer},
                                       {1213, 0x640bc640, Kind::Teardown}}));
}

TEST_F(ScheduledWindow, ContiguousReceiveDropsThePointer) {
  // A multicast row whose receive pointer was set to 0x100.
  auto plan = *standard().multicast(0, Tiles{2}, 10, 0);
  plan.receivers[0][3] = (plan.receivers[0][3] & 0x63f80000u) | (0x100 / 4);
  const auto row = *receive_row_timing(plan.receivers[0], 0);
  ASSERT_EQ(row.address, 0x100u);
  const auto has_pointer = [&](const std::optional<TileReceiveState>& state) {
    const auto window = scheduled_receive_window(row, 500, 10, state);
    EXPECT_TRUE(window) << window.error().message();
    return std::any_of(window->events.begin(), window->events.end(),
                       [](const ReceiveEvent& e) { return e.kind == Kind::Pointer; });
  };
  const TileReceiveState contiguous{std::nullopt, std::nullopt, 0x100, 300, 300, false};
  EXPECT_FALSE(has_pointer(contiguous));
  EXPECT_TRUE(has_pointer(std::nullopt));
  TileReceiveState elsewhere = contiguous;
  elsewhere.next_address = 0x104;
  EXPECT_TRUE(has_pointer(elsewhere));
  TileReceiveState after_paired = contiguous;
  after_paired.paired = true;
  EXPECT_TRUE(has_pointer(after_paired));
}

TEST_F(ScheduledWindow, PairedFormatIsReusedOnlyWhereItEnded) {
  const auto plan = *standard().paired_multicast(0, Tiles{2, 3}, 10);
  const auto partner = *receive_row_timing(plan.receivers[1], 0);
  // Without a source selection the format start (54) stands in.
  auto window = scheduled_receive_window(partner, 100, 10, std::nullopt);
  ASSERT_TRUE(window);
  EXPECT_EQ(window->source, 154u);
  EXPECT_EQ(window->source_end, 164u);
  EXPECT_FALSE(window->reuses_format);
  EXPECT_EQ(window->events.size(), 3u);

  // The tile's last paired format (value 1) ended exactly at 154: continue it.
  const TileReceiveState state{1u, 154u, std::nullopt, 150, 150, true};
  window = scheduled_receive_window(partner, 100, 10, state);
  ASSERT_TRUE(window);
  EXPECT_TRUE(window->reuses_format);
  EXPECT_EQ(events_of(window->events),
            (std::vector<ReceiveEvent>{{156, 0x60080000, Kind::PairedPointer}, {164, 0x603c0000, Kind::PairedFormat}}));
  // Another format value, or another end cycle, starts the format again.
  TileReceiveState other = state;
  other.format = 2u;
  EXPECT_FALSE(scheduled_receive_window(partner, 100, 10, other)->reuses_format);
  other = state;
  other.format_end = 153u;
  EXPECT_FALSE(scheduled_receive_window(partner, 100, 10, other)->reuses_format);
}

TEST_F(ScheduledWindow, Failures) {
  const auto row = point_row(10);
  const auto fails = [](const ReceiveRowTiming& r, std::uint32_t offset, std::uint32_t count, std::string_view text) {
    const auto window = scheduled_receive_window(r, offset, count, std::nullopt);
    ASSERT_FALSE(window);
    EXPECT_EQ(window.error(), schedule_error(text));
  };
  fails(row, 0xffffffff, 10, "receive offset overflow");
  fails(row, 0xffffffff - 170, 10, "receive offset overflow");  // only the row end (182) overflows
  ReceiveRowTiming no_source = row;
  no_source.source.reset();
  fails(no_source, 0, 10, "receive source timing");
  fails(row, 0, 0xffffffff, "receive source timing overflow");
  ReceiveRowTiming no_pointer = row;
  no_pointer.pointer.reset();
  fails(no_pointer, 0, 10, "receive pointer event");
  // The pointer (167) overflows where the source (113) does not.
  fails(row, 0, 0xffffffff - 120, "receive payload timing overflow");
  // A count of 0 moves the teardown onto the source selection.
  fails(row, 0, 0, "incompatible simultaneous receive controls");
  // Three controls on one cycle.
  ReceiveRowTiming crowded = row;
  crowded.events.push_back({167, 0x64000007, Kind::Source});
  fails(crowded, 0, 54, "incompatible simultaneous receive controls");
  // A pointer on its teardown is fine.
  EXPECT_TRUE(scheduled_receive_window(row, 0, 54, std::nullopt));
}

// Every point-to-point route between two standard tiles builds and prepares,
// and its data reaches the receiver exactly when the receiver selects it.
TEST(TimingProperties, EveryPointToPointPair) {
  const std::uint32_t counts[] = {1, 2, 5, 6, 10, 51, 52, 53, 54, 64, 65, 100, 4096, 4148};
  const auto& t = standard();
  for (std::uint32_t s = 0; s < 1472; ++s) {
    for (std::uint32_t r = 0; r < 1472; ++r) {
      if (s == r) continue;
      const std::uint32_t count = counts[(s * 7 + r) % std::size(counts)];
      const auto sender = static_cast<std::uint16_t>(s);
      const auto receiver = static_cast<std::uint16_t>(r);
      const auto exchange = t.point_to_point(sender, receiver, count);
      ASSERT_TRUE(exchange) << s << " -> " << r << ": " << exchange.error().message();
      const auto row = finalize_point_receiver(exchange->receiver, t.tiles()[s]);
      ASSERT_TRUE(row);
      const MulticastPlan plan{{*row}, exchange->sender};
      const auto prepared = plan.prepare();
      ASSERT_TRUE(prepared) << s << " -> " << r << ": " << prepared.error().message();
      const std::int32_t h = time_to_mux(t.tiles()[s], t.tiles()[r]);
      const ReceiveRowTiming& rx = prepared->receivers[0];
      ASSERT_EQ(prepared->send_end - prepared->send_start, count);
      ASSERT_LE(prepared->send_end, prepared->end);
      ASSERT_EQ(static_cast<std::int64_t>(prepared->send_start) + h + 1, std::int64_t{113});
      ASSERT_EQ(rx.source, 113u);
      ASSERT_FALSE(rx.paired);
      ASSERT_EQ(rx.events.size(), 3u);
      ASSERT_EQ(rx.events[0].word & 0x1fff, t.tiles()[s]);
      ASSERT_TRUE(std::is_sorted(rx.events.begin(), rx.events.end(),
                                 [](const ReceiveEvent& a, const ReceiveEvent& b) { return a.cycle < b.cycle; }));
      ASSERT_GT(*rx.pointer, *rx.source);
      ASSERT_GE(rx.end, *rx.pointer);
      const auto window = scheduled_receive_window(rx, 0, count, std::nullopt);
      ASSERT_TRUE(window) << s << " -> " << r << ": " << window.error().message();
      ASSERT_EQ(window->source_end, 113u + count);
      ASSERT_EQ(window->pointer_end, *rx.pointer + count);
      ASSERT_GE(window->end, std::max(window->source_end, window->pointer_end));
    }
  }
}

// Calls `check(sender, pair, count)` for every standard sender and every
// standard pair of receivers, with counts that include, for each pair, the
// two that put a paired teardown onto a control (col2 + 51 and col2 + 53).
template <class Check>
void for_every_sender_and_pair(Check&& check) {
  // Slots 0 and 1 stand for col2 + 51 and col2 + 53 of the pair.
  const std::uint32_t counts[] = {0, 1, 1, 2, 3, 10, 52, 53, 55, 64, 65, 97, 2074, 4148};
  const auto& t = standard();
  for (std::uint32_t s = 0; s < 1472; ++s) {
    for (std::uint32_t r = 0; r < 1472; r += 2) {
      const std::uint16_t pair[] = {static_cast<std::uint16_t>(r), static_cast<std::uint16_t>(r + 1)};
      const std::uint32_t col2 = 2u * (t.tiles()[r] >> 6);
      const std::size_t slot = (s * 5 + r / 2) % std::size(counts);
      const std::uint32_t count = slot == 0 ? col2 + 51 : slot == 1 ? col2 + 53 : counts[slot];
      check(static_cast<std::uint16_t>(s), std::span<const std::uint16_t>(pair), count);
      if (testing::Test::HasFatalFailure()) return;
    }
  }
}

testing::Message where(std::uint16_t s, std::span<const std::uint16_t> pair, std::uint32_t count) {
  return testing::Message() << s << " -> {" << pair[0] << ", " << pair[1] << "} count " << count;
}

// Ordinary multicasts always build, and each receiver selects the source
// exactly when the data reaches it.
TEST(TimingProperties, EveryMulticastToAPair) {
  const auto& t = standard();
  for_every_sender_and_pair([&](std::uint16_t s, std::span<const std::uint16_t> pair, std::uint32_t count) {
    const auto plan = t.multicast(s, pair, count, 0);
    ASSERT_TRUE(plan) << plan.error().message() << " at " << where(s, pair, count);
    const auto prepared = plan->prepare();
    ASSERT_TRUE(prepared) << prepared.error().message() << " at " << where(s, pair, count);
    ASSERT_EQ(prepared->send_end - prepared->send_start, count) << where(s, pair, count);
    ASSERT_LE(prepared->send_end, prepared->end) << where(s, pair, count);
    for (std::size_t k = 0; k < 2; ++k) {
      const ReceiveRowTiming& rx = prepared->receivers[k];
      const std::int32_t h = time_to_mux(t.tiles()[s], t.tiles()[pair[k]]);
      ASSERT_EQ(static_cast<std::int64_t>(*rx.source), prepared->send_start + h + 1) << where(s, pair, count);
      ASSERT_EQ(rx.address, (0x14000u << 2) & 0xffffcu) << where(s, pair, count);  // the placeholder
      const auto window = scheduled_receive_window(rx, 0, count, std::nullopt);
      ASSERT_TRUE(window) << window.error().message() << " at " << where(s, pair, count);
      ASSERT_EQ(window->source_end, *rx.source + count) << where(s, pair, count);
    }
  });
}

// Paired multicasts fail only where two controls of one receiver row would
// coincide: a count of 2 (pointer on format end) or, on the tile that selects
// the source, a teardown on the format start or the pointer.
TEST(TimingProperties, EveryPairedMulticastToAPair) {
  const auto& t = standard();
  for_every_sender_and_pair([&](std::uint16_t s, std::span<const std::uint16_t> pair, std::uint32_t count) {
    const std::uint16_t ps = t.tiles()[s];
    const std::uint32_t col2 = 2u * (t.tiles()[pair[0]] >> 6);
    bool coincide = count == 2;
    for (const std::uint16_t l : pair) {
      const bool selects = time_to_mux(ps, t.tiles()[l]) < time_to_mux(ps, t.tiles()[l] ^ 2);
      if (selects && (count == col2 + 51 || count == col2 + 53)) coincide = true;
    }
    const auto paired = t.paired_multicast(s, pair, count);
    if (coincide) {
      ASSERT_FALSE(paired) << where(s, pair, count);
      ASSERT_TRUE(paired.error().is_schedule("paired receive coincident controls"))
          << paired.error().message() << " at " << where(s, pair, count);
      return;
    }
    ASSERT_TRUE(paired) << paired.error().message() << " at " << where(s, pair, count);
    const std::uint32_t control = paired->sender[is_explicit_send(paired->sender[1]) ? 1 : 2] & 7;
    const bool loopback = s == pair[0] || s == pair[1];
    ASSERT_EQ(control, loopback ? 7u : (direction(ps, t.tiles()[pair[0]]) | 4u)) << where(s, pair, count);
    const auto prepared = paired->prepare();
    ASSERT_TRUE(prepared) << prepared.error().message() << " at " << where(s, pair, count);
    ASSERT_EQ(prepared->send_end - prepared->send_start, count) << where(s, pair, count);
    ASSERT_LE(prepared->send_end, prepared->end) << where(s, pair, count);
    const ReceiveRowTiming& a = prepared->receivers[0];
    const ReceiveRowTiming& b = prepared->receivers[1];
    ASSERT_TRUE(a.paired && b.paired) << where(s, pair, count);
    // Both tiles of the pair switch format together; exactly one selects the
    // source unless both hear the sender at the same time.
    ASSERT_EQ(a.format_start, b.format_start) << where(s, pair, count);
    ASSERT_EQ(*a.format_end, *a.format_start + count) << where(s, pair, count);
    ASSERT_EQ(*a.pointer, *a.format_start + 2) << where(s, pair, count);
    const bool tie = time_to_mux(ps, t.tiles()[pair[0]]) == time_to_mux(ps, t.tiles()[pair[1]]);
    ASSERT_EQ(a.source.has_value() + b.source.has_value(), tie ? 0 : 1) << where(s, pair, count);
    for (const ReceiveRowTiming* rx : {&a, &b}) {
      if (rx->source) {
        ASSERT_EQ(*rx->teardown, *rx->source + count) << where(s, pair, count);
      }
      const auto window = scheduled_receive_window(*rx, 0, count, std::nullopt);
      ASSERT_TRUE(window) << window.error().message() << " at " << where(s, pair, count);
      ASSERT_TRUE(std::is_sorted(window->events.begin(), window->events.end(),
                                 [](const ReceiveEvent& x, const ReceiveEvent& y) { return x.cycle < y.cycle; }))
          << where(s, pair, count);
    }
  });
}

}  // namespace
