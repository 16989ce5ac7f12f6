#include "exchange/topology.h"

#include <gtest/gtest.h>

#include "fabric_fixtures.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "exchange/words.h"
#include "runtime/logging.h"

namespace {

using namespace tarn_exchange;
using fabric_test::standard;
using fabric_test::row_of;
using Tiles = std::vector<std::uint16_t>;

TEST(Topology, StandardTableTellingRowsAndPermutation) {
  const auto tiles = standard().tiles();
  ASSERT_EQ(tiles.size(), 1472u);
  const std::pair<std::uint16_t, std::uint16_t> telling[] = {
      {0, 0},       {1, 2},       {2, 64},      {3, 66}, {44, 1408}, {45, 1410},  {46, 1409},
      {47, 1411},   {48, 1345},   {90, 1},      {92, 4}, {1470, 61}, {1471, 63},
  };
  for (const auto& [logical, physical] : telling) EXPECT_EQ(tiles[logical], physical) << logical;
  Tiles sorted(tiles.begin(), tiles.end());
  std::sort(sorted.begin(), sorted.end());
  for (std::uint16_t i = 0; i < sorted.size(); ++i) ASSERT_EQ(sorted[i], i);
  // Logical i XOR 1 is the pair partner of logical i.
  for (std::uint16_t i = 0; i < tiles.size(); ++i) {
    ASSERT_EQ(tiles[i] ^ 2, tiles[i ^ 1]);
    ASSERT_EQ(standard().paired_logical(i), static_cast<std::uint16_t>(i ^ 1));
  }
}

TEST(Topology, CreateRefusesEmptyAndRepeatedTables) {
  EXPECT_EQ(Topology::create(Tiles{}).error(), receiver_set_error());
  EXPECT_EQ(Topology::create(Tiles{5, 7, 5}).error(), receiver_set_error());
  const auto topology = Topology::create(Tiles{5, 7, 1});
  ASSERT_TRUE(topology);
  EXPECT_EQ(topology->tile_count(), 3u);
  // 5 and 7 are partners (ids differing in bit 1); 1 has none.
  EXPECT_EQ(topology->paired_logical(0), std::uint16_t{1});
  EXPECT_EQ(topology->paired_logical(1), std::uint16_t{0});
  EXPECT_EQ(topology->paired_logical(2).error(), tile_error(2));
  EXPECT_EQ(topology->paired_logical(3).error(), tile_error(3));
  // A partner that is not beside its tile is still found.
  EXPECT_EQ(Topology::create(Tiles{64, 9, 66})->paired_logical(0), std::uint16_t{2});
}

TEST(Topology, TimeToMuxAndDirection) {
  EXPECT_EQ(time_to_mux(0, 64), -31);
  EXPECT_EQ(time_to_mux(1408, 0), 15);
  EXPECT_EQ(time_to_mux(0, 1), -25);
  EXPECT_EQ(direction(0, 1), 1);
  EXPECT_EQ(time_to_mux(1, 0), -25);
  EXPECT_EQ(direction(1, 0), 2);
  EXPECT_EQ(time_to_mux(1440, 0), 112);
  EXPECT_EQ(direction(1440, 0), 2);

  std::int32_t lowest = 0;
  std::int32_t highest = 0;
  for (std::uint32_t a = 0; a < 1472; ++a) {
    for (std::uint32_t b = 0; b < 1472; ++b) {
      const std::int32_t h = time_to_mux(static_cast<std::uint16_t>(a), static_cast<std::uint16_t>(b));
      lowest = std::min(lowest, h);
      highest = std::max(highest, h);
    }
  }
  EXPECT_EQ(lowest, -78);
  EXPECT_EQ(highest, 112);
}

TEST(Topology, PointToPointRows) {
  // Logical 780 is physical 1440, logical 0 physical 0: h = 112, direction 2,
  // so no leading delay; column 0 gives col2 = 0.
  struct Case {
    std::uint32_t count;
    Row sender;
    std::array<std::uint32_t, 8> receiver;
  };
  const Case cases[] = {
      {1,
       row_of({0x41800003, 0x78000002, 0x40a00004, 0x43a00000}),  // 112 - 1 - 106 = 5 trailing cycles
       {0x41800003, 0x641c0000, 0x64000640, 0x61900000, 0x40a00005, 0x43a00000, 0, 0}},
      {10,
       row_of({0x41800003, 0x79200002, 0x43a00000}),
       {0x41800003, 0x641c0000, 0x64024640, 0x61480000, 0x40a0000e, 0x43a00000, 0, 0}},
      {51,
       row_of({0x41800003, 0x7e400002, 0x43a00000}),
       {0x41800003, 0x641c0000, 0x640c8640, 0x60000000, 0x40a00037, 0x43a00000, 0, 0}},
      // From 52 the pointer comes first; 52 and 53 share the teardown word.
      {52,
       row_of({0x41800003, 0x7e600002, 0x43a00000}),
       {0x41800003, 0x641c0000, 0x61980000, 0x64000640, 0x40a00038, 0x43a00000, 0, 0}},
      {53,
       row_of({0x41800003, 0x7e800002, 0x43a00000}),
       {0x41800003, 0x641c0000, 0x61980000, 0x64000640, 0x40a00038, 0x43a00000, 0, 0}},
      {64,
       row_of({0x41800003, 0x7fe00002, 0x43a00000}),
       {0x41800003, 0x641c0000, 0x61980000, 0x6402c640, 0x40a00038, 0x43a00000, 0, 0}},
      {65,
       row_of({0x41800003, 0x7fe00002, 0x70000002, 0x43a00000}),
       {0x41800003, 0x641c0000, 0x61980000, 0x64030640, 0x40a00038, 0x43a00000, 0, 0}},
      {4148,
       row_of({0x41800003, 0x7fe00002, 0x766fc002, 0x43a00000}),
       {0x41800003, 0x641c0000, 0x61980000, 0x67ffc640, 0x40a00038, 0x43a00000, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    const auto exchange = standard().point_to_point(780, 0, c.count);
    ASSERT_TRUE(exchange) << exchange.error().message();
    EXPECT_EQ(exchange->sender, c.sender);
    EXPECT_EQ(exchange->receiver.words, c.receiver);
    EXPECT_EQ(exchange->receiver.patch_index, 1u);
  }

  // Logical 0 (physical 0) to logical 2 (physical 64): h = -31, direction 1,
  // a 143-cycle lead-in; column 1 gives col2 = 2.
  const auto exchange = standard().point_to_point(0, 2, 10);
  ASSERT_TRUE(exchange);
  EXPECT_EQ(exchange->sender, row_of({0x41800003, 0x40a0008e, 0x79200001, 0x43a00000}));
  EXPECT_EQ(exchange->receiver.words,
            (std::array<std::uint32_t, 8>{0x41800003, 0x641c0000, 0x64024640, 0x61580000, 0x40a0000e, 0x43a00000,
                                          0, 0}));
}

TEST(Topology, PointToPointFailures) {
  const auto& t = standard();
  EXPECT_EQ(t.point_to_point(0, 2, 0).error(), count_error(0));
  EXPECT_EQ(t.point_to_point(0, 2, 4149).error(), count_error(4149));
  EXPECT_EQ(t.point_to_point(3000, 3000, 4149).error(), count_error(4149));  // the count first
  EXPECT_EQ(t.point_to_point(3000, 3000, 1).error(), duplicate_tile_error());
  EXPECT_EQ(t.point_to_point(1500, 1600, 1).error(), tile_error(1500));  // the sender first
  EXPECT_EQ(t.point_to_point(0, 1600, 1).error(), tile_error(1600));
  // Physical 2013 to 2 is 113 cycles: too late for the receiver's fixed lead.
  const auto far = Topology::create(Tiles{2013, 2});
  ASSERT_TRUE(far);
  ASSERT_EQ(time_to_mux(2013, 2), 113);
  EXPECT_TRUE(far->point_to_point(0, 1, 1).error().is_schedule("sender delay"));
}

TEST(Topology, MulticastRows) {
  const auto& t = standard();
  // 0 -> {2, 3} (physical 64, 66): h = -31 and -30, so a 31-cycle start and
  // send control 3; leads 0 and 1.
  const Tiles pair = {2, 3};
  auto plan = t.multicast(0, pair, 10, 0);
  ASSERT_TRUE(plan) << plan.error().message();
  EXPECT_EQ(plan->sender, row_of({0x41800003, 0x40a0001e, 0x79200003, 0x43a00000}));
  ASSERT_EQ(plan->receivers.size(), 2u);
  EXPECT_EQ(plan->receivers[0], row_of({0x41800003, 0x64000000, 0x64024640, 0x61594000, 0x40a0000e, 0x43a00000}));
  EXPECT_EQ(plan->receivers[1], row_of({0x41800003, 0x64004000, 0x64024640, 0x61594000, 0x40a0000e, 0x43a00000}));

  // The schedule offset delays everything; count >= 52 puts the pointer first.
  plan = t.multicast(0, pair, 100, 5);
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->sender, row_of({0x41800003, 0x40a00023, 0x7fe00003, 0x74600003, 0x43a00000}));
  EXPECT_EQ(plan->receivers[0], row_of({0x41800003, 0x64014000, 0x61a94000, 0x640bc640, 0x40a00038, 0x43a00000}));

  // Every h >= 0, offset 0: no leading delay; a one-word send is padded to six cycles.
  const Tiles from_far = {0, 2};
  plan = t.multicast(780, from_far, 1, 0);
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->sender, row_of({0x41800003, 0x78000003, 0x40a00004, 0x43a00000}));
  EXPECT_EQ(plan->receivers[0], row_of({0x41800003, 0x641c05a0, 0x64000640, 0x61914000, 0x40a00005, 0x43a00000}));

  // A single receiver sends with its direction; the sender may be among several receivers.
  plan = t.multicast(780, Tiles{0}, 1, 0);
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->sender[1], 0x78000002u);
  plan = t.multicast(0, Tiles{0, 2}, 1, 0);
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->sender[2] & 7, 3u);
}

