#include "tools/tarn_tests/arguments.h"

#include "tools/command_line.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <limits>
#include <ostream>

namespace tarn_tests {
namespace {

constexpr std::string_view kUsage = "Usage: tarn-tests [OPTIONS] <SNAPSHOT>";

constexpr std::array<std::pair<std::string_view, Priority>, 3> kPriorities{{
    {"combined", Priority::Combined},
    {"directional", Priority::Directional},
    {"remaining-directional", Priority::RemainingDirectional},
}};

using tarn_tools::unsigned_decimal;

}  // namespace

std::string_view to_string(Priority priority) {
  for (const auto& [name, value] : kPriorities) {
    if (value == priority) return name;
  }
  return "combined";
}

std::variant<Arguments, ParserExit> parse_arguments(const std::vector<std::string>& args, std::ostream& out,
                                                    std::ostream& err) {
  Arguments parsed;
  std::string priority = "combined";
  std::size_t dump_tile = 0;
  constexpr std::uint64_t kU32 = std::numeric_limits<std::uint32_t>::max();
  constexpr std::uint64_t kSize = std::numeric_limits<std::size_t>::max();

  std::vector<std::string> priority_names;
  for (const auto& entry : kPriorities) priority_names.emplace_back(entry.first);

  CLI::App app{"Replay and validate production exchange scheduling without TARN hardware", "tarn-tests"};
  tarn_tools::configure_usage(app, std::string(kUsage));
  app.set_version_flag("-V,--version", "tarn-tests 0.1.0");
  app.option_defaults()->always_capture_default();

  app.add_option("SNAPSHOT", parsed.snapshot,
                 "JSON snapshot written by tarn-trivial-test --export-exchange-schedule")
      ->required()
      ->type_name("");
  auto* priority_option =
      app.add_option("--priority", priority, "Offline queue priority experiment, with unchanged timing and validation")
          ->type_name("PRIORITY")
          ->check(CLI::IsMember(priority_names));
  app.add_option("--phase", parsed.phases, "Restrict the benchmark to these physical exchange phase IDs")
      ->type_name("PHASES")
      ->allow_extra_args(false)
      ->transform(unsigned_decimal(0, kU32));
  app.add_flag("--footprint-only", parsed.footprint_only,
               std::string("Report storage estimates without running the scheduler"));
  app.add_option("--warmup", parsed.warmup, "Untimed scheduler/codegen runs before measurement")
      ->type_name("WARMUP")
      ->transform(unsigned_decimal(0, kSize));
  app.add_option("--iterations", parsed.iterations, "Timed scheduler/codegen runs per selected phase")
      ->type_name("ITERATIONS")
      ->transform(unsigned_decimal(0, kSize));
  app.add_flag("--first-iteration-only", parsed.first_iteration_only,
               std::string("Ignore sender addresses after the first Repeat iteration. This reproduces the unsafe "
                           "scheduler behavior used before Repeat-aware memory-element hazard checking"));
  auto* select_widths = app.add_flag("--select-widths", parsed.select_widths,
                                     std::string("Include the production comparison of ordinary and paired transfers"));
  auto* replay_cache =
      app.add_flag("--replay-cache", parsed.replay_cache,
                   std::string("Populate the production recipe cache before timing, then measure replay"));
  auto* relocate_by =
      app.add_option("--relocate-by", parsed.relocate_by,
                     "Relocate every source/destination by this many bytes after cache warmup")
          ->type_name("RELOCATE_BY")
          ->transform(unsigned_decimal(0, kU32));
  auto* dump_tile_option =
      app.add_option("--dump-tile", dump_tile, "Decode the generated exchange program for this logical tile")
          ->type_name("DUMP_TILE")
          ->transform(unsigned_decimal(0, kSize));
  dump_tile_option->default_str("");

  priority_option->excludes(select_widths);
  priority_option->excludes(replay_cache);
  replay_cache->needs(select_widths);
  relocate_by->needs(replay_cache);

  std::vector<std::string> reversed(args.size() > 1 ? args.begin() + 1 : args.end(), args.end());
  std::reverse(reversed.begin(), reversed.end());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    const int status = app.exit(e, out, err);
    return ParserExit{status == 0 ? 0 : 2};
  }

  for (const auto& [name, value] : kPriorities) {
    if (name == priority) parsed.priority = value;
  }
  if (dump_tile_option->count() > 0) parsed.dump_tile = dump_tile;
  return parsed;
}

}  // namespace tarn_tests
