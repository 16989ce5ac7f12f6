// Exchange instruction words: the 32-bit words of a tile's exchange program.
//
// Fixes how a word is classified (first matching rule wins, in the order of
// WordKind), how many cycles it occupies, the nine-word row, the timed receive
// control (ReceiveEvent), delay emission, and append_receive_events_record,
// which every producer of receive-side words uses to turn time-sorted receive
// controls into words. Cycles are u32 counted from the phase-entry sync; a
// control word that starts at cycle g with lead L takes effect at g + L + 1, a
// SENDPICP that starts at g makes both its controls take effect at g + 1.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "exchange/error.h"

namespace tarn_exchange {

// A fixed group of nine words: the entry word, a body, a Return somewhere in
// words 1 to 8, and zero words after the Return.
using Row = std::array<std::uint32_t, 9>;

inline constexpr std::uint32_t kEntryWord = 0x41800003;   // Sync with operand 3
inline constexpr std::uint32_t kReturnWord = 0x43a00000;
inline constexpr std::uint32_t kMaximumDelayCycles = 524288;  // one Delay word
inline constexpr std::uint32_t kPicLeadWindow = 128;
inline constexpr std::uint32_t kXpicLeadWindow = 4096;

// Word kinds in classification order.
enum class WordKind : std::uint8_t {
  Return,
  Delay,
  XpicControl,
  PicControl,
  PicPair,  // SENDPICP, two words
  PicSend,
  ExplicitSend,
  OffsetSend,
  Sync,
  Unknown,
};

[[nodiscard]] constexpr WordKind classify_word(std::uint32_t word) noexcept {
  if (word == kReturnWord) return WordKind::Return;
  if ((word & 0xfff80000u) == 0x40a00000u) return WordKind::Delay;
  if ((word & 0xfc000000u) == 0x64000000u) return WordKind::XpicControl;
  if ((word & 0xfc000000u) == 0x60000000u) return WordKind::PicControl;
  if (word >= 0xf0000000u) return WordKind::PicPair;
  if ((word & 0xf8100000u) == 0x70100000u) return WordKind::PicSend;
  // Signed: 0x80000000..0xefffffff are negative and never an explicit send.
  if (static_cast<std::int32_t>(word) > 0x77ffffff) return WordKind::ExplicitSend;
  if ((word & 0xf8100000u) == 0x70000000u) return WordKind::OffsetSend;
  if ((word & 0xffffff00u) == 0x41800000u) return WordKind::Sync;
  return WordKind::Unknown;
}

// Cycles a word occupies (0 for Return, Sync and Unknown). For a SENDPICP this
// is the count of its first word.
[[nodiscard]] constexpr std::uint32_t word_cycles(std::uint32_t word) noexcept {
  switch (classify_word(word)) {
    case WordKind::Delay:
      return (word & 0x7ffffu) + 1;
    case WordKind::XpicControl:
      return ((word >> 14) & 0xfffu) + 1;
    case WordKind::PicControl:
      return ((word >> 19) & 0x7fu) + 1;
    case WordKind::PicPair:
    case WordKind::PicSend:
    case WordKind::ExplicitSend:
      return ((word >> 21) & 0x3fu) + 1;
    case WordKind::OffsetSend:
      return (((word >> 21) & 0x3fu) | ((word >> 8) & 0xfc0u)) + 1;
    case WordKind::Return:
    case WordKind::Sync:
    case WordKind::Unknown:
      return 0;
  }
  return 0;
}

// The two payload-send tests that rows are read with (the same sets of words
// as the ExplicitSend and OffsetSend rules).
[[nodiscard]] constexpr bool is_explicit_send(std::uint32_t word) noexcept {
  return (word & 0xf8000000u) == 0x78000000u;
}
[[nodiscard]] constexpr bool is_offset_send(std::uint32_t word) noexcept {
  return (word & 0xf8100000u) == 0x70000000u;
}

// A Delay word of 1..524288 cycles.
[[nodiscard]] constexpr std::uint32_t delay_word(std::uint32_t cycles) noexcept {
  return 0x40a00000u | (cycles - 1);
}

// An Offset continuation send of 1..4096 words with send control `control`.
[[nodiscard]] constexpr std::uint32_t offset_send_word(std::uint32_t words, std::uint32_t control) noexcept {
  const std::uint32_t n = words - 1;
  return 0x70000000u | control | ((n & 0x3fu) << 21) | ((n << 8) & 0xfc000u);
}

// Kind codes of a timed receive control. Codes below 4 are XPIC controls, 4
// and above PIC controls.
enum class ReceiveEventKind : std::uint8_t {
  Source = 0,          // select the sending tile
  Teardown = 1,        // end an ordinary receive
  PairedSource = 2,    // source selection of a paired receive
  PairedTeardown = 3,  // end of a paired receive
  PairedPointer = 4,   // receive pointer inside a paired receive
  Pointer = 5,         // receive pointer: value * 4 is the byte address
  PairedFormat = 6,    // low 18 bits 1 or 2 start a paired format, 0 ends it
};

[[nodiscard]] constexpr bool is_xpic_kind(ReceiveEventKind kind) noexcept {
  return static_cast<std::uint8_t>(kind) < 4;
}

// The kind of an XPIC control value (14 bits).
[[nodiscard]] constexpr ReceiveEventKind xpic_value_kind(std::uint32_t value) noexcept {
  const bool paired = (value & 0x2000u) != 0;
  const bool teardown = (value & 0x1fffu) == 0x640u;
  if (paired) return teardown ? ReceiveEventKind::PairedTeardown : ReceiveEventKind::PairedSource;
  return teardown ? ReceiveEventKind::Teardown : ReceiveEventKind::Source;
}

// The kind of a PIC or XPIC control word as it stands in a row; a PIC pointer
// reads as Pointer until its row turns out to be a paired receive.
[[nodiscard]] constexpr ReceiveEventKind control_word_kind(std::uint32_t word) noexcept {
  if ((word & 0xfc000000u) == 0x64000000u) return xpic_value_kind(word & 0x3fffu);
  return (word & 0x40000u) != 0 ? ReceiveEventKind::PairedFormat : ReceiveEventKind::Pointer;
}

// One timed receive control. The lead field of `word` is meaningless until
// emission rewrites it.
struct ReceiveEvent {
  std::uint32_t cycle = 0;  // when the control takes effect
  std::uint32_t word = 0;   // the PIC or XPIC control word
  ReceiveEventKind kind = ReceiveEventKind::Source;
  friend bool operator==(const ReceiveEvent&, const ReceiveEvent&) = default;
};
static_assert(sizeof(ReceiveEvent) == 12);

// Two controls may take effect on one cycle only as a receive pointer with an
// ordinary source selection or teardown: together they travel as one SENDPICP.
[[nodiscard]] constexpr bool may_share_cycle(ReceiveEventKind a, ReceiveEventKind b) noexcept {
  const auto mux = [](ReceiveEventKind k) {
    return k == ReceiveEventKind::Source || k == ReceiveEventKind::Teardown;
  };
  return (a == ReceiveEventKind::Pointer && mux(b)) || (b == ReceiveEventKind::Pointer && mux(a));
}

// The PIC and XPIC control words of a SENDPICP's two events (one of each
// stream), in that order.
struct SendpicpControls {
  std::uint32_t pic;
  std::uint32_t xpic;
};
[[nodiscard]] inline std::expected<SendpicpControls, ExchangeError> sendpicp_controls(const ReceiveEvent& a,
                                                                                      const ReceiveEvent& b) {
  const bool a_xpic = is_xpic_kind(a.kind);
  const bool b_xpic = is_xpic_kind(b.kind);
  if (a_xpic && b_xpic) return std::unexpected(schedule_error("SENDPICP PIC control"));
  if (!a_xpic && !b_xpic) return std::unexpected(schedule_error("SENDPICP XPIC control"));
  return a_xpic ? SendpicpControls{b.word, a.word} : SendpicpControls{a.word, b.word};
}

// The first word of a SENDPICP of `n` (1..64) payload words from source
// operand `operand` with send control `control` (0: it only issues controls),
// and its second word carrying the control values.
[[nodiscard]] constexpr std::uint32_t sendpicp_first_word(std::uint32_t pic, std::uint32_t n, std::uint32_t operand,
                                                          std::uint32_t control) noexcept {
  return 0xf0000000u | ((pic << 9) & 0x8000000u) | ((n - 1) << 21) | (operand << 3) | control;
}
[[nodiscard]] constexpr std::uint32_t sendpicp_second_word(const SendpicpControls& controls) noexcept {
  return (controls.pic & 0x3ffffu) | (controls.xpic << 18);
}

// Word sinks: a plain std::vector<u32> or any growable sequence with
// push_back/size (or push/len).
namespace words_detail {

template <class Sink>
void push(Sink& sink, std::uint32_t word) {
  if constexpr (requires { sink.push_back(word); }) {
    sink.push_back(word);
  } else {
    sink.push(word);
  }
}

template <class Sink>
[[nodiscard]] std::size_t length(const Sink& sink) {
  if constexpr (requires { sink.size(); }) {
    return static_cast<std::size_t>(sink.size());
  } else {
    return static_cast<std::size_t>(sink.len());
  }
}

}  // namespace words_detail

template <class Sink>
concept WordSink = requires(Sink& sink, const Sink& view, std::uint32_t word) {
  requires requires { sink.push_back(word); } || requires { sink.push(word); };
  requires requires { view.size(); } || requires { view.len(); };
};

// Pushes Delay words for `cycles` cycles, front-loaded (every word but the
// last carries 524288 cycles). Nothing for 0.
template <WordSink Sink>
void append_delay(Sink& sink, std::uint32_t cycles) {
  while (cycles > 0) {
    const std::uint32_t step = cycles < kMaximumDelayCycles ? cycles : kMaximumDelayCycles;
    words_detail::push(sink, delay_word(step));
    cycles -= step;
  }
}

// Advances `cycle` to `until` (at least `cycle`) with Delay words.
template <WordSink Sink>
void append_delay_until(Sink& sink, std::uint32_t& cycle, std::uint32_t until) {
  append_delay(sink, until - cycle);
  cycle = until;
}

// The observer of a caller that keeps no checkpoints.
struct IgnoreCheckpoints {
  constexpr void operator()(bool, std::uint32_t, std::size_t, std::size_t, std::uint32_t) const noexcept {}
};

// Emits the receive controls `events` (sorted by cycle; a group of equal cycle
// has one control, or one XPIC-kind and one PIC-kind control that become a
// SENDPICP) starting at `cycle`, then fills up to `until`. `cycle` is advanced
// in place. With `align`, every SENDPICP starts at an even word index of the
// sink. `observer(pair, limit, consumed, words, cycle)` is called once after
// each group: whether it was a pair, the limit that bounded the SENDPICP,
// events consumed so far, the sink length and the cycle reached.
//
// On failure the words already pushed stay in the sink and `cycle` keeps the
// value reached; callers that must stay consistent work on a copy.
template <WordSink Sink, class Observer = IgnoreCheckpoints>
[[nodiscard]] std::expected<void, ExchangeError> append_receive_events_record(
    Sink& sink, std::uint32_t& cycle, std::span<const ReceiveEvent> events, std::uint32_t until, bool align,
    Observer&& observer = {}) {
  std::size_t index = 0;
  while (index < events.size()) {
    const std::uint32_t c = events[index].cycle;
    std::size_t group_end = index + 1;
    while (group_end < events.size() && events[group_end].cycle == c) ++group_end;
    if (group_end - index > 2) {
      // Callers reject this before emitting; refuse rather than misread it.
      return std::unexpected(schedule_error("incompatible simultaneous receive controls"));
    }
    std::uint32_t limit = until;
    if (group_end < events.size()) {
      const std::uint32_t next = events[group_end].cycle;
      limit = next == 0 ? 0 : next - 1;
    }
    const bool pair = group_end - index == 2;

    if (!pair) {
      const ReceiveEvent& event = events[index];
      if (c < cycle) return std::unexpected(schedule_error("receive event order"));
      if (c == cycle) return std::unexpected(schedule_error("receive control issue interval"));
      const bool pic = (event.word & 0xfc000000u) == 0x60000000u;
      const bool xpic = (event.word & 0xfc000000u) == 0x64000000u;
      if (!pic && !xpic) return std::unexpected(schedule_error("receive timed event"));
      const std::uint32_t window = pic ? kPicLeadWindow : kXpicLeadWindow;
      if (c - cycle > window) append_delay_until(sink, cycle, c - window);
      const std::uint32_t lead = c - cycle - 1;
      std::uint32_t word = 0;
      if (pic) {
        if (lead > 127) return std::unexpected(schedule_error("PIC delay advance overflow"));
        word = (event.word & 0x6007ffffu) | (lead << 19);
      } else {
        if (lead > 4095) return std::unexpected(schedule_error("XPIC delay advance overflow"));
        word = (event.word & 0x64003fffu) | (lead << 14);
      }
      words_detail::push(sink, word);
      cycle = c;
    } else {
      if (c == 0) return std::unexpected(schedule_error("receive control at phase entry"));
      if (c - 1 < cycle) return std::unexpected(schedule_error("plan delay order"));
      const std::uint32_t wait = c - 1 - cycle;
      if (!align) {
        append_delay(sink, wait);
      } else if (wait == 0) {
        if (words_detail::length(sink) % 2 != 0) {
          return std::unexpected(schedule_error("SENDPICP instruction alignment"));
        }
      } else {
        // Split the wait over as many Delay words as put the SENDPICP on an
        // even index; each word needs at least one cycle.
        std::uint32_t count = (wait + kMaximumDelayCycles - 1) / kMaximumDelayCycles;
        if ((words_detail::length(sink) + count) % 2 != 0) ++count;
        if (count > wait) return std::unexpected(schedule_error("SENDPICP instruction alignment"));
        std::uint32_t left = wait;
        for (std::uint32_t words_left = count; words_left > 0; --words_left) {
          const std::uint32_t most = left - (words_left - 1);
          const std::uint32_t step = most < kMaximumDelayCycles ? most : kMaximumDelayCycles;
          words_detail::push(sink, delay_word(step));
          left -= step;
        }
      }
      cycle = c - 1;
      if (limit < cycle) return std::unexpected(schedule_error("receive control order"));
      if (limit == cycle) return std::unexpected(schedule_error("empty SENDPICP interval"));
      const auto controls = sendpicp_controls(events[index], events[index + 1]);
      if (!controls) return std::unexpected(controls.error());
      const std::uint32_t span = limit - cycle;
      const std::uint32_t n = span < 64 ? span : 64;
      words_detail::push(sink, sendpicp_first_word(controls->pic, n, 0, 0));
      words_detail::push(sink, sendpicp_second_word(*controls));
      cycle += n;
    }
    observer(pair, limit, group_end, words_detail::length(sink), cycle);
    index = group_end;
  }
  if (until < cycle) return std::unexpected(schedule_error("plan delay order"));
  append_delay_until(sink, cycle, until);
  return {};
}

// A copy of `words` of the same length with every address-carrying field
// cleared, so that programs differing only in memory addresses compare equal.
[[nodiscard]] std::vector<std::uint32_t> normalized_exchange_address_words(std::span<const std::uint32_t> words);

}  // namespace tarn_exchange
