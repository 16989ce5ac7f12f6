// The snapshot reader reads in one pass; a second runs only on failure:
//
// - The fast pass walks the document once with simdjson's On-Demand API and
//   fills the records as it goes. It stops at the first problem.
// - On any failure, a small validating scanner checks the whole text. If the
//   text is not JSON, that syntax error is what the caller sees, whichever
//   problem the fast pass met first.
//
// On-Demand does not look inside values it skips, so the fast pass runs the
// same scanner over the value of every unknown key.
#include "codegen/exchange/snapshot_reader.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <simdjson.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <tuple>
#include <utility>

#include "runtime/utf8.h"

namespace tarn_codegen::exchange {
namespace {

namespace od = simdjson::ondemand;
using Kind = SnapshotReadError::Kind;

static_assert(kSnapshotPadding >= simdjson::SIMDJSON_PADDING);

// Most arrays and objects open at once, counted from the root. The scanner is
// iterative, but whoever processes the value after us may not be.
constexpr int kMaxDepth = 128;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// ---------------------------------------------------------------------------
// Validating scanner: exact JSON grammar, UTF-8 inside strings, paired
// surrogate escapes, and the depth limit.

struct SyntaxError {
  const char* at;
  const char* message;
};

class Scanner {
 public:
  explicit Scanner(const char* end) : end_(end) {}

  // Returns the end of the one value that starts at `p` after optional
  // whitespace, with at most `max_depth` arrays and objects open inside it;
  // nullptr after setting error().
  const char* value(const char* p, int max_depth) {
    std::array<char, kMaxDepth> open{};  // the closing bracket of each open container
    int depth = 0;
    while (true) {
      // A value starts here.
      p = skip_space(p);
      if (p == end_) return fail(p, "unexpected end of input");
      const char c = *p;
      if (c == '[' || c == '{') {
        if (depth == max_depth) return fail(p, "recursion limit exceeded");
        const char close = c == '[' ? ']' : '}';
        p = skip_space(p + 1);
        if (p != end_ && *p == close) {
          ++p;
        } else {
          open[static_cast<std::size_t>(depth++)] = close;
          if (close == '}' && !(p = key(p))) return nullptr;
          continue;
        }
      } else if (c == '"') {
        if (!(p = string(p))) return nullptr;
      } else if (c == '-' || (c >= '0' && c <= '9')) {
        if (!(p = number(p))) return nullptr;
      } else if (!(p = literal(p))) {
        return nullptr;
      }
      // A value ended at `p`: close containers until one wants another element.
      while (true) {
        if (depth == 0) return p;
        p = skip_space(p);
        if (p == end_) return fail(p, "unexpected end of input");
        const char close = open[static_cast<std::size_t>(depth - 1)];
        if (*p == close) {
          ++p;
          --depth;
          continue;
        }
        if (*p != ',') return fail(p, close == ']' ? "expected `,` or `]`" : "expected `,` or `}`");
        ++p;
        if (close == '}' && !(p = key(p))) return nullptr;
        break;
      }
    }
  }

  // Checks that [begin, end) is exactly one value with whitespace around it.
  std::optional<SyntaxError> document(const char* begin) {
    const char* p = value(begin, kMaxDepth);
    if (!p) return error_;
    p = skip_space(p);
    if (p != end_) return SyntaxError{p, "trailing characters"};
    return std::nullopt;
  }

  const SyntaxError& error() const { return error_; }

 private:
  const char* fail(const char* at, const char* message) {
    error_ = {at, message};
    return nullptr;
  }

  const char* skip_space(const char* p) const {
    while (p != end_ && is_space(*p)) ++p;
    return p;
  }

  bool digit_at(const char* p) const { return p != end_ && *p >= '0' && *p <= '9'; }

  const char* digits(const char* p) const {
    while (digit_at(p)) ++p;
    return p;
  }

  // An object key and its colon; returns where the value starts.
  const char* key(const char* p) {
    p = skip_space(p);
    if (p == end_) return fail(p, "unexpected end of input");
    if (*p != '"') return fail(p, "expected string key");
    if (!(p = string(p))) return nullptr;
    p = skip_space(p);
    if (p == end_) return fail(p, "unexpected end of input");
    if (*p != ':') return fail(p, "expected `:`");
    return p + 1;
  }

