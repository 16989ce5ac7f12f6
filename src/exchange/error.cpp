#include "exchange/error.h"

#include <fmt/format.h>

namespace tarn_exchange {
namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

}  // namespace

std::string ExchangeError::message() const {
  return std::visit(
      Overloaded{
          [](const ValidationBudgetExceeded&) -> std::string {
            return "exchange incremental-encoding work budget exhausted";
          },
          [](const Tile& e) { return fmt::format("logical tile {} is out of range", e.tile); },
          [](const DuplicateTile&) -> std::string { return "exchange endpoints must be distinct"; },
          [](const Count& e) {
            return fmt::format("exchange count {} is outside 1..={}", e.count, kMaximumExchangeCount);
          },
          [](const ReceiverSet&) -> std::string { return "invalid multicast receiver set"; },
          [](const Schedule& e) { return fmt::format("exchange schedule is not encodable: {}", e.message); },
          [](const PlanOffsetRange& e) {
            return fmt::format(
                "exchange event offset {} cycles from the phase-entry sync exceeds the encodable "
                "maximum of {} cycles",
                e.cycles, e.maximum);
          },
          [](const Address& e) { return fmt::format("tile address 0x{:x} is not encodable", e.address); },
          [](const HostPacket&) -> std::string { return "host exchange address or length is not encodable"; },
      },
      value);
}

std::string ExchangeError::debug_string() const {
  return std::visit(
      Overloaded{
          [](const ValidationBudgetExceeded&) -> std::string { return "ValidationBudgetExceeded"; },
          [](const Tile& e) { return fmt::format("Tile({})", e.tile); },
          [](const DuplicateTile&) -> std::string { return "DuplicateTile"; },
          [](const Count& e) { return fmt::format("Count({})", e.count); },
          [](const ReceiverSet&) -> std::string { return "ReceiverSet"; },
          [](const Schedule& e) { return fmt::format("Schedule({:?})", e.message); },
          [](const PlanOffsetRange& e) {
            return fmt::format("PlanOffsetRange {{ cycles: {}, maximum: {} }}", e.cycles, e.maximum);
          },
          [](const Address& e) { return fmt::format("Address({})", e.address); },
          [](const HostPacket&) -> std::string { return "HostPacket"; },
      },
      value);
}

bool ExchangeError::is_schedule(std::string_view text) const {
  const auto* schedule = std::get_if<Schedule>(&value);
  return schedule != nullptr && schedule->message == text;
}

}  // namespace tarn_exchange
