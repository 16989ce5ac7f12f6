// Reading an exchange-schedule snapshot from JSON text or a file.
//
// Accepts each record as an object (keys in any order, unknown keys skipped
// whatever their value, but that value must still be valid JSON) or as an
// array of its fields in declaration order. Checks shape and field ranges
// only; validation is a separate step. Every failure names its position as
// " at line {line} column {column}"; input that is not JSON (or nests more
// than 128 arrays and objects) is reported as a syntax error even where a
// shape error comes earlier in the text.
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

// Readable bytes the reader needs after the end of the text it parses in
// place: its vector loads run past the end. Their content does not matter.
inline constexpr std::size_t kSnapshotPadding = 64;

// Parses a whole snapshot document. Copies the text into a padded buffer
// first; large documents should come through parse_padded_snapshot.
[[nodiscard]] std::expected<ExchangeScheduleSnapshot, SnapshotReadError> parse_snapshot(std::string_view json);

// Parses a whole snapshot document in place; the kSnapshotPadding bytes after
// `json` must be readable.
[[nodiscard]] std::expected<ExchangeScheduleSnapshot, SnapshotReadError> parse_padded_snapshot(
    std::string_view json);

// Reads the file at `path`: "open {path}" over the operating system's error
// when the bytes cannot be read, "parse {path}" over the reader's message.
[[nodiscard]] std::expected<ExchangeScheduleSnapshot, tarn_runtime::ErrorChain> read_snapshot_file(
    const std::string& path);

// The JSON kernel compiled into the reader ("icelake", "haswell", ...). The
// reader's value decoding is built with our own target flags; on a baseline
// target this is "fallback", the portable and much slower code.
[[nodiscard]] std::string_view snapshot_reader_kernel();

}  // namespace tarn_codegen::exchange
