// Memory hazards of the exchange: which memory elements a byte span touches,
// and the per-tile history of timed accesses that keeps an outgoing send from
// reading an element of a tile while an incoming receive writes it.
//
// A tile's memory is cut into elements: 16 KiB elements below 0x80000
// (region 0) and 32 KiB elements from 0x80000 up (region 1). Elements order by
// region, then index, which is also ascending address order. Cycles and
// addresses are u32; nothing here wraps: span ends stop at the top of the
// address space. A history only answers "does anything recorded overlap this
// window, and until when"; which history to ask (sends against earlier
// receives of the same tile, and the reverse) is the scheduler's business.
#pragma once

#include <absl/container/inlined_vector.h>

#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

namespace tarn_codegen::exchange {

struct ExchangeMemoryElement {
  std::uint8_t region = 0;  // 0 below 0x80000, 1 at or above
  std::uint32_t index = 0;  // element number within the region

  // Member order makes this region first, then index.
  friend auto operator<=>(const ExchangeMemoryElement&, const ExchangeMemoryElement&) = default;
};

// The element holding byte `address`.
[[nodiscard]] ExchangeMemoryElement memory_element(std::uint32_t address);

// First byte address after `element`; 0xFFFFFFFF for the last element of the
// address space, whose true boundary 2^32 is not a u32.
[[nodiscard]] std::uint32_t next_element_boundary(ExchangeMemoryElement element);

// A transfer payload is at most 4148 words (16592 bytes), which touches at
// most three elements, so lists of span elements almost never allocate.
using SpanElements = absl::InlinedVector<ExchangeMemoryElement, 4>;

// Every element holding a byte of the span of `words` 32-bit words at byte
// `address`, ascending and without repetition. Bytes past 0xFFFFFFFF are cut
// off (the span never wraps to address 0), and so is the byte 0xFFFFFFFF
// itself, so that every span end fits a u32.
// 0 words touch nothing.
[[nodiscard]] SpanElements span_elements(std::uint32_t address, std::uint32_t words);

// Whether the two spans have a span element in common; false when either is
// empty. Allocation-free: span elements are contiguous runs of the element
// order, so this compares their first and last elements.
[[nodiscard]] bool spans_share_effective_memory_element(std::uint32_t first_address, std::uint32_t first_words,
                                                        std::uint32_t second_address, std::uint32_t second_words);

// A recorded access window [start, end) in cycles. `max_end` is the largest
// `end` of this entry and every entry before it in its element's list; it is
// what lets a query stop at one bisection instead of scanning the list.
struct Interval {
  std::uint32_t start = 0;
  std::uint32_t end = 0;
  std::uint32_t max_end = 0;

  friend bool operator==(const Interval&, const Interval&) = default;
};

// Timed accesses per element. Each element's list is sorted by `start`, equal
// starts in recording order; an element never recorded has no list.
class MemoryHistory {
 public:
  // Records [start, end) on every given element (twice if an element is
  // given twice).
  void record(std::span<const ExchangeMemoryElement> elements, std::uint32_t start, std::uint32_t end);

  // The largest `end` among recorded intervals on any of `elements` that
  // overlap [start, end) (recorded start < end and recorded end > start);
  // absent when none does. Intervals that only touch the window do not count.
  [[nodiscard]] std::optional<std::uint32_t> conflict_end(std::span<const ExchangeMemoryElement> elements,
                                                          std::uint32_t start, std::uint32_t end) const;

  // The recorded list of one element; empty if it was never recorded.
  [[nodiscard]] std::span<const Interval> intervals(ExchangeMemoryElement element) const;

  [[nodiscard]] bool empty() const { return lists_.empty(); }

 private:
  std::map<ExchangeMemoryElement, std::vector<Interval>> lists_;
};

// One per logical tile, both histories empty at first.
struct TileMemorySchedule {
  MemoryHistory sends;     // windows in which sends from the tile read its memory
  MemoryHistory receives;  // windows in which receives into the tile write its memory
};

// How many cycles a receive of `words` words into `destination_address` on
// `tile`, in the window [start, end), must move later so that it no longer
// overlaps a recorded send from the same memory elements of that tile: the
// conflict end minus `start`. Absent when there is no conflict. `tile` must be
// below `schedules.size()`.
[[nodiscard]] std::optional<std::uint32_t> memory_safe_transfer_offset(
    std::span<const TileMemorySchedule> schedules, std::uint16_t tile, std::uint32_t destination_address,
    std::uint32_t words, std::uint32_t start, std::uint32_t end);

}  // namespace tarn_codegen::exchange
