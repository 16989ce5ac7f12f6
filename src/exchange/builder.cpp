#include "exchange/builder.h"

#include <algorithm>
#include <array>
#include <limits>

#include "exchange/diagnostic.h"

namespace tarn_exchange {
namespace {

constexpr std::uint32_t kLastCycle = std::numeric_limits<std::uint32_t>::max();

[[nodiscard]] std::uint32_t floored_difference(std::uint32_t a, std::uint32_t b) { return a > b ? a - b : 0; }

// The first index of `items` for which `before` is false; `before` must hold
// for a prefix. Bisects in place: the sequence is never copied.
[[nodiscard]] std::size_t first_event_from(const Chunked<ReceiveEvent>& events, std::uint32_t cycle) {
  return partition_point(events, 0, [cycle](const ReceiveEvent& e) { return e.cycle < cycle; });
}

[[nodiscard]] std::size_t first_event_after(const Chunked<ReceiveEvent>& events, std::uint32_t cycle) {
  return partition_point(events, 0, [cycle](const ReceiveEvent& e) { return e.cycle <= cycle; });
}

// A control may not take effect on the first or second cycle of a send: the
// initial send word could not carry it.
[[nodiscard]] bool control_on_send_start(std::uint32_t control_cycle, std::uint32_t send_start) {
  return control_cycle >= send_start && control_cycle - send_start <= 1;
}

// The controls of a tile that a new receive window takes over from the tile's
// previous receive: the previous paired format end when the window continues
// that format, and the previous teardown when the new stream starts exactly
// where the previous one ended. Placing the window removes them, and the
// offset search ignores them: both must agree, so both ask this.
class SupersededControls {
 public:
  SupersededControls(const ScheduledReceiverWindow& window, const TileReceiveState& state, bool paired_row)
      : window_(window), state_(state), paired_row_(paired_row) {}

  [[nodiscard]] bool contains(const ReceiveEvent& e) const {
    if (window_.reuses_format && e.kind == ReceiveEventKind::PairedFormat && state_.format_end &&
        e.cycle == *state_.format_end) {
      return true;
    }
    if (window_.source != state_.source_end || e.cycle != state_.source_end) return false;
    if (paired_row_) {
      return window_.reuses_format && state_.paired && e.kind == ReceiveEventKind::PairedTeardown;
    }
    return !state_.paired && e.kind == ReceiveEventKind::Teardown;
  }

  // Every superseded control lies in [first_cycle(), last_cycle()].
  [[nodiscard]] std::uint32_t first_cycle() const {
    if (state_.format_end && *state_.format_end < state_.source_end) return *state_.format_end;
    return state_.source_end;
  }
  [[nodiscard]] std::uint32_t last_cycle() const {
    return state_.format_end ? std::max(*state_.format_end, state_.source_end) : state_.source_end;
  }

 private:
  const ScheduledReceiverWindow& window_;
  const TileReceiveState& state_;
  bool paired_row_;
};

// True when the window's controls cannot join the tile's at their cycles:
// they would share a cycle with a control they cannot pair with, or fall on
// the first two cycles of one of the tile's sends.
[[nodiscard]] bool window_conflicts(const TileProgramSchedule& tile, const ScheduledReceiverWindow& window,
                                    const SupersededControls* superseded) {
  for (const ReceiveEvent& e : window.events) {
    for (std::size_t i = first_event_from(tile.receives, e.cycle);
         i < tile.receives.len() && tile.receives[i].cycle == e.cycle; ++i) {
      const ReceiveEvent& existing = tile.receives[i];
      if (superseded != nullptr && superseded->contains(existing)) continue;
      if (!may_share_cycle(e.kind, existing.kind)) return true;
    }
    const std::uint32_t earliest_start = e.cycle == 0 ? 0 : e.cycle - 1;
    const std::size_t row = partition_point(
        tile.senders, 0, [earliest_start](const ScheduledSenderRow& r) { return r.start < earliest_start; });
    if (row < tile.senders.len() && control_on_send_start(e.cycle, tile.senders[row].start)) return true;
  }
  return false;
}

// Tracks which receivers of one request were seen, in request order.
class SeenTiles {
 public:
  explicit SeenTiles(std::size_t expected) {
    if (expected > kLinearLimit) bits_.assign(65536 / 64, 0);
  }
  // Marks `tile`; false when it was marked before.
  [[nodiscard]] bool mark(std::uint16_t tile) {
    if (bits_.empty()) {
      if (std::find(listed_.begin(), listed_.begin() + static_cast<std::ptrdiff_t>(count_), tile) !=
          listed_.begin() + static_cast<std::ptrdiff_t>(count_)) {
        return false;
      }
      listed_[count_++] = tile;
      return true;
    }
    const std::uint64_t bit = std::uint64_t{1} << (tile % 64);
    if ((bits_[tile / 64] & bit) != 0) return false;
    bits_[tile / 64] |= bit;
    return true;
  }

