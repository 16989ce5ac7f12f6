#include "exchange/encoding.h"

#include <gtest/gtest.h>

#include "fabric_fixtures.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string_view>
#include <vector>

#include "exchange/schedule.h"
#include "exchange/timing.h"
#include "exchange/topology.h"
#include "exchange/words.h"

namespace {

using namespace tarn_exchange;
using fabric_test::standard;
using encoding::EncodedSchedule;
using encoding::EncodingHint;
using Kind = ReceiveEventKind;
using Words = std::vector<std::uint32_t>;
using Tiles = std::vector<std::uint16_t>;

Words words_of(const Chunked<std::uint32_t>& words) { return words.to_vector(0, words.len()); }
Words words_of(const EncodedSchedule& encoded) { return words_of(encoded.words); }

// The sender row of a point-to-point route from logical 780 to logical 0:
// no leading delay, send control 2, the source operand set from `address`.
Row point_sender(std::uint32_t count, std::uint32_t address = 0) {
  const auto exchange = standard().point_to_point(780, 0, count);
  EXPECT_TRUE(exchange) << exchange.error().message();
  const auto patched = patch_sender_address(exchange->sender, address);
  EXPECT_TRUE(patched) << patched.error().message();
  return *patched;
}

// A row placed so that its payload starts at `start`.
ScheduledSenderRow placed(const Row& row, std::uint32_t start) {
  const auto timing = sender_row_timing(row, 0);
  EXPECT_TRUE(timing) << timing.error().message();
  return ScheduledSenderRow{row, start, start + timing->send_end - timing->send_start};
}

std::uint32_t initial_word(const Row& row) {
  for (const std::uint32_t word : row) {
    if (is_explicit_send(word)) return word;
  }
  ADD_FAILURE() << "row without initial send";
  return 0;
}

ReceiveEvent source(std::uint32_t cycle, std::uint32_t id = 0x123) { return {cycle, 0x64000000u | id, Kind::Source}; }
ReceiveEvent teardown(std::uint32_t cycle) { return {cycle, 0x64000640u, Kind::Teardown}; }
ReceiveEvent pointer(std::uint32_t cycle, std::uint32_t value = 0x2345) {
  return {cycle, 0x60000000u | value, Kind::Pointer};
}
ReceiveEvent paired_format(std::uint32_t cycle, std::uint32_t value) {
  return {cycle, 0x60040000u | value, Kind::PairedFormat};
}

TileProgramSchedule schedule_of(std::initializer_list<ScheduledSenderRow> rows,
                                std::initializer_list<ReceiveEvent> events, std::uint32_t horizon) {
  TileProgramSchedule schedule;
  for (const auto& row : rows) schedule.senders.push(row);
  for (const auto& event : events) schedule.receives.push(event);
  schedule.horizon = horizon;
  return schedule;
}

std::expected<EncodedSchedule, ExchangeError> fresh(const TileProgramSchedule& schedule) {
  return encoding::build_scheduled_program(schedule, schedule.receives, schedule.horizon, EncodingHint{});
}

Words fresh_words(const TileProgramSchedule& schedule) {
  const auto encoded = fresh(schedule);
  EXPECT_TRUE(encoded) << encoded.error().message();
  return encoded ? words_of(*encoded) : Words{};
}

std::string_view fresh_failure(const TileProgramSchedule& schedule) {
  const auto encoded = fresh(schedule);
  if (encoded) return "(encoded)";
  const auto* schedule_error = std::get_if<ExchangeError::Schedule>(&encoded.error().value);
  return schedule_error != nullptr ? schedule_error->message : "(not a schedule error)";
}

std::uint32_t sendpicp_first(std::uint32_t pic, std::uint32_t words, std::uint32_t operand, std::uint32_t control) {
  return 0xf0000000u | ((pic << 9) & 0x8000000u) | ((words - 1) << 21) | (operand << 3) | control;
}
std::uint32_t sendpicp_second(std::uint32_t pic, std::uint32_t xpic) { return (pic & 0x3ffffu) | (xpic << 18); }

// ---------------------------------------------------------------------------
// What a program does, read back independently of the encoder: the controls
// it sets (cycle of effect, stream, value), the cycles its sends cover, its
// initial sends, and the operands of its SENDPICPs that carry payload.

struct Effect {
  std::uint32_t cycle;
  bool pic;
  std::uint32_t value;
  friend auto operator<=>(const Effect&, const Effect&) = default;
};

struct Send {
  std::uint32_t start;
  std::uint32_t end;
  std::uint32_t word;  // the first word of the instruction
};

struct ProgramReading {
  std::vector<Effect> effects;
  std::vector<Send> sends;
  std::uint32_t end = 0;
  bool ends_with_return = false;
  bool pairs_aligned = true;
};

ProgramReading read_program(const Words& words) {
  ProgramReading out;
  std::uint32_t cycle = 0;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::uint32_t word = words[i];
    const std::uint32_t cycles = word_cycles(word);
    switch (classify_word(word)) {
      case WordKind::Return:
        out.ends_with_return = i + 1 == words.size();
        break;
      case WordKind::XpicControl:
        out.effects.push_back({cycle + cycles, false, word & 0x3fffu});
        break;
      case WordKind::PicControl:
        out.effects.push_back({cycle + cycles, true, word & 0x7ffffu});
        break;
      case WordKind::PicPair: {
        out.pairs_aligned = out.pairs_aligned && i % 2 == 0;
        const std::uint32_t second = i + 1 < words.size() ? words[i + 1] : 0;
        out.effects.push_back({cycle + 1, false, second >> 18});
        out.effects.push_back({cycle + 1, true, ((word >> 9) & 0x40000u) | (second & 0x3ffffu)});
        // Only a SENDPICP with a send control carries payload; in a receive
        // record it merely spans its interval.
        if ((word & 7u) != 0) out.sends.push_back({cycle, cycle + cycles, word});
        ++i;
        break;
      }
      case WordKind::PicSend:
        if ((word & 0x80000u) != 0) {
          out.effects.push_back({cycle + 1, true, word & 0x7ffffu});
        } else {
          out.effects.push_back({cycle + 1, false, (((word >> 18) & 1u) << 13) | (word & 0x1fffu)});
        }
        out.sends.push_back({cycle, cycle + cycles, word});
        break;
      case WordKind::ExplicitSend:
      case WordKind::OffsetSend:
        out.sends.push_back({cycle, cycle + cycles, word});
        break;
      case WordKind::Delay:
      case WordKind::Sync:
      case WordKind::Unknown:
        break;
    }
    cycle += cycles;
  }
  out.end = cycle;
  return out;
}

