#include "runtime/error_chain.h"

#include <gtest/gtest.h>

namespace tarn_runtime {
namespace {

TEST(ErrorChain, RendersMessageAndCauses) {
  EXPECT_EQ(ErrorChain("--iterations must be nonzero").render(), "Error: --iterations must be nonzero\n");

  EXPECT_EQ(ErrorChain("missing field `phases` at line 1 column 40").context("parse snap.json").render(),
            "Error: parse snap.json\n"
            "\n"
            "Caused by:\n"
            "    missing field `phases` at line 1 column 40\n");

  EXPECT_EQ(ErrorChain("No such file or directory").context("open snap.json").context("read snapshot").render(),
            "Error: read snapshot\n"
            "\n"
            "Caused by:\n"
            "    0: open snap.json\n"
            "    1: No such file or directory\n");
}

TEST(ErrorChain, ContextPutsTheNewMessageOutermost) {
  const ErrorChain chain = ErrorChain("inner").context("middle").context("outer");
  EXPECT_EQ(chain.message(), "outer");
  EXPECT_EQ(chain.messages(), (std::vector<std::string>{"outer", "middle", "inner"}));
}

}  // namespace
}  // namespace tarn_runtime
