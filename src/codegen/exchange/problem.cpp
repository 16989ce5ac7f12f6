#include "codegen/exchange/problem.h"

#include <fmt/format.h>

#include <algorithm>
#include <cassert>
#include <limits>
#include <map>
#include <iterator>

#include "exchange/topology.h"

namespace tarn_codegen::exchange {
namespace {

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

std::expected<std::optional<std::uint16_t>, ExchangeLoweringError> check_snapshot_transfer(
    const ExchangeScheduleProblem& problem, std::size_t index, std::uint16_t tile_count) {
  const ExchangeScheduleTransfer& transfer = problem.transfers[index];
  const auto invalid = [&](std::string_view what) {
    return std::unexpected(invalid_snapshot(fmt::format("phase {} transfer {} has {}", problem.phase, index, what)));
  };

  if (transfer.source >= tile_count) {
    return invalid(fmt::format("source tile {} outside 0..{}", transfer.source, tile_count));
  }
  if (transfer.words == 0 || transfer.words > tarn_exchange::kMaximumExchangeCount) {
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

  absl::InlinedVector<std::uint16_t, 8> seen_tiles;
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

  if (transfer.width != ExchangeItemWidth::Paired64) return std::optional<std::uint16_t>{};
  auto paired = standard_topology().paired_logical(transfer.source);
  if (!paired) return std::unexpected(ExchangeLoweringError(paired.error()));
  return std::optional<std::uint16_t>(*paired);
}

std::expected<std::vector<PendingTransfer>, ExchangeLoweringError> pending_from_problem(
    const ExchangeScheduleProblem& problem, std::uint16_t tile_count) {
  std::vector<PendingTransfer> pending;
  pending.reserve(problem.transfers.size());
  for (std::size_t index = 0; index < problem.transfers.size(); ++index) {
    auto partner = check_snapshot_transfer(problem, index, tile_count);
    if (!partner) return std::unexpected(std::move(partner.error()));

    const ExchangeScheduleTransfer& transfer = problem.transfers[index];
    PendingTransfer converted;
    converted.destinations = transfer.destinations;
    converted.source_addresses = transfer.source_addresses;
    converted.partner = *partner;
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
                             std::span<const std::pair<std::uint32_t, std::uint32_t>> pairs)
    : offsets_(transfers + 1, 0) {
  // Bucket by owner (a counting sort: the pair count grows with the phase,
  // the lists stay short), then sort and deduplicate each list.
  for (const auto& pair : pairs) ++offsets_[pair.first + 1];
  for (std::size_t i = 1; i < offsets_.size(); ++i) offsets_[i] += offsets_[i - 1];
  members_.resize(pairs.size());
  std::vector<std::size_t> fill(offsets_.begin(), offsets_.end() - 1);
  for (const auto& [owner, member] : pairs) members_[fill[owner]++] = member;

  std::size_t kept = 0;
  std::size_t list_start = 0;
  for (std::size_t t = 0; t < transfers; ++t) {
    const auto first = members_.begin() + static_cast<std::ptrdiff_t>(list_start);
    const auto last = members_.begin() + static_cast<std::ptrdiff_t>(offsets_[t + 1]);
    std::sort(first, last);
    const auto unique_end = std::unique(first, last);
    list_start = offsets_[t + 1];
    offsets_[t] = kept;
    kept = static_cast<std::size_t>(std::copy(first, unique_end, members_.begin() + static_cast<std::ptrdiff_t>(kept)) -
                                    members_.begin());
  }
  offsets_[transfers] = kept;
  members_.resize(kept);
}

TransferLists TransferLists::transposed() const {
  TransferLists result;
  const std::size_t transfers = size();
  result.offsets_.assign(transfers + 1, 0);
  for (const std::uint32_t member : members_) ++result.offsets_[member + 1];
  for (std::size_t i = 1; i < result.offsets_.size(); ++i) result.offsets_[i] += result.offsets_[i - 1];
  result.members_.resize(members_.size());
  std::vector<std::size_t> fill(result.offsets_.begin(), result.offsets_.end() - 1);
  // Owners are visited in ascending order, so every transposed list comes out ascending.
  for (std::size_t owner = 0; owner < transfers; ++owner) {
    for (const std::uint32_t member : (*this)[owner]) result.members_[fill[member]++] = static_cast<std::uint32_t>(owner);
  }
  return result;
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
  absl::InlinedVector<std::uint32_t, 4> readers;  // since the last write
  friend bool operator==(const AccessFrontier&, const AccessFrontier&) = default;
};

class EdgeCollector {
 public:
  explicit EdgeCollector(std::size_t transfers) : last_to_(transfers, kNone) {}

  void add(std::uint32_t from, std::uint32_t to) {
    if (last_to_[from] == to) return;
    last_to_[from] = to;
    edges_.emplace_back(from, to);
  }

  // The edges collected, possibly with repeats, in no particular order.
  [[nodiscard]] std::span<const std::pair<std::uint32_t, std::uint32_t>> edges() const { return edges_; }

 private:
  static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
  std::vector<std::uint32_t> last_to_;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> edges_;
};

// Byte ranges of one tile that share one frontier, keyed by their start.
// Adjacent ranges with equal frontiers are merged, so an access visits only
// as many ranges as there are distinct histories under it — not every
// boundary any access ever drew there — and the work grows with the accesses
// and edges rather than with their square.
struct FrontierRun {
  std::uint64_t end;  // exclusive
  AccessFrontier frontier;
};
using FrontierRuns = std::map<std::uint64_t, FrontierRun>;

// Makes `at` the start of a run if a run covers it; returns the first run
// starting at or after `at`.
FrontierRuns::iterator split_at(FrontierRuns& runs, std::uint64_t at) {
  auto next = runs.upper_bound(at);
  if (next == runs.begin()) return next;
  const auto covering = std::prev(next);
  if (covering->first == at) return covering;
  if (covering->second.end <= at) return next;
  FrontierRun tail{covering->second.end, covering->second.frontier};
  covering->second.end = at;
  return runs.emplace_hint(next, at, std::move(tail));
}

void visit(AccessFrontier& frontier, const TransferAccess& access, EdgeCollector& edges) {
  if (frontier.last_writer && *frontier.last_writer != access.transfer) {
    edges.add(*frontier.last_writer, access.transfer);
  }
  if (access.write) {
    for (const std::uint32_t reader : frontier.readers) {
      if (reader != access.transfer) edges.add(reader, access.transfer);
    }
    frontier.readers.clear();
    frontier.last_writer = access.transfer;
  } else if (frontier.readers.empty() || frontier.readers.back() != access.transfer) {
    frontier.readers.push_back(access.transfer);
  }
}

// Edges (from, to) between transfers touching the same bytes of one tile in
// a conflicting way: a write after any access, a read after a write with no
// other write between. Accesses come in transfer order.
void collect_tile_edges(std::span<const TransferAccess> accesses, EdgeCollector& edges) {
  FrontierRuns runs;
  for (const auto& access : accesses) {
    if (access.start >= access.end) continue;
    split_at(runs, access.end);
    auto run = split_at(runs, access.start);
    std::uint64_t cursor = access.start;
    FrontierRuns::iterator first_visited = runs.end();
    while (cursor < access.end) {
      if (run == runs.end() || run->first > cursor) {
        // Bytes no access has touched yet start with an empty history.
        const std::uint64_t gap_end = run == runs.end() ? access.end : std::min(run->first, access.end);
        run = runs.emplace_hint(run, cursor, FrontierRun{gap_end, {}});
      }
      if (first_visited == runs.end()) first_visited = run;
      visit(run->second.frontier, access, edges);
      cursor = run->second.end;
      ++run;
    }
    // Merge equal neighbours from the run before the access to the run after
    // it. The first run visited starts at the access; map iterators outlive
    // the inserts above.
    auto merge = first_visited;
    if (merge != runs.begin()) {
      const auto before = std::prev(merge);
      if (before->second.end == access.start) merge = before;
    }
    while (merge != runs.end() && merge->first <= access.end) {
      const auto next = std::next(merge);
      if (next != runs.end() && next->first == merge->second.end &&
          next->second.frontier == merge->second.frontier) {
        merge->second.end = next->second.end;
        runs.erase(next);
      } else {
        merge = next;
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

  EdgeCollector collector(pending.size());
  for (const auto& tile_accesses : accesses) {
    if (!tile_accesses.empty()) collect_tile_edges(tile_accesses, collector);
  }
  successors = TransferLists(pending.size(), collector.edges());
  predecessors = successors.transposed();

  for (const auto& transfer : pending) {
    const std::uint64_t items = transfer.item_count();
    for (const std::uint16_t tile : transfer.pressure_resources()) pressure[tile] += items;
  }
}

}  // namespace tarn_codegen::exchange
