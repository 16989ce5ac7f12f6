// One benchmark run over a snapshot: read it, check the selection, print the
// report lines. Lines go to standard output as they are produced and are
// flushed one by one, so the lines of earlier phases survive a later failure.
#pragma once

#include <chrono>
#include <expected>
#include <string>

#include "runtime/error_chain.h"
#include "tools/tarn_tests/arguments.h"

namespace tarn_tests {

[[nodiscard]] std::expected<void, tarn_runtime::ErrorChain> run_benchmark(const Arguments& args);

// A duration in milliseconds with three decimals, rounded to nearest.
[[nodiscard]] std::string format_milliseconds(std::chrono::nanoseconds duration);

}  // namespace tarn_tests
