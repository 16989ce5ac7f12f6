#include "runtime/logging.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace tarn_runtime {
namespace {

using namespace std::string_literals;

std::string read_whole(int fd) {
  std::string text;
  char buffer[4096];
  for (off_t offset = 0;;) {
    const ssize_t n = pread(fd, buffer, sizeof buffer, offset);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    offset += n;
  }
  return text;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start) + "<no newline>");
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// Installs a logger writing to a temporary file for the lifetime of the object.
class CapturedLog {
 public:
  CapturedLog(std::string_view directives, LogFormat format) : file_(std::tmpfile()) {
    reset_logger_for_testing();
    EXPECT_TRUE(install_logger(directives, format, file_));
  }
  ~CapturedLog() {
    reset_logger_for_testing();
    std::fclose(file_);
  }
  CapturedLog(const CapturedLog&) = delete;
  CapturedLog& operator=(const CapturedLog&) = delete;

  std::vector<std::string> lines() const { return split_lines(read_whole(fileno(file_))); }

 private:
  std::FILE* file_;
};

// Sends everything written to a standard stream's descriptor into a temporary
// file until finish().
class StreamCapture {
 public:
  explicit StreamCapture(std::FILE* stream) : stream_(stream), fd_(fileno(stream)), file_(std::tmpfile()) {
    std::fflush(stream_);
    saved_ = dup(fd_);
    dup2(fileno(file_), fd_);
  }
  ~StreamCapture() { finish(); }
  StreamCapture(const StreamCapture&) = delete;
  StreamCapture& operator=(const StreamCapture&) = delete;

  std::string finish() {
    if (file_ != nullptr) {
      std::fflush(stream_);
      dup2(saved_, fd_);
      close(saved_);
      text_ = read_whole(fileno(file_));
      std::fclose(file_);
      file_ = nullptr;
    }
    return text_;
  }

 private:
  std::FILE* stream_;
  int fd_;
  int saved_;
  std::FILE* file_;
  std::string text_;
};

// Sets or unsets an environment variable, restoring it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// Whether an RFC 3339 UTC timestamp with microseconds, like
// 2026-12-11T09:13:44.123456Z, starts at `at`.
bool timestamp_at(const std::string& line, std::size_t at) {
  constexpr std::string_view shape = "dddd-dd-ddTdd:dd:dd.ddddddZ";
  if (line.size() - at < shape.size()) return false;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const char c = line[at + i];
    if (shape[i] == 'd' ? !(c >= '0' && c <= '9') : c != shape[i]) return false;
  }
  return true;
}

// The line with its one timestamp replaced by "TS".
std::string masked(const std::string& line) {
  std::string out;
  int found = 0;
  for (std::size_t i = 0; i < line.size();) {
    if (timestamp_at(line, i)) {
      out += "TS";
      i += 27;
      ++found;
    } else {
      out += line[i++];
    }
  }
  EXPECT_EQ(found, 1) << line;
  return out;
}

// Decodes the JSON string literal that starts at `from` (at its opening quote).
std::string decode_json_string(const std::string& text, std::size_t from) {
  std::string out;
  EXPECT_EQ(text.at(from), '"');
  for (std::size_t i = from + 1; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') return out;
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    switch (text.at(++i)) {
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      case 'b': out.push_back('\b'); break;
      case 'f': out.push_back('\f'); break;
      case 'u': {
        const unsigned code = static_cast<unsigned>(std::stoul(text.substr(i + 1, 4), nullptr, 16));
        EXPECT_LT(code, 0x80u) << "only control characters need \\u escapes";
        out.push_back(static_cast<char>(code));
        i += 4;
        break;
      }
      default: out.push_back(text[i]);
    }
  }
  ADD_FAILURE() << "unterminated string in " << text;
  return out;
}

// ---------------------------------------------------------------------------
// Filter

struct FilterCase {
  const char* directives;
  Level level;
  const char* target;
  bool enabled;
};

