// Import statement extraction: records for typical statements, and the
// failure messages.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "common/str_cat.hpp"
#include "contract/import_dump.hpp"
#include "contract/parser.hpp"
#include "support/graph_fixtures.hpp"
#include "support/printers.hpp"

namespace tarnwick {
namespace {

using peg::Node;

// The records of a text, one line each ("0 import a.b as c, d": the grammar
// leaves sites zero). A walk over the whole tree gives the same records as the
// streaming parse.
TEST(Statements, RecordsAreExtractedInTextOrder) {
  const std::pair<std::string_view, std::vector<std::string>> cases[] = {
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
  for (const auto& [source, records] : cases) {
    const auto got = parse(source);
    std::vector<std::string> lines;
    for (const ImportStmt& stmt : got) lines.push_back(testing::describe(stmt));
    EXPECT_EQ(lines, records) << source;
    const auto tree = parse_python(source);
    ASSERT_TRUE(tree.ok());
    EXPECT_TRUE(extract_imports(tree.tree()) == got) << source;
  }
}

// ---- internal failures, on trees the grammar cannot produce ---------------------

Node N(Rule rule, std::size_t start, std::size_t end, std::size_t next) {
  return Node{static_cast<std::uint32_t>(rule), start, end, next};
}

TEST(BrokenTrees, FailWithTheDefinedMessage) {
  const std::pair<std::vector<Node>, const char*> cases[] = {
      {{N(Rule::import, 0, 6, 1)}, kAbsentValue},
      {{N(Rule::import_from, 0, 15, 2), N(Rule::from_alias_list, 14, 15, 2)},
       "assertion failed: `(left == right)`\n  left: `from_alias_list`,\n right: `module_spec`"},
      {{N(Rule::import_from, 0, 15, 3), N(Rule::module_spec, 5, 6, 3), N(Rule::name, 5, 6, 3)},
       "Unexpected rule while parsing module spec: (name 5 6)"},
  };
  for (const auto& [nodes, message] : cases) {
    const ParseTree tree("from a import b", nodes);
    EXPECT_EQ(testing::failure_of([&] { extract_imports(tree); }), message);
  }
}

// Counting repeats keeps a run of one name once, with the number of
// repeats; asnames are not compared, and a failed statement's names go.
TEST(ImportList, CountsRunsOfOneName) {
  const auto list = parse_counting_repeats(
      "from m import (a, a as x, b, a, a, a)\nfrom m import (c, c\nimport c, c, d\n");
  std::vector<std::string> got;
  for (const ImportStmt& stmt : list) {
    for (const Alias& alias : std::visit([](const auto& s) { return s.names; }, stmt)) {
      got.push_back(str_cat(alias.name, '+', list.repeats(alias)));
    }
  }
  EXPECT_EQ(got, (std::vector<std::string>{"a+1", "b+0", "a+2", "c+1", "d+0"}));
  EXPECT_EQ(testing::describe(list[0]), "0 from m import a, b, a");
}

// The views of a list stay valid while it grows past many text blocks and
// alias reallocations, and after it moves; a replaced name is kept too.
TEST(ImportList, ViewsOutliveGrowthAndMoves) {
  // Name i is "m<i>" and a run of x (long enough for a block of its own
  // every seventh time); odd names have an as-name "as<i>".
  const auto name_of = [](std::size_t i) {
    return str_cat('m', i, std::string(i % 7 == 0 ? 9000 : 3, 'x'));
  };
  const auto as_of = [](std::size_t i) { return i % 2 ? str_cat("as", i) : std::string(); };
  ImportList list;
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
  ImportList moved = std::move(list);
  ASSERT_EQ(moved.size(), 6667u);
  std::size_t seen = 0;
  for (const ImportStmt& stmt : moved) {
    for (const Alias& a : std::visit([](const auto& s) { return s.names; }, stmt)) {
      EXPECT_EQ(a.name, name_of(seen));
      EXPECT_EQ(a.asname, as_of(seen));
      ++seen;
    }
  }
  EXPECT_EQ(seen, 20000u);
  const auto& last = std::get<ImportFrom>(moved[6666]);
  EXPECT_EQ(last.names.size(), 2u);  // the two names added after the last `import`
  moved.replace_name(last.names[1], "renamed", "r");
  moved.replace_module(6666, "other");
  EXPECT_EQ(testing::describe(moved[6666]), "0 from ..other import m19998xxx, renamed as r");
}

}  // namespace
}  // namespace tarnwick