TEST(Topology, MulticastFailures) {
  const auto& t = standard();
  struct Case {
    std::uint16_t sender;
    Tiles receivers;
    std::uint32_t count;
    std::uint32_t offset;
    ExchangeError error;
  };
  const Case cases[] = {
      {0, {2}, 0, 0, count_error(0)},
      {0, {2}, 4149, 0, count_error(4149)},
      {1472, {}, 1, 0, tile_error(1472)},  // the sender before the receivers
      {0, {}, 1, 0, receiver_set_error()},
      {0, {0}, 1, 0, receiver_set_error()},
      {0, {2, 3, 2}, 1, 0, receiver_set_error()},
      {0, {2, 1472}, 1, 0, receiver_set_error()},
      // 0 -> 2 needs 31 cycles of start: 4065 + 31 is one too many.
      {0, {2}, 1, 4065, schedule_error("multicast start cycle")},
      {0, {2}, 1, 0xffffffff, schedule_error("multicast start cycle")},
      // 780 -> 0 has h = 112: 3984 + 112 is one too many for the receiver's lead.
      {780, {0}, 1, 3984, schedule_error("multicast receive cycle")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error.message());
    const auto plan = t.multicast(c.sender, c.receivers, c.count, c.offset);
    ASSERT_FALSE(plan);
    EXPECT_EQ(plan.error(), c.error);
  }
  EXPECT_TRUE(t.multicast(0, Tiles{2}, 1, 4064));
  EXPECT_TRUE(t.multicast(780, Tiles{0}, 1, 3983));
}