TEST(LogFilter, DirectivesSelectByLevelAndTarget) {
  using enum Level;
  const FilterCase cases[] = {
      // A bare level applies to every target, the empty one included.
      {"debug", Debug, "tarn_exchange", true},
      {"debug", Trace, "tarn_exchange", false},
      {"debug", Debug, "", true},
      {"warn", Info, "tarn_exchange", false},
      {"warn", Error, "tarn_exchange", true},
      // A target directive covers its path and everything below it, at "::" only.
      {"tarn_codegen::exchange=debug", Debug, "tarn_codegen::exchange", true},
      {"tarn_codegen::exchange=debug", Debug, "tarn_codegen::exchange::order", true},
      {"tarn_codegen::exchange=debug", Trace, "tarn_codegen::exchange::order", false},
      {"tarn_codegen::exchange=debug", Error, "tarn_codegen::exchangefoo", false},
      {"tarn_codegen::exchange=debug", Error, "tarn_codegen", false},
      {"tarn_codegen::exchange=debug", Error, "tarn_codegen::exchange:", false},
      {"tarn_codegen::exchange=debug", Error, "other::tarn_codegen::exchange", false},
      {"tarn_codegen::exchange=debug", Error, "", false},
      // The bare level is the fallback for targets no directive covers.
      {"tarn_codegen::exchange=debug,warn", Warn, "tarn_codegen::exchangefoo", true},
      {"tarn_codegen::exchange=debug,warn", Info, "tarn_codegen::exchangefoo", false},
      {"tarn_codegen::exchange=debug,warn", Debug, "tarn_codegen::exchange::order", true},
      {"warn,tarn_codegen::exchange=debug", Debug, "tarn_codegen::exchange::order", true},
      // A target directive also overrides a more verbose bare level.
      {"tarn_exchange=error,trace", Warn, "tarn_exchange::diagnostic", false},
      {"tarn_exchange=error,trace", Trace, "tarn_codegen", true},
      // The longest covering path wins, in whatever order the directives come.
      {"tarn_codegen=trace,tarn_codegen::exchange=error,tarn_codegen::exchange::order=debug", Debug,
       "tarn_codegen::exchange::order::wave", true},
      {"tarn_codegen=trace,tarn_codegen::exchange=error,tarn_codegen::exchange::order=debug", Warn,
       "tarn_codegen::exchange::reuse", false},
      {"tarn_codegen=trace,tarn_codegen::exchange=error,tarn_codegen::exchange::order=debug", Trace,
       "tarn_codegen::estimate", true},
      {"tarn_codegen::exchange::order=debug,tarn_codegen::exchange=error,tarn_codegen=trace", Trace,
       "tarn_codegen::exchange::order", false},
      {"tarn_codegen::exchange::order=debug,tarn_codegen::exchange=error,tarn_codegen=trace", Warn,
       "tarn_codegen::exchange", false},
      {"tarn_codegen::exchange::order=debug,tarn_codegen::exchange=error,tarn_codegen=trace", Trace,
       "tarn_codegen::estimate", true},
      // Levels ignore case and have aliases; targets are case-sensitive.
      {"tarn=DEBUG", Debug, "tarn", true},
      {"Tarn=debug", Error, "tarn", false},
      {"WARNING", Warn, "tarn", true},
      {"WARNING", Info, "tarn", false},
      {"Err", Error, "tarn", true},
      {"Err", Warn, "tarn", false},
      {"critical", Error, "tarn", true},
      {"critical", Warn, "tarn", false},
      {"TRACE", Trace, "tarn", true},
      // off silences a path or everything.
      {"off", Error, "tarn", false},
      {"tarn=off,trace", Error, "tarn::x", false},
      {"tarn=off,trace", Trace, "other", true},
      // Blanks around names are ignored, and so are empty directives.
      {" tarn_exchange = debug , warn ", Debug, "tarn_exchange", true},
      {" tarn_exchange = debug , warn ", Warn, "other", true},
      {" tarn_exchange = debug , warn ", Info, "other", false},
      {"\ttarn_exchange=trace\t", Trace, "tarn_exchange", true},
      {"debug,", Debug, "tarn", true},
      {",,tarn=trace,,", Trace, "tarn", true},
      {",,tarn=trace,,", Error, "other", false},
      // A later directive for the same path, or a later bare level, replaces the earlier one.
      {"tarn=debug,tarn=error", Warn, "tarn", false},
      {"tarn=error,tarn=debug", Debug, "tarn", true},
      {"debug,error", Info, "tarn", false},
      // No directive at all: info for everything.
      {"", Info, "tarn", true},
      {"", Debug, "tarn", false},
      {"  ,  ", Info, "tarn", true},
      {"  ,  ", Debug, "tarn", false},
  };
  for (const FilterCase& c : cases) {
    EXPECT_EQ(LogFilter(c.directives).enabled(c.level, c.target), c.enabled)
        << "directives \"" << c.directives << "\" level " << static_cast<int>(c.level) << " target \"" << c.target
        << "\"";
  }
}

