// Placing transfers into a phase program builder one after another, as the
// scheduler does: the eager offset search, the timing at the offset found and
// the append. The cost of a placement must not grow with the length of the
// tile programs, so each run times its first thousand placements and its last
// thousand separately; the counters are nanoseconds per placement.
//
// Transfers go between random tiles of the 1472-tile board (about three sends
// and three receives per tile by the end), or, in the hot variant, between 32
// tiles only (about 150 sends and several hundred receive controls per tile
// by the end). Each transfer is searched from the completion of a random one
// of the 64 transfers placed just before it, like a transfer waiting for its
// predecessors.
#include "exchange/builder.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "exchange/topology.h"

namespace {

using namespace tarn_exchange;

constexpr std::size_t kTransfers = 5000;
constexpr std::size_t kWindow = 1000;
constexpr std::uint64_t kValidationBudget = 0x20000000;

struct Transfer {
  std::unique_ptr<MulticastPlan> plan;
  PreparedTransfer prepared;
  std::uint16_t sender = 0;
  std::vector<std::uint16_t> receivers;
  std::vector<std::uint16_t> partners;
  std::uint32_t count = 0;
  std::size_t predecessor = 0;  // index of the transfer whose completion it waits for
};

std::optional<Transfer> transfer_of(std::expected<MulticastPlan, ExchangeError> plan, std::uint16_t sender,
                                    std::vector<std::uint16_t> receivers, std::vector<std::uint16_t> partners,
                                    std::uint32_t count) {
  if (!plan) return std::nullopt;
  Transfer t;
  t.plan = std::make_unique<MulticastPlan>(std::move(*plan));
  auto prepared = t.plan->prepare();
  if (!prepared) return std::nullopt;
  t.prepared = std::move(*prepared);
  t.sender = sender;
  t.receivers = std::move(receivers);
  t.partners = std::move(partners);
  t.count = count;
  return t;
}

// Point-to-point, multicast to up to four tiles and paired transfers between
// tiles of [0, span), never looping back to the sender.
std::vector<Transfer> workload(const Topology& topology, std::uint16_t span, unsigned seed) {
  std::mt19937 random(seed);
  const auto below = [&random](std::uint32_t n) { return static_cast<std::uint32_t>(random() % n); };
  std::vector<Transfer> transfers;
  transfers.reserve(kTransfers);
  while (transfers.size() < kTransfers) {
    const auto sender = static_cast<std::uint16_t>(below(span));
    const std::uint32_t count = 1 + (below(4) == 0 ? below(512) : below(64));
    const std::uint32_t kind = below(10);
    std::optional<Transfer> t;
    if (kind < 4) {
      const auto receiver = static_cast<std::uint16_t>((sender + 1 + below(span - 1)) % span);
      const auto exchange = topology.point_to_point(sender, receiver, count);
      if (!exchange) continue;
      const auto row = finalize_point_receiver(exchange->receiver, topology.tiles()[sender]);
      if (!row) continue;
      t = transfer_of(MulticastPlan{{*row}, exchange->sender}, sender, {receiver}, {}, count);
    } else if (kind < 8) {
      std::vector<std::uint16_t> receivers;
      const std::uint32_t wanted = 1 + below(4);
      while (receivers.size() < wanted) {
        const auto r = static_cast<std::uint16_t>(below(span));
        if (r != sender && std::ranges::find(receivers, r) == receivers.end()) receivers.push_back(r);
      }
      t = transfer_of(topology.multicast(sender, receivers, count, 0), sender, receivers, {}, count);
    } else {
      const auto first = static_cast<std::uint16_t>(2 * below(span / 2));
      const std::vector<std::uint16_t> receivers{first, static_cast<std::uint16_t>(first + 1)};
      if (first == (sender & ~1u)) continue;
      t = transfer_of(topology.paired_multicast(sender, receivers, count), sender, receivers,
                      {static_cast<std::uint16_t>(sender ^ 1)}, count);
    }
    if (!t) continue;
    const std::size_t placed = transfers.size();
    t->predecessor = placed == 0 ? 0 : placed - 1 - below(static_cast<std::uint32_t>(std::min<std::size_t>(placed, 64)));
    transfers.push_back(std::move(*t));
  }
  return transfers;
}

const Topology& board() {
  static const Topology topology = Topology::standard_1472();
  return topology;
}

void BM_PlaceTransfers(benchmark::State& state) {
  const auto span = static_cast<std::uint16_t>(state.range(0));
  const std::vector<Transfer> transfers = workload(board(), span, 7);
  const PhaseProgramBuilder empty =
      PhaseProgramBuilder(static_cast<std::uint16_t>(board().tile_count())).with_validation_budget(kValidationBudget);

  double first_ns = 0;
  double last_ns = 0;
  std::vector<std::uint32_t> completion(kTransfers, 0);
  std::uint32_t horizon = 0;
  for (auto _ : state) {
    PhaseProgramBuilder builder = empty.with_validation_budget(kValidationBudget);
    double elapsed = 0;
    for (std::size_t k = 0; k < kTransfers; ++k) {
      const Transfer& t = transfers[k];
      const std::uint32_t ready = k == 0 ? 0 : completion[t.predecessor];
      const auto begin = std::chrono::steady_clock::now();
      const auto offset =
          builder.earliest_transfer_offset(t.sender, t.partners, t.receivers, t.prepared, t.count, ready);
      if (!offset) {
        state.SkipWithError(("search failed: " + offset.error().debug_string()).c_str());
        return;
      }
      const auto timing = builder.transfer_timing_at(t.sender, t.receivers, t.prepared, *offset, t.count);
      const auto appended =
          builder.append_transfer_at(t.sender, t.partners, t.receivers, t.prepared, *offset, t.count);
      const auto end = std::chrono::steady_clock::now();
      if (!timing || !appended) {
        state.SkipWithError("placement failed");
        return;
      }
      std::uint32_t done = appended->send_end;
      for (const std::uint32_t pointer_end : appended->pointer_ends) done = std::max(done, pointer_end);
      completion[k] = done;

      const double ns = std::chrono::duration<double, std::nano>(end - begin).count();
      elapsed += ns;
      if (k < kWindow) first_ns += ns;
      if (k >= kTransfers - kWindow) last_ns += ns;
    }
    horizon = builder.event_cycles();
    state.SetIterationTime(elapsed * 1e-9);
  }
  const double windows = static_cast<double>(state.iterations() * kWindow);
  state.counters["first1000_ns"] = first_ns / windows;
  state.counters["last1000_ns"] = last_ns / windows;
  state.counters["ratio"] = last_ns / first_ns;
  state.counters["horizon"] = horizon;
}
BENCHMARK(BM_PlaceTransfers)->ArgName("tiles")->Arg(1472)->Arg(32)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