  const char* number(const char* p) {
    const char* start = p;
    if (*p == '-') ++p;
    if (!digit_at(p)) return fail(start, "invalid number");
    if (*p == '0') {
      if (digit_at(++p)) return fail(start, "invalid number");
    } else {
      p = digits(p);
    }
    if (p != end_ && *p == '.') {
      if (!digit_at(++p)) return fail(start, "invalid number");
      p = digits(p);
    }
    if (p != end_ && (*p == 'e' || *p == 'E')) {
      ++p;
      if (p != end_ && (*p == '+' || *p == '-')) ++p;
      if (!digit_at(p)) return fail(start, "invalid number");
      p = digits(p);
    }
    return p;
  }

  const char* literal(const char* p) {
    for (std::string_view word : {"true", "false", "null"}) {
      if (static_cast<std::size_t>(end_ - p) >= word.size() && std::string_view(p, word.size()) == word) {
        return p + word.size();
      }
    }
    return fail(p, p[0] == 't' || p[0] == 'f' || p[0] == 'n' ? "invalid literal" : "expected value");
  }

  bool hex4(const char* p, unsigned& out) const {
    if (end_ - p < 4) return false;
    out = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = p[i];
      unsigned d;
      if (c >= '0' && c <= '9') {
        d = static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        d = static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        d = static_cast<unsigned>(c - 'A' + 10);
      } else {
        return false;
      }
      out = out * 16 + d;
    }
    return true;
  }


  // `p` is at the opening quote; returns the end of the string.
  const char* string(const char* p) {
    ++p;
    while (true) {
      if (p == end_) return fail(p, "unterminated string");
      const auto c = static_cast<unsigned char>(*p);
      if (c == '"') return p + 1;
      if (c == '\\') {
        const char* escape = p++;
        if (p == end_) return fail(p, "unterminated string");
        if (std::string_view("\"\\/bfnrt").find(*p) != std::string_view::npos) {
          ++p;
          continue;
        }
        unsigned unit;
        if (*p != 'u' || !hex4(p + 1, unit)) return fail(escape, "invalid string escape");
        p += 5;
        if (unit >= 0xdc00 && unit <= 0xdfff) return fail(escape, "unpaired surrogate in string escape");
        if (unit >= 0xd800 && unit <= 0xdbff) {
          unsigned second;
          if (end_ - p < 2 || p[0] != '\\' || p[1] != 'u' || !hex4(p + 2, second) || second < 0xdc00 ||
              second > 0xdfff) {
            return fail(escape, "unpaired surrogate in string escape");
          }
          p += 6;
        }
        continue;
      }
      if (c < 0x20) return fail(p, "control character in string");
      if (c < 0x80) {
        ++p;
        continue;
      }
      const std::size_t n = tarn_runtime::utf8_sequence_length(std::string_view(p, static_cast<std::size_t>(end_ - p)));
      if (n == 0) return fail(p, "invalid UTF-8");
      p += n;
    }
  }

