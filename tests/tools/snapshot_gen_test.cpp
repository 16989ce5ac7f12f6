// tarn-snapshot-gen: every family at many sizes writes snapshots that read
// back as generated and keep the snapshot rules; each family has the shape it
// is for; the bytes are a function of the options; the program's exit
// statuses, and the bundled examples are what their README commands write.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "codegen/exchange/hazards.h"
#include "codegen/exchange/error.h"
#include "codegen/exchange/snapshot_reader.h"
#include "process.h"
#include "tools/snapshot_gen/generator.h"

namespace {

namespace ex = tarn_codegen::exchange;
using tarn_snapshot_gen::Family;
using tarn_snapshot_gen::GeneratorError;
using tarn_snapshot_gen::GeneratorOptions;
using tarn_snapshot_gen::kFamilies;
using tarn_test_support::run_process;

const std::string kProgram = TARN_SNAPSHOT_GEN_BINARY;
constexpr std::uint64_t kTileMemory = 0xA0000;

// The generator's promises beyond validity: every span lies in tile memory,
// and no paired transfer leaves from a tile without a partner. Returns the
// first broken promise, or an empty string.
std::string broken_promise(const ex::ExchangeScheduleSnapshot& snapshot) {
  for (const auto& problem : snapshot.phases) {
    for (std::size_t i = 0; i < problem.transfers.size(); ++i) {
      const auto& t = problem.transfers[i];
      const std::string at = "phase " + std::to_string(problem.phase) + " transfer " + std::to_string(i) + ": ";
      const std::uint64_t bytes = 4ull * t.words;
      for (const std::uint64_t a : t.source_addresses) {
        if (a + bytes > kTileMemory) return at + "source span beyond tile memory";
      }
      for (const auto& d : t.destinations) {
        if (std::uint64_t{d.address} + bytes > kTileMemory) return at + "destination span beyond tile memory";
      }
      if (t.width == ex::ExchangeItemWidth::Paired64 && (t.source ^ 1u) >= snapshot.tile_count) {
        return at + "paired source without a partner tile";
      }
    }
  }
  return {};
}

std::string describe(const GeneratorOptions& o) {
  std::ostringstream s;
  s << tarn_snapshot_gen::to_string(o.family) << " tiles=" << o.tile_count << " transfers=" << o.transfers_per_phase
    << " phases=" << o.phases << " seed=" << o.seed << " paired=" << o.paired_percent;
  return s.str();
}

// Generates, reads back and checks one snapshot; returns the records.
ex::ExchangeScheduleSnapshot generate_checked(const GeneratorOptions& options) {
  SCOPED_TRACE(describe(options));
  const auto text = tarn_snapshot_gen::generate(options);
  EXPECT_TRUE(text.has_value());
  if (!text) return {};
  const auto read = ex::parse_snapshot(*text);
  EXPECT_TRUE(read.has_value()) << read.error().message;
  if (!read) return {};
  const auto records = tarn_snapshot_gen::generate_snapshot(options);
  EXPECT_TRUE(records.has_value());
  EXPECT_TRUE(records && *read == *records) << "the text does not read back as the generated records";
  const auto valid = read->validate();
  EXPECT_TRUE(valid.has_value()) << valid.error().message();
  EXPECT_EQ(broken_promise(*read), "");
  EXPECT_EQ(read->tile_count, options.tile_count);
  EXPECT_EQ(read->phases.size(), options.phases);
  const std::size_t expected = options.tile_count > 1 ? options.transfers_per_phase : 0;
  for (std::size_t p = 0; p < read->phases.size(); ++p) {
    EXPECT_EQ(read->phases[p].phase, p);
    EXPECT_EQ(read->phases[p].transfers.size(), expected) << "phase " << p;
  }
  return *read;
}

std::string family_name(const testing::TestParamInfo<Family>& info) {
  std::string name(tarn_snapshot_gen::to_string(info.param));
  std::erase(name, '-');
  return name;
}

class EveryFamily : public testing::TestWithParam<Family> {};

TEST_P(EveryFamily, ReadsBackAsGeneratedAndKeepsTheRulesAtEverySize) {
  for (const std::uint16_t tiles : {1, 2, 3, 16, 1471, 1472}) {
    for (const std::uint32_t transfers : {1u, 7u, 300u}) {
      GeneratorOptions options{.family = GetParam(), .tile_count = tiles, .transfers_per_phase = transfers,
                               .phases = 2, .seed = 11, .paired_percent = 50};
      generate_checked(options);
    }
  }
}

// Many transfers on few tiles fill the memory areas, so buffers start over.
TEST_P(EveryFamily, CrowdedPhasesKeepTheRules) {
  for (const std::uint16_t tiles : {2, 5, 16}) {
    generate_checked({.family = GetParam(), .tile_count = tiles, .transfers_per_phase = 3000, .phases = 1, .seed = 3,
                      .paired_percent = 50});
  }
}

TEST_P(EveryFamily, SameSeedSameBytesOtherSeedOtherBytes) {
  GeneratorOptions options{.family = GetParam(), .tile_count = 16, .transfers_per_phase = 100, .phases = 2, .seed = 5};
  const auto first = tarn_snapshot_gen::generate(options);
  const auto again = tarn_snapshot_gen::generate(options);
  ASSERT_TRUE(first && again);
  EXPECT_EQ(*first, *again);
  options.seed = 6;
  const auto other = tarn_snapshot_gen::generate(options);
  ASSERT_TRUE(other);
  EXPECT_NE(*first, *other);
}

// A phase depends on the options and its index only, not on how many follow.
TEST_P(EveryFamily, PhaseDoesNotDependOnThePhaseCount) {
  GeneratorOptions options{.family = GetParam(), .tile_count = 40, .transfers_per_phase = 60, .phases = 1, .seed = 9};
  const auto one = tarn_snapshot_gen::generate_snapshot(options);
  options.phases = 3;
  const auto three = tarn_snapshot_gen::generate_snapshot(options);
  ASSERT_TRUE(one && three);
  EXPECT_EQ(one->phases[0], three->phases[0]);
  EXPECT_NE(three->phases[0].transfers, three->phases[1].transfers);
}

INSTANTIATE_TEST_SUITE_P(SnapshotGen, EveryFamily, testing::ValuesIn(kFamilies), family_name);

TEST(SnapshotGen, RandomOptionsAlwaysGiveValidSnapshots) {
  std::mt19937_64 random(20240611);
  for (int run = 0; run < 60; ++run) {
    GeneratorOptions options;
    options.family = kFamilies[random() % kFamilies.size()];
    // Small tile counts, where the corner cases are, half of the time.
    options.tile_count = static_cast<std::uint16_t>(random() % 2 == 0 ? 1 + random() % 12 : 1 + random() % 1472);
    options.transfers_per_phase = static_cast<std::uint32_t>(random() % 400);
    options.phases = static_cast<std::uint32_t>(random() % 4);
    options.seed = random();
    options.paired_percent = static_cast<std::uint32_t>(random() % 101);
    generate_checked(options);
  }
}

TEST(SnapshotGen, OptionsOutOfRangeAreRefusedBeforeAnyOutput) {
  for (const GeneratorOptions& options : {GeneratorOptions{.tile_count = 0}, GeneratorOptions{.tile_count = 1473},
                                          GeneratorOptions{.paired_percent = 101}}) {
    bool called = false;
    const auto written = tarn_snapshot_gen::write_snapshot(options, [&](std::string_view) { return called = true; });
    ASSERT_FALSE(written) << describe(options);
    EXPECT_EQ(written.error().kind, GeneratorError::Kind::InvalidOptions);
    EXPECT_FALSE(called);
    EXPECT_FALSE(tarn_snapshot_gen::generate_snapshot(options));
  }
}

TEST(SnapshotGen, RefusedBlockStopsTheOutput) {
  int blocks = 0;
  const GeneratorOptions options{.family = Family::Mix, .tile_count = 1472, .transfers_per_phase = 5000, .phases = 20};
  const auto written = tarn_snapshot_gen::write_snapshot(options, [&](std::string_view) {
    ++blocks;
    return false;
  });
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().kind, GeneratorError::Kind::OutputStopped);
  EXPECT_EQ(blocks, 1);
}

