// The phase program builder: every tile's exchange program of one phase while
// the scheduler places transfers one by one.
//
// For a transfer whose rows and timing are prepared it tells the earliest
// phase offset at which the transfer fits, its timing at an offset, whether it
// can be placed there with every affected tile program still encodable, and
// places it. At the end it encodes, validates and hands out every program.
//
// Guarantees: the queries change nothing but the staged transfer and the
// validation budget (and fill encoding caches); a failed placement leaves every
// tile as it was. The eager search returns an offset whose placement it has
// encoded; the deferred form returns the same candidate without proving it,
// never a later one. Builders copy cheaply (tile sequences share their chunks)
// and copies draw from one shared validation budget.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "exchange/error.h"
#include "exchange/schedule.h"
#include "exchange/timing.h"
#include "exchange/topology.h"
#include "exchange/words.h"

namespace tarn_exchange {

// Changed copies of tile schedules, by logical tile: the sender's first, then
// each distinct receiver tile in request order.
using TileScheduleCopies = std::vector<std::pair<std::uint16_t, TileProgramSchedule>>;

// The result of the last successful encodability check of the eager search,
// kept so that appending the same transfer at the same offset repeats nothing.
struct StagedTransfer {
  std::uint16_t sender = 0;
  std::vector<std::uint16_t> receivers;
  std::uint32_t offset = 0;
  std::uint32_t count = 0;
  Row sender_row{};               // the plan's rows the check was made with
  std::vector<Row> receiver_rows;
  TileScheduleCopies tiles;       // the encoded copies of the changed tiles

  // True when this is the check of exactly that request.
  [[nodiscard]] bool matches(std::uint16_t request_sender, std::span<const std::uint16_t> request_receivers,
                             const PreparedTransfer& prepared, std::uint32_t request_offset,
                             std::uint32_t request_count) const;
};

// Every tile's finished program of one phase.
struct PhasePrograms {
  std::vector<std::optional<std::vector<std::uint32_t>>> programs;  // none for an idle tile
  std::vector<std::uint32_t> tile_horizons;
  std::uint32_t horizon = 0;  // the largest tile horizon, 0 without tiles
};

// The schedules of `tiles` changed by placing the transfer at `offset`: a
// sender row on the sender, the receive controls of each receiver row on its
// receiver. With `validate`, every changed copy is encoded and an encoding
// failure is returned. Changes nothing.
[[nodiscard]] std::expected<TileScheduleCopies, ExchangeError> prepare_transfer_at(
    std::span<const TileProgramSchedule> tiles, std::uint16_t sender, std::span<const std::uint16_t> receivers,
    const PreparedTransfer& prepared, std::uint32_t offset, std::uint32_t count, bool validate);

class PhaseProgramBuilder {
 public:
  // `tile_count` empty schedules, nothing staged, no budget.
  explicit PhaseProgramBuilder(std::uint16_t tile_count);

  // This builder with a new shared validation budget of `budget` schedule
  // elements, replacing any earlier one. Copies made afterwards share it.
  [[nodiscard]] PhaseProgramBuilder with_validation_budget(std::uint64_t budget) const&;
  [[nodiscard]] PhaseProgramBuilder with_validation_budget(std::uint64_t budget) &&;

  [[nodiscard]] std::span<const TileProgramSchedule> tiles() const noexcept { return tiles_; }
  [[nodiscard]] const std::optional<StagedTransfer>& staged() const noexcept { return staged_; }
  // What is left of the validation budget; none without one.
  [[nodiscard]] std::optional<std::uint64_t> remaining_validation_budget() const noexcept;

  // The largest tile horizon, 0 without tiles.
  [[nodiscard]] std::uint32_t event_cycles() const noexcept;

  // The timing of the transfer at `offset`. Changes nothing.
  [[nodiscard]] std::expected<PhaseTransferTiming, ExchangeError> transfer_timing_at(
      std::uint16_t sender, std::span<const std::uint16_t> receivers, const PreparedTransfer& prepared,
      std::uint32_t offset, std::uint32_t count) const;

  // The earliest offset from `start_offset` on at which the transfer fits,
  // proven by encoding every changed tile program; the proof is staged for
  // the append that follows. Each proof draws its cost from the budget.
  // `partners` are tiles the transfer borrows without sending or receiving
  // on them (the sender's pair partner for a paired transfer).
  [[nodiscard]] std::expected<std::uint32_t, ExchangeError> earliest_transfer_offset(
      std::uint16_t sender, std::span<const std::uint16_t> partners, std::span<const std::uint16_t> receivers,
      const PreparedTransfer& prepared, std::uint32_t count, std::uint32_t start_offset);

  // The same candidate offset without proving that it encodes.
  [[nodiscard]] std::expected<std::uint32_t, ExchangeError> earliest_transfer_offset_deferred(
      std::uint16_t sender, std::span<const std::uint16_t> partners, std::span<const std::uint16_t> receivers,
      const PreparedTransfer& prepared, std::uint32_t count, std::uint32_t start_offset) const;

  // Places the transfer at `offset` and returns its timing. The staged
  // transfer is consumed once the timing is known; on failure no tile changes.
  [[nodiscard]] std::expected<PhaseTransferTiming, ExchangeError> append_transfer_at(
      std::uint16_t sender, std::span<const std::uint16_t> partners, std::span<const std::uint16_t> receivers,
      const PreparedTransfer& prepared, std::uint32_t offset, std::uint32_t count);

  // Encodes and validates every tile's program. Changes no schedule (it may
  // fill encoding caches), so it also serves as an encodability check.
  [[nodiscard]] std::expected<PhasePrograms, ExchangeError> finish() const;

 private:
  // The candidate offset of one search: passes until nothing moves it.
  [[nodiscard]] std::expected<std::uint32_t, ExchangeError> candidate_offset(
      std::uint16_t sender, std::span<const std::uint16_t> partners, std::span<const std::uint16_t> receivers,
      const PreparedTransfer& prepared, std::uint32_t count, std::uint32_t start_offset) const;
  // Draws the cost of one encodability check from the budget, if any.
  [[nodiscard]] std::expected<void, ExchangeError> spend_validation_budget(
      std::uint16_t sender, std::span<const std::uint16_t> receivers) const;

  std::vector<TileProgramSchedule> tiles_;
  std::optional<StagedTransfer> staged_;
  std::shared_ptr<std::atomic<std::uint64_t>> budget_;
};

}  // namespace tarn_exchange
