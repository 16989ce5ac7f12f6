// Footprint-only runs on the bundled examples, compared line by line with
// expected output files. Durations vary from run to run, so they are checked
// for their format and then masked.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "process.h"

namespace {

using tarn_test_support::run_process;
using tarn_test_support::slurp;

const std::string kProgram = TARN_TESTS_BINARY;
const std::string kSourceDir = TARN_SOURCE_DIR;

// Replaces the digits of every "...Ms=" value by "#", after checking that it
// has exactly three decimals.
std::string mask_durations(const std::string& text) {
  std::string out;
  std::size_t at = 0;
  while (true) {
    const std::size_t key = text.find("Ms=", at);
    if (key == std::string::npos) break;
    const std::size_t value = key + 3;
    std::size_t end = value;
    while (end < text.size() && text[end] != ' ' && text[end] != '\n') ++end;
    const std::string number = text.substr(value, end - value);
    const std::size_t dot = number.find('.');
    const bool well_formed = dot != std::string::npos && dot > 0 && number.size() - dot == 4 &&
                             number.find_first_not_of("0123456789.") == std::string::npos;
    EXPECT_TRUE(well_formed) << "duration " << number;
    out.append(text, at, value - at).append("#");
    at = end;
  }
  return out.append(text, at);
}

struct GoldenCase {
  std::string name;  // expected output in tests/tools/expected/{name}.out
  std::vector<std::string> args;
};

void PrintTo(const GoldenCase& c, std::ostream* os) { *os << c.name; }

class FootprintRun : public testing::TestWithParam<GoldenCase> {};

TEST_P(FootprintRun, MatchesExpectedOutput) {
  const auto& c = GetParam();
  const auto result = run_process(kProgram, c.args, {}, kSourceDir);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  const std::string expected = slurp(kSourceDir + "/tests/tools/expected/" + c.name + ".out");
  ASSERT_FALSE(expected.empty()) << "no expected output for " << c.name;
  EXPECT_EQ(mask_durations(result.out), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, FootprintRun,
    testing::Values(
        GoldenCase{"halo-4x4", {"--footprint-only", "examples/halo-4x4.json"}},
        GoldenCase{"all-to-all-32", {"--footprint-only", "examples/all-to-all-32.json"}},
        GoldenCase{"broadcast-64", {"--footprint-only", "examples/broadcast-64.json"}},
        GoldenCase{"ring-64x4", {"--footprint-only", "examples/ring-64x4.json"}},
        GoldenCase{"paired-32", {"--footprint-only", "examples/paired-32.json"}},
        GoldenCase{"hazard-16x2", {"--footprint-only", "examples/hazard-16x2.json"}},
        GoldenCase{"mix-128x5", {"--footprint-only", "examples/mix-128x5.json"}},
        // Selected phases run in snapshot order, whatever the option order;
        // --dump-tile has no effect without scheduling.
        GoldenCase{"mix-128x5-phases-3-1",
                   {"--footprint-only", "--phase", "3", "--phase", "1", "--dump-tile", "5", "examples/mix-128x5.json"}},
        GoldenCase{"repeat-4x3", {"--footprint-only", "examples/repeat-4x3.json"}},
        GoldenCase{"repeat-4x3-first-iteration",
                   {"--footprint-only", "--first-iteration-only", "examples/repeat-4x3.json"}}),
    [](const testing::TestParamInfo<GoldenCase>& param_info) {
      std::string name = param_info.param.name;
      for (char& ch : name) {
        if (ch == '-') ch = '_';
      }
      return name;
    });

TEST(FootprintRun, LoggingSetupLeavesTheReportUnchanged) {
  // Reading and estimating emit no events, so with logging installed (in
  // either format, from any filter) the report stays exactly as it is.
  const std::string expected = slurp(kSourceDir + "/tests/tools/expected/halo-4x4.out");
  for (const std::vector<std::string>& env : {std::vector<std::string>{"SPDLOG_LEVEL=trace", "TARN_LOG_FORMAT=json"},
                                             std::vector<std::string>{"SPDLOG_LEVEL=", "TARN_LOG_FORMAT"},
                                             std::vector<std::string>{"SPDLOG_LEVEL=not a filter"}}) {
    const auto result = run_process(kProgram, {"--footprint-only", "examples/halo-4x4.json"}, env, kSourceDir);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(mask_durations(result.out), expected);
  }
}

TEST(FootprintRun, SnapshotWithoutPhases) {
  const std::string path = testing::TempDir() + "tarn-no-phases.json";
  std::ofstream(path) << R"({"schema_version": 3, "tile_count": 5, "phases": []})";
  const auto result = run_process(kProgram, {path});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(mask_durations(result.out),
            "snapshot=" + path +
                " tiles=5 phases=0 warmup=0 iterations=1 repeatAware=true\n"
                "estimatedMaximumTableBytes=0 unsharedMaximumTableBytes=0\n"
                "totalMs=#\n");
}

}  // namespace
