// Schedule improvement and the endpoint-work lower bound of a phase.
//
// One item crosses the fabric per cycle, and a tile can send and receive at
// the same time, so no schedule of a phase can be shorter than the busiest
// tile's send work or receive work. The benchmark reports the achieved
// horizon next to this bound.
#pragma once

#include <cstdint>
#include <span>

#include "codegen/exchange/problem.h"

namespace tarn_codegen::exchange {

// The largest per-tile send or receive work in items (a paired transfer
// counts on its source and on its partner), clamped to u32. Every tile named
// by a transfer must be below `tile_count`, as validation guarantees; others
// are not counted.
[[nodiscard]] std::uint32_t endpoint_work_lower_bound(std::span<const PendingTransfer> transfers,
                                                      std::uint16_t tile_count);

}  // namespace tarn_codegen::exchange
