// Tile topology and routes.
//
// Topology maps logical tile numbers (what the compiler uses) to physical tile
// ids (fabric positions), and assembles the instruction rows of the three
// kinds of route: point-to-point, multicast, and paired multicast to complete
// tile pairs receiving 64-bit data. Rows are templates in time that start at
// cycle 0; the timing model (exchange/timing.h) reads when each send and each
// receive control happens. The free functions finish rows once the scheduler
// knows addresses and send controls.
//
// A physical id holds the column in bits 6 and up, the position in the column
// in bits 2 to 5 and the pair bit in bit 1; the two tiles of a pair differ only
// in bit 1. Every builder checks its arguments and fails with an ExchangeError
// value, leaving nothing behind.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <utility>
#include <vector>

#include "exchange/error.h"
#include "exchange/words.h"

namespace tarn_exchange {

struct PreparedTransfer;  // exchange/timing.h

inline constexpr std::size_t kStandardTileCount = 1472;
inline constexpr std::uint32_t kStandardColumnCount = 23;

// Physical id of logical tile `logical` (0..1471) of the standard board:
// pairs go up one column after another, the direction of travel alternating,
// so logical i XOR 1 is always the pair partner of logical i.
[[nodiscard]] constexpr std::uint16_t standard_physical_tile(std::uint16_t logical) noexcept {
  const std::uint32_t h = logical >> 1;
  const std::uint32_t q = h / kStandardColumnCount;
  const std::uint32_t r = h % kStandardColumnCount;
  const std::uint32_t column = (q % 2 == 0) ? r : kStandardColumnCount - 1 - r;
  return static_cast<std::uint16_t>(64 * column + 4 * (q >> 1) + 2 * (logical & 1u) + (q & 1u));
}

namespace topology_detail {
[[nodiscard]] constexpr std::int32_t r4(std::uint16_t id) noexcept { return (id >> 2) & 15; }
[[nodiscard]] constexpr std::int32_t half(std::uint16_t id) noexcept { return (id >> 5) & 1; }
[[nodiscard]] constexpr std::int32_t fold(std::uint16_t id) noexcept {
  const std::int32_t v = r4(id);
  return v < 8 ? v : v ^ 15;
}
// The signed distance both timing facts derive from.
[[nodiscard]] constexpr std::int32_t mux_distance(std::uint16_t a, std::uint16_t b) noexcept {
  const std::int32_t low = b & 3;
  std::int32_t c = 0;
  if (low <= 1) {
    c = half(b) == low ? 1 : 5;
  } else {
    c = half(b) == (b & 1) ? 2 : 4;
  }
  return c + 6 * (fold(b) - fold(a) - ((a & 1) ^ half(a)));
}
}  // namespace topology_detail

// The direction a sender at physical id `a` drives towards receiver `b`: 1 or 2.
[[nodiscard]] constexpr std::uint8_t direction(std::uint16_t a, std::uint16_t b) noexcept {
  return topology_detail::mux_distance(a, b) <= 0 ? 2 : 1;
}

// The fabric latency, in cycles against a fixed base, from a send by physical
// tile `a` to the multiplexer of receiver `b`; −78 to 112 on the standard board.
[[nodiscard]] constexpr std::int32_t time_to_mux(std::uint16_t a, std::uint16_t b) noexcept {
  using namespace topology_detail;
  const std::int32_t distance = mux_distance(a, b);
  const std::int32_t position = r4(a) & 7;
  const std::int32_t travel = ((a ^ b) & 0x20) != 0 ? 16 - position : position + 1;
  const std::int32_t column_a = (a >> 6) & 31;
  const std::int32_t column_b = (b >> 6) & 31;
  return 8 * half(a) - r4(b) + 4 * fold(a) - 4 * fold(b) + travel + 2 * (column_a - column_b) +
         (distance < 0 ? -distance : distance) - 31;
}

// The receiver side of a point-to-point route: the receiver row without its
// ninth word, waiting for the source id to be written at `patch_index`.
struct PointReceiver {
  std::uint32_t patch_index = 1;
  std::array<std::uint32_t, 8> words{};
  friend bool operator==(const PointReceiver&, const PointReceiver&) = default;
};

struct PointToPointExchange {
  Row sender{};
  PointReceiver receiver;
  friend bool operator==(const PointToPointExchange&, const PointToPointExchange&) = default;
};

// The rows of one transfer: one receiver row per receiver, in the order the
// receivers were given, and the sender row.
struct MulticastPlan {
  std::vector<Row> receivers;
  Row sender{};