  const char* end_;
  SyntaxError error_{nullptr, nullptr};
};

// ---------------------------------------------------------------------------
// Messages

// Only reached when the scanner found the text to be JSON, so these are rare.
const char* syntax_message(simdjson::error_code error) {
  switch (error) {
    case simdjson::CAPACITY: return "document too large";
    case simdjson::MEMALLOC: return "out of memory";
    case simdjson::DEPTH_ERROR: return "recursion limit exceeded";
    case simdjson::STRING_ERROR: return "invalid string escape";
    case simdjson::T_ATOM_ERROR:
    case simdjson::F_ATOM_ERROR:
    case simdjson::N_ATOM_ERROR: return "invalid literal";
    case simdjson::NUMBER_ERROR: return "invalid number";
    case simdjson::UTF8_ERROR: return "invalid UTF-8";
    case simdjson::EMPTY:
    case simdjson::INCOMPLETE_ARRAY_OR_OBJECT: return "unexpected end of input";
    case simdjson::UNESCAPED_CHARS: return "control character in string";
    case simdjson::UNCLOSED_STRING: return "unterminated string";
    case simdjson::TRAILING_CONTENT: return "trailing characters";
    default: return "invalid JSON";
  }
}

std::string_view trim_end(std::string_view token) {
  while (!token.empty() && is_space(token.back())) token.remove_suffix(1);
  return token;
}

bool is_float_token(std::string_view number) { return number.find_first_of(".eE") != std::string_view::npos; }

// A number with a fraction or exponent, shown as a float: the shortest text
// that reads back the same, with ".0" on whole values so that it does not
// look like an integer. Out of the range of a double: as written.
std::string float_text(std::string_view number) {
  double value;
  const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (ec != std::errc() || end != number.data() + number.size()) return std::string(number);
  std::array<char, 64> buffer;
  const auto written = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  std::string text(buffer.data(), written.ptr);
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      out += fmt::format("\\u{:04x}", static_cast<unsigned>(c));
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

std::string_view token_of(od::value& value) { return trim_end(value.raw_json_token()); }

std::string_view token_of(od::document& doc) {
  std::string_view token;
  if (doc.raw_json_token().get(token)) return {};
  return trim_end(token);
}

// What a JSON value is, for "invalid type: {what}, expected ...".
template <class Value>
std::string describe(Value& value) {
  const std::string_view token = token_of(value);
  if (token.empty()) return "nothing";
  switch (token.front()) {
    case '"': {
      std::string_view text;
      if (value.get_string().get(text)) text = token;
      return "string " + quoted(text);
    }
    case 't': return "boolean `true`";
    case 'f': return "boolean `false`";
    case 'n': return "null";
    case '[': return "sequence";
    case '{': return "map";
    default:
      if (is_float_token(token)) return fmt::format("floating point `{}`", float_text(token));
      return fmt::format("integer `{}`", token);
  }
}

// ---------------------------------------------------------------------------
// Records

template <class Record>
struct RecordInfo;

template <>
struct RecordInfo<ExchangeScheduleSnapshot> {
  static constexpr std::string_view name = "struct ExchangeScheduleSnapshot";
  static constexpr std::array<std::string_view, 3> fields{"schema_version", "tile_count", "phases"};
};

template <>
struct RecordInfo<ExchangeScheduleProblem> {
  static constexpr std::string_view name = "struct ExchangeScheduleProblem";
  static constexpr std::array<std::string_view, 2> fields{"phase", "transfers"};
};

template <>
struct RecordInfo<ExchangeScheduleTransfer> {
  static constexpr std::string_view name = "struct ExchangeScheduleTransfer";
  static constexpr std::array<std::string_view, 5> fields{"source", "source_addresses", "destinations", "words",
                                                          "width"};
};

template <>
struct RecordInfo<ExchangeScheduleDestination> {
  static constexpr std::string_view name = "struct ExchangeScheduleDestination";
  static constexpr std::array<std::string_view, 2> fields{"tile", "address"};
};

template <class Record>
int field_index(std::string_view key) {
  const auto& fields = RecordInfo<Record>::fields;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (key == fields[i]) return static_cast<int>(i);
  }
  return -1;
}

// The field whose name, closing quote included, starts at `key` (the byte
// after the opening quote), or -1. Compares fixed lengths, which the compiler
// turns into a few loads; reading past a short key stays in the padding.
template <class Record, std::size_t... I>
int raw_field_index(const char* key, std::index_sequence<I...>) {
  constexpr auto& names = RecordInfo<Record>::fields;
  int index = -1;
  ((std::memcmp(key, names[I].data(), names[I].size()) == 0 && key[names[I].size()] == '"' &&
    (index = static_cast<int>(I), true)) ||
   ...);
  return index;
}

struct Failure {
  Kind kind;
  std::string message;
  const char* at;
};

// The fast pass. Every method returns false after setting `failure`.
// `depth` is the number of arrays and objects open around the value at hand,
// the container being read included.
class Reader {
 public:
  Reader(std::string_view json, od::document& doc) : json_(json), doc_(doc) {}

