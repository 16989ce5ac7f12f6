// Exchange-schedule snapshot records: the scheduling problem of each physical
// exchange phase of a compiled program, as the exporting compiler tool wrote it.
//
// These are plain values (deep copies, no shared state). Lists keep file order;
// a transfer's position in its problem is its transfer index, the identity the
// scheduler uses and prints. Reading checks only shape and field ranges (see
// snapshot_reader.h); every further rule belongs to validation.
//
// The short per-transfer lists hold their usual sizes inline: a snapshot has
// millions of transfers, and one heap block per list dominates reading time.
#pragma once

#include <absl/container/inlined_vector.h>

#include <cstdint>
#include <expected>
#include <string_view>
#include <vector>

namespace tarn_codegen::exchange {

enum class ExchangeItemWidth : std::uint8_t {
  Word32,    // ordinary transfer of 32-bit items
  Paired64,  // 64-bit items, using the source tile together with its pair partner
};

[[nodiscard]] constexpr std::string_view to_string(ExchangeItemWidth width) {
  return width == ExchangeItemWidth::Word32 ? "Word32" : "Paired64";
}

struct ExchangeScheduleDestination {
  std::uint16_t tile = 0;     // logical tile that receives
  std::uint32_t address = 0;  // byte address of the received span on that tile

  friend bool operator==(const ExchangeScheduleDestination&, const ExchangeScheduleDestination&) = default;
};

using SourceAddressList = absl::InlinedVector<std::uint32_t, 4>;
using DestinationList = absl::InlinedVector<ExchangeScheduleDestination, 2>;

struct ExchangeScheduleTransfer {
  std::uint16_t source = 0;            // logical tile that sends
  SourceAddressList source_addresses;  // one byte address per repeat iteration, first iteration first
  DestinationList destinations;        // receivers, in file order
  std::uint32_t words = 0;             // payload length in 32-bit words
  ExchangeItemWidth width = ExchangeItemWidth::Word32;

  friend bool operator==(const ExchangeScheduleTransfer&, const ExchangeScheduleTransfer&) = default;
};

struct ExchangeScheduleProblem {
  std::uint32_t phase = 0;  // physical exchange phase id, unique within a snapshot
  std::vector<ExchangeScheduleTransfer> transfers;

  friend bool operator==(const ExchangeScheduleProblem&, const ExchangeScheduleProblem&) = default;
};

struct ExchangeLoweringError;

struct ExchangeScheduleSnapshot {
  std::uint32_t schema_version = 0;  // only 3 passes validation
  std::uint16_t tile_count = 0;      // logical tiles 0 .. tile_count - 1
  std::vector<ExchangeScheduleProblem> phases;

  // Checks the format version, the tile count, unique phase ids and every
  // transfer of every phase (in file order); returns the first violation.
  [[nodiscard]] std::expected<void, ExchangeLoweringError> validate() const;

  friend bool operator==(const ExchangeScheduleSnapshot&, const ExchangeScheduleSnapshot&) = default;
};

}  // namespace tarn_codegen::exchange
