// Reading an exchange-schedule snapshot from JSON text or a file.
//
// Accepts each record as an object (keys in any order, unknown keys skipped
// whatever their value) or as an array of its fields in declaration order.
// Checks shape and field ranges only; validation is a separate step. Every
// failure names its position as " at line {line} column {column}"; input that
// is not JSON is reported as a syntax error even where a shape error comes
// earlier in the text.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "codegen/exchange/snapshot.h"
#include "runtime/error_chain.h"

namespace tarn_codegen::exchange {

struct SnapshotReadError {
  enum class Kind {
    Syntax,  // the text is not JSON, or is nested deeper than the reader allows
    Shape,   // JSON, but not a snapshot: wrong type, range, length, keys or variant
  };
  Kind kind;
  std::string message;  // complete, position included
  std::size_t line;     // 1-based
  std::size_t column;   // 1-based, in bytes

  friend bool operator==(const SnapshotReadError&, const SnapshotReadError&) = default;
};

// Parses a whole snapshot document.
[[nodiscard]] std::expected<ExchangeScheduleSnapshot, SnapshotReadError> parse_snapshot(std::string_view json);

// Reads the file at `path`: "open {path}" over the operating system's error
// when the bytes cannot be read, "parse {path}" over the reader's message.
[[nodiscard]] std::expected<ExchangeScheduleSnapshot, tarn_runtime::ErrorChain> read_snapshot_file(
    const std::string& path);

}  // namespace tarn_codegen::exchange
