// Structured log events and the process-wide logger behind them.
//
// An event has a level, a target (the emitting module path, for example
// "tarn_codegen::exchange::order"), a message and named fields. Emit events
// through TARN_EVENT or its level shorthands:
//
//   TARN_DEBUG("tarn_exchange", "point-to-point route", {"source", s}, {"destination", d});
//
// When no logger is installed, or the event's level is below every directive
// of the filter, nothing past one relaxed atomic load and a comparison runs;
// a rejected event never evaluates its field expressions.
//
// init_tracing installs the logger once per process. Its filter comes from
// SPDLOG_LEVEL, a comma-separated list of directives (see LogFilter);
// TARN_LOG_FORMAT exactly "json" selects one JSON object per event and line,
// anything else the text line:
//
//   2026-12-11T09:13:44.123456Z DEBUG tarn_exchange: point-to-point route source=3 destination=9
//   {"timestamp":"2026-12-11T09:13:44.123456Z","level":"DEBUG","target":"tarn_exchange",
//    "message":"point-to-point route","fields":{"source":3,"destination":9}}   (one line)
//
// Timestamps are UTC. Every event is exactly one line of valid UTF-8: control
// characters are escaped as in JSON and bytes that are not well-formed UTF-8
// become U+FFFD; text values are quoted in the text line when empty or holding
// blanks, quotes, backslashes or '='. In JSON, NaN and infinities are strings.
//
// Events go to standard output through the same stdio stream as the program's
// own lines, one write and flush per event, so both interleave in order. The
// logger may be used from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace tarn_runtime {

enum class Level : std::uint8_t { Trace, Debug, Info, Warn, Error };

// A field value: integers, floating point, booleans and text.
using FieldValue = std::variant<std::uint64_t, std::int64_t, double, bool, std::string_view, std::string>;

// A named field. It lives only for the statement that emits the event, so
// text given as an lvalue is viewed, not copied; temporaries are owned.
struct Field {
  std::string_view name;
  FieldValue value;

  template <class T>
  Field(std::string_view field_name, T&& field_value) : name(field_name), value(convert(std::forward<T>(field_value))) {}

 private:
  template <class T>
  static FieldValue convert(T&& v) {
    using U = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<U, bool>) {
      return FieldValue(std::in_place_type<bool>, v);
    } else if constexpr (std::is_integral_v<U> && std::is_unsigned_v<U>) {
      return FieldValue(std::in_place_type<std::uint64_t>, static_cast<std::uint64_t>(v));
    } else if constexpr (std::is_integral_v<U>) {
      return FieldValue(std::in_place_type<std::int64_t>, static_cast<std::int64_t>(v));
    } else if constexpr (std::is_enum_v<U>) {
      return FieldValue(std::in_place_type<std::uint64_t>, static_cast<std::uint64_t>(v));
    } else if constexpr (std::is_floating_point_v<U>) {
      return FieldValue(std::in_place_type<double>, static_cast<double>(v));
    } else if constexpr (std::is_same_v<U, std::string> && !std::is_lvalue_reference_v<T>) {
      return FieldValue(std::in_place_type<std::string>, std::forward<T>(v));
    } else {
      return FieldValue(std::in_place_type<std::string_view>, std::string_view(v));
    }
  }
};

// Which events pass, by level and target.
//
// The directive list is comma-separated; each directive is a bare level,
// which applies to every target, or target=level, which applies to that module
// path and every path below it: "a::b" covers "a::b" and "a::b::c" but not
// "a::bc" or "a". For a given target the longest matching target directive
// decides; the bare level is the fallback; a target that no directive matches
// and no bare level covers gets nothing (off). A later directive for the same
// target, or a later bare level, replaces an earlier one.
//
// Levels: trace, debug, info, warn or warning, error or err, critical (the
// same as error), off; case does not matter. Blanks around targets and levels
// are ignored, and so are empty directives ("debug," is "debug"). A target is
// a module path: identifiers of letters, digits and '_' joined by "::", matched
// case-sensitively. A list that does not parse (an unknown level, an empty or
// malformed target, a directive with two '=') is replaced by "info" as a whole,
// and so is a list with no directive at all, the empty value included:
// info and above pass for every target.
class LogFilter {
 public:
  explicit LogFilter(std::string_view directives);

  [[nodiscard]] bool enabled(Level level, std::string_view target) const noexcept;

  // The most verbose level any directive lets through, or a value above Error
  // when every directive is off.
  [[nodiscard]] std::uint8_t most_verbose_level() const noexcept;

 private:
  struct Directive {
    std::string target;
    std::uint8_t level;
  };
  std::vector<Directive> directives_;  // longest target first
  std::uint8_t fallback_;              // the bare level, or off
};

enum class LogFormat { Text, Json };

namespace logging_detail {
// The gate in front of every event: the filter's most verbose level, or a value
// above Error when no logger is installed. Read relaxed: it only ever lets an
// event through to target_enabled, which synchronises with installation.
extern std::atomic<std::uint8_t> most_verbose_level;
[[nodiscard]] bool target_enabled(Level level, std::string_view target) noexcept;
}  // namespace logging_detail

// Whether an event of this level and target would be written.
[[nodiscard]] inline bool event_enabled(Level level, std::string_view target) noexcept {
  if (static_cast<std::uint8_t>(level) < logging_detail::most_verbose_level.load(std::memory_order_relaxed)) {
    return false;
  }
  return logging_detail::target_enabled(level, target);
}

// Writes one event through the installed logger without consulting the filter
// (no-op without a logger). A failed write is reported once on standard error.
void emit_event(Level level, std::string_view target, std::string_view message,
                std::initializer_list<Field> fields) noexcept;

// Installs the process-wide logger from SPDLOG_LEVEL and TARN_LOG_FORMAT,
// writing to standard output. A second call leaves the first logger in place.
void init_tracing() noexcept;

// Installs the process-wide logger with this filter and format, writing to
// `out`, which must stay open while the logger is installed. Returns false,
// changing nothing, when a logger is installed already.
bool install_logger(std::string_view directives, LogFormat format, std::FILE* out) noexcept;

// Removes the installed logger, for tests. No event may be in flight.
void reset_logger_for_testing() noexcept;

}  // namespace tarn_runtime

#define TARN_EVENT(level, target, message, ...)                                                 \
  do {                                                                                          \
    if (::tarn_runtime::event_enabled((level), (target))) {                                     \
      ::tarn_runtime::emit_event((level), (target), (message), {__VA_ARGS__});                  \
    }                                                                                           \
  } while (false)

#define TARN_TRACE(target, message, ...) TARN_EVENT(::tarn_runtime::Level::Trace, target, message __VA_OPT__(, ) __VA_ARGS__)
#define TARN_DEBUG(target, message, ...) TARN_EVENT(::tarn_runtime::Level::Debug, target, message __VA_OPT__(, ) __VA_ARGS__)
#define TARN_INFO(target, message, ...) TARN_EVENT(::tarn_runtime::Level::Info, target, message __VA_OPT__(, ) __VA_ARGS__)
#define TARN_WARN(target, message, ...) TARN_EVENT(::tarn_runtime::Level::Warn, target, message __VA_OPT__(, ) __VA_ARGS__)
#define TARN_ERROR(target, message, ...) TARN_EVENT(::tarn_runtime::Level::Error, target, message __VA_OPT__(, ) __VA_ARGS__)
