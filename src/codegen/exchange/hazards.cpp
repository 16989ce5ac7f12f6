#include "codegen/exchange/hazards.h"

#include <algorithm>
#include <cassert>
#include <iterator>

namespace tarn_codegen::exchange {
namespace {

constexpr std::uint32_t kRegion1Base = 0x80000;
// Spans are cut here: the byte 0xFFFFFFFF belongs to no span, so a span end
// always fits a u32.
constexpr std::uint64_t kSpanEndLimit = 0xFFFFFFFF;

// Position of an element in the element order, counted from (0, 0); region 0
// holds 32 elements.
std::uint64_t ordinal(ExchangeMemoryElement element) {
  return element.region == 0 ? element.index : (kRegion1Base >> 14) + std::uint64_t{element.index};
}

// The exclusive end of a span, cut at 0xFFFFFFFF; the span is empty when it
// does not lie above its address.
std::uint64_t span_end(std::uint32_t address, std::uint32_t words) {
  return std::min(std::uint64_t{address} + 4 * std::uint64_t{words}, kSpanEndLimit);
}

bool span_is_empty(std::uint32_t address, std::uint32_t words) { return span_end(address, words) <= address; }

// The last byte of a non-empty span.
std::uint32_t last_byte(std::uint32_t address, std::uint32_t words) {
  return static_cast<std::uint32_t>(span_end(address, words) - 1);
}

}  // namespace

ExchangeMemoryElement memory_element(std::uint32_t address) {
  if (address < kRegion1Base) {
    return {0, address >> 14};
  }
  return {1, (address - kRegion1Base) >> 15};
}

std::uint32_t next_element_boundary(ExchangeMemoryElement element) {
  const std::uint64_t boundary = element.region == 0
                                     ? (std::uint64_t{element.index} + 1) * 0x4000
                                     : kRegion1Base + (std::uint64_t{element.index} + 1) * 0x8000;
  return boundary > 0xFFFFFFFF ? 0xFFFFFFFF : static_cast<std::uint32_t>(boundary);
}

SpanElements span_elements(std::uint32_t address, std::uint32_t words) {
  SpanElements elements;
  if (span_is_empty(address, words)) {
    return elements;
  }
  const ExchangeMemoryElement last = memory_element(last_byte(address, words));
  ExchangeMemoryElement current = memory_element(address);
  elements.reserve(ordinal(last) - ordinal(current) + 1);
  while (true) {
    elements.push_back(current);
    if (current == last) {
      return elements;
    }
    // Below the last element the boundary is a real address, never the
    // saturated 0xFFFFFFFF.
    current = memory_element(next_element_boundary(current));
  }
}

bool spans_share_effective_memory_element(std::uint32_t first_address, std::uint32_t first_words,
                                          std::uint32_t second_address, std::uint32_t second_words) {
  if (span_is_empty(first_address, first_words) || span_is_empty(second_address, second_words)) {
    return false;
  }
  const ExchangeMemoryElement first_begin = memory_element(first_address);
  const ExchangeMemoryElement first_last = memory_element(last_byte(first_address, first_words));
  const ExchangeMemoryElement second_begin = memory_element(second_address);
  const ExchangeMemoryElement second_last = memory_element(last_byte(second_address, second_words));
  return first_begin <= second_last && second_begin <= first_last;
}

void MemoryHistory::record(std::span<const ExchangeMemoryElement> elements, std::uint32_t start, std::uint32_t end) {
  for (const ExchangeMemoryElement element : elements) {
    std::vector<Interval>& list = lists_[element];
    // After every entry with the same start, so equal starts keep recording order.
    const auto position =
        std::partition_point(list.begin(), list.end(), [start](const Interval& entry) { return entry.start <= start; });
    const std::uint32_t before = position == list.begin() ? 0 : std::prev(position)->max_end;
    const std::uint32_t running = std::max(before, end);
    auto entry = list.insert(position, Interval{start, end, running});
    // Later entries only change while their own maximum is below the new end;
    // from the first one at or above it the running maximum is unchanged.
    for (++entry; entry != list.end() && entry->max_end < running; ++entry) {
      entry->max_end = running;
    }
  }
}

std::optional<std::uint32_t> MemoryHistory::conflict_end(std::span<const ExchangeMemoryElement> elements,
                                                         std::uint32_t start, std::uint32_t end) const {
  std::optional<std::uint32_t> result;
  if (elements.empty() || lists_.empty()) {
    return result;
  }
  for (const ExchangeMemoryElement element : elements) {
    const auto found = lists_.find(element);
    if (found == lists_.end()) {
      continue;
    }
    const std::vector<Interval>& list = found->second;
    // The last entry starting before `end` carries the largest end of every
    // entry that could overlap the window.
    const auto after =
        std::partition_point(list.begin(), list.end(), [end](const Interval& entry) { return entry.start < end; });
    if (after == list.begin()) {
      continue;
    }
    const std::uint32_t candidate = std::prev(after)->max_end;
    if (candidate > start && (!result || candidate > *result)) {
      result = candidate;
    }
  }
  return result;
}

std::span<const Interval> MemoryHistory::intervals(ExchangeMemoryElement element) const {
  const auto found = lists_.find(element);
  if (found == lists_.end()) {
    return {};
  }
  return found->second;
}

std::optional<std::uint32_t> memory_safe_transfer_offset(std::span<const TileMemorySchedule> schedules,
                                                         std::uint16_t tile, std::uint32_t destination_address,
                                                         std::uint32_t words, std::uint32_t start, std::uint32_t end) {
  assert(tile < schedules.size());
  const SpanElements elements = span_elements(destination_address, words);
  const std::optional<std::uint32_t> conflict = schedules[tile].sends.conflict_end(elements, start, end);
  if (!conflict) {
    return std::nullopt;
  }
  return *conflict > start ? *conflict - start : 0;
}

}  // namespace tarn_codegen::exchange
