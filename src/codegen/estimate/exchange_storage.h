// Exchange program storage estimated from snapshot problems alone.
//
// Each tile's exchange program of a phase (its "row") is sized from the
// transfers it sends and receives, without scheduling. A row identical to one
// the tile already stores from an earlier phase is stored once, and only its
// address-carrying words are patched: the first reuse costs three words per
// address word, later reuses one. Rows are compared by an order-sensitive
// SipHash-1-3 fingerprint of their entries together with their size and
// address-word count, so results are the same on every run and machine.
//
// Tile numbers must be below the estimator's tile count, as they are in a
// validated snapshot; entries naming other tiles are ignored.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "codegen/exchange/snapshot.h"

namespace tarn_codegen::estimate {

// The rows of one phase, one entry per tile in every list.
struct ExchangeStoragePhase {
  std::vector<std::uint64_t> row_bytes;                          // starts at 8 (entry and return)
  std::vector<std::optional<std::uint64_t>> next_receive_address;  // just past the previous receive
  std::vector<std::uint64_t> fingerprint;                        // order-sensitive hash of the entries
  std::vector<std::uint64_t> address_words;                      // entries whose encoding holds an address
  std::vector<bool> shareable;                                   // may be stored once for several phases

  explicit ExchangeStoragePhase(std::uint16_t tile_count);
};

[[nodiscard]] ExchangeStoragePhase captured_phase(
    std::uint16_t tile_count, std::span<const exchange::ExchangeScheduleTransfer> transfers);

class ExchangeStorageEstimator {
 public:
  explicit ExchangeStorageEstimator(std::uint16_t tile_count);

  // Adds the phase and returns its unshared row sizes, one per tile, each
  // rounded up to a multiple of 8 bytes.
  std::vector<std::uint64_t> add_phase(const exchange::ExchangeScheduleProblem& problem);

  // Accumulates a phase's rows, sharing rows already stored on the same tile.
  void add(ExchangeStoragePhase phase);

  // The largest estimated total over tiles; 0 without tiles.
  [[nodiscard]] std::uint64_t maximum_bytes() const;

  [[nodiscard]] std::span<const std::uint64_t> totals() const { return totals_; }

 private:
  struct RowKey {
    std::uint64_t fingerprint;
    std::uint64_t bytes;
    std::uint64_t address_words;
    friend bool operator==(const RowKey&, const RowKey&) = default;
  };
  struct RowKeyHash {
    std::size_t operator()(const RowKey& key) const noexcept;
  };

  std::vector<std::uint64_t> totals_;
  // Per tile: rows stored so far, and whether each has been reused yet.
  std::vector<std::unordered_map<RowKey, bool, RowKeyHash>> seen_rows_;
};

}  // namespace tarn_codegen::estimate