 private:
  static constexpr std::size_t kLinearLimit = 32;
  std::array<std::uint16_t, kLinearLimit> listed_{};
  std::size_t count_ = 0;
  std::vector<std::uint64_t> bits_;
};

[[nodiscard]] std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<std::uint64_t>::max() : sum;
}

}  // namespace

bool StagedTransfer::matches(std::uint16_t request_sender, std::span<const std::uint16_t> request_receivers,
                             const PreparedTransfer& prepared, std::uint32_t request_offset,
                             std::uint32_t request_count) const {
  return prepared.plan != nullptr && sender == request_sender && offset == request_offset &&
         count == request_count && std::ranges::equal(receivers, request_receivers) &&
         sender_row == prepared.plan->sender && std::ranges::equal(receiver_rows, prepared.plan->receivers);
}

std::expected<TileScheduleCopies, ExchangeError> prepare_transfer_at(
    std::span<const TileProgramSchedule> tiles, std::uint16_t sender, std::span<const std::uint16_t> receivers,
    const PreparedTransfer& prepared, std::uint32_t offset, std::uint32_t count, bool validate) {
  if (receivers.size() != prepared.receivers.size()) return schedule_failure("receiver row count");
  if (sender >= tiles.size()) return std::unexpected(tile_error(sender));
  // The rows placed are the plan's: timings of other rows would misplace them.
  if (prepared.plan == nullptr || prepared.plan->receivers.size() != prepared.receivers.size()) {
    return schedule_failure("receiver row count");
  }

  // Encoding the builder's tile first lets the copy share the encoding and
  // resume from it. Its own failure is not this transfer's: the copy decides.
  const TileProgramSchedule& sender_tile = tiles[sender];
  if (validate) (void)sender_tile.encoded();
  std::uint32_t limit = 0;
  std::uint32_t send_start = 0;
  std::uint32_t send_end = 0;
  if (!checked_add(offset, prepared.end, limit) || !checked_add(offset, prepared.send_start, send_start) ||
      !checked_add(offset, prepared.send_end, send_end)) {
    return schedule_failure("sender event horizon overflow");
  }

  TileScheduleCopies copies;
  copies.reserve(1 + receivers.size());
  copies.emplace_back(sender, sender_tile);
  {
    TileProgramSchedule& copy = copies.front().second;
    const std::size_t lo =
        partition_point(copy.senders, 0, [send_start](const ScheduledSenderRow& r) { return r.start < send_start; });
    // Sends may touch but not overlap.
    if ((lo > 0 && copy.senders[lo - 1].end > send_start) ||
        (lo < copy.senders.len() && copy.senders[lo].start < send_end)) {
      return schedule_failure("overlapping outgoing messages");
    }
    const std::size_t first = first_event_from(copy.receives, send_start);
    if (first < copy.receives.len() && control_on_send_start(copy.receives[first].cycle, send_start)) {
      return schedule_failure("unencodable initial send control");
    }
    copy.sender_changed_at(lo);
    copy.horizon = std::max(copy.horizon, limit);
    copy.senders.insert(lo, ScheduledSenderRow{prepared.plan->sender, send_start, send_end});
  }
  // The sender's copy must encode with its new row alone, before a loopback
  // receive (if any) changes it again.
  if (validate) {
    const auto encoded = copies.front().second.encoded();
    if (!encoded) return std::unexpected(encoded.error());
  }

  SeenTiles seen(receivers.size());
  for (std::size_t i = 0; i < receivers.size(); ++i) {
    const std::uint16_t receiver = receivers[i];
    if (!seen.mark(receiver)) return std::unexpected(duplicate_tile_error());
    std::size_t index = 0;
    if (receiver != sender) {
      if (receiver >= tiles.size()) return std::unexpected(tile_error(receiver));
      if (validate) (void)tiles[receiver].encoded();
      copies.emplace_back(receiver, tiles[receiver]);
      index = copies.size() - 1;
    }
    TileProgramSchedule& copy = copies[index].second;
    const ReceiveRowTiming& row = prepared.receivers[i];

    const auto window = scheduled_receive_window(row, offset, count, copy.receive_state);
    if (!window) return std::unexpected(window.error());
    std::optional<std::uint32_t> next_address;
    if (window->address) {
      const std::uint64_t end = std::uint64_t{*window->address} + (row.paired ? 8u : 4u) * std::uint64_t{count};
      if (end > std::numeric_limits<std::uint32_t>::max()) return schedule_failure("receive address overflow");
      next_address = static_cast<std::uint32_t>(end);
    }
    if (copy.receive_state &&
        (window->source < copy.receive_state->source_end || window->pointer < copy.receive_state->pointer_end)) {
      return schedule_failure("overlapping receive streams");
    }

    copy.begin_change();
    if (copy.receive_state) {
      const SupersededControls superseded(*window, *copy.receive_state, row.paired);
      const std::uint32_t last = superseded.last_cycle();
      std::size_t at = first_event_from(copy.receives, superseded.first_cycle());
      while (at < copy.receives.len() && copy.receives[at].cycle <= last) {
        if (superseded.contains(copy.receives[at])) {
          copy.receives.remove(at);
          copy.receive_changed_at(at);
        } else {
          ++at;
        }
      }
    }
    // After every control of the same or an earlier cycle.
    for (const ReceiveEvent& e : window->events) {
      const std::size_t at = first_event_after(copy.receives, e.cycle);
      copy.receives.insert(at, e);
      copy.receive_changed_at(at);
    }
    copy.horizon = std::max(copy.horizon, window->end);

    TileReceiveState state;
    if (row.format_start) {
      for (const ReceiveEvent& e : row.events) {
        if (e.kind == ReceiveEventKind::PairedFormat && e.cycle == *row.format_start) {
          state.format = e.word & 0x3ffffu;
          break;
        }
      }
    }
    if (row.format_end) {
      std::uint32_t format_end = 0;
      if (!checked_add(offset, *row.format_end, format_end)) return schedule_failure("receive offset overflow");
      state.format_end = format_end;
    }
    state.next_address = next_address;
    state.source_end = window->source_end;
    state.pointer_end = window->pointer_end;
    state.paired = row.paired;
    copy.receive_state = state;

    if (validate) {
      const auto encoded = copy.encoded();
      if (!encoded) return std::unexpected(encoded.error());
    }
  }
  return copies;
}

