// Decoding exchange programs back into instructions with their cycle spans,
// rendering them as text, and proving that an encoded program does exactly
// what its schedule says.
//
// The decoder classifies words exactly as exchange/words.h does and never
// rejects a word it does not know (it becomes Unknown); it fails only on a
// SENDPICP cut short or on cycle and address arithmetic leaving u32.
// validate_tile_program compares the program's effect, not its words: the
// incoming controls and the cycles they take effect at, the send intervals
// against the schedule's sender rows, and the horizon. A control mismatch is
// also written as a debug event of target "tarn_exchange::diagnostic" with
// the neighbourhood of the first difference. Every failure is an
// ExchangeError::Schedule value with a fixed text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "exchange/error.h"
#include "exchange/schedule.h"

namespace tarn_exchange {

enum class SendEncoding : std::uint8_t { Explicit, Offset, Pic, PicPair };
enum class IncomingControlStream : std::uint8_t { Pic, Xpic };

struct IncomingControl {
  IncomingControlStream stream = IncomingControlStream::Pic;
  std::uint32_t value = 0;
  friend bool operator==(const IncomingControl&, const IncomingControl&) = default;
};

struct PlanOperation {
  struct Delay {
    friend bool operator==(const Delay&, const Delay&) = default;
  };
  struct Send {
    SendEncoding encoding = SendEncoding::Explicit;
    std::uint32_t words = 0;
    std::uint32_t raw_operand = 0;
    std::optional<std::uint8_t> send_control;
    std::vector<IncomingControl> controls;
    friend bool operator==(const Send&, const Send&) = default;
  };
  struct Sync {
    std::uint8_t operand = 0;
    friend bool operator==(const Sync&, const Sync&) = default;
  };
  struct Return {
    friend bool operator==(const Return&, const Return&) = default;
  };
  struct Unknown {
    std::uint32_t word = 0;
    friend bool operator==(const Unknown&, const Unknown&) = default;
  };
  std::variant<Delay, IncomingControl, Send, Sync, Return, Unknown> value;
  friend bool operator==(const PlanOperation&, const PlanOperation&) = default;
};

struct DecodedPlanInstruction {
  PlanOperation operation;
  std::optional<std::uint32_t> address;  // byte address of the instruction
  std::uint32_t word_index = 0;          // index of its first word
  std::uint32_t start = 0;               // cycle span start
  std::uint32_t end = 0;                 // start + cycles
  friend bool operator==(const DecodedPlanInstruction&, const DecodedPlanInstruction&) = default;
};

struct PlanProgramDiagnostic {
  std::vector<DecodedPlanInstruction> instructions;
  std::uint32_t horizon = 0;     // end of the last instruction; 0 when empty
  std::uint32_t word_count = 0;  // words decoded

  // One line per instruction, each ended by a newline: the location
  // ("0x00104" with an address, "word+1" without), the cycle span and the
  // operation, e.g. "word+0 cycles=0..10 Delay" or
  // "0x00104 cycles=10..10 Return".
  [[nodiscard]] std::string render() const;
};

// One record per instruction (a SENDPICP takes two words). With
// `with_addresses`, the instruction starting at word i has the address
// base_address + 4 * i.
[[nodiscard]] std::expected<PlanProgramDiagnostic, ExchangeError> diagnose_plan_program(
    std::span<const std::uint32_t> words, bool with_addresses, std::uint32_t base_address);

// Decodes `words` (without addresses) and checks them against `schedule`,
// reading only its sender rows, receive events and horizon. `tile` only
// labels the debug event. Returns the decoding when the program matches.
[[nodiscard]] std::expected<PlanProgramDiagnostic, ExchangeError> validate_tile_program(
    std::size_t tile, const TileProgramSchedule& schedule, std::span<const std::uint32_t> words);

}  // namespace tarn_exchange
