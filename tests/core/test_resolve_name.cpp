#include "core/resolve_name.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "core/error.hpp"

namespace tarnwick {
namespace {

struct ResolveCase {
  std::string name;
  std::string package;
  std::uint64_t level;
  std::string expected;
};

class ResolveNameOk : public ::testing::TestWithParam<ResolveCase> {};

TEST_P(ResolveNameOk, GivesAbsoluteName) {
  const ResolveCase& c = GetParam();
  EXPECT_EQ(resolve_name(c.name, c.package, c.level), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ResolveNameOk,
    ::testing::Values(
        // One dot keeps the whole package; each further dot drops a component.
        ResolveCase{"m", "a.b.c", 1, "a.b.c.m"}, ResolveCase{"m", "a.b.c", 2, "a.b.m"},
        ResolveCase{"", "a.b.c", 3, "a"}, ResolveCase{"m.n", "a.b.c", 3, "a.m.n"},
        // An empty name gives the base itself.
        ResolveCase{"", "pkg", 1, "pkg"}, ResolveCase{"", "a.b.c", 1, "a.b.c"},
        // The empty package is one empty component.
        ResolveCase{"x", "", 1, ".x"}, ResolveCase{"", "", 1, ""},
        // Empty components count like any other.
        ResolveCase{"m", "a..b", 1, "a..b.m"}, ResolveCase{"m", "a..b", 2, "a..m"},
        ResolveCase{"m", "a..b", 3, "a.m"}, ResolveCase{"", "a.", 2, "a"},
        ResolveCase{"", "a.", 1, "a."}, ResolveCase{"m", "..", 3, ".m"},
        ResolveCase{"m", ".a", 2, ".m"}));

struct ResolveFailure {
  std::string name;
  std::string package;
  std::uint64_t level;
  std::string message;
};

class ResolveNameFails : public ::testing::TestWithParam<ResolveFailure> {};

TEST_P(ResolveNameFails, WithExactMessage) {
  const ResolveFailure& c = GetParam();
  try {
    const std::string result = resolve_name(c.name, c.package, c.level);
    FAIL() << "expected a failure, got '" << result << "'";
  } catch (const InternalError& e) {
    EXPECT_EQ(e.message(), c.message);
  }
}

constexpr const char* kLevelZero = "This method has no meaning when level == 0";
constexpr const char* kBeyondTop = "Attempted relative import beyond top-level package";

INSTANTIATE_TEST_SUITE_P(
    Cases, ResolveNameFails,
    ::testing::Values(
        // Level 0 fails whatever the other arguments.
        ResolveFailure{"m", "a.b", 0, kLevelZero}, ResolveFailure{"", "", 0, kLevelZero},
        ResolveFailure{"x", "a.b.c.d.e.f", 0, kLevelZero},
        // More dots than package components.
        ResolveFailure{"", "a", 2, kBeyondTop}, ResolveFailure{"m", "a.b.c", 4, kBeyondTop},
        ResolveFailure{"", "", 2, kBeyondTop}, ResolveFailure{"m", "a..b", 4, kBeyondTop},
        ResolveFailure{"m", "a", std::numeric_limits<std::uint64_t>::max(), kBeyondTop}));

}  // namespace
}  // namespace tarnwick
