// Shared pieces of the fabric tests: the standard board and rows written out
// word by word.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>

#include "exchange/topology.h"
#include "exchange/words.h"

namespace fabric_test {

inline const tarn_exchange::Topology& standard() {
  static const tarn_exchange::Topology topology = tarn_exchange::Topology::standard_1472();
  return topology;
}

// A row from its leading words; the rest stay zero.
inline tarn_exchange::Row row_of(std::initializer_list<std::uint32_t> words) {
  tarn_exchange::Row row{};
  std::copy(words.begin(), words.end(), row.begin());
  return row;
}

}  // namespace fabric_test
