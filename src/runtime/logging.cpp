#include "runtime/logging.h"

#include "runtime/utf8.h"

#include <spdlog/details/log_msg.h>
#include <spdlog/formatter.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>

namespace tarn_runtime {
namespace {

constexpr std::uint8_t kOff = static_cast<std::uint8_t>(Level::Error) + 1;

// ---------------------------------------------------------------------------
// Filter directives

std::string_view trim(std::string_view s) {
  constexpr std::string_view blanks = " \t\r\n\v\f";
  const auto first = s.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return lower(x) == lower(y);
  });
}

std::optional<std::uint8_t> parse_level(std::string_view text) {
  struct Name {
    std::string_view name;
    std::uint8_t level;
  };
  static constexpr Name names[] = {
      {"trace", static_cast<std::uint8_t>(Level::Trace)}, {"debug", static_cast<std::uint8_t>(Level::Debug)},
      {"info", static_cast<std::uint8_t>(Level::Info)},   {"warn", static_cast<std::uint8_t>(Level::Warn)},
      {"warning", static_cast<std::uint8_t>(Level::Warn)}, {"error", static_cast<std::uint8_t>(Level::Error)},
      {"err", static_cast<std::uint8_t>(Level::Error)},   {"critical", static_cast<std::uint8_t>(Level::Error)},
      {"off", kOff},
  };
  for (const Name& n : names) {
    if (equals_ignoring_case(text, n.name)) return n.level;
  }
  return std::nullopt;
}

bool is_identifier_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// A module path: identifiers of letters, digits and '_' joined by "::".
bool valid_target(std::string_view target) {
  std::size_t i = 0;
  while (true) {
    const std::size_t start = i;
    while (i < target.size() && is_identifier_char(target[i])) ++i;
    if (i == start) return false;
    if (i == target.size()) return true;
    if (target.substr(i, 2) != "::") return false;
    i += 2;
  }
}

// `target` is `path` or lies below it.
bool covers(std::string_view path, std::string_view target) {
  return target.starts_with(path) && (target.size() == path.size() || target.substr(path.size()).starts_with("::"));
}

// ---------------------------------------------------------------------------
// Line rendering

void put(spdlog::memory_buf_t& out, std::string_view s) { out.append(s.data(), s.data() + s.size()); }

// Appends `text` so that it stays on one line and is valid UTF-8: control
// characters are escaped as in JSON, and every byte that is not part of a
// well-formed UTF-8 sequence becomes U+FFFD. Inside quotes, '"' and '\' are
// escaped too.
void append_escaped(spdlog::memory_buf_t& out, std::string_view text, bool quoted) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) {
      switch (c) {
        case '\n': put(out, "\\n"); break;
        case '\r': put(out, "\\r"); break;
        case '\t': put(out, "\\t"); break;
        case '\b': put(out, "\\b"); break;
        case '\f': put(out, "\\f"); break;
        default: fmt::format_to(std::back_inserter(out), "\\u{:04x}", c);
      }
      ++i;
    } else if (c < 0x80) {
      if (quoted && (c == '"' || c == '\\')) out.push_back('\\');
      out.push_back(static_cast<char>(c));
      ++i;
    } else if (const std::size_t length = tarn_runtime::utf8_sequence_length(text.substr(i)); length != 0) {
      put(out, text.substr(i, length));
      i += length;
    } else {
      put(out, "\xef\xbf\xbd");
      ++i;
    }
  }
}

void append_quoted(spdlog::memory_buf_t& out, std::string_view text) {
  out.push_back('"');
  append_escaped(out, text, true);
  out.push_back('"');
}

// RFC 3339 in UTC with microseconds: 2026-12-11T09:13:44.123456Z.
void append_timestamp(spdlog::memory_buf_t& out, std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto us = floor<microseconds>(time);
  const auto day = floor<days>(us);
  const year_month_day date{day};
  const hh_mm_ss<microseconds> clock{us - day};
  fmt::format_to(std::back_inserter(out), "{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:06}Z", static_cast<int>(date.year()),
                 static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()), clock.hours().count(),
                 clock.minutes().count(), clock.seconds().count(), clock.subseconds().count());
}

std::string_view level_name(Level level) {
  switch (level) {
    case Level::Trace: return "TRACE";
    case Level::Debug: return "DEBUG";
    case Level::Info: return "INFO";
    case Level::Warn: return "WARN";
    case Level::Error: return "ERROR";
  }
  return "?";
}

spdlog::level::level_enum to_spdlog(Level level) {
  switch (level) {
    case Level::Trace: return spdlog::level::trace;
    case Level::Debug: return spdlog::level::debug;
    case Level::Info: return spdlog::level::info;
    case Level::Warn: return spdlog::level::warn;
    case Level::Error: return spdlog::level::err;
  }
  return spdlog::level::err;
}

