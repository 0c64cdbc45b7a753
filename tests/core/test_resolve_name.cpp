#include "common/resolve_name.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "support/graph_fixtures.hpp"

namespace tarnwick {
namespace {

constexpr const char* kLevelZero = "This method has no meaning when level == 0";
constexpr const char* kBeyondTop = "Attempted relative import beyond top-level package";
constexpr std::uint64_t kHuge = std::numeric_limits<std::uint64_t>::max();

TEST(ResolveName, Table) {
  struct Case {
    std::string name, package;
    std::uint64_t level;
    std::string result;  // the failure message when `fails`
    bool fails = false;
  };
  const Case cases[] = {// One dot keeps the whole package; each further dot drops a component.
                        {"m", "a.b.c", 1, "a.b.c.m"},
                        {"m", "a.b.c", 2, "a.b.m"},
                        {"", "a.b.c", 3, "a"},
                        {"m.n", "a.b.c", 3, "a.m.n"},
                        {"", "pkg", 1, "pkg"},
                        // The empty package is one empty component; empty components count too.
                        {"x", "", 1, ".x"},
                        {"", "", 1, ""},
                        {"m", "a..b", 2, "a..m"},
                        {"m", "a..b", 3, "a.m"},
                        {"", "a.", 2, "a"},
                        {"", "a.", 1, "a."},
                        {"m", "..", 3, ".m"},
                        // Level 0 fails whatever the rest; so do more dots than components.
                        {"m", "a.b", 0, kLevelZero, true},
                        {"", "", 0, kLevelZero, true},
                        {"", "a", 2, kBeyondTop, true},
                        {"m", "a.b.c", 4, kBeyondTop, true},
                        {"", "", 2, kBeyondTop, true},
                        {"m", "a..b", 4, kBeyondTop, true},
                        {"m", "a", kHuge, kBeyondTop, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE("'" + c.name + "' in '" + c.package + "' level " + std::to_string(c.level));
    std::string got = "(failed)";
    const auto error = testing::failure_of([&] { got = resolve_name(c.name, c.package, c.level); });
    EXPECT_EQ(c.fails ? error : got, c.result);
    EXPECT_EQ(error.empty(), !c.fails);
  }
}

}  // namespace
}  // namespace tarnwick
