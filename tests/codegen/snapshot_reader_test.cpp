// Snapshot reading: both record forms, every reader message with its
// position, syntax errors winning over shape errors, files, the public JSON
// test suite, and randomised documents (round trips, and single-byte
// mutations judged by simdjson's fully validating DOM parser).
#include "codegen/exchange/snapshot_reader.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <simdjson.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tarn_codegen::exchange {
namespace {

using Kind = SnapshotReadError::Kind;
constexpr auto Word32 = ExchangeItemWidth::Word32;
constexpr auto Paired64 = ExchangeItemWidth::Paired64;

// A valid snapshot whose unknown key "comment" holds `value` verbatim; the
// value starts at column 46.
std::string with_comment(std::string_view value) {
  return fmt::format(R"({{"schema_version":3,"tile_count":2,"comment":{},"phases":[]}})", value);
}

// A snapshot with one transfer given as JSON text, starting at column 70.
std::string with_transfer(std::string_view transfer) {
  return fmt::format(R"({{"schema_version":3,"tile_count":2,"phases":[{{"phase":1,"transfers":[{}]}}]}})", transfer);
}

const ExchangeScheduleSnapshot kSample{
    3,
    4,
    {{7,
      {{0, {256, 512}, {{1, 1024}, {2, 2048}}, 16, Word32},  //
       {2, {4096}, {{3, 8192}}, 4, Paired64}}},
     {9, {}}}};

TEST(SnapshotReader, ReadsEveryRecordFormAndSkipsUnknownKeys) {
  const struct {
    const char* name;
    std::string json;
    ExchangeScheduleSnapshot expected;
  } cases[] = {
      {"objects",
       R"({"schema_version": 3, "tile_count": 4, "phases": [
            {"phase": 7, "transfers": [
              {"source": 0, "source_addresses": [256, 512],
               "destinations": [{"tile": 1, "address": 1024}, {"tile": 2, "address": 2048}],
               "words": 16, "width": "Word32"},
              {"source": 2, "source_addresses": [4096], "destinations": [{"tile": 3, "address": 8192}],
               "words": 4, "width": "Paired64"}]},
            {"phase": 9, "transfers": []}]})",
       kSample},
      {"arrays", R"([3, 4, [[7, [[0, [256, 512], [[1, 1024], [2, 2048]], 16, "Word32"],
                               [2, [4096], [[3, 8192]], 4, "Paired64"]]], [9, []]]])",
       kSample},
      {"mixed forms, any key order, escaped keys and names, unknown keys of every kind",
       " \r\n\t"
       R"({"phases": [{"transfers": [{"width": {"Word32": null}, "words": 16,
              "comment": {"a": [1, -2.5, -3e-2, 1E+2, 1e400, 18446744073709551616, -0, true, false, null,
                                "q\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00 é"], "": {}},
              "destinations": [{"address": 1024, "tile": 1}, [2, 2048]],
              "source_addresses": [256, 512], "\u0073ource": 0},
             [2, [4096], [{"tile": 3, "address": 8192}], 4, {"P\u0061ired64" : null}]], "phase": 7},
            [9, []]],
          "extra": [[[[]]]], "tile_count": 4, "sche\u006da_version": 3, "width": 5})"
       " \r\n\t",
       kSample},
      {"field range limits", R"({"schema_version":4294967295,"tile_count":65535,"phases":[]})",
       {4294967295, 65535, {}}},
      {"more list entries than are held inline",
       with_transfer(R"([65535,[0,4,8,12,16,4294967295],[[0,0],[1,4],[2,8],[3,12]],4294967295,"Word32"])"),
       {3, 2, {{1, {{65535, {0, 4, 8, 12, 16, 4294967295}, {{0, 0}, {1, 4}, {2, 8}, {3, 12}}, 4294967295, Word32}}}}}},
      {"unknown value nested to the limit",
       with_comment(std::string(127, '[') + std::string(127, ']')),
       {3, 2, {}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = parse_snapshot(c.json);
    ASSERT_TRUE(result.has_value()) << result.error().message;
    EXPECT_EQ(*result, c.expected);
  }
}

