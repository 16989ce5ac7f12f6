// The transfers of one generated phase, family by family.
//
// A phase depends only on the options and its index (each phase has its own
// random stream), and its transfers go to a sink one at a time, so that a
// phase of any size is written without being held in memory.
#pragma once

#include <cstdint>

#include "codegen/exchange/snapshot.h"
#include "tools/snapshot_gen/generator.h"

namespace tarn_snapshot_gen {

class TransferSink {
 public:
  virtual ~TransferSink() = default;
  // `transfer` is valid only during the call.
  virtual void add(const tarn_codegen::exchange::ExchangeScheduleTransfer& transfer) = 0;
};

// Emits the transfers of phase `phase_index` (0-based) into `sink`. The
// options must have passed check_options.
void generate_phase(const GeneratorOptions& options, std::uint32_t phase_index, TransferSink& sink);

}  // namespace tarn_snapshot_gen
