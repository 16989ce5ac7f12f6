// tarn-tests: replays the exchange scheduler on a snapshot and checks its results.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>

#include "runtime/logging.h"
#include "tools/tarn_tests/arguments.h"
#include "tools/tarn_tests/run.h"

int main(int argc, char** argv) {
  try {
    const std::vector<std::string> args(argv, argv + argc);
    auto parsed = tarn_tests::parse_arguments(args, std::cout, std::cerr);
    if (const auto* exit = std::get_if<tarn_tests::ParserExit>(&parsed)) {
      std::cout.flush();
      return exit->status;
    }
    if (std::getenv("SPDLOG_LEVEL") != nullptr) tarn_runtime::init_tracing();

    const auto result = tarn_tests::run_benchmark(std::get<tarn_tests::Arguments>(parsed));
    if (!result) {
      std::fflush(stdout);
      std::fputs(result.error().render().c_str(), stderr);
      return 1;
    }
    return 0;
  } catch (const std::exception& e) {
    // Only resource exhaustion can get here; report it like any other failure.
    std::fflush(stdout);
    std::fprintf(stderr, "Error: %s\n", e.what());
    return 1;
  }
}
