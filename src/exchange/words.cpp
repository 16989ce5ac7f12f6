#include "exchange/words.h"

namespace tarn_exchange {

std::vector<std::uint32_t> normalized_exchange_address_words(std::span<const std::uint32_t> words) {
  std::vector<std::uint32_t> out(words.begin(), words.end());
  std::size_t i = 0;
  while (i < out.size()) {
    const std::uint32_t word = out[i];
    if (word >= 0xf0000000u) {
      // SENDPICP: a non-zero send control means the operand is a source
      // address; a clear bit 27 means the second word carries a receive pointer.
      if ((word & 7u) != 0) out[i] = word & 0xffe00007u;
      if ((word & 0x8000000u) == 0 && i + 1 < out.size()) out[i + 1] &= ~0x3ffffu;
      i += 2;
      continue;
    }
    if (static_cast<std::int32_t>(word) > 0x77ffffff) {
      out[i] = word & 0x7fe00007u;
    } else if ((word & 0xf81c0000u) == 0x70180000u || (word & 0xfc040000u) == 0x60000000u) {
      out[i] = word & ~0x3ffffu;
    }
    ++i;
  }
  return out;
}

}  // namespace tarn_exchange
