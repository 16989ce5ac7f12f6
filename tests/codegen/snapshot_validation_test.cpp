// Snapshot validation: every rule's message, and the order between rules.
#include <gtest/gtest.h>

#include <functional>

#include "codegen/exchange/error.h"
#include "codegen/exchange/snapshot.h"

namespace {

using tarn_codegen::exchange::ExchangeItemWidth;
using tarn_codegen::exchange::ExchangeLoweringError;
using tarn_codegen::exchange::ExchangeScheduleProblem;
using tarn_codegen::exchange::ExchangeScheduleSnapshot;
using tarn_codegen::exchange::ExchangeScheduleTransfer;

ExchangeScheduleTransfer valid_transfer() {
  ExchangeScheduleTransfer t;
  t.source = 2;
  t.source_addresses = {0x1000};
  t.destinations = {{5, 0x2000}};
  t.words = 4;
  t.width = ExchangeItemWidth::Word32;
  return t;
}

ExchangeScheduleSnapshot snapshot_with(ExchangeScheduleTransfer transfer, std::uint16_t tile_count = 8) {
  return ExchangeScheduleSnapshot{3, tile_count, {ExchangeScheduleProblem{7, {std::move(transfer)}}}};
}

std::string outcome(const ExchangeScheduleSnapshot& snapshot) {
  const auto result = snapshot.validate();
  return result ? "ok" : result.error().message();
}

struct Case {
  const char* name;
  std::function<void(ExchangeScheduleTransfer&)> change;
  std::string expected;
};

class TransferRules : public testing::TestWithParam<Case> {};

TEST_P(TransferRules, OneBrokenRuleGivesItsMessage) {
  auto transfer = valid_transfer();
  GetParam().change(transfer);
  EXPECT_EQ(outcome(snapshot_with(transfer)), GetParam().expected);
}

const std::string kPrefix = "invalid exchange-schedule snapshot: phase 7 transfer 0 has ";
const std::string kOverflow = "exchange address arithmetic overflowed";
using T = ExchangeScheduleTransfer;

INSTANTIATE_TEST_SUITE_P(
    Validation, TransferRules,
    testing::Values(
        Case{"valid", [](T&) {}, "ok"},
        Case{"source out of range", [](T& x) { x.source = 8; }, kPrefix + "source tile 8 outside 0..8"},
        Case{"no words", [](T& x) { x.words = 0; }, kPrefix + "invalid word count 0"},
        Case{"too many words", [](T& x) { x.words = 4149; }, kPrefix + "invalid word count 4149"},
        Case{"largest payload", [](T& x) { x.words = 4148; }, "ok"},
        Case{"odd paired payload", [](T& x) { x.width = ExchangeItemWidth::Paired64; x.words = 3; },
             kPrefix + "invalid 3-word paired payload"},
        Case{"odd ordinary payload", [](T& x) { x.words = 3; }, "ok"},
        Case{"no source addresses", [](T& x) { x.source_addresses.clear(); }, kPrefix + "no source addresses"},
        Case{"unaligned source", [](T& x) { x.source_addresses = {0x1002}; },
             kPrefix + "unaligned source address 0x1002"},
        Case{"paired source on 4 bytes", [](T& x) { x.width = ExchangeItemWidth::Paired64; x.source_addresses = {0x1004}; },
             kPrefix + "unaligned source address 0x1004"},
        Case{"ordinary source on 4 bytes", [](T& x) { x.source_addresses = {0x1004}; }, "ok"},
        Case{"second source unaligned", [](T& x) { x.source_addresses = {0x1000, 0xABC1}; },
             kPrefix + "unaligned source address 0xabc1"},
        Case{"source span ends at 2^32", [](T& x) { x.source_addresses = {0xFFFFFFF0}; }, kOverflow},
        Case{"source span ends below 2^32", [](T& x) { x.source_addresses = {0xFFFFFFE0}; }, "ok"},
        // Alignment of one address is checked before the overflow of the next.
        Case{"overflow before a later unaligned source", [](T& x) { x.source_addresses = {0xFFFFFFF0, 0x3}; },
             kOverflow},
        Case{"no destinations", [](T& x) { x.destinations.clear(); }, kPrefix + "no destinations"},
        Case{"destination at the tile count", [](T& x) { x.destinations = {{8, 0x2000}}; },
             kPrefix + "invalid destination tile 8"},
        Case{"lone loopback", [](T& x) { x.destinations = {{2, 0x8000}}; }, kPrefix + "invalid destination tile 2"},
        Case{"loopback in a multicast", [](T& x) { x.destinations = {{5, 0x2000}, {2, 0x8000}}; }, "ok"},
        Case{"loopback onto the sent memory", [](T& x) { x.destinations = {{5, 0x2000}, {2, 0x2000}}; },
             kPrefix + "invalid destination tile 2"},
        Case{"loopback onto a later iteration's memory",
             [](T& x) {
               x.source_addresses = {0x1000, 0x9000};
               x.destinations = {{5, 0x2000}, {2, 0x8000}};
             },
             kPrefix + "invalid destination tile 2"},
        Case{"repeated destination tile", [](T& x) { x.destinations = {{5, 0x2000}, {6, 0x0}, {5, 0x4000}}; },
             kPrefix + "invalid destination tile 5"},
        Case{"unaligned destination", [](T& x) { x.destinations = {{5, 0x2001}}; },
             kPrefix + "unaligned destination address 0x2001"},
        Case{"paired destination on 4 bytes",
             [](T& x) {
               x.width = ExchangeItemWidth::Paired64;
               x.destinations = {{5, 0x2004}};
             },
             kPrefix + "unaligned destination address 0x2004"},
        Case{"destination span ends at 2^32", [](T& x) { x.destinations = {{5, 0xFFFFFFF0}}; }, kOverflow},
        // The tile rules come before the address rules of the same destination.
        Case{"invalid tile before unaligned address", [](T& x) { x.destinations = {{9, 0x3}}; },
             kPrefix + "invalid destination tile 9"},
        Case{"paired", [](T& x) { x.width = ExchangeItemWidth::Paired64; }, "ok"},
        // The word count is checked before the paired parity and the addresses.
        Case{"word count before everything after it",
             [](T& x) {
               x.words = 0;
               x.width = ExchangeItemWidth::Paired64;
               x.source_addresses.clear();
               x.destinations.clear();
             },
             kPrefix + "invalid word count 0"},
        Case{"source addresses before destinations",
             [](T& x) {
               x.source_addresses.clear();
               x.destinations.clear();
             },
             kPrefix + "no source addresses"}),
    [](const testing::TestParamInfo<Case>& param_info) {
      std::string name = param_info.param.name;
      for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      }
      return name;
    });

