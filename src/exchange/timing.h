// Transfer timing model.
//
// Reads from the rows of a route (exchange/topology.h) when things happen:
// when the sender's payload starts and ends, and, per receiver, when its
// controls take effect, when it selects the source, when its receive pointer
// is set and when the receive is over. scheduled_receive_window turns a
// receiver row into the controls to add to a tile at a phase offset, leaving
// out controls that would repeat what the tile is already set to.
//
// All cycle arithmetic is unsigned 32-bit and checked: an overflow is a
// Schedule error naming the quantity, never a wrapped value.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "exchange/error.h"
#include "exchange/topology.h"
#include "exchange/words.h"

namespace tarn_exchange {

// The receive controls of one row, kept inline: a body of at most seven words
// yields at most seven controls (a SENDPICP gives two for its two words).
class RowEvents {
 public:
  static constexpr std::size_t kCapacity = 8;

  // Requires size() < kCapacity.
  void push_back(const ReceiveEvent& event) noexcept { items_[size_++] = event; }
  void clear() noexcept { size_ = 0; }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
  [[nodiscard]] ReceiveEvent& operator[](std::size_t i) noexcept { return items_[i]; }
  [[nodiscard]] const ReceiveEvent& operator[](std::size_t i) const noexcept { return items_[i]; }
  [[nodiscard]] ReceiveEvent* begin() noexcept { return items_.data(); }
  [[nodiscard]] ReceiveEvent* end() noexcept { return items_.data() + size_; }
  [[nodiscard]] const ReceiveEvent* begin() const noexcept { return items_.data(); }
  [[nodiscard]] const ReceiveEvent* end() const noexcept { return items_.data() + size_; }
  [[nodiscard]] std::span<const ReceiveEvent> span() const noexcept { return {items_.data(), size_}; }

  friend bool operator==(const RowEvents& a, const RowEvents& b) noexcept {
    return a.size_ == b.size_ && std::equal(a.begin(), a.end(), b.begin());
  }

 private:
  std::array<ReceiveEvent, kCapacity> items_{};
  std::size_t size_ = 0;
};

// One placed send on a tile, in phase cycles.
struct ScheduledSenderRow {
  Row words{};              // the transfer's sender row
  std::uint32_t start = 0;  // the first payload send starts
  std::uint32_t end = 0;    // the last payload send ends
  friend bool operator==(const ScheduledSenderRow&, const ScheduledSenderRow&) = default;
};

// The payload window and end of a sender row, in cycles from its base.
struct SenderRowTiming {
  std::uint32_t send_start = 0;
  std::uint32_t send_end = 0;
  std::uint32_t end = 0;  // after the last word before the Return
  friend bool operator==(const SenderRowTiming&, const SenderRowTiming&) = default;
};

// The reading of one receiver row, in cycles from its base.
struct ReceiveRowTiming {
  RowEvents events;  // in row order, each at the cycle it takes effect
  std::optional<std::uint32_t> teardown;
  std::optional<std::uint32_t> source;
  std::optional<std::uint32_t> format_start;  // paired format start
  std::optional<std::uint32_t> format_end;    // paired format end
  std::optional<std::uint32_t> pointer;
  std::optional<std::uint32_t> address;  // byte address of the receive pointer
  std::uint32_t end = 0;                 // after the last word before the Return
  bool paired = false;
  friend bool operator==(const ReceiveRowTiming&, const ReceiveRowTiming&) = default;
};

// The timing of a whole transfer relative to its placement offset. `plan`
// points at the plan it was prepared from, which must outlive it and must not
// change while it is in use.
struct PreparedTransfer {
  std::vector<ReceiveRowTiming> receivers;  // one per receiver row, in plan order
  const MulticastPlan* plan = nullptr;
  std::uint32_t send_start = 0;
  std::uint32_t send_end = 0;
  std::uint32_t end = 0;  // the sender row's end
};

// One receiver's part of a transfer placed at a phase offset, absolute cycles.
struct ScheduledReceiverWindow {
  RowEvents events;  // the controls to add to the tile, sorted by cycle
  std::optional<std::uint32_t> address;
  std::uint32_t source = 0;  // source selection (the paired format start without one)
  std::uint32_t source_end = 0;
  std::uint32_t pointer = 0;
  std::uint32_t pointer_end = 0;
  std::uint32_t end = 0;  // the receive is over on this tile
  bool reuses_format = false;  // continues the tile's current paired format
  friend bool operator==(const ScheduledReceiverWindow&, const ScheduledReceiverWindow&) = default;
};

// What a tile's receiving side was last set to.
struct TileReceiveState {
  std::optional<std::uint32_t> format;        // PIC value (low 18 bits) of the last paired format start
  std::optional<std::uint32_t> format_end;    // absolute cycle of the last paired format end
  std::optional<std::uint32_t> next_address;  // byte address just past the last received data
  std::uint32_t source_end = 0;
  std::uint32_t pointer_end = 0;
  bool paired = false;
  friend bool operator==(const TileReceiveState&, const TileReceiveState&) = default;
};

// The timing of a transfer at an offset, as reported to the scheduler.
struct PhaseTransferTiming {
  std::vector<std::uint32_t> pointers;  // per receiver
  std::vector<std::uint32_t> pointer_ends;
  std::vector<std::uint32_t> ends;
  std::uint32_t send_start = 0;
  std::uint32_t send_end = 0;
  std::uint32_t sender_end = 0;
  std::uint32_t end = 0;  // the latest of sender_end and every receiver's end
  friend bool operator==(const PhaseTransferTiming&, const PhaseTransferTiming&) = default;
};

[[nodiscard]] std::expected<SenderRowTiming, ExchangeError> sender_row_timing(const Row& row, std::uint32_t base);

[[nodiscard]] std::expected<ReceiveRowTiming, ExchangeError> receive_row_timing(const Row& row, std::uint32_t base);

// The receive window of a row placed at `offset`, for a receive of `count`
// elements (words, or 64-bit pairs for a paired transfer) on a tile whose
// receiving side is in `state` (none before its first receive).
[[nodiscard]] std::expected<ScheduledReceiverWindow, ExchangeError> scheduled_receive_window(
    const ReceiveRowTiming& row, std::uint32_t offset, std::uint32_t count,
    const std::optional<TileReceiveState>& state);

}  // namespace tarn_exchange