TEST(Topology, PairedMulticastRows) {
  const auto& t = standard();
  // 0 -> {2, 3}: physical 64 hears the pair first (-31 < -30) and selects the
  // source; min_mux = -30, so both rows start at P = 1 and U = 54.
  auto plan = t.paired_multicast(0, Tiles{2, 3}, 10);
  ASSERT_TRUE(plan) << plan.error().message();
  EXPECT_EQ(plan->sender, row_of({0x41800003, 0x40a0001e, 0x79200005, 0x43a00000}));  // control 1 | 4
  ASSERT_EQ(plan->receivers.size(), 2u);
  EXPECT_EQ(plan->receivers[0],
            row_of({0x41800003, 0x64002000, 0x64026640, 0x61540001, 0x60080000, 0x603c0000, 0x40a00006, 0x43a00000}));
  EXPECT_EQ(plan->receivers[1], row_of({0x41800003, 0x61ac0001, 0x60080000, 0x603c0000, 0x40a00006, 0x43a00000}));
  auto direct = t.paired_receiver_row(0, 2, 10, -30);
  ASSERT_TRUE(direct);
  EXPECT_EQ(*direct, plan->receivers[0]);

  // Two pairs, or a pair holding the sender: control 7.
  plan = t.paired_multicast(0, Tiles{2, 3, 5, 4}, 10);
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->sender[2] & 7, 7u);
  plan = t.paired_multicast(0, Tiles{1, 0}, 10);
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->sender[2] & 7, 7u);
}

