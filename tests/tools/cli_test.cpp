// The tarn-tests command line, run as a real process: exit status, the stream
// written and the message, for help, version, usage errors and run failures.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "process.h"

namespace {

using tarn_test_support::run_process;

const std::string kProgram = TARN_TESTS_BINARY;
const std::string kSnapshot = std::string(TARN_SOURCE_DIR) + "/examples/halo-4x4.json";
const std::string kUsageLine = "Usage: tarn-tests [OPTIONS] <SNAPSHOT>";

struct UsageErrorCase {
  std::vector<std::string> args;
  std::string message;  // part of the parser's message on standard error
};

std::string join(const std::vector<std::string>& args) {
  std::string joined;
  for (const auto& a : args) {
    if (!joined.empty()) joined.push_back(' ');
    joined.append("'").append(a).append("'");
  }
  return joined;
}

void PrintTo(const UsageErrorCase& c, std::ostream* os) { *os << join(c.args); }

class UsageErrors : public testing::TestWithParam<UsageErrorCase> {};

TEST_P(UsageErrors, ExitTwoWithUsageOnStandardErrorAndNothingElse) {
  const auto& c = GetParam();
  // The snapshot path does not exist: a usage error must stop before any file access.
  auto args = c.args;
  if (args.empty() || args.back() != "-") args.push_back("/nonexistent/snapshot.json");
  else args.pop_back();
  const auto result = run_process(kProgram, args);
  EXPECT_EQ(result.status, 2) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
  EXPECT_NE(result.err.find(kUsageLine), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find("Error: "), std::string::npos) << result.err;
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, UsageErrors,
    testing::Values(
        // "-" as the last argument means: add no snapshot path.
        UsageErrorCase{{"-"}, "SNAPSHOT is required"},
        UsageErrorCase{{"--bogus"}, "--bogus"},
        UsageErrorCase{{"extra"}, "not expected"},
        UsageErrorCase{{"--phase", "3,4"}, "--phase"},
        UsageErrorCase{{"--phase", "3", "4"}, "not expected"},
        UsageErrorCase{{"--phase", "-1"}, "--phase"},
        UsageErrorCase{{"--phase", "4294967296"}, "--phase"},
        UsageErrorCase{{"--phase", "0x10"}, "--phase"},
        UsageErrorCase{{"--phase", ""}, "--phase"},
        UsageErrorCase{{"--phase", "+5"}, "--phase"},
        UsageErrorCase{{"--phase", "1.5"}, "--phase"},
        UsageErrorCase{{"--phase"}, "--phase"},
        UsageErrorCase{{"--warmup", "-1"}, "--warmup"},
        UsageErrorCase{{"--iterations", "18446744073709551616"}, "--iterations"},
        UsageErrorCase{{"--iterations", "1e3"}, "--iterations"},
        UsageErrorCase{{"--iterations", "1", "--iterations", "2"}, "--iterations"},
        UsageErrorCase{{"--dump-tile", " 3"}, "--dump-tile"},
        UsageErrorCase{{"--select-widths", "--replay-cache", "--relocate-by", "4294967296"}, "--relocate-by"},
        UsageErrorCase{{"--priority", "bogus"}, "combined,directional,remaining-directional"},
        UsageErrorCase{{"--priority", "Directional"}, "--priority"},
        UsageErrorCase{{"--relocate-by", "16"}, "--relocate-by requires --replay-cache"},
        UsageErrorCase{{"--relocate-by", "16", "--replay-cache"}, "--replay-cache requires --select-widths"},
        UsageErrorCase{{"--replay-cache"}, "--replay-cache requires --select-widths"},
        UsageErrorCase{{"--priority", "directional", "--select-widths"}, "excludes"},
        // Given explicitly, even the default value conflicts.
        UsageErrorCase{{"--priority", "combined", "--select-widths", "--replay-cache"}, "excludes"}));

TEST(CommandLine, HelpListsEveryOptionInOrderOnStandardOutput) {
  for (const std::string flag : {"--help", "-h"}) {
    const auto result = run_process(kProgram, {flag, "--bogus-after-help-is-ignored"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const std::string& help = result.out;
    EXPECT_NE(help.find("Replay and validate production exchange scheduling without TARN hardware"),
              std::string::npos);
    EXPECT_NE(help.find(kUsageLine), std::string::npos);
    std::size_t last = 0;
    for (const std::string text : {
             "SNAPSHOT",
             "JSON snapshot written by tarn-trivial-test --export-exchange-schedule",
             "--priority PRIORITY",
             "combined,directional,remaining-directional}=combined",
             "Offline queue priority experiment, with unchanged timing and validation",
             "--phase PHASES",
             "Restrict the benchmark to these physical exchange phase IDs",
             "--footprint-only",
             "Report storage estimates without running the scheduler",
             "--warmup WARMUP=0",
             "Untimed scheduler/codegen runs before measurement",
             "--iterations ITERATIONS=1",
             "Timed scheduler/codegen runs per selected phase",
             "--first-iteration-only",
             "Ignore sender addresses after the first Repeat iteration. This reproduces the unsafe scheduler "
             "behavior used before Repeat-aware memory-element hazard checking",
             "--select-widths",
             "Include the production comparison of ordinary and paired transfers",
             "--replay-cache",
             "Populate the production recipe cache before timing, then measure replay",
             "--relocate-by RELOCATE_BY=0",
             "Relocate every source/destination by this many bytes after cache warmup",
             "--dump-tile DUMP_TILE",
             "Decode the generated exchange program for this logical tile",
         }) {
      const auto at = help.find(text, last);
      ASSERT_NE(at, std::string::npos) << "missing or out of order: " << text << "\n" << help;
      last = at + text.size();
    }
  }
}

TEST(CommandLine, VersionOnStandardOutput) {
  for (const std::string flag : {"--version", "-V"}) {
    const auto result = run_process(kProgram, {flag});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "tarn-tests 0.1.0\n");
    EXPECT_EQ(result.err, "");
  }
}

struct RunFailureCase {
  std::vector<std::string> args;
  std::string err;  // the whole of standard error
};

void PrintTo(const RunFailureCase& c, std::ostream* os) { *os << join(c.args); }

class RunFailures : public testing::TestWithParam<RunFailureCase> {};

TEST_P(RunFailures, ExitOneWithTheErrorChainOnStandardError) {
  const auto& c = GetParam();
  const auto result = run_process(kProgram, c.args);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, RunFailures,
    testing::Values(
        // Checked before the snapshot is opened, so a missing path does not matter.
        RunFailureCase{{"--iterations", "0", "/nonexistent/snapshot.json"}, "Error: --iterations must be nonzero\n"},
        RunFailureCase{{"/nonexistent/snapshot.json"},
                       "Error: open /nonexistent/snapshot.json\n\nCaused by:\n"
                       "    No such file or directory (os error 2)\n"},
        RunFailureCase{{"--phase", "1", "--phase", "1", kSnapshot}, "Error: --phase contains a duplicate phase ID\n"},
        RunFailureCase{{"--phase", "99", "--phase", "98", kSnapshot}, "Error: snapshot does not contain phase 98\n"},
        // Decimal, not octal.
        RunFailureCase{{"--phase", "010", kSnapshot}, "Error: snapshot does not contain phase 10\n"}));

TEST(CommandLine, ParseFailureNamesThePathAboveTheReaderMessage) {
  const std::string path = testing::TempDir() + "tarn-cli-missing-field.json";
  std::ofstream(path) << "{\"schema_version\": 3}";
  const auto result = run_process(kProgram, {path});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  const std::string expected = "Error: parse " + path + "\n\nCaused by:\n    missing field `tile_count` at line 1 column ";
  EXPECT_EQ(result.err.substr(0, expected.size()), expected) << result.err;
}

TEST(CommandLine, ValidationFailureComesBeforeThePhaseChecks) {
  const std::string path = testing::TempDir() + "tarn-cli-duplicate-phase.json";
  std::ofstream(path) << R"({"schema_version": 3, "tile_count": 2,
      "phases": [{"phase": 7, "transfers": []}, {"phase": 7, "transfers": []}]})";
  const auto result = run_process(kProgram, {"--phase", "99", path});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "Error: invalid exchange-schedule snapshot: duplicate phase 7\n");
}