// Checks that `words` does what `schedule` says: every control takes effect
// at its cycle, every row's payload is sent exactly over [start, end) and
// begins with its own initial send, every payload-carrying SENDPICP names the
// row's source plus the words already sent, and the program fills the horizon.
void expect_program_does_schedule(const TileProgramSchedule& schedule, const Words& words) {
  const ProgramReading reading = read_program(words);
  EXPECT_TRUE(reading.ends_with_return);
  EXPECT_TRUE(reading.pairs_aligned);
  EXPECT_EQ(reading.end, schedule.horizon);

  std::vector<Effect> expected;
  for (const ReceiveEvent& event : schedule.receives) {
    const bool pic = !is_xpic_kind(event.kind);
    expected.push_back({event.cycle, pic, pic ? event.word & 0x7ffffu : event.word & 0x3fffu});
  }
  std::vector<Effect> effects = reading.effects;
  std::sort(expected.begin(), expected.end());
  std::sort(effects.begin(), effects.end());
  EXPECT_EQ(effects, expected);

  std::size_t send = 0;
  for (const ScheduledSenderRow& row : schedule.senders) {
    const std::uint32_t initial = initial_word(row.words);
    const std::uint32_t source = (initial >> 3) & 0x3ffffu;
    std::uint32_t cycle = row.start;
    bool first = true;
    while (cycle < row.end && send < reading.sends.size()) {
      const Send& s = reading.sends[send];
      ASSERT_EQ(s.start, cycle) << "sends must cover the row without gaps";
      if (first) {
        EXPECT_TRUE(is_explicit_send(s.word));
        EXPECT_EQ(s.word & 0x1fffffu, initial & 0x1fffffu) << "initial send keeps operand and control";
        first = false;
      } else {
        EXPECT_FALSE(is_explicit_send(s.word));
      }
      if (classify_word(s.word) == WordKind::PicPair) {
        EXPECT_EQ((s.word >> 3) & 0x3ffffu, source + (cycle - row.start));
        EXPECT_EQ(s.word & 7u, initial & 7u);
      }
      cycle = s.end;
      ++send;
    }
    EXPECT_EQ(cycle, row.end);
  }
  EXPECT_EQ(send, reading.sends.size()) << "no sends outside rows";
}

// ---------------------------------------------------------------------------

TEST(EncodedProgram, EmptyDelayOnlyAndPlainRow) {
  EXPECT_EQ(fresh_words(schedule_of({}, {}, 0)), (Words{0x43a00000}));
  const auto empty = fresh(schedule_of({}, {}, 0));
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->checkpoints.empty());

  EXPECT_EQ(fresh_words(schedule_of({}, {}, 10)), (Words{0x40a00009, 0x43a00000}));
  // Long waits are front-loaded Delay words.
  EXPECT_EQ(fresh_words(schedule_of({}, {}, 524289)), (Words{0x40a7ffff, 0x40a00000, 0x43a00000}));

  // 100 words: an Explicit send of 64 and an Offset send of 36, after delays up to the start.
  const Row row = point_sender(100, 0x400);
  const std::uint32_t initial = initial_word(row);
  ASSERT_EQ(initial & 7u, 2u);
  const auto encoded = fresh(schedule_of({placed(row, 30)}, {}, 140));
  ASSERT_TRUE(encoded) << encoded.error().message();
  EXPECT_EQ(words_of(*encoded), (Words{delay_word(30), (initial & 0x781fffffu) | (63u << 21), offset_send_word(36, 2),
                                       delay_word(10), 0x43a00000}));
  // One checkpoint after the row; none for the empty final record.
  ASSERT_EQ(encoded->checkpoints.len(), 1u);
  EXPECT_EQ(encoded->checkpoints[0], (encoding::Checkpoint{false, 0, 1, 0, 3, 130}));

  // Two rows that touch, and a row whose end does not match its payload.
  EXPECT_EQ(fresh_words(schedule_of({placed(point_sender(10), 0), placed(point_sender(5, 8), 10)}, {}, 15)),
            (Words{initial_word(point_sender(10)), initial_word(point_sender(5, 8)), 0x43a00000}));
  EXPECT_EQ(fresh_failure(schedule_of({ScheduledSenderRow{point_sender(10), 0, 11}}, {}, 20)),
            "sender payload horizon");
  EXPECT_EQ(fresh_failure(schedule_of({placed(point_sender(10), 0)}, {}, 9)), "plan delay order");
}

