// A tile's exchange plan for one phase in schedule form, and its encoding.
//
// TileProgramSchedule holds the placed sender rows and the timed receive
// controls of one tile, ordered by time, on copy-on-write sequences so that
// the phase program builder can copy whole schedules for every placement it
// tries. The encoding of a schedule is cached on it as a shared, immutable
// value: copies share it, and filling the cache of one copy never changes
// what another copy sees.
//
// Cache protocol, followed by every writer of a schedule: call begin_change()
// before the first change after an encoding (it moves the cached encoding to
// `previous` and marks every current row and event as unchanged), then report
// each row or event inserted, removed or replaced at index i with
// sender_changed_at(i) or receive_changed_at(i). A change of `horizon` needs
// only begin_change(); `receive_state` and `busy_until` do not affect the
// encoding. Re-encoding then resumes from the last checkpoint that the changes
// cannot have affected.
//
// encoded() is const but fills this object's (mutable) cache slot, so it must
// not run on one object from two threads at once; copies have their own
// slots and may be used from different threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>

#include "exchange/chunked.h"
#include "exchange/error.h"
#include "exchange/timing.h"
#include "exchange/words.h"

namespace tarn_exchange {

namespace encoding {

// A resume point of an encoding: one per sender row and one per receive
// event group, in program order.
struct Checkpoint {
  bool pair = false;                 // follows a group of two events (a SENDPICP)
  std::uint32_t limit = 0;           // for a pair: the interval limit that fixed the SENDPICP length; else 0
  std::size_t sender_rows = 0;       // sender rows fully encoded before this point
  std::size_t receive_events = 0;    // receive events consumed before this point
  std::size_t words = 0;             // program length at this point
  std::uint32_t cycle = 0;           // current cycle at this point
  friend bool operator==(const Checkpoint&, const Checkpoint&) = default;
};

// An encoded program with its resume points. Shared between schedules as an
// immutable value: never changed once built.
struct EncodedSchedule {
  Chunked<std::uint32_t> words;     // the program, ending with Return
  Chunked<Checkpoint> checkpoints;  // resume points in program order
};

}  // namespace encoding

struct TileProgramSchedule {
  Chunked<ScheduledSenderRow> senders;  // ordered by start, never overlapping
  Chunked<ReceiveEvent> receives;       // ordered by cycle; equal cycles keep insertion order
  // The last successful encoding since the last change; empty until encoded.
  mutable std::shared_ptr<const encoding::EncodedSchedule> cache;
  // The last encoding made before the changes since.
  std::shared_ptr<const encoding::EncodedSchedule> previous;
  std::size_t unchanged_senders = 0;   // leading rows unchanged since `previous` was made
  std::size_t unchanged_receives = 0;  // leading events unchanged since `previous` was made
  std::optional<TileReceiveState> receive_state;
  std::uint32_t busy_until = 0;  // lent as a paired partner until this cycle
  std::uint32_t horizon = 0;     // the program runs up to this cycle; 0 for an idle tile

  // The encoding of the schedule: the cache when set, otherwise built (from
  // `previous` where it still applies), stored and returned. On failure the
  // cache stays empty.
  [[nodiscard]] std::expected<std::shared_ptr<const encoding::EncodedSchedule>, ExchangeError> encoded() const;

  // Cache protocol, see the top of this file. begin_change() does nothing
  // when the cache is empty. The *_changed_at calls imply begin_change(), so a
  // writer that reports every row and event it touches cannot leave a stale
  // cache behind.
  void begin_change();
  void sender_changed_at(std::size_t index);
  void receive_changed_at(std::size_t index);
};

}  // namespace tarn_exchange
