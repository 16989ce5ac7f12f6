#include "codegen/estimate/exchange_storage.h"

#include <algorithm>
#include <array>
#include <cstddef>

#include "runtime/siphash.h"

namespace tarn_codegen::estimate {
namespace {

using exchange::ExchangeItemWidth;
using exchange::ExchangeScheduleTransfer;

constexpr std::uint64_t kFingerprintMultiplier = 0x9e3779b185ebca87ULL;

constexpr std::uint64_t round_up_to_8(std::uint64_t bytes) { return (bytes + 7) & ~std::uint64_t{7}; }

template <std::size_t N>
void put_le(std::array<std::byte, 20>& out, std::size_t at, std::uint64_t value) {
  for (std::size_t i = 0; i < N; ++i) out[at + i] = static_cast<std::byte>((value >> (8 * i)) & 0xff);
}

// A send (tag 0, naming the receiver) or receive (tag 1, naming the sender)
// entry: tag, tile, payload bytes, width, destination count, little-endian.
// Laid out in one block and hashed with one write: field-by-field writes to
// the hasher cost half again on this path.
std::uint64_t entry_hash(std::uint8_t tag, std::uint16_t tile, std::uint64_t bytes, ExchangeItemWidth width,
                         std::uint64_t destinations) {
  std::array<std::byte, 20> entry{};
  put_le<1>(entry, 0, tag);
  put_le<2>(entry, 1, tile);
  put_le<8>(entry, 3, bytes);
  put_le<1>(entry, 11, width == ExchangeItemWidth::Word32 ? 0 : 1);
  put_le<8>(entry, 12, destinations);
  return tarn_runtime::siphash13(entry);
}

std::uint64_t address_entry_hash(bool new_address) {
  const std::byte entry[2] = {std::byte{2}, std::byte{static_cast<unsigned char>(new_address ? 1 : 0)}};
  return tarn_runtime::siphash13(entry);
}

void take_in(std::uint64_t& fingerprint, std::uint64_t entry) { fingerprint = fingerprint * kFingerprintMultiplier + entry; }

}  // namespace

ExchangeStoragePhase::ExchangeStoragePhase(std::uint16_t tile_count)
    : row_bytes(tile_count, 8),
      next_receive_address(tile_count),
      fingerprint(tile_count, 0),
      address_words(tile_count, 0),
      shareable(tile_count, true) {}

ExchangeStoragePhase captured_phase(std::uint16_t tile_count, std::span<const ExchangeScheduleTransfer> transfers) {
  ExchangeStoragePhase phase(tile_count);
  const std::uint64_t new_address_hash = address_entry_hash(true);
  const std::uint64_t same_address_hash = address_entry_hash(false);

  for (const auto& transfer : transfers) {
    const std::uint16_t s = transfer.source;
    if (s >= tile_count) continue;
    const std::uint64_t bytes = 4 * static_cast<std::uint64_t>(transfer.words);
    const std::uint64_t n = transfer.destinations.size();

    phase.row_bytes[s] += transfer.words > 64 ? 12 : 8;
    phase.address_words[s] += 1;
    if (transfer.source_addresses.size() >= 2) phase.shareable[s] = false;

    for (const auto& destination : transfer.destinations) {
      const std::uint16_t d = destination.tile;
      if (d >= tile_count) continue;
      take_in(phase.fingerprint[s], entry_hash(0, d, bytes, transfer.width, n));
      take_in(phase.fingerprint[d], entry_hash(1, s, bytes, transfer.width, n));
      const bool new_address = phase.next_receive_address[d] != destination.address;
      phase.row_bytes[d] += new_address ? 12 : 8;
      if (new_address) phase.address_words[d] += 1;
      take_in(phase.fingerprint[d], new_address ? new_address_hash : same_address_hash);
      phase.next_receive_address[d] = destination.address + bytes;
    }
  }
  return phase;
}

std::size_t ExchangeStorageEstimator::RowKeyHash::operator()(const RowKey& key) const noexcept {
  // The fingerprint is already a hash; mix in the rest.
  return static_cast<std::size_t>(key.fingerprint ^ (key.bytes * kFingerprintMultiplier) ^
                                  (key.address_words << 32 | key.address_words >> 32));
}

ExchangeStorageEstimator::ExchangeStorageEstimator(std::uint16_t tile_count)
    : totals_(tile_count, 0), seen_rows_(tile_count) {}

std::vector<std::uint64_t> ExchangeStorageEstimator::add_phase(const exchange::ExchangeScheduleProblem& problem) {
  ExchangeStoragePhase phase = captured_phase(static_cast<std::uint16_t>(totals_.size()), problem.transfers);
  std::vector<std::uint64_t> sizes(phase.row_bytes.size());
  std::transform(phase.row_bytes.begin(), phase.row_bytes.end(), sizes.begin(), round_up_to_8);
  add(std::move(phase));
  return sizes;
}

void ExchangeStorageEstimator::add(ExchangeStoragePhase phase) {
  const std::size_t tiles = std::min<std::size_t>(totals_.size(), phase.row_bytes.size());
  for (std::size_t t = 0; t < tiles; ++t) {
    std::uint64_t cost = round_up_to_8(phase.row_bytes[t]);
    if (phase.shareable[t]) {
      const RowKey key{phase.fingerprint[t], cost, phase.address_words[t]};
      auto [it, inserted] = seen_rows_[t].try_emplace(key, false);
      if (!inserted) {
        const std::uint64_t patch_words = it->second ? 1 : 3;
        cost = round_up_to_8(4 * phase.address_words[t] * patch_words);
        it->second = true;
      }
    }
    totals_[t] += cost;
  }
}

std::uint64_t ExchangeStorageEstimator::maximum_bytes() const {
  return totals_.empty() ? 0 : *std::max_element(totals_.begin(), totals_.end());
}

}  // namespace tarn_codegen::estimate
