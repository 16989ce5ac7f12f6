// UTF-8 well-formedness, one sequence at a time.
#pragma once

#include <cstddef>
#include <string_view>

namespace tarn_runtime {

// The length (1 to 4) of the well-formed UTF-8 sequence at the start of `s`,
// or 0 when it starts with none: a stray continuation byte, an overlong form,
// a surrogate, a value above U+10FFFF, or a sequence cut short.
[[nodiscard]] inline std::size_t utf8_sequence_length(std::string_view s) noexcept {
  if (s.empty()) return 0;
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length;
  unsigned low = 0x80, high = 0xbf;  // allowed range of the second byte
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;   // overlong
    if (lead == 0xed) high = 0x9f;  // surrogates
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;   // overlong
    if (lead == 0xf4) high = 0x8f;  // above U+10FFFF
  } else {
    return 0;
  }
  if (s.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if ((byte(i) & 0xc0) != 0x80) return 0;
  }
  return length;
}

}  // namespace tarn_runtime