// spdlog's record carries no fields, so an event extends it. The logger below
// is private to this file and is only ever handed Events, so the formatters
// may take every record they see for one.
struct Event : spdlog::details::log_msg {
  Event(Level event_level, std::string_view target, std::string_view message, std::initializer_list<Field> event_fields)
      : log_msg(spdlog::source_loc{}, spdlog::string_view_t(target.data(), target.size()), to_spdlog(event_level),
                spdlog::string_view_t(message.data(), message.size())),
        tarn_level(event_level),
        fields(event_fields) {}

  [[nodiscard]] std::string_view target() const { return {logger_name.data(), logger_name.size()}; }
  [[nodiscard]] std::string_view message() const { return {payload.data(), payload.size()}; }

  Level tarn_level;
  std::initializer_list<Field> fields;
};

// timestamp LEVEL target: message name=value ...
class TextFormatter final : public spdlog::formatter {
 public:
  void format(const spdlog::details::log_msg& msg, spdlog::memory_buf_t& out) override {
    const auto& event = static_cast<const Event&>(msg);
    append_timestamp(out, event.time);
    fmt::format_to(std::back_inserter(out), " {:>5} ", level_name(event.tarn_level));
    append_escaped(out, event.target(), false);
    put(out, ": ");
    append_escaped(out, event.message(), false);
    for (const Field& field : event.fields) {
      out.push_back(' ');
      append_escaped(out, field.name, false);
      out.push_back('=');
      std::visit([&](const auto& value) { append_value(out, value); }, field.value);
    }
    out.push_back('\n');
  }

  [[nodiscard]] std::unique_ptr<spdlog::formatter> clone() const override { return std::make_unique<TextFormatter>(); }

 private:
  static void append_value(spdlog::memory_buf_t& out, std::string_view text) {
    // Quoted only where a bare value would be ambiguous or invisible.
    const bool plain = !text.empty() && std::ranges::none_of(text, [](char ch) {
      const auto c = static_cast<unsigned char>(ch);
      return c <= 0x20 || c == 0x7f || c == '"' || c == '\\' || c == '=';
    });
    if (plain) {
      append_escaped(out, text, false);
    } else {
      append_quoted(out, text);
    }
  }
  static void append_value(spdlog::memory_buf_t& out, const std::string& text) {
    append_value(out, std::string_view(text));
  }
  static void append_value(spdlog::memory_buf_t& out, bool value) { put(out, value ? "true" : "false"); }
  template <class Number>
  static void append_value(spdlog::memory_buf_t& out, Number value) {
    fmt::format_to(std::back_inserter(out), "{}", value);
  }
};

// {"timestamp":"...","level":"DEBUG","target":"...","message":"...","fields":{"name":value,...}}
class JsonFormatter final : public spdlog::formatter {
 public:
  void format(const spdlog::details::log_msg& msg, spdlog::memory_buf_t& out) override {
    const auto& event = static_cast<const Event&>(msg);
    put(out, "{\"timestamp\":\"");
    append_timestamp(out, event.time);
    put(out, "\",\"level\":\"");
    put(out, level_name(event.tarn_level));
    put(out, "\",\"target\":");
    append_quoted(out, event.target());
    put(out, ",\"message\":");
    append_quoted(out, event.message());
    put(out, ",\"fields\":{");
    bool first = true;
    for (const Field& field : event.fields) {
      if (!first) out.push_back(',');
      first = false;
      append_quoted(out, field.name);
      out.push_back(':');
      std::visit([&](const auto& value) { append_value(out, value); }, field.value);
    }
    put(out, "}}\n");
  }

  [[nodiscard]] std::unique_ptr<spdlog::formatter> clone() const override { return std::make_unique<JsonFormatter>(); }

 private:
  static void append_value(spdlog::memory_buf_t& out, std::string_view text) { append_quoted(out, text); }
  static void append_value(spdlog::memory_buf_t& out, const std::string& text) { append_quoted(out, text); }
  static void append_value(spdlog::memory_buf_t& out, bool value) { put(out, value ? "true" : "false"); }
  static void append_value(spdlog::memory_buf_t& out, double value) {
    // JSON has no NaN or infinity; those travel as text.
    if (std::isfinite(value)) {
      fmt::format_to(std::back_inserter(out), "{}", value);
    } else {
      fmt::format_to(std::back_inserter(out), "\"{}\"", value);
    }
  }
  template <class Integer>
  static void append_value(spdlog::memory_buf_t& out, Integer value) {
    fmt::format_to(std::back_inserter(out), "{}", value);
  }
};

// ---------------------------------------------------------------------------
// Output

// Writes each line to a stdio stream with one fwrite and one fflush, so that
// events and the program's own lines on the same stream keep their order.
class StdioSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  StdioSink(std::FILE* out, std::unique_ptr<spdlog::formatter> formatter)
      : base_sink(std::move(formatter)), out_(out) {}

  // The first failure is reported on standard error; later ones would only
  // repeat it, and logging must not stop the program.
  void report_failure(std::string_view what) noexcept {
    if (failure_reported_.exchange(true)) return;
    std::fprintf(stderr, "warning: cannot write log event: %.*s\n", static_cast<int>(what.size()), what.data());
  }

 private:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    spdlog::memory_buf_t line;
    formatter_->format(msg, line);
    errno = 0;
    const bool written = std::fwrite(line.data(), 1, line.size(), out_) == line.size();
    const bool flushed = std::fflush(out_) == 0;
    if (!written || !flushed) report_failure(errno != 0 ? std::strerror(errno) : "write error");
  }

  void flush_() override { std::fflush(out_); }

  std::FILE* out_;
  std::atomic<bool> failure_reported_{false};
};

