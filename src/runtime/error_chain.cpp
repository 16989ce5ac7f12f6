#include "runtime/error_chain.h"

#include <fmt/format.h>

#include <cstring>

namespace tarn_runtime {

ErrorChain ErrorChain::context(std::string outer) && {
  messages_.insert(messages_.begin(), std::move(outer));
  return std::move(*this);
}

std::string os_error_text(int error) { return fmt::format("{} (os error {})", std::strerror(error), error); }

std::string ErrorChain::render() const {
  std::string out = fmt::format("Error: {}\n", messages_.front());
  if (messages_.size() == 1) return out;
  out += "\nCaused by:\n";
  if (messages_.size() == 2) {
    out += fmt::format("    {}\n", messages_[1]);
    return out;
  }
  for (std::size_t i = 1; i < messages_.size(); ++i) {
    out += fmt::format("    {}: {}\n", i - 1, messages_[i]);
  }
  return out;
}

}  // namespace tarn_runtime
