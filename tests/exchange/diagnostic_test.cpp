#include "exchange/diagnostic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "exchange/schedule.h"
#include "exchange/timing.h"
#include "exchange/topology.h"
#include "exchange/words.h"
#include "runtime/logging.h"

namespace {

using namespace tarn_exchange;
using Words = std::vector<std::uint32_t>;
using Kind = ReceiveEventKind;

// Instruction words, written out field by field so that the tests do not
// share the encoder's arithmetic.
constexpr std::uint32_t xpic_word(std::uint32_t value, std::uint32_t lead = 0) {
  return 0x64000000u | (lead << 14) | value;
}
constexpr std::uint32_t pic_word(std::uint32_t value, std::uint32_t lead = 0) {
  return 0x60000000u | (lead << 19) | value;
}
constexpr std::uint32_t explicit_send(std::uint32_t n, std::uint32_t operand, std::uint32_t control) {
  return 0x78000000u | ((n - 1) << 21) | (operand << 3) | control;
}
// A Pic send carrying a PIC control (stream bit 19 set, value bit 18 at bit 18).
constexpr std::uint32_t pic_send_pic(std::uint32_t n, std::uint32_t value) {
  return 0x70100000u | ((n - 1) << 21) | (1u << 19) | value;
}
// A Pic send carrying an XPIC control (value bit 13 at bit 18).
constexpr std::uint32_t pic_send_xpic(std::uint32_t n, std::uint32_t value) {
  return 0x70100000u | ((n - 1) << 21) | (((value >> 13) & 1u) << 18) | (value & 0x1fffu);
}
constexpr std::pair<std::uint32_t, std::uint32_t> sendpicp(std::uint32_t n, std::uint32_t operand,
                                                           std::uint32_t control, std::uint32_t xpic,
                                                           std::uint32_t pic) {
  return {0xf0000000u | (((pic >> 18) & 1u) << 27) | ((n - 1) << 21) | (operand << 3) | control,
          (pic & 0x3ffffu) | (xpic << 18)};
}

TEST(ExchangeDiagnostic, EmptyProgram) {
  const auto diagnostic = diagnose_plan_program({}, true, 0x100);
  ASSERT_TRUE(diagnostic);
  EXPECT_TRUE(diagnostic->instructions.empty());
  EXPECT_EQ(diagnostic->horizon, 0u);
  EXPECT_EQ(diagnostic->word_count, 0u);
  EXPECT_EQ(diagnostic->render(), "");
}

TEST(ExchangeDiagnostic, TruncatedSendpicp) {
  for (const Words& words : {Words{0xf0000000}, Words{delay_word(5), 0xffffffff}}) {
    for (const bool with_addresses : {false, true}) {
      const auto diagnostic = diagnose_plan_program(words, with_addresses, 0);
      ASSERT_FALSE(diagnostic);
      EXPECT_TRUE(diagnostic.error().is_schedule("truncated SENDPICP payload"));
    }
  }
}

TEST(ExchangeDiagnostic, DelayAndReturnWithAndWithoutAddresses) {
  const Words words{0x40a00009, 0x43a00000};
  const auto plain = diagnose_plan_program(words, false, 0);
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->render(), "word+0 cycles=0..10 Delay\nword+1 cycles=10..10 Return\n");
  EXPECT_EQ(plain->horizon, 10u);
  EXPECT_EQ(plain->word_count, 2u);
  ASSERT_EQ(plain->instructions.size(), 2u);
  EXPECT_EQ(plain->instructions[1],
            (DecodedPlanInstruction{{PlanOperation::Return{}}, std::nullopt, 1, 10, 10}));

  const auto addressed = diagnose_plan_program(words, true, 0x100);
  ASSERT_TRUE(addressed);
  EXPECT_EQ(addressed->render(), "0x00100 cycles=0..10 Delay\n0x00104 cycles=10..10 Return\n");
  EXPECT_EQ(addressed->instructions[1].address, 0x104u);

  // Five digits are a minimum, not a width.
  const auto high = diagnose_plan_program(Words{kReturnWord}, true, 0x12345678);
  ASSERT_TRUE(high);
  EXPECT_EQ(high->render(), "0x12345678 cycles=0..0 Return\n");
}

