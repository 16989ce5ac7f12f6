// The tarn-tests command line: the option table, the parsed `Arguments`, and
// the queue `Priority` handed to the scheduler.
//
// Parsing prints help and version to the given output stream and usage errors
// (with the usage line and a hint) to the error stream; in those cases the
// caller must exit with the returned status and do nothing else. Checks that
// need the snapshot or the run itself are the run's, not the parser's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tarn_tests {

// Queue priority of the greedy scheduler; the value is the number handed to it.
enum class Priority : std::uint8_t {
  Combined = 0,
  Directional = 1,
  RemainingDirectional = 2,
};

[[nodiscard]] std::string_view to_string(Priority priority);

struct Arguments {
  std::string snapshot;
  Priority priority = Priority::Combined;
  std::vector<std::uint32_t> phases;  // empty: every phase
  bool footprint_only = false;
  std::size_t warmup = 0;
  std::size_t iterations = 1;
  bool first_iteration_only = false;
  bool select_widths = false;
  bool replay_cache = false;
  std::uint32_t relocate_by = 0;
  std::optional<std::size_t> dump_tile;
};

// The parser answered by itself (help, version or a usage error): exit with `status`.
struct ParserExit {
  int status;
};

// `args` holds the program name first, as argv does.
[[nodiscard]] std::variant<Arguments, ParserExit> parse_arguments(const std::vector<std::string>& args,
                                                                  std::ostream& out, std::ostream& err);

}  // namespace tarn_tests
