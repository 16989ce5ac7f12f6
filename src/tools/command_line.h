// What the programs' command lines share: usage errors shown the same way
// (message, usage line, hint), and plain decimal numbers.
//
// The parser's own integer conversion honours C prefixes ("010" is octal,
// "0x10" hex) and takes "" as 0 and "-1" as the largest u64. Options that
// use this transform accept only plain decimal digits, range-checked here,
// and hand the parser the canonical form ("010" becomes 10). It must be a
// transform: a check may not change the value the parser converts.
#pragma once

#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <memory>
#include <string>

namespace tarn_tools {

// Prints `usage` as the usage line of the help, and usage errors as
// "error: {message}", a blank line, `usage`, and the hint to try --help.
inline void configure_usage(CLI::App& app, std::string usage) {
  class UsageFormatter : public CLI::Formatter {
   public:
    explicit UsageFormatter(std::string line) : line_(std::move(line)) {}
    std::string make_usage(const CLI::App*, std::string) const override { return line_ + "\n"; }

   private:
    std::string line_;
  };
  app.formatter(std::make_shared<UsageFormatter>(usage));
  app.failure_message([usage](const CLI::App*, const CLI::Error& e) {
    return std::string("error: ") + e.what() + "\n\n" + usage + "\n\nFor more information, try '--help'.\n";
  });
}

inline CLI::Validator unsigned_decimal(std::uint64_t minimum, std::uint64_t maximum) {
  return CLI::Validator(
      [minimum, maximum](std::string& value) -> std::string {
        const bool digits_only = !value.empty() && std::all_of(value.begin(), value.end(), [](char c) {
          return c >= '0' && c <= '9';
        });
        if (!digits_only) return "value " + value + " is not an unsigned decimal integer";
        std::uint64_t number = 0;
        const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number, 10);
        if (error != std::errc{} || end != value.data() + value.size() || number < minimum || number > maximum) {
          return "value " + value + " is not in " + std::to_string(minimum) + ".." + std::to_string(maximum);
        }
        value = std::to_string(number);
        return {};
      },
      "", "unsigned decimal");
}

}  // namespace tarn_tools
