// Import statement extraction: records for typical statements, and the
// failure messages.
#include <gtest/gtest.h>
#include <deque>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "common/str_cat.hpp"
#include "contract/import_dump.hpp"
#include "contract/parser.hpp"
#include "support/printers.hpp"

namespace {

using tarnwick::Alias;
using tarnwick::ImportStmt;
using tarnwick::Rule;
using tarnwick::peg::Node;

// The records of a text, one line each ("0 import a.b as c, d": the grammar
// leaves sites zero).
std::vector<std::string> described(const tarnwick::ImportList& list) {
  std::vector<std::string> out;
  for (const ImportStmt& stmt : list) out.push_back(tarnwick::testing::describe(stmt));
  return out;
}

using RecordCase = std::pair<std::string_view, std::vector<std::string>>;

class Records : public ::testing::TestWithParam<RecordCase> {};

TEST_P(Records, AreExtractedInTextOrder) {
  const auto& [source, records] = GetParam();
  const auto got = tarnwick::parse(source);
  EXPECT_EQ(described(got), records) << source;
  // A walk over the whole tree gives the same records as the streaming parse.
  const auto tree = tarnwick::parse_python(source);
  ASSERT_TRUE(tree.ok());
  EXPECT_TRUE(tarnwick::extract_imports(tree.tree()) == got) << source;
}

const RecordCase kRecords[] = {
    {"", {}},
    {"import a.b as c, d", {"0 import a.b as c, d"}},
    {"from a.b import c", {"0 from a.b import c"}},
    {"from . import a", {"0 from . import a"}},
    {"from ...pkg.sub import x as y", {"0 from ...pkg.sub import x as y"}},
    {"from .m import (a, b as c,)", {"0 from .m import a, b as c"}},
    {"from m import (  # one\n    a,  # two\n    b as c,\n    # three\n)\n",
     {"0 from m import a, b as c"}},
    {"from m import *\nimport a; import b\n", {"0 import a"}},
    {"def f():\n    import a\n    if x:\n        from .b import c\nimport d\n",
     {"0 import a", "0 from .b import c", "0 import d"}},
    {"\"\"\"\nimport a\n\"\"\"\n# x \\\nimport b\nimport c\n", {"0 import c"}},
    {"'x' import a  # import b\n", {"0 import a"}},
    {"import caf\xC3\xA9, d\n", {"0 import caf"}},
    // Names of an attempt that fails are given back, whatever came before.
    {"from m import (a, b\nimport c\n", {"0 import c"}},
    {"from m import (a, # c \\\n b)\nimport d as e\n", {"0 import d as e"}},
    {"import a, b as\nfrom m import (x,\n y) z\n", {"0 import a, b", "0 from m import x, y"}},
    {"import a, \\\r\n  b\r\nfrom c \\\n  import d\rimport e",
     {"0 import a, b", "0 from c import d", "0 import e"}},
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

// Counting repeats keeps a run of one name once, with the number of
// repeats; asnames are not compared, and a failed statement's names go.
TEST(ImportList, CountsRunsOfOneName) {
  const auto list = tarnwick::parse_counting_repeats(
      "from m import (a, a as x, b, a, a, a)\nfrom m import (c, c\nimport c, c, d\n");
  std::vector<std::string> got;
  for (const ImportStmt& stmt : list) {
    for (const Alias& alias : std::visit([](const auto& s) { return s.names; }, stmt)) {
      got.push_back(tarnwick::str_cat(alias.name, '+', list.repeats(alias)));
    }
  }
  EXPECT_EQ(got, (std::vector<std::string>{"a+1", "b+0", "a+2", "c+1", "d+0"}));
  EXPECT_EQ(tarnwick::testing::describe(list[0]), "0 from m import a, b, a");
}

// The views of a list stay valid while it grows past many text blocks and
// alias reallocations, and after it moves; a replaced name is kept too.
TEST(ImportList, ViewsOutliveGrowthAndMoves) {
  // Name i is "m<i>" and a run of x (long enough for a block of its own
  // every seventh time); odd names have an as-name "as<i>".
  const auto name_of = [](std::size_t i) {
    return tarnwick::str_cat('m', i, std::string(i % 7 == 0 ? 9000 : 3, 'x'));
  };
  const auto as_of = [](std::size_t i) {
    return i % 2 ? tarnwick::str_cat("as", i) : std::string();
  };
  tarnwick::ImportList list;
  std::deque<std::string> texts;  // the pending names' texts, gone once their statement ends
  for (std::size_t i = 0; i < 20000; ++i) {
    list.add_alias(texts.emplace_back(name_of(i)), texts.emplace_back(as_of(i)));
    if (i % 3 == 2) {
      list.add_import();
      texts.clear();
    }
  }
  list.add_import_from(texts.emplace_back("pkg"), 2);
  texts.clear();
  list.finish();
  tarnwick::ImportList moved = std::move(list);
  ASSERT_EQ(moved.size(), 6667u);
  std::size_t seen = 0;
  for (const ImportStmt& stmt : moved) {
    const auto names = std::visit([](const auto& s) { return s.names; }, stmt);
    for (const Alias& a : names) {
      EXPECT_EQ(a.name, name_of(seen));
      EXPECT_EQ(a.asname, as_of(seen));
      ++seen;
    }
  }
  EXPECT_EQ(seen, 20000u);
  const auto& last = std::get<tarnwick::ImportFrom>(moved[6666]);
  EXPECT_EQ(last.names.size(), 2u);  // the two names added after the last `import`
  moved.replace_name(last.names[1], "renamed", "r");
  moved.replace_module(6666, "other");
  EXPECT_EQ(tarnwick::testing::describe(moved[6666]),
            "0 from ..other import m19998xxx, renamed as r");
}

}  // namespace
