// Import statement extraction: records for typical statements, and the
// failure messages.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/import_dump.hpp"
#include "core/parser.hpp"
#include "support/printers.hpp"

namespace {

using tarnwick::Alias;
using tarnwick::ImportStmt;
using tarnwick::Rule;
using tarnwick::peg::Node;

// "a.b as c" -> the alias record.
Alias A(std::string spec) {
  const auto as = spec.find(" as ");
  if (as == std::string::npos) return {spec, std::nullopt};
  return {spec.substr(0, as), spec.substr(as + 4)};
}
ImportStmt I(std::vector<std::string> names) {
  tarnwick::Import stmt;
  for (auto& n : names) stmt.names.push_back(A(n));
  return stmt;
}
ImportStmt F(std::string module, std::uint64_t level, std::vector<std::string> names) {
  tarnwick::ImportFrom stmt{std::move(module), {}, level};
  for (auto& n : names) stmt.names.push_back(A(n));
  return stmt;
}

using RecordCase = std::pair<std::string_view, std::vector<ImportStmt>>;

class Records : public ::testing::TestWithParam<RecordCase> {};

TEST_P(Records, AreExtractedInTextOrder) {
  const auto& [source, records] = GetParam();
  const auto got = tarnwick::parse(source);
  EXPECT_EQ(got, records) << source << "\n" << tarnwick::format_imports(got);
  // A walk over the whole tree gives the same records as the streaming parse.
  const auto tree = tarnwick::parse_python(source);
  ASSERT_TRUE(tree.ok());
  EXPECT_EQ(tarnwick::extract_imports(tree.tree()), records) << source;
}

const RecordCase kRecords[] = {
    {"", {}},
    {"import a.b as c, d", {I({"a.b as c", "d"})}},
    {"from a.b import c", {F("a.b", 0, {"c"})}},
    {"from . import a", {F("", 1, {"a"})}},
    {"from ...pkg.sub import x as y", {F("pkg.sub", 3, {"x as y"})}},
    {"from .m import (a, b as c,)", {F("m", 1, {"a", "b as c"})}},
    {"from m import (  # one\n    a,  # two\n    b as c,\n    # three\n)\n",
     {F("m", 0, {"a", "b as c"})}},
    {"from m import *\nimport a; import b\n", {I({"a"})}},
    {"def f():\n    import a\n    if x:\n        from .b import c\nimport d\n",
     {I({"a"}), F("b", 1, {"c"}), I({"d"})}},
    {"\"\"\"\nimport a\n\"\"\"\n# x \\\nimport b\nimport c\n", {I({"c"})}},
    {"'x' import a  # import b\n", {I({"a"})}},
    {"import caf\xC3\xA9, d\n", {I({"caf"})}},
    {"import a, \\\r\n  b\r\nfrom c \\\n  import d\rimport e",
     {I({"a", "b"}), F("c", 0, {"d"}), I({"e"})}},
};

INSTANTIATE_TEST_SUITE_P(Statements, Records, ::testing::ValuesIn(kRecords),
                         tarnwick::testing::CaseIndex());

// ---- internal failures, on trees the grammar cannot produce ---------------------

Node N(Rule rule, std::size_t start, std::size_t end, std::size_t next) {
  return Node{static_cast<std::uint32_t>(rule), start, end, next};
}

// A node array and the message its extraction fails with.
using BrokenTree = std::pair<std::vector<Node>, const char*>;

class BrokenTrees : public ::testing::TestWithParam<BrokenTree> {};

TEST_P(BrokenTrees, FailWithTheDefinedMessage) {
  const tarnwick::ParseTree tree("from a import b", GetParam().first);
  try {
    tarnwick::extract_imports(tree);
    ADD_FAILURE() << "no failure";
  } catch (const tarnwick::InternalError& e) {
    EXPECT_EQ(e.message(), GetParam().second);
  }
}

const BrokenTree kBroken[] = {
    {{N(Rule::import, 0, 6, 1)}, tarnwick::kAbsentValue},
    {{N(Rule::import_from, 0, 15, 2), N(Rule::from_alias_list, 14, 15, 2)},
     "assertion failed: `(left == right)`\n  left: `from_alias_list`,\n right: `module_spec`"},
    {{N(Rule::import_from, 0, 15, 3), N(Rule::module_spec, 5, 6, 3), N(Rule::name, 5, 6, 3)},
     "Unexpected rule while parsing module spec: (name 5 6)"},
};

INSTANTIATE_TEST_SUITE_P(Extraction, BrokenTrees, ::testing::ValuesIn(kBroken),
                         tarnwick::testing::CaseIndex());

}  // namespace
