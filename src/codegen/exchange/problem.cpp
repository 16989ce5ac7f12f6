#include "codegen/exchange/problem.h"

#include <fmt/format.h>

#include <algorithm>
#include <cassert>
#include <limits>

#include "exchange/topology.h"

namespace tarn_codegen::exchange {
namespace {

constexpr std::uint32_t kMaximumWords = 4148;

const tarn_exchange::Topology& standard_topology() {
  static const tarn_exchange::Topology topology = tarn_exchange::Topology::standard_1472();
  return topology;
}

// Whether address + 4 * words stays within the u32 range.
bool span_end_fits(std::uint32_t address, std::uint32_t words) {
  return static_cast<std::uint64_t>(address) + 4 * static_cast<std::uint64_t>(words) <=
         std::numeric_limits<std::uint32_t>::max();
}

std::uint32_t alignment_mask(ExchangeItemWidth width) { return width == ExchangeItemWidth::Paired64 ? 7 : 3; }

}  // namespace

void PendingTransfer::refresh_source_elements() {
  source_elements.clear();
  for (const std::uint32_t address : source_addresses) {
    const SpanElements elements = span_elements(address, words);
    source_elements.insert(source_elements.end(), elements.begin(), elements.end());
  }
  std::sort(source_elements.begin(), source_elements.end());
  source_elements.erase(std::unique(source_elements.begin(), source_elements.end()), source_elements.end());
}

std::uint32_t PendingTransfer::item_count() const {
  if (width == ExchangeItemWidth::Paired64 && words % 2 == 0) return words / 2;
  return words;
}

absl::InlinedVector<std::uint16_t, 4> PendingTransfer::pressure_resources() const {
  absl::InlinedVector<std::uint16_t, 4> tiles;
  tiles.push_back(source);
  if (partner) tiles.push_back(*partner);
  for (const auto& destination : destinations) tiles.push_back(destination.tile);
  return tiles;
}

std::expected<std::vector<PendingTransfer>, ExchangeLoweringError> pending_from_problem(
    const ExchangeScheduleProblem& problem, std::uint16_t tile_count) {
  std::vector<PendingTransfer> pending;
  pending.reserve(problem.transfers.size());
  absl::InlinedVector<std::uint16_t, 8> seen_tiles;

  for (std::size_t index = 0; index < problem.transfers.size(); ++index) {
    const ExchangeScheduleTransfer& transfer = problem.transfers[index];
    const auto invalid = [&](std::string_view what) {
      return std::unexpected(invalid_snapshot(fmt::format("phase {} transfer {} has {}", problem.phase, index, what)));
    };

    if (transfer.source >= tile_count) {
      return invalid(fmt::format("source tile {} outside 0..{}", transfer.source, tile_count));
    }
    if (transfer.words == 0 || transfer.words > kMaximumWords) {
      return invalid(fmt::format("invalid word count {}", transfer.words));
    }
    if (transfer.width == ExchangeItemWidth::Paired64 && transfer.words % 2 != 0) {
      return invalid(fmt::format("invalid {}-word paired payload", transfer.words));
    }
    if (transfer.source_addresses.empty()) return invalid("no source addresses");
    const std::uint32_t mask = alignment_mask(transfer.width);
    for (const std::uint32_t address : transfer.source_addresses) {
      if ((address & mask) != 0) return invalid(fmt::format("unaligned source address {:#x}", address));
      if (!span_end_fits(address, transfer.words)) return std::unexpected(overflow_error());
    }
    if (transfer.destinations.empty()) return invalid("no destinations");

    seen_tiles.clear();
    for (const auto& destination : transfer.destinations) {
      bool valid = destination.tile < tile_count;
      if (valid && destination.tile == transfer.source) {
        // A loopback only as part of a multicast, and never into the memory it sends from.
        valid = transfer.destinations.size() >= 2 &&
                std::none_of(transfer.source_addresses.begin(), transfer.source_addresses.end(),
                             [&](std::uint32_t address) {
                               return spans_share_effective_memory_element(address, transfer.words,
                                                                           destination.address, transfer.words);
                             });
      }
      if (valid) {
        valid = std::find(seen_tiles.begin(), seen_tiles.end(), destination.tile) == seen_tiles.end();
        seen_tiles.push_back(destination.tile);
      }
      if (!valid) return invalid(fmt::format("invalid destination tile {}", destination.tile));
      if ((destination.address & mask) != 0) {
        return invalid(fmt::format("unaligned destination address {:#x}", destination.address));
      }
      if (!span_end_fits(destination.address, transfer.words)) return std::unexpected(overflow_error());
    }

    if (index > std::numeric_limits<BlockValueId>::max()) return std::unexpected(overflow_error());

    std::optional<std::uint16_t> partner;
    if (transfer.width == ExchangeItemWidth::Paired64) {
      auto paired = standard_topology().paired_logical(transfer.source);
      if (!paired) return std::unexpected(ExchangeLoweringError(paired.error()));
      partner = *paired;
    }

    PendingTransfer converted;
    converted.destinations = transfer.destinations;
    converted.source_addresses = transfer.source_addresses;
    converted.partner = partner;
    converted.value = static_cast<BlockValueId>(index);
    converted.value_part = 0;
    converted.words = transfer.words;
    converted.source = transfer.source;
    converted.width = transfer.width;
    converted.refresh_source_elements();
    pending.push_back(std::move(converted));
  }
  return pending;
}

std::expected<ReceiveConfiguration, ExchangeLoweringError> receive_configuration(
    std::span<const PendingTransfer> transfers, std::uint16_t tile_count) {
  ReceiveConfiguration configuration{std::vector<std::uint64_t>(tile_count, 0),
                                     std::vector<std::uint32_t>(tile_count, 0)};
  for (const auto& transfer : transfers) {
    for (const auto& destination : transfer.destinations) {
      if (destination.tile >= tile_count) return std::unexpected(ExchangeLoweringError::InvalidDestination{});
      ++configuration.receive_counts[destination.tile];
    }
  }
  for (const auto& transfer : transfers) {
    if (transfer.destinations.size() != 1) continue;
    const auto& only = transfer.destinations.front();
    if (configuration.receive_counts[only.tile] == 1) configuration.incoming_bases[only.tile] = only.address;
  }
  return configuration;
}

TransferLists::TransferLists(std::size_t transfers,
                             std::span<const std::pair<std::uint32_t, std::uint32_t>> sorted_pairs)
    : offsets_(transfers + 1, 0) {
  members_.reserve(sorted_pairs.size());
  for (const auto& [owner, member] : sorted_pairs) {
    ++offsets_[owner + 1];
    members_.push_back(member);
  }
  for (std::size_t i = 1; i < offsets_.size(); ++i) offsets_[i] += offsets_[i - 1];
}

namespace {

struct TransferAccess {
  std::uint32_t transfer;
  std::uint64_t start;
  std::uint64_t end;  // exclusive
  bool write;
};

struct AccessFrontier {
  std::optional<std::uint32_t> last_writer;
  std::vector<std::uint32_t> readers;  // since the last write
};

// Edges (from, to) between transfers touching the same bytes of one tile in
// a conflicting way: a write after any access, a read after a write.
void collect_tile_edges(std::span<const TransferAccess> accesses,
                        std::vector<std::pair<std::uint32_t, std::uint32_t>>& edges) {
  std::vector<std::uint64_t> boundaries;
  boundaries.reserve(2 * accesses.size());
  for (const auto& access : accesses) {
    boundaries.push_back(access.start);
    boundaries.push_back(access.end);
  }
  std::sort(boundaries.begin(), boundaries.end());
  boundaries.erase(std::unique(boundaries.begin(), boundaries.end()), boundaries.end());

  std::vector<AccessFrontier> segments(boundaries.size());
  const auto position = [&](std::uint64_t value) {
    return static_cast<std::size_t>(std::lower_bound(boundaries.begin(), boundaries.end(), value) -
                                    boundaries.begin());
  };
  for (const auto& access : accesses) {
    const std::size_t first = position(access.start);
    const std::size_t last = position(access.end);
    for (std::size_t s = first; s < last; ++s) {
      AccessFrontier& segment = segments[s];
      if (segment.last_writer && *segment.last_writer != access.transfer) {
        edges.emplace_back(*segment.last_writer, access.transfer);
      }
      if (access.write) {
        for (const std::uint32_t reader : segment.readers) {
          if (reader != access.transfer) edges.emplace_back(reader, access.transfer);
        }
        segment.readers.clear();
        segment.last_writer = access.transfer;
      } else if (segment.readers.empty() || segment.readers.back() != access.transfer) {
        segment.readers.push_back(access.transfer);
      }
    }
  }
}

}  // namespace

SchedulingProblem::SchedulingProblem(std::span<const PendingTransfer> pending, std::uint16_t tiles)
    : pressure(tiles, 0), transfers(pending), tile_count(tiles) {
  std::vector<std::vector<TransferAccess>> accesses(tiles);
  for (std::size_t t = 0; t < pending.size(); ++t) {
    const PendingTransfer& transfer = pending[t];
    const std::uint64_t bytes = 4 * static_cast<std::uint64_t>(transfer.words);
    const auto index = static_cast<std::uint32_t>(t);
    assert(transfer.source < tiles);
    assert(!transfer.partner || *transfer.partner < tiles);
    for (const std::uint32_t address : transfer.source_addresses) {
      accesses[transfer.source].push_back({index, address, address + bytes, false});
    }
    for (const auto& destination : transfer.destinations) {
      assert(destination.tile < tiles);
      accesses[destination.tile].push_back({index, destination.address, destination.address + bytes, true});
    }
  }

  std::vector<std::pair<std::uint32_t, std::uint32_t>> edges;
  for (const auto& tile_accesses : accesses) {
    if (!tile_accesses.empty()) collect_tile_edges(tile_accesses, edges);
  }
  std::sort(edges.begin(), edges.end());
  edges.erase(std::unique(edges.begin(), edges.end()), edges.end());

  successors = TransferLists(pending.size(), edges);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> reversed;
  reversed.reserve(edges.size());
  for (const auto& [from, to] : edges) reversed.emplace_back(to, from);
  std::sort(reversed.begin(), reversed.end());
  predecessors = TransferLists(pending.size(), reversed);

  for (const auto& transfer : pending) {
    const std::uint64_t items = transfer.item_count();
    for (const std::uint16_t tile : transfer.pressure_resources()) pressure[tile] += items;
  }
}

}  // namespace tarn_codegen::exchange
