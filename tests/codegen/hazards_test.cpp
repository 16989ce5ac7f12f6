#include "codegen/exchange/hazards.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <ostream>
#include <random>
#include <vector>

namespace tarn_codegen::exchange {
// Readable failure output; found by argument-dependent lookup.
void PrintTo(const ExchangeMemoryElement& element, std::ostream* out) {
  *out << "(" << int{element.region} << ", 0x" << std::hex << element.index << std::dec << ")";
}
void PrintTo(const Interval& interval, std::ostream* out) {
  *out << "[" << interval.start << ", " << interval.end << ") max " << interval.max_end;
}
}  // namespace tarn_codegen::exchange

namespace {

using tarn_codegen::exchange::ExchangeMemoryElement;
using tarn_codegen::exchange::Interval;
using tarn_codegen::exchange::memory_element;
using tarn_codegen::exchange::memory_safe_transfer_offset;
using tarn_codegen::exchange::MemoryHistory;
using tarn_codegen::exchange::next_element_boundary;
using tarn_codegen::exchange::span_elements;
using tarn_codegen::exchange::spans_share_effective_memory_element;
using tarn_codegen::exchange::TileMemorySchedule;

using Elements = std::vector<ExchangeMemoryElement>;

constexpr std::uint32_t kLastIndex = 0x1FFEF;  // last region-1 element of the u32 address space

Elements to_vector(const tarn_codegen::exchange::SpanElements& elements) {
  return Elements(elements.begin(), elements.end());
}

// Reference: walk the span byte by byte in 64 bits, stopping at the end of
// the address space, and name each byte's element by division.
Elements elements_by_byte_walk(std::uint32_t address, std::uint32_t words) {
  Elements result;
  // The byte 0xFFFFFFFF belongs to no span.
  const std::uint64_t end = std::min<std::uint64_t>(std::uint64_t{address} + 4 * std::uint64_t{words}, 0xFFFFFFFF);
  for (std::uint64_t byte = address; byte < end; ++byte) {
    const ExchangeMemoryElement element =
        byte < 0x80000 ? ExchangeMemoryElement{0, static_cast<std::uint32_t>(byte / 0x4000)}
                       : ExchangeMemoryElement{1, static_cast<std::uint32_t>((byte - 0x80000) / 0x8000)};
    if (result.empty() || result.back() != element) {
      result.push_back(element);
    }
  }
  return result;
}

TEST(ExchangeMemoryElement, OrdersByRegionThenIndex) {
  const Elements ascending = {{0, 0}, {0, 1}, {0, 31}, {0, 0xFFFFFFFF}, {1, 0}, {1, 1}, {1, kLastIndex}};
  for (std::size_t i = 0; i < ascending.size(); ++i) {
    for (std::size_t j = 0; j < ascending.size(); ++j) {
      EXPECT_EQ(ascending[i] < ascending[j], i < j) << i << " vs " << j;
      EXPECT_EQ(ascending[i] == ascending[j], i == j) << i << " vs " << j;
    }
  }
}

TEST(ExchangeMemoryElement, ElementOfAnAddressAndItsNextBoundary) {
  struct Case {
    std::uint32_t address;
    ExchangeMemoryElement element;
    std::uint32_t next_boundary;
  };
  const Case cases[] = {
      {0x0, {0, 0}, 0x4000},
      {0x3FFF, {0, 0}, 0x4000},
      {0x4000, {0, 1}, 0x8000},
      {0x7FFFF, {0, 31}, 0x80000},
      {0x80000, {1, 0}, 0x88000},
      {0x87FFF, {1, 0}, 0x88000},
      {0x88000, {1, 1}, 0x90000},
      {0xFFFF7FFF, {1, kLastIndex - 1}, 0xFFFF8000},
      {0xFFFF8000, {1, kLastIndex}, 0xFFFFFFFF},  // the boundary 2^32 does not fit a u32
      {0xFFFFFFFF, {1, kLastIndex}, 0xFFFFFFFF},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(memory_element(c.address), c.element) << std::hex << c.address;
    EXPECT_EQ(next_element_boundary(c.element), c.next_boundary) << std::hex << c.address;
  }
  // Out-of-range indices saturate instead of wrapping.
  EXPECT_EQ(next_element_boundary({1, 0xFFFFFFFF}), 0xFFFFFFFFu);
  EXPECT_EQ(next_element_boundary({0, 0xFFFFFFFF}), 0xFFFFFFFFu);
}

TEST(SpanElements, ElementBoundariesAndTheTopOfMemory) {
  struct Case {
    std::uint32_t address;
    std::uint32_t words;
    Elements expected;
  };
  const Case cases[] = {
      {0x3FFC, 1, {{0, 0}}},
      {0x3FFC, 2, {{0, 0}, {0, 1}}},
      {0x0, 0x1000, {{0, 0}}},  // exactly one element, ends on its boundary
      {0x3FFC, 4148, {{0, 0}, {0, 1}, {0, 2}}},
      {0x7FFFC, 2, {{0, 31}, {1, 0}}},
      {0x80000, 8192, {{1, 0}}},
      {0x80000, 8193, {{1, 0}, {1, 1}}},
      {0x1000, 0, {}},
      {0xFFFFFFFF, 0, {}},
      // Ending exactly at 2^32, and running past it: cut at the top of
      // memory, never wrapped round to element (0, 0).
      {0xFFFFFFFC, 1, {{1, kLastIndex}}},
      {0xFFFF7FFC, 2, {{1, kLastIndex - 1}, {1, kLastIndex}}},
      {0xFFFFFFF0, 0x40000000, {{1, kLastIndex}}},
      // The byte 0xFFFFFFFF belongs to no span: a span starting there is empty.
      {0xFFFFFFFF, 1, {}},
      {0xFFFFFFFE, 1, {{1, kLastIndex}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(to_vector(span_elements(c.address, c.words)), c.expected)
        << std::hex << c.address << " " << std::dec << c.words;
  }
}

TEST(SpanElements, WholeAddressSpaceNamesEveryElementOnce) {
  const Elements all = to_vector(span_elements(0, 0xFFFFFFFF));
  ASSERT_EQ(all.size(), 32u + kLastIndex + 1);
  EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
  EXPECT_TRUE(std::adjacent_find(all.begin(), all.end()) == all.end());
  EXPECT_EQ(all.front(), (ExchangeMemoryElement{0, 0}));
  EXPECT_EQ(all[31], (ExchangeMemoryElement{0, 31}));
  EXPECT_EQ(all[32], (ExchangeMemoryElement{1, 0}));
  EXPECT_EQ(all.back(), (ExchangeMemoryElement{1, kLastIndex}));
  EXPECT_EQ(to_vector(span_elements(0, 0x40000000)), all);
}

// Random spans near the three places where the element rules change: the
// start of memory, the region boundary and the top of the address space.
// Addresses need not be word-aligned here; the rules do not depend on it.
TEST(SpanElements, MatchByteWalkAndSharingMatchesCommonElements) {
  const std::uint32_t centres[] = {0x0, 0x80000, 0xFFFFFFFF};
  for (const std::uint32_t seed : {1u, 2u, 3u}) {
    std::mt19937 random(seed);
    for (const std::uint32_t centre : centres) {
      auto draw_address = [&] {
        const std::int64_t offset = std::uniform_int_distribution<std::int64_t>(-0x12000, 0x12000)(random);
        return static_cast<std::uint32_t>(std::clamp<std::int64_t>(std::int64_t{centre} + offset, 0, 0xFFFFFFFF));
      };
      auto draw_words = [&] {
        // Mostly payload sizes, some tiny, some zero.
        switch (std::uniform_int_distribution<int>(0, 9)(random)) {
          case 0: return std::uint32_t{0};
          case 1: return std::uniform_int_distribution<std::uint32_t>(1, 4)(random);
          default: return std::uniform_int_distribution<std::uint32_t>(1, 12000)(random);
        }
      };
      for (int round = 0; round < 150; ++round) {
        const std::uint32_t a = draw_address();
        const std::uint32_t aw = draw_words();
        const Elements a_elements = to_vector(span_elements(a, aw));
        ASSERT_EQ(a_elements, elements_by_byte_walk(a, aw)) << std::hex << a << " " << std::dec << aw;

        const std::uint32_t b = draw_address();
        const std::uint32_t bw = draw_words();
        const Elements b_elements = to_vector(span_elements(b, bw));
        const bool common = std::find_first_of(a_elements.begin(), a_elements.end(), b_elements.begin(),
                                               b_elements.end()) != a_elements.end();
        ASSERT_EQ(spans_share_effective_memory_element(a, aw, b, bw), common)
            << std::hex << a << " " << std::dec << aw << " / " << std::hex << b << " " << std::dec << bw;
        ASSERT_EQ(spans_share_effective_memory_element(b, bw, a, aw), common);
      }
    }
  }
}

TEST(SpansShareEffectiveMemoryElement, Cases) {
  struct Case {
    std::uint32_t first_address, first_words, second_address, second_words;
    bool expected;
  };
  const Case cases[] = {
      {0x1000, 4, 0x1000, 0, false},   // an empty span shares nothing, even at the same address
      {0x1000, 0, 0x1000, 4, false},
      {0x0, 4, 0x3FF0, 4, true},       // disjoint bytes, same element
      {0x0, 0x1000, 0x4000, 4, false},  // touching at an element boundary
      {0x3FFC, 2, 0x4000, 1, true},     // spills one word into the next element
      {0x7FFFC, 1, 0x80000, 1, false},  // last region-0 byte vs first region-1 byte
      {0x7FFFC, 2, 0x87FFC, 1, true},
      {0x10000, 0x40000000, 0xFFFFFFFC, 1, true},  // reaches the top of memory
      {0xFFFFFFFE, 1, 0xFFFF8000, 1, true},
      {0xFFFFFFFE, 1, 0xFFFF7FFC, 1, false},
      {0xFFFFFFFF, 1, 0xFFFFFFFF, 1, false},  // empty: the last byte belongs to no span
  };
  for (const Case& c : cases) {
    EXPECT_EQ(spans_share_effective_memory_element(c.first_address, c.first_words, c.second_address, c.second_words),
              c.expected)
        << std::hex << c.first_address << " " << c.first_words << " / " << c.second_address << " "
        << c.second_words;
  }
}

TEST(MemoryHistory, ConflictEndOfTheWorkedExamples) {
  const ExchangeMemoryElement x{0, 3};
  const ExchangeMemoryElement y{1, 0};
  const ExchangeMemoryElement never{1, 7};

  MemoryHistory one;
  EXPECT_TRUE(one.empty());
  EXPECT_EQ(one.conflict_end(Elements{x}, 0, 100), std::nullopt);
  one.record(Elements{x}, 10, 20);
  one.record(Elements{x}, 30, 40);
  struct Query {
    Elements elements;
    std::uint32_t start, end;
    std::optional<std::uint32_t> expected;
  };
  const Query single[] = {
      {{x}, 20, 30, std::nullopt},  // touches both intervals, overlaps neither
      {{x}, 19, 25, 20},
      {{x}, 5, 35, 40},
      {{x}, 0, 10, std::nullopt},
      {{x}, 39, 100, 40},
      {{x}, 40, 100, std::nullopt},
      {{}, 0, 100, std::nullopt},
      {{never}, 0, 100, std::nullopt},
      {{never, x}, 15, 16, 20},
  };
  for (const Query& q : single) {
    EXPECT_EQ(one.conflict_end(q.elements, q.start, q.end), q.expected) << q.start << ".." << q.end;
  }

  // The answer is the largest end over all given elements.
  MemoryHistory two;
  two.record(Elements{x}, 0, 100);
  two.record(Elements{y}, 50, 60);
  EXPECT_EQ(two.conflict_end(Elements{x, y}, 55, 56), 100u);
  EXPECT_EQ(two.conflict_end(Elements{y, x}, 55, 56), 100u);
  EXPECT_EQ(two.conflict_end(Elements{y}, 55, 56), 60u);
  EXPECT_EQ(two.conflict_end(Elements{y}, 60, 100), std::nullopt);
}

TEST(MemoryHistory, RecordKeepsEqualStartsInOrderAndTheRunningMaximum) {
  const ExchangeMemoryElement x{0, 0};
  MemoryHistory history;
  history.record(Elements{x}, 30, 40);
  history.record(Elements{x}, 5, 50);
  history.record(Elements{x}, 5, 10);
  history.record(Elements{x}, 30, 35);
  history.record(Elements{x}, 60, 70);
  const std::vector<Interval> expected = {{5, 50, 50}, {5, 10, 50}, {30, 40, 50}, {30, 35, 50}, {60, 70, 70}};
  const auto recorded = history.intervals(x);
  EXPECT_EQ(std::vector<Interval>(recorded.begin(), recorded.end()), expected);
  // [5, 10) is over, but [5, 50) recorded at the same start still conflicts.
  EXPECT_EQ(history.conflict_end(Elements{x}, 20, 25), 50u);
  EXPECT_TRUE(history.intervals({0, 1}).empty());
}

// MemoryHistory against a plain list of everything recorded. Cycles are drawn
// from a small range so that equal starts, touching ends and empty windows are
// common; a few are drawn at the top of the u32 range.
TEST(MemoryHistory, MatchesBruteForceScanOnRandomHistories) {
  struct Recorded {
    ExchangeMemoryElement element;
    std::uint32_t start, end;
  };
  const Elements pool = {{0, 0}, {0, 1}, {0, 31}, {1, 0}, {1, 1}, {1, kLastIndex}};

  for (const std::uint32_t seed : {11u, 12u, 13u, 14u, 15u}) {
    std::mt19937 random(seed);
    auto pick = [&](std::uint32_t low, std::uint32_t high) {
      return std::uniform_int_distribution<std::uint32_t>(low, high)(random);
    };
    auto draw_window = [&](std::uint32_t& start, std::uint32_t& end) {
      if (pick(0, 19) == 0) {
        start = pick(0xFFFFFF00, 0xFFFFFFFF);
        end = pick(start, 0xFFFFFFFF);
      } else {
        start = pick(0, 300);
        end = start + pick(0, 40);
      }
      if (pick(0, 29) == 0) {
        std::swap(start, end);  // inverted windows follow the same overlap rule
      }
    };
    auto draw_elements = [&] {
      Elements elements(pick(0, 3));
      for (auto& element : elements) {
        element = pool[pick(0, static_cast<std::uint32_t>(pool.size() - 1))];
      }
      return elements;
    };

    MemoryHistory history;
    std::vector<Recorded> model;
    for (int step = 0; step < 3000; ++step) {
      const Elements elements = draw_elements();
      std::uint32_t start = 0;
      std::uint32_t end = 0;
      draw_window(start, end);
      if (pick(0, 1) == 0) {
        history.record(elements, start, end);
        for (const auto& element : elements) {
          model.push_back({element, start, end});
        }
        continue;
      }
      std::optional<std::uint32_t> expected;
      for (const Recorded& r : model) {
        const bool given = std::find(elements.begin(), elements.end(), r.element) != elements.end();
        if (given && r.start < end && r.end > start && (!expected || r.end > *expected)) {
          expected = r.end;
        }
      }
      ASSERT_EQ(history.conflict_end(elements, start, end), expected)
          << "seed " << seed << " step " << step << " window " << start << ".." << end;
    }

    // Each list holds exactly what was recorded on its element, sorted by
    // start with equal starts in recording order, and the running maximum.
    for (const ExchangeMemoryElement& element : pool) {
      std::vector<Recorded> on_element;
      std::copy_if(model.begin(), model.end(), std::back_inserter(on_element),
                   [&](const Recorded& r) { return r.element == element; });
      std::stable_sort(on_element.begin(), on_element.end(),
                       [](const Recorded& a, const Recorded& b) { return a.start < b.start; });
      std::vector<Interval> expected;
      std::uint32_t running = 0;
      for (const Recorded& r : on_element) {
        running = std::max(running, r.end);
        expected.push_back({r.start, r.end, running});
      }
      const auto recorded = history.intervals(element);
      ASSERT_EQ(std::vector<Interval>(recorded.begin(), recorded.end()), expected) << "seed " << seed;
    }
  }
}

TEST(MemorySafeTransferOffset, DelaysAReceiveOnlyPastEarlierSendsOfItsTile) {
  std::vector<TileMemorySchedule> schedules(3);
  // Tile 1 sends from element (0, 1) during [100, 200).
  const auto sent = span_elements(0x4000, 16);
  schedules[1].sends.record(sent, 100, 200);
  // Receives on tile 1, and sends on another tile, never delay a receive.
  schedules[1].receives.record(span_elements(0x8000, 16), 0, 1000);
  schedules[2].sends.record(span_elements(0x8000, 16), 0, 1000);

  struct Case {
    std::uint16_t tile;
    std::uint32_t address, words, start, end;
    std::optional<std::uint32_t> expected;
  };
  const Case cases[] = {
      {1, 0x4010, 4, 150, 160, 50},     // other bytes of the same element
      {1, 0x4010, 4, 50, 120, 150},     // starts before the send: waits for its end
      {1, 0x3FFC, 2, 199, 300, 1},      // spills into the element by one word
      {1, 0x4010, 4, 200, 210, std::nullopt},  // starts as the send ends
      {1, 0x4010, 4, 90, 100, std::nullopt},   // ends as the send starts
      {1, 0x3FFC, 1, 150, 160, std::nullopt},  // the element before
      {1, 0x8000, 4, 150, 160, std::nullopt},  // only received into here
      {1, 0x4010, 0, 150, 160, std::nullopt},  // no bytes, no hazard
      {0, 0x4010, 4, 150, 160, std::nullopt},
      {2, 0x4010, 4, 150, 160, std::nullopt},
      {2, 0x8000, 4, 150, 160, 850},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(memory_safe_transfer_offset(schedules, c.tile, c.address, c.words, c.start, c.end), c.expected)
        << "tile " << c.tile << " address " << std::hex << c.address << std::dec << " window " << c.start << ".."
        << c.end;
  }
}

}  // namespace
