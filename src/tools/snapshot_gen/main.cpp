// tarn-snapshot-gen: writes a synthetic exchange-schedule snapshot.
//
// Exit status: 0 on success (help and version included), 1 when the output
// cannot be created or written ("Error: ..." on standard error), 2 for a usage
// error (the parser's message and the usage line on standard error).
#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

#include "runtime/error_chain.h"
#include "tools/command_line.h"
#include "tools/snapshot_gen/generator.h"

namespace {

using tarn_tools::unsigned_decimal;

using tarn_runtime::ErrorChain;

constexpr std::string_view kUsage = "Usage: tarn-snapshot-gen [OPTIONS]";


std::string os_error(int error) {
  if (error == 0) return "input/output error";
  return tarn_runtime::os_error_text(error);
}

int fail(const ErrorChain& error) {
  std::fflush(stdout);
  std::fputs(error.render().c_str(), stderr);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    tarn_snapshot_gen::GeneratorOptions options;
    std::string family(tarn_snapshot_gen::to_string(options.family));
    std::string output = "-";

    CLI::App app{"Write a synthetic exchange-schedule snapshot (schema version 3) for tarn-tests", "tarn-snapshot-gen"};
    tarn_tools::configure_usage(app, std::string(kUsage));
    app.set_version_flag("-V,--version", "tarn-snapshot-gen 0.1.0");
    app.option_defaults()->always_capture_default();

    std::vector<std::string> family_names;
    for (const auto f : tarn_snapshot_gen::kFamilies) family_names.emplace_back(tarn_snapshot_gen::to_string(f));
    constexpr std::uint64_t kU32 = std::numeric_limits<std::uint32_t>::max();
    constexpr std::uint64_t kU64 = std::numeric_limits<std::uint64_t>::max();

    app.add_option("--family", family,
                   "Workload: halo (2-D neighbours), all-to-all (transpose in groups), broadcast (multi-destination), "
                   "ring (reduce-scatter / all-gather step), gather (into one hot tile), paired (pair-friendly), "
                   "repeat (several source addresses), hazard (overlapping reads and writes), mix (segments of all)")
        ->type_name("FAMILY")
        ->check(CLI::IsMember(family_names));
    app.add_option("--tiles", options.tile_count, "Logical tile count, 1 to 1472")
        ->type_name("TILES")
        ->transform(unsigned_decimal(1, tarn_snapshot_gen::kMaxTileCount));
    app.add_option("--transfers", options.transfers_per_phase,
                   "Transfers per phase (with one tile no transfer is possible and phases are empty)")
        ->type_name("TRANSFERS")
        ->transform(unsigned_decimal(0, kU32));
    app.add_option("--phases", options.phases, "Number of phases, with ids 0, 1, 2, ...")
        ->type_name("PHASES")
        ->transform(unsigned_decimal(0, kU32));
    app.add_option("--seed", options.seed, "Random seed: the same options and seed give the same bytes")
        ->type_name("SEED")
        ->transform(unsigned_decimal(0, kU64));
    app.add_option("--paired-percent", options.paired_percent,
                   "Share of the paired family's transfers written as Paired64; 0 keeps every transfer ordinary, "
                   "as width selection requires")
        ->type_name("PERCENT")
        ->transform(unsigned_decimal(0, 100));
    app.add_option("-o,--output", output, "Output file, or - for standard output")->type_name("PATH");

    try {
      app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
      const int status = app.exit(e, std::cout, std::cerr);
      std::cout.flush();
      return status == 0 ? 0 : 2;
    }
    options.family = *tarn_snapshot_gen::parse_family(family);

    const bool to_stdout = output == "-";
    const std::string target = to_stdout ? "standard output" : output;
    std::FILE* file = to_stdout ? stdout : std::fopen(output.c_str(), "wb");
    if (file == nullptr) return fail(ErrorChain(os_error(errno)).context("create " + output));

    int write_error = 0;
    const auto written = tarn_snapshot_gen::write_snapshot(options, [&](std::string_view block) {
      errno = 0;
      if (std::fwrite(block.data(), 1, block.size(), file) == block.size()) return true;
      write_error = errno;
      return false;
    });
    if (!written && written.error().kind == tarn_snapshot_gen::GeneratorError::Kind::InvalidOptions) {
      if (!to_stdout) std::fclose(file);
      return fail(ErrorChain(written.error().message));
    }
    if (written) {
      errno = 0;
      const bool flushed = std::fflush(file) == 0;
      if (!flushed) write_error = errno;
      const bool closed = to_stdout || std::fclose(file) == 0;
      if (!closed && write_error == 0) write_error = errno;
      if (flushed && closed) return 0;
    } else if (!to_stdout) {
      std::fclose(file);
    }
    return fail(ErrorChain(os_error(write_error)).context("write " + target));
  } catch (const std::exception& e) {
    // Only resource exhaustion can get here; report it like any other failure.
    std::fflush(stdout);
    std::fprintf(stderr, "Error: %s\n", e.what());
    return 1;
  }
}