  // The timing of the whole transfer (defined in exchange/timing.cpp). The
  // result points at this plan, which must outlive it and stay unchanged.
  [[nodiscard]] std::expected<PreparedTransfer, ExchangeError> prepare() const&;
  std::expected<PreparedTransfer, ExchangeError> prepare() const&& = delete;

  friend bool operator==(const MulticastPlan&, const MulticastPlan&) = default;
};

class Topology {
 public:
  // A table of distinct physical ids indexed by logical tile. An empty table
  // or a repeated id fails ReceiverSet.
  [[nodiscard]] static std::expected<Topology, ExchangeError> create(std::span<const std::uint16_t> tiles);

  // The 1472 tiles of the standard board (a permutation of 0..1471).
  [[nodiscard]] static Topology standard_1472();

  [[nodiscard]] std::span<const std::uint16_t> tiles() const noexcept { return tiles_; }
  [[nodiscard]] std::size_t tile_count() const noexcept { return tiles_.size(); }

  // The logical tile holding the pair partner (physical id XOR 2) of
  // `logical`; Tile(logical) when `logical` is out of range or has no partner.
  [[nodiscard]] std::expected<std::uint16_t, ExchangeError> paired_logical(std::uint16_t logical) const;

  // One sender to one receiver (logical tiles), `count` words (1..4148).
  [[nodiscard]] std::expected<PointToPointExchange, ExchangeError> point_to_point(std::uint16_t sender,
                                                                                std::uint16_t receiver,
                                                                                std::uint32_t count) const;

  // One sender to several receivers. Every receiver row's PIC value is a
  // placeholder (0x14000) for the receive address. The scheduler passes 0 as
  // `schedule_offset`.
  [[nodiscard]] std::expected<MulticastPlan, ExchangeError> multicast(std::uint16_t sender,
                                                                    std::span<const std::uint16_t> receivers,
                                                                    std::uint32_t count,
                                                                    std::uint32_t schedule_offset) const;

  // One sender to complete tile pairs receiving `count` 64-bit items together.
  [[nodiscard]] std::expected<MulticastPlan, ExchangeError> paired_multicast(
      std::uint16_t sender, std::span<const std::uint16_t> receivers, std::uint32_t count) const;

  // The receiver row of one tile of a paired multicast; `min_mux` is the
  // smallest, over the plan's receivers, of the later of a pair's two
  // time_to_mux values.
  [[nodiscard]] std::expected<Row, ExchangeError> paired_receiver_row(std::uint16_t sender, std::uint16_t receiver,
                                                                    std::uint32_t count, std::int32_t min_mux) const;

 private:
  explicit Topology(std::vector<std::uint16_t> tiles) : tiles_(std::move(tiles)) {}

  // Fails ReceiverSet unless every receiver is in range and listed once; on
  // success `seen` marks the receivers.
  [[nodiscard]] bool mark_receivers(std::span<const std::uint16_t> receivers, std::vector<std::uint64_t>& seen) const;

  std::vector<std::uint16_t> tiles_;  // physical id by logical tile; distinct ids
};

// Writes the first source address into the row's initial (Explicit) send. The
// operand counts 8-byte units when bit 2 of the send control is set, else
// 4-byte units; an address that is not a whole number of units, or too large
// for the 18-bit operand, fails Address(address).
[[nodiscard]] std::expected<Row, ExchangeError> patch_sender_address(const Row& row, std::uint32_t address);

// Sets the send control (1..7) of every payload send of the row, in place.
// Fails "send control" for a value outside 1..7 and "sender payload" for a row
// without a payload send; the row is unchanged on failure.
[[nodiscard]] std::expected<void, ExchangeError> set_sender_control(Row& row, std::uint8_t control);

// The finished receiver row of a point-to-point route, listening to physical
// tile `source`.
[[nodiscard]] std::expected<Row, ExchangeError> finalize_point_receiver(const PointReceiver& receiver,
                                                                       std::uint16_t source);

}  // namespace tarn_exchange
