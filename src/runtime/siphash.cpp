#include "runtime/siphash.h"

#include <bit>

namespace tarn_runtime {
namespace {

struct State {
  std::uint64_t& v0;
  std::uint64_t& v1;
  std::uint64_t& v2;
  std::uint64_t& v3;

  void round() noexcept {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }
};

}  // namespace

template <int C, int D>
BasicSipHasher<C, D>::BasicSipHasher(std::uint64_t k0, std::uint64_t k1) noexcept
    : v0_(k0 ^ 0x736f6d6570736575ULL),
      v1_(k1 ^ 0x646f72616e646f6dULL),
      v2_(k0 ^ 0x6c7967656e657261ULL),
      v3_(k1 ^ 0x7465646279746573ULL) {}

template <int C, int D>
void BasicSipHasher<C, D>::compress(std::uint64_t block) noexcept {
  State s{v0_, v1_, v2_, v3_};
  v3_ ^= block;
  for (int i = 0; i < C; ++i) s.round();
  v0_ ^= block;
}

template <int C, int D>
void BasicSipHasher<C, D>::write(std::span<const std::byte> bytes) noexcept {
  length_ += bytes.size();
  std::size_t i = 0;
  // Fill the pending tail first, then whole 8-byte blocks, then keep the rest.
  while (tail_length_ != 0 && i < bytes.size()) {
    tail_ |= static_cast<std::uint64_t>(bytes[i++]) << (8 * tail_length_);
    if (++tail_length_ == 8) {
      compress(tail_);
      tail_ = 0;
      tail_length_ = 0;
    }
  }
  for (; i + 8 <= bytes.size(); i += 8) {
    std::uint64_t block = 0;
    for (std::size_t b = 0; b < 8; ++b) {
      block |= static_cast<std::uint64_t>(bytes[i + b]) << (8 * b);
    }
    compress(block);
  }
  for (; i < bytes.size(); ++i) {
    tail_ |= static_cast<std::uint64_t>(bytes[i]) << (8 * tail_length_);
    ++tail_length_;
  }
}

template <int C, int D>
void BasicSipHasher<C, D>::write_u8(std::uint8_t value) noexcept {
  const std::byte b[1] = {std::byte{value}};
  write(b);
}

template <int C, int D>
void BasicSipHasher<C, D>::write_u16(std::uint16_t value) noexcept {
  const std::byte b[2] = {std::byte(value & 0xff), std::byte(value >> 8)};
  write(b);
}

template <int C, int D>
void BasicSipHasher<C, D>::write_u32(std::uint32_t value) noexcept {
  std::byte b[4];
  for (int i = 0; i < 4; ++i) b[i] = std::byte((value >> (8 * i)) & 0xff);
  write(b);
}

template <int C, int D>
void BasicSipHasher<C, D>::write_u64(std::uint64_t value) noexcept {
  std::byte b[8];
  for (int i = 0; i < 8; ++i) b[i] = std::byte((value >> (8 * i)) & 0xff);
  write(b);
}

template <int C, int D>
std::uint64_t BasicSipHasher<C, D>::finish() const noexcept {
  std::uint64_t v0 = v0_, v1 = v1_, v2 = v2_, v3 = v3_;
  State s{v0, v1, v2, v3};
  const std::uint64_t last = ((length_ & 0xff) << 56) | tail_;
  v3 ^= last;
  for (int i = 0; i < C; ++i) s.round();
  v0 ^= last;
  v2 ^= 0xff;
  for (int i = 0; i < D; ++i) s.round();
  return v0 ^ v1 ^ v2 ^ v3;
}

template class BasicSipHasher<1, 3>;
template class BasicSipHasher<2, 4>;

std::uint64_t siphash13(std::span<const std::byte> bytes) noexcept {
  SipHasher13 hasher;
  hasher.write(bytes);
  return hasher.finish();
}

}  // namespace tarn_runtime
