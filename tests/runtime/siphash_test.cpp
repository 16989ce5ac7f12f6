#include "runtime/siphash.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace tarn_runtime {
namespace {

std::vector<std::byte> counting_bytes(std::size_t length) {
  std::vector<std::byte> bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = std::byte(i);
  return bytes;
}

// The reference vectors of SipHash-2-4: key 00 01 .. 0f, message 00 01 .. (length - 1).
TEST(SipHash, MatchesSipHash24ReferenceVectors) {
  const struct {
    std::size_t length;
    std::uint64_t hash;
  } vectors[] = {
      {0, 0x726fdb47dd0e0e31}, {1, 0x74f839c593dc67fd},  {2, 0x0d6c8009d9a94f5a},  {3, 0x85676696d7fb7e2d},
      {4, 0xcf2794e0277187b7}, {5, 0x18765564cd99a68d},  {7, 0xab0200f58b01d137},  {8, 0x93f5f5799a932462},
      {15, 0xa129ca6149be45e5}, {16, 0x3f2acc7f57c29bdb}, {63, 0x958a324ceb064572},
  };
  for (const auto& v : vectors) {
    SipHasher24 hasher(0x0706050403020100, 0x0f0e0d0c0b0a0908);
    hasher.write(counting_bytes(v.length));
    EXPECT_EQ(hasher.finish(), v.hash) << "length " << v.length;
  }
}

TEST(SipHash, SipHash13WithZeroKey) {
  EXPECT_EQ(siphash13(std::vector{std::byte{2}, std::byte{0}}), 0x38c7c12618d6de94u);
  EXPECT_EQ(siphash13(std::vector{std::byte{2}, std::byte{1}}), 0x448e2596803b761bu);
  SipHasher13 hasher;
  hasher.write_u8(2);
  hasher.write_u8(1);
  EXPECT_EQ(hasher.finish(), 0x448e2596803b761bu);
}

TEST(SipHash, IntegersAreWrittenLittleEndian) {
  SipHasher13 hasher;
  hasher.write_u16(0x0102);
  hasher.write_u32(0x03040506);
  hasher.write_u64(0x0708090a0b0c0d0e);
  const std::vector<std::byte> bytes = {std::byte{0x02}, std::byte{0x01}, std::byte{0x06}, std::byte{0x05},
                                        std::byte{0x04}, std::byte{0x03}, std::byte{0x0e}, std::byte{0x0d},
                                        std::byte{0x0c}, std::byte{0x0b}, std::byte{0x0a}, std::byte{0x09},
                                        std::byte{0x08}, std::byte{0x07}};
  EXPECT_EQ(hasher.finish(), siphash13(bytes));
}

// However the bytes are split into writes, the hash is that of one write; and
// finish() may be called in between without disturbing the state.
TEST(SipHash, RandomSplitsGiveTheHashOfOneWrite) {
  std::mt19937_64 random(7);
  for (int round = 0; round < 500; ++round) {
    std::vector<std::byte> bytes(random() % 80);
    for (auto& b : bytes) b = std::byte(random());
    SipHasher13 hasher;
    std::size_t i = 0;
    while (i < bytes.size()) {
      const std::size_t left = bytes.size() - i;
      const auto take = [&](std::size_t n) {
        std::uint64_t value = 0;
        for (std::size_t k = 0; k < n; ++k) value |= static_cast<std::uint64_t>(bytes[i + k]) << (8 * k);
        i += n;
        return value;
      };
      switch (random() % 6) {
        case 0: hasher.write_u8(static_cast<std::uint8_t>(take(1))); break;
        case 1:
          if (left >= 2) hasher.write_u16(static_cast<std::uint16_t>(take(2)));
          break;
        case 2:
          if (left >= 4) hasher.write_u32(static_cast<std::uint32_t>(take(4)));
          break;
        case 3:
          if (left >= 8) hasher.write_u64(take(8));
          break;
        case 4: (void)hasher.finish(); break;
        default: {
          const std::size_t n = random() % (left + 1);
          hasher.write(std::span(bytes).subspan(i, n));
          i += n;
        }
      }
    }
    EXPECT_EQ(hasher.finish(), siphash13(bytes)) << "length " << bytes.size();
  }
}

}  // namespace
}  // namespace tarn_runtime
