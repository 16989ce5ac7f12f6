#include "exchange/encoding.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

#include "exchange/words.h"

namespace tarn_exchange::encoding {
namespace {

using Words = Chunked<std::uint32_t>;
using Events = Chunked<ReceiveEvent>;

constexpr std::uint32_t kMaximumInitialSend = 64;
constexpr std::uint32_t kMaximumOffsetSend = 4096;
constexpr std::uint32_t kMaximumPicSend = 64;
constexpr std::uint32_t kMaximumSourceOperand = 0x3ffff;

// The initial send with its count replaced by `words` (1..64).
[[nodiscard]] constexpr std::uint32_t initial_send_word(std::uint32_t initial, std::uint32_t words) noexcept {
  return (initial & 0x781fffffu) | ((words - 1) << 21);
}

// Checks every group of equal cycle in events[from..].
[[nodiscard]] std::expected<void, ExchangeError> check_simultaneous(const Events& events, std::size_t from) {
  if (from >= events.len()) return {};
  const std::size_t chunk_size = Events::kChunkSize;
  ReceiveEvent first{};
  std::size_t group = 0;
  for (std::size_t k = from / chunk_size; k < events.chunk_count(); ++k) {
    std::span<const ReceiveEvent> items = events.chunk(k);
    if (k == from / chunk_size) items = items.subspan(from % chunk_size);
    for (const ReceiveEvent& event : items) {
      if (group != 0 && event.cycle == first.cycle) {
        ++group;
        if (group > 2 || !may_share_cycle(first.kind, event.kind)) {
          return schedule_failure("incompatible simultaneous receive controls");
        }
      } else {
        first = event;
        group = 1;
      }
    }
  }
  return {};
}

// The first index at or after `from` whose event takes effect after `cycle`.
[[nodiscard]] std::size_t first_after(const Events& events, std::size_t from, std::uint32_t cycle) {
  return partition_point(events, from, [cycle](const ReceiveEvent& e) { return e.cycle <= cycle; });
}

// events[start..end) as one span: borrowed inside one chunk, else copied into
// `scratch` (reused across calls, so a whole encoding allocates it once).
[[nodiscard]] std::span<const ReceiveEvent> event_range(const Events& events, std::size_t start, std::size_t end,
                                                        std::vector<ReceiveEvent>& scratch) {
  if (start == end) return {};
  const std::size_t chunk_size = Events::kChunkSize;
  if (start / chunk_size == (end - 1) / chunk_size) {
    return events.chunk(start / chunk_size).subspan(start % chunk_size, end - start);
  }
  scratch.clear();
  events.append_to(scratch, start, end);
  return scratch;
}

// The number of events in the group of equal cycle starting at `index`,
// counted up to 3 (anything above 2 is refused anyway).
[[nodiscard]] std::size_t group_size(std::span<const ReceiveEvent> events, std::size_t index) noexcept {
  std::size_t end = index + 1;
  while (end < events.size() && end - index < 3 && events[end].cycle == events[index].cycle) ++end;
  return end - index;
}

// The last checkpoint of `previous` that the changes cannot have affected:
// everything before it was made from unchanged rows and events, and nothing
// after it in the new schedule reaches back into the words before it.
[[nodiscard]] std::optional<std::size_t> resume_point(const EncodedSchedule& previous,
                                                      const Chunked<ScheduledSenderRow>& rows, const Events& events,
                                                      std::uint32_t horizon, std::size_t unchanged_senders,
                                                      std::size_t unchanged_receives) {
  const Chunked<Checkpoint>& checkpoints = previous.checkpoints;
  // Both counts only grow along a program, so the checkpoints made from
  // unchanged rows and events form a prefix: find its end by bisection.
  const std::size_t unchanged_end = partition_point(checkpoints, 0, [&](const Checkpoint& c) {
    return c.sender_rows <= unchanged_senders && c.receive_events <= unchanged_receives;
  });
  for (std::size_t k = unchanged_end; k-- > 0;) {
    const Checkpoint& c = checkpoints[k];
    if (c.words > previous.words.len()) continue;
    // The next row must not start before this point.
    const std::uint32_t next_start = c.sender_rows < rows.len() ? rows[c.sender_rows].start : horizon;
    if (c.cycle > next_start) continue;
    // The next event must not join the last group or fall inside its span.
    if (c.receive_events < events.len() && events[c.receive_events].cycle <= c.cycle) continue;
    // The last consumed event must still come before the next row.
    if (c.receive_events >= 1 && events[c.receive_events - 1].cycle >= next_start) continue;
    if (c.pair) {
      // A SENDPICP's length was fixed by what followed it.
      std::uint32_t limit = next_start;
      if (c.receive_events < events.len()) {
        const std::uint32_t next = events[c.receive_events].cycle;
        limit = std::min(limit, next == 0 ? 0 : next - 1);
      }
      if (limit != c.limit) continue;
    }
    return k;
  }
  return std::nullopt;
}

}  // namespace

std::expected<void, ExchangeError> emit_sender_words(Words& sink, std::uint32_t& cycle, std::uint32_t initial_word,
                                                     std::uint32_t control, std::uint32_t& remaining,
                                                     std::uint32_t& sent, bool& initial_sent, std::uint32_t length,
                                                     bool align) {
  if (length > remaining) return schedule_failure("sender payload overflow");
  if (length == 0) {
    // The control would have to ride on the initial send, whose operand is
    // the source address.
    if (!initial_sent) return schedule_failure("unencodable initial send control");
    if (align && sink.len() % 2 != 0) return schedule_failure("SENDPICP instruction alignment");
    return {};
  }

  // Chunks: the first up to the limit of the send it goes out in, the rest
  // up to 4096 words each.
  const std::uint32_t first = std::min(length, initial_sent ? kMaximumOffsetSend : kMaximumInitialSend);
  const std::uint32_t full = (length - first) / kMaximumOffsetSend;
  const std::uint32_t tail = (length - first) % kMaximumOffsetSend;
  const std::size_t count = 1 + static_cast<std::size_t>(full) + (tail != 0 ? 1 : 0);
  const auto chunk_words = [&](std::size_t i) -> std::uint32_t {
    if (i == 0) return first;
    return i <= full ? kMaximumOffsetSend : tail;
  };

  // One more word evens the sink: split the last chunk that can be split.
  std::size_t split = count;
  if (align && (sink.len() + count) % 2 != 0) {
    std::size_t i = count;
    while (i > 0 && chunk_words(i - 1) <= 1) --i;
    if (i == 0) return schedule_failure("SENDPICP instruction alignment");
    split = i - 1;
  }

  const std::uint32_t offset_control = control & 7u;
  const auto emit = [&](std::uint32_t words) -> std::expected<void, ExchangeError> {
    if (!initial_sent) {
      if (!is_explicit_send(initial_word) || words > kMaximumInitialSend) return schedule_failure("initial send size");
      sink.push(initial_send_word(initial_word, words));
      initial_sent = true;
    } else {
      sink.push(offset_send_word(words, offset_control));
    }
    cycle += words;
    remaining -= words;
    sent += words;
    return {};
  };
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t words = chunk_words(i);
    if (i == split) {
      if (auto done = emit(1); !done) return done;
      if (auto done = emit(words - 1); !done) return done;
    } else if (auto done = emit(words); !done) {
      return done;
    }
  }
  if (align && sink.len() % 2 != 0) return schedule_failure("SENDPICP instruction alignment");
  return {};
}

