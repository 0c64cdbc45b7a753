// Matching semantics of the grammar engine, checked on small grammars.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "core/peg.hpp"

namespace {

using namespace tarnwick::peg;

enum class T : std::uint8_t {
  WHITESPACE,
  EOI,
  start,
  a,
  b,
  ab,
  ab_atomic,
  letter,
  compound,
  nonatomic,
  silent_box,
  outer
};

std::string_view t_name(T t) {
  static constexpr std::string_view names[] = {"WHITESPACE", "EOI",       "start",      "a",
                                               "b",          "ab",        "ab_atomic",  "letter",
                                               "compound",   "nonatomic", "silent_box", "outer"};
  return names[static_cast<int>(t)];
}

struct WHITESPACE
    : rule<T::WHITESPACE, Kind::silent, atomically<sor<lit<" ">, seq<lit<"\\">, newline>>>> {};
struct G {
  using rule_type = T;
  using whitespace = WHITESPACE;
};

// Rules used by the cases below.
struct a : rule<T::a, Kind::normal, lit<"a">> {};
struct b : rule<T::b, Kind::normal, lit<"b">> {};
struct ab : rule<T::ab, Kind::normal, seq<lit<"a">, lit<"b">>> {};
struct ab_atomic : rule<T::ab_atomic, Kind::atomic, seq<lit<"a">, lit<"b">>> {};
struct letter : rule<T::letter, Kind::normal, range<'a', 'z'>> {};
struct compound : rule<T::compound, Kind::compound_atomic, seq<letter, letter>> {};
struct nonatomic : rule<T::nonatomic, Kind::non_atomic, seq<letter, letter>> {};
struct silent_box : rule<T::silent_box, Kind::silent, seq<a, b>> {};
// An atomic rule holding a normal, a compound-atomic and a non-atomic rule.
struct outer : rule<T::outer, Kind::atomic, seq<letter, lit<"-">, compound, lit<"-">, nonatomic>> {
};

struct Outcome {
  bool ok;
  std::size_t end;
  std::string tree;
};

template <class E, Mode M = Mode::non_atomic>
Outcome run(std::string_view input) {
  State<G, false, false> s(input);
  const bool ok = E::template match<M, false>(s);
  const Tree<T> tree(input, s.nodes.to_vector());
  return {ok, s.pos, to_sexpr(tree, t_name)};
}

struct Case {
  const char* what;
  Outcome (*match)(std::string_view);
  std::string_view input;
  bool ok;
  std::size_t end;
  const char* tree;
};

class EngineCases : public ::testing::TestWithParam<Case> {};

TEST_P(EngineCases, MatchesAsDefined) {
  const Case& c = GetParam();
  const Outcome out = c.match(c.input);
  EXPECT_EQ(out.ok, c.ok) << c.what;
  if (c.ok) {
    EXPECT_EQ(out.end, c.end) << c.what;
  }
  EXPECT_EQ(out.tree, c.tree) << c.what;
}

using committed = seq<sor<a, ab>, lit<"c">>;
using greedy = seq<star<lit<"x">>, lit<"x">>;
using discard = sor<seq<a, lit<"!">>, seq<a, lit<"?">>, seq<ab, lit<"?">>>;
using comma_items = star<seq<lit<",">, lit<"x">>>;
using plus_items = plus<seq<lit<",">, lit<"x">>>;
using two_words = seq<a, b>;
using look_pos = seq<at<ab>, ab>;
using look_neg = seq<not_at<b>, a>;
using ci = ilit<"Rb">;
using accent = seq<range<0xE0, 0xFF>, any, end_of_input>;
using newlines = seq<newline, newline, newline, end_of_input>;
using pws = seq<pattern_white_space, pattern_white_space, pattern_white_space>;
using optional_b = seq<a, opt<b>>;

const Case kCases[] = {
    // Ordered choice commits to the first alternative that matches.
    {"choice commits", run<committed>, "abc", false, 0, ""},
    {"choice first alternative", run<committed>, "ac", true, 2, "(a 0 1)"},
    {"choice second alternative", run<sor<b, ab>>, "ab", true, 2, "(ab 0 2)"},
    // Repetitions are greedy and never give items back.
    {"greedy star starves follower", run<greedy>, "xxx", false, 0, ""},
    {"greedy star on nothing", run<greedy>, "", false, 0, ""},
    {"star matches zero", run<star<a>>, "b", true, 0, ""},
    {"plus needs one", run<plus<a>>, "b", false, 0, ""},
    {"plus with spaces between", run<plus<a>>, "a a  a", true, 6, "(a 0 1) (a 2 3) (a 5 6)"},
    {"optional absent", run<optional_b>, "ac", true, 1, "(a 0 1)"},
    {"optional with skip", run<optional_b>, "a b", true, 3, "(a 0 1) (b 2 3)"},
    // Nodes recorded by a failed alternative are discarded.
    {"failed alternatives leave no nodes", run<discard>, "ab?", true, 3, "(ab 0 2)"},
    {"second alternative keeps its nodes", run<discard>, "a?", true, 2, "(a 0 1)"},
    // Whitespace before a failing repetition item is given back.
    {"skip given back", run<comma_items>, ",x ,y", true, 2, ""},
    {"skip between items", run<comma_items>, ",x , x", true, 6, ""},
    {"skip given back after plus", run<plus_items>, ",x ,", true, 2, ""},
    {"no skip before first item", run<plus_items>, " ,x", false, 0, ""},
    // A sequence skips between items; the skip stays when the next item is
    // a repetition that matches nothing.
    {"sequence skip kept before empty star", run<seq<a, star<b>>>, "a  c", true, 3, "(a 0 1)"},
    {"sequence gives skip back on failure", run<seq<a, b>>, "a  c", false, 0, ""},
    // The normal rule "a" ~ "b".
    {"normal rule non-atomic ab", run<ab>, "ab", true, 2, "(ab 0 2)"},
    {"normal rule non-atomic spaces", run<ab>, "a  b", true, 4, "(ab 0 4)"},
    {"normal rule non-atomic backslash newline", run<ab>, "a\\\nb", true, 4, "(ab 0 4)"},
    {"normal rule non-atomic backslash crlf", run<ab>, "a \\\r\nb", true, 6, "(ab 0 6)"},
    {"normal rule no skip at start", run<ab>, " ab", false, 0, ""},
    {"normal rule in atomic mode", run<ab, Mode::atomic>, "ab", true, 2, ""},
    {"normal rule in atomic mode refuses spaces", run<ab, Mode::atomic>, "a b", false, 0, ""},
    {"atomic rule ab", run<ab_atomic>, "ab", true, 2, "(ab_atomic 0 2)"},
    {"atomic rule refuses spaces", run<ab_atomic>, "a b", false, 0, ""},
    {"atomic rule refuses backslash newline", run<ab_atomic>, "a\\\nb", false, 0, ""},
    {"normal rule in compound mode", run<ab, Mode::compound_atomic>, "ab", true, 2, "(ab 0 2)"},
    {"compound mode has no skip", run<ab, Mode::compound_atomic>, "a b", false, 0, ""},
    // Nodes by kind and mode.
    {"atomic hides normal, shows compound and non-atomic", run<outer>, "x-yz-u v", true, 8,
     "(outer 0 8 (compound 2 4 (letter 2 3) (letter 3 4)) (nonatomic 5 8 (letter 5 6) (letter 7 "
     "8)))"},
    {"compound records its children", run<compound>, "yz", true, 2,
     "(compound 0 2 (letter 0 1) (letter 1 2))"},
    {"silent rule shows its children", run<silent_box>, "a b", true, 3, "(a 0 1) (b 2 3)"},
    {"silent rule in atomic mode", run<silent_box, Mode::atomic>, "ab", true, 2, ""},
    // An explicit whitespace repetition in non-atomic mode keeps one item: the
    // skip before the second item eats the rest, and that item then fails.
    {"whitespace star non-atomic", run<star<WHITESPACE>>, "  \\\n ", true, 1, ""},
    {"whitespace star atomic", run<star<WHITESPACE>, Mode::atomic>, "  \\\n ", true, 5, ""},
    // Lookahead records nothing and does not move.
    {"positive lookahead", run<look_pos>, "ab", true, 2, "(ab 0 2)"},
    {"positive lookahead fails", run<at<ab>>, "ac", false, 0, ""},
    {"positive lookahead alone", run<at<ab>>, "ab", true, 0, ""},
    {"negative lookahead", run<look_neg>, "a", true, 1, "(a 0 1)"},
    {"negative lookahead fails", run<not_at<a>>, "a", false, 0, ""},
    // Terminals.
    {"case-insensitive literal", run<ci>, "rB", true, 2, ""},
    {"case-insensitive literal is ASCII only", run<ilit<"i">>, "\xC4\xB0", false, 0, ""},
    {"range on a two-byte character", run<accent>, "\xC3\xA9\xE2\x82\xAC", true, 5, ""},
    {"range refuses outside", run<range<0xE0, 0xFF>>, "a", false, 0, ""},
    {"any at end fails", run<any>, "", false, 0, ""},
    {"newline forms", run<newlines>, "\n\r\n\r", true, 4, ""},
    {"crlf is one newline", run<seq<newline, end_of_input>>, "\r\n", true, 2, ""},
    {"pattern white space", run<pws>, "\t\xE2\x80\x8E\xC2\x85", true, 6, ""},
    {"no-break space is not pattern white space", run<pattern_white_space>, "\xC2\xA0", false, 0,
     ""},
    {"soi only at start", run<seq<a, soi>>, "a", false, 0, ""},
};

INSTANTIATE_TEST_SUITE_P(Semantics, EngineCases, ::testing::ValuesIn(kCases));

// The EOI rule produces an empty node at the end.
struct EOI : rule<T::EOI, Kind::normal, end_of_input> {};
struct top : rule<T::start, Kind::normal, seq<soi, star<sor<a, b>>, EOI>> {};
struct failing : rule<T::start, Kind::normal, seq<a, sor<ab, b>, EOI>> {};

TEST(EngineParse, ReturnsTopLevelNodesAndEndNode) {
  const auto result = parse<G, top>(" a b ");
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(to_sexpr(result.tree(), t_name), "(start 0 5 (a 1 2) (b 3 4) (EOI 5 5))");
  const auto root = *result.tree().roots().begin();
  EXPECT_EQ(root.children().size(), 3u);
  EXPECT_EQ((*root.children().begin()).text(), "a");
}

TEST(EngineParse, FailureCarriesFurthestPositionAndExpectedRules) {
  const auto result = parse<G, failing>("a c");
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.failure().position, 2u);
  EXPECT_EQ(result.failure().expected, (std::vector<T>{T::ab, T::b}));
  // The reference engine reports the same.
  const auto again = parse<G, failing>("a c", Engine::reference);
  EXPECT_EQ(again.failure().position, 2u);
}

TEST(EngineParse, ChildrenIteratorsWalkSiblingsOnly) {
  const auto result = parse<G, top>("ab");
  ASSERT_TRUE(result.ok());
  std::string seen;
  for (auto node : result.tree().roots()) {
    for (auto child : node.children()) seen += std::string(t_name(child.rule())) + ",";
  }
  EXPECT_EQ(seen, "a,b,EOI,");
}

}  // namespace