TEST(Topology, PairedMulticastFailures) {
  const auto& t = standard();
  struct Case {
    std::uint16_t sender;
    Tiles receivers;
    std::uint32_t count;
    ExchangeError error;
  };
  const Case cases[] = {
      {0, {2, 3}, 0, count_error(0)},
      {0, {}, 1, receiver_set_error()},
      {0, {2, 3, 4}, 1, receiver_set_error()},  // odd length
      {0, {2, 4}, 1, receiver_set_error()},     // not partners
      {0, {2, 2}, 1, receiver_set_error()},
      {0, {2, 1472}, 1, receiver_set_error()},
      {1472, {2, 3}, 1, tile_error(1472)},  // receivers are checked first
      {1472, {2, 4}, 1, receiver_set_error()},
      // Count 2 puts the pointer on the format end.
      {0, {2, 3}, 2, schedule_error("paired receive coincident controls")},
      // Count 2 * 1 + 51 puts the teardown on the format start.
      {0, {2, 3}, 53, schedule_error("paired receive coincident controls")},
      {0, {2, 3}, 55, schedule_error("paired receive coincident controls")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error.message());
    const auto plan = t.paired_multicast(c.sender, c.receivers, c.count);
    ASSERT_FALSE(plan);
    EXPECT_EQ(plan.error(), c.error);
  }
  EXPECT_TRUE(t.paired_multicast(0, Tiles{2, 3}, 54));
  // Partners are found through the table, not by logical neighbours.
  const auto custom = Topology::create(Tiles{0, 64, 9, 66});
  ASSERT_TRUE(custom);
  EXPECT_TRUE(custom->paired_multicast(0, Tiles{1, 3}, 10));
  EXPECT_EQ(custom->paired_multicast(0, Tiles{1, 2}, 10).error(), receiver_set_error());
}

TEST(Topology, PairedReceiverRowFailures) {
  const auto& t = standard();
  EXPECT_EQ(t.paired_receiver_row(1472, 1473, 10, 0).error(), tile_error(1472));
  EXPECT_EQ(t.paired_receiver_row(0, 1473, 10, 0).error(), tile_error(1473));
  // Both time_to_mux values are negative; with min_mux far above them P < 0.
  ASSERT_LT(std::max(time_to_mux(0, 64), time_to_mux(0, 66)), 0);
  EXPECT_TRUE(t.paired_receiver_row(0, 2, 10, 1000).error().is_schedule("paired source timing"));
  // A start a billion cycles out needs thousands of delay words.
  EXPECT_TRUE(t.paired_receiver_row(0, 2, 10, -1000000000).error().is_schedule("paired receive row capacity"));
  // min_mux far below zero moves every control past the last cycle a row can end on.
  EXPECT_TRUE(t.paired_receiver_row(0, 2, 10, std::numeric_limits<std::int32_t>::min())
                  .error()
                  .is_schedule("paired receive row capacity"));
  EXPECT_TRUE(t.paired_receiver_row(0, 2, 0xfffffff0u, -30).error().is_schedule("paired receive horizon overflow"));
}

