#include "codegen/exchange/error.h"

#include <gtest/gtest.h>

namespace {

using tarn_codegen::exchange::ExchangeLoweringError;
using tarn_exchange::ExchangeError;

TEST(ExchangeLoweringError, DisplayAndDebugTextsOfEveryVariant) {
  struct Case {
    ExchangeLoweringError error;
    std::string display;
    std::string debug;
  };
  const Case cases[] = {
      // A wrapped exchange error shows exactly its own text, nothing before it.
      {ExchangeError{ExchangeError::Count{4149}}, "exchange count 4149 is outside 1..=4148",
       "Exchange(Count(4149))"},
      {ExchangeLoweringError::Storage{{"tensor storage exhausted"}}, "tensor storage exhausted",
       "Storage(\"tensor storage exhausted\")"},
      {ExchangeLoweringError::UnplacedShard{}, "exchange refers to an unplaced shard", "UnplacedShard"},
      {ExchangeLoweringError::InvalidDestination{}, "exchange destination is not writable", "InvalidDestination"},
      {ExchangeLoweringError::UnalignedPayload{}, "exchange payload is not a nonempty whole number of words",
       "UnalignedPayload"},
      {ExchangeLoweringError::SizeMismatch{}, "exchange source and destination byte counts differ", "SizeMismatch"},
      {ExchangeLoweringError::Overflow{}, "exchange address arithmetic overflowed", "Overflow"},
      {ExchangeLoweringError::IncompatibleRepeatRows{}, "structured-repeat exchange rows have incompatible shapes",
       "IncompatibleRepeatRows"},
      {ExchangeLoweringError::DiagnosticTile{9}, "exchange diagnostic refers to missing tile 9", "DiagnosticTile(9)"},
      {tarn_codegen::exchange::invalid_snapshot("duplicate phase 7"),
       "invalid exchange-schedule snapshot: duplicate phase 7", "InvalidSnapshot(\"duplicate phase 7\")"},
      {tarn_codegen::exchange::invariant_failed("phase \"x\" lost a row"),
       "exchange-schedule invariant failed: phase \"x\" lost a row", "Invariant(\"phase \\\"x\\\" lost a row\")"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.message(), c.display);
    EXPECT_EQ(c.error.debug_string(), c.debug);
  }
}

TEST(ExchangeLoweringError, ValuesCompareByVariantAndPayload) {
  EXPECT_EQ(tarn_codegen::exchange::invalid_snapshot("a"), tarn_codegen::exchange::invalid_snapshot("a"));
  EXPECT_NE(tarn_codegen::exchange::invalid_snapshot("a"), tarn_codegen::exchange::invariant_failed("a"));
  EXPECT_NE(ExchangeLoweringError(ExchangeError{ExchangeError::Tile{1}}),
            ExchangeLoweringError(ExchangeError{ExchangeError::Tile{2}}));
}

}  // namespace
