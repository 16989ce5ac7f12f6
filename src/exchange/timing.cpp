#include "exchange/timing.h"

namespace tarn_exchange {
namespace {

// Index of the row's Return among words 1 to 8.
[[nodiscard]] std::optional<std::size_t> return_index(const Row& row) {
  for (std::size_t i = 1; i < row.size(); ++i) {
    if (row[i] == kReturnWord) return i;
  }
  return std::nullopt;
}

}  // namespace

std::expected<SenderRowTiming, ExchangeError> sender_row_timing(const Row& row, std::uint32_t base) {
  if (row[0] != kEntryWord) return schedule_failure("sender row entry");
  const auto ret = return_index(row);
  if (!ret) return schedule_failure("sender row return");

  std::uint32_t counter = base;
  std::optional<std::uint32_t> send_start;
  std::uint32_t send_end = 0;
  for (std::size_t i = 1; i < *ret; ++i) {
    const std::uint32_t word = row[i];
    const bool payload = is_explicit_send(word) || is_offset_send(word);
    if (payload && !send_start) send_start = counter;
    if (!checked_add(counter, word_cycles(word), counter)) return schedule_failure("sender event horizon overflow");
    if (payload) send_end = counter;
  }
  if (!send_start) return schedule_failure("sender payload");
  return SenderRowTiming{*send_start, send_end, counter};
}

std::expected<ReceiveRowTiming, ExchangeError> receive_row_timing(const Row& row, std::uint32_t base) {
  if (row[0] != kEntryWord) return schedule_failure("receive row entry");
  const auto ret = return_index(row);
  if (!ret) return schedule_failure("receive row return");

  ReceiveRowTiming timing;
  std::uint32_t counter = base;
  std::size_t i = 1;
  while (i < *ret) {
    const std::uint32_t word = row[i];
    const WordKind kind = classify_word(word);
    if (kind == WordKind::PicControl || kind == WordKind::XpicControl) {
      if (!checked_add(counter, word_cycles(word), counter)) return schedule_failure("receive event horizon overflow");
      timing.events.push_back({counter, word, control_word_kind(word)});
      ++i;
    } else if (kind == WordKind::PicPair) {
      // Both controls of a SENDPICP take effect one cycle after it starts.
      if (i + 1 >= *ret) return schedule_failure("truncated SENDPICP payload");
      const std::uint32_t second = row[i + 1];
      std::uint32_t at = 0;
      if (!checked_add(counter, 1, at)) return schedule_failure("receive event horizon overflow");
      const std::uint32_t xpic = 0x64000000u | (second >> 18);
      const std::uint32_t pic = 0x60000000u | ((word >> 9) & 0x40000u) | (second & 0x3ffffu);
      timing.events.push_back({at, xpic, xpic_value_kind(second >> 18)});
      timing.events.push_back(
          {at, pic, (word & 0x8000000u) != 0 ? ReceiveEventKind::PairedFormat : ReceiveEventKind::Pointer});
      if (!checked_add(counter, word_cycles(word), counter)) return schedule_failure("receive event horizon overflow");
      i += 2;
    } else {
      if (!checked_add(counter, word_cycles(word), counter)) return schedule_failure("receive event horizon overflow");
      ++i;
    }
  }
  timing.end = counter;

  for (const ReceiveEvent& event : timing.events) {
    switch (event.kind) {
      case ReceiveEventKind::Source:
      case ReceiveEventKind::PairedSource:
        if (timing.source) return schedule_failure("multiple receive sources");
        timing.source = event.cycle;
        break;
      case ReceiveEventKind::Teardown:
      case ReceiveEventKind::PairedTeardown:
        if (timing.teardown) return schedule_failure("multiple receive teardowns");
        timing.teardown = event.cycle;
        break;
      case ReceiveEventKind::PairedPointer:
      case ReceiveEventKind::Pointer:
        if (timing.pointer) return schedule_failure("multiple receive pointers");
        timing.pointer = event.cycle;
        timing.address = (event.word << 2) & 0xffffcu;
        break;
      case ReceiveEventKind::PairedFormat: {
        const std::uint32_t value = event.word & 0x3ffffu;
        if (value == 1 || value == 2) {
          if (timing.format_start) return schedule_failure("multiple paired format starts");
          timing.format_start = event.cycle;
        } else if (value == 0) {
          if (timing.format_end) return schedule_failure("multiple paired format ends");
          timing.format_end = event.cycle;
        } else {
          return schedule_failure("paired receive format value");
        }
        break;
      }
    }
  }

  if (timing.format_start) {
    if (!timing.format_end) return schedule_failure("incomplete paired receive format");
    for (ReceiveEvent& event : timing.events) {
      if (event.kind == ReceiveEventKind::Pointer) event.kind = ReceiveEventKind::PairedPointer;
    }
    timing.paired = true;
  } else {
    for (const ReceiveEvent& event : timing.events) {
      if (event.kind == ReceiveEventKind::PairedSource || event.kind == ReceiveEventKind::PairedTeardown) {
        return schedule_failure("incomplete paired receive format");
      }
    }
    if (!timing.source || !timing.teardown) return schedule_failure("incomplete ordinary receive mux");
    timing.paired = false;
  }
  return timing;
}

std::expected<PreparedTransfer, ExchangeError> MulticastPlan::prepare() const& {
  const auto sender_timing = sender_row_timing(sender, 0);
  if (!sender_timing) return std::unexpected(sender_timing.error());
  PreparedTransfer prepared;
  prepared.plan = this;
  prepared.send_start = sender_timing->send_start;
  prepared.send_end = sender_timing->send_end;
  prepared.end = sender_timing->end;
  prepared.receivers.reserve(receivers.size());
  for (const Row& row : receivers) {
    auto timing = receive_row_timing(row, 0);
    if (!timing) return std::unexpected(timing.error());
    prepared.receivers.push_back(*timing);
  }
  return prepared;
}

std::expected<ScheduledReceiverWindow, ExchangeError> scheduled_receive_window(
    const ReceiveRowTiming& row, std::uint32_t offset, std::uint32_t count,
    const std::optional<TileReceiveState>& state) {
  ScheduledReceiverWindow window;
  RowEvents shifted = row.events;
  for (ReceiveEvent& event : shifted) {
    if (!checked_add(event.cycle, offset, event.cycle)) return schedule_failure("receive offset overflow");
  }
  const auto shift = [offset](std::optional<std::uint32_t> cycle, std::optional<std::uint32_t>& out) {
    if (!cycle) return true;
    std::uint32_t moved = 0;
    if (!checked_add(*cycle, offset, moved)) return false;
    out = moved;
    return true;
  };
  std::optional<std::uint32_t> teardown;
  std::optional<std::uint32_t> source;
  std::optional<std::uint32_t> format_start;
  std::optional<std::uint32_t> format_end;
  std::optional<std::uint32_t> pointer;
  std::uint32_t row_end = 0;
  if (!shift(row.teardown, teardown) || !shift(row.source, source) || !shift(row.format_start, format_start) ||
      !shift(row.format_end, format_end) || !shift(row.pointer, pointer) || !checked_add(row.end, offset, row_end)) {
    return schedule_failure("receive offset overflow");
  }

  // A paired partner row selects no source; its format start stands in.
  if (source) {
    window.source = *source;
  } else if (format_start) {
    window.source = *format_start;
  } else {
    return schedule_failure("receive source timing");
  }
  if (!checked_add(window.source, count, window.source_end)) return schedule_failure("receive source timing overflow");

  if (format_start && state) {
    for (const ReceiveEvent& event : shifted) {
      if (event.kind == ReceiveEventKind::PairedFormat && event.cycle == *format_start) {
        window.reuses_format = state->format == (event.word & 0x3ffffu) && state->format_end == *format_start;
        break;
      }
    }
  }
  // Data that lands right after the previous receive needs no new pointer.
  const bool reuses_pointer = !row.paired && state && !state->paired && row.address == state->next_address;

  if (!pointer) return schedule_failure("receive pointer event");
  window.pointer = *pointer;
  if (!checked_add(window.pointer, count, window.pointer_end)) return schedule_failure("receive payload timing overflow");
  const std::uint32_t data_end = std::max(window.source_end, window.pointer_end);
  window.end = std::max(row_end, data_end);

  for (ReceiveEvent event : shifted) {
    if (event.kind == ReceiveEventKind::Teardown) event.cycle = window.source_end;
    if (reuses_pointer && event.kind == ReceiveEventKind::Pointer) continue;
    if (window.reuses_format && event.kind == ReceiveEventKind::PairedFormat && event.cycle == *format_start) {
      continue;
    }
    window.events.push_back(event);
  }
  for (std::size_t i = 1; i < window.events.size(); ++i) {  // stable insertion sort by cycle
    const ReceiveEvent moving = window.events[i];
    std::size_t j = i;
    while (j > 0 && window.events[j - 1].cycle > moving.cycle) {
      window.events[j] = window.events[j - 1];
      --j;
    }
    window.events[j] = moving;
  }
  for (std::size_t i = 0; i < window.events.size();) {
    std::size_t j = i + 1;
    while (j < window.events.size() && window.events[j].cycle == window.events[i].cycle) ++j;
    if (j - i > 2 || (j - i == 2 && !may_share_cycle(window.events[i].kind, window.events[i + 1].kind))) {
      return schedule_failure("incompatible simultaneous receive controls");
    }
    i = j;
  }
  window.address = row.address;
  return window;
}

}  // namespace tarn_exchange