// --- What each family is for ---------------------------------------------

bool within(std::uint64_t address, std::uint32_t words, std::uint64_t low, std::uint64_t high) {
  return address >= low && address + 4ull * words <= high;
}

TEST(SnapshotGen, SendReceiveAndHazardBuffersKeepToTheirAreas) {
  for (const Family family : kFamilies) {
    const auto snapshot = generate_checked(
        {.family = family, .tile_count = 64, .transfers_per_phase = 400, .phases = 3, .seed = 2});
    for (const auto& problem : snapshot.phases) {
      for (const auto& t : problem.transfers) {
        bool apart = true;  // sources in the send area, destinations in the receive area
        bool hazard = true;  // everything in the hazard area
        for (const auto a : t.source_addresses) {
          apart = apart && within(a, t.words, 0x10000, 0x50000);
          hazard = hazard && within(a, t.words, 0x90000, 0xA0000);
        }
        for (const auto& d : t.destinations) {
          apart = apart && within(d.address, t.words, 0x50000, 0x90000);
          hazard = hazard && within(d.address, t.words, 0x90000, 0xA0000);
        }
        const bool expected = family == Family::Hazard ? hazard : family == Family::Mix ? apart || hazard : apart;
        ASSERT_TRUE(expected) << tarn_snapshot_gen::to_string(family) << " phase " << problem.phase;
      }
    }
  }
}

