// ExchangeError: the error value of the exchange-fabric library.
//
// Topology and route builders, the timing model, the instruction-word
// emitters, the encoder, the decoder and the phase program builder all return
// it. Each variant has a fixed display text. A `Schedule` error carries one of
// a fixed set of static texts, which callers compare exactly (the scheduler's
// alignment retry looks for "SENDPICP instruction alignment"). No variant has
// an underlying cause.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <variant>

namespace tarn_exchange {

// Largest payload of one transfer, in 32-bit words.
inline constexpr std::uint32_t kMaximumExchangeCount = 4148;

struct ExchangeError {
  struct ValidationBudgetExceeded {
    friend bool operator==(const ValidationBudgetExceeded&, const ValidationBudgetExceeded&) = default;
  };
  struct Tile {
    std::uint16_t tile;
    friend bool operator==(const Tile&, const Tile&) = default;
  };
  struct DuplicateTile {
    friend bool operator==(const DuplicateTile&, const DuplicateTile&) = default;
  };
  struct Count {
    std::uint32_t count;
    friend bool operator==(const Count&, const Count&) = default;
  };
  struct ReceiverSet {
    friend bool operator==(const ReceiverSet&, const ReceiverSet&) = default;
  };
  struct Schedule {
    std::string_view message;  // a static text, never owned
    friend bool operator==(const Schedule&, const Schedule&) = default;
  };
  struct PlanOffsetRange {
    std::uint32_t cycles;
    std::uint32_t maximum;
    friend bool operator==(const PlanOffsetRange&, const PlanOffsetRange&) = default;
  };
  struct Address {
    std::uint32_t address;
    friend bool operator==(const Address&, const Address&) = default;
  };
  struct HostPacket {
    friend bool operator==(const HostPacket&, const HostPacket&) = default;
  };

  using Variant = std::variant<ValidationBudgetExceeded, Tile, DuplicateTile, Count, ReceiverSet,
                               Schedule, PlanOffsetRange, Address, HostPacket>;
  Variant value;

  // The display text, for example "exchange count 4149 is outside 1..=4148".
  [[nodiscard]] std::string message() const;
  // The variant name and its payload, for example `Count(4149)`.
  [[nodiscard]] std::string debug_string() const;

  // True for a `Schedule` error with exactly this text.
  [[nodiscard]] bool is_schedule(std::string_view text) const;

  friend bool operator==(const ExchangeError&, const ExchangeError&) = default;
};

// Constructors that read like the variants they make.
[[nodiscard]] inline ExchangeError validation_budget_exceeded() { return {ExchangeError::ValidationBudgetExceeded{}}; }
[[nodiscard]] inline ExchangeError tile_error(std::uint16_t tile) { return {ExchangeError::Tile{tile}}; }
[[nodiscard]] inline ExchangeError duplicate_tile_error() { return {ExchangeError::DuplicateTile{}}; }
[[nodiscard]] inline ExchangeError count_error(std::uint32_t count) { return {ExchangeError::Count{count}}; }
[[nodiscard]] inline ExchangeError receiver_set_error() { return {ExchangeError::ReceiverSet{}}; }
[[nodiscard]] inline ExchangeError schedule_error(std::string_view static_text) {
  return {ExchangeError::Schedule{static_text}};
}
[[nodiscard]] inline ExchangeError address_error(std::uint32_t address) { return {ExchangeError::Address{address}}; }

// A `Schedule` failure ready to return from a function giving std::expected.
[[nodiscard]] inline std::unexpected<ExchangeError> schedule_failure(std::string_view static_text) {
  return std::unexpected(schedule_error(static_text));
}

// a + b into `sum`; false when the sum does not fit in 32 bits. Cycle
// arithmetic never wraps silently.
[[nodiscard]] inline bool checked_add(std::uint32_t a, std::uint32_t b, std::uint32_t& sum) {
  return !__builtin_add_overflow(a, b, &sum);
}

}  // namespace tarn_exchange
