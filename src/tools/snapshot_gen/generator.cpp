#include "tools/snapshot_gen/generator.h"

#include <charconv>
#include <cstring>
#include <utility>
#include <vector>

#include "tools/snapshot_gen/families.h"

namespace tarn_snapshot_gen {
namespace {

namespace ex = tarn_codegen::exchange;

constexpr std::array<std::string_view, kFamilies.size()> kFamilyNames{
    "halo", "all-to-all", "broadcast", "ring", "gather", "paired", "repeat", "hazard", "mix"};

// Formats the snapshot into one large block and hands it to the sink when
// full. The upper bounds below cover a transfer's text whatever its numbers,
// so each transfer is formatted without further checks.
class SnapshotText final : public TransferSink {
 public:
  explicit SnapshotText(const TextSink& sink) : sink_(sink), block_(kBlockBytes) {}

  void begin(std::uint16_t tile_count) {
    put("{\"schema_version\":3,\"tile_count\":");
    put_number(tile_count);
    put(",\"phases\":[\n");
  }

  void begin_phase(std::uint32_t phase) {
    if (phases_++ > 0) put(",\n");
    put("{\"phase\":");
    put_number(phase);
    put(",\"transfers\":[\n");
    transfers_ = 0;
  }

  void add(const ex::ExchangeScheduleTransfer& transfer) override {
    room(kTransferBytes + kAddressBytes * transfer.source_addresses.size() +
         kDestinationBytes * transfer.destinations.size());
    if (transfers_++ > 0) put(",\n");
    put("{\"source\":");
    put_number(transfer.source);
    put(",\"source_addresses\":[");
    for (std::size_t i = 0; i < transfer.source_addresses.size(); ++i) {
      if (i > 0) put(",");
      put_number(transfer.source_addresses[i]);
    }
    put("],\"destinations\":[");
    for (std::size_t i = 0; i < transfer.destinations.size(); ++i) {
      put(i > 0 ? ",{\"tile\":" : "{\"tile\":");
      put_number(transfer.destinations[i].tile);
      put(",\"address\":");
      put_number(transfer.destinations[i].address);
      put("}");
    }
    put("],\"words\":");
    put_number(transfer.words);
    put(",\"width\":\"");
    put(ex::to_string(transfer.width));
    put("\"}");
  }

  void end_phase() { put(transfers_ > 0 ? "\n]}" : "]}"); }

  void end() { put(phases_ > 0 ? "\n]}\n" : "]}\n"); }

  // Hands over what is buffered; false once the sink has refused a block.
  bool flush() {
    if (!failed_ && used_ > 0) failed_ = !sink_(std::string_view(block_.data(), used_));
    used_ = 0;
    return !failed_;
  }

  [[nodiscard]] bool failed() const { return failed_; }

 private:
  static constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
  static constexpr std::size_t kNumberBytes = 20;  // digits of the largest u64
  static constexpr std::size_t kTransferBytes = 160 + 2 * kNumberBytes;
  static constexpr std::size_t kAddressBytes = 1 + kNumberBytes;
  static constexpr std::size_t kDestinationBytes = 32 + 2 * kNumberBytes;

  void room(std::size_t bytes) {
    if (block_.size() - used_ >= bytes) return;
    flush();
    if (block_.size() < bytes) block_.resize(bytes);
  }

  // Short pieces outside add() check their own room.
  void put(std::string_view text) {
    room(text.size());
    std::memcpy(block_.data() + used_, text.data(), text.size());
    used_ += text.size();
  }

  void put_number(std::uint64_t value) {
    room(kNumberBytes);
    char* const at = block_.data() + used_;
    used_ += static_cast<std::size_t>(std::to_chars(at, at + kNumberBytes, value).ptr - at);
  }

  const TextSink& sink_;
  std::vector<char> block_;
  std::size_t used_ = 0;
  bool failed_ = false;
  std::uint64_t phases_ = 0;
  std::uint64_t transfers_ = 0;
};

class Records final : public TransferSink {
 public:
  explicit Records(std::vector<ex::ExchangeScheduleTransfer>& transfers) : transfers_(transfers) {}
  void add(const ex::ExchangeScheduleTransfer& transfer) override { transfers_.push_back(transfer); }

 private:
  std::vector<ex::ExchangeScheduleTransfer>& transfers_;
};

}  // namespace

std::string_view to_string(Family family) { return kFamilyNames[static_cast<std::size_t>(family)]; }

std::optional<Family> parse_family(std::string_view name) {
  for (std::size_t i = 0; i < kFamilies.size(); ++i) {
    if (kFamilyNames[i] == name) return kFamilies[i];
  }
  return std::nullopt;
}

std::expected<void, GeneratorError> check_options(const GeneratorOptions& options) {
  if (options.tile_count < 1 || options.tile_count > kMaxTileCount) {
    return std::unexpected(GeneratorError{GeneratorError::Kind::InvalidOptions,
                                          "tile count " + std::to_string(options.tile_count) + " is outside 1..=" +
                                              std::to_string(kMaxTileCount)});
  }
  if (options.paired_percent > 100) {
    return std::unexpected(GeneratorError{GeneratorError::Kind::InvalidOptions,
                                          "paired percent " + std::to_string(options.paired_percent) +
                                              " is outside 0..=100"});
  }
  if (static_cast<std::size_t>(options.family) >= kFamilies.size()) {
    return std::unexpected(GeneratorError{GeneratorError::Kind::InvalidOptions, "unknown workload family"});
  }
  return {};
}

std::expected<void, GeneratorError> write_snapshot(const GeneratorOptions& options, const TextSink& sink) {
  if (auto checked = check_options(options); !checked) return checked;
  SnapshotText text(sink);
  text.begin(options.tile_count);
  for (std::uint32_t phase = 0; phase < options.phases && !text.failed(); ++phase) {
    text.begin_phase(phase);
    generate_phase(options, phase, text);
    text.end_phase();
  }
  text.end();
  if (!text.flush()) {
    return std::unexpected(GeneratorError{GeneratorError::Kind::OutputStopped, "the output refused the snapshot text"});
  }
  return {};
}

std::expected<std::string, GeneratorError> generate(const GeneratorOptions& options) {
  std::string result;
  auto written = write_snapshot(options, [&result](std::string_view block) {
    result.append(block);
    return true;
  });
  if (!written) return std::unexpected(std::move(written.error()));
  return result;
}

std::expected<ex::ExchangeScheduleSnapshot, GeneratorError> generate_snapshot(const GeneratorOptions& options) {
  if (auto checked = check_options(options); !checked) return std::unexpected(std::move(checked.error()));
  ex::ExchangeScheduleSnapshot snapshot;
  snapshot.schema_version = 3;
  snapshot.tile_count = options.tile_count;
  for (std::uint32_t phase = 0; phase < options.phases; ++phase) {
    auto& problem = snapshot.phases.emplace_back();
    problem.phase = phase;
    Records records(problem.transfers);
    generate_phase(options, phase, records);
  }
  return snapshot;
}

}  // namespace tarn_snapshot_gen