TEST(LogFilter, ListThatDoesNotParseBecomesInfo) {
  const char* junk[] = {
      "verbose",
      "tarn=verbose",
      "tarn=",
      "=debug",
      " = debug",
      "tarn==debug",
      "tarn=debug=info",
      "tarn:exchange=debug",
      "tarn::=debug",
      "::tarn=debug",
      "tarn::::x=debug",
      "tarn exchange=debug",
      "tarn-exchange=debug",
      "*=debug",
      "tarn=debug,bogus",
      "bogus,tarn=debug",
      "trace debug",
      "5",
  };
  for (const char* directives : junk) {
    const LogFilter filter(directives);
    EXPECT_FALSE(filter.enabled(Level::Debug, "tarn")) << directives;
    EXPECT_TRUE(filter.enabled(Level::Info, "tarn")) << directives;
    EXPECT_TRUE(filter.enabled(Level::Info, "tarn_codegen::exchange")) << directives;
    EXPECT_TRUE(filter.enabled(Level::Info, "")) << directives;
    EXPECT_EQ(filter.most_verbose_level(), static_cast<std::uint8_t>(Level::Info)) << directives;
  }
}

TEST(LogFilter, MostVerboseLevelIsTheGate) {
  const struct {
    const char* directives;
    int level;  // above Error: nothing passes
  } cases[] = {
      {"warn", 3}, {"a=debug,warn", 1}, {"a=error,b=trace,off", 0}, {"off", 5}, {"a=off", 5}, {"a=off,b=info", 2},
  };
  for (const auto& c : cases) {
    const auto level = LogFilter(c.directives).most_verbose_level();
    if (c.level > static_cast<int>(Level::Error)) {
      EXPECT_GT(level, static_cast<std::uint8_t>(Level::Error)) << c.directives;
    } else {
      EXPECT_EQ(level, c.level) << c.directives;
    }
  }
}

// ---------------------------------------------------------------------------
// Gate

TEST(LoggingGate, WithoutLoggerNothingIsEvaluatedOrWritten) {
  reset_logger_for_testing();
  int evaluated = 0;
  const auto count = [&] { return ++evaluated; };
  StreamCapture out(stdout);
  for (const Level level : {Level::Trace, Level::Debug, Level::Info, Level::Warn, Level::Error}) {
    EXPECT_FALSE(event_enabled(level, "tarn"));
  }
  TARN_ERROR("tarn", "nobody listens", {"n", count()});
  emit_event(Level::Error, "tarn", "nobody listens either", {});
  EXPECT_EQ(out.finish(), "");
  EXPECT_EQ(evaluated, 0);
}

TEST(LoggingGate, FilteredEventsDoNotEvaluateTheirFields) {
  CapturedLog log("tarn=info,tarn::quiet=off", LogFormat::Text);
  int evaluated = 0;
  const auto count = [&] { return ++evaluated; };
  TARN_DEBUG("tarn", "below the level", {"n", count()});
  TARN_ERROR("tarn::quiet", "silenced path", {"n", count()});
  TARN_ERROR("other", "no directive covers it", {"n", count()});
  EXPECT_EQ(evaluated, 0);
  TARN_INFO("tarn::loud", "passes", {"n", count()});
  EXPECT_EQ(evaluated, 1);
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(masked(lines[0]), "TS  INFO tarn::loud: passes n=1");
}

// ---------------------------------------------------------------------------
// Output

void emit_sample_events() {
  TARN_DEBUG("tarn_exchange", "point-to-point route", {"source", 3}, {"destination", 9u});
  TARN_TRACE("tarn_codegen::exchange::order", "no fields");
  const std::string kept = "kept value";
  TARN_INFO("tarn_codegen::exchange", "improved", {"delta", -5}, {"ratio", 1.5}, {"better", true}, {"kept", kept},
            {"empty", ""}, {"owned", std::string("x")});
  TARN_WARN("tarn", "odd text", {"quote", "say \"hi\""}, {"eq", "a=b"}, {"tab", "a\tb"}, {"bytes", "\xff"});
  TARN_ERROR("tarn", "two\nlines", {"max", UINT64_MAX}, {"min", INT64_MIN}, {"nan", std::numeric_limits<double>::quiet_NaN()},
             {"big", 1e300});
}