std::expected<void, ExchangeError> append_sender_message(Words& sink, std::uint32_t& cycle,
                                                         const ScheduledSenderRow& row,
                                                         std::span<const ReceiveEvent> events) {
  if (row.start < cycle) return schedule_failure("plan delay order");
  append_delay_until(sink, cycle, row.start);

  std::optional<std::uint32_t> initial;
  std::uint32_t payload = 0;
  for (const std::uint32_t word : row.words) {
    if (is_explicit_send(word)) {
      if (initial) return schedule_failure("multiple initial sends");
      initial = word;
    } else if (!is_offset_send(word)) {
      continue;
    }
    const std::uint32_t words = word_cycles(word);  // a send occupies one cycle per word
    if (payload > UINT32_MAX - words) return schedule_failure("sender payload overflow");
    payload += words;
  }
  if (!initial) return schedule_failure("sender payload");
  const std::uint32_t control = *initial & 7u;
  const std::uint32_t source = (*initial >> 3) & kMaximumSourceOperand;

  std::uint32_t remaining = payload;
  std::uint32_t sent = 0;
  bool initial_sent = false;
  std::size_t index = 0;
  while (index < events.size()) {
    const std::size_t group = group_size(events, index);
    if (group > 2) return schedule_failure("incompatible simultaneous receive controls");
    const std::uint32_t at = events[index].cycle;
    // The control rides on a send word that starts one cycle before it.
    if (at == 0) return schedule_failure("send control at phase entry");
    if (at - 1 < cycle) return schedule_failure("send control order");
    if (at - 1 - cycle >= remaining) return schedule_failure("send control beyond payload");
    if (auto done =
            emit_sender_words(sink, cycle, *initial, control, remaining, sent, initial_sent, at - 1 - cycle, group == 2);
        !done) {
      return done;
    }

    // The carrying send lasts up to the next control (or the row's end).
    const std::size_t next = index + group;
    std::uint32_t reach = row.end;
    if (next < events.size()) {
      const std::uint32_t next_at = events[next].cycle;
      reach = next_at == 0 ? 0 : next_at - 1;
    }
    if (reach < cycle) return schedule_failure("send control order");
    reach -= cycle;
    // Leave room for one filler send that puts the next SENDPICP on an even word.
    if (next < events.size() && group_size(events, next) == 2 && reach >= 2 && (sink.len() + group) % 2 != 0) {
      --reach;
    }
    const std::uint32_t words = std::min({reach, remaining, kMaximumPicSend});
    if (words == 0) return schedule_failure("empty receive-control continuation");

    if (group == 1) {
      const ReceiveEvent& event = events[index];
      std::uint32_t stream = 0;
      std::uint32_t mask = 0;
      if (is_xpic_kind(event.kind)) {
        stream = (event.word >> 13) & 1u;
        mask = 0x1fffu;
      } else {
        stream = 2u | ((event.word >> 18) & 1u);
        mask = 0x3ffffu;
      }
      sink.push(0x70100000u | ((words - 1) << 21) | (stream << 18) | (event.word & mask));
    } else {
      if (sent > UINT32_MAX - source) return schedule_failure("SENDPICP source overflow");
      const std::uint32_t operand = sent + source;
      if (operand > kMaximumSourceOperand) return schedule_failure("SENDPICP operand");
      const auto controls = sendpicp_controls(events[index], events[index + 1]);
      if (!controls) return std::unexpected(controls.error());
      if (events[index].cycle != events[index + 1].cycle) return schedule_failure("SENDPICP event time");
      sink.extend(sendpicp_first_word(controls->pic, words, operand, control), sendpicp_second_word(*controls));
    }
    cycle += words;
    remaining -= words;
    sent += words;
    index = next;
  }

  if (!initial_sent && remaining == 0) return schedule_failure("initial send size");
  // The rest of the payload must end exactly at the row's end; compared
  // before emitting so that a row ending before its payload cannot wrap.
  if (static_cast<std::uint64_t>(cycle) + remaining != row.end) return schedule_failure("sender payload horizon");
  if (!initial_sent) {
    const std::uint32_t words = std::min(remaining, kMaximumInitialSend);
    sink.push(initial_send_word(*initial, words));
    cycle += words;
    remaining -= words;
  }
  while (remaining > 0) {
    const std::uint32_t words = std::min(remaining, kMaximumOffsetSend);
    sink.push(offset_send_word(words, control));
    cycle += words;
    remaining -= words;
  }
  return {};
}