TEST(SnapshotGen, BroadcastsReachManyTilesAndSometimesTheirRoot) {
  const auto snapshot = generate_checked(
      {.family = Family::Broadcast, .tile_count = 100, .transfers_per_phase = 1000, .phases = 1, .seed = 4});
  std::size_t widest = 0;
  std::size_t loopbacks = 0;
  for (const auto& t : snapshot.phases[0].transfers) {
    widest = std::max(widest, t.destinations.size());
    loopbacks += static_cast<std::size_t>(std::ranges::any_of(t.destinations, [&](const auto& d) {
      return d.tile == t.source;
    }));
  }
  EXPECT_GE(widest, 32u);
  EXPECT_GT(loopbacks, 0u);
}

TEST(SnapshotGen, RepeatTransfersHaveSeveralDistinctSourceAddresses) {
  const auto snapshot =
      generate_checked({.family = Family::Repeat, .tile_count = 16, .transfers_per_phase = 200, .phases = 2});
  for (const auto& problem : snapshot.phases) {
    for (const auto& t : problem.transfers) {
      const std::set<std::uint32_t> distinct(t.source_addresses.begin(), t.source_addresses.end());
      EXPECT_GE(distinct.size(), 2u);
      EXPECT_EQ(distinct.size(), t.source_addresses.size());
    }
  }
}

TEST(SnapshotGen, GatherSendsEverythingIntoOneHotTile) {
  const auto snapshot =
      generate_checked({.family = Family::Gather, .tile_count = 50, .transfers_per_phase = 120, .phases = 3});
  for (const auto& problem : snapshot.phases) {
    const auto hot = problem.transfers[0].destinations[0].tile;
    std::set<std::uint16_t> senders;
    for (const auto& t : problem.transfers) {
      ASSERT_EQ(t.destinations.size(), 1u);
      EXPECT_EQ(t.destinations[0].tile, hot);
      senders.insert(t.source);
    }
    EXPECT_EQ(senders.size(), 49u);  // 120 transfers: two full rounds of every other tile
  }
}

// One step of a ring sends exactly once from and once into every tile.
TEST(SnapshotGen, RingStepIsAPermutationOfTheTiles) {
  for (const std::uint16_t tiles : {2, 3, 17, 1472}) {
    const auto snapshot = generate_checked(
        {.family = Family::Ring, .tile_count = tiles, .transfers_per_phase = tiles, .phases = 3, .seed = tiles});
    for (const auto& problem : snapshot.phases) {
      std::vector<int> sent(tiles), received(tiles);
      for (const auto& t : problem.transfers) {
        ASSERT_EQ(t.destinations.size(), 1u);
        ++sent[t.source];
        ++received[t.destinations[0].tile];
      }
      EXPECT_TRUE(std::ranges::all_of(sent, [](int n) { return n == 1; }));
      EXPECT_TRUE(std::ranges::all_of(received, [](int n) { return n == 1; }));
    }
  }
}

// Neighbours on the grid of ceil(sqrt(n)) columns differ by at most one row and one column.
TEST(SnapshotGen, HaloTransfersGoToGridNeighbours) {
  for (const std::uint16_t tiles : {2, 3, 16, 1471}) {
    std::uint16_t columns = 1;
    while (columns * columns < tiles) ++columns;
    const auto snapshot = generate_checked(
        {.family = Family::Halo, .tile_count = tiles, .transfers_per_phase = 500, .phases = 1, .seed = 8});
    for (const auto& t : snapshot.phases[0].transfers) {
      ASSERT_EQ(t.destinations.size(), 1u);
      const int to = t.destinations[0].tile;
      EXPECT_LE(std::abs(t.source % columns - to % columns), 1) << t.source << " -> " << to;
      EXPECT_LE(std::abs(t.source / columns - to / columns), 1) << t.source << " -> " << to;
    }
  }
}