  bool document(ExchangeScheduleSnapshot& out) {
    od::json_type type;
    if (auto error = doc_.type().get(type)) return json_error(error);
    if (type == od::json_type::object) {
      od::object object;
      if (auto error = doc_.get_object().get(object)) return json_error(error);
      if (!fields(object, 1, out)) return false;
    } else if (type == od::json_type::array) {
      od::array array;
      if (auto error = doc_.get_array().get(array)) return json_error(error);
      if (!elements(array, 1, out)) return false;
    } else {
      return type_error(doc_, RecordInfo<ExchangeScheduleSnapshot>::name);
    }
    const char* rest;
    if (doc_.current_location().get(rest) == simdjson::SUCCESS) return syntax(rest, "trailing characters");
    return true;
  }

  Failure failure{Kind::Syntax, {}, nullptr};

 private:
  // --- records

  template <class Record>
  bool record(od::value& value, int depth, Record& out) {
    od::json_type type;
    if (auto error = value.type().get(type)) return json_error(error);
    if (type == od::json_type::object) {
      od::object object;
      if (auto error = value.get_object().get(object)) return json_error(error);
      return fields(object, depth, out);
    }
    if (type == od::json_type::array) {
      od::array array;
      if (auto error = value.get_array().get(array)) return json_error(error);
      return elements(array, depth, out);
    }
    return type_error(value, RecordInfo<Record>::name);
  }

  template <class Record>
  bool fields(od::object& object, int depth, Record& out) {
    constexpr auto& names = RecordInfo<Record>::fields;
    unsigned seen = 0;
    for (auto result : object) {
      if (auto error = result.error()) return json_error(error);
      od::field& field = result.value_unsafe();
      const char* key = field.key().raw();
      int index = raw_field_index<Record>(key, std::make_index_sequence<names.size()>());
      if (index >= 0) [[likely]] {
        if (!followed_by<':'>(key + names[static_cast<std::size_t>(index)].size() + 1)) return false;
      } else {
        // Escaped or unknown.
        std::string_view text;
        if (!key_text(field, text)) return false;
        index = field_index<Record>(text);
        if (index < 0) {
          if (!skip(field.value(), depth)) return false;
          continue;
        }
      }
      const unsigned bit = 1u << index;
      if (seen & bit) {
        return shape(key - 1, fmt::format("duplicate field `{}`", names[static_cast<std::size_t>(index)]));
      }
      seen |= bit;
      if (!field_value(field.value(), index, depth, out)) return false;
    }
    if (seen != (1u << names.size()) - 1) {
      const auto missing = static_cast<std::size_t>(std::countr_one(seen));
      return shape(closing_bracket(), fmt::format("missing field `{}`", names[missing]));
    }
    return true;
  }

  template <class Record>
  bool elements(od::array& array, int depth, Record& out) {
    constexpr std::size_t expected = RecordInfo<Record>::fields.size();
    std::size_t count = 0;
    for (auto result : array) {
      if (auto error = result.error()) return json_error(error);
      od::value& element = result.value_unsafe();
      // Extra elements are only counted, for the message.
      if (count < expected && !field_value(element, static_cast<int>(count), depth, out)) return false;
      ++count;
    }
    if (count != expected) {
      return shape(closing_bracket(), fmt::format("invalid length {}, expected {} with {} elements", count,
                                                  RecordInfo<Record>::name, expected));
    }
    return true;
  }

  bool field_value(od::value& value, int index, int depth, ExchangeScheduleSnapshot& out) {
    switch (index) {
      case 0: return unsigned_integer(value, out.schema_version);
      case 1: return unsigned_integer(value, out.tile_count);
      default: return list(value, depth + 1, out.phases);
    }
  }

  bool field_value(od::value& value, int index, int depth, ExchangeScheduleProblem& out) {
    if (index == 0) return unsigned_integer(value, out.phase);
    return list(value, depth + 1, out.transfers);
  }

  bool field_value(od::value& value, int index, int depth, ExchangeScheduleTransfer& out) {
    switch (index) {
      case 0: return unsigned_integer(value, out.source);
      case 1: return list(value, depth + 1, out.source_addresses);
      case 2: return list(value, depth + 1, out.destinations);
      case 3: return unsigned_integer(value, out.words);
      default: return width(value, out.width);
    }
  }

