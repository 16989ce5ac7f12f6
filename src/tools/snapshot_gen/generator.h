// Synthetic exchange-schedule snapshots (schema version 3) for the workload
// families an exchange scheduler meets in compiled programs.
//
// Guarantees: every snapshot written passes snapshot validation; the output is
// a pure function of the options (byte-identical for a seed on any platform);
// every phase holds exactly `transfers_per_phase` transfers, except with one
// tile, where no transfer is possible and every phase is empty. Phase ids are
// 0, 1, 2, ... Addresses stay below 0xA0000 (the tile memory): send buffers in
// [0x10000, 0x50000), receive buffers in [0x50000, 0x90000), and the
// hazard family's read-and-written buffers in [0x90000, 0xA0000). Outside the
// hazard family, a tile's send and receive buffers of one phase are handed
// out one after the other and overlap earlier ones only once its area is full.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "codegen/exchange/snapshot.h"

namespace tarn_snapshot_gen {

enum class Family : std::uint8_t {
  Halo,       // 2-D grid, each tile to its 4 or 8 neighbours, one field per round
  AllToAll,   // transpose within groups of consecutive tiles
  Broadcast,  // one buffer to many tiles: multi-destination transfers
  Ring,       // one step of ring reduce-scatter or all-gather
  Gather,     // every other tile into one hot tile
  Paired,     // pair-friendly: even words, 8-byte addresses, destinations complete tile pairs
  Repeat,     // several source addresses per transfer (repeat iterations)
  Hazard,     // reads and writes overlapping on the same tiles: dependency edges
  Mix,        // each phase a few segments of the families above
};

inline constexpr std::array<Family, 9> kFamilies{Family::Halo,   Family::AllToAll, Family::Broadcast,
                                                 Family::Ring,   Family::Gather,   Family::Paired,
                                                 Family::Repeat, Family::Hazard,   Family::Mix};

[[nodiscard]] std::string_view to_string(Family family);
[[nodiscard]] std::optional<Family> parse_family(std::string_view name);

inline constexpr std::uint16_t kMaxTileCount = 1472;

struct GeneratorOptions {
  Family family = Family::Mix;
  std::uint16_t tile_count = kMaxTileCount;  // 1 ..= 1472
  std::uint32_t transfers_per_phase = 1000;
  std::uint32_t phases = 1;
  std::uint64_t seed = 1;
  // Share (0 ..= 100) of the paired family's pair-friendly transfers written
  // as Paired64 rather than Word32. 0 keeps every transfer ordinary, which is
  // what width selection requires of a capture.
  std::uint32_t paired_percent = 0;
};

struct GeneratorError {
  enum class Kind {
    InvalidOptions,  // an option outside its range; nothing was written
    OutputStopped,   // the text sink refused a block; the output is incomplete
  };
  Kind kind;
  std::string message;

  friend bool operator==(const GeneratorError&, const GeneratorError&) = default;
};

[[nodiscard]] std::expected<void, GeneratorError> check_options(const GeneratorOptions& options);

// Receives the snapshot text in order, in blocks of about a mebibyte. Returning
// false stops the generation (at the latest at the end of the current phase).
using TextSink = std::function<bool(std::string_view block)>;

// Writes the snapshot as compact JSON, one transfer per line.
[[nodiscard]] std::expected<void, GeneratorError> write_snapshot(const GeneratorOptions& options,
                                                                 const TextSink& sink);

// The whole text of write_snapshot.
[[nodiscard]] std::expected<std::string, GeneratorError> generate(const GeneratorOptions& options);

// The same snapshot as records, equal to what reading the text gives.
[[nodiscard]] std::expected<tarn_codegen::exchange::ExchangeScheduleSnapshot, GeneratorError> generate_snapshot(
    const GeneratorOptions& options);

}  // namespace tarn_snapshot_gen