TEST(SnapshotReader, RejectsWithMessageKindAndPosition) {
  const struct {
    std::string json;
    Kind kind;
    std::string message;
  } cases[] = {
      // Keys and lengths: missing keys are reported at the closing brace.
      {R"({"tile_count":2,"phases":[]})", Kind::Shape, "missing field `schema_version` at line 1 column 28"},
      {R"({"phases":[],"tile_count":2})", Kind::Shape, "missing field `schema_version` at line 1 column 28"},
      {R"({"schema_version":3,"tile_count":2,"phases":[{"phase":1}]})", Kind::Shape,
       "missing field `transfers` at line 1 column 56"},
      {with_transfer(R"({"source":0,"source_addresses":[],"destinations":[{"tile":1}],"words":1,"width":"Word32"})"),
       Kind::Shape, "missing field `address` at line 1 column 129"},
      {with_transfer(R"({"source":0,"destinations":[],"words":1,"width":"Word32"})"), Kind::Shape,
       "missing field `source_addresses` at line 1 column 126"},
      {R"({"schema_version":3,"schema_version":3,"tile_count":2,"phases":[]})", Kind::Shape,
       "duplicate field `schema_version` at line 1 column 21"},
      {R"({"tile_count":2,"tile\u005fcount":2,"schema_version":3,"phases":[]})", Kind::Shape,
       "duplicate field `tile_count` at line 1 column 17"},
      {"[3,2]", Kind::Shape, "invalid length 2, expected struct ExchangeScheduleSnapshot with 3 elements at line 1 column 5"},
      {"[3,2,[],[],[]]", Kind::Shape,
       "invalid length 5, expected struct ExchangeScheduleSnapshot with 3 elements at line 1 column 14"},
      {"[3,2,[[1]]]", Kind::Shape,
       "invalid length 1, expected struct ExchangeScheduleProblem with 2 elements at line 1 column 9"},
      {with_transfer("[0,[],[],1]"), Kind::Shape,
       "invalid length 4, expected struct ExchangeScheduleTransfer with 5 elements at line 1 column 80"},
      {with_transfer(R"([0,[],[[1]],1,"Word32"])"), Kind::Shape,
       "invalid length 1, expected struct ExchangeScheduleDestination with 2 elements at line 1 column 79"},
      {with_transfer(R"([0,[],[[1,2,3]],1,"Word32"])"), Kind::Shape,
       "invalid length 3, expected struct ExchangeScheduleDestination with 2 elements at line 1 column 83"},

      // Widths.
      {with_transfer(R"([0,[],[],1,"Word64"])"), Kind::Shape,
       "unknown variant `Word64`, expected `Word32` or `Paired64` at line 1 column 81"},
      {with_transfer(R"([0,[],[],1,{"word32":null}])"), Kind::Shape,
       "unknown variant `word32`, expected `Word32` or `Paired64` at line 1 column 82"},
      {with_transfer(R"([0,[],[],1,{"Word32":1}])"), Kind::Shape,
       "invalid type: integer `1`, expected null at line 1 column 91"},
      {with_transfer(R"([0,[],[],1,{"Word32":null,"Paired64":null}])"), Kind::Shape,
       "invalid length 2, expected map with a single key at line 1 column 111"},
      {with_transfer(R"([0,[],[],1,{}])"), Kind::Shape,
       "invalid length 0, expected map with a single key at line 1 column 82"},
      {with_transfer("[0,[],[],1,1]"), Kind::Shape,
       "invalid type: integer `1`, expected variant identifier at line 1 column 81"},
      {with_transfer("[0,[],[],1,null]"), Kind::Shape,
       "invalid type: null, expected variant identifier at line 1 column 81"},

      // Integers: range, sign, fraction and exponent, other types.
      {R"({"schema_version":3,"tile_count":65536,"phases":[]})", Kind::Shape,
       "invalid value: integer `65536`, expected u16 at line 1 column 34"},
      {with_transfer(R"([0,[],[],-1,"Word32"])"), Kind::Shape,
       "invalid value: integer `-1`, expected u32 at line 1 column 79"},
      {with_transfer(R"([0,[4294967296],[],1,"Word32"])"), Kind::Shape,
       "invalid value: integer `4294967296`, expected u32 at line 1 column 74"},
      {with_transfer(R"([0,[],[[18446744073709551616,0]],1,"Word32"])"), Kind::Shape,
       "invalid value: integer `18446744073709551616`, expected u16 at line 1 column 78"},
      {with_transfer(R"([-0,[],[],1,"Word32"])"), Kind::Shape,
       "invalid value: integer `-0`, expected u16 at line 1 column 71"},
      {with_transfer(R"([0,[],[],1.5,"Word32"])"), Kind::Shape,
       "invalid type: floating point `1.5`, expected u32 at line 1 column 79"},
      {with_transfer(R"([0,[],[],1e3,"Word32"])"), Kind::Shape,
       "invalid type: floating point `1000.0`, expected u32 at line 1 column 79"},
      {with_transfer(R"([0,[],[],2.0,"Word32"])"), Kind::Shape,
       "invalid type: floating point `2.0`, expected u32 at line 1 column 79"},
      {R"({"schema_version":3,"tile_count":"x","phases":[]})", Kind::Shape,
       R"(invalid type: string "x", expected u16 at line 1 column 34)"},
      {R"({"schema_version":"a\"b","tile_count":2,"phases":[]})", Kind::Shape,
       R"(invalid type: string "a\"b", expected u32 at line 1 column 19)"},
      {R"({"schema_version":true,"tile_count":2,"phases":[]})", Kind::Shape,
       "invalid type: boolean `true`, expected u32 at line 1 column 19"},
      {R"({"schema_version":null,"tile_count":2,"phases":[]})", Kind::Shape,
       "invalid type: null, expected u32 at line 1 column 19"},
      {R"({"schema_version":[3],"tile_count":2,"phases":[]})", Kind::Shape,
       "invalid type: sequence, expected u32 at line 1 column 19"},
      {R"({"schema_version":{},"tile_count":2,"phases":[]})", Kind::Shape,
       "invalid type: map, expected u32 at line 1 column 19"},

      // Records and lists of the wrong type.
      {"2", Kind::Shape, "invalid type: integer `2`, expected struct ExchangeScheduleSnapshot at line 1 column 1"},
      {R"( "snapshot")", Kind::Shape,
       R"(invalid type: string "snapshot", expected struct ExchangeScheduleSnapshot at line 1 column 2)"},
      {R"({"schema_version":3,"tile_count":2,"phases":{}})", Kind::Shape,
       "invalid type: map, expected a sequence at line 1 column 45"},
      {R"({"schema_version":3,"tile_count":2,"phases":[5]})", Kind::Shape,
       "invalid type: integer `5`, expected struct ExchangeScheduleProblem at line 1 column 46"},
      {with_transfer(R"([0,"a",[],1,"Word32"])"), Kind::Shape,
       R"(invalid type: string "a", expected a sequence at line 1 column 73)"},
      {with_transfer(R"([0,[],[false],1,"Word32"])"), Kind::Shape,
       "invalid type: boolean `false`, expected struct ExchangeScheduleDestination at line 1 column 77"},

      // Not JSON. Trailing content, and syntax errors that come after a shape error.
      {with_comment("1") + " x", Kind::Syntax, "trailing characters at line 1 column 61"},
      {with_comment("1") + "{}", Kind::Syntax, "trailing characters at line 1 column 60"},
      {with_comment("1") + "\n}", Kind::Syntax, "trailing characters at line 2 column 1"},
      {"[3,2,[]] 1", Kind::Syntax, "trailing characters at line 1 column 10"},
      {"2@", Kind::Syntax, "trailing characters at line 1 column 2"},
      {R"({"schema_version":"x","tile_count":2,"phases":[1,,2]})", Kind::Syntax,
       "expected value at line 1 column 50"},
      {"[3,2,[],[1,,2]]", Kind::Syntax, "expected value at line 1 column 12"},
      {R"({"schema_version":3 "tile_count":2,"phases":[]})", Kind::Syntax,
       "expected `,` or `}` at line 1 column 21"},
      {R"({"schema_version":3,"tile_count":2,"phases":[})", Kind::Syntax,
       "expected value at line 1 column 46"},
      {R"({"schema_version":3,"tile_count":2)", Kind::Syntax, "unexpected end of input at line 1 column 35"},
      {"", Kind::Syntax, "unexpected end of input at line 1 column 1"},
      {" \n ", Kind::Syntax, "unexpected end of input at line 2 column 2"},
      {"\xef\xbb\xbf{}", Kind::Syntax, "expected value at line 1 column 1"},
      {with_transfer(R"([01,[],[],1,"Word32"])"), Kind::Syntax, "invalid number at line 1 column 71"},
      {with_transfer(R"([0,[],[],1.,"Word32"])"), Kind::Syntax, "invalid number at line 1 column 79"},
      {with_transfer(R"([0,[],[],-,"Word32"])"), Kind::Syntax, "invalid number at line 1 column 79"},
      {with_transfer(R"([0,[],[],1,{"Word32":nul}])"), Kind::Syntax, "invalid literal at line 1 column 91"},
      {with_transfer(R"([0,[],[],1,"Word\x32"])"), Kind::Syntax, "invalid string escape at line 1 column 86"},

      // Unknown values are skipped but must be JSON, and no deeper than the limit.
      {with_comment("[1,,2]"), Kind::Syntax, "expected value at line 1 column 49"},
      {with_comment("[1 2]"), Kind::Syntax, "expected `,` or `]` at line 1 column 49"},
      {with_comment(R"({"a" 1})"), Kind::Syntax, "expected `:` at line 1 column 51"},
      {with_comment(R"({"a":1,})"), Kind::Syntax, "expected string key at line 1 column 53"},
      {with_comment("tru"), Kind::Syntax, "invalid literal at line 1 column 46"},
      {with_comment("[.5]"), Kind::Syntax, "expected value at line 1 column 47"},
      {with_comment(R"("\x")"), Kind::Syntax, "invalid string escape at line 1 column 47"},
      {with_comment(R"("\u12")"), Kind::Syntax, "invalid string escape at line 1 column 47"},
      {with_comment(R"("\ud83d")"), Kind::Syntax, "unpaired surrogate in string escape at line 1 column 47"},
      {with_comment(R"("\ude00")"), Kind::Syntax, "unpaired surrogate in string escape at line 1 column 47"},
      {with_comment("\"a\tb\""), Kind::Syntax, "control character in string at line 1 column 48"},
      {with_comment("\"a\xc3(\""), Kind::Syntax, "invalid UTF-8 at line 1 column 48"},
      {with_comment("\"\xed\xa0\x80\""), Kind::Syntax, "invalid UTF-8 at line 1 column 47"},
      {with_comment("\"\xc0\xaf\""), Kind::Syntax, "invalid UTF-8 at line 1 column 47"},
      {with_comment(std::string(128, '[') + std::string(128, ']')), Kind::Syntax,
       "recursion limit exceeded at line 1 column 173"},
      {std::string(100000, '['), Kind::Syntax, "recursion limit exceeded at line 1 column 129"},
      {std::string(100000, '{'), Kind::Syntax, "expected string key at line 1 column 2"},

      // Positions count lines and bytes.
      {"{\n  \"schema_version\": 3,\n  \"tile_count\": -2,\n  \"phases\": []\n}", Kind::Shape,
       "invalid value: integer `-2`, expected u16 at line 3 column 17"},
      {"{\"comment\": \"\xc3\xa9\xc3\xa9\", \"schema_version\": 3,\n\"tile_count\": 2, \"phases\": [],}", Kind::Syntax,
       "expected string key at line 2 column 31"},
      {"{\"comment\": \"\xc3\xa9\", \"tile_count\": 2, \"phases\": [], \"schema_version\": \"3\"}", Kind::Shape,
       R"(invalid type: string "3", expected u32 at line 1 column 68)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json.substr(0, 200));
    const auto result = parse_snapshot(c.json);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().message, c.message);
    EXPECT_EQ(result.error().kind, c.kind);
    EXPECT_EQ(fmt::format(" at line {} column {}", result.error().line, result.error().column),
              c.message.substr(c.message.rfind(" at line ")));
  }
}