  bool field_value(od::value& value, int index, int /*depth*/, ExchangeScheduleDestination& out) {
    if (index == 0) return unsigned_integer(value, out.tile);
    return unsigned_integer(value, out.address);
  }

  // --- lists and items

  template <class List>
  bool list(od::value& value, int depth, List& out) {
    od::json_type type;
    if (auto error = value.type().get(type)) return json_error(error);
    if (type != od::json_type::array) return type_error(value, "a sequence");
    od::array array;
    if (auto error = value.get_array().get(array)) return json_error(error);
    for (auto result : array) {
      if (auto error = result.error()) return json_error(error);
      od::value& element = result.value_unsafe();
      if (!item(element, depth + 1, out.emplace_back())) return false;
    }
    return true;
  }

  // Record lists are filled in a reused vector and then moved into one of
  // exactly their size: growing each list in place would touch about twice
  // the fresh memory, and page faults are much of the cost of reading.
  template <class Record>
  bool list(od::value& value, int depth, std::vector<Record>& out) {
    std::vector<Record>& scratch = std::get<std::vector<Record>>(scratch_);
    scratch.clear();
    if (!list<std::vector<Record>>(value, depth, scratch)) return false;
    out.assign(std::make_move_iterator(scratch.begin()), std::make_move_iterator(scratch.end()));
    return true;
  }

  bool item(od::value& value, int /*depth*/, std::uint32_t& out) { return unsigned_integer(value, out); }

  template <class Record>
  bool item(od::value& value, int depth, Record& out) {
    return record(value, depth, out);
  }

  template <class T>
  bool unsigned_integer(od::value& value, T& out) {
    std::uint64_t number;
    const auto error = value.get_uint64().get(number);
    if (error == simdjson::SUCCESS && number <= std::numeric_limits<T>::max()) [[likely]] {
      out = static_cast<T>(number);
      return true;
    }
    return integer_error(value, sizeof(T) == 2 ? "u16" : "u32");
  }

  // get_uint64 gives one error for negative, fractional and too large
  // numbers, so tell them apart by the token.
  [[gnu::noinline]] bool integer_error(od::value& value, std::string_view expected) {
    const std::string_view token = token_of(value);
    const bool number = !token.empty() && (token.front() == '-' || (token.front() >= '0' && token.front() <= '9'));
    if (!number) return type_error(value, expected);
    if (is_float_token(token)) {
      return shape(token.data(), fmt::format("invalid type: floating point `{}`, expected {}", float_text(token),
                                             expected));
    }
    return shape(token.data(), fmt::format("invalid value: integer `{}`, expected {}", token, expected));
  }

  bool width(od::value& value, ExchangeItemWidth& out) {
    const std::string_view token = value.raw_json_token();
    if (token.front() == '"') {
      std::string_view name;
      if (!string_text(value, token.data(), name)) return false;
      return variant(name, token.data(), out);
    }
    if (token.front() == '{') return width_object(value, out);
    return type_error(value, "variant identifier");
  }

  // The other form of a width: {"Paired64": null}.
  bool width_object(od::value& value, ExchangeItemWidth& out) {
    od::object object;
    if (auto error = value.get_object().get(object)) return json_error(error);
    std::size_t count = 0;
    for (auto result : object) {
      if (auto error = result.error()) return json_error(error);
      od::field& field = result.value_unsafe();
      if (count++ > 0) continue;  // only counted, for the message
      const char* key_at = field.key().raw() - 1;
      std::string_view key;
      if (!key_text(field, key)) return false;
      if (!variant(key, key_at, out)) return false;
      bool null;
      if (auto error = field.value().is_null().get(null)) return json_error(error);
      if (!null) return type_error(field.value(), "null");
    }
    if (count != 1) {
      return shape(closing_bracket(), fmt::format("invalid length {}, expected map with a single key", count));
    }
    return true;
  }

