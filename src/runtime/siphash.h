// SipHash with an all-zero 128-bit key and a 64-bit result.
//
// SipHash-1-3 is the one hash whose values the system's output depends on
// (report fingerprints, storage-row fingerprints, recipe shape fingerprints),
// so it is stable across runs and machines: integers are taken in little-endian
// byte order whatever the host. The round counts are template parameters only
// so that the implementation can be checked against the SipHash-2-4 reference
// vectors as well.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tarn_runtime {

template <int CompressionRounds, int FinalizationRounds>
class BasicSipHasher {
 public:
  // The key is (k0, k1) as two little-endian 64-bit halves; all zero by default.
  explicit BasicSipHasher(std::uint64_t k0 = 0, std::uint64_t k1 = 0) noexcept;

  void write(std::span<const std::byte> bytes) noexcept;
  void write_u8(std::uint8_t value) noexcept;
  void write_u16(std::uint16_t value) noexcept;
  void write_u32(std::uint32_t value) noexcept;
  void write_u64(std::uint64_t value) noexcept;

  // The hash of everything written so far; the hasher may go on taking bytes.
  [[nodiscard]] std::uint64_t finish() const noexcept;

 private:
  void compress(std::uint64_t block) noexcept;

  std::uint64_t v0_, v1_, v2_, v3_;
  std::uint64_t tail_ = 0;       // pending bytes, little-endian, fewer than 8
  std::size_t tail_length_ = 0;  // number of pending bytes
  std::uint64_t length_ = 0;     // total bytes written
};

using SipHasher13 = BasicSipHasher<1, 3>;
using SipHasher24 = BasicSipHasher<2, 4>;

extern template class BasicSipHasher<1, 3>;
extern template class BasicSipHasher<2, 4>;

// SipHash-1-3 of `bytes` under the all-zero key.
[[nodiscard]] std::uint64_t siphash13(std::span<const std::byte> bytes) noexcept;

}  // namespace tarn_runtime
