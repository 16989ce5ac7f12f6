#include "exchange/diagnostic.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <variant>
#include <vector>

#include "exchange/words.h"
#include "runtime/logging.h"

namespace tarn_exchange {
namespace {

constexpr std::string_view kLogTarget = "tarn_exchange::diagnostic";

// ---------------------------------------------------------------------------
// Structured debug notation: variant names, tuple values in parentheses,
// records as `Name { field: value, ... }`, options as None / Some(value),
// lists in square brackets with ", " between elements.

std::string_view encoding_name(SendEncoding encoding) {
  switch (encoding) {
    case SendEncoding::Explicit: return "Explicit";
    case SendEncoding::Offset: return "Offset";
    case SendEncoding::Pic: return "Pic";
    case SendEncoding::PicPair: return "PicPair";
  }
  return "?";
}

std::string_view stream_name(IncomingControlStream stream) {
  switch (stream) {
    case IncomingControlStream::Pic: return "Pic";
    case IncomingControlStream::Xpic: return "Xpic";
  }
  return "?";
}

void append_control(std::string& out, const IncomingControl& control) {
  fmt::format_to(std::back_inserter(out), "IncomingControl {{ stream: {}, value: {} }}", stream_name(control.stream),
                 control.value);
}

void append_operation(std::string& out, const PlanOperation& operation) {
  struct Appender {
    std::string& out;
    void operator()(const PlanOperation::Delay&) const { out += "Delay"; }
    void operator()(const IncomingControl& control) const {
      out += "IncomingControl(";
      append_control(out, control);
      out += ')';
    }
    void operator()(const PlanOperation::Send& send) const {
      fmt::format_to(std::back_inserter(out), "Send {{ encoding: {}, words: {}, raw_operand: {}, send_control: ",
                     encoding_name(send.encoding), send.words, send.raw_operand);
      if (send.send_control) {
        fmt::format_to(std::back_inserter(out), "Some({})", *send.send_control);
      } else {
        out += "None";
      }
      out += ", controls: [";
      for (std::size_t i = 0; i < send.controls.size(); ++i) {
        if (i != 0) out += ", ";
        append_control(out, send.controls[i]);
      }
      out += "] }";
    }
    void operator()(const PlanOperation::Sync& sync) const {
      fmt::format_to(std::back_inserter(out), "Sync({})", sync.operand);
    }
    void operator()(const PlanOperation::Return&) const { out += "Return"; }
    void operator()(const PlanOperation::Unknown& unknown) const {
      fmt::format_to(std::back_inserter(out), "Unknown({})", unknown.word);
    }
  };
  std::visit(Appender{out}, operation.value);
}

// ---------------------------------------------------------------------------
// Decoding

IncomingControl xpic_control(std::uint32_t value) { return {IncomingControlStream::Xpic, value}; }
IncomingControl pic_control(std::uint32_t value) { return {IncomingControlStream::Pic, value}; }

// The operation of the instruction whose first word is `word`, of kind
// `kind`, occupying `n` cycles; `second` is the word after it (read only for
// a SENDPICP, which the caller has checked).
PlanOperation decode_operation(WordKind kind, std::uint32_t word, std::uint32_t n, std::uint32_t second) {
  using Send = PlanOperation::Send;
  switch (kind) {
    case WordKind::Return: return {PlanOperation::Return{}};
    case WordKind::Delay: return {PlanOperation::Delay{}};
    case WordKind::XpicControl: return {xpic_control(word & 0x3fffu)};
    case WordKind::PicControl: return {pic_control(word & 0x7ffffu)};
    case WordKind::PicPair:
      return {Send{SendEncoding::PicPair, n, (word >> 3) & 0x3ffffu, static_cast<std::uint8_t>(word & 7u),
                   {xpic_control(second >> 18), pic_control((second & 0x3ffffu) | ((word >> 9) & 0x40000u))}}};
    case WordKind::PicSend: {
      // Bit 19 selects the stream; bit 18 is the top bit of either value.
      const IncomingControl control = (word & 0x80000u) != 0
                                          ? pic_control(word & 0x7ffffu)
                                          : xpic_control((((word >> 18) & 1u) << 13) | (word & 0x1fffu));
      return {Send{SendEncoding::Pic, n, word & 0x3ffffu, std::nullopt, {control}}};
    }
    case WordKind::ExplicitSend:
      return {Send{SendEncoding::Explicit, n, (word >> 3) & 0x3ffffu, static_cast<std::uint8_t>(word & 7u), {}}};
    case WordKind::OffsetSend:
      return {Send{SendEncoding::Offset, n, (word >> 3) & 0x7ffu, static_cast<std::uint8_t>(word & 7u), {}}};
    case WordKind::Sync: return {PlanOperation::Sync{static_cast<std::uint8_t>(word & 0xffu)}};
    case WordKind::Unknown: break;
  }
  return {PlanOperation::Unknown{word}};
}

// ---------------------------------------------------------------------------
// Validation

// An incoming control and the cycle it takes effect at.
struct TimedControl {
  std::uint32_t cycle = 0;
  IncomingControl control;
  friend bool operator==(const TimedControl&, const TimedControl&) = default;
};

// By cycle, then Pic before Xpic, then value.
bool timed_control_less(const TimedControl& a, const TimedControl& b) {
  return std::tuple(a.cycle, a.control.stream, a.control.value) <
         std::tuple(b.cycle, b.control.stream, b.control.value);
}

void append_timed_control(std::string& out, const TimedControl& entry) {
  fmt::format_to(std::back_inserter(out), "({}, ", entry.cycle);
  append_control(out, entry.control);
  out += ')';
}

// "Some((12, IncomingControl { ... }))" for an existing entry, else "None".
std::string entry_text(std::span<const TimedControl> list, std::size_t index) {
  if (index >= list.size()) return "None";
  std::string out = "Some(";
  append_timed_control(out, list[index]);
  out += ')';
  return out;
}

// "[(12, IncomingControl { ... }), ...]" for list[first .. min(last, len)).
std::string window_text(std::span<const TimedControl> list, std::size_t first, std::size_t last) {
  std::string out = "[";
  last = std::min(last, list.size());
  for (std::size_t i = first; i < last; ++i) {
    if (i != first) out += ", ";
    append_timed_control(out, list[i]);
  }
  out += ']';
  return out;
}

void log_control_mismatch(std::size_t tile, std::span<const TimedControl> actual,
                          std::span<const TimedControl> expected) {
  const auto differs = std::ranges::mismatch(actual, expected);
  const auto k = static_cast<std::size_t>(differs.in1 - actual.begin());
  const std::size_t first = k >= 3 ? k - 3 : 0;
  const std::size_t last = std::min(k + 4, std::max(actual.size(), expected.size()));
  TARN_DEBUG(kLogTarget, "encoded incoming controls differ from the phase schedule", {"tile", tile},
             {"first_mismatch", k}, {"actual_len", actual.size()}, {"expected_len", expected.size()},
             {"actual", entry_text(actual, k)}, {"expected", entry_text(expected, k)},
             {"actual_window", window_text(actual, first, last)},
             {"expected_window", window_text(expected, first, last)});
}

// A cycle span [start, end) during which the tile sends payload.
struct Interval {
  std::uint32_t start = 0;
  std::uint32_t end = 0;
};

}  // namespace

std::string PlanProgramDiagnostic::render() const {
  std::string out;
  auto put = std::back_inserter(out);
  for (const DecodedPlanInstruction& instruction : instructions) {
    if (instruction.address) {
      fmt::format_to(put, "0x{:05x}", *instruction.address);
    } else {
      fmt::format_to(put, "word+{}", instruction.word_index);
    }
    fmt::format_to(put, " cycles={}..{} ", instruction.start, instruction.end);
    append_operation(out, instruction.operation);
    out += '\n';
  }
  return out;
}

std::expected<PlanProgramDiagnostic, ExchangeError> diagnose_plan_program(std::span<const std::uint32_t> words,
                                                                          bool with_addresses,
                                                                          std::uint32_t base_address) {
  PlanProgramDiagnostic diagnostic;
  diagnostic.instructions.reserve(words.size());
  std::uint32_t cycle = 0;
  std::size_t i = 0;
  while (i < words.size()) {
    const std::uint32_t word = words[i];
    const WordKind kind = classify_word(word);
    std::size_t consumed = 1;
    std::uint32_t second = 0;
    if (kind == WordKind::PicPair) {
      if (i + 1 >= words.size()) return std::unexpected(schedule_error("truncated SENDPICP payload"));
      second = words[i + 1];
      consumed = 2;
    }
    const std::uint32_t cycles = word_cycles(word);
    if (cycles > std::numeric_limits<std::uint32_t>::max() - cycle) {
      return std::unexpected(schedule_error("diagnostic event horizon overflow"));
    }
    std::optional<std::uint32_t> address;
    if (with_addresses) {
      // In 64 bits, so that neither the product nor the sum can wrap first.
      const std::uint64_t byte_address = std::uint64_t{base_address} + 4 * std::uint64_t{i};
      if (byte_address > std::numeric_limits<std::uint32_t>::max()) {
        return std::unexpected(schedule_error("diagnostic row address overflow"));
      }
      address = static_cast<std::uint32_t>(byte_address);
    }
    diagnostic.instructions.push_back(DecodedPlanInstruction{
        decode_operation(kind, word, cycles, second), address, static_cast<std::uint32_t>(i), cycle, cycle + cycles});
    cycle += cycles;
    i += consumed;
  }
  diagnostic.horizon = cycle;
  diagnostic.word_count = static_cast<std::uint32_t>(words.size());
  return diagnostic;
}

std::expected<PlanProgramDiagnostic, ExchangeError> validate_tile_program(std::size_t tile,
                                                                          const TileProgramSchedule& schedule,
                                                                          std::span<const std::uint32_t> words) {
  auto decoded = diagnose_plan_program(words, false, 0);
  if (!decoded) return decoded;
  if (decoded->horizon != schedule.horizon) return std::unexpected(schedule_error("encoded tile horizon mismatch"));

  std::vector<TimedControl> actual;
  std::vector<Interval> outgoing;
  for (const DecodedPlanInstruction& instruction : decoded->instructions) {
    if (std::holds_alternative<PlanOperation::Unknown>(instruction.operation.value)) {
      return std::unexpected(schedule_error("unknown encoded exchange instruction"));
    }
    if (const auto* control = std::get_if<IncomingControl>(&instruction.operation.value)) {
      // A control word takes effect at the end of its lead.
      actual.push_back({instruction.end, *control});
    } else if (const auto* send = std::get_if<PlanOperation::Send>(&instruction.operation.value)) {
      // A send's controls take effect on its second cycle (a send lasts at
      // least one cycle, so start + 1 <= end cannot wrap).
      for (const IncomingControl& carried : send->controls) actual.push_back({instruction.start + 1, carried});
      // A SENDPICP with send control 0 only issues its controls.
      if (send->send_control != std::optional<std::uint8_t>(0)) {
        outgoing.push_back({instruction.start, instruction.end});
      }
    }
  }

  std::vector<TimedControl> expected;
  expected.reserve(schedule.receives.size());
  for (const ReceiveEvent& event : schedule.receives) {
    expected.push_back(is_xpic_kind(event.kind) ? TimedControl{event.cycle, xpic_control(event.word & 0x3fffu)}
                                                : TimedControl{event.cycle, pic_control(event.word & 0x7ffffu)});
  }
  std::ranges::sort(actual, timed_control_less);
  std::ranges::sort(expected, timed_control_less);
  if (actual != expected) {
    log_control_mismatch(tile, actual, expected);
    return std::unexpected(schedule_error("encoded incoming-control mismatch"));
  }

  // Instructions follow each other in time, so the outgoing intervals are
  // ordered and disjoint by both start and end; the ones overlapping a row
  // form one run.
  for (const ScheduledSenderRow& row : schedule.senders) {
    const auto first =
        std::ranges::partition_point(outgoing, [&](const Interval& interval) { return interval.end <= row.start; });
    const auto last = std::ranges::partition_point(
        first, outgoing.end(), [&](const Interval& interval) { return interval.start < row.end; });
    bool covered = first != last && first->start == row.start && std::prev(last)->end == row.end;
    for (auto it = first; covered && it != last && std::next(it) != last; ++it) {
      covered = std::next(it)->start == it->end;
    }
    if (!covered) return std::unexpected(schedule_error("encoded sender interval mismatch"));
  }

  // An interval lies inside some row when, among the rows starting no later
  // than it, the latest end reaches its end. Sorting keeps this exact even
  // for rows out of order.
  std::vector<Interval> rows;
  rows.reserve(schedule.senders.size());
  for (const ScheduledSenderRow& row : schedule.senders) rows.push_back({row.start, row.end});
  std::ranges::sort(rows, {}, &Interval::start);
  for (std::size_t r = 1; r < rows.size(); ++r) rows[r].end = std::max(rows[r].end, rows[r - 1].end);
  for (const Interval& interval : outgoing) {
    const auto after = std::ranges::upper_bound(rows, interval.start, {}, &Interval::start);
    if (after == rows.begin() || std::prev(after)->end < interval.end) {
      return std::unexpected(schedule_error("unexpected encoded outgoing interval"));
    }
  }
  return decoded;
}

}  // namespace tarn_exchange