TEST(Validation, SnapshotRulesComeFirstAndInOrder) {
  auto broken = valid_transfer();
  broken.words = 0;
  EXPECT_EQ(outcome(ExchangeScheduleSnapshot{2, 0, {}}),
            "invalid exchange-schedule snapshot: unsupported schema version 2 (expected 3)");
  EXPECT_EQ(outcome(ExchangeScheduleSnapshot{4, 8, {}}),
            "invalid exchange-schedule snapshot: unsupported schema version 4 (expected 3)");
  for (const std::uint16_t tiles : {0, 1473, 65535}) {
    EXPECT_EQ(outcome(ExchangeScheduleSnapshot{3, tiles, {}}),
              "invalid exchange-schedule snapshot: tile count " + std::to_string(tiles) +
                  " is outside the S1472 topology");
  }
  EXPECT_EQ(outcome(ExchangeScheduleSnapshot{3, 1, {}}), "ok");
  EXPECT_EQ(outcome(ExchangeScheduleSnapshot{3, 1472, {ExchangeScheduleProblem{0, {}}}}), "ok");

  // A duplicate phase is reported after the first occurrence's transfers were checked.
  const ExchangeScheduleProblem good{7, {valid_transfer()}};
  const ExchangeScheduleProblem bad{7, {broken}};
  EXPECT_EQ(outcome(ExchangeScheduleSnapshot{3, 8, {good, good}}),
            "invalid exchange-schedule snapshot: duplicate phase 7");
  EXPECT_EQ(outcome(ExchangeScheduleSnapshot{3, 8, {bad, good}}), kPrefix + "invalid word count 0");
  EXPECT_EQ(outcome(ExchangeScheduleSnapshot{3, 8, {good, bad}}),
            "invalid exchange-schedule snapshot: duplicate phase 7");

  // The transfer index counts within its phase.
  ExchangeScheduleSnapshot later{3, 8, {good, ExchangeScheduleProblem{9, {valid_transfer(), broken}}}};
  EXPECT_EQ(outcome(later), "invalid exchange-schedule snapshot: phase 9 transfer 1 has invalid word count 0");
}

TEST(Validation, PairedSourceOfTheLastTileOfAnOddTileCountValidates) {
  // Its partner lies at the tile count; scheduling rejects it, validation does not.
  auto transfer = valid_transfer();
  transfer.width = ExchangeItemWidth::Paired64;
  transfer.source = 6;
  transfer.destinations = {{0, 0x2000}};
  EXPECT_EQ(outcome(snapshot_with(transfer, 7)), "ok");
}

}  // namespace