class EventLogger final : public spdlog::logger {
 public:
  explicit EventLogger(const std::shared_ptr<StdioSink>& sink) : spdlog::logger("tarn", sink) {
    // Formatting failures land here rather than in spdlog's own handler.
    set_error_handler([sink](const std::string& what) { sink->report_failure(what); });
  }

  void write(const Event& event) { sink_it_(event); }
};

struct Installed {
  Installed(std::string_view directives, std::FILE* out, std::unique_ptr<spdlog::formatter> formatter)
      : filter(directives), logger(std::make_shared<StdioSink>(out, std::move(formatter))) {}

  LogFilter filter;
  EventLogger logger;
};

// Set once by installation (release), read by every enabled event (acquire).
std::atomic<Installed*> installed{nullptr};

}  // namespace

// ---------------------------------------------------------------------------

LogFilter::LogFilter(std::string_view list) : fallback_(kOff) {
  bool any = false;
  bool ok = true;
  std::size_t start = 0;
  while (ok) {
    const std::size_t comma = list.find(',', start);
    const std::string_view directive = trim(list.substr(start, comma == std::string_view::npos ? comma : comma - start));
    if (!directive.empty()) {
      any = true;
      const std::size_t equals = directive.find('=');
      if (equals == std::string_view::npos) {
        const auto level = parse_level(directive);
        ok = level.has_value();
        if (ok) fallback_ = *level;
      } else {
        const std::string_view target = trim(directive.substr(0, equals));
        const auto level = parse_level(trim(directive.substr(equals + 1)));
        ok = valid_target(target) && level.has_value();
        if (ok) {
          const auto same = std::ranges::find(directives_, target, &Directive::target);
          if (same != directives_.end()) {
            same->level = *level;
          } else {
            directives_.push_back({std::string(target), *level});
          }
        }
      }
    }
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  if (!ok || !any) {
    directives_.clear();
    fallback_ = static_cast<std::uint8_t>(Level::Info);
  }
  // Paths that cover one target are prefixes of each other, so the longest
  // match is the first one met in this order.
  std::ranges::stable_sort(directives_, std::ranges::greater{}, [](const Directive& d) { return d.target.size(); });
}

bool LogFilter::enabled(Level level, std::string_view target) const noexcept {
  const auto value = static_cast<std::uint8_t>(level);
  for (const Directive& d : directives_) {
    if (covers(d.target, target)) return value >= d.level;
  }
  return value >= fallback_;
}

std::uint8_t LogFilter::most_verbose_level() const noexcept {
  std::uint8_t level = fallback_;
  for (const Directive& d : directives_) level = std::min(level, d.level);
  return level;
}

namespace logging_detail {

std::atomic<std::uint8_t> most_verbose_level{kOff};

bool target_enabled(Level level, std::string_view target) noexcept {
  const Installed* logger = installed.load(std::memory_order_acquire);
  return logger != nullptr && logger->filter.enabled(level, target);
}

}  // namespace logging_detail

void emit_event(Level level, std::string_view target, std::string_view message,
                std::initializer_list<Field> fields) noexcept {
  Installed* logger = installed.load(std::memory_order_acquire);
  if (logger == nullptr) return;
  // The logger hands formatting and write errors to its error handler; this
  // only guards against anything escaping past it.
  try {
    logger->logger.write(Event(level, target, message, fields));
  } catch (...) {
  }
}

bool install_logger(std::string_view directives, LogFormat format, std::FILE* out) noexcept {
  try {
    std::unique_ptr<spdlog::formatter> formatter;
    if (format == LogFormat::Json) {
      formatter = std::make_unique<JsonFormatter>();
    } else {
      formatter = std::make_unique<TextFormatter>();
    }
    auto candidate = std::make_unique<Installed>(directives, out, std::move(formatter));
    Installed* expected = nullptr;
    if (!installed.compare_exchange_strong(expected, candidate.get(), std::memory_order_acq_rel)) return false;
    logging_detail::most_verbose_level.store(candidate.release()->filter.most_verbose_level(),
                                             std::memory_order_relaxed);
    return true;
  } catch (...) {
    return false;
  }
}

void init_tracing() noexcept {
  const char* directives = std::getenv("SPDLOG_LEVEL");
  const char* format = std::getenv("TARN_LOG_FORMAT");
  const bool json = format != nullptr && std::string_view(format) == "json";
  install_logger(directives != nullptr ? directives : "", json ? LogFormat::Json : LogFormat::Text, stdout);
}

void reset_logger_for_testing() noexcept {
  logging_detail::most_verbose_level.store(kOff, std::memory_order_relaxed);
  delete installed.exchange(nullptr, std::memory_order_acq_rel);
}

}  // namespace tarn_runtime
