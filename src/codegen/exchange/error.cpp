#include "codegen/exchange/error.h"

#include <fmt/format.h>

namespace tarn_codegen::exchange {
namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

using E = ExchangeLoweringError;

}  // namespace

std::string ExchangeLoweringError::message() const {
  return std::visit(
      Overloaded{
          [](const E::Exchange& e) { return e.error.message(); },
          [](const E::Storage& e) { return e.error.message; },
          [](const E::UnplacedShard&) -> std::string { return "exchange refers to an unplaced shard"; },
          [](const E::InvalidDestination&) -> std::string { return "exchange destination is not writable"; },
          [](const E::UnalignedPayload&) -> std::string {
            return "exchange payload is not a nonempty whole number of words";
          },
          [](const E::SizeMismatch&) -> std::string {
            return "exchange source and destination byte counts differ";
          },
          [](const E::Overflow&) -> std::string { return "exchange address arithmetic overflowed"; },
          [](const E::IncompatibleRepeatRows&) -> std::string {
            return "structured-repeat exchange rows have incompatible shapes";
          },
          [](const E::DiagnosticTile& e) {
            return fmt::format("exchange diagnostic refers to missing tile {}", e.tile);
          },
          [](const E::InvalidSnapshot& e) {
            return fmt::format("invalid exchange-schedule snapshot: {}", e.message);
          },
          [](const E::Invariant& e) { return fmt::format("exchange-schedule invariant failed: {}", e.message); },
      },
      value);
}

std::string ExchangeLoweringError::debug_string() const {
  return std::visit(
      Overloaded{
          [](const E::Exchange& e) { return fmt::format("Exchange({})", e.error.debug_string()); },
          [](const E::Storage& e) { return fmt::format("Storage({:?})", e.error.message); },
          [](const E::UnplacedShard&) -> std::string { return "UnplacedShard"; },
          [](const E::InvalidDestination&) -> std::string { return "InvalidDestination"; },
          [](const E::UnalignedPayload&) -> std::string { return "UnalignedPayload"; },
          [](const E::SizeMismatch&) -> std::string { return "SizeMismatch"; },
          [](const E::Overflow&) -> std::string { return "Overflow"; },
          [](const E::IncompatibleRepeatRows&) -> std::string { return "IncompatibleRepeatRows"; },
          [](const E::DiagnosticTile& e) { return fmt::format("DiagnosticTile({})", e.tile); },
          [](const E::InvalidSnapshot& e) { return fmt::format("InvalidSnapshot({:?})", e.message); },
          [](const E::Invariant& e) { return fmt::format("Invariant({:?})", e.message); },
      },
      value);
}

}  // namespace tarn_codegen::exchange