std::expected<EncodedSchedule, ExchangeError> build_scheduled_program(const TileProgramSchedule& schedule,
                                                                      const Events& events, std::uint32_t horizon,
                                                                      const EncodingHint& hint) {
  const Chunked<ScheduledSenderRow>& rows = schedule.senders;
  const EncodedSchedule* previous = hint.previous.get();
  // Counts beyond the sequences cannot describe unchanged elements.
  const std::size_t unchanged_senders = std::min(hint.unchanged_senders, rows.len());
  const std::size_t unchanged_receives = std::min(hint.unchanged_receives, events.len());

  // Groups wholly inside the unchanged events passed when `previous` was
  // made; start at the group that holds the first changed event.
  std::size_t checked = 0;
  if (previous != nullptr) {
    checked = unchanged_receives;
    if (checked > 0 && checked < events.len()) {
      while (checked > 0 && events[checked - 1].cycle == events[checked].cycle) --checked;
    }
  }
  if (auto valid = check_simultaneous(events, checked); !valid) return std::unexpected(valid.error());

  EncodedSchedule out;
  std::size_t row = 0;
  std::size_t next_event = 0;
  std::uint32_t cycle = 0;
  if (previous != nullptr && !previous->checkpoints.empty()) {
    if (const auto k = resume_point(*previous, rows, events, horizon, unchanged_senders, unchanged_receives)) {
      const Checkpoint c = previous->checkpoints[*k];
      // Copies share every chunk; cutting them copies at most the last one.
      out.words = previous->words;
      out.words.truncate(c.words);
      out.checkpoints = previous->checkpoints;
      out.checkpoints.truncate(*k + 1);
      row = c.sender_rows;
      next_event = c.receive_events;
      cycle = c.cycle;
    }
  }

  std::vector<ReceiveEvent> scratch;
  const auto record = [&](std::size_t end, std::uint32_t until, std::size_t rows_before) {
    const std::size_t base = next_event;
    return append_receive_events_record(
        out.words, cycle, event_range(events, base, end, scratch), until, true,
        [&](bool pair, std::uint32_t limit, std::size_t consumed, std::size_t words, std::uint32_t at) {
          out.checkpoints.push(Checkpoint{pair, pair ? limit : 0, rows_before, base + consumed, words, at});
        });
  };

  for (; row < rows.len(); ++row) {
    const ScheduledSenderRow& sender = rows[row];
    // Searching from the next event keeps the ranges ordered even when rows
    // overlap; such a row then fails on its start.
    const std::size_t inside = first_after(events, next_event, sender.start);
    if (auto done = record(inside, sender.start, row); !done) return std::unexpected(done.error());
    const std::size_t after = first_after(events, inside, sender.end);
    if (auto done = append_sender_message(out.words, cycle, sender, event_range(events, inside, after, scratch));
        !done) {
      return std::unexpected(done.error());
    }
    out.checkpoints.push(Checkpoint{false, 0, row + 1, after, out.words.len(), cycle});
    next_event = after;
  }
  if (auto done = record(events.len(), horizon, rows.len()); !done) return std::unexpected(done.error());
  out.words.push(kReturnWord);
  return out;
}

}  // namespace tarn_exchange::encoding
