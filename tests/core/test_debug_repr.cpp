#include <gtest/gtest.h>

#include "contract/debug_repr.hpp"

namespace tarnwick {
namespace {

TEST(DebugRepr, QuotesAndEscapes) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"", R"("")"},
      {"/usr/lib/python3.11/os.py", R"("/usr/lib/python3.11/os.py")"},
      {"C:\\x\"y", R"("C:\\x\"y")"},
      {"a\nb\tc\rd", R"("a\nb\tc\rd")"},
      {std::string_view("\0\x01\x7f", 3), R"("\0\u{1}\u{7f}")"},
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
  };
  for (auto [in, want] : cases) EXPECT_EQ(debug_quoted(in), want) << in;
}

}  // namespace
}  // namespace tarnwick
