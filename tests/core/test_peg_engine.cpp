// Matching semantics of the grammar engine, checked on small grammars.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "contract/peg.hpp"

namespace {

using namespace tarnwick::peg;

enum class T : std::uint8_t { ws, EOI, start, a, b, ab, letter, comp, nonat, outer };

std::string_view t_name(T t) {
  static constexpr std::string_view names[] = {"ws", "EOI",    "start", "a",     "b",
                                               "ab", "letter", "comp",  "nonat", "outer"};
  return names[static_cast<int>(t)];
}

struct ws : rule<T::ws, Kind::silent, atomically<sor<lit<" ">, seq<lit<"\\">, newline>>>> {};
struct G {
  using rule_type = T;
  using whitespace = ws;
};

struct a : rule<T::a, Kind::normal, lit<"a">> {};
struct b : rule<T::b, Kind::normal, lit<"b">> {};
struct ab : rule<T::ab, Kind::normal, seq<lit<"a">, lit<"b">>> {};
struct letter : rule<T::letter, Kind::normal, range<'a', 'z'>> {};
struct comp : rule<T::comp, Kind::compound_atomic, seq<letter, letter>> {};
struct nonat : rule<T::nonat, Kind::non_atomic, seq<letter, letter>> {};
struct silent_ab : rule<T::start, Kind::silent, seq<a, b>> {};
// An atomic rule holding a normal, a compound-atomic and a non-atomic rule.
struct outer : rule<T::outer, Kind::atomic, seq<letter, lit<"-">, comp, lit<"-">, nonat>> {};

// "<end> <nodes>" after a match, "fail" when it fails and restores the state.
template <class E, Mode M = Mode::non_atomic>
std::string run(std::string_view input) {
  State<G, false, false> s(input);
  if (!E::template match<M, false>(s)) return s.pos == 0 && s.nodes.empty() ? "fail" : "dirty";
  return std::to_string(s.pos) + " " + to_sexpr(Tree<T>(input, s.nodes.to_vector()), t_name);
}

using committed = seq<sor<a, ab>, lit<"c">>;
using comma_x = star<seq<lit<",">, lit<"x">>>;
using three_pws = seq<pattern_white_space, pattern_white_space, pattern_white_space>;

// Each matcher on its input, and the outcome.
TEST(Matching, MatchesAsDefined) {
  const std::tuple<std::string (*)(std::string_view), std::string_view, const char*> cases[] = {
      // Ordered choice commits to the first alternative that matches.
      {run<committed>, "abc", "fail"},
      {run<committed>, "ac", "2 (a 0 1)"},
      {run<sor<b, ab>>, "ab", "2 (ab 0 2)"},
      // Repetition is greedy and never gives items back; nodes of failed
      // alternatives are discarded.
      {run<seq<star<lit<"x">>, lit<"x">>>, "xxx", "fail"},
      {run<plus<a>>, "a a  a", "6 (a 0 1) (a 2 3) (a 5 6)"},
      {run<seq<a, opt<b>>>, "ac", "1 (a 0 1)"},
      {run<sor<seq<a, lit<"!">>, seq<ab, lit<"?">>>>, "ab?", "3 (ab 0 2)"},
      // The skip before a repetition item is given back when the item fails; a
      // sequence keeps its skip before a repetition that matched nothing.
      {run<comma_x>, ",x ,y", "2 "},
      {run<comma_x>, ",x , x", "6 "},
      {run<comma_x>, " ,x", "0 "},
      {run<seq<a, star<b>>>, "a  c", "3 (a 0 1)"},
      {run<star<ws>>, "  \\\n ", "1 "},
      // The normal rule "a" ~ "b" by mode.
      {run<ab>, "ab", "2 (ab 0 2)"},
      {run<ab>, "a  b", "4 (ab 0 4)"},
      {run<ab>, "a\\\nb", "4 (ab 0 4)"},
      {run<ab>, "a \\\r\nb", "6 (ab 0 6)"},
      {run<ab>, " ab", "fail"},
      {run<ab, Mode::atomic>, "ab", "2 "},
      {run<ab, Mode::atomic>, "a b", "fail"},
      {run<ab, Mode::compound_atomic>, "a b", "fail"},
      // Nodes by kind and mode.
      {run<outer>, "x-yz-u v",
       "8 (outer 0 8 (comp 2 4 (letter 2 3) (letter 3 4)) (nonat 5 8 (letter 5 6) (letter 7 8)))"},
      {run<outer>, "x -yz-uv", "fail"},
      {run<silent_ab>, "a b", "3 (a 0 1) (b 2 3)"},
      // Lookahead records nothing and does not move.
      {run<seq<at<ab>, ab>>, "ab", "2 (ab 0 2)"},
      {run<seq<not_at<b>, a>>, "a", "1 (a 0 1)"},
      {run<not_at<a>>, "a", "fail"},
      // Terminals.
      {run<ilit<"Rb">>, "rB", "2 "},
      {run<ilit<"i">>, "\xC4\xB0", "fail"},
      {run<seq<range<0xE0, 0xFF>, any, end_of_input>>, "\xC3\xA9\xE2\x82\xAC", "5 "},
      {run<seq<newline, newline, newline, end_of_input>>, "\n\r\n\r", "4 "},
      {run<three_pws>, "\t\xE2\x80\x8E\xC2\x85", "6 "},
      {run<pattern_white_space>, "\xC2\xA0", "fail"},
  };
  for (const auto& [match, input, outcome] : cases) EXPECT_EQ(match(input), outcome) << input;
}

struct EOI : rule<T::EOI, Kind::normal, end_of_input> {};
struct top : rule<T::start, Kind::normal, seq<soi, star<sor<a, b>>, EOI>> {};
struct failing : rule<T::start, Kind::normal, seq<a, sor<ab, b>, EOI>> {};

TEST(EngineParse, GivesTheTreeOrTheFurthestFailure) {
  const auto result = parse<G, top>(" a b ");
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(to_sexpr(result.tree(), t_name), "(start 0 5 (a 1 2) (b 3 4) (EOI 5 5))");
  const auto failed = parse<G, failing>("a c");
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.failure().position, 2u);
  EXPECT_EQ(failed.failure().expected, (std::vector<T>{T::ab, T::b}));
}

}  // namespace