// Groups are aligned runs of 2 to 64 tiles, and 1472 transfers never exceed
// one round: no route twice, and each receiver's blocks sit in slots of one
// block size.
TEST(SnapshotGen, AllToAllStaysWithinGroupsOneBlockPerRoute) {
  const auto snapshot =
      generate_checked({.family = Family::AllToAll, .tile_count = 1472, .transfers_per_phase = 1472, .phases = 3});
  for (const auto& problem : snapshot.phases) {
    const std::uint32_t words = problem.transfers[0].words;
    std::set<std::pair<std::uint16_t, std::uint16_t>> routes;
    std::map<std::uint16_t, std::vector<std::uint32_t>> received;
    for (const auto& t : problem.transfers) {
      ASSERT_EQ(t.destinations.size(), 1u);
      const auto to = t.destinations[0].tile;
      EXPECT_EQ(t.words, words);
      EXPECT_EQ(t.source / 64, to / 64) << t.source << " -> " << to;
      EXPECT_TRUE(routes.emplace(t.source, to).second) << t.source << " -> " << to;
      received[to].push_back(t.destinations[0].address);
    }
    for (const auto& [tile, addresses] : received) {
      const auto lowest = *std::ranges::min_element(addresses);
      for (const auto a : addresses) EXPECT_EQ((a - lowest) % (4 * words), 0u) << "tile " << tile;
    }
  }
}

// Pair-friendly: what width selection can convert, whatever width is written.
TEST(SnapshotGen, PairedTransfersAreConvertibleAndOnlyTheirWidthFollowsThePercent) {
  for (const std::uint16_t tiles : {4, 5, 16, 1471}) {
    GeneratorOptions options{.family = Family::Paired, .tile_count = tiles, .transfers_per_phase = 300, .phases = 2};
    options.paired_percent = 0;
    const auto ordinary = generate_checked(options);
    options.paired_percent = 100;
    auto paired = generate_checked(options);
    for (std::size_t p = 0; p < paired.phases.size(); ++p) {
      for (auto& t : paired.phases[p].transfers) {
        EXPECT_EQ(t.width, ex::ExchangeItemWidth::Paired64);
        EXPECT_EQ(t.words % 2, 0u);
        EXPECT_LT(t.source ^ 1u, tiles);
        EXPECT_EQ(t.source_addresses[0] % 8, 0u);
        std::set<std::uint16_t> receivers;
        for (const auto& d : t.destinations) {
          EXPECT_EQ(d.address % 8, 0u);
          EXPECT_NE(d.tile / 2, t.source / 2) << "the source's own pair";
          receivers.insert(d.tile);
        }
        for (const auto r : receivers) EXPECT_TRUE(receivers.contains(r ^ 1)) << "incomplete pair at " << r;
        t.width = ex::ExchangeItemWidth::Word32;
      }
    }
    EXPECT_EQ(paired, ordinary) << tiles << " tiles";
  }
}

TEST(SnapshotGen, PairedFamilyWithoutTwoCompletePairsStaysOrdinary) {
  for (const std::uint16_t tiles : {2, 3}) {
    const auto snapshot = generate_checked({.family = Family::Paired, .tile_count = tiles, .transfers_per_phase = 50,
                                            .phases = 1, .paired_percent = 100});
    for (const auto& t : snapshot.phases[0].transfers) EXPECT_EQ(t.width, ex::ExchangeItemWidth::Word32);
  }
}

// Pairs (a, b), a before b, of accesses to overlapping bytes of one tile where
// at least one writes: each such pair is a dependency edge.
std::size_t dependent_pairs(const ex::ExchangeScheduleProblem& problem) {
  struct Access {
    std::size_t transfer;
    std::uint16_t tile;
    std::uint64_t start;
    std::uint64_t end;
    bool write;
  };
  std::vector<Access> accesses;
  for (std::size_t i = 0; i < problem.transfers.size(); ++i) {
    const auto& t = problem.transfers[i];
    for (const auto a : t.source_addresses) accesses.push_back({i, t.source, a, a + 4ull * t.words, false});
    for (const auto& d : t.destinations) {
      accesses.push_back({i, d.tile, d.address, d.address + 4ull * t.words, true});
    }
  }
  std::set<std::pair<std::size_t, std::size_t>> edges;
  for (const auto& a : accesses) {
    for (const auto& b : accesses) {
      if (a.transfer < b.transfer && a.tile == b.tile && (a.write || b.write) && a.start < b.end && b.start < a.end) {
        edges.emplace(a.transfer, b.transfer);
      }
    }
  }
  return edges.size();
}

