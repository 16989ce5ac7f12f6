// The scheduling problem of one exchange phase.
//
// `pending_from_problem` turns a snapshot problem into the transfers the
// scheduler works on, checking every rule that later stages rely on (its
// messages are the snapshot's validity rules). `SchedulingProblem` adds the
// memory-dependency graph between those transfers — which transfer must be
// placed before which — and the per-tile item pressure used as priority;
// `receive_configuration` counts the receives of every tile. Nothing here
// depends on timing.
#pragma once

#include <absl/container/inlined_vector.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "codegen/exchange/error.h"
#include "codegen/exchange/hazards.h"
#include "codegen/exchange/snapshot.h"

namespace tarn_codegen::exchange {

// Identifier of an exchanged value; a transfer read from a snapshot carries its index.
using BlockValueId = std::uint32_t;

struct PendingTransfer {
  DestinationList destinations;        // distinct tiles, snapshot order
  SourceAddressList source_addresses;  // one per repeat iteration
  // Every memory element read by any iteration, ascending, without repetition.
  // Recompute with refresh_source_elements after changing addresses or words.
  SpanElements source_elements;
  std::optional<std::uint16_t> partner;  // the source's pair partner, for Paired64 only
  BlockValueId value = 0;
  std::uint32_t value_part = 0;
  std::uint32_t words = 0;
  std::uint16_t source = 0;
  ExchangeItemWidth width = ExchangeItemWidth::Word32;

  void refresh_source_elements();

  // Fabric cycles the payload occupies: words, or word pairs for an even
  // Paired64 payload.
  [[nodiscard]] std::uint32_t item_count() const;

  // The tiles the transfer occupies: source, partner, then every destination
  // (a loopback destination repeats the source).
  [[nodiscard]] absl::InlinedVector<std::uint16_t, 4> pressure_resources() const;

  friend bool operator==(const PendingTransfer&, const PendingTransfer&) = default;
};

// Checks every rule a snapshot transfer must meet, in a fixed order, and
// returns its pair partner (for Paired64) or the first violation. These rules
// are the snapshot's validity rules.
[[nodiscard]] std::expected<std::optional<std::uint16_t>, ExchangeLoweringError> check_snapshot_transfer(
    const ExchangeScheduleProblem& problem, std::size_t index, std::uint16_t tile_count);

// Converts every transfer in order, checking each with check_snapshot_transfer;
// the first violation is returned.
[[nodiscard]] std::expected<std::vector<PendingTransfer>, ExchangeLoweringError> pending_from_problem(
    const ExchangeScheduleProblem& problem, std::uint16_t tile_count);

struct ReceiveConfiguration {
  std::vector<std::uint64_t> receive_counts;  // destinations per tile, over all transfers
  // The address of a tile's only receive when that transfer has a single
  // destination; 0 otherwise.
  std::vector<std::uint32_t> incoming_bases;

  friend bool operator==(const ReceiveConfiguration&, const ReceiveConfiguration&) = default;
};

// Fails InvalidDestination when a destination tile is not below `tile_count`.
[[nodiscard]] std::expected<ReceiveConfiguration, ExchangeLoweringError> receive_configuration(
    std::span<const PendingTransfer> transfers, std::uint16_t tile_count);

// Ascending lists of transfer indices, one per transfer, stored contiguously.
class TransferLists {
 public:
  TransferLists() = default;
  // Builds the lists from (owner, member) pairs in any order; repeats collapse.
  TransferLists(std::size_t transfers, std::span<const std::pair<std::uint32_t, std::uint32_t>> pairs);

  // The same relation seen from the members' side, lists ascending.
  [[nodiscard]] TransferLists transposed() const;

  [[nodiscard]] std::span<const std::uint32_t> operator[](std::size_t transfer) const {
    return {members_.data() + offsets_[transfer], members_.data() + offsets_[transfer + 1]};
  }
  [[nodiscard]] std::size_t size() const { return offsets_.empty() ? 0 : offsets_.size() - 1; }

  friend bool operator==(const TransferLists&, const TransferLists&) = default;

 private:
  std::vector<std::size_t> offsets_;  // transfers + 1 entries
  std::vector<std::uint32_t> members_;
};

// The dependency graph and pressure of a transfer list. Every edge runs from
// a lower index to a higher one, so index order is always a valid placement
// order. Holds a view of the transfers: it must not outlive them.
//
// Precondition: every tile a transfer names — source, destinations and the
// Paired64 partner — is below `tile_count`. pending_from_problem guarantees it
// for sources and destinations; the partner of the last tile of an odd tile
// count is the caller's to reject (checked in debug builds).
struct SchedulingProblem {
  SchedulingProblem(std::span<const PendingTransfer> transfers, std::uint16_t tile_count);

  TransferLists predecessors;  // per transfer: transfers that must be placed before it
  TransferLists successors;    // per transfer: transfers that depend on it
  std::vector<std::uint64_t> pressure;  // per tile: item counts of the transfers occupying it
  std::span<const PendingTransfer> transfers;
  std::uint16_t tile_count;
};

}  // namespace tarn_codegen::exchange