TEST(EncodedProgram, ControlsBetweenRowsAreRecordsWithCheckpoints) {
  // A source selection, a row, then a pair after it: leads are rewritten, the
  // pair is aligned, one checkpoint per group and per row.
  const Row row = point_sender(10);
  const auto encoded = fresh(schedule_of({placed(row, 20)}, {source(5), pointer(40), teardown(40)}, 60));
  ASSERT_TRUE(encoded) << encoded.error().message();
  EXPECT_EQ(words_of(*encoded),
            (Words{0x64000000u | (4u << 14) | 0x123, delay_word(15), initial_word(row), delay_word(9),
                   sendpicp_first(0x2345, 21, 0, 0), sendpicp_second(0x2345, 0x640), 0x43a00000}));
  ASSERT_EQ(encoded->checkpoints.len(), 3u);
  EXPECT_EQ(encoded->checkpoints[0], (encoding::Checkpoint{false, 0, 0, 1, 1, 5}));
  EXPECT_EQ(encoded->checkpoints[1], (encoding::Checkpoint{false, 0, 1, 1, 3, 30}));
  EXPECT_EQ(encoded->checkpoints[2], (encoding::Checkpoint{true, 60, 1, 3, 6, 60}));
  // With an even word count before it, the wait before the pair takes two Delay words.
  EXPECT_EQ(fresh_words(schedule_of({}, {source(5), teardown(10), source(20), pointer(20)}, 30)),
            (Words{0x64010123, 0x64010640, delay_word(8), delay_word(1), sendpicp_first(0x2345, 11, 0, 0),
                   sendpicp_second(0x2345, 0x64000123), 0x43a00000}));
}

TEST(EncodedProgram, ControlsInsideARowRideOnItsSends) {
  const Row row = point_sender(100, 0x400);  // source operand 0x100, control 2
  const std::uint32_t initial = initial_word(row);
  const auto explicit_of = [&](std::uint32_t words) { return (initial & 0x781fffffu) | ((words - 1) << 21); };
  const auto pic_send = [](std::uint32_t words, std::uint32_t stream, std::uint32_t operand) {
    return 0x70100000u | ((words - 1) << 21) | (stream << 18) | operand;
  };

  // A control on the second cycle of the send cannot ride on the initial send.
  EXPECT_EQ(fresh_failure(schedule_of({placed(row, 0)}, {pointer(1)}, 100)), "unencodable initial send control");
  // On its first cycle it is still a record of its own before the row.
  EXPECT_EQ(fresh_words(schedule_of({placed(row, 1)}, {pointer(1, 7)}, 101)),
            (Words{0x60000007, explicit_of(64), offset_send_word(36, 2), 0x43a00000}));

  // One PIC control: a Pic send of at most 64 words, then the rest.
  EXPECT_EQ(fresh_words(schedule_of({placed(row, 0)}, {pointer(30, 0x5abcd)}, 100)),
            (Words{explicit_of(29), pic_send(64, 2 | 1, 0x1abcd), offset_send_word(7, 2), 0x43a00000}));
  // Two controls: the Pic send reaches only up to the next one; an XPIC
  // control keeps its bit 13 in bit 18.
  EXPECT_EQ(fresh_words(schedule_of({placed(row, 0)}, {pointer(30), source(40, 0x2123)}, 100)),
            (Words{explicit_of(29), pic_send(10, 2, 0x2345), pic_send(61, 1, 0x123), 0x43a00000}));

  // A pair: a SENDPICP at an even word index, its operand the row's source
  // plus the words already sent; the initial send is split to align it.
  EXPECT_EQ(fresh_words(schedule_of({placed(row, 0)}, {source(10), pointer(10)}, 100)),
            (Words{explicit_of(1), offset_send_word(8, 2), sendpicp_first(0x2345, 64, 0x100 + 9, 2),
                   sendpicp_second(0x2345, 0x64000123), offset_send_word(27, 2), 0x43a00000}));
  // A single control before a pair gives up one word of its reach, so that a
  // one-word filler can put the SENDPICP on an even index.
  EXPECT_EQ(fresh_words(schedule_of({placed(row, 10)}, {pointer(20), teardown(30), pointer(30, 9)}, 110)),
            (Words{delay_word(10), explicit_of(9), pic_send(9, 2, 0x2345), offset_send_word(1, 2),
                   sendpicp_first(9, 64, 0x100 + 19, 2), sendpicp_second(9, 0x640), offset_send_word(17, 2),
                   0x43a00000}));
  // A control on the last payload word.
  EXPECT_EQ(fresh_words(schedule_of({placed(row, 0)}, {teardown(100)}, 100)),
            (Words{explicit_of(64), offset_send_word(35, 2), pic_send(1, 0, 0x640), 0x43a00000}));
}

