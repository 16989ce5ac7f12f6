#include "exchange/topology.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>

#include "runtime/logging.h"

namespace tarn_exchange {
namespace {

// A row filled word by word. Words past the ninth are counted but not kept, so
// that a builder can tell that its row would not fit.
struct RowSink {
  Row row{};
  std::size_t length = 0;

  void push_back(std::uint32_t word) {
    if (length < row.size()) row[length] = word;
    ++length;
  }
  [[nodiscard]] std::size_t size() const { return length; }
};

[[nodiscard]] std::uint32_t explicit_send_word(std::uint32_t count, std::uint32_t control) {
  return 0x78000000u | ((std::min(count, 64u) - 1) << 21) | control;
}

// Appends the payload sends of `count` words: an explicit send of up to 64
// words, then one Offset continuation for the rest (at most 4084 words).
void append_payload(RowSink& sink, std::uint32_t count, std::uint32_t control) {
  sink.push_back(explicit_send_word(count, control));
  if (count > 64) sink.push_back(offset_send_word(count - 64, control));
}

[[nodiscard]] bool count_in_range(std::uint32_t count) { return count != 0 && count <= kMaximumExchangeCount; }

// Words 2 to 5 of an ordinary receiver row after its source selection: the
// teardown and the receive pointer (value `pointer_value`) in the order the
// payload length asks for, the wait for the data, and Return. `col2` is twice
// the receiver's column.
template <std::size_t N>
void fill_receive_body(std::array<std::uint32_t, N>& words, std::uint32_t count, std::uint32_t col2,
                       std::uint32_t pointer_value) {
  if (count < 52) {
    words[2] = 0x64000640u | ((count - 1) << 14);
    words[3] = 0x60000000u | pointer_value | (((col2 - count + 51) & 0x7fu) << 19);
    words[4] = delay_word(count + 5);
  } else {
    words[2] = 0x60000000u | pointer_value | (((col2 + 51) & 0x7fu) << 19);
    words[3] = 0x64000640u | ((std::max(count, 53u) - 53) << 14);
    words[4] = delay_word(57);
  }
  words[5] = kReturnWord;
}

}  // namespace

std::expected<Topology, ExchangeError> Topology::create(std::span<const std::uint16_t> tiles) {
  if (tiles.empty()) return std::unexpected(receiver_set_error());
  std::vector<std::uint64_t> seen(65536 / 64, 0);
  for (const std::uint16_t id : tiles) {
    std::uint64_t& bits = seen[id >> 6];
    const std::uint64_t bit = std::uint64_t{1} << (id & 63);
    if ((bits & bit) != 0) return std::unexpected(receiver_set_error());
    bits |= bit;
  }
  return Topology(std::vector<std::uint16_t>(tiles.begin(), tiles.end()));
}

Topology Topology::standard_1472() {
  std::vector<std::uint16_t> tiles(kStandardTileCount);
  for (std::size_t i = 0; i < tiles.size(); ++i) tiles[i] = standard_physical_tile(static_cast<std::uint16_t>(i));
  return Topology(std::move(tiles));
}

std::expected<std::uint16_t, ExchangeError> Topology::paired_logical(std::uint16_t logical) const {
  if (logical >= tiles_.size()) return std::unexpected(tile_error(logical));
  const std::uint16_t partner = tiles_[logical] ^ 2u;
  // Ids are distinct, so the first match is the only one; on the standard
  // board it sits right beside the tile.
  const std::size_t beside = logical ^ 1u;
  if (beside < tiles_.size() && tiles_[beside] == partner) return static_cast<std::uint16_t>(beside);
  const auto found = std::find(tiles_.begin(), tiles_.end(), partner);
  if (found == tiles_.end()) return std::unexpected(tile_error(logical));
  return static_cast<std::uint16_t>(found - tiles_.begin());
}

bool Topology::mark_receivers(std::span<const std::uint16_t> receivers, std::vector<std::uint64_t>& seen) const {
  seen.assign((tiles_.size() + 63) / 64, 0);
  for (const std::uint16_t receiver : receivers) {
    if (receiver >= tiles_.size()) return false;
    std::uint64_t& bits = seen[receiver >> 6];
    const std::uint64_t bit = std::uint64_t{1} << (receiver & 63);
    if ((bits & bit) != 0) return false;
    bits |= bit;
  }
  return true;
}

std::expected<PointToPointExchange, ExchangeError> Topology::point_to_point(std::uint16_t sender,
                                                                            std::uint16_t receiver,
                                                                            std::uint32_t count) const {
  if (!count_in_range(count)) return std::unexpected(count_error(count));
  if (sender == receiver) return std::unexpected(duplicate_tile_error());
  if (sender >= tiles_.size()) return std::unexpected(tile_error(sender));
  if (receiver >= tiles_.size()) return std::unexpected(tile_error(receiver));

  const std::uint16_t s = tiles_[sender];
  const std::uint16_t r = tiles_[receiver];
  const std::int32_t h = time_to_mux(s, r);
  const std::uint32_t d = direction(s, r);
  if (h >= 113) return std::unexpected(schedule_error("sender delay"));

  // The receiver selects the source 113 cycles into its row; the sender waits
  // so that its data reaches the multiplexer exactly then.
  RowSink sender_row;
  sender_row.push_back(kEntryWord);
  if (h != 112) sender_row.push_back(delay_word(static_cast<std::uint32_t>(112 - h)));
  append_payload(sender_row, count, d);
  const std::int64_t tail = std::int64_t{h} - count - 106;
  if (tail > 0) sender_row.push_back(delay_word(static_cast<std::uint32_t>(tail)));
  sender_row.push_back(kReturnWord);

  PointToPointExchange exchange;
  exchange.sender = sender_row.row;
  const std::uint32_t col2 = 2u * (r >> 6);
  auto& words = exchange.receiver.words;
  words[0] = kEntryWord;
  words[1] = 0x641c0000u;  // source selection, lead 112; the source id is written later
  fill_receive_body(words, count, col2, 0);  // the receive address is written later
  exchange.receiver.patch_index = 1;

  TARN_DEBUG("tarn_exchange", "assembled point-to-point exchange", {"sender_logical", sender},
             {"receiver_logical", receiver}, {"count", count});
  return exchange;
}

std::expected<MulticastPlan, ExchangeError> Topology::multicast(std::uint16_t sender,
                                                                std::span<const std::uint16_t> receivers,
                                                                std::uint32_t count,
                                                                std::uint32_t schedule_offset) const {
  if (!count_in_range(count)) return std::unexpected(count_error(count));
  if (sender >= tiles_.size()) return std::unexpected(tile_error(sender));
  if (receivers.empty() || (receivers.size() == 1 && receivers[0] == sender)) {
    return std::unexpected(receiver_set_error());
  }
  std::vector<std::uint64_t> seen;
  if (!mark_receivers(receivers, seen)) return std::unexpected(receiver_set_error());

  const std::uint16_t s = tiles_[sender];
  std::int32_t min_h = std::numeric_limits<std::int32_t>::max();
  for (const std::uint16_t receiver : receivers) min_h = std::min(min_h, time_to_mux(s, tiles_[receiver]));
  // Start the send late enough that no receiver would have to select the
  // source before its row begins.
  const std::uint64_t start = std::uint64_t(std::max(0, -min_h)) + schedule_offset;
  if (start > 4095) return std::unexpected(schedule_error("multicast start cycle"));
  const auto f = static_cast<std::uint32_t>(start);
  const std::uint32_t control = receivers.size() == 1 ? direction(s, tiles_[receivers[0]]) : 3u;

  MulticastPlan plan;
  RowSink sender_row;
  sender_row.push_back(kEntryWord);
  if (f > 0) sender_row.push_back(delay_word(f));
  append_payload(sender_row, count, control);
  // A row lasts at least six cycles.
  if (std::uint64_t{f} + count < 6) sender_row.push_back(delay_word(6 - f - count));
  sender_row.push_back(kReturnWord);
  plan.sender = sender_row.row;

  plan.receivers.reserve(receivers.size());
  const std::uint32_t src = s & 0x1fffu;
  for (const std::uint16_t receiver : receivers) {
    const std::uint16_t r = tiles_[receiver];
    const std::int64_t lead = std::int64_t{time_to_mux(s, r)} + f;
    if (lead > 4095) return std::unexpected(schedule_error("multicast receive cycle"));
    const auto source_word = 0x64000000u | (static_cast<std::uint32_t>(lead) << 14) | src;
    const std::uint32_t col2 = 2u * (r >> 6);
    Row row{};
    row[0] = kEntryWord;
    row[1] = source_word;
    // 0x14000 holds the place of the receive address until the scheduler writes it.
    fill_receive_body(row, count, col2, 0x14000u);
    plan.receivers.push_back(row);
  }

  TARN_DEBUG("tarn_exchange", "assembled multicast exchange", {"sender_logical", sender},
             {"receiver_logical", fmt::format("[{}]", fmt::join(receivers, ", "))}, {"count", count},
             {"schedule_offset", schedule_offset});
  return plan;
}

std::expected<MulticastPlan, ExchangeError> Topology::paired_multicast(std::uint16_t sender,
                                                                       std::span<const std::uint16_t> receivers,
                                                                       std::uint32_t count) const {
  if (!count_in_range(count)) return std::unexpected(count_error(count));
  if (receivers.empty() || receivers.size() % 2 != 0) return std::unexpected(receiver_set_error());
  std::vector<std::uint64_t> seen;
  if (!mark_receivers(receivers, seen)) return std::unexpected(receiver_set_error());
  const auto marked = [&seen](std::uint16_t tile) { return (seen[tile >> 6] >> (tile & 63) & 1u) != 0; };
  // The receivers must be complete pairs.
  for (const std::uint16_t receiver : receivers) {
    const auto partner = paired_logical(receiver);
    if (!partner || !marked(*partner)) return std::unexpected(receiver_set_error());
  }

  auto plan = multicast(sender, receivers, count, 0);
  if (!plan) return plan;
  const std::uint16_t s = tiles_[sender];
  std::uint8_t control = 7;
  if (receivers.size() == 2 && !marked(sender)) {
    control = static_cast<std::uint8_t>(direction(s, tiles_[receivers[0]]) | 4u);
  }
  if (auto set = set_sender_control(plan->sender, control); !set) return std::unexpected(set.error());

  std::int32_t min_mux = std::numeric_limits<std::int32_t>::max();
  for (const std::uint16_t receiver : receivers) {
    const std::uint16_t p = tiles_[receiver];
    min_mux = std::min(min_mux, std::max(time_to_mux(s, p), time_to_mux(s, p ^ 2u)));
  }
  plan->receivers.clear();
  for (const std::uint16_t receiver : receivers) {
    auto row = paired_receiver_row(sender, receiver, count, min_mux);
    if (!row) return std::unexpected(row.error());
    plan->receivers.push_back(*row);
  }
  return plan;
}

std::expected<Row, ExchangeError> Topology::paired_receiver_row(std::uint16_t sender, std::uint16_t receiver,
                                                                std::uint32_t count, std::int32_t min_mux) const {
  if (sender >= tiles_.size()) return std::unexpected(tile_error(sender));
  if (receiver >= tiles_.size()) return std::unexpected(tile_error(receiver));
  const std::uint16_t s = tiles_[sender];
  const std::uint16_t r = tiles_[receiver];
  const std::int32_t own = time_to_mux(s, r);
  const std::int32_t partner = time_to_mux(s, r ^ 2u);
  const std::int64_t p = std::int64_t{std::max(own, partner)} + std::max<std::int64_t>(1 - std::int64_t{min_mux}, 0);
  if (p < 0) return std::unexpected(schedule_error("paired source timing"));

  // Cycles are kept wide until the horizon check so that nothing wraps.
  struct Timed {
    std::uint64_t cycle;
    std::uint32_t word;
    ReceiveEventKind kind;
  };
  std::array<Timed, 5> timed{};
  std::size_t n = 0;
  const auto at = static_cast<std::uint64_t>(p);
  // Only the tile that hears the pair first selects the source; both tiles
  // set the paired format.
  if (own < partner) {
    timed[n++] = {at, 0x64002000u | ((s & 0x1fffu) ^ (r & 2u)), ReceiveEventKind::PairedSource};
    timed[n++] = {at + count, 0x64002640u, ReceiveEventKind::PairedTeardown};
  }
  const std::uint64_t u = at + 2u * (r >> 6) + 51;
  timed[n++] = {u, 0x60040001u + (direction(s, r) == 2 ? 1u : 0u), ReceiveEventKind::PairedFormat};
  timed[n++] = {u + 2, 0x60000000u, ReceiveEventKind::PairedPointer};
  timed[n++] = {u + count, 0x60040000u, ReceiveEventKind::PairedFormat};

  for (std::size_t i = 1; i < n; ++i) {  // stable insertion sort by cycle
    const Timed moving = timed[i];
    std::size_t j = i;
    while (j > 0 && timed[j - 1].cycle > moving.cycle) {
      timed[j] = timed[j - 1];
      --j;
    }
    timed[j] = moving;
  }
  for (std::size_t i = 1; i < n; ++i) {
    if (timed[i - 1].cycle == timed[i].cycle) {
      return std::unexpected(schedule_error("paired receive coincident controls"));
    }
  }
  const std::uint64_t last = timed[n - 1].cycle;
  if (last > 0xfffffff8u) return std::unexpected(schedule_error("paired receive horizon overflow"));

  std::array<ReceiveEvent, 5> events{};
  for (std::size_t i = 0; i < n; ++i) {
    events[i] = {static_cast<std::uint32_t>(timed[i].cycle), timed[i].word, timed[i].kind};
  }
  RowSink sink;
  sink.push_back(kEntryWord);
  std::uint32_t cycle = 0;
  auto appended = append_receive_events_record(sink, cycle, std::span<const ReceiveEvent>(events.data(), n),
                                               static_cast<std::uint32_t>(last) + 7, false);
  if (!appended) return std::unexpected(appended.error());
  sink.push_back(kReturnWord);
  if (sink.size() > sink.row.size()) return std::unexpected(schedule_error("paired receive row capacity"));
  return sink.row;
}

std::expected<Row, ExchangeError> patch_sender_address(const Row& row, std::uint32_t address) {
  Row patched = row;
  for (std::uint32_t& word : patched) {
    if (static_cast<std::int32_t>(word) <= 0x77ffffff) continue;
    const std::uint32_t unit = (word & 4u) != 0 ? 8 : 4;
    if (address % unit != 0 || address / unit > 0x3ffffu) return std::unexpected(address_error(address));
    word = (word & 0xffe00007u) + 8 * (address / unit);
    return patched;
  }
  return std::unexpected(address_error(address));
}

std::expected<void, ExchangeError> set_sender_control(Row& row, std::uint8_t control) {
  if (control < 1 || control > 7) return std::unexpected(schedule_error("send control"));
  bool changed = false;
  for (std::uint32_t& word : row) {
    if (is_explicit_send(word) || is_offset_send(word) || (word >= 0xf0000000u && (word & 3u) != 0)) {
      word = (word & ~7u) | control;
      changed = true;
    }
  }
  if (!changed) return std::unexpected(schedule_error("sender payload"));
  return {};
}

std::expected<Row, ExchangeError> finalize_point_receiver(const PointReceiver& receiver, std::uint16_t source) {
  if (receiver.patch_index >= 8 || source >= 8192) {
    return std::unexpected(schedule_error("point receiver patch index"));
  }
  Row row{};
  std::copy(receiver.words.begin(), receiver.words.end(), row.begin());
  row[receiver.patch_index] = (row[receiver.patch_index] & ~0x1fffu) | source;
  return row;
}

}  // namespace tarn_exchange
