#include "exchange/schedule.h"

#include <algorithm>
#include <utility>

#include "exchange/encoding.h"

namespace tarn_exchange {

std::expected<std::shared_ptr<const encoding::EncodedSchedule>, ExchangeError> TileProgramSchedule::encoded() const {
  if (cache) return cache;
  auto built = encoding::build_scheduled_program(*this, receives, horizon,
                                                 encoding::EncodingHint{previous, unchanged_senders, unchanged_receives});
  if (!built) return std::unexpected(built.error());
  // A new value for this object's slot only: copies that shared the old
  // (empty or earlier) cache keep theirs.
  cache = std::make_shared<const encoding::EncodedSchedule>(std::move(*built));
  return cache;
}

void TileProgramSchedule::begin_change() {
  if (!cache) return;
  previous = std::move(cache);  // leaves the cache empty
  unchanged_senders = senders.len();
  unchanged_receives = receives.len();
}

void TileProgramSchedule::sender_changed_at(std::size_t index) {
  begin_change();
  unchanged_senders = std::min(unchanged_senders, index);
}

void TileProgramSchedule::receive_changed_at(std::size_t index) {
  begin_change();
  unchanged_receives = std::min(unchanged_receives, index);
}

}  // namespace tarn_exchange
