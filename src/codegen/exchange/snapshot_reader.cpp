// Placeholder until the reader lands.
#include "codegen/exchange/snapshot_reader.h"

namespace tarn_codegen::exchange {
std::expected<ExchangeScheduleSnapshot, SnapshotReadError> parse_snapshot(std::string_view) {
  return std::unexpected(SnapshotReadError{SnapshotReadError::Kind::Syntax, "not built yet", 1, 1});
}
std::expected<ExchangeScheduleSnapshot, tarn_runtime::ErrorChain> read_snapshot_file(const std::string& path) {
  return std::unexpected(tarn_runtime::ErrorChain("not built yet").context("parse " + path));
}
}  // namespace tarn_codegen::exchange