TEST(Topology, SenderAddressAndControl) {
  const Row row = row_of({0x41800003, 0x40a0001e, 0x79200003, 0x70460003, 0x43a00000});
  EXPECT_EQ(patch_sender_address(row, 0x100)->at(2), 0x79200003u + (0x40u << 3));
  EXPECT_EQ(patch_sender_address(row, 6).error(), address_error(6));
  EXPECT_EQ(patch_sender_address(row, 0xffffc)->at(2), 0x79200003u | (0x3ffffu << 3));
  EXPECT_EQ(patch_sender_address(row, 0x100000).error(), address_error(0x100000));
  // An old operand is replaced, not added to.
  const Row patched = *patch_sender_address(row, 0x100);
  EXPECT_EQ(patch_sender_address(patched, 8)->at(2), 0x79200003u + (2u << 3));
  EXPECT_EQ(patch_sender_address(row_of({0x41800003, 0x43a00000}), 0).error(), address_error(0));

  Row wide = row;
  ASSERT_TRUE(set_sender_control(wide, 7));
  EXPECT_EQ(wide, row_of({0x41800003, 0x40a0001e, 0x79200007, 0x70460007, 0x43a00000}));
  // 8-byte units with bit 2 of the control set.
  EXPECT_EQ(patch_sender_address(wide, 0x100)->at(2), 0x79200007u + (0x20u << 3));
  EXPECT_EQ(patch_sender_address(wide, 4).error(), address_error(4));
  // Setting the control it already has still finds the payload.
  EXPECT_TRUE(set_sender_control(wide, 7));

  Row untouched = row;
  EXPECT_TRUE(set_sender_control(untouched, 0).error().is_schedule("send control"));
  EXPECT_TRUE(set_sender_control(untouched, 8).error().is_schedule("send control"));
  EXPECT_EQ(untouched, row);
  Row no_payload = row_of({0x41800003, 0x40a00005, 0x43a00000});
  EXPECT_TRUE(set_sender_control(no_payload, 3).error().is_schedule("sender payload"));
  // A SENDPICP with a send control is a payload; one with control 0 is not.
  Row pair = row_of({0x41800003, 0xf0000001, 0x12345678, 0xf0000000, 0x43a00000});
  ASSERT_TRUE(set_sender_control(pair, 6));
  EXPECT_EQ(pair[1], 0xf0000006u);
  EXPECT_EQ(pair[3], 0xf0000000u);
}

TEST(Topology, FinalizePointReceiver) {
  const auto exchange = standard().point_to_point(780, 0, 10);
  ASSERT_TRUE(exchange);
  const auto row = finalize_point_receiver(exchange->receiver, 1440);
  ASSERT_TRUE(row);
  EXPECT_EQ(*row, row_of({0x41800003, 0x641c05a0, 0x64024640, 0x61480000, 0x40a0000e, 0x43a00000}));
  EXPECT_TRUE(finalize_point_receiver(exchange->receiver, 8192).error().is_schedule("point receiver patch index"));
  PointReceiver bad = exchange->receiver;
  bad.patch_index = 8;
  EXPECT_TRUE(finalize_point_receiver(bad, 1).error().is_schedule("point receiver patch index"));
  // The old source bits are replaced.
  PointReceiver stale = exchange->receiver;
  stale.words[1] |= 0x1fff;
  EXPECT_EQ(finalize_point_receiver(stale, 3)->at(1), 0x641c0003u);
}

// Successful route assemblies are debug events of target tarn_exchange;
// failures are returned, not logged.
TEST(Topology, AssembledRoutesAreDebugEvents) {
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  ASSERT_TRUE(tarn_runtime::install_logger("tarn_exchange=debug", tarn_runtime::LogFormat::Json, out));
  const auto& t = standard();
  EXPECT_TRUE(t.point_to_point(780, 0, 10));
  EXPECT_FALSE(t.point_to_point(780, 780, 10));
  EXPECT_TRUE(t.multicast(0, Tiles{2, 3}, 10, 0));
  EXPECT_FALSE(t.multicast(0, Tiles{2, 2}, 10, 0));
  tarn_runtime::reset_logger_for_testing();

  std::string text;
  std::rewind(out);
  for (int c = std::fgetc(out); c != EOF; c = std::fgetc(out)) text.push_back(static_cast<char>(c));
  std::fclose(out);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
  const auto first = text.find(
      R"("target":"tarn_exchange","message":"assembled point-to-point exchange",)"
      R"("fields":{"sender_logical":780,"receiver_logical":0,"count":10}})");
  const auto second = text.find(
      R"("target":"tarn_exchange","message":"assembled multicast exchange",)"
      R"("fields":{"sender_logical":0,"receiver_logical":"[2, 3]","count":10,"schedule_offset":0}})");
  EXPECT_NE(first, std::string::npos) << text;
  EXPECT_NE(second, std::string::npos) << text;
  EXPECT_LT(first, second);
}

}  // namespace