PhaseProgramBuilder::PhaseProgramBuilder(std::uint16_t tile_count) : tiles_(tile_count) {}

PhaseProgramBuilder PhaseProgramBuilder::with_validation_budget(std::uint64_t budget) const& {
  PhaseProgramBuilder builder = *this;
  builder.budget_ = std::make_shared<std::atomic<std::uint64_t>>(budget);
  return builder;
}

PhaseProgramBuilder PhaseProgramBuilder::with_validation_budget(std::uint64_t budget) && {
  budget_ = std::make_shared<std::atomic<std::uint64_t>>(budget);
  return std::move(*this);
}

std::optional<std::uint64_t> PhaseProgramBuilder::remaining_validation_budget() const noexcept {
  if (!budget_) return std::nullopt;
  return budget_->load(std::memory_order_relaxed);
}

std::uint32_t PhaseProgramBuilder::event_cycles() const noexcept {
  std::uint32_t horizon = 0;
  for (const TileProgramSchedule& tile : tiles_) horizon = std::max(horizon, tile.horizon);
  return horizon;
}

std::expected<PhaseTransferTiming, ExchangeError> PhaseProgramBuilder::transfer_timing_at(
    std::uint16_t sender, std::span<const std::uint16_t> receivers, const PreparedTransfer& prepared,
    std::uint32_t offset, std::uint32_t count) const {
  if (receivers.size() != prepared.receivers.size()) return schedule_failure("receiver row count");
  if (sender >= tiles_.size()) return std::unexpected(tile_error(sender));
  PhaseTransferTiming timing;
  if (!checked_add(offset, prepared.end, timing.sender_end) || !checked_add(offset, prepared.send_start, timing.send_start) ||
      !checked_add(offset, prepared.send_end, timing.send_end)) {
    return schedule_failure("sender event horizon overflow");
  }
  timing.end = timing.sender_end;
  timing.pointers.reserve(receivers.size());
  timing.pointer_ends.reserve(receivers.size());
  timing.ends.reserve(receivers.size());
  for (std::size_t i = 0; i < receivers.size(); ++i) {
    if (receivers[i] >= tiles_.size()) return std::unexpected(tile_error(receivers[i]));
    const auto window =
        scheduled_receive_window(prepared.receivers[i], offset, count, tiles_[receivers[i]].receive_state);
    if (!window) return std::unexpected(window.error());
    timing.pointers.push_back(window->pointer);
    timing.pointer_ends.push_back(window->pointer_end);
    timing.ends.push_back(window->end);
    timing.end = std::max(timing.end, window->end);
  }
  return timing;
}

