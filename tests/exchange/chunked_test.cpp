#include "exchange/chunked.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <random>
#include <ranges>
#include <string>
#include <vector>

namespace {

using tarn_exchange::Chunked;

static_assert(std::forward_iterator<Chunked<std::uint32_t>::const_iterator>);
static_assert(std::ranges::forward_range<Chunked<std::uint32_t>>);
static_assert(std::ranges::sized_range<Chunked<std::uint32_t>>);

Chunked<std::uint32_t> counting(std::uint32_t n) {
  Chunked<std::uint32_t> seq;
  for (std::uint32_t i = 0; i < n; ++i) seq.push(i);
  return seq;
}

std::vector<std::size_t> chunk_sizes(const Chunked<std::uint32_t>& seq) {
  std::vector<std::size_t> sizes;
  for (std::size_t k = 0; k < seq.chunk_count(); ++k) sizes.push_back(seq.chunk(k).size());
  return sizes;
}

std::vector<std::uint32_t> numbers(std::uint32_t from, std::uint32_t to) {
  std::vector<std::uint32_t> out;
  for (std::uint32_t i = from; i < to; ++i) out.push_back(i);
  return out;
}

std::vector<std::uint32_t> contents(const Chunked<std::uint32_t>& seq) {
  return std::vector<std::uint32_t>(seq.begin(), seq.end());
}

TEST(Chunked, ChunkLayoutAtBoundaries) {
  Chunked<std::uint32_t> empty;
  EXPECT_EQ(empty.chunk_count(), 0u);
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(empty.begin(), empty.end());

  Chunked<std::uint32_t> seq = counting(128);
  EXPECT_EQ(chunk_sizes(seq), (std::vector<std::size_t>{128}));
  seq.push(128);
  EXPECT_EQ(chunk_sizes(seq), (std::vector<std::size_t>{128, 1}));
  EXPECT_EQ(seq[128], 128u);

  // Insert at the front of 256: old 127 moves to the front of chunk 1, old
  // 255 into a new third chunk.
  Chunked<std::uint32_t> full = counting(256);
  full.insert(0, 1000);
  EXPECT_EQ(full.len(), 257u);
  EXPECT_EQ(chunk_sizes(full), (std::vector<std::size_t>{128, 128, 1}));
  EXPECT_EQ(full[0], 1000u);
  EXPECT_EQ(full.chunk(1)[0], 127u);
  EXPECT_EQ(full.chunk(2)[0], 255u);

  // Removing the front of 129 empties the second chunk, which goes.
  Chunked<std::uint32_t> over = counting(129);
  EXPECT_EQ(over.remove(0), 0u);
  EXPECT_EQ(chunk_sizes(over), (std::vector<std::size_t>{128}));
  EXPECT_EQ(contents(over), numbers(1, 129));

  Chunked<std::uint32_t> one = counting(1);
  EXPECT_EQ(one.remove(0), 0u);
  EXPECT_EQ(one.chunk_count(), 0u);
  EXPECT_TRUE(one.empty());
}

TEST(Chunked, TruncateKeepsOrCopiesOnlyTheNewLastChunk) {
  const Chunked<std::uint32_t> original = counting(300);

  Chunked<std::uint32_t> to_256 = original;
  to_256.truncate(256);
  EXPECT_EQ(chunk_sizes(to_256), (std::vector<std::size_t>{128, 128}));
  EXPECT_EQ(to_256.chunk(0).data(), original.chunk(0).data());
  EXPECT_EQ(to_256.chunk(1).data(), original.chunk(1).data());

  Chunked<std::uint32_t> to_200 = original;
  to_200.truncate(200);
  EXPECT_EQ(chunk_sizes(to_200), (std::vector<std::size_t>{128, 72}));
  EXPECT_EQ(to_200.chunk(0).data(), original.chunk(0).data());
  EXPECT_NE(to_200.chunk(1).data(), original.chunk(1).data());
  EXPECT_EQ(contents(to_200), numbers(0, 200));
  EXPECT_EQ(contents(original), numbers(0, 300));

  // Unshared, the chunk is cut in place.
  Chunked<std::uint32_t> alone = counting(300);
  const std::uint32_t* second = alone.chunk(1).data();
  alone.truncate(200);
  EXPECT_EQ(alone.chunk(1).data(), second);

  alone.truncate(0);
  EXPECT_EQ(alone.chunk_count(), 0u);
}

TEST(Chunked, ChangesCopyOnlySharedChunksAndNeverReachOtherCopies) {
  Chunked<std::uint32_t> original = counting(200);
  Chunked<std::uint32_t> copy = original;
  for (std::size_t k = 0; k < original.chunk_count(); ++k) {
    EXPECT_EQ(copy.chunk(k).data(), original.chunk(k).data());
  }

  copy.push(7);
  EXPECT_EQ(original.len(), 200u);
  EXPECT_EQ(original.chunk(1).size(), 72u);
  EXPECT_EQ(contents(original), numbers(0, 200));
  EXPECT_EQ(copy.chunk(0).data(), original.chunk(0).data());
  EXPECT_NE(copy.chunk(1).data(), original.chunk(1).data());

  // Once unique, the copy changes its chunk in place.
  const std::uint32_t* own = copy.chunk(1).data();
  copy.set(130, 99);
  copy.push(8);
  EXPECT_EQ(copy.chunk(1).data(), own);
  EXPECT_EQ(copy[130], 99u);
  EXPECT_EQ(original[130], 130u);

  // The original still shares chunk 0 but no longer chunk 1.
  const std::uint32_t* original_second = original.chunk(1).data();
  original.set(5, 55);
  original.set(129, 77);
  EXPECT_EQ(copy[5], 5u);
  EXPECT_EQ(copy[129], 129u);
  EXPECT_NE(original.chunk(0).data(), copy.chunk(0).data());
  EXPECT_EQ(original.chunk(1).data(), original_second);
}

TEST(Chunked, SliceBorrowsInsideOneChunkAndCopiesAcross) {
  const Chunked<std::uint32_t> seq = counting(300);
  struct Case {
    std::size_t start, end;
    bool borrowed;
  };
  const Case cases[] = {
      {120, 130, false}, {0, 128, true},  {128, 256, true}, {127, 129, false},
      {5, 5, true},      {300, 300, true}, {0, 300, false}, {256, 300, true},
  };
  for (const Case& c : cases) {
    const auto slice = seq.slice(c.start, c.end);
    EXPECT_EQ(slice.borrowed(), c.borrowed) << c.start << ".." << c.end;
    EXPECT_EQ(std::vector<std::uint32_t>(slice.begin(), slice.end()),
              numbers(static_cast<std::uint32_t>(c.start), static_cast<std::uint32_t>(c.end)))
        << c.start << ".." << c.end;
    EXPECT_EQ(seq.to_vector(c.start, c.end), std::vector<std::uint32_t>(slice.begin(), slice.end()));
  }
  EXPECT_EQ(seq.slice(0, 128).span().data(), seq.chunk(0).data());
  EXPECT_EQ(seq.slice(130, 140).span().data(), seq.chunk(1).data() + 2);
}

// Random sequences of every operation on a population of copies that share
// chunks, each checked against a std::vector of its own.
template <class Seq>
struct Member {
  Seq seq;
  std::vector<typename Seq::value_type> model;
};

template <class Seq>
::testing::AssertionResult matches(const Member<Seq>& member) {
  const Seq& seq = member.seq;
  const auto& model = member.model;
  if (seq.len() != model.size() || seq.size() != model.size() || seq.empty() != model.empty()) {
    return ::testing::AssertionFailure() << "len " << seq.len() << ", model " << model.size();
  }
  const std::size_t chunks = (model.size() + 127) / 128;
  if (seq.chunk_count() != chunks) {
    return ::testing::AssertionFailure() << seq.chunk_count() << " chunks for len " << model.size();
  }
  for (std::size_t k = 0; k < chunks; ++k) {
    const std::size_t size = seq.chunk(k).size();
    const bool last = k + 1 == chunks;
    if (last ? (size < 1 || size > 128) : size != 128) {
      return ::testing::AssertionFailure() << "chunk " << k << " of " << chunks << " holds " << size;
    }
  }
  if (!std::ranges::equal(seq, model)) return ::testing::AssertionFailure() << "iteration differs";
  for (std::size_t i = 0; i < model.size(); ++i) {
    if (!(seq[i] == model[i])) return ::testing::AssertionFailure() << "element " << i << " differs";
  }
  return ::testing::AssertionSuccess();
}

template <class Seq>
std::vector<const typename Seq::value_type*> chunk_addresses(const Seq& seq) {
  std::vector<const typename Seq::value_type*> out;
  for (std::size_t k = 0; k < seq.chunk_count(); ++k) out.push_back(seq.chunk(k).data());
  return out;
}

template <class Seq, class MakeValue>
void run_model(std::uint64_t seed, int steps, std::size_t max_target, MakeValue make_value) {
  using T = typename Seq::value_type;
  std::mt19937_64 rng(seed);
  auto below = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  // Indexes near chunk boundaries find more faults than uniform ones.
  auto index_in = [&](std::size_t limit) {  // 0..limit
    if (limit >= 128 && below(2) == 0) {
      const std::size_t boundary = 128 * (1 + below(limit / 128));
      return std::min(limit, boundary - 1 + below(3));
    }
    return below(limit + 1);
  };

  std::uint32_t counter = 0;
  std::vector<Member<Seq>> population(1);
  for (std::size_t i = max_target / 2 + below(max_target / 2); i > 0; --i) {
    population[0].model.push_back(make_value(counter));
    population[0].seq.push(make_value(counter++));
  }
  // Weights in percent. Lengths are steered towards a target that moves now
  // and then, so that both short and many-chunk sequences get exercised.
  enum Op { kClone, kPush, kExtend, kInsert, kRemove, kTruncate, kSet, kResetOrMove, kRead };
  constexpr std::size_t kUpTo[] = {12, 27, 32, 57, 72, 74, 84, 85, 100};
  std::size_t target_len = max_target / 2;
  for (int step = 0; step < steps; ++step) {
    if (step % 1000 == 999) target_len = below(max_target + 1);
    const std::size_t m = below(population.size());
    const std::size_t len = population[m].model.size();
    const std::size_t roll = below(100);
    Op op = static_cast<Op>(std::ranges::upper_bound(kUpTo, roll) - std::begin(kUpTo));
    const bool grows = op == kPush || op == kExtend || op == kInsert;
    const bool shrinks = op == kRemove || op == kTruncate;
    if (len < target_len && shrinks && below(2) == 0) op = kPush;
    if (len > target_len && grows && below(2) == 0) op = kRemove;
    const std::vector<const T*> before = chunk_addresses(population[m].seq);
    // Chunks wholly before this index must stay where they were.
    std::size_t untouched = len;
    const char* name = "";

    if (op == kClone) {
      name = "clone";
      const std::size_t target = population.size() < 6 ? population.size() : below(population.size());
      if (target == population.size()) {
        population.push_back(population[m]);
      } else {
        population[target] = population[m];
      }
      ASSERT_EQ(chunk_addresses(population[target].seq), before) << "step " << step;
    } else if (op == kPush) {
      name = "push";
      // Sometimes a run of pushes, to reach many chunks quickly.
      for (std::size_t n = below(4) == 0 ? 1 + below(256) : 1; n > 0; --n) {
        T value = make_value(counter++);
        population[m].model.push_back(value);
        population[m].seq.push(value);
      }
    } else if (op == kExtend) {
      name = "extend";
      T a = make_value(counter++);
      T b = make_value(counter++);
      population[m].model.push_back(a);
      population[m].model.push_back(b);
      population[m].seq.extend(a, b);
    } else if (op == kInsert) {
      name = "insert";
      const std::size_t index = index_in(len);
      T value = make_value(counter++);
      population[m].model.insert(population[m].model.begin() + static_cast<std::ptrdiff_t>(index), value);
      population[m].seq.insert(index, value);
      untouched = index;
    } else if (op == kRemove) {
      name = "remove";
      if (len == 0) continue;
      const std::size_t index = index_in(len - 1);
      const T expected = population[m].model[index];
      population[m].model.erase(population[m].model.begin() + static_cast<std::ptrdiff_t>(index));
      ASSERT_EQ(population[m].seq.remove(index), expected) << "step " << step;
      untouched = index;
    } else if (op == kTruncate) {
      name = "truncate";
      const std::size_t new_len = len - below(std::min<std::size_t>(len, 200) + 1);
      population[m].model.resize(new_len);
      population[m].seq.truncate(new_len);
      untouched = new_len;
    } else if (op == kSet) {
      name = "set";
      if (len == 0) continue;
      const std::size_t index = index_in(len - 1);
      T value = make_value(counter++);
      population[m].model[index] = value;
      population[m].seq.set(index, value);
      untouched = index;
      const std::vector<const T*> after = chunk_addresses(population[m].seq);
      for (std::size_t k = 0; k < after.size(); ++k) {
        if (k != index / 128) {
          ASSERT_EQ(after[k], before[k]) << "set moved chunk " << k << ", step " << step;
        }
      }
    } else if (op == kResetOrMove) {
      name = "reset or move";
      if (below(4) == 0) {
        population[m] = Member<Seq>{};
      } else {
        Member<Seq> moved = std::move(population[m]);
        population[m] = std::move(moved);
      }
      untouched = 0;
    } else {
      name = "read";
      const Member<Seq>& member = population[m];
      const std::size_t end = index_in(len);
      const std::size_t start = end - below(std::min<std::size_t>(end, 400) + 1);
      const auto slice = member.seq.slice(start, end);
      const bool one_chunk = start == end || start / 128 == (end - 1) / 128;
      ASSERT_EQ(slice.borrowed(), one_chunk) << "step " << step;
      ASSERT_TRUE(std::ranges::equal(slice, std::span<const T>(member.model).subspan(start, end - start)))
          << "slice " << start << ".." << end << ", step " << step;
      std::vector<T> appended{make_value(counter++)};
      member.seq.append_to(appended, start, end);
      ASSERT_TRUE(std::ranges::equal(std::span<const T>(appended).subspan(1),
                                     std::span<const T>(member.model).subspan(start, end - start)))
          << "append_to, step " << step;
      ASSERT_EQ(member.seq.to_vector(start, end),
                std::vector<T>(member.model.begin() + static_cast<std::ptrdiff_t>(start),
                               member.model.begin() + static_cast<std::ptrdiff_t>(end)));
      const Member<Seq>& other = population[below(population.size())];
      ASSERT_EQ(member.seq == other.seq, member.model == other.model) << "equality, step " << step;
    }

    const std::vector<const T*> after = chunk_addresses(population[m].seq);
    for (std::size_t k = 0; k < untouched / 128 && k < after.size(); ++k) {
      ASSERT_EQ(after[k], before[k]) << name << " moved chunk " << k << " before the change, step " << step;
    }
    for (std::size_t i = 0; i < population.size(); ++i) {
      ASSERT_TRUE(matches(population[i])) << "member " << i << " after " << name << " on member " << m
                                          << ", seed " << seed << ", step " << step;
    }
  }
}

std::uint32_t number(std::uint32_t i) { return i; }

// Short groups put the group boundaries, where chunk references are shared
// and copied, within reach of short sequences.
TEST(Chunked, RandomOperationsOnSharedCopiesMatchVectors) {
  for (std::uint64_t seed : {1u, 2u}) run_model<Chunked<std::uint32_t>>(seed, 6000, 1100, number);
  for (std::uint64_t seed : {3u, 4u}) run_model<Chunked<std::uint32_t, 2>>(seed, 6000, 1100, number);
  run_model<Chunked<std::uint32_t, 1>>(5, 4000, 800, number);
}

TEST(Chunked, RandomOperationsOnLongSharedCopiesMatchVectors) {
  run_model<Chunked<std::uint32_t>>(6, 1000, 12000, number);
}

// An element type with its own heap storage, so that a lost, doubled or
// unconstructed element shows under the address sanitizer.
TEST(Chunked, RandomOperationsOnOwningElementsMatchVectors) {
  run_model<Chunked<std::string, 3>>(11, 2500, 1000, [](std::uint32_t i) {
    return "element number " + std::to_string(i) + " with storage of its own";
  });
}

}  // namespace