  bool variant(std::string_view name, const char* at, ExchangeItemWidth& out) {
    if (name == "Word32") {
      out = ExchangeItemWidth::Word32;
    } else if (name == "Paired64") {
      out = ExchangeItemWidth::Paired64;
    } else {
      return shape(at, fmt::format("unknown variant `{}`, expected `Word32` or `Paired64`", name));
    }
    return true;
  }

  // --- keys, strings, skipped values

  // The text of the string whose opening quote is at `quote`: as it stands
  // when it has no escapes, else unescaped by the parser. One of `next` must
  // follow it.
  template <char... Next, class Unescape>
  bool string_at(const char* quote, std::string_view& out, Unescape unescape) {
    const char* p = quote + 1;
    bool escaped = false;
    while (*p != '"') {
      if (*p == '\\') {
        escaped = true;
        ++p;
      }
      ++p;
    }
    if (!followed_by<Next...>(p + 1)) return false;
    if (!escaped) [[likely]] {
      out = std::string_view(quote + 1, static_cast<std::size_t>(p - quote - 1));
      return true;
    }
    if (auto error = unescape().get(out)) return json_error(error);
    return true;
  }

  bool key_text(od::field& field, std::string_view& out) {
    return string_at<':'>(field.key().raw() - 1, out, [&field] { return field.unescaped_key(); });
  }

  bool string_text(od::value& value, const char* quote, std::string_view& out) {
    return string_at<',', ']', '}'>(quote, out, [&value] { return value.get_string(); });
  }

  // On-Demand skips an untouched value without looking inside it.
  bool skip(od::value& value, int depth) {
    Scanner scanner(json_.data() + json_.size());
    const char* end = scanner.value(value.raw_json_token().data(), kMaxDepth - depth);
    if (!end) return syntax(scanner.error().at, scanner.error().message);
    return followed_by<',', '}'>(end);
  }

  // On-Demand trusts the text after a value it has not parsed: it takes
  // whatever touches a token's end as part of it, and when it skips a string
  // followed by a colon it takes the string for a key. So only whitespace and
  // then one of `next` may follow a string or skipped value.
  template <char... Next>
  bool followed_by(const char* p) {
    if (((*p == Next) || ...)) [[likely]] return true;
    const char* end = json_.data() + json_.size();
    while (p != end && is_space(*p)) ++p;
    if (p != end && ((*p == Next) || ...)) return true;
    return syntax(p, "unexpected character");
  }

  // --- failures

  // The bracket that closed the container the fast pass just finished.
  const char* closing_bracket() {
    const char* next;
    const char* p = doc_.current_location().get(next) == simdjson::SUCCESS ? next : json_.data() + json_.size();
    while (p > json_.data() && is_space(p[-1])) --p;
    return p > json_.data() ? p - 1 : p;
  }

  bool shape(const char* at, std::string message) {
    failure = {Kind::Shape, std::move(message), at};
    return false;
  }

  bool syntax(const char* at, std::string message) {
    failure = {Kind::Syntax, std::move(message), at};
    return false;
  }

  bool json_error(simdjson::error_code error) {
    const char* at;
    if (doc_.current_location().get(at)) at = json_.data() + json_.size();
    return syntax(at, syntax_message(error));
  }

  template <class Value>
  bool type_error(Value& value, std::string_view expected) {
    const std::string_view token = token_of(value);
    return shape(token.empty() ? json_.data() : token.data(),
                 fmt::format("invalid type: {}, expected {}", describe(value), expected));
  }

