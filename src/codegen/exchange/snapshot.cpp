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
  const std::size_t maximum_tiles = tarn_exchange::Topology::standard_1472().tiles().size();
  if (tile_count < 1 || tile_count > maximum_tiles) {
    return std::unexpected(invalid_snapshot(fmt::format("tile count {} is outside the S1472 topology", tile_count)));
  }
  std::set<std::uint32_t> seen_phases;
  for (const ExchangeScheduleProblem& problem : phases) {
    if (!seen_phases.insert(problem.phase).second) {
      return std::unexpected(invalid_snapshot(fmt::format("duplicate phase {}", problem.phase)));
    }
    if (auto pending = pending_from_problem(problem, tile_count); !pending) {
      return std::unexpected(std::move(pending.error()));
    }
  }
  return {};
}

}  // namespace tarn_codegen::exchange