TEST(SnapshotReader, ParsesInPlaceFromPaddedText) {
  const std::string json = R"({"schema_version":3,"tile_count":2,"phases":[[1,[]]]})";
  std::string buffer = json + "}]" + std::string(kSnapshotPadding, '"');  // junk after the end is not read as JSON
  const auto result = parse_padded_snapshot(std::string_view(buffer.data(), json.size()));
  ASSERT_TRUE(result.has_value()) << result.error().message;
  EXPECT_EQ(*result, (ExchangeScheduleSnapshot{3, 2, {{1, {}}}}));
}

// ---------------------------------------------------------------------------
// Files

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "snapshot-reader-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string file(std::string_view name) const { return (path_ / name).string(); }
  std::string write(std::string_view name, std::string_view text) const {
    std::ofstream(file(name), std::ios::binary) << text;
    return file(name);
  }

 private:
  std::filesystem::path path_;
};

std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(SnapshotReaderFile, ErrorsCarryOpenOrParseContext) {
  const TempDir dir;
  const std::string missing = dir.file("missing.json");
  const std::string bad = dir.write("bad.json", R"({"schema_version":3})");
  const std::string directory = dir.file("");
  const struct {
    std::string path;
    std::vector<std::string> messages;
  } cases[] = {
      {missing, {"open " + missing, "No such file or directory (os error 2)"}},
      {directory, {"open " + directory, "Is a directory (os error 21)"}},
      {bad, {"parse " + bad, "missing field `tile_count` at line 1 column 20"}},
      {"", {"open ", "No such file or directory (os error 2)"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const auto result = read_snapshot_file(c.path);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().messages(), c.messages);
  }
}

TEST(SnapshotReaderFile, ReadsFilesAndPipesToTheEnd) {
  const std::string example = std::string(TARN_SOURCE_DIR) + "/examples/halo-4x4.json";
  const std::string text = slurp(example);
  const auto expected = parse_snapshot(text);
  ASSERT_TRUE(expected.has_value()) << expected.error().message;
  EXPECT_EQ(expected->tile_count, 16);

  const auto from_file = read_snapshot_file(example);
  ASSERT_TRUE(from_file.has_value()) << from_file.error().render();
  EXPECT_EQ(*from_file, *expected);

  // A pipe reports no size; the example is several times the first read buffer.
  const TempDir dir;
  const std::string fifo = dir.file("snapshot.fifo");
  std::string padded_text = text + std::string(200000, ' ');
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] { std::ofstream(fifo, std::ios::binary) << padded_text; });
  const auto from_pipe = read_snapshot_file(fifo);
  writer.join();
  ASSERT_TRUE(from_pipe.has_value()) << from_pipe.error().render();
  EXPECT_EQ(*from_pipe, *expected);
}