TEST(EncodedProgram, SimultaneousControlsAreCheckedBeforeAnyWord) {
  // The control at cycle 0 alone would fail "receive control issue interval".
  EXPECT_EQ(fresh_failure(schedule_of({}, {source(0), source(50), pointer(50), teardown(50)}, 60)),
            "incompatible simultaneous receive controls");
  EXPECT_EQ(fresh_failure(schedule_of({}, {source(0), source(50), source(50, 7)}, 60)),
            "incompatible simultaneous receive controls");
  EXPECT_EQ(fresh_failure(schedule_of({}, {source(0), paired_format(50, 1), source(50)}, 60)),
            "incompatible simultaneous receive controls");
  // One pointer with one source or teardown is the one allowed pair.
  EXPECT_NE(fresh_failure(schedule_of({}, {source(0), pointer(50), source(50)}, 60)),
            "incompatible simultaneous receive controls");
}

TEST(EncodedProgram, ResumedCheckReachesBackToTheFirstEventOfAGroup) {
  // The new event joins a group that begins at index 0 (or in the middle):
  // the check must look at the whole group, not only the changed event.
  for (const std::size_t before : {0u, 1u, 2u}) {
    SCOPED_TRACE(before);
    TileProgramSchedule schedule;
    for (std::size_t i = 0; i < before; ++i) schedule.receives.push(source(10 + 10 * static_cast<std::uint32_t>(i)));
    schedule.receives.push(source(50));
    schedule.horizon = 60;
    ASSERT_TRUE(schedule.encoded());
    schedule.receive_changed_at(schedule.receives.len());
    schedule.receives.push(source(50, 7));
    const auto encoded = schedule.encoded();
    ASSERT_FALSE(encoded);
    EXPECT_EQ(encoded.error(), schedule_error("incompatible simultaneous receive controls"));
    EXPECT_FALSE(schedule.cache);
  }
}

// Schedules that break the writers' rules fail with a Schedule error (or
// resume safely) instead of reading outside the sequences.
TEST(EncodedProgram, MalformedSchedulesFailCleanly) {
  const Row row = point_sender(100);
  // Overlapping rows, the first carrying a control: the second row's range of
  // controls would begin before the first row's end.
  EXPECT_EQ(fresh_failure(schedule_of({placed(row, 20), placed(row, 50)},
                                      {pointer(5), pointer(10), pointer(60), pointer(80)}, 200)),
            "plan delay order");
  // A row ending before it starts, after controls that fall between its end and start.
  EXPECT_EQ(fresh_failure(schedule_of({ScheduledSenderRow{point_sender(10), 50, 40}},
                                      {pointer(30), teardown(45), pointer(46)}, 200)),
            "sender payload horizon");

  // Counts of unchanged elements beyond the sequences (changes not reported).
  const TileProgramSchedule longer = schedule_of({placed(row, 20)}, {source(5), pointer(60), teardown(150)}, 200);
  const auto previous = fresh(longer);
  ASSERT_TRUE(previous);
  const TileProgramSchedule shorter = schedule_of({placed(row, 20)}, {source(5)}, 200);
  const auto resumed = encoding::build_scheduled_program(
      shorter, shorter.receives, shorter.horizon,
      EncodingHint{std::make_shared<const EncodedSchedule>(*previous), 5, 5});
  ASSERT_TRUE(resumed) << resumed.error().message();
  EXPECT_EQ(words_of(*resumed), fresh_words(shorter));
}

