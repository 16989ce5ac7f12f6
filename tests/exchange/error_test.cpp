#include "exchange/error.h"

#include <gtest/gtest.h>

namespace {

using tarn_exchange::ExchangeError;

TEST(ExchangeError, DisplayAndDebugTextsOfEveryVariant) {
  struct Case {
    ExchangeError error;
    std::string display;
    std::string debug;
  };
  const Case cases[] = {
      {{ExchangeError::ValidationBudgetExceeded{}},
       "exchange incremental-encoding work budget exhausted",
       "ValidationBudgetExceeded"},
      {{ExchangeError::Tile{1472}}, "logical tile 1472 is out of range", "Tile(1472)"},
      {{ExchangeError::DuplicateTile{}}, "exchange endpoints must be distinct", "DuplicateTile"},
      {{ExchangeError::Count{4149}}, "exchange count 4149 is outside 1..=4148", "Count(4149)"},
      {{ExchangeError::Count{0}}, "exchange count 0 is outside 1..=4148", "Count(0)"},
      {{ExchangeError::ReceiverSet{}}, "invalid multicast receiver set", "ReceiverSet"},
      {{ExchangeError::Schedule{"truncated SENDPICP payload"}},
       "exchange schedule is not encodable: truncated SENDPICP payload",
       "Schedule(\"truncated SENDPICP payload\")"},
      {{ExchangeError::PlanOffsetRange{70000, 65535}},
       "exchange event offset 70000 cycles from the phase-entry sync exceeds the encodable maximum of 65535 cycles",
       "PlanOffsetRange { cycles: 70000, maximum: 65535 }"},
      {{ExchangeError::Address{0x100000}}, "tile address 0x100000 is not encodable", "Address(1048576)"},
      {{ExchangeError::Address{0xABCDEF}}, "tile address 0xabcdef is not encodable", "Address(11259375)"},
      {{ExchangeError::HostPacket{}}, "host exchange address or length is not encodable", "HostPacket"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.message(), c.display);
    EXPECT_EQ(c.error.debug_string(), c.debug);
  }
}

TEST(ExchangeError, ScheduleTextsCompareExactly) {
  const auto error = tarn_exchange::schedule_error("SENDPICP instruction alignment");
  EXPECT_TRUE(error.is_schedule("SENDPICP instruction alignment"));
  EXPECT_FALSE(error.is_schedule("SENDPICP instruction alignment "));
  EXPECT_FALSE(tarn_exchange::count_error(3).is_schedule("SENDPICP instruction alignment"));
  EXPECT_EQ(error, tarn_exchange::schedule_error("SENDPICP instruction alignment"));
  EXPECT_NE(error, tarn_exchange::schedule_error("sender payload overflow"));
}

}  // namespace
