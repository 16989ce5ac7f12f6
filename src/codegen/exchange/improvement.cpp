#include "codegen/exchange/improvement.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace tarn_codegen::exchange {

std::uint32_t endpoint_work_lower_bound(std::span<const PendingTransfer> transfers, std::uint16_t tile_count) {
  std::vector<std::uint64_t> send_work(tile_count, 0);
  std::vector<std::uint64_t> receive_work(tile_count, 0);
  const auto add = [tile_count](std::vector<std::uint64_t>& work, std::uint16_t tile, std::uint64_t items) {
    if (tile < tile_count) work[tile] += items;
  };
  for (const PendingTransfer& transfer : transfers) {
    const std::uint64_t items = transfer.item_count();
    add(send_work, transfer.source, items);
    if (transfer.partner) add(send_work, *transfer.partner, items);
    for (const auto& destination : transfer.destinations) add(receive_work, destination.tile, items);
  }
  std::uint64_t bound = 0;
  for (std::size_t tile = 0; tile < tile_count; ++tile) bound = std::max({bound, send_work[tile], receive_work[tile]});
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(bound, std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace tarn_codegen::exchange