TEST(EncodedProgram, SenderMessageFailures) {
  const Row row = point_sender(100);
  const std::uint32_t initial = initial_word(row);
  Row two_initial = row;
  two_initial[3] = initial;
  Row no_initial = row;
  for (auto& word : no_initial) {
    if (is_explicit_send(word)) word = offset_send_word(64, 2);
  }
  Row near_limit = row;
  for (auto& word : near_limit) {
    if (is_explicit_send(word)) word = (word & ~0x1ffff8u) | (0x3fff0u << 3);
  }
  struct Case {
    std::uint32_t cycle;
    ScheduledSenderRow row;
    std::vector<ReceiveEvent> events;
    std::string_view message;
  };
  const Case cases[] = {
      {11, {row, 10, 110}, {}, "plan delay order"},
      {0, {two_initial, 0, 164}, {}, "multiple initial sends"},
      {0, {no_initial, 0, 100}, {}, "sender payload"},
      {0, {row, 0, 100}, {pointer(0)}, "send control at phase entry"},
      {0, {row, 10, 110}, {pointer(5)}, "send control order"},
      {0, {row, 0, 100}, {pointer(20), pointer(15)}, "send control order"},  // out of order
      {0, {row, 0, 100}, {pointer(101)}, "send control beyond payload"},
      {0, {row, 0, 10}, {pointer(11)}, "empty receive-control continuation"},  // row ends before its payload
      {0, {near_limit, 0, 100}, {source(20), pointer(20)}, "SENDPICP operand"},
      {0, {row, 0, 100}, {source(20), teardown(20)}, "SENDPICP PIC control"},
      {0, {row, 0, 100}, {pointer(20), paired_format(20, 1)}, "SENDPICP XPIC control"},
      {0, {row, 0, 99}, {}, "sender payload horizon"},
      {0, {row, 0, 101}, {}, "sender payload horizon"},
      {0, {row, 0, 100}, {pointer(1)}, "unencodable initial send control"},
      {0, {row, 0, 100}, {source(2), pointer(2)}, "SENDPICP instruction alignment"},
      {0, {row, 0, 100}, {source(20), pointer(20), teardown(20)}, "incompatible simultaneous receive controls"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    Chunked<std::uint32_t> sink;
    std::uint32_t cycle = c.cycle;
    const auto done = encoding::append_sender_message(sink, cycle, c.row, c.events);
    ASSERT_FALSE(done);
    EXPECT_EQ(done.error(), schedule_error(c.message));
  }

  // A row whose end lies below its start, reached by a payload that would
  // wrap around the 32-bit cycle count, is refused rather than accepted.
  Chunked<std::uint32_t> sink;
  std::uint32_t cycle = 0;
  const auto wrapped = encoding::append_sender_message(sink, cycle, {row, 0xffffffd0u, 0x34}, {});
  ASSERT_FALSE(wrapped);
  EXPECT_EQ(wrapped.error(), schedule_error("sender payload horizon"));
}

TEST(EncodedProgram, SenderWordChunksAndFailures) {
  const std::uint32_t initial = 0x78000000u | (5u << 3) | 3;  // operand 5, control 3
  struct Case {
    std::size_t sink_length;
    bool initial_sent;
    std::uint32_t remaining;
    std::uint32_t length;
    bool align;
    std::uint32_t initial_word;
    Words expected;  // words pushed
    std::string_view message;  // or this failure
  };
  const auto first = [&](std::uint32_t words) { return (initial & 0x781fffffu) | ((words - 1) << 21); };
  const auto offset = [](std::uint32_t words) { return offset_send_word(words, 3); };
  const Case cases[] = {
      {0, false, 5000, 5000, false, initial, {first(64), offset(4096), offset(840)}, {}},
      {0, true, 5000, 5000, false, initial, {offset(4096), offset(904)}, {}},
      {0, true, 10, 0, false, initial, {}, {}},
      {2, true, 10, 0, true, initial, {}, {}},
      // Aligning: the last chunk larger than one word gives up one word.
      {0, false, 100, 10, true, initial, {first(1), offset(9)}, {}},
      {1, false, 100, 10, true, initial, {first(10)}, {}},
      {0, false, 5000, 64 + 4096 + 1, true, initial, {first(64), offset(1), offset(4095), offset(1)}, {}},
      {0, true, 10, 2, true, initial, {offset(1), offset(1)}, {}},
      {0, true, 10, 11, false, initial, {}, "sender payload overflow"},
      {0, false, 10, 0, false, initial, {}, "unencodable initial send control"},
      {1, true, 10, 0, true, initial, {}, "SENDPICP instruction alignment"},
      {0, true, 10, 1, true, initial, {}, "SENDPICP instruction alignment"},
      {0, false, 10, 2, false, offset_send_word(2, 3), {}, "initial send size"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "length " << c.length << " sink " << c.sink_length << " " << c.message);
    Chunked<std::uint32_t> sink;
    for (std::size_t i = 0; i < c.sink_length; ++i) sink.push(0x40a00000);
    std::uint32_t cycle = 100;
    std::uint32_t remaining = c.remaining;
    std::uint32_t sent = 7;
    bool initial_sent = c.initial_sent;
    const auto done =
        encoding::emit_sender_words(sink, cycle, c.initial_word, 3, remaining, sent, initial_sent, c.length, c.align);
    if (!c.message.empty()) {
      ASSERT_FALSE(done);
      EXPECT_EQ(done.error(), schedule_error(c.message));
      continue;
    }
    ASSERT_TRUE(done) << done.error().message();
    EXPECT_EQ(sink.to_vector(c.sink_length, sink.len()), c.expected);
    EXPECT_EQ(cycle, 100 + c.length);
    EXPECT_EQ(remaining, c.remaining - c.length);
    EXPECT_EQ(sent, 7 + c.length);
    EXPECT_EQ(initial_sent, c.initial_sent || c.length > 0);
  }
}

TEST(TileProgramSchedule, CacheProtocol) {
  TileProgramSchedule schedule = schedule_of({placed(point_sender(10), 20)}, {source(5), pointer(40)}, 60);
  EXPECT_FALSE(schedule.cache);
  // Nothing cached: the protocol leaves `previous` and the counters alone.
  schedule.begin_change();
  EXPECT_FALSE(schedule.previous);
  EXPECT_EQ(schedule.unchanged_senders, 0u);

  const auto first = schedule.encoded();
  ASSERT_TRUE(first) << first.error().message();
  EXPECT_EQ(schedule.cache, *first);
  EXPECT_EQ(*schedule.encoded(), *first) << "a set cache is returned as it is";

  schedule.begin_change();
  EXPECT_FALSE(schedule.cache);
  EXPECT_EQ(schedule.previous, *first);
  EXPECT_EQ(schedule.unchanged_senders, 1u);
  EXPECT_EQ(schedule.unchanged_receives, 2u);
  schedule.receives.insert(1, teardown(30));
  schedule.receive_changed_at(1);
  schedule.receives.remove(0);
  schedule.receive_changed_at(0);
  schedule.senders.push(placed(point_sender(5), 45));
  schedule.sender_changed_at(1);
  EXPECT_EQ(schedule.unchanged_senders, 1u);
  EXPECT_EQ(schedule.unchanged_receives, 0u);
  EXPECT_EQ(schedule.previous, *first) << "no encoding since: `previous` stays";

  // A failed encoding leaves the cache empty and the hint in place.
  schedule.horizon = 10;
  EXPECT_EQ(schedule.encoded().error(), schedule_error("plan delay order"));
  EXPECT_FALSE(schedule.cache);
  EXPECT_EQ(schedule.previous, *first);
  schedule.horizon = 60;
  const auto second = schedule.encoded();
  ASSERT_TRUE(second) << second.error().message();
  EXPECT_EQ(words_of(**second), fresh_words(schedule));

  // Reporting a change without begin_change() still retires the cache.
  schedule.senders.remove(1);
  schedule.sender_changed_at(1);
  EXPECT_FALSE(schedule.cache);
  EXPECT_EQ(schedule.previous, *second);
  EXPECT_EQ(schedule.unchanged_senders, 1u);
  EXPECT_EQ(schedule.unchanged_receives, 2u);
}

TEST(TileProgramSchedule, CopiesKeepTheirOwnCaches) {
  TileProgramSchedule original = schedule_of({placed(point_sender(100), 20)}, {source(5), pointer(60)}, 200);
  const TileProgramSchedule unencoded_copy = original;
  const auto encoded = original.encoded();
  ASSERT_TRUE(encoded);
  EXPECT_FALSE(unencoded_copy.cache) << "filling one copy's cache leaves the other empty";
  const Words before = words_of(**encoded);

  TileProgramSchedule copy = original;
  EXPECT_EQ(copy.cache, original.cache) << "a copy shares the cached value";
  copy.begin_change();
  copy.receives.push(teardown(150));
  copy.receive_changed_at(2);
  const auto changed = copy.encoded();
  ASSERT_TRUE(changed) << changed.error().message();
  EXPECT_EQ(original.cache, *encoded);
  EXPECT_EQ(words_of(*original.cache), before);
  EXPECT_NE(words_of(**changed), before);
  EXPECT_EQ(words_of(**changed), fresh_words(copy));
}

// A long program: a change at its end re-emits a few words and copies only
// the chunks it touches; everything before stays shared with the earlier
// encoding, which does not change.
TEST(TileProgramSchedule, ResumingCopiesOnlyTheTouchedChunks) {
  TileProgramSchedule schedule;
  std::uint32_t cycle = 0;
  for (std::uint32_t i = 0; i < 3000; ++i) {
    cycle += 3 + i % 7;
    if (i % 5 == 0) {
      schedule.receives.push(source(cycle));
      schedule.receives.push(pointer(cycle, i));
      cycle += 2;
    } else {
      schedule.receives.push(i % 2 == 0 ? teardown(cycle) : pointer(cycle, i));
    }
    if (i % 500 == 250) {
      schedule.senders.push(placed(point_sender(300, 4 * i), cycle + 10));
      cycle += 320;
    }
  }
  schedule.horizon = cycle + 10;
  const auto base = schedule.encoded();
  ASSERT_TRUE(base) << base.error().message();
  const Words base_words = words_of(**base);
  ASSERT_GT(base_words.size(), 10 * Chunked<std::uint32_t>::kChunkSize);

  TileProgramSchedule changed = schedule;
  changed.begin_change();
  changed.receives.push(teardown(cycle + 5));
  changed.receive_changed_at(changed.receives.len() - 1);
  changed.horizon = cycle + 20;
  const auto resumed = changed.encoded();
  ASSERT_TRUE(resumed) << resumed.error().message();
  const auto full = fresh(changed);
  ASSERT_TRUE(full);
  EXPECT_EQ((*resumed)->words, full->words);
  EXPECT_EQ((*resumed)->checkpoints, full->checkpoints);
  expect_program_does_schedule(changed, words_of(**resumed));

  const auto unshared = [](const auto& now, const auto& before) {
    std::size_t count = 0;
    for (std::size_t k = 0; k < now.chunk_count(); ++k) {
      count += k >= before.chunk_count() || now.chunk(k).data() != before.chunk(k).data();
    }
    return count;
  };
  EXPECT_LE(unshared((*resumed)->words, (*base)->words), 2u);
  EXPECT_LE(unshared((*resumed)->checkpoints, (*base)->checkpoints), 2u);
  EXPECT_EQ(words_of(**base), base_words);
  EXPECT_EQ(schedule.cache, *base);
}

// ---------------------------------------------------------------------------
// Random schedules and random edits: the encoding resumed through the cache
// protocol equals a fresh one, word for word and checkpoint for checkpoint,
// and the program does what the schedule says.

class RandomSchedules {
 public:
  explicit RandomSchedules(std::uint32_t seed) : rng_(seed) {
    // Sender rows of real routes: point-to-point, multicast and paired.
    const auto& topology = standard();
    for (int i = 0; i < 24; ++i) {
      const auto sender = static_cast<std::uint16_t>(pick(0, 1471));
      const std::uint32_t count = pick(0, 3) == 0 ? pick(65, 300) : pick(1, 64);
      std::optional<Row> row;
      switch (i % 3) {
        case 0: {
          const auto receiver = static_cast<std::uint16_t>((sender + pick(1, 1471)) % 1472);
          if (auto route = topology.point_to_point(sender, receiver, count)) row = route->sender;
          break;
        }
        case 1: {
          const Tiles receivers{static_cast<std::uint16_t>((sender + 5) % 1472),
                                static_cast<std::uint16_t>((sender + 77) % 1472)};
          if (auto plan = topology.multicast(sender, receivers, count, 0)) row = plan->sender;
          break;
        }
        default: {
          const auto partner = topology.paired_logical(static_cast<std::uint16_t>((sender + 9) % 1472));
          const Tiles receivers{static_cast<std::uint16_t>((sender + 9) % 1472), partner.value_or(0)};
          if (auto plan = topology.paired_multicast(sender, receivers, count)) row = plan->sender;
          break;
        }
      }
      if (!row) continue;
      // Operands near the top of their range make some SENDPICPs unencodable.
      const std::uint32_t unit = (initial_word(*row) & 4u) != 0 ? 8 : 4;
      const std::uint32_t operand = pick(0, 4) == 0 ? pick(0x3ff00, 0x3ffff) : pick(0, 0x3000);
      if (auto patched = patch_sender_address(*row, operand * unit)) {
        const auto timing = sender_row_timing(*patched, 0);
        if (timing) rows_.push_back({*patched, timing->send_start, timing->send_end});
      }
    }
  }

  std::uint32_t pick(std::uint32_t lo, std::uint32_t hi) { return std::uniform_int_distribution<std::uint32_t>(lo, hi)(rng_); }
  bool chance(std::uint32_t percent) { return pick(0, 99) < percent; }

  // The last cycle anything happens on.
  static std::uint32_t extent(const TileProgramSchedule& s) {
    std::uint32_t end = 0;
    if (!s.senders.empty()) end = s.senders[s.senders.len() - 1].end;
    if (!s.receives.empty()) end = std::max(end, s.receives[s.receives.len() - 1].cycle);
    return end;
  }

  // Near the end most of the time, anywhere otherwise.
  std::uint32_t cycle_for(const TileProgramSchedule& s) {
    const std::uint32_t end = extent(s);
    if (chance(65)) return end - std::min(end, pick(0, 60)) + pick(0, 120);
    return pick(0, end + 10);
  }
  std::size_t index_for(std::size_t length) {
    if (length == 0) return 0;
    if (chance(60)) return length - 1 - std::min<std::size_t>(length - 1, pick(0, 3));
    return pick(0, static_cast<std::uint32_t>(length - 1));
  }

  ReceiveEvent event_at(std::uint32_t cycle, Kind kind) {
    std::uint32_t id = pick(0, 0x1ffe);  // any source but the teardown value
    if (id >= 0x640) ++id;
    // Lead fields hold rubbish: emission rewrites them.
    const std::uint32_t xpic_lead = pick(0, 0xfff) << 14;
    const std::uint32_t pic_lead = pick(0, 0x7f) << 19;
    switch (kind) {
      case Kind::Source:
        return {cycle, 0x64000000u | xpic_lead | id, kind};
      case Kind::Teardown:
        return {cycle, 0x64000640u | xpic_lead, kind};
      case Kind::PairedSource:
        return {cycle, 0x64002000u | xpic_lead | id, kind};
      case Kind::PairedTeardown:
        return {cycle, 0x64002640u | xpic_lead, kind};
      case Kind::PairedPointer:
      case Kind::Pointer:
        return {cycle, 0x60000000u | pic_lead | pick(0, 0x3ffff), kind};
      case Kind::PairedFormat:
        return {cycle, 0x60040000u | pic_lead | pick(0, 2), kind};
    }
    return {};
  }

  static void insert_event(TileProgramSchedule& s, const ReceiveEvent& event) {
    // After every event of the same or an earlier cycle, as writers do.
    std::size_t at = s.receives.len();
    while (at > 0 && s.receives[at - 1].cycle > event.cycle) --at;
    s.receives.insert(at, event);
    s.receive_changed_at(at);
  }

  // One random edit through the cache protocol.
  void edit(TileProgramSchedule& s) {
    s.begin_change();
    const std::uint32_t what = pick(0, 99);
    if (what < 22 && !rows_.empty()) {
      // A row at a free place.
      const PlacedRow& row = rows_[pick(0, static_cast<std::uint32_t>(rows_.size() - 1))];
      const std::uint32_t start = cycle_for(s) + pick(0, 3);
      const ScheduledSenderRow placed_row{row.words, start, start + row.send_end - row.send_start};
      std::size_t at = 0;
      while (at < s.senders.len() && s.senders[at].start < start) ++at;
      if (at > 0 && s.senders[at - 1].end > placed_row.start) return;
      if (at < s.senders.len() && s.senders[at].start < placed_row.end) return;
      s.senders.insert(at, placed_row);
      s.sender_changed_at(at);
      s.horizon = std::max(s.horizon, placed_row.end + pick(0, 20));
    } else if (what < 30 && !s.senders.empty()) {
      const std::size_t at = index_for(s.senders.len());
      s.senders.remove(at);
      s.sender_changed_at(at);
    } else if (what < 70) {
      std::uint32_t cycle = cycle_for(s);
      if (chance(30) && !s.senders.empty()) {
        // Inside a row, where controls ride on its sends.
        const auto& row = s.senders[index_for(s.senders.len())];
        cycle = row.start + pick(0, row.end - row.start + 1);
      } else if (chance(5) && !s.receives.empty()) {
        cycle = s.receives[index_for(s.receives.len())].cycle;  // coincide with a control
      }
      if (chance(30)) {
        // The allowed pair, inserted in either order.
        const ReceiveEvent ptr = event_at(cycle, Kind::Pointer);
        const ReceiveEvent xpic = event_at(cycle, chance(50) ? Kind::Source : Kind::Teardown);
        const bool pointer_first = chance(50);
        insert_event(s, pointer_first ? ptr : xpic);
        insert_event(s, pointer_first ? xpic : ptr);
      } else {
        insert_event(s, event_at(cycle, static_cast<Kind>(pick(0, 6))));
      }
      s.horizon = std::max(s.horizon, cycle + pick(0, 20));
    } else if (what < 88 && !s.receives.empty()) {
      const std::size_t at = index_for(s.receives.len());
      s.receives.remove(at);
      s.receive_changed_at(at);
    } else {
      const std::uint32_t end = extent(s);
      s.horizon = chance(20) ? end + pick(0, 3) : std::max(end, s.horizon) + pick(0, 40) - std::min(s.horizon, 10u);
    }
  }

 private:
  struct PlacedRow {
    Row words;
    std::uint32_t send_start;
    std::uint32_t send_end;
  };
  std::mt19937 rng_;
  std::vector<PlacedRow> rows_;
};

TEST(TileProgramSchedule, ResumedEncodingEqualsFreshOnRandomEdits) {
  std::size_t accepted = 0;
  std::size_t resumed_long = 0;
  std::size_t long_programs = 0;
  for (const std::uint32_t seed : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u}) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    RandomSchedules random(seed);
    TileProgramSchedule current;
    ASSERT_TRUE(current.encoded());
    for (int step = 0; step < 1000; ++step) {
      SCOPED_TRACE(testing::Message() << "step " << step);
      const std::shared_ptr<const EncodedSchedule> kept = current.cache;
      const Words kept_words = words_of(*kept);

      TileProgramSchedule next = current;
      const std::uint32_t edits = random.chance(25) ? random.pick(2, 4) : 1;
      for (std::uint32_t e = 0; e < edits; ++e) random.edit(next);
      // Keep schedules from growing without end.
      while (next.receives.len() > 700) {
        next.receives.remove(0);
        next.receive_changed_at(0);
      }

      const auto resumed = next.encoded();
      const auto full = fresh(next);
      ASSERT_EQ(resumed.has_value(), full.has_value())
          << (resumed ? full.error().message() : resumed.error().message());
      // The copy's encoding never reaches the schedule it was copied from.
      ASSERT_EQ(current.cache, kept);
      ASSERT_EQ(words_of(*kept), kept_words);
      if (!resumed) {
        EXPECT_EQ(resumed.error(), full.error());
        EXPECT_FALSE(next.cache);
        continue;
      }
      ASSERT_EQ(words_of(**resumed), words_of(*full));
      ASSERT_EQ((*resumed)->checkpoints, full->checkpoints);
      expect_program_does_schedule(next, words_of(*full));
      if (HasFatalFailure()) return;

      if (kept->words.len() > 2 * Chunked<std::uint32_t>::kChunkSize) {
        ++long_programs;
        resumed_long += (*resumed)->words.chunk(0).data() == kept->words.chunk(0).data();
      }
      ++accepted;
      current = std::move(next);
    }
  }
  // The walk must reach long programs and resume on most of them, or it
  // proves little.
  EXPECT_GT(accepted, 2000u);
  EXPECT_GT(long_programs, 1000u);
  EXPECT_GT(resumed_long * 2, long_programs);
}

}  // namespace