  std::string_view json_;
  od::document& doc_;
  // No list holds a list of its own type, so one vector per type suffices.
  std::tuple<std::vector<ExchangeScheduleProblem>, std::vector<ExchangeScheduleTransfer>> scratch_;
};

SnapshotReadError make_error(std::string_view json, Kind kind, std::string_view message, const char* at) {
  const auto offset = static_cast<std::size_t>(std::clamp(at, json.data(), json.data() + json.size()) - json.data());
  const std::string_view before = json.substr(0, offset);
  const std::size_t line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  const std::size_t last_newline = before.rfind('\n');
  const std::size_t line_start = last_newline == std::string_view::npos ? 0 : last_newline + 1;
  const std::size_t column = offset - line_start + 1;
  return {kind, fmt::format("{} at line {} column {}", message, line, column), line, column};
}

std::expected<ExchangeScheduleSnapshot, SnapshotReadError> parse_with(od::parser& parser, std::string_view json) {
  ExchangeScheduleSnapshot snapshot;
  std::optional<Failure> failure;
  {
    od::document doc;
    if (auto error = parser.iterate(json.data(), json.size(), json.size() + kSnapshotPadding).get(doc)) {
      failure = Failure{Kind::Syntax, syntax_message(error), json.data()};
    } else {
      Reader reader(json, doc);
      if (!reader.document(snapshot)) failure = std::move(reader.failure);
    }
  }
  if (!failure) return snapshot;
  // The fast pass stopped at its first problem without looking at the rest.
  if (auto error = Scanner(json.data() + json.size()).document(json.data())) {
    return std::unexpected(make_error(json, Kind::Syntax, error->message, error->at));
  }
  return std::unexpected(make_error(json, failure->kind, failure->message, failure->at));
}

od::parser& shared_parser() {
  thread_local od::parser parser;
  return parser;
}

// ---------------------------------------------------------------------------
// Files

struct FileBytes {
  std::unique_ptr<char[]> data;  // size bytes, then kSnapshotPadding zero bytes
  std::size_t size = 0;
};

struct FileDescriptor {
  int fd;
  ~FileDescriptor() { ::close(fd); }
};

// Reads to the end rather than trusting the size from fstat, which is 0 for
// pipes and /proc files. Fails with errno.
std::expected<FileBytes, int> read_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(errno);
  const FileDescriptor closer{fd};
  struct stat status {};
  if (::fstat(fd, &status) != 0) return std::unexpected(errno);
  // One byte over the size of a regular file, so that end of file is seen
  // without growing the buffer.
  std::size_t capacity = S_ISREG(status.st_mode) ? static_cast<std::size_t>(status.st_size) + 1 : 1 << 16;
  FileBytes bytes{std::make_unique_for_overwrite<char[]>(capacity + kSnapshotPadding), 0};
  while (true) {
    if (bytes.size == capacity) {
      capacity *= 2;
      auto larger = std::make_unique_for_overwrite<char[]>(capacity + kSnapshotPadding);
      std::memcpy(larger.get(), bytes.data.get(), bytes.size);
      bytes.data = std::move(larger);
    }
    const ssize_t n = ::read(fd, bytes.data.get() + bytes.size, capacity - bytes.size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(errno);
    }
    if (n == 0) break;
    bytes.size += static_cast<std::size_t>(n);
  }
  std::memset(bytes.data.get() + bytes.size, 0, kSnapshotPadding);
  return bytes;
}

}  // namespace

std::expected<ExchangeScheduleSnapshot, SnapshotReadError> parse_snapshot(std::string_view json) {
  const simdjson::padded_string padded(json);
  return parse_with(shared_parser(), std::string_view(padded.data(), padded.size()));
}

std::expected<ExchangeScheduleSnapshot, SnapshotReadError> parse_padded_snapshot(std::string_view json) {
  return parse_with(shared_parser(), json);
}

std::string_view snapshot_reader_kernel() { return SIMDJSON_STRINGIFY(SIMDJSON_BUILTIN_IMPLEMENTATION); }

std::expected<ExchangeScheduleSnapshot, tarn_runtime::ErrorChain> read_snapshot_file(const std::string& path) {
  auto bytes = read_file(path);
  if (!bytes) {
    const int error = bytes.error();
    return std::unexpected(
        tarn_runtime::ErrorChain(tarn_runtime::os_error_text(error)).context("open " + path));
  }
  // A parser of its own: its index grows with the document, and a file is
  // read once, so the memory is given back as soon as reading is done.
  od::parser parser;
  auto snapshot = parse_with(parser, std::string_view(bytes->data.get(), bytes->size));
  if (!snapshot) return std::unexpected(tarn_runtime::ErrorChain(std::move(snapshot.error().message)).context("parse " + path));
  return std::move(*snapshot);
}

}  // namespace tarn_codegen::exchange