TEST(LoggingOutput, TextLines) {
  CapturedLog log("trace", LogFormat::Text);
  emit_sample_events();
  const auto lines = log.lines();
  const std::vector<std::string> expected = {
      "TS DEBUG tarn_exchange: point-to-point route source=3 destination=9",
      "TS TRACE tarn_codegen::exchange::order: no fields",
      R"(TS  INFO tarn_codegen::exchange: improved delta=-5 ratio=1.5 better=true kept="kept value" empty="" owned=x)",
      R"(TS  WARN tarn: odd text quote="say \"hi\"" eq="a=b" tab="a\tb" bytes=)"
      "\xef\xbf\xbd",
      R"(TS ERROR tarn: two\nlines max=18446744073709551615 min=-9223372036854775808 nan=nan big=1e+300)",
  };
  ASSERT_EQ(lines.size(), expected.size());
  for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(masked(lines[i]), expected[i]);
}

TEST(LoggingOutput, JsonLines) {
  CapturedLog log("trace", LogFormat::Json);
  emit_sample_events();
  const auto lines = log.lines();
  const std::vector<std::string> expected = {
      R"({"timestamp":"TS","level":"DEBUG","target":"tarn_exchange","message":"point-to-point route","fields":{"source":3,"destination":9}})",
      R"({"timestamp":"TS","level":"TRACE","target":"tarn_codegen::exchange::order","message":"no fields","fields":{}})",
      R"({"timestamp":"TS","level":"INFO","target":"tarn_codegen::exchange","message":"improved","fields":{"delta":-5,"ratio":1.5,"better":true,"kept":"kept value","empty":"","owned":"x"}})",
      R"({"timestamp":"TS","level":"WARN","target":"tarn","message":"odd text","fields":{"quote":"say \"hi\"","eq":"a=b","tab":"a\tb","bytes":")"
      "\xef\xbf\xbd"
      R"("}})",
      R"({"timestamp":"TS","level":"ERROR","target":"tarn","message":"two\nlines","fields":{"max":18446744073709551615,"min":-9223372036854775808,"nan":"nan","big":1e+300}})",
  };
  ASSERT_EQ(lines.size(), expected.size());
  for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(masked(lines[i]), expected[i]);
}

TEST(LoggingOutput, TimestampIsCurrentUtcTime) {
  CapturedLog log("info", LogFormat::Json);
  const auto before = std::chrono::system_clock::now();
  TARN_INFO("tarn", "now");
  const auto after = std::chrono::system_clock::now();
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  int y, mo, d, h, mi, s, us;
  ASSERT_EQ(std::sscanf(lines[0].c_str(), R"({"timestamp":"%4d-%2d-%2dT%2d:%2d:%2d.%6dZ")", &y, &mo, &d, &h, &mi, &s, &us),
            7)
      << lines[0];
  using namespace std::chrono;
  const sys_time<microseconds> stamp = sys_days{year{y} / mo / d} + hours{h} + minutes{mi} + seconds{s} +
                                       microseconds{us};
  EXPECT_LE(floor<microseconds>(before), stamp);
  EXPECT_LE(stamp, after);
}

TEST(LoggingOutput, JsonEscaping) {
  const struct {
    std::string input;
    std::string escaped;
  } cases[] = {
      {"plain", "plain"},
      {R"(say "hi")", R"(say \"hi\")"},
      {R"(back\slash)", R"(back\\slash)"},
      {"\n\r\t\b\f", R"(\n\r\t\b\f)"},
      {"a\0b"s, R"(a\u0000b)"},
      {"\x01\x1f\x7f", R"(\u0001\u001f\u007f)"},
      {"/", "/"},
      // Well-formed UTF-8 passes through, including the edges of each range.
      {"\xc2\x80 \xdf\xbf \xe0\xa0\x80 \xed\x9f\xbf \xee\x80\x80 \xef\xbf\xbf \xf0\x90\x80\x80 \xf4\x8f\xbf\xbf",
       "\xc2\x80 \xdf\xbf \xe0\xa0\x80 \xed\x9f\xbf \xee\x80\x80 \xef\xbf\xbf \xf0\x90\x80\x80 \xf4\x8f\xbf\xbf"},
      // Each byte outside a well-formed sequence becomes U+FFFD.
      {"\xff", "\xef\xbf\xbd"},
      {"a\x80z", "a\xef\xbf\xbdz"},                                             // stray continuation
      {"\xc0\x80", "\xef\xbf\xbd\xef\xbf\xbd"},                                 // overlong
      {"\xc1\xbf", "\xef\xbf\xbd\xef\xbf\xbd"},                                 // overlong
      {"\xe0\x9f\xbf", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},                 // overlong
      {"\xf0\x8f\xbf\xbf", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // overlong
      {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},                 // surrogate
      {"\xf4\x90\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // beyond U+10FFFF
      {"\xf5\x80", "\xef\xbf\xbd\xef\xbf\xbd"},
      {"\xe2\x82", "\xef\xbf\xbd\xef\xbf\xbd"},     // cut short at the end
      {"\xe2\x82x", "\xef\xbf\xbd\xef\xbf\xbdx"},   // cut short before ASCII
      {"\xc3\"", "\xef\xbf\xbd\\\""},               // cut short before a quote
  };
  CapturedLog log("info", LogFormat::Json);
  for (const auto& c : cases) TARN_INFO("tarn", c.input, {c.input, c.input});
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), std::size(cases));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& e = cases[i].escaped;
    EXPECT_EQ(masked(lines[i]), R"({"timestamp":"TS","level":"INFO","target":"tarn","message":")" + e +
                                    R"(","fields":{")" + e + R"(":")" + e + R"("}})");
  }
}