std::expected<std::uint32_t, ExchangeError> PhaseProgramBuilder::candidate_offset(
    std::uint16_t sender, std::span<const std::uint16_t> partners, std::span<const std::uint16_t> receivers,
    const PreparedTransfer& prepared, std::uint32_t count, std::uint32_t start_offset) const {
  if (receivers.size() != prepared.receivers.size()) return schedule_failure("receiver row count");
  if (sender >= tiles_.size()) return std::unexpected(tile_error(sender));
  const TileProgramSchedule& sender_tile = tiles_[sender];

  std::uint32_t f = start_offset;
  while (true) {
    const std::uint32_t pass_start = f;

    // The send must not overlap the tile's sends, nor start just before or on
    // one of its receive controls.
    f = std::max(f, floored_difference(sender_tile.busy_until, prepared.send_start));
    while (true) {
      std::uint32_t s = 0;
      std::uint32_t e = 0;
      if (!checked_add(f, prepared.send_start, s) || !checked_add(f, prepared.send_end, e)) return schedule_failure("send offset overflow");
      const std::size_t j =
          partition_point(sender_tile.senders, 0, [s](const ScheduledSenderRow& r) { return r.end <= s; });
      if (j < sender_tile.senders.len() && sender_tile.senders[j].start < e) {
        const std::uint32_t blocked_until = sender_tile.senders[j].end;
        if (blocked_until < prepared.send_start) return schedule_failure("send offset order");
        f = blocked_until - prepared.send_start;
        continue;
      }
      const std::size_t k = first_event_from(sender_tile.receives, s);
      if (k < sender_tile.receives.len() && control_on_send_start(sender_tile.receives[k].cycle, s)) {
        if (f == kLastCycle) return schedule_failure("send offset overflow");
        ++f;
        continue;
      }
      break;
    }

    // A partner is lent only after everything it already does.
    for (const std::uint16_t partner : partners) {
      if (partner >= tiles_.size()) return std::unexpected(tile_error(partner));
      const TileProgramSchedule& tile = tiles_[partner];
      f = std::max(f, tile.busy_until);
      if (!tile.senders.empty()) f = std::max(f, tile.senders[tile.senders.len() - 1].end);
    }

    for (std::size_t i = 0; i < receivers.size(); ++i) {
      if (receivers[i] >= tiles_.size()) return std::unexpected(tile_error(receivers[i]));
      const TileProgramSchedule& tile = tiles_[receivers[i]];
      const ReceiveRowTiming& row = prepared.receivers[i];
      const std::optional<TileReceiveState>& state = tile.receive_state;
      // A receive stream starts after the tile's previous one.
      if (state) {
        if (!row.source && !row.format_start) return schedule_failure("receive source timing");
        if (!row.pointer) return schedule_failure("receive pointer event");
        const std::uint32_t source = row.source ? *row.source : *row.format_start;
        f = std::max({f, floored_difference(state->source_end, source),
                      floored_difference(state->pointer_end, *row.pointer)});
        if (!state->paired && row.format_start) f = std::max(f, floored_difference(state->pointer_end, *row.format_start));
      }
      while (true) {
        const auto window = scheduled_receive_window(row, f, count, state);
        if (!window) return std::unexpected(window.error());
        bool conflicts = false;
        if (state) {
          const SupersededControls superseded(*window, *state, row.paired);
          conflicts = window_conflicts(tile, *window, &superseded);
        } else {
          conflicts = window_conflicts(tile, *window, nullptr);
        }
        if (!conflicts) break;
        if (f == kLastCycle) return schedule_failure("receive offset overflow");
        ++f;
      }
    }

    if (f == pass_start) return f;
  }
}