TEST(SnapshotGen, HazardPhasesAreRichInDependencies) {
  for (const std::uint16_t tiles : {2, 16, 1472}) {
    const auto snapshot = generate_checked(
        {.family = Family::Hazard, .tile_count = tiles, .transfers_per_phase = 200, .phases = 3, .seed = tiles});
    for (const auto& problem : snapshot.phases) {
      EXPECT_GE(dependent_pairs(problem), 100u) << tiles << " tiles, phase " << problem.phase;
    }
  }
}

TEST(SnapshotGen, MixHoldsRepeatMulticastAndHazardTransfers) {
  const auto snapshot =
      generate_checked({.family = Family::Mix, .tile_count = 256, .transfers_per_phase = 500, .phases = 24});
  std::size_t repeated = 0;
  std::size_t multicast = 0;
  std::size_t hazard = 0;
  for (const auto& problem : snapshot.phases) {
    for (const auto& t : problem.transfers) {
      repeated += t.source_addresses.size() > 1;
      multicast += t.destinations.size() > 1;
      hazard += t.source_addresses[0] >= 0x90000;
    }
  }
  EXPECT_GT(repeated, 0u);
  EXPECT_GT(multicast, 0u);
  EXPECT_GT(hazard, 0u);
}

// --- The program -----------------------------------------------------------

std::string temp_path(const std::string& name) { return testing::TempDir() + "tarn-snapshot-gen-" + name; }

TEST(SnapshotGenProgram, WritesTheLibrarySnapshotToAFileOrStandardOutput) {
  // Over a mebibyte, so the text crosses block boundaries.
  const GeneratorOptions options{.family = Family::Mix, .tile_count = 1472, .transfers_per_phase = 4000,
                                 .phases = 3, .seed = 77};
  const auto expected = tarn_snapshot_gen::generate(options);
  ASSERT_TRUE(expected);
  ASSERT_GT(expected->size(), 1u << 21);
  const std::vector<std::string> args{"--family", "mix", "--tiles", "1472", "--transfers", "4000",
                                      "--phases", "3",   "--seed",  "77"};

  const std::string path = temp_path("file.json");
  auto with_file = args;
  with_file.insert(with_file.end(), {"-o", path});
  const auto to_file = run_process(kProgram, with_file);
  EXPECT_EQ(to_file.status, 0) << to_file.err;
  EXPECT_EQ(to_file.out, "");
  EXPECT_EQ(to_file.err, "");
  EXPECT_TRUE(tarn_test_support::slurp(path) == *expected);
  std::remove(path.c_str());

  auto with_dash = args;
  with_dash.insert(with_dash.end(), {"--output", "-"});
  const auto to_stdout = run_process(kProgram, with_dash);
  EXPECT_EQ(to_stdout.status, 0) << to_stdout.err;
  EXPECT_TRUE(to_stdout.out == *expected);
  EXPECT_EQ(run_process(kProgram, args).out, to_stdout.out) << "standard output is the default";
}

