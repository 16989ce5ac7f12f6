// The program's error as it is reported at the end of a failed run: an
// outermost message over the chain of its causes.
//
// Library layers return their own error values; the program turns them into
// an ErrorChain at its boundary and adds context on the way up ("parse
// {path}" over the reader's message). Rendering follows one fixed layout so
// that scripts and people can rely on it:
//
//   Error: parse snap.json
//
//   Caused by:
//       missing field `phases` at line 1 column 40
//
// and, with several causes, "    0: ...", "    1: ..." from the outermost down.
#pragma once

#include <string>
#include <vector>

namespace tarn_runtime {

class ErrorChain {
 public:
  explicit ErrorChain(std::string message) { messages_.push_back(std::move(message)); }

  // This error as the cause of a new outermost message.
  [[nodiscard]] ErrorChain context(std::string outer) &&;

  // The outermost message.
  [[nodiscard]] const std::string& message() const { return messages_.front(); }
  // Every message, outermost first; all but the first are causes.
  [[nodiscard]] const std::vector<std::string>& messages() const { return messages_; }

  // The report text, ending with a newline.
  [[nodiscard]] std::string render() const;

  friend bool operator==(const ErrorChain&, const ErrorChain&) = default;

 private:
  std::vector<std::string> messages_;
};

// The operating system's text for an errno value, with its number:
// "No such file or directory (os error 2)".
[[nodiscard]] std::string os_error_text(int error);

}  // namespace tarn_runtime