// ---------------------------------------------------------------------------
// The public JSON parser test suite: y_ files are JSON, n_ files are not,
// i_ files may go either way but must not crash anything.

std::vector<std::filesystem::path> suite_files() {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(TARN_SHARED_DIR "/data/json-test-suite")) {
    const std::string name = entry.path().filename().string();
    if (name.size() > 2 && name[1] == '_' && entry.path().extension() == ".json") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

TEST(SnapshotReaderJsonSuite, EveryFileWholeAndAsAnUnknownValue) {
  const auto files = suite_files();
  ASSERT_GT(files.size(), 300u);
  for (const auto& path : files) {
    const std::string name = path.filename().string();
    SCOPED_TRACE(name);
    const std::string text = slurp(path);

    // None of them is a snapshot, so JSON gives a shape error.
    const auto whole = parse_snapshot(text);
    ASSERT_FALSE(whole.has_value());
    const bool json = whole.error().kind == Kind::Shape;
    if (name[0] != 'i') {
      EXPECT_EQ(json, name[0] == 'y') << whole.error().message;
    }

    // Embedded, the file's bytes sit between a colon and a comma, so a fault
    // at the document level (a second value, a byte order mark, nothing but
    // whitespace) stays a fault, and no file of the suite changes verdict:
    // there are no exceptions to list. The i_ files are held to the same
    // verdict both ways.
    const auto embedded = parse_snapshot(with_comment(text));
    EXPECT_EQ(embedded.has_value(), json) << (embedded ? "read" : embedded.error().message);
    if (!embedded) {
      EXPECT_EQ(embedded.error().kind, Kind::Syntax);
    }
  }
}

// ---------------------------------------------------------------------------
// Randomised documents

// Writes a snapshot as JSON text with random layout: object or array form per
// record, shuffled keys, escaped key characters, both width forms, unknown
// keys holding random JSON, random whitespace.
class RandomWriter {
 public:
  explicit RandomWriter(std::uint64_t seed) : rng_(seed) {}

  ExchangeScheduleSnapshot snapshot() {
    ExchangeScheduleSnapshot s{number<std::uint32_t>(), number<std::uint16_t>(), {}};
    for (auto n = below(4); n > 0; --n) {
      ExchangeScheduleProblem& p = s.phases.emplace_back();
      p.phase = number<std::uint32_t>();
      for (auto m = below(5); m > 0; --m) {
        ExchangeScheduleTransfer& t = p.transfers.emplace_back();
        t.source = number<std::uint16_t>();
        for (auto k = below(7); k > 0; --k) t.source_addresses.push_back(number<std::uint32_t>());
        for (auto k = below(4); k > 0; --k) t.destinations.push_back({number<std::uint16_t>(), number<std::uint32_t>()});
        t.words = number<std::uint32_t>();
        t.width = chance(0.5) ? Word32 : Paired64;
      }
    }
    return s;
  }

  std::string json(const ExchangeScheduleSnapshot& s) {
    out_.clear();
    write(s);
    space();
    return out_;
  }

 private:
  using Field = std::pair<std::string_view, std::function<void()>>;

  bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }
  std::uint64_t below(std::uint64_t n) { return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(rng_); }

  template <class T>
  T number() {
    switch (below(4)) {
      case 0: return 0;
      case 1: return std::numeric_limits<T>::max();
      default: return static_cast<T>(below(std::uint64_t{std::numeric_limits<T>::max()} + 1));
    }
  }

  void space() {
    for (auto n = below(3); n > 0; --n) out_ += " \t\n\r"[below(4)];
  }

  void text(std::string_view s) {
    out_ += '"';
    for (const char c : s) {
      if (chance(0.1)) {
        out_ += fmt::format("\\u{:04x}", c);
      } else {
        out_ += c;
      }
    }
    out_ += '"';
  }

  void unknown_value(int depth) {
    space();
    switch (below(depth > 0 ? 7 : 5)) {
      case 0: out_ += std::to_string(static_cast<std::int64_t>(below(2000000)) - 1000000); break;
      case 1: out_ += fmt::format("{}.{}", static_cast<std::int64_t>(below(200)) - 100, below(1000)); break;
      case 2: out_ += R"("a\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00é")"; break;
      case 3: out_ += chance(0.5) ? "true" : "false"; break;
      case 4: out_ += "null"; break;
      case 5: {
        out_ += '[';
        for (auto n = below(4), i = decltype(n){0}; i < n; ++i) {
          if (i > 0) out_ += ',';
          unknown_value(depth - 1);
        }
        space();
        out_ += ']';
        break;
      }
      default: {
        out_ += '{';
        for (auto n = below(4), i = decltype(n){0}; i < n; ++i) {
          if (i > 0) out_ += ',';
          space();
          text(chance(0.5) ? "k" : "phases");  // key names of other records are unknown here
          space();
          out_ += ':';
          unknown_value(depth - 1);
        }
        space();
        out_ += '}';
      }
    }
    space();
  }

  void record(std::vector<Field> fields) {
    space();
    if (chance(0.3)) {
      out_ += '[';
      for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) out_ += ',';
        fields[i].second();
      }
      out_ += ']';
      return;
    }
    for (auto n = below(3); n > 0; --n) fields.emplace_back(chance(0.5) ? "comment" : "wordz", [this] { unknown_value(2); });
    std::shuffle(fields.begin(), fields.end(), rng_);
    out_ += '{';
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (i > 0) out_ += ',';
      space();
      text(fields[i].first);
      space();
      out_ += ':';
      fields[i].second();
    }
    out_ += '}';
    space();
  }

  template <class T>
  std::function<void()> integer(T value) {
    return [this, value] {
      space();
      out_ += std::to_string(value);
      space();
    };
  }

  template <class T>
  std::function<void()> list(const T& items, std::function<void(const typename T::value_type&)> write_item) {
    return [this, &items, write_item] {
      space();
      out_ += '[';
      for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out_ += ',';
        write_item(items[i]);
      }
      space();
      out_ += ']';
      space();
    };
  }

  void write(const ExchangeScheduleSnapshot& s) {
    record({{"schema_version", integer(s.schema_version)},
            {"tile_count", integer(s.tile_count)},
            {"phases", list(s.phases, [this](const ExchangeScheduleProblem& p) { write(p); })}});
  }

  void write(const ExchangeScheduleProblem& p) {
    record({{"phase", integer(p.phase)},
            {"transfers", list(p.transfers, [this](const ExchangeScheduleTransfer& t) { write(t); })}});
  }

  void write(const ExchangeScheduleTransfer& t) {
    record({{"source", integer(t.source)},
            {"source_addresses", list(t.source_addresses, [this](std::uint32_t a) { integer(a)(); })},
            {"destinations", list(t.destinations, [this](const ExchangeScheduleDestination& d) { write(d); })},
            {"words", integer(t.words)},
            {"width", [this, &t] {
               space();
               if (chance(0.2)) {
                 out_ += '{';
                 space();
                 text(to_string(t.width));
                 out_ += ":null}";
               } else {
                 text(to_string(t.width));
               }
               space();
             }}});
  }

  void write(const ExchangeScheduleDestination& d) {
    record({{"tile", integer(d.tile)}, {"address", integer(d.address)}});
  }

  std::mt19937_64 rng_;
  std::string out_;
};