// Random text built from code points of every encoded length, with stray bytes
// and cut-short sequences mixed in: decoding the JSON message gives the text
// back with every byte of an ill-formed piece replaced by U+FFFD.
TEST(LoggingOutput, JsonEscapingRoundTripsRandomText) {
  std::mt19937 random(20261211);
  const auto below = [&](unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(random); };
  const auto encode = [](unsigned cp) {
    std::string s;
    if (cp < 0x80) {
      s += static_cast<char>(cp);
    } else if (cp < 0x800) {
      s += static_cast<char>(0xc0 | (cp >> 6));
      s += static_cast<char>(0x80 | (cp & 0x3f));
    } else if (cp < 0x10000) {
      s += static_cast<char>(0xe0 | (cp >> 12));
      s += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
      s += static_cast<char>(0x80 | (cp & 0x3f));
    } else {
      s += static_cast<char>(0xf0 | (cp >> 18));
      s += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
      s += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
      s += static_cast<char>(0x80 | (cp & 0x3f));
    }
    return s;
  };
  const auto random_code_point = [&] {
    switch (below(4)) {
      case 0: return below(0x80);
      case 1: return 0x80 + below(0x800 - 0x80);
      case 2: {
        const unsigned cp = 0x800 + below(0x10000 - 0x800 - 0x800);
        return cp < 0xd800 ? cp : cp + 0x800;  // skip the surrogates
      }
      default: return 0x10000 + below(0x110000 - 0x10000);
    }
  };
  const std::string replacement = "\xef\xbf\xbd";

  std::vector<std::string> inputs, expected;
  for (int round = 0; round < 300; ++round) {
    std::string input, output;
    const unsigned pieces = below(20);
    bool cut_short = false;
    for (unsigned p = 0; p < pieces; ++p) {
      const unsigned kind = below(10);
      if (kind == 0) {
        // A byte that never starts a well-formed sequence; a continuation
        // byte only where it cannot complete a cut-short sequence before it.
        const unsigned byte = !cut_short && below(2) == 0 ? 0x80 + below(0x40)
                              : below(2) == 0             ? 0xc0 + below(2)
                                                          : 0xf5 + below(11);
        input += static_cast<char>(byte);
        output += replacement;
        cut_short = false;
      } else if (kind == 1) {
        // A multi-byte sequence without its last byte.
        unsigned cp;
        do cp = random_code_point();
        while (cp < 0x80);
        const std::string whole = encode(cp);
        input += whole.substr(0, whole.size() - 1);
        for (std::size_t b = 1; b < whole.size(); ++b) output += replacement;
        cut_short = true;
      } else {
        cut_short = false;
        const std::string whole = encode(random_code_point());
        input += whole;
        output += whole;
      }
    }
    inputs.push_back(input);
    expected.push_back(output);
  }

  CapturedLog log("info", LogFormat::Json);
  for (const std::string& input : inputs) TARN_INFO("tarn", input);
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), inputs.size());
  const std::string key = R"("message":)";
  for (std::size_t i = 0; i < lines.size(); ++i) {
    for (const char c : lines[i]) ASSERT_GE(static_cast<unsigned char>(c), 0x20u) << "raw control byte, case " << i;
    const std::size_t at = lines[i].find(key);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(decode_json_string(lines[i], at + key.size()), expected[i]) << "case " << i;
  }
}

