// Tree shapes of the import grammar, and agreement of the fast bodies with
// the plain rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "common/str_cat.hpp"
#include "contract/grammar.hpp"
#include "contract/parser.hpp"
#include "support/adversarial_families.hpp"
#include "support/split.hpp"

namespace tarnwick {
namespace {

using peg::Engine;

// "(rule start end child...)"; a run of only children spanning the same text
// as their parent is written as one node, "(expr/import 0 9 ...)".
void render(std::string& out, ParseNode node) {
  str_append(out, out.empty() ? "(" : " (", rule_name(node.rule()));
  for (auto kids = node.children(); kids.size() == 1; kids = node.children()) {
    const ParseNode kid = *kids.begin();
    if (kid.rule() == Rule::EOI || kid.start() != node.start() || kid.end() != node.end()) break;
    node = kid;
    str_append(out, '/', rule_name(node.rule()));
  }
  str_append(out, ' ', node.start(), ' ', node.end());
  for (ParseNode kid : node.children()) render(out, kid);
  out += ")";
}

// The rendered tree; empty when the parse fails.
std::string shape(std::string_view text, Engine engine) {
  const auto result = parse_python(text, engine);
  std::string out;
  for (ParseNode root : result.tree().roots()) render(out, root);
  return out;
}

TEST(Grammar, TreesHaveTheExpectedShape) {
  // An input and the children of its `python` node but `EOI`.
  const std::pair<std::string_view, std::string> cases[] = {
      {"", ""},
      {"import os", "(expr/import 0 9 (alias_list/alias/qualified_name/name 7 9))"},
      {"\timport os\n", "(expr/any_line 0 10)"},
      {"# note \\\nimport os\n", "(expr/comment/comment_single 0 18)"},
      {"#   \n# a  \n", "(expr/comment/comment_single 0 4) (expr/comment/comment_single 5 8)"},
      {"\"a\\\"b\"\n", "(expr/comment/string_lit/lit_double_qouted 0 4) (expr/any_line 4 6)"},
      {"\"abc\nx\"\n", "(expr/any_line 0 4) (expr/any_line 5 7)"},
      {"\"\"\"doc\nimport os\n\"\"\"\nimport sys\n",
       "(expr/comment/string_lit/multiline_double_qouted 0 20) (expr/import 21 31 "
       "(alias_list/alias/qualified_name/name 28 31))"},
      {"x = \"\"\"\nimport os\n\"\"\"\nimport sys\ny = \"\"\"\n",
       "(expr/any_line 0 7) (expr/import 8 17 (alias_list/alias/qualified_name/name 15 17)) "
       "(expr/comment/string_lit/multiline_double_qouted 18 40)"},
      {"\"\"\"abc\nimport os\n",
       "(expr/comment/string_lit/lit_double_qouted 0 2) (expr/any_line 2 6) (expr/import 7 16 "
       "(alias_list/alias/qualified_name/name 14 16))"},
      {"# \\\r\nimport a\rimport b",
       "(expr/comment/comment_single 0 13) "
       "(expr/import 14 22 (alias_list/alias/qualified_name/name 21 22))"},
      {"x = 1; import os\n    import os\n",
       "(expr/any_line 0 16) (expr/import 21 30 (alias_list/alias/qualified_name/name 28 30))"},
      {"import a.b as c, d",
       "(expr/import 0 18 (alias_list 7 18 (alias 7 15 (qualified_name 7 10 (name 7 8) "
       "(name 9 10)) (name 14 15)) (alias/qualified_name/name 17 18)))"},
      {"import\tos\n", "(expr/any_line 0 9)"},
      {"import os; import sys",
       "(expr/import 0 9 (alias_list/alias/qualified_name/name 7 9)) (expr/any_line 9 21)"},
      {"import caf\xC3\xA9",
       "(expr/import 0 10 (alias_list/alias/qualified_name/name 7 10)) (expr/any_line 10 12)"},
      {"from ..a.b import c",
       "(expr/import_from 0 19 (module_spec 5 10 (dots 5 7) (qualified_name 7 10 (name 7 8) "
       "(name 9 10))) (from_alias_list/alias_list/alias/qualified_name/name 18 19))"},
      {"from .. a import b\n", "(expr/any_line 0 18)"},
      {"from m import *\n", "(expr/any_line 0 15)"},
      {"from a import (  # first\n    b,  # after b\n    c,\n)\n",
       "(expr/import_from 0 51 (module_spec/qualified_name/name 5 6) (from_alias_list 14 51 "
       "(comment_single 17 24) (alias/qualified_name/name 29 30) (additional 30 48 (comment_single "
       "33 42) (alias/qualified_name/name 47 48)) (additional 48 50)))"},
      {"from a import (b  # note\n, c)\n", "(expr/any_line 0 24) (expr/any_line 25 29)"},
      {"from a import (b,\n\tc)\n", "(expr/any_line 0 17) (expr/any_line 18 21)"},
  };
  for (const auto& [input, exprs] : cases) {
    const std::string n = std::to_string(input.size());
    const std::string want =
        "(python 0 " + n + " " + exprs + (exprs.empty() ? "" : " ") + "(EOI " + n + " " + n + "))";
    EXPECT_EQ(shape(input, Engine::fast), want) << input;
    EXPECT_EQ(shape(input, Engine::reference), want) << input;
  }
}

// Every arrangement of up to four of the letters b, f, r, u, repeats included,
// in both cases: exactly these 19 prefix a string literal.
TEST(StringPrefixes, ExactlyNineteenAreAccepted) {
  const auto accepted =
      testing::split("b bf bfr bfu br bu f fr r rb rbf rbu rf rfbu rfu ru rubf u ubfr", ' ');
  std::vector<std::string> prefixes = {"b", "f", "r", "u"};
  for (std::size_t i = 0; i < prefixes.size() && prefixes[i].size() < 4; ++i) {
    for (char c : std::string("bfru")) prefixes.push_back(prefixes[i] + c);
  }
  ASSERT_EQ(prefixes.size(), 340u);
  for (const std::string& lower : prefixes) {
    std::string upper = lower;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    for (const std::string& prefix : {lower, upper}) {
      const std::string n = std::to_string(prefix.size() + 3);
      const bool literal = shape(prefix + "'x'", Engine::fast) ==
                           "(python 0 " + n + " (expr/comment/string_lit 0 " + n +
                               " (lit_single_qouted " + std::to_string(prefix.size()) + " " + n +
                               ")) (EOI " + n + " " + n + "))";
      EXPECT_EQ(literal, std::ranges::count(accepted, lower) == 1) << prefix;
    }
  }
}

// ---- fast bodies against the plain rules ----------------------------------------

// The library directory: $TARNWICK_STDLIB, else what `python3` reports.
std::filesystem::path stdlib_dir() {
  if (const char* env = std::getenv("TARNWICK_STDLIB")) return env;
  std::string out(4096, '\0');
  FILE* pipe = ::popen(
      "python3 -c 'import sysconfig; print(sysconfig.get_paths()[\"stdlib\"], end=\"\")'", "r");
  if (pipe == nullptr) return {};
  out.resize(std::fread(out.data(), 1, out.size(), pipe));
  ::pclose(pipe);
  return out;
}

// Random texts built from the pieces that matter to the grammar, and every
// 14th file of the standard library's top directory.
TEST(FastBodies, AgreeWithPlainRules) {
  const std::vector<std::string> pieces = {
      " ",      "  ",  "\\", "\n",       "\r",           "\r\n",  "\"",   "'",
      "\"\"\"", "'''", "#",  "i",        "import ",      "from ", " as ", ".",
      "..",     ",",   "(",  ")",        "\t",           "x",     "ab_1", "r",
      "Rb",     "u",   "f",  "\xC3\xA9", "\xE2\x80\xA8", ";",     "*"};
  std::vector<std::string> texts;
  std::mt19937 rng(12345);
  for (int round = 0; round < 1500; ++round) {
    texts.emplace_back();
    for (int i = static_cast<int>(rng() % 40); i > 0; --i)
      texts.back() += pieces[rng() % pieces.size()];
  }
  const std::filesystem::path dir = stdlib_dir();
  std::vector<std::filesystem::path> files;
  if (!dir.empty() && std::filesystem::is_directory(dir)) {
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      if (entry.path().extension() == ".py") files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  for (std::size_t i = 0; i < files.size(); i += 14) {
    std::ifstream in(files[i], std::ios::binary);
    texts.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  EXPECT_GT(files.size(), 100u) << "standard library not found at " << dir;
  for (const std::string& text : texts) {
    const std::string fast = shape(text, Engine::fast);
    ASSERT_FALSE(fast.empty()) << text;
    ASSERT_EQ(fast, shape(text, Engine::reference)) << text;
  }
}

// Work proportional to the input, counted rather than timed: at two sizes the
// matchers read at most a fixed number of bytes per input byte. A family that
// rescans on every line reads hundreds of times more at the larger size. At
// a small size the fast bodies (which remember what they found) give the
// trees of the plain rules.
TEST(LinearTime, StepsPerByteStayBounded) {
  for (const auto& family : testing::adversarial_families()) {
    for (const std::size_t size : {std::size_t{8} << 10, std::size_t{32} << 10}) {
      const std::string text = family.build(size);
      EXPECT_LE(parse_steps(text), kParseStepsPerByte * text.size() + kParseStepsSlack)
          << ::testing::PrintToString(family.first) << " then "
          << ::testing::PrintToString(family.second) << ", " << text.size() << " bytes";
    }
    const std::string small = family.build(400);
    ASSERT_EQ(shape(small, Engine::fast), shape(small, Engine::reference))
        << ::testing::PrintToString(small);
  }
}

}  // namespace
}  // namespace tarnwick