std::expected<std::uint32_t, ExchangeError> PhaseProgramBuilder::earliest_transfer_offset_deferred(
    std::uint16_t sender, std::span<const std::uint16_t> partners, std::span<const std::uint16_t> receivers,
    const PreparedTransfer& prepared, std::uint32_t count, std::uint32_t start_offset) const {
  return candidate_offset(sender, partners, receivers, prepared, count, start_offset);
}

std::expected<void, ExchangeError> PhaseProgramBuilder::spend_validation_budget(
    std::uint16_t sender, std::span<const std::uint16_t> receivers) const {
  if (!budget_) return {};
  const auto elements = [this](std::uint16_t tile) -> std::expected<std::uint64_t, ExchangeError> {
    if (tile >= tiles_.size()) return std::unexpected(tile_error(tile));
    return saturating_add(saturating_add(tiles_[tile].senders.len(), tiles_[tile].receives.len()), 1);
  };
  auto cost = elements(sender);
  if (!cost) return std::unexpected(cost.error());
  for (const std::uint16_t receiver : receivers) {
    const auto more = elements(receiver);
    if (!more) return std::unexpected(more.error());
    *cost = saturating_add(*cost, *more);
  }
  // Builders on other threads draw from the same counter: never below zero.
  std::uint64_t left = budget_->load(std::memory_order_relaxed);
  do {
    if (left < *cost) return std::unexpected(validation_budget_exceeded());
  } while (!budget_->compare_exchange_weak(left, left - *cost, std::memory_order_relaxed));
  return {};
}

std::expected<std::uint32_t, ExchangeError> PhaseProgramBuilder::earliest_transfer_offset(
    std::uint16_t sender, std::span<const std::uint16_t> partners, std::span<const std::uint16_t> receivers,
    const PreparedTransfer& prepared, std::uint32_t count, std::uint32_t start_offset) {
  std::uint32_t f = start_offset;
  while (true) {
    const auto candidate = candidate_offset(sender, partners, receivers, prepared, count, f);
    if (!candidate) return std::unexpected(candidate.error());
    f = *candidate;
    if (staged_ && staged_->matches(sender, receivers, prepared, f, count)) return f;
    if (const auto spent = spend_validation_budget(sender, receivers); !spent) {
      return std::unexpected(spent.error());
    }
    staged_.reset();
    auto copies = prepare_transfer_at(tiles_, sender, receivers, prepared, f, count, true);
    if (copies) {
      staged_ = StagedTransfer{sender,
                               std::vector<std::uint16_t>(receivers.begin(), receivers.end()),
                               f,
                               count,
                               prepared.plan->sender,
                               prepared.plan->receivers,
                               std::move(*copies)};
      return f;
    }
    // The encoder could not put a SENDPICP on an even word here; one cycle
    // later the words before it differ.
    if (!copies.error().is_schedule("SENDPICP instruction alignment")) return std::unexpected(copies.error());
    if (f == kLastCycle) return schedule_failure("receive offset overflow");
    ++f;
  }
}