TEST(LoggingOutput, EventsFromSeveralThreadsStayWholeLines) {
  CapturedLog log("info", LogFormat::Json);
  constexpr int threads = 4;
  constexpr int events = 200;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([t] {
      for (int i = 0; i < events; ++i) TARN_INFO("tarn", "from a thread", {"thread", t}, {"event", i});
    });
  }
  for (auto& w : workers) w.join();
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(threads * events));
  std::multiset<std::string> expected;
  for (int t = 0; t < threads; ++t) {
    for (int i = 0; i < events; ++i) {
      expected.insert(R"({"timestamp":"TS","level":"INFO","target":"tarn","message":"from a thread","fields":{"thread":)" +
                      std::to_string(t) + R"(,"event":)" + std::to_string(i) + "}}");
    }
  }
  std::multiset<std::string> seen;
  for (const std::string& line : lines) seen.insert(masked(line));
  EXPECT_EQ(seen, expected);
}

TEST(LoggingOutput, FailedWriteIsReportedOnceAndLoggingGoesOn) {
  std::FILE* full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  reset_logger_for_testing();
  ASSERT_TRUE(install_logger("info", LogFormat::Text, full));
  StreamCapture err(stderr);
  TARN_INFO("tarn", "lost");
  TARN_INFO("tarn", "lost again");
  emit_event(Level::Error, "tarn", "and again", {});
  const std::string reported = err.finish();
  reset_logger_for_testing();
  std::fclose(full);
  const auto lines = split_lines(reported);
  ASSERT_EQ(lines.size(), 1u) << reported;
  EXPECT_NE(lines[0].find(std::strerror(ENOSPC)), std::string::npos) << reported;
}

// ---------------------------------------------------------------------------
// init_tracing

TEST(InitTracing, ReadsFilterAndFormatFromTheEnvironment) {
  const struct {
    const char* filter;
    const char* format;  // nullptr: unset
    bool json;
    bool debug_shown;
  } cases[] = {
      {"tarn=debug", "json", true, true},
      {"tarn=debug", "JSON", false, true},
      {"tarn=debug", "json ", false, true},
      {"tarn=debug", " json", false, true},
      {"tarn=debug", "", false, true},
      {"tarn=debug", nullptr, false, true},
      {"bogus", "json", true, false},
      {"", nullptr, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("SPDLOG_LEVEL=") + c.filter + " TARN_LOG_FORMAT=" + (c.format ? c.format : "(unset)"));
    ScopedEnv filter("SPDLOG_LEVEL", c.filter);
    ScopedEnv format("TARN_LOG_FORMAT", c.format);
    reset_logger_for_testing();
    StreamCapture out(stdout);
    init_tracing();
    std::printf("report line\n");
    TARN_DEBUG("tarn::x", "debug event", {"n", 1});
    TARN_INFO("tarn::x", "info event", {"n", 2});
    std::printf("last line\n");
    const auto lines = split_lines(out.finish());
    reset_logger_for_testing();

    std::vector<std::string> expected = {"report line"};
    if (c.json) {
      if (c.debug_shown) {
        expected.push_back(
            R"({"timestamp":"TS","level":"DEBUG","target":"tarn::x","message":"debug event","fields":{"n":1}})");
      }
      expected.push_back(R"({"timestamp":"TS","level":"INFO","target":"tarn::x","message":"info event","fields":{"n":2}})");
    } else {
      if (c.debug_shown) expected.push_back("TS DEBUG tarn::x: debug event n=1");
      expected.push_back("TS  INFO tarn::x: info event n=2");
    }
    expected.push_back("last line");
    ASSERT_EQ(lines.size(), expected.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(i == 0 || i + 1 == lines.size() ? lines[i] : masked(lines[i]), expected[i]);
    }
  }
}

TEST(InitTracing, SecondInstallationKeepsTheFirstLogger) {
  CapturedLog log("tarn=debug", LogFormat::Json);
  ScopedEnv filter("SPDLOG_LEVEL", "error");
  ScopedEnv format("TARN_LOG_FORMAT", nullptr);
  StreamCapture out(stdout);
  init_tracing();
  EXPECT_FALSE(install_logger("error", LogFormat::Text, stdout));
  TARN_DEBUG("tarn", "still here");
  EXPECT_EQ(out.finish(), "");
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(masked(lines[0]),
            R"({"timestamp":"TS","level":"DEBUG","target":"tarn","message":"still here","fields":{}})");
}

}  // namespace
}  // namespace tarn_runtime
