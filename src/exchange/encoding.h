// Encoding a tile's schedule into its exchange program.
//
// A program is the time-ordered concatenation of receive-control records and
// sender messages, executed from the phase-entry synchronisation (which it
// does not contain) and ending with Return. Encoding can resume from a
// checkpoint of an earlier encoding of the same schedule, re-emitting only
// the words after the last point that the changes since cannot have affected;
// the result is then word for word (and checkpoint for checkpoint) what a
// fresh encoding gives, and the earlier encoding is left untouched.
//
// Every failure is a Schedule error; a failed encoding leaves nothing behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>

#include "exchange/chunked.h"
#include "exchange/error.h"
#include "exchange/schedule.h"

namespace tarn_exchange::encoding {

// What an earlier encoding offers: the encoding, and how many leading sender
// rows and receive events are unchanged since it was made.
struct EncodingHint {
  std::shared_ptr<const EncodedSchedule> previous;
  std::size_t unchanged_senders = 0;
  std::size_t unchanged_receives = 0;
};

// Encodes the sender rows of `schedule` and the events `receives` (normally
// schedule.receives) into a program that runs up to `horizon`, resuming from
// `hint.previous` where it still applies.
[[nodiscard]] std::expected<EncodedSchedule, ExchangeError> build_scheduled_program(
    const TileProgramSchedule& schedule, const Chunked<ReceiveEvent>& receives, std::uint32_t horizon,
    const EncodingHint& hint);

// Emits one placed sender row starting at `cycle` (delays up to its start
// first), carrying the receive controls `events` that fall inside it on its
// send words; `cycle` ends at the row's end.
[[nodiscard]] std::expected<void, ExchangeError> append_sender_message(Chunked<std::uint32_t>& sink,
                                                                       std::uint32_t& cycle,
                                                                       const ScheduledSenderRow& row,
                                                                       std::span<const ReceiveEvent> events);

// Emits `length` payload words of a sender message as send words: the
// initial send `initial_word` (an Explicit send, count rewritten, at most 64
// words) while `initial_sent` is false, Offset sends with control `control`
// (at most 4096 words each) after it. With `align` the sink length ends even,
// so that a SENDPICP can follow; a chunk is split to get there. `cycle`,
// `remaining` and `sent` advance with every word. Requires cycle + length to
// fit in 32 bits (the sender message never asks beyond its next control).
[[nodiscard]] std::expected<void, ExchangeError> emit_sender_words(Chunked<std::uint32_t>& sink,
                                                                   std::uint32_t& cycle,
                                                                   std::uint32_t initial_word,
                                                                   std::uint32_t control,
                                                                   std::uint32_t& remaining, std::uint32_t& sent,
                                                                   bool& initial_sent, std::uint32_t length,
                                                                   bool align);

}  // namespace tarn_exchange::encoding