TEST(ExchangeDiagnostic, EveryWordKindDecodedAndRendered) {
  const auto pair = sendpicp(3, 0x12345, 5, 0x2005, 0x40010);
  const Words words{
      xpic_word(0x640, 112),                      // 0
      pic_word(0x4abcd, 3),                       // 1
      pair.first,                                 // 2
      pair.second,                                // 3
      pic_send_pic(64, 0x4ffff),                  // 4
      pic_send_xpic(2, 0x2640),                   // 5
      explicit_send(64, 0, 1),                    // 6
      offset_send_word(4096, 3) | (0x7ffu << 3),  // 7
      kEntryWord,                                 // 8
      0x0000007b,                                 // 9
      delay_word(kMaximumDelayCycles),            // 10
      kReturnWord,                                // 11
  };
  const auto diagnostic = diagnose_plan_program(words, false, 0);
  ASSERT_TRUE(diagnostic);
  EXPECT_EQ(diagnostic->render(),
            "word+0 cycles=0..113 IncomingControl(IncomingControl { stream: Xpic, value: 1600 })\n"
            "word+1 cycles=113..117 IncomingControl(IncomingControl { stream: Pic, value: 306125 })\n"
            "word+2 cycles=117..120 Send { encoding: PicPair, words: 3, raw_operand: 74565, send_control: Some(5), "
            "controls: [IncomingControl { stream: Xpic, value: 8197 }, IncomingControl { stream: Pic, value: 262160 "
            "}] }\n"
            "word+4 cycles=120..184 Send { encoding: Pic, words: 64, raw_operand: 65535, send_control: None, "
            "controls: [IncomingControl { stream: Pic, value: 327679 }] }\n"
            "word+5 cycles=184..186 Send { encoding: Pic, words: 2, raw_operand: 1600, send_control: None, "
            "controls: [IncomingControl { stream: Xpic, value: 9792 }] }\n"
            "word+6 cycles=186..250 Send { encoding: Explicit, words: 64, raw_operand: 0, send_control: Some(1), "
            "controls: [] }\n"
            "word+7 cycles=250..4346 Send { encoding: Offset, words: 4096, raw_operand: 2047, send_control: Some(3), "
            "controls: [] }\n"
            "word+8 cycles=4346..4346 Sync(3)\n"
            "word+9 cycles=4346..4346 Unknown(123)\n"
            "word+10 cycles=4346..528634 Delay\n"
            "word+11 cycles=528634..528634 Return\n");
  EXPECT_EQ(diagnostic->horizon, 528634u);
  EXPECT_EQ(diagnostic->word_count, 12u);
  ASSERT_EQ(diagnostic->instructions.size(), 11u);
  EXPECT_EQ(diagnostic->instructions[2].operation,
            (PlanOperation{PlanOperation::Send{SendEncoding::PicPair,
                                               3,
                                               0x12345,
                                               5,
                                               {{IncomingControlStream::Xpic, 0x2005},
                                                {IncomingControlStream::Pic, 0x40010}}}}));

  // Addresses follow word indices, so the SENDPICP's second word leaves a gap.
  const auto addressed = diagnose_plan_program(words, true, 0x100);
  ASSERT_TRUE(addressed);
  EXPECT_EQ(addressed->instructions[2].address, 0x108u);
  EXPECT_EQ(addressed->instructions[3].address, 0x110u);
  EXPECT_EQ(addressed->instructions[10].address, 0x12cu);
  // A SENDPICP pair with its control 0 still shows Some(0).
  const auto issued = sendpicp(1, 0, 0, 0x640, 0);
  const auto receive_only = diagnose_plan_program(Words{issued.first, issued.second}, false, 0);
  ASSERT_TRUE(receive_only);
  EXPECT_EQ(receive_only->render(),
            "word+0 cycles=0..1 Send { encoding: PicPair, words: 1, raw_operand: 0, send_control: Some(0), "
            "controls: [IncomingControl { stream: Xpic, value: 1600 }, IncomingControl { stream: Pic, value: 0 }] "
            "}\n");
}