std::expected<PhaseTransferTiming, ExchangeError> PhaseProgramBuilder::append_transfer_at(
    std::uint16_t sender, std::span<const std::uint16_t> partners, std::span<const std::uint16_t> receivers,
    const PreparedTransfer& prepared, std::uint32_t offset, std::uint32_t count) {
  auto timing = transfer_timing_at(sender, receivers, prepared, offset, count);
  if (!timing) return std::unexpected(timing.error());

  std::optional<StagedTransfer> staged = std::exchange(staged_, std::nullopt);
  TileScheduleCopies copies;
  if (staged && staged->matches(sender, receivers, prepared, offset, count)) {
    copies = std::move(staged->tiles);
  } else {
    auto prepared_copies = prepare_transfer_at(tiles_, sender, receivers, prepared, offset, count, false);
    if (!prepared_copies) return std::unexpected(prepared_copies.error());
    copies = std::move(*prepared_copies);
  }

  const std::uint32_t lent_until = timing->sender_end;
  for (std::size_t i = 0; i < partners.size(); ++i) {
    const std::uint16_t partner = partners[i];
    if (partner == sender || std::find(partners.begin(), partners.begin() + static_cast<std::ptrdiff_t>(i),
                                       partner) != partners.begin() + static_cast<std::ptrdiff_t>(i)) {
      return std::unexpected(duplicate_tile_error());
    }
    auto found = std::ranges::find_if(copies, [partner](const auto& copy) { return copy.first == partner; });
    if (found == copies.end()) {
      if (partner >= tiles_.size()) return std::unexpected(tile_error(partner));
      const TileProgramSchedule& tile = tiles_[partner];
      if (tile.busy_until >= lent_until && tile.horizon >= lent_until) continue;  // nothing to change
      copies.emplace_back(partner, tile);
      found = copies.end() - 1;
    }
    TileProgramSchedule& copy = found->second;
    copy.busy_until = std::max(copy.busy_until, lent_until);
    // The program's last record fills up to the horizon; busy_until is not encoded.
    if (copy.horizon < lent_until) {
      copy.begin_change();
      copy.horizon = lent_until;
    }
  }

  for (auto& [tile, copy] : copies) {
    // An encoded tile resumes from its own encoding: the one before is dead
    // weight in a builder that keeps every tile's programs alive.
    if (copy.cache) copy.previous.reset();
    tiles_[tile] = std::move(copy);
  }
  return timing;
}

std::expected<PhasePrograms, ExchangeError> PhaseProgramBuilder::finish() const {
  PhasePrograms result;
  result.tile_horizons.reserve(tiles_.size());
  for (const TileProgramSchedule& tile : tiles_) {
    result.tile_horizons.push_back(tile.horizon);
    result.horizon = std::max(result.horizon, tile.horizon);
  }
  result.programs.reserve(tiles_.size());
  for (std::size_t index = 0; index < tiles_.size(); ++index) {
    const TileProgramSchedule& tile = tiles_[index];
    if (tile.horizon == 0) {
      result.programs.emplace_back(std::nullopt);
      continue;
    }
    const auto encoded = tile.encoded();
    if (!encoded) return std::unexpected(encoded.error());
    std::vector<std::uint32_t> words = (*encoded)->words.to_vector(0, (*encoded)->words.len());
    const auto valid = validate_tile_program(index, tile, words);
    if (!valid) return std::unexpected(valid.error());
    result.programs.emplace_back(std::move(words));
  }
  return result;
}

}  // namespace tarn_exchange
