// Structured log events and the process-wide logger behind them.
//
// An event has a level, a target (the emitting module path, for example
// "tarn_codegen::exchange::order"), a message and named fields. Emit events
// through TARN_EVENT or its level shorthands: when no logger is installed, or
// the filter rejects the event, nothing past one relaxed atomic load and a
// level comparison runs, and the field expressions are not evaluated.
//
// init_tracing installs the logger once per process. Its filter comes from
// SPDLOG_LEVEL: comma-separated directives, each a bare level (applies to all
// targets) or target=level (applies to that module path and every path below
// it, "a::b" covering "a::b::c" but not "a::bc"); the most specific directive
// wins. A value that does not parse gives the filter "info". TARN_LOG_FORMAT
// exactly "json" selects one JSON object per event and line; anything else the
// default text line. Events go to standard output, interleaved in order with
// the program's own lines written through stdio.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

namespace tarn_runtime {

enum class Level : std::uint8_t { Trace, Debug, Info, Warn, Error };

// A field value: integers, floating point, booleans and text.
using FieldValue = std::variant<std::uint64_t, std::int64_t, double, bool, std::string_view, std::string>;

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
    } else if constexpr (std::is_same_v<U, std::string>) {
      return FieldValue(std::in_place_type<std::string>, std::forward<T>(v));
    } else {
      return FieldValue(std::in_place_type<std::string_view>, std::string_view(v));
    }
  }
};

namespace logging_detail {
// The most verbose level any directive of the installed filter lets through,
// or a value above Error when no logger is installed.
extern std::uint8_t most_verbose_level;  // written once, by installation
[[nodiscard]] bool target_enabled(Level level, std::string_view target) noexcept;
}  // namespace logging_detail

// Whether an event of this level and target would be written.
[[nodiscard]] inline bool event_enabled(Level level, std::string_view target) noexcept {
  if (static_cast<std::uint8_t>(level) < logging_detail::most_verbose_level) return false;
  return logging_detail::target_enabled(level, target);
}

// Writes one event unconditionally through the installed logger (no-op without one).
void emit_event(Level level, std::string_view target, std::string_view message,
                std::initializer_list<Field> fields);

// Installs the process-wide logger from SPDLOG_LEVEL and TARN_LOG_FORMAT.
// A second call leaves the first logger in place.
void init_tracing();

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