TEST(ExchangeDiagnostic, AddressAndHorizonOverflow) {
  // The last representable address is fine; one word further is not.
  EXPECT_TRUE(diagnose_plan_program(Words{kReturnWord}, true, 0xfffffffc));
  const auto address = diagnose_plan_program(Words{kReturnWord, kReturnWord}, true, 0xfffffffc);
  ASSERT_FALSE(address);
  EXPECT_TRUE(address.error().is_schedule("diagnostic row address overflow"));
  EXPECT_TRUE(diagnose_plan_program(Words{kReturnWord, kReturnWord}, false, 0xfffffffc));

  // 8191 full delays and one of 524287 cycles end exactly at 0xffffffff.
  Words words(8191, delay_word(kMaximumDelayCycles));
  words.push_back(delay_word(kMaximumDelayCycles - 1));
  words.push_back(kReturnWord);
  const auto full = diagnose_plan_program(words, false, 0);
  ASSERT_TRUE(full);
  EXPECT_EQ(full->horizon, 0xffffffffu);
  words.push_back(xpic_word(5));
  const auto horizon = diagnose_plan_program(words, false, 0);
  ASSERT_FALSE(horizon);
  EXPECT_TRUE(horizon.error().is_schedule("diagnostic event horizon overflow"));
}

// A hand-made schedule and its program:
//   cycle 10       XPIC source 5 (control word 0..10)
//   cycles 20..120 a sender row: Explicit 20..49, Pic send 49..113 carrying
//                  the pointer 0x100 at 50, Offset 113..120
//   cycle 150      teardown and pointer 0x200 as a SENDPICP 149..200 with
//                  send control 0, outside every row
//   horizon 200
TileProgramSchedule sample_schedule() {
  TileProgramSchedule schedule;
  schedule.senders.push(ScheduledSenderRow{{}, 20, 120});
  schedule.receives.push(ReceiveEvent{10, xpic_word(5), Kind::Source});
  schedule.receives.push(ReceiveEvent{50, pic_word(0x100), Kind::Pointer});
  // Insertion order within a cycle does not matter.
  schedule.receives.push(ReceiveEvent{150, pic_word(0x200), Kind::Pointer});
  schedule.receives.push(ReceiveEvent{150, xpic_word(0x640), Kind::Teardown});
  schedule.horizon = 200;
  return schedule;
}

Words sample_program() {
  const auto pair = sendpicp(51, 0, 0, 0x640, 0x200);
  return {
      xpic_word(5, 9),               // 0: 0..10
      delay_word(10),                // 1: 10..20
      explicit_send(29, 0x1000, 1),  // 2: 20..49
      pic_send_pic(64, 0x100),       // 3: 49..113
      offset_send_word(7, 1),        // 4: 113..120
      delay_word(29),                // 5: 120..149
      pair.first,                    // 6: 149..200
      pair.second,                   // 7
      kReturnWord,                   // 8: 200
  };
}