TEST(SnapshotReaderRandom, RoundTripsAnyLayout) {
  RandomWriter writer(20240611);
  for (int i = 0; i < 500; ++i) {
    const ExchangeScheduleSnapshot expected = writer.snapshot();
    const std::string json = writer.json(expected);
    SCOPED_TRACE(json);
    const auto result = parse_snapshot(json);
    ASSERT_TRUE(result.has_value()) << result.error().message;
    ASSERT_EQ(*result, expected);
  }
}

// Small edits of valid documents. simdjson's DOM parser validates the whole
// text, so it says what is JSON; the reader must fail with a syntax error
// exactly when the edited text is not JSON. The DOM parser is stricter than
// JSON about numbers only: it refuses those beyond 64 bits (edits can join
// two numbers) and, with exponents, beyond a double (the documents hold no
// exponents).
TEST(SnapshotReaderRandom, EditedDocumentsAreSyntaxErrorsExactlyWhenNotJson) {
  RandomWriter writer(7);
  std::mt19937_64 rng(11);
  const std::string alphabet = "{}[],:\"\\ \t\n0123456789-.tfnul\x01\x7f\xc3\xa9\xff";
  simdjson::dom::parser oracle;
  int syntax_errors = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string json = writer.json(writer.snapshot());
    std::string edits;
    for (auto n = 1 + rng() % 3; n > 0; --n) {
      const std::size_t at = rng() % (json.size() + 1);
      const char c = alphabet[rng() % alphabet.size()];
      const auto operation = rng() % 3;
      if (operation == 0) {
        json.insert(at, 1, c);
      } else if (at < json.size()) {
        if (operation == 1) {
          json[at] = c;
        } else {
          json.erase(at, 1);
        }
      }
      edits += fmt::format("{} {:?} at offset {}; ", std::array{"insert", "replace", "erase"}[operation], c, at);
    }
    SCOPED_TRACE(json);
    SCOPED_TRACE(edits);
    const auto verdict = oracle.parse(json).error();
    const auto result = parse_snapshot(json);
    if (verdict == simdjson::NUMBER_ERROR) {
      ASSERT_FALSE(result.has_value());  // no field is that wide
      continue;
    }
    const bool is_json = verdict == simdjson::SUCCESS;
    const bool syntax_error = !result.has_value() && result.error().kind == Kind::Syntax;
    ASSERT_EQ(syntax_error, !is_json) << (result ? "read" : result.error().message);
    syntax_errors += syntax_error;
  }
  EXPECT_GT(syntax_errors, 5000);  // the edits do reach the syntax paths
}

}  // namespace
}  // namespace tarn_codegen::exchange
