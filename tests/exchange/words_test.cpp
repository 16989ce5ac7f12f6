#include "exchange/words.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string_view>
#include <vector>

namespace {

using namespace tarn_exchange;
using Words = std::vector<std::uint32_t>;
using Kind = ReceiveEventKind;

TEST(ExchangeWords, ClassifiesInTableOrderWithCycles) {
  struct Case {
    std::uint32_t word;
    WordKind kind;
    std::uint32_t cycles;
  };
  const Case cases[] = {
      {0x43a00000, WordKind::Return, 0},
      {0x40a00000, WordKind::Delay, 1},
      {0x40a7ffff, WordKind::Delay, 524288},
      {0x40a80000, WordKind::Unknown, 0},  // outside the Delay pattern
      {0x64000000, WordKind::XpicControl, 1},
      {0x641c0000, WordKind::XpicControl, 113},
      {0x67ffffff, WordKind::XpicControl, 4096},
      {0x60000000, WordKind::PicControl, 1},
      {0x63ffffff, WordKind::PicControl, 128},
      {0xf0000000, WordKind::PicPair, 1},
      {0xffffffff, WordKind::PicPair, 64},
      {0xf8000000, WordKind::PicPair, 1},  // also >= 0x78000000 unsigned: the pair rule comes first
      {0x70100000, WordKind::PicSend, 1},
      {0x77f00000, WordKind::PicSend, 64},
      {0x78000000, WordKind::ExplicitSend, 1},
      {0x7fffffff, WordKind::ExplicitSend, 64},
      {0x70000000, WordKind::OffsetSend, 1},
      {0x77efc000, WordKind::OffsetSend, 4096},
      {0x70004000, WordKind::OffsetSend, 65},
      {0x41800003, WordKind::Sync, 0},
      {0x418000ff, WordKind::Sync, 0},
      // Negative as a signed word: never an explicit send.
      {0x80000000, WordKind::Unknown, 0},
      {0xefffffff, WordKind::Unknown, 0},
      {0xb8000000, WordKind::Unknown, 0},
      {0x00000000, WordKind::Unknown, 0},
      {0x68000000, WordKind::Unknown, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.word);
    EXPECT_EQ(classify_word(c.word), c.kind);
    EXPECT_EQ(word_cycles(c.word), c.cycles);
  }
}

TEST(ExchangeWords, ControlWordKinds) {
  EXPECT_EQ(control_word_kind(0x641c0000), Kind::Source);
  EXPECT_EQ(control_word_kind(0x64000640), Kind::Teardown);
  EXPECT_EQ(control_word_kind(0x64002000), Kind::PairedSource);
  EXPECT_EQ(control_word_kind(0x64002640), Kind::PairedTeardown);
  EXPECT_EQ(control_word_kind(0x64000641), Kind::Source);  // only 0x640 exactly tears down
  EXPECT_EQ(control_word_kind(0x60014000), Kind::Pointer);
  EXPECT_EQ(control_word_kind(0x60040001), Kind::PairedFormat);
  EXPECT_TRUE(is_xpic_kind(Kind::PairedTeardown));
  EXPECT_FALSE(is_xpic_kind(Kind::PairedPointer));
}

TEST(ExchangeWords, DelaysAreFrontLoaded) {
  const auto delays = [](std::uint32_t cycles) {
    Words out;
    append_delay(out, cycles);
    return out;
  };
  EXPECT_EQ(delays(0), Words{});
  EXPECT_EQ(delays(172), Words{0x40a000ab});
  EXPECT_EQ(delays(524288), Words{0x40a7ffff});
  EXPECT_EQ(delays(524289), (Words{0x40a7ffff, 0x40a00000}));
  EXPECT_EQ(delays(1048577), (Words{0x40a7ffff, 0x40a7ffff, 0x40a00000}));
}

// Runs the record over `events` into `sink` from `cycle`.
struct Record {
  Words sink;
  std::uint32_t cycle = 0;
  std::expected<void, ExchangeError> result;
};

Record record(std::vector<ReceiveEvent> events, std::uint32_t until, bool align = false, Words sink = {},
              std::uint32_t cycle = 0) {
  Record r{std::move(sink), cycle, {}};
  r.result = append_receive_events_record(r.sink, r.cycle, events, until, align);
  return r;
}

TEST(ExchangeReceiveRecord, SingleControlsGetLeadsAndDelays) {
  // A PIC control 300 cycles ahead: a 172-cycle Delay, then lead 127.
  auto r = record({{300, 0x60000000 | 0x12345, Kind::Pointer}}, 300);
  ASSERT_TRUE(r.result);
  EXPECT_EQ(r.sink, (Words{0x40a000ab, 0x63f80000 | 0x12345}));
  EXPECT_EQ(r.cycle, 300u);

  // An XPIC control one cycle ahead: lead 0, no delay; the stale lead is replaced.
  r = record({{11, 0x641c0123, Kind::Source}}, 20, false, {}, 10);
  ASSERT_TRUE(r.result);
  EXPECT_EQ(r.sink, (Words{0x64000123, 0x40a00008}));
  EXPECT_EQ(r.cycle, 20u);

  // An XPIC control 5000 ahead: window 4096, so a 904-cycle delay and lead 4095.
  r = record({{5000, 0x64000640, Kind::Teardown}}, 5000);
  ASSERT_TRUE(r.result);
  EXPECT_EQ(r.sink, (Words{0x40a00387, 0x67ffc640}));

  // Nothing to do.
  r = record({}, 7, false, {1, 2}, 7);
  ASSERT_TRUE(r.result);
  EXPECT_EQ(r.sink, (Words{1, 2}));
}

TEST(ExchangeReceiveRecord, PairsBecomeSendpicp) {
  const ReceiveEvent xpic{1, 0x64000640, Kind::Teardown};
  const ReceiveEvent pic{1, 0x60000000 | 0x2abcd, Kind::Pointer};
  // A pair at cycle 1 from cycle 0 needs no delay; the next group at 2 limits it to one word.
  auto r = record({pic, xpic, {2, 0x64000005, Kind::Source}}, 2);
  ASSERT_TRUE(r.result) << r.result.error().message();
  EXPECT_EQ(r.sink, (Words{0xf0000000, 0x2abcd | (0x640u << 18), 0x64000005}));

  // Followed by a group 100 cycles later it carries 64 words; PIC bit 18 moves to bit 27.
  const ReceiveEvent format{1, 0x60040002, Kind::PairedFormat};
  r = record({xpic, format, {101, 0x64000005, Kind::Source}}, 101);
  ASSERT_TRUE(r.result);
  EXPECT_EQ(r.sink[0], 0xf0000000u | 0x8000000u | (63u << 21));
  EXPECT_EQ(r.sink[1], 2u | (0x640u << 18));

  // The last pair runs to `until`: from cycle 4 to 15 is eleven words.
  r = record({{5, 0x64000640, Kind::Teardown}, {5, 0x60000001, Kind::Pointer}}, 15);
  ASSERT_TRUE(r.result);
  EXPECT_EQ(r.sink, (Words{0x40a00003, 0xf0000000 | (10u << 21), 1u | (0x640u << 18)}));
  EXPECT_EQ(r.cycle, 15u);
}

TEST(ExchangeReceiveRecord, AlignmentOfPairs) {
  const auto pair_at = [](std::uint32_t c) {
    return std::vector<ReceiveEvent>{{c, 0x64000640, Kind::Teardown}, {c, 0x60000001, Kind::Pointer}};
  };
  const std::string_view alignment = "SENDPICP instruction alignment";
  // o = 0 with an odd sink.
  EXPECT_TRUE(record(pair_at(1), 5, true, {}).result);
  EXPECT_TRUE(record(pair_at(1), 5, true, {9}).result.error().is_schedule(alignment));
  // o = 1: one delay word fixes an odd sink; an even sink would need two words of one cycle.
  auto r = record(pair_at(2), 5, true, {9});
  ASSERT_TRUE(r.result);
  EXPECT_EQ(r.sink.size(), 4u);
  EXPECT_EQ(r.sink[1], 0x40a00000u);
  EXPECT_TRUE(record(pair_at(2), 5, true, {}).result.error().is_schedule(alignment));
  // o = 2 with an even sink: two one-cycle delays.
  r = record(pair_at(3), 5, true, {});
  ASSERT_TRUE(r.result);
  EXPECT_EQ(r.sink[0], 0x40a00000u);
  EXPECT_EQ(r.sink[1], 0x40a00000u);
  // o = 524289: two words with an even sink, three (each at least one cycle) with an odd one.
  r = record(pair_at(524290), 524295, true, {});
  ASSERT_TRUE(r.result);
  EXPECT_EQ((Words{r.sink[0], r.sink[1]}), (Words{0x40a7ffff, 0x40a00000}));
  r = record(pair_at(524290), 524295, true, {9});
  ASSERT_TRUE(r.result);
  EXPECT_EQ((Words{r.sink[1], r.sink[2], r.sink[3]}), (Words{0x40a7fffe, 0x40a00000, 0x40a00000}));
  // Without align the same wait is front-loaded.
  r = record(pair_at(524290), 524295, false, {9});
  ASSERT_TRUE(r.result);
  EXPECT_EQ((Words{r.sink[1], r.sink[2]}), (Words{0x40a7ffff, 0x40a00000}));
}

TEST(ExchangeReceiveRecord, FailuresInCheckOrder) {
  const ReceiveEvent x5{5, 0x64000640, Kind::Teardown};
  const ReceiveEvent p5{5, 0x60000001, Kind::Pointer};
  struct Case {
    std::vector<ReceiveEvent> events;
    std::uint32_t start;
    std::uint32_t until;
    std::string_view message;
  };
  const Case cases[] = {
      {{{5, 0x60000000, Kind::Pointer}}, 6, 9, "receive event order"},
      {{{5, 0x60000000, Kind::Pointer}}, 5, 9, "receive control issue interval"},
      // The interval is checked before the word.
      {{{5, 0x43a00000, Kind::Pointer}}, 5, 9, "receive control issue interval"},
      {{{5, 0x43a00000, Kind::Pointer}}, 0, 9, "receive timed event"},
      {{{0, 0x64000640, Kind::Teardown}, {0, 0x60000001, Kind::Pointer}}, 0, 9, "receive control at phase entry"},
      {{x5, p5}, 5, 9, "plan delay order"},
      {{x5, p5}, 0, 3, "receive control order"},
      {{x5, p5}, 0, 4, "empty SENDPICP interval"},
      {{x5, {5, 0x64000005, Kind::Source}}, 0, 9, "SENDPICP PIC control"},
      {{p5, {5, 0x60040001, Kind::PairedFormat}}, 0, 9, "SENDPICP XPIC control"},
      {{{5, 0x60000000, Kind::Pointer}}, 0, 4, "plan delay order"},
      {{x5, p5, {5, 0x64000005, Kind::Source}}, 0, 9, "incompatible simultaneous receive controls"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const auto r = record(c.events, c.until, false, {}, c.start);
    ASSERT_FALSE(r.result);
    EXPECT_EQ(r.result.error(), schedule_error(c.message));
  }
}

// A sink shaped like the chunked sequence (push/len rather than push_back/size).
struct PushLenSink {
  Words words;
  void push(std::uint32_t w) { words.push_back(w); }
  [[nodiscard]] std::size_t len() const { return words.size(); }
};

TEST(ExchangeReceiveRecord, ObserverSeesEveryGroupAndSinksAreGeneric) {
  struct Call {
    bool pair;
    std::uint32_t limit;
    std::size_t consumed;
    std::size_t words;
    std::uint32_t cycle;
    bool operator==(const Call&) const = default;
  };
  std::vector<Call> calls;
  PushLenSink sink{{7}};
  std::uint32_t cycle = 0;
  const std::vector<ReceiveEvent> events = {
      {3, 0x64000005, Kind::Source}, {10, 0x64000640, Kind::Teardown}, {10, 0x60000004, Kind::Pointer},
      {20, 0x60040000, Kind::PairedFormat}};
  const auto result = append_receive_events_record(
      sink, cycle, events, 30, true,
      [&](bool pair, std::uint32_t limit, std::size_t consumed, std::size_t words, std::uint32_t at) {
        calls.push_back({pair, limit, consumed, words, at});
      });
  ASSERT_TRUE(result) << result.error().message();
  // The six cycles before the pair take two delay words so that it starts at index 4.
  EXPECT_EQ(calls, (std::vector<Call>{{false, 9, 1, 2, 3}, {true, 19, 3, 6, 19}, {false, 30, 4, 7, 20}}));
  EXPECT_EQ(sink.words, (Words{7, 0x64008005, 0x40a00004, 0x40a00000, 0xf0000000 | (9u << 21),
                               4u | (0x640u << 18), 0x60040000, 0x40a00009}));
  EXPECT_EQ(cycle, 30u);
}

// Executes record words: the cycle at which each control takes effect, with its
// stream and value, and whether each SENDPICP started at an even index.
struct Executed {
  struct Control {
    std::uint32_t cycle;
    bool pic;
    std::uint32_t value;
    bool operator==(const Control&) const = default;
  };
  std::vector<Control> controls;
  std::vector<std::size_t> pair_indexes;
  std::vector<std::uint32_t> pair_lengths;
  std::uint32_t end = 0;
  bool only_known_words = true;
};

Executed execute(const Words& words, std::size_t from, std::uint32_t cycle) {
  Executed out;
  for (std::size_t i = from; i < words.size(); ++i) {
    const std::uint32_t w = words[i];
    if ((w & 0xfff80000) == 0x40a00000) {
      cycle += (w & 0x7ffff) + 1;
    } else if ((w & 0xfc000000) == 0x64000000) {
      cycle += ((w >> 14) & 0xfff) + 1;
      out.controls.push_back({cycle, false, w & 0x3fff});
    } else if ((w & 0xfc000000) == 0x60000000) {
      cycle += ((w >> 19) & 0x7f) + 1;
      out.controls.push_back({cycle, true, w & 0x7ffff});
    } else if (w >= 0xf0000000 && i + 1 < words.size()) {
      const std::uint32_t second = words[++i];
      out.pair_indexes.push_back(i - 1);
      out.controls.push_back({cycle + 1, true, (second & 0x3ffff) | ((w >> 9) & 0x40000)});
      out.controls.push_back({cycle + 1, false, second >> 18});
      out.pair_lengths.push_back(((w >> 21) & 0x3f) + 1);
      cycle += ((w >> 21) & 0x3f) + 1;
    } else {
      out.only_known_words = false;
    }
  }
  out.end = cycle;
  return out;
}

// Random event lists, emitted and executed again: every control takes effect
// at its cycle with its value, pairs are aligned when asked, and the record
// ends at `until`. The only failure a well-formed list may meet is alignment,
// and only where the wait before a pair cannot be split to an even index.
TEST(ExchangeReceiveRecord, RandomListsReplayExactly) {
  const std::uint32_t seed = 20240611;
  std::mt19937 rng(seed);
  const auto pick = [&rng](std::uint32_t lo, std::uint32_t hi) {
    return std::uniform_int_distribution<std::uint32_t>(lo, hi)(rng);
  };
  int aligned_failures = 0;
  int successes = 0;
  for (int round = 0; round < 4000; ++round) {
    SCOPED_TRACE(testing::Message() << "seed " << seed << " round " << round);
    const bool align = pick(0, 1) == 1;
    Words sink(pick(0, 3), 0x11111111);
    const std::uint32_t start = pick(0, 5);
    std::vector<ReceiveEvent> events;
    std::vector<bool> group_is_pair;
    std::uint32_t c = start;
    const std::uint32_t groups = pick(0, 6);
    for (std::uint32_t g = 0; g < groups; ++g) {
      const std::uint32_t gap_kind = pick(0, 9);
      c += gap_kind < 6 ? pick(1, 4) : gap_kind < 9 ? pick(5, 300) : pick(4000, 1100000);
      const auto xpic_word = [&] { return 0x64000000 | (pick(0, 4095) << 14) | pick(0, 0x3fff); };
      const auto pic_word = [&] { return 0x60000000 | (pick(0, 127) << 19) | pick(0, 0x7ffff); };
      const bool pair = pick(0, 2) == 0 && (g > 0 || c >= start + 1);
      if (pair) {
        const ReceiveEvent x{c, xpic_word(), Kind::Teardown};
        const ReceiveEvent p{c, pic_word(), Kind::Pointer};
        if (pick(0, 1) == 0) {
          events.insert(events.end(), {x, p});
        } else {
          events.insert(events.end(), {p, x});
        }
      } else {
        const bool pic = pick(0, 1) == 1;
        events.push_back({c, pic ? pic_word() : xpic_word(), pic ? Kind::Pointer : Kind::Source});
      }
      group_is_pair.push_back(pair);
    }
    const std::uint32_t until = c + pick(1, 200);

    struct Seen {
      std::size_t words;
      std::uint32_t cycle;
    };
    std::vector<Seen> seen;
    const std::size_t first_word = sink.size();
    std::uint32_t cycle = start;
    const auto result = append_receive_events_record(
        sink, cycle, events, until, align,
        [&](bool, std::uint32_t, std::size_t, std::size_t words, std::uint32_t at) { seen.push_back({words, at}); });

    if (!result) {
      // The failing group is the one after the last observed; it must be a pair
      // whose wait cannot put it on an even index.
      ASSERT_TRUE(result.error().is_schedule("SENDPICP instruction alignment")) << result.error().message();
      ASSERT_TRUE(align);
      const std::size_t group = seen.size();
      ASSERT_LT(group, group_is_pair.size());
      ASSERT_TRUE(group_is_pair[group]);
      const std::size_t length = seen.empty() ? first_word : seen.back().words;
      const std::uint32_t at = seen.empty() ? start : seen.back().cycle;
      std::size_t event_index = 0;
      for (std::size_t g = 0; g < group; ++g) event_index += group_is_pair[g] ? 2 : 1;
      const std::uint32_t wait = events[event_index].cycle - 1 - at;
      const std::uint32_t fewest = (wait + 524287) / 524288;
      const std::uint32_t needed = fewest + static_cast<std::uint32_t>((length + fewest) % 2);
      EXPECT_TRUE(wait == 0 ? length % 2 == 1 : needed > wait);
      ++aligned_failures;
      continue;
    }
    ++successes;
    EXPECT_EQ(cycle, until);
    EXPECT_EQ(seen.size(), group_is_pair.size());
    const Executed run = execute(sink, first_word, start);
    EXPECT_TRUE(run.only_known_words);
    EXPECT_EQ(run.end, until);
    std::vector<Executed::Control> expected;
    for (std::size_t i = 0; i < events.size(); ++i) {
      const bool pic = (events[i].word & 0xfc000000) == 0x60000000;
      expected.push_back({events[i].cycle, pic, events[i].word & (pic ? 0x7ffffu : 0x3fffu)});
    }
    // Within a pair the replay lists PIC first.
    std::vector<Executed::Control> actual = run.controls;
    for (std::size_t i = 0; i + 1 < expected.size(); ++i) {
      if (expected[i].cycle == expected[i + 1].cycle && !expected[i].pic) std::swap(expected[i], expected[i + 1]);
    }
    EXPECT_EQ(actual, expected);
    if (align) {
      for (const std::size_t index : run.pair_indexes) EXPECT_EQ(index % 2, 0u);
    }
    for (const std::uint32_t n : run.pair_lengths) EXPECT_LE(n, 64u);
  }
  // Both outcomes were exercised.
  EXPECT_GT(aligned_failures, 0);
  EXPECT_GT(successes, 0);
}

TEST(ExchangeWords, NormalizedAddressWords) {
  struct Case {
    Words in;
    Words out;
  };
  const Case cases[] = {
      // Explicit send: the operand goes, count and control stay.
      {{0x7fe12345}, {0x7fe00005}},
      // SENDPICP with a send control: operand cleared; bit 27 clear: the receive pointer goes too.
      {{0xf1e12341, 0x1903ffff}, {0xf1e00001, 0x19000000}},
      // SENDPICP with control 0 keeps its operand; bit 27 set keeps the format value.
      {{0xf8012340, 0x19000002}, {0xf8012340, 0x19000002}},
      // A SENDPICP as the last word has no second word to clear.
      {{0x43a00000, 0xf0000009}, {0x43a00000, 0xf0000001}},
      // The second word of a SENDPICP is never read as an instruction itself.
      {{0xf0000000, 0x7fe12345}, {0xf0000000, 0x7fe00000}},
      {{0xf8000000, 0x7fe12345}, {0xf8000000, 0x7fe12345}},
      // PIC-stream Pic send with bit 18 clear, and a PIC pointer: address bits go.
      {{0x70180123, 0x6019abcd}, {0x70180000, 0x60180000}},
      // Kept: XPIC-stream Pic send, PIC format (bit 18), XPIC control, Offset, Delay, Return.
      {{0x70100123, 0x60040001, 0x641c05a0, 0x70004001, 0x40a00005, 0x43a00000},
       {0x70100123, 0x60040001, 0x641c05a0, 0x70004001, 0x40a00005, 0x43a00000}},
      // 0x80000000..0xefffffff: not an explicit send.
      {{0x8fe12345}, {0x8fe12345}},
      {{}, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(normalized_exchange_address_words(c.in), c.out);
  }
}

}  // namespace