TEST(ExchangeDiagnostic, ValidateAgainstHandMadeSchedules) {
  using Edit = std::function<void(Words&, TileProgramSchedule&)>;
  struct Case {
    std::string_view name;
    Edit edit;
    std::optional<std::string_view> failure;  // none: the program passes
  };
  const auto insert = [](Words& w, std::size_t at, std::uint32_t word) {
    w.insert(w.begin() + static_cast<std::ptrdiff_t>(at), word);
  };
  const Case cases[] = {
      {"matching", [](Words&, TileProgramSchedule&) {}, std::nullopt},
      {"idle tile",
       [](Words& w, TileProgramSchedule& s) {
         w = {kReturnWord};
         s = TileProgramSchedule{};
       },
       std::nullopt},
      {"SENDPICP with send control 0 needs no row",
       [](Words& w, TileProgramSchedule& s) {
         const auto pair = sendpicp(1, 0, 0, 0x640, 0x200);
         w = {delay_word(9), pair.first, pair.second, kReturnWord};
         s = TileProgramSchedule{};
         s.receives.push(ReceiveEvent{10, xpic_word(0x640), Kind::Teardown});
         s.receives.push(ReceiveEvent{10, pic_word(0x200), Kind::Pointer});
         s.horizon = 10;
       },
       std::nullopt},
      {"truncated program", [](Words& w, TileProgramSchedule&) { w.resize(7); }, "truncated SENDPICP payload"},
      {"schedule horizon later", [](Words&, TileProgramSchedule& s) { s.horizon = 201; },
       "encoded tile horizon mismatch"},
      {"schedule horizon earlier", [](Words&, TileProgramSchedule& s) { s.horizon = 199; },
       "encoded tile horizon mismatch"},
      {"unknown word", [&](Words& w, TileProgramSchedule&) { insert(w, 1, 0x0000007b); },
       "unknown encoded exchange instruction"},
      {"XPIC value changed", [](Words& w, TileProgramSchedule&) { w[0] = xpic_word(6, 9); },
       "encoded incoming-control mismatch"},
      {"XPIC value in the SENDPICP changed", [](Words& w, TileProgramSchedule&) { w[7] ^= 1u << 18; },
       "encoded incoming-control mismatch"},
      {"PIC value on the send changed", [](Words& w, TileProgramSchedule&) { w[3] = pic_send_pic(64, 0x101); },
       "encoded incoming-control mismatch"},
      {"control one cycle late",
       [](Words& w, TileProgramSchedule&) {
         w[0] = xpic_word(5, 10);
         w[1] = delay_word(9);
       },
       "encoded incoming-control mismatch"},
      {"control missing",
       [](Words& w, TileProgramSchedule&) {
         w[0] = delay_word(10);
         w[1] = delay_word(10);
       },
       "encoded incoming-control mismatch"},
      {"send length changed",
       [](Words& w, TileProgramSchedule&) {
         w[4] = offset_send_word(6, 1);
         w[5] = delay_word(30);
       },
       "encoded sender interval mismatch"},
      {"gap inside the row",
       [&](Words& w, TileProgramSchedule&) {
         w[2] = explicit_send(28, 0x1000, 1);
         insert(w, 3, delay_word(1));
       },
       "encoded sender interval mismatch"},
      {"row starts earlier", [](Words&, TileProgramSchedule& s) { s.senders.set(0, ScheduledSenderRow{{}, 19, 120}); },
       "encoded sender interval mismatch"},
      {"row ends later", [](Words&, TileProgramSchedule& s) { s.senders.set(0, ScheduledSenderRow{{}, 20, 121}); },
       "encoded sender interval mismatch"},
      {"row without sends", [](Words&, TileProgramSchedule& s) { s.senders.push(ScheduledSenderRow{{}, 160, 170}); },
       "encoded sender interval mismatch"},
      {"extra send outside rows",
       [&](Words& w, TileProgramSchedule&) {
         w[5] = explicit_send(10, 0, 1);
         insert(w, 6, delay_word(19));
       },
       "unexpected encoded outgoing interval"},
      {"SENDPICP with a send control outside rows", [](Words& w, TileProgramSchedule&) { w[6] |= 1; },
       "unexpected encoded outgoing interval"},
      {"that SENDPICP inside a row",
       [](Words& w, TileProgramSchedule& s) {
         w[6] |= 1;
         s.senders.push(ScheduledSenderRow{{}, 149, 200});
       },
       std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Words words = sample_program();
    TileProgramSchedule schedule = sample_schedule();
    c.edit(words, schedule);
    const auto result = validate_tile_program(3, schedule, words);
    if (!c.failure) {
      ASSERT_TRUE(result) << result.error().debug_string();
      const auto decoded = diagnose_plan_program(words, false, 0);
      ASSERT_TRUE(decoded);
      EXPECT_EQ(result->instructions, decoded->instructions);
      EXPECT_EQ(result->horizon, schedule.horizon);
    } else {
      ASSERT_FALSE(result);
      EXPECT_TRUE(result.error().is_schedule(*c.failure)) << result.error().debug_string();
    }
  }
}

// Installs a JSON logger writing to a temporary file while it lives.
class CapturedLog {
 public:
  explicit CapturedLog(std::string_view directives) : file_(std::tmpfile()) {
    tarn_runtime::reset_logger_for_testing();
    EXPECT_NE(file_, nullptr);
    EXPECT_TRUE(tarn_runtime::install_logger(directives, tarn_runtime::LogFormat::Json, file_));
  }
  ~CapturedLog() {
    tarn_runtime::reset_logger_for_testing();
    std::fclose(file_);
  }
  CapturedLog(const CapturedLog&) = delete;
  CapturedLog& operator=(const CapturedLog&) = delete;

  std::string text() const {
    std::fflush(file_);
    std::rewind(file_);
    std::string out;
    for (int c = std::fgetc(file_); c != EOF; c = std::fgetc(file_)) out.push_back(static_cast<char>(c));
    return out;
  }

 private:
  std::FILE* file_;
};

// Ten XPIC sources 1..10 at cycles 10, 20, .., 100.
TileProgramSchedule ten_sources() {
  TileProgramSchedule schedule;
  for (std::uint32_t j = 1; j <= 10; ++j) schedule.receives.push(ReceiveEvent{10 * j, xpic_word(j), Kind::Source});
  schedule.horizon = 100;
  return schedule;
}

Words ten_source_words() {
  Words words;
  for (std::uint32_t j = 1; j <= 10; ++j) words.push_back(xpic_word(j, 9));
  words.push_back(kReturnWord);
  return words;
}

TEST(ExchangeDiagnostic, ControlMismatchIsADebugEvent) {
  struct Case {
    std::string_view name;
    std::function<void(Words&)> edit;
    std::string_view fields;
  };
  const Case cases[] = {
      {"value changed in the middle", [](Words& w) { w[5] = xpic_word(99, 9); },
       R"x("fields":{"tile":7,"first_mismatch":5,"actual_len":10,"expected_len":10,)x"
       R"x("actual":"Some((60, IncomingControl { stream: Xpic, value: 99 }))",)x"
       R"x("expected":"Some((60, IncomingControl { stream: Xpic, value: 6 }))",)x"
       R"x("actual_window":"[(30, IncomingControl { stream: Xpic, value: 3 }), )x"
       R"x((40, IncomingControl { stream: Xpic, value: 4 }), (50, IncomingControl { stream: Xpic, value: 5 }), )x"
       R"x((60, IncomingControl { stream: Xpic, value: 99 }), (70, IncomingControl { stream: Xpic, value: 7 }), )x"
       R"x((80, IncomingControl { stream: Xpic, value: 8 }), (90, IncomingControl { stream: Xpic, value: 9 })]",)x"
       R"x("expected_window":"[(30, IncomingControl { stream: Xpic, value: 3 }), )x"
       R"x((40, IncomingControl { stream: Xpic, value: 4 }), (50, IncomingControl { stream: Xpic, value: 5 }), )x"
       R"x((60, IncomingControl { stream: Xpic, value: 6 }), (70, IncomingControl { stream: Xpic, value: 7 }), )x"
       R"x((80, IncomingControl { stream: Xpic, value: 8 }), (90, IncomingControl { stream: Xpic, value: 9 })]"}})x"},
      {"second control on the PIC stream", [](Words& w) { w[1] = pic_word(2, 9); },
       R"x("fields":{"tile":7,"first_mismatch":1,"actual_len":10,"expected_len":10,)x"
       R"x("actual":"Some((20, IncomingControl { stream: Pic, value: 2 }))",)x"
       R"x("expected":"Some((20, IncomingControl { stream: Xpic, value: 2 }))",)x"
       R"x("actual_window":"[(10, IncomingControl { stream: Xpic, value: 1 }), )x"
       R"x((20, IncomingControl { stream: Pic, value: 2 }), (30, IncomingControl { stream: Xpic, value: 3 }), )x"
       R"x((40, IncomingControl { stream: Xpic, value: 4 }), (50, IncomingControl { stream: Xpic, value: 5 })]",)x"
       R"x("expected_window":"[(10, IncomingControl { stream: Xpic, value: 1 }), )x"
       R"x((20, IncomingControl { stream: Xpic, value: 2 }), (30, IncomingControl { stream: Xpic, value: 3 }), )x"
       R"x((40, IncomingControl { stream: Xpic, value: 4 }), (50, IncomingControl { stream: Xpic, value: 5 })]"}})x"},
      {"last control missing", [](Words& w) { w[9] = delay_word(10); },
       R"x("fields":{"tile":7,"first_mismatch":9,"actual_len":9,"expected_len":10,)x"
       R"x("actual":"None","expected":"Some((100, IncomingControl { stream: Xpic, value: 10 }))",)x"
       R"x("actual_window":"[(70, IncomingControl { stream: Xpic, value: 7 }), )x"
       R"x((80, IncomingControl { stream: Xpic, value: 8 }), (90, IncomingControl { stream: Xpic, value: 9 })]",)x"
       R"x("expected_window":"[(70, IncomingControl { stream: Xpic, value: 7 }), )x"
       R"x((80, IncomingControl { stream: Xpic, value: 8 }), (90, IncomingControl { stream: Xpic, value: 9 }), )x"
       R"x((100, IncomingControl { stream: Xpic, value: 10 })]"}})x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text;
    {
      CapturedLog log("tarn_exchange::diagnostic=debug");
      Words words = ten_source_words();
      c.edit(words);
      const auto result = validate_tile_program(7, ten_sources(), words);
      ASSERT_FALSE(result);
      EXPECT_TRUE(result.error().is_schedule("encoded incoming-control mismatch"));
      // Other failures and passing programs are not logged.
      EXPECT_TRUE(validate_tile_program(7, ten_sources(), ten_source_words()));
      Words late = ten_source_words();
      late.insert(late.begin(), delay_word(1));
      EXPECT_FALSE(validate_tile_program(7, ten_sources(), late));
      text = log.text();
    }
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_NE(text.find(R"x("level":"DEBUG","target":"tarn_exchange::diagnostic",)x"
                        R"x("message":"encoded incoming controls differ from the phase schedule",)x"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(c.fields), std::string::npos) << text;
  }
}

