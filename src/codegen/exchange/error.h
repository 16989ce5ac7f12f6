// ExchangeLoweringError: the error value of the exchange scheduler module.
//
// Snapshot validation, the scheduler core, improvement, reuse and schedule
// validation all return it, and the benchmark prints its display text at the
// end of a failed run. `Exchange` wraps an ExchangeError unchanged and shows
// exactly its text. No variant exposes an underlying cause: a wrapped error is
// visible only through the display text.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <variant>

#include "exchange/error.h"

namespace tarn_codegen::exchange {

// A storage-layer error of the code generator. Nothing in this system raises
// one; the variant exists so the type has its full shape.
struct StorageError {
  std::string message;
  friend bool operator==(const StorageError&, const StorageError&) = default;
};

struct ExchangeLoweringError {
  struct Exchange {
    tarn_exchange::ExchangeError error;
    friend bool operator==(const Exchange&, const Exchange&) = default;
  };
  struct Storage {
    StorageError error;
    friend bool operator==(const Storage&, const Storage&) = default;
  };
  struct UnplacedShard {
    friend bool operator==(const UnplacedShard&, const UnplacedShard&) = default;
  };
  struct InvalidDestination {
    friend bool operator==(const InvalidDestination&, const InvalidDestination&) = default;
  };
  struct UnalignedPayload {
    friend bool operator==(const UnalignedPayload&, const UnalignedPayload&) = default;
  };
  struct SizeMismatch {
    friend bool operator==(const SizeMismatch&, const SizeMismatch&) = default;
  };
  struct Overflow {
    friend bool operator==(const Overflow&, const Overflow&) = default;
  };
  struct IncompatibleRepeatRows {
    friend bool operator==(const IncompatibleRepeatRows&, const IncompatibleRepeatRows&) = default;
  };
  struct DiagnosticTile {
    std::uint16_t tile;
    friend bool operator==(const DiagnosticTile&, const DiagnosticTile&) = default;
  };
  struct InvalidSnapshot {
    std::string message;
    friend bool operator==(const InvalidSnapshot&, const InvalidSnapshot&) = default;
  };
  struct Invariant {
    std::string message;
    friend bool operator==(const Invariant&, const Invariant&) = default;
  };

  using Variant = std::variant<Exchange, Storage, UnplacedShard, InvalidDestination, UnalignedPayload,
                               SizeMismatch, Overflow, IncompatibleRepeatRows, DiagnosticTile,
                               InvalidSnapshot, Invariant>;
  Variant value;

  // Any variant converts implicitly: `return ExchangeLoweringError::Overflow{};`.
  template <class Alternative>
    requires(std::is_same_v<std::remove_cvref_t<Alternative>, Exchange> ||
             std::is_same_v<std::remove_cvref_t<Alternative>, Storage> ||
             std::is_same_v<std::remove_cvref_t<Alternative>, UnplacedShard> ||
             std::is_same_v<std::remove_cvref_t<Alternative>, InvalidDestination> ||
             std::is_same_v<std::remove_cvref_t<Alternative>, UnalignedPayload> ||
             std::is_same_v<std::remove_cvref_t<Alternative>, SizeMismatch> ||
             std::is_same_v<std::remove_cvref_t<Alternative>, Overflow> ||
             std::is_same_v<std::remove_cvref_t<Alternative>, IncompatibleRepeatRows> ||
             std::is_same_v<std::remove_cvref_t<Alternative>, DiagnosticTile> ||
             std::is_same_v<std::remove_cvref_t<Alternative>, InvalidSnapshot> ||
             std::is_same_v<std::remove_cvref_t<Alternative>, Invariant>)
  ExchangeLoweringError(Alternative&& alternative)  // NOLINT: implicit by design
      : value(std::in_place_type<std::remove_cvref_t<Alternative>>, std::forward<Alternative>(alternative)) {}
  // An exchange-library error, wrapped unchanged.
  ExchangeLoweringError(tarn_exchange::ExchangeError e)  // NOLINT: implicit by design
      : value(Exchange{std::move(e)}) {}

  // The display text, for example "invalid exchange-schedule snapshot: duplicate phase 7".
  [[nodiscard]] std::string message() const;
  // The variant name, with the payload's debug form in parentheses when it has one.
  [[nodiscard]] std::string debug_string() const;

  friend bool operator==(const ExchangeLoweringError&, const ExchangeLoweringError&) = default;
};

[[nodiscard]] inline ExchangeLoweringError invalid_snapshot(std::string message) {
  return ExchangeLoweringError::InvalidSnapshot{std::move(message)};
}
[[nodiscard]] inline ExchangeLoweringError invariant_failed(std::string message) {
  return ExchangeLoweringError::Invariant{std::move(message)};
}
[[nodiscard]] inline ExchangeLoweringError overflow_error() { return ExchangeLoweringError::Overflow{}; }

}  // namespace tarn_codegen::exchange