TEST(SnapshotGenProgram, NumbersAreDecimalAndDefaultsAreDocumented) {
  const auto result = run_process(kProgram, {"--tiles", "010", "--transfers", "0"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "{\"schema_version\":3,\"tile_count\":10,\"phases\":[\n{\"phase\":0,\"transfers\":[\n]}\n]}\n");

  const auto help = run_process(kProgram, {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  for (const std::string text : {"Usage: tarn-snapshot-gen [OPTIONS]", "halo,all-to-all,broadcast,ring,gather,paired,"
                                 "repeat,hazard,mix}=mix", "--tiles TILES=1472", "--transfers TRANSFERS=1000",
                                 "--phases PHASES=1", "--seed SEED=1", "--paired-percent PERCENT=0",
                                 "-o,--output PATH=-"}) {
    EXPECT_NE(help.out.find(text), std::string::npos) << text << "\n" << help.out;
  }
  const auto version = run_process(kProgram, {"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "tarn-snapshot-gen 0.1.0\n");
}

struct UsageErrorCase {
  std::vector<std::string> args;
  std::string message;  // part of the parser's message on standard error
};

void PrintTo(const UsageErrorCase& c, std::ostream* os) {
  for (const auto& a : c.args) *os << "'" << a << "' ";
}

class SnapshotGenUsageErrors : public testing::TestWithParam<UsageErrorCase> {};

TEST_P(SnapshotGenUsageErrors, ExitTwoWithTheMessageAndNoOutput) {
  const std::string path = temp_path("usage-error.json");
  std::remove(path.c_str());
  std::vector<std::string> args{"-o", path};
  args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
  const auto result = run_process(kProgram, args);
  EXPECT_EQ(result.status, 2) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_NE(result.err.find(GetParam().message), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("Usage: tarn-snapshot-gen [OPTIONS]"), std::string::npos) << result.err;
  EXPECT_FALSE(std::filesystem::exists(path));
}

INSTANTIATE_TEST_SUITE_P(
    SnapshotGenProgram, SnapshotGenUsageErrors,
    testing::Values(UsageErrorCase{{"--tiles", "0"}, "--tiles"}, UsageErrorCase{{"--tiles", "1473"}, "--tiles"},
                    UsageErrorCase{{"--tiles", "0x10"}, "--tiles"}, UsageErrorCase{{"--tiles", ""}, "--tiles"},
                    UsageErrorCase{{"--tiles", "-1"}, "--tiles"}, UsageErrorCase{{"--tiles", " 3"}, "--tiles"},
                    UsageErrorCase{{"--tiles", "+5"}, "--tiles"},
                    UsageErrorCase{{"--transfers", "4294967296"}, "--transfers"},
                    UsageErrorCase{{"--transfers", "1.5"}, "--transfers"},
                    UsageErrorCase{{"--phases", "1e3"}, "--phases"},
                    UsageErrorCase{{"--seed", "18446744073709551616"}, "--seed"},
                    UsageErrorCase{{"--seed", "-1"}, "--seed"},
                    UsageErrorCase{{"--seed", "1", "--seed", "2"}, "--seed"},
                    UsageErrorCase{{"--paired-percent", "101"}, "--paired-percent"},
                    UsageErrorCase{{"--family", "bogus"}, "halo,all-to-all,broadcast"},
                    UsageErrorCase{{"--family", "Halo"}, "--family"},
                    UsageErrorCase{{"--family"}, "--family"},
                    UsageErrorCase{{"snapshot.json"}, "snapshot.json"},
                    UsageErrorCase{{"--bogus"}, "--bogus"}));

struct OutputFailureCase {
  std::string path;
  std::string err;  // the start of standard error
};

TEST(SnapshotGenProgram, OutputThatCannotBeWrittenExitsOne) {
  for (const auto& c : {
           OutputFailureCase{"/nonexistent-dir/snapshot.json",
                             "Error: create /nonexistent-dir/snapshot.json\n\nCaused by:\n    No such file or "
                             "directory (os error 2)\n"},
           OutputFailureCase{testing::TempDir(), "Error: create " + testing::TempDir() + "\n\nCaused by:\n    Is a "
                                                 "directory (os error 21)\n"},
           OutputFailureCase{"/dev/full",
                             "Error: write /dev/full\n\nCaused by:\n    No space left on device (os error 28)\n"},
       }) {
    const auto result = run_process(kProgram, {"--tiles", "16", "--transfers", "100", "-o", c.path});
    EXPECT_EQ(result.status, 1) << c.path;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, c.err);
  }
}

// Every command in examples/README.md writes exactly the bundled file it names.
TEST(SnapshotGenProgram, BundledExamplesAreWhatTheirCommandsWrite) {
  std::ifstream readme(std::string(TARN_SOURCE_DIR) + "/examples/README.md");
  ASSERT_TRUE(readme) << "examples/README.md is missing";
  std::size_t commands = 0;
  for (std::string line; std::getline(readme, line);) {
    if (!line.starts_with("tarn-snapshot-gen ")) continue;
    ++commands;
    std::istringstream words(line.substr(std::string("tarn-snapshot-gen ").size()));
    std::vector<std::string> args;
    std::string path;
    for (std::string word; words >> word;) {
      if (word == "-o" && words >> path) continue;
      args.push_back(word);
    }
    ASSERT_FALSE(path.empty()) << line;
    const auto result = run_process(kProgram, args);
    EXPECT_EQ(result.status, 0) << line << "\n" << result.err;
    EXPECT_TRUE(result.out == tarn_test_support::slurp(std::string(TARN_SOURCE_DIR) + "/" + path)) << line;
  }
  EXPECT_GT(commands, 0u);
}

}  // namespace