// A random schedule of real sender rows placed at non-overlapping times (some
// touching) and receive controls at cycles where a control may take effect:
// never on the first or second cycle of a send, at most two per cycle and
// then one pointer with one source or teardown. The encoder may still refuse
// some (a control too close to a row's end, say); callers skip those.
TileProgramSchedule random_schedule(std::mt19937& rng) {
  static const Topology topology = Topology::standard_1472();
  const auto uniform = [&](std::uint32_t lo, std::uint32_t hi) {
    return std::uniform_int_distribution<std::uint32_t>(lo, hi)(rng);
  };
  const auto tile = [&] { return static_cast<std::uint16_t>(uniform(0, kStandardTileCount - 1)); };

  TileProgramSchedule schedule;
  std::uint32_t cursor = uniform(0, 3) == 0 ? 0 : uniform(2, 300);
  const std::uint32_t rows = uniform(0, 4);
  for (std::uint32_t i = 0; i < rows; ++i) {
    const std::uint32_t count = uniform(0, 2) == 0 ? uniform(1, kMaximumExchangeCount) : uniform(1, 150);
    const std::uint16_t sender = tile();
    std::uint16_t receiver = tile();
    while (receiver == sender) receiver = tile();
    std::optional<Row> plan;
    if (uniform(0, 1) == 0) {
      const auto exchange = topology.point_to_point(sender, receiver, count);
      EXPECT_TRUE(exchange);
      if (exchange) plan = exchange->sender;
    } else {
      const auto multicast = topology.multicast(sender, std::vector<std::uint16_t>{receiver}, count, 0);
      EXPECT_TRUE(multicast);
      if (multicast) plan = multicast->sender;
    }
    if (!plan) continue;
    auto row = patch_sender_address(*plan, 4 * uniform(0, 0x3fff));
    EXPECT_TRUE(row);
    const auto timing = sender_row_timing(*row, 0);
    EXPECT_TRUE(timing);
    if (!row || !timing) continue;
    const std::uint32_t length = timing->send_end - timing->send_start;
    schedule.senders.push(ScheduledSenderRow{*row, cursor, cursor + length});
    cursor += length;
    // Touching rows, short gaps, and now and then a gap of several Delay words.
    const std::uint32_t gap = uniform(0, 9);
    cursor += gap < 3 ? 0 : gap < 9 ? uniform(1, 400) : uniform(524288, 1200000);
  }
  const std::uint32_t span = cursor + uniform(0, 300);

  const auto forbidden = [&](std::uint32_t cycle) {
    for (const ScheduledSenderRow& r : schedule.senders) {
      if (cycle == r.start || cycle == r.start + 1) return true;
    }
    return false;
  };
  // A source or teardown; `paired` sets value bit 13 (the paired kinds).
  const auto xpic = [&](bool teardown, bool paired) {
    std::uint32_t low = teardown ? 0x640u : uniform(0, 0x1fff);
    if (!teardown && low == 0x640u) low = 0x641u;
    const std::uint32_t value = (paired ? 0x2000u : 0u) | low;
    return ReceiveEvent{0, 0x64000000u | value, xpic_value_kind(value)};
  };
  const auto pointer = [&] { return ReceiveEvent{0, 0x60000000u | uniform(0, 0x3ffff), Kind::Pointer}; };
  const auto pic = [&]() -> ReceiveEvent {
    switch (uniform(0, 2)) {
      case 0: return pointer();
      case 1: return {0, 0x60000000u | uniform(0, 0x3ffff), Kind::PairedPointer};
      default: return {0, 0x60040000u | uniform(0, 2), Kind::PairedFormat};
    }
  };

  std::vector<ReceiveEvent> events;
  std::vector<std::uint32_t> used;
  const std::uint32_t wanted = uniform(0, 12);
  for (std::uint32_t i = 0; i < wanted; ++i) {
    const std::uint32_t cycle = uniform(1, std::max(span, 1u));
    if (forbidden(cycle) || std::ranges::find(used, cycle) != used.end()) continue;
    used.push_back(cycle);
    switch (uniform(0, 3)) {
      case 0:
        events.push_back(xpic(uniform(0, 3) == 0, uniform(0, 3) == 0));
        break;
      case 1:
        events.push_back(pic());
        break;
      default: {
        // A pointer with an ordinary source or teardown, in either order.
        ReceiveEvent x = xpic(uniform(0, 1) == 0, false);
        ReceiveEvent p = pointer();
        x.cycle = cycle;
        p.cycle = cycle;
        if (uniform(0, 1) == 0) std::swap(x, p);
        events.push_back(x);
        events.push_back(p);
        continue;
      }
    }
    events.back().cycle = cycle;
  }
  std::ranges::stable_sort(events, {}, &ReceiveEvent::cycle);
  for (const ReceiveEvent& event : events) schedule.receives.push(event);
  const std::uint32_t last = std::max(span, events.empty() ? 0u : events.back().cycle);
  schedule.horizon = last + (uniform(0, 1) == 0 ? 0 : uniform(0, 50));
  return schedule;
}

