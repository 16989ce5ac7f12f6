#include "codegen/exchange/snapshot.h"

#include <fmt/format.h>

#include <set>

#include "codegen/exchange/error.h"
#include "codegen/exchange/problem.h"
#include "exchange/topology.h"

namespace tarn_codegen::exchange {

std::expected<void, ExchangeLoweringError> ExchangeScheduleSnapshot::validate() const {
  if (schema_version != 3) {
    return std::unexpected(
        invalid_snapshot(fmt::format("unsupported schema version {} (expected 3)", schema_version)));
  }
  if (tile_count < 1 || tile_count > tarn_exchange::kStandardTileCount) {
    return std::unexpected(invalid_snapshot(fmt::format("tile count {} is outside the S1472 topology", tile_count)));
  }
  std::set<std::uint32_t> seen_phases;
  for (const ExchangeScheduleProblem& problem : phases) {
    if (!seen_phases.insert(problem.phase).second) {
      return std::unexpected(invalid_snapshot(fmt::format("duplicate phase {}", problem.phase)));
    }
    // The conversion's checks, without building the converted transfers.
    for (std::size_t index = 0; index < problem.transfers.size(); ++index) {
      if (auto checked = check_snapshot_transfer(problem, index, tile_count); !checked) {
        return std::unexpected(std::move(checked.error()));
      }
    }
  }
  return {};
}

}  // namespace tarn_codegen::exchange
