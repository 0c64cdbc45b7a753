// Tree shapes of the import grammar, and agreement of the fast bodies with
// the plain rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/grammar.hpp"
#include "stdlib_dir.hpp"

namespace {

using tarnwick::parse_python;
using tarnwick::Rule;
using tarnwick::rule_name;
using tarnwick::to_sexpr;
using tarnwick::peg::Engine;

std::string tree_of(std::string_view text, Engine engine = Engine::fast) {
  const auto result = parse_python(text, engine);
  EXPECT_TRUE(result.ok());
  return result.ok() ? to_sexpr(result.tree()) : std::string("<failed>");
}

// The `expr` children of the root, rendered; EOI and the root are left out.
std::string exprs_of(std::string_view text) {
  const auto result = parse_python(text);
  std::string out;
  for (auto root : result.tree().roots()) {
    for (auto child : root.children()) {
      if (child.rule() == Rule::EOI) continue;
      if (!out.empty()) out += ' ';
      out += to_sexpr(child);
    }
  }
  return out;
}

TEST(GrammarRules, NamesAndOrder) {
  EXPECT_EQ(rule_name(Rule::EOI), "EOI");
  EXPECT_EQ(rule_name(Rule::WHITESPACE), "WHITESPACE");
  EXPECT_EQ(rule_name(Rule::multiline_double_qouted), "multiline_double_qouted");
  EXPECT_EQ(rule_name(Rule::lit_single_qouted), "lit_single_qouted");
  EXPECT_EQ(static_cast<int>(Rule::import), 12);
  EXPECT_EQ(static_cast<int>(Rule::name), 22);
  EXPECT_EQ(static_cast<int>(Rule::string_modifiers), 24);
  EXPECT_EQ(static_cast<int>(Rule::m0), 25);
  EXPECT_EQ(static_cast<int>(Rule::m63), 88);
  EXPECT_EQ(rule_name(Rule::m63), "m63");
  EXPECT_EQ(tarnwick::kRuleCount, 89u);
}

struct TreeCase {
  const char* what;
  std::string_view input;
  const char* tree;  // the whole tree
};

class WholeTrees : public ::testing::TestWithParam<TreeCase> {};

TEST_P(WholeTrees, HaveTheExpectedShape) {
  const TreeCase& c = GetParam();
  EXPECT_EQ(tree_of(c.input), c.tree) << c.what;
  EXPECT_EQ(tree_of(c.input, Engine::reference), c.tree) << c.what << " (reference)";
}

const TreeCase kWholeTrees[] = {
    {"empty text", "", "(python 0 0 (EOI 0 0))"},
    {"no final newline", "import os",
     "(python 0 9 (expr 0 9 (import 0 9 (alias_list 7 9 (alias 7 9 (qualified_name 7 9 (name 7 "
     "9)))))) (EOI 9 9))"},
    {"spaces-only line", "   \n", "(python 0 4 (EOI 4 4))"},
    {"trailing spaces before the end", "x  ", "(python 0 3 (expr 0 3 (any_line 0 3)) (EOI 3 3))"},
    {"tab-indented import", "\timport os\n",
     "(python 0 11 (expr 0 10 (any_line 0 10)) (EOI 11 11))"},
    {"comment", "# import os\n",
     "(python 0 12 (expr 0 11 (comment 0 11 (comment_single 0 11))) (EOI 12 12))"},
    {"backslash-continued comment", "# note \\\nimport os\n",
     "(python 0 19 (expr 0 18 (comment 0 18 (comment_single 0 18))) (EOI 19 19))"},
    {"escaped quote ends the literal", "\"a\\\"b\"\n",
     "(python 0 7 (expr 0 4 (comment 0 4 (string_lit 0 4 (lit_double_qouted 0 4)))) (expr 4 6 "
     "(any_line 4 6)) (EOI 7 7))"},
};

INSTANTIATE_TEST_SUITE_P(Lexical, WholeTrees, ::testing::ValuesIn(kWholeTrees));

struct ExprCase {
  const char* what;
  std::string_view input;
  const char* exprs;  // the root's children without EOI
};

class Constructs : public ::testing::TestWithParam<ExprCase> {};

TEST_P(Constructs, HaveTheExpectedShape) {
  const ExprCase& c = GetParam();
  EXPECT_EQ(exprs_of(c.input), c.exprs) << c.what;
  EXPECT_EQ(tree_of(c.input), tree_of(c.input, Engine::reference)) << c.what;
}

// Shorthands for the common leaf shapes.
#define NAME1(a, b) "(alias " #a " " #b " (qualified_name " #a " " #b " (name " #a " " #b ")))"

const ExprCase kLexical[] = {
    {"docstring hides an import", "\"\"\"doc\nimport os\n\"\"\"\nimport sys\n",
     "(expr 0 20 (comment 0 20 (string_lit 0 20 (multiline_double_qouted 0 20)))) (expr 21 31 "
     "(import 21 31 (alias_list 28 31 " NAME1(28, 31) ")))"},
    {"single-quoted docstring", "'''a\nimport os'''x\n",
     "(expr 0 17 (comment 0 17 (string_lit 0 17 (multiline_single_qouted 0 17)))) (expr 17 18 "
     "(any_line 17 18))"},
    {"closing triple quote without a later one", "x = \"\"\"\nimport os\n\"\"\"\nimport sys\n",
     "(expr 0 7 (any_line 0 7)) (expr 8 17 (import 8 17 (alias_list 15 17 " NAME1(
         15, 17) "))) (expr 18 20 (comment 18 20 (string_lit 18 20 (lit_double_qouted 18 20)))) "
                 "(expr 20 21 "
                 "(any_line 20 21)) (expr 22 32 (import 22 32 (alias_list 29 32 " NAME1(29,
                                                                                        32) ")))"},
    {"closing triple quote opens a literal to the next one",
     "x = \"\"\"\nimport os\n\"\"\"\nimport sys\ny = \"\"\"\n",
     "(expr 0 7 (any_line 0 7)) (expr 8 17 (import 8 17 (alias_list 15 17 " NAME1(
         15,
         17) "))) (expr 18 40 (comment 18 40 (string_lit 18 40 (multiline_double_qouted 18 40))))"},
    {"unterminated triple quote", "\"\"\"abc\nimport os\n",
     "(expr 0 2 (comment 0 2 (string_lit 0 2 (lit_double_qouted 0 2)))) (expr 2 6 (any_line 2 "
     "6)) (expr 7 16 (import 7 16 (alias_list 14 16 " NAME1(14, 16) ")))"},
    {"backslash continues a single-line literal", "'a\\\nb'\n",
     "(expr 0 6 (comment 0 6 (string_lit 0 6 (lit_single_qouted 0 6))))"},
    {"literal cut by the line end", "\"abc\nx\"\n",
     "(expr 0 4 (any_line 0 4)) (expr 5 7 (any_line 5 7))"},
    {"prefixed literals", "r\"x\" Rb'x' BR\"\"\n",
     "(expr 0 4 (comment 0 4 (string_lit 0 4 (lit_double_qouted 1 4)))) (expr 5 10 (comment 5 "
     "10 (string_lit 5 10 (lit_single_qouted 7 10)))) (expr 11 15 (comment 11 15 (string_lit 11 "
     "15 (lit_double_qouted 13 15))))"},
    {"u triple literal", "u'''x'''\n",
     "(expr 0 8 (comment 0 8 (string_lit 0 8 (multiline_single_qouted 1 8))))"},
    {"ur is no prefix", "ur\"x\"\n", "(expr 0 5 (any_line 0 5))"},
    {"fb is no prefix", "fb\"x\"\n", "(expr 0 5 (any_line 0 5))"},
    {"space after prefix", "r \"x\"\n", "(expr 0 5 (any_line 0 5))"},
    {"literal then import", "\"doc\" import os\n",
     "(expr 0 5 (comment 0 5 (string_lit 0 5 (lit_double_qouted 0 5)))) (expr 6 15 (import 6 15 "
     "(alias_list 13 15 " NAME1(13, 15) ")))"},
    {"comment keeps trailing spaces only when empty", "#   \n# a  \n",
     "(expr 0 4 (comment 0 4 (comment_single 0 4))) (expr 5 8 (comment 5 8 (comment_single 5 "
     "8)))"},
    {"backslash space newline does not continue", "# a\\ \nimport os\n",
     "(expr 0 4 (comment 0 4 (comment_single 0 4))) (expr 6 15 (import 6 15 (alias_list 13 "
     "15 " NAME1(13, 15) ")))"},
    {"crlf", "import os\r\nimport sys\r\n",
     "(expr 0 9 (import 0 9 (alias_list 7 9 " NAME1(7, 9) "))) (expr 11 21 (import 11 21 "
                                                          "(alias_list 18 21 " NAME1(18, 21) ")))"},
    {"lone cr", "import os\rimport sys\r",
     "(expr 0 9 (import 0 9 (alias_list 7 9 " NAME1(7, 9) "))) (expr 10 20 (import 10 20 "
                                                          "(alias_list 17 20 " NAME1(17, 20) ")))"},
    {"indented and after a statement", "x = 1; import os\n    import os\n",
     "(expr 0 16 (any_line 0 16)) (expr 21 30 (import 21 30 (alias_list 28 30 " NAME1(28,
                                                                                      30) ")))"},
    {"byte-order mark", "\xEF\xBB\xBFimport os\n", "(expr 0 12 (any_line 0 12))"},
};

INSTANTIATE_TEST_SUITE_P(Lexical, Constructs, ::testing::ValuesIn(kLexical));

const ExprCase kImports[] = {
    {"dotted with as", "import a.b as c, d",
     "(expr 0 18 (import 0 18 (alias_list 7 18 (alias 7 15 (qualified_name 7 10 (name 7 8) (name "
     "9 10)) (name 14 15)) " NAME1(17, 18) ")))"},
    {"two spaces", "import  os", "(expr 0 10 (import 0 10 (alias_list 8 10 " NAME1(8, 10) ")))"},
    {"backslash continuation", "import os, \\\n    sys\n",
     "(expr 0 20 (import 0 20 (alias_list 7 20 " NAME1(7, 9) " " NAME1(17, 20) ")))"},
    {"tab after keyword", "import\tos\n", "(expr 0 9 (any_line 0 9))"},
    {"parenthesis after keyword", "import(os)\n", "(expr 0 10 (any_line 0 10))"},
    {"backslash after keyword", "import\\\nos\n",
     "(expr 0 7 (any_line 0 7)) (expr 8 10 (any_line 8 10))"},
    {"semicolon", "import os; import sys",
     "(expr 0 9 (import 0 9 (alias_list 7 9 " NAME1(7, 9) "))) (expr 9 21 (any_line 9 21))"},
    {"trailing comment", "import os  # note",
     "(expr 0 11 (import 0 11 (alias_list 7 11 " NAME1(7, 9) "))) (expr 11 17 (comment 11 17 "
                                                             "(comment_single 11 17)))"},
    {"non-ASCII name", "import caf\xC3\xA9",
     "(expr 0 10 (import 0 10 (alias_list 7 10 " NAME1(7, 10) "))) (expr 10 12 (any_line 10 12))"},
    {"incomplete as", "import a as",
     "(expr 0 9 (import 0 9 (alias_list 7 9 " NAME1(7, 8) "))) (expr 9 11 (any_line 9 11))"},
    {"malformed as", "import a asb",
     "(expr 0 9 (import 0 9 (alias_list 7 9 " NAME1(7, 8) "))) (expr 9 12 (any_line 9 12))"},
    {"trailing dot", "import a.",
     "(expr 0 8 (import 0 8 (alias_list 7 8 " NAME1(7, 8) "))) (expr 8 9 (any_line 8 9))"},
    {"relative dots only", "from . import x",
     "(expr 0 15 (import_from 0 15 (module_spec 5 6 (dots 5 6)) (from_alias_list 14 15 "
     "(alias_list 14 15 " NAME1(14, 15) "))))"},
    {"dots and name", "from ..a.b import c",
     "(expr 0 19 (import_from 0 19 (module_spec 5 10 (dots 5 7) (qualified_name 7 10 (name 7 8) "
     "(name 9 10))) (from_alias_list 18 19 (alias_list 18 19 " NAME1(18, 19) "))))"},
    {"space after dots", "from .. a import b\n", "(expr 0 18 (any_line 0 18))"},
    {"dot glued to import", "from .import x\n", "(expr 0 14 (any_line 0 14))"},
    {"no space after from", "from.a import b\n", "(expr 0 15 (any_line 0 15))"},
    {"parenthesis glued to import", "from a import(b)\n", "(expr 0 16 (any_line 0 16))"},
    {"tab after from", "from\ta import b\n", "(expr 0 15 (any_line 0 15))"},
    {"star form", "from m import *\n", "(expr 0 15 (any_line 0 15))"},
    {"empty parentheses", "from a import ()\n", "(expr 0 16 (any_line 0 16))"},
    {"parenthesised list", "from a import (b, c)",
     "(expr 0 20 (import_from 0 20 (module_spec 5 6 (qualified_name 5 6 (name 5 6))) "
     "(from_alias_list 14 20 " NAME1(15, 16) " (additional 16 19 " NAME1(18, 19) "))))"},
    {"parenthesised list over lines with comments",
     "from a import (  # first\n    b,  # after b\n    c,\n)\n",
     "(expr 0 51 (import_from 0 51 (module_spec 5 6 (qualified_name 5 6 (name 5 6))) "
     "(from_alias_list 14 51 (comment_single 17 24) " NAME1(
         29, 30) " (additional 30 48 (comment_single 33 42) " NAME1(47,
                                                                    48) ") (additional 48 50))))"},
    {"comment between alias and comma", "from a import (b  # note\n, c)\n",
     "(expr 0 24 (any_line 0 24)) (expr 25 29 (any_line 25 29))"},
    {"tab-indented continuation", "from a import (b,\n\tc)\n",
     "(expr 0 17 (any_line 0 17)) (expr 18 21 (any_line 18 21))"},
    {"trailing comma without parentheses", "from a import b,",
     "(expr 0 15 (import_from 0 15 (module_spec 5 6 (qualified_name 5 6 (name 5 6))) "
     "(from_alias_list 14 15 (alias_list 14 15 " NAME1(14,
                                                       15) ")))) (expr 15 16 (any_line 15 16))"},
    {"backslash before import", "from a \\\nimport b",
     "(expr 0 17 (import_from 0 17 (module_spec 5 6 (qualified_name 5 6 (name 5 6))) "
     "(from_alias_list 16 17 (alias_list 16 17 " NAME1(16, 17) "))))"},
    {"underscore names", "from __future__ import annotations",
     "(expr 0 34 (import_from 0 34 (module_spec 5 15 (qualified_name 5 15 (name 5 15))) "
     "(from_alias_list 23 34 (alias_list 23 34 " NAME1(23, 34) "))))"},
    {"from then semicolon", "from a import b; import c",
     "(expr 0 15 (import_from 0 15 (module_spec 5 6 (qualified_name 5 6 (name 5 6))) "
     "(from_alias_list 14 15 (alias_list 14 15 " NAME1(14, 15) ")))) (expr 15 25 (any_line 15 "
                                                               "25))"},
};

INSTANTIATE_TEST_SUITE_P(Imports, Constructs, ::testing::ValuesIn(kImports));

// Every arrangement of the prefix letters, in the order of the prefix rules.
const char* const kPrefixRuleLetters[64] = {
    "rfu",  "br",   "brfu", "fr",   "rfub", "rubf", "f",    "rbf",  "rfbu", "rf",   "ubfr",
    "fbr",  "fbru", "bu",   "bfr",  "u",    "fb",   "burf", "bfu",  "rbu",  "bufr", "fur",
    "ru",   "ubr",  "rufb", "fub",  "urf",  "bru",  "rb",   "urbf", "ufr",  "bfru", "bur",
    "frbu", "frub", "fu",   "bfur", "rub",  "ufb",  "urb",  "bf",   "ufbr", "brf",  "bruf",
    "rfb",  "ur",   "r",    "frb",  "b",    "ufrb", "fbu",  "ubrf", "ubf",  "furb", "fru",
    "fbur", "ruf",  "rbuf", "rbfu", "buf",  "uf",   "fubr", "urfb", "ub"};

TEST(StringPrefixes, ExactlyNineteenAreAccepted) {
  const std::set<std::string> accepted = {"rfu", "br",   "fr", "rubf", "f", "rbf", "rfbu",
                                          "rf",  "ubfr", "bu", "bfr",  "u", "bfu", "rbu",
                                          "ru",  "rb",   "bf", "r",    "b"};
  ASSERT_EQ(accepted.size(), 19u);
  std::size_t count = 0;
  for (const char* letters : kPrefixRuleLetters) {
    std::string upper = letters;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    for (const std::string& prefix : {std::string(letters), upper}) {
      const std::string text = prefix + "'x'\n";
      const auto result = parse_python(text);
      const auto expr = *(*result.tree().roots().begin()).children().begin();
      const auto child = *expr.children().begin();
      const bool is_literal = child.rule() == Rule::comment;
      EXPECT_EQ(is_literal, accepted.count(letters) == 1) << text;
      if (is_literal) {
        EXPECT_EQ(child.end(), prefix.size() + 3) << text;
        ++count;
      }
    }
  }
  EXPECT_EQ(count, 38u);
}

// ---- fast bodies against the plain rules ----------------------------------------

void expect_same_tree(const std::string& text) {
  const auto fast = parse_python(text, Engine::fast);
  const auto slow = parse_python(text, Engine::reference);
  ASSERT_TRUE(fast.ok());
  ASSERT_TRUE(slow.ok());
  ASSERT_EQ(fast.tree().nodes().size(), slow.tree().nodes().size()) << text;
  EXPECT_EQ(to_sexpr(fast.tree()), to_sexpr(slow.tree())) << text;
}

TEST(FastBodies, AgreeWithPlainRulesOnRandomText) {
  const std::vector<std::string> pieces = {
      " ",   "  ", "\\",       "\n",           "\r",    "\r\n", "\"",   "'", "\"\"\"",
      "'''", "#",  "i",        "import ",      "from ", "as",   " as ", ".", "..",
      ",",   "(",  ")",        "\t",           "x",     "ab_1", "r",    "u", "B",
      "f",   "Rb", "\xC3\xA9", "\xE2\x80\xA8", ";",     "*"};
  std::mt19937 rng(12345);
  for (int round = 0; round < 4000; ++round) {
    std::string text;
    const int n = static_cast<int>(rng() % 40);
    for (int i = 0; i < n; ++i) text += pieces[rng() % pieces.size()];
    expect_same_tree(text);
    if (HasFatalFailure()) return;
  }
}

TEST(FastBodies, AgreeWithPlainRulesOnLibraryFiles) {
  const std::filesystem::path dir = stdlib_dir();
  if (dir.empty()) GTEST_SKIP() << "no Python standard library found";
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() == ".py" && entry.file_size() < 60000)
      files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  if (files.size() > 40) files.resize(40);
  for (const auto& path : files) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    expect_same_tree(buffer.str());
  }
}

}  // namespace