// The same send with one word more, or one fewer at its maximum.
std::uint32_t resized_send(std::uint32_t word, const PlanOperation::Send& send) {
  const std::uint32_t most = send.encoding == SendEncoding::Offset ? 4096 : 64;
  const std::uint32_t n = (send.words < most ? send.words + 1 : send.words - 1) - 1;
  if (send.encoding == SendEncoding::Offset) {
    return (word & ~((0x3fu << 21) | (0x3fu << 14))) | ((n & 0x3fu) << 21) | (((n >> 6) & 0x3fu) << 14);
  }
  return (word & ~(0x3fu << 21)) | (n << 21);
}

// Whether an instruction issues an incoming control.
bool has_control(const DecodedPlanInstruction& instruction) {
  if (std::holds_alternative<IncomingControl>(instruction.operation.value)) return true;
  const auto* send = std::get_if<PlanOperation::Send>(&instruction.operation.value);
  return send != nullptr && !send->controls.empty();
}

// Every program the encoder produces decodes and matches its schedule; one
// corrupted word (an XPIC value, a send length) is caught with the right text.
TEST(ExchangeDiagnostic, EncodedProgramsValidateAndCorruptionsAreCaught) {
  std::mt19937 rng(20261211);
  std::size_t encoded = 0;
  std::size_t xpic_corruptions = 0;
  std::size_t length_corruptions = 0;
  for (int iteration = 0; iteration < 600; ++iteration) {
    SCOPED_TRACE(iteration);
    const TileProgramSchedule schedule = random_schedule(rng);
    const auto encoding = schedule.encoded();
    if (!encoding) continue;
    ++encoded;
    const Words words = (*encoding)->words.to_vector(0, (*encoding)->words.size());
    const auto valid = validate_tile_program(1, schedule, words);
    ASSERT_TRUE(valid) << valid.error().debug_string() << "\n" << diagnose_plan_program(words, false, 0)->render();
    const auto& instructions = valid->instructions;
    EXPECT_EQ(valid->word_count, words.size());
    EXPECT_EQ(valid->horizon, schedule.horizon);

    // An XPIC value: a control word's value, a SENDPICP's second word, or a
    // Pic send's XPIC value bits.
    std::vector<std::pair<std::size_t, std::uint32_t>> xpic_bits;  // word index, bit mask
    for (const DecodedPlanInstruction& instruction : instructions) {
      const std::size_t at = instruction.word_index;
      if (const auto* control = std::get_if<IncomingControl>(&instruction.operation.value)) {
        if (control->stream == IncomingControlStream::Xpic) xpic_bits.push_back({at, 1u << (at % 14)});
      } else if (const auto* send = std::get_if<PlanOperation::Send>(&instruction.operation.value)) {
        if (send->encoding == SendEncoding::PicPair) xpic_bits.push_back({at + 1, 1u << (18 + at % 14)});
        if (send->encoding == SendEncoding::Pic && send->controls[0].stream == IncomingControlStream::Xpic) {
          xpic_bits.push_back({at, at % 2 == 0 ? 1u << 18 : 1u << (at % 13)});
        }
      }
    }
    if (!xpic_bits.empty()) {
      const auto [at, bit] = xpic_bits[rng() % xpic_bits.size()];
      Words corrupt = words;
      corrupt[at] ^= bit;
      const auto result = validate_tile_program(1, schedule, corrupt);
      ASSERT_FALSE(result);
      EXPECT_TRUE(result.error().is_schedule("encoded incoming-control mismatch")) << result.error().debug_string();
      ++xpic_corruptions;
    }

    // A send length: every later instruction moves, and with it the horizon.
    // Against a schedule whose horizon moved too, the later controls are
    // found displaced, or, without any, the sender rows' coverage.
    std::vector<std::size_t> sends;
    for (std::size_t i = 0; i < instructions.size(); ++i) {
      const auto* send = std::get_if<PlanOperation::Send>(&instructions[i].operation.value);
      if (send != nullptr && send->send_control != std::optional<std::uint8_t>(0)) sends.push_back(i);
    }
    if (!sends.empty()) {
      const std::size_t i = sends[rng() % sends.size()];
      const auto& send = std::get<PlanOperation::Send>(instructions[i].operation.value);
      Words corrupt = words;
      const std::size_t at = instructions[i].word_index;
      corrupt[at] = resized_send(words[at], send);
      const auto moved = validate_tile_program(1, schedule, corrupt);
      ASSERT_FALSE(moved);
      EXPECT_TRUE(moved.error().is_schedule("encoded tile horizon mismatch")) << moved.error().debug_string();

      TileProgramSchedule stretched = schedule;
      stretched.horizon = diagnose_plan_program(corrupt, false, 0)->horizon;
      const bool later_controls =
          std::any_of(instructions.begin() + static_cast<std::ptrdiff_t>(i) + 1, instructions.end(), has_control);
      const auto result = validate_tile_program(1, stretched, corrupt);
      ASSERT_FALSE(result);
      EXPECT_TRUE(result.error().is_schedule(later_controls ? "encoded incoming-control mismatch"
                                                            : "encoded sender interval mismatch"))
          << result.error().debug_string();
      ++length_corruptions;
    }
  }
  // The generator must keep producing programs worth checking.
  EXPECT_GE(encoded, 300u);
  EXPECT_GE(xpic_corruptions, 100u);
  EXPECT_GE(length_corruptions, 100u);
}

}  // namespace
