// Import statement extraction: records for typical and edge statements, and
// the failure messages.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/import_dump.hpp"
#include "core/parser.hpp"

namespace {

using tarnwick::Alias;
using tarnwick::Import;
using tarnwick::ImportFrom;
using tarnwick::ImportStmt;
using tarnwick::InternalError;
using tarnwick::Rule;
using tarnwick::peg::Node;

Alias A(std::string name) {
  return Alias{std::move(name), std::nullopt};
}
Alias A(std::string name, std::string as) {
  return Alias{std::move(name), std::move(as)};
}
ImportStmt I(std::vector<Alias> names) {
  return Import{std::move(names)};
}
ImportStmt F(std::string module, std::uint64_t level, std::vector<Alias> names) {
  return ImportFrom{std::move(module), std::move(names), level};
}

struct RecordCase {
  const char* what;
  std::string_view source;
  std::vector<ImportStmt> records;
};

class Records : public ::testing::TestWithParam<RecordCase> {};

TEST_P(Records, AreExtractedInTextOrder) {
  const RecordCase& c = GetParam();
  const auto got = tarnwick::parse(c.source);
  EXPECT_EQ(got, c.records) << c.what << "\n" << tarnwick::format_imports(got);
  // The walk over a full tree gives the same records as the streaming parse.
  const auto tree = tarnwick::parse_python(c.source);
  ASSERT_TRUE(tree.ok());
  EXPECT_EQ(tarnwick::extract_imports(tree.tree()), c.records) << c.what;
}

const RecordCase kRecords[] = {
    {"empty text", "", {}},
    {"plain", "import os", {I({A("os")})}},
    {"dotted with as", "import a.b as c, d", {I({A("a.b", "c"), A("d")})}},
    {"as on its own alias only", "import a as b, c", {I({A("a", "b"), A("c")})}},
    {"absolute from", "from a.b import c", {F("a.b", 0, {A("c")})}},
    {"relative dot", "from . import a", {F("", 1, {A("a")})}},
    {"relative three dots", "from ... import x", {F("", 3, {A("x")})}},
    {"relative with module and as",
     "from ...pkg.sub import x as y",
     {F("pkg.sub", 3, {A("x", "y")})}},
    {"parenthesised with trailing comma",
     "from .m import (a, b as c,)",
     {F("m", 1, {A("a"), A("b", "c")})}},
    {"parenthesised over lines with comments",
     "from m import (  # one\n    a,  # two\n    b as c,\n    # three\n)\n",
     {F("m", 0, {A("a"), A("b", "c")})}},
    {"star form", "from m import *\n", {}},
    {"semicolon keeps the first",
     "import a; import b\nfrom c import d; import e\n",
     {I({A("a")}), F("c", 0, {A("d")})}},
    {"indented blocks in order",
     "def f():\n    import a\n    if x:\n        from .b import c\nimport d\n",
     {I({A("a")}), F("b", 1, {A("c")}), I({A("d")})}},
    {"docstring hides", "\"\"\"\nimport a\n\"\"\"\nimport b\n", {I({A("b")})}},
    {"comment continues", "# x \\\nimport a\nimport b\n", {I({A("b")})}},
    {"after literal and comment", "'x' import a  # import b\n", {I({A("a")})}},
    {"non-ASCII name cut", "import caf\xC3\xA9\n", {I({A("caf")})}},
    {"continuation lines",
     "import a, \\\n  b\nfrom c \\\n  import d\n",
     {I({A("a"), A("b")}), F("c", 0, {A("d")})}},
    {"crlf and cr",
     "import a\r\nfrom b import c\rimport d",
     {I({A("a")}), F("b", 0, {A("c")}), I({A("d")})}},
    {"future import",
     "from __future__ import annotations\n",
     {F("__future__", 0, {A("annotations")})}},
};

INSTANTIATE_TEST_SUITE_P(Statements, Records, ::testing::ValuesIn(kRecords));

// ---- internal failures, on trees the grammar cannot produce ---------------------

std::string failure_of(const tarnwick::ParseTree& tree) {
  try {
    tarnwick::extract_imports(tree);
  } catch (const InternalError& e) {
    return e.message();
  }
  return "no failure";
}

Node N(Rule rule, std::size_t start, std::size_t end, std::size_t next) {
  return Node{static_cast<std::uint32_t>(rule), start, end, next};
}

struct BrokenTree {
  const char* what;
  std::vector<Node> nodes;
  const char* message;
};

class BrokenTrees : public ::testing::TestWithParam<BrokenTree> {};

TEST_P(BrokenTrees, FailWithTheDefinedMessage) {
  const BrokenTree& c = GetParam();
  const tarnwick::ParseTree tree("from a import b", c.nodes);
  EXPECT_EQ(failure_of(tree), c.message) << c.what;
}

const BrokenTree kBroken[] = {
    {"import without children", {N(Rule::import, 0, 6, 1)}, tarnwick::kAbsentValue},
    {"import with the wrong child",
     {N(Rule::import, 0, 15, 2), N(Rule::alias, 14, 15, 2)},
     "assertion failed: `(left == right)`\n  left: `alias`,\n right: `alias_list`"},
    {"alias list holding a name",
     {N(Rule::import, 0, 15, 3), N(Rule::alias_list, 14, 15, 3), N(Rule::name, 14, 15, 3)},
     "assertion failed: `(left == right)`\n  left: `name`,\n right: `alias`"},
    {"alias without children",
     {N(Rule::import, 0, 15, 3), N(Rule::alias_list, 14, 15, 3), N(Rule::alias, 14, 15, 3)},
     tarnwick::kAbsentValue},
    {"from without a module spec",
     {N(Rule::import_from, 0, 15, 2), N(Rule::from_alias_list, 14, 15, 2)},
     "assertion failed: `(left == right)`\n  left: `from_alias_list`,\n right: `module_spec`"},
    {"module spec starting with a name",
     {N(Rule::import_from, 0, 15, 3), N(Rule::module_spec, 5, 6, 3), N(Rule::name, 5, 6, 3)},
     "Unexpected rule while parsing module spec: (name 5 6)"},
    {"empty module spec",
     {N(Rule::import_from, 0, 15, 2), N(Rule::module_spec, 5, 6, 2)},
     tarnwick::kAbsentValue},
    {"from without a list",
     {N(Rule::import_from, 0, 15, 4), N(Rule::module_spec, 5, 6, 4),
      N(Rule::qualified_name, 5, 6, 4), N(Rule::name, 5, 6, 4)},
     tarnwick::kAbsentValue},
};

INSTANTIATE_TEST_SUITE_P(Extraction, BrokenTrees, ::testing::ValuesIn(kBroken));

TEST(ParseAlias, ReadsNameAndAsName) {
  const std::string text = "a.b as c";
  const tarnwick::ParseTree tree(
      text, {N(Rule::alias, 0, 8, 5), N(Rule::qualified_name, 0, 3, 4), N(Rule::name, 0, 1, 3),
             N(Rule::name, 2, 3, 4), N(Rule::name, 7, 8, 5)});
  EXPECT_EQ(tarnwick::parse_alias(tree.node(0)), A("a.b", "c"));
  EXPECT_THROW(tarnwick::parse_alias(tree.node(1)), InternalError);
}

TEST(ParseFailure, MessageNamesPositionLineAndExpectedRules) {
  const std::string text = "import a\nx = \xC3\xA9t\xC3\xA9 + 1\r\nnext";
  tarnwick::peg::Failure<Rule> failure;
  failure.position = 15;  // the 't' after the first e-acute on line 2
  failure.expected = {Rule::import, Rule::any_line};
  EXPECT_EQ(tarnwick::parse_failure_message(text, failure),
            "Could not parse file: at byte 15 (line 2, column 6): \"x = \xC3\xA9t\xC3\xA9 + "
            "1\"; expected import or any_line");
  failure.position = text.size();
  failure.expected = {Rule::EOI};
  EXPECT_EQ(tarnwick::parse_failure_message(text, failure),
            "Could not parse file: at byte 28 (line 3, column 5): \"next\"; expected EOI");
}

}  // namespace