TEST(CommandLine, HeaderLineDescribesTheSelection) {
  auto result = run_process(kProgram, {"--footprint-only", kSnapshot});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out.substr(0, result.out.find('\n')),
            "snapshot=" + kSnapshot + " tiles=16 phases=3 warmup=0 iterations=1 repeatAware=true");

  result = run_process(kProgram, {"--first-iteration-only", "--phase", "7", "--phase=1", "--warmup", "2",
                                  "--iterations", "5", "--dump-tile", "3", "--footprint-only", kSnapshot});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out.substr(0, result.out.find('\n')),
            "snapshot=" + kSnapshot + " tiles=16 phases=2 warmup=2 iterations=5 repeatAware=false");

  // Relations hold only for options given explicitly; these combinations are accepted.
  for (const std::vector<std::string>& args : {
           std::vector<std::string>{"--select-widths", "--footprint-only", kSnapshot},
           std::vector<std::string>{"--select-widths", "--replay-cache", "--relocate-by", "16", "--footprint-only",
                                    kSnapshot},
           std::vector<std::string>{"--priority", "remaining-directional", "--footprint-only", kSnapshot},
       }) {
    result = run_process(kProgram, args);
    EXPECT_EQ(result.status, 0) << result.err;
  }
}

TEST(CommandLine, LinesPrintedBeforeAFailureStay) {
  // Scheduling runs do not exist yet: the run fails after the first phase's footprint line.
  const auto result = run_process(kProgram, {kSnapshot});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out.substr(0, result.out.find('\n')),
            "snapshot=" + kSnapshot + " tiles=16 phases=3 warmup=0 iterations=1 repeatAware=true");
  EXPECT_NE(result.out.find("\nphase=1 estimatedMaximumRowBytes="), std::string::npos) << result.out;
  EXPECT_EQ(result.out.find("phase=2"), std::string::npos) << result.out;
  EXPECT_EQ(result.err.rfind("Error: scheduling runs are not built yet", 0), 0u) << result.err;
}

}  // namespace
