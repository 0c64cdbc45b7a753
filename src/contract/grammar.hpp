// The grammar that finds import statements in Python source text.
//
// Every text is accepted: each line is taken as a comment or string literal,
// an import statement, or skipped whole (`any_line`). Imports are recognised
// only where a construct may start: at the start of a line after spaces, or
// right after a comment, string literal or import recognised on that line.
//
// Each rule below is written as its grammar line. A few rules carry a fast
// body next to the plain one; each matches exactly the same text with the same
// nodes (tests and the fuzz target compare the two engines), see the notes at
// each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "contract/peg.hpp"

namespace tarnwick {

// The grammar's rules, in their fixed order.
enum class Rule : std::uint8_t {
  EOI,
  python,
  WHITESPACE,
  expr,
  any_line,
  comment,
  comment_single,
  string_lit,
  multiline_double_qouted,
  multiline_single_qouted,
  lit_double_qouted,
  lit_single_qouted,
  import,
  import_from,
  module_spec,
  dots,
  from_alias_list,
  additional,
  strip,
  alias_list,
  alias,
  qualified_name,
  name,
  whitespace_newline,
  string_modifiers,
  m0,
  m1,
  m2,
  m3,
  m4,
  m5,
  m6,
  m7,
  m8,
  m9,
  m10,
  m11,
  m12,
  m13,
  m14,
  m15,
  m16,
  m17,
  m18,
  m19,
  m20,
  m21,
  m22,
  m23,
  m24,
  m25,
  m26,
  m27,
  m28,
  m29,
  m30,
  m31,
  m32,
  m33,
  m34,
  m35,
  m36,
  m37,
  m38,
  m39,
  m40,
  m41,
  m42,
  m43,
  m44,
  m45,
  m46,
  m47,
  m48,
  m49,
  m50,
  m51,
  m52,
  m53,
  m54,
  m55,
  m56,
  m57,
  m58,
  m59,
  m60,
  m61,
  m62,
  m63
};

inline constexpr std::size_t kRuleCount = 89;

// The rule's name as the grammar spells it ("EOI", "python", ..., "m63").
std::string_view rule_name(Rule rule) noexcept;

using ParseTree = peg::Tree<Rule>;
using ParseNode = peg::NodeRef<Rule>;
using ParseResult = peg::Result<Rule>;

// Parses a whole text from `python`. `engine` selects the fast bodies (the
// default) or the plain reference rules; both give the same result.
ParseResult parse_python(std::string_view text, peg::Engine engine = peg::Engine::fast);

// Renders a node, or all top-level nodes of a tree, as "(rule start end child...)".
std::string to_sexpr(ParseNode node);
std::string to_sexpr(const ParseTree& tree);

namespace grammar {

using peg::any;
using peg::atomically;
using peg::ilit;
using peg::Kind;
using peg::lit;
using peg::Mode;
using peg::newline;
using peg::not_at;
using peg::opt;
using peg::pattern_white_space;
using peg::plus;
using peg::range;
using peg::rule;
using peg::seq;
using peg::soi;
using peg::sor;
using peg::star;
using peg::when_next;

// ---- scanning helpers for the fast bodies ----------------------------------------

constexpr bool is_line_break(unsigned char c) noexcept {
  return c == '\n' || c == '\r';
}

// Position of the first '\n' or '\r' at or after `pos`, or `len`.
std::size_t find_line_break(const unsigned char* in, std::size_t pos, std::size_t len) noexcept;

// Position of the first `quote`, '\n' or '\r' at or after `pos`, or `len`.
std::size_t find_quote_or_line_break(const unsigned char* in, std::size_t pos, std::size_t len,
                                     unsigned char quote) noexcept;

// Position of the first run of three `quote` bytes at or after `pos`, or `len`
// when there is none.
std::size_t find_triple(const unsigned char* in, std::size_t pos, std::size_t len,
                        unsigned char quote) noexcept;

// Remembers the last answer of find_triple. Queries come at increasing
// positions (one per construct start), so an unterminated triple quote is
// searched for once, not once per line.
class TripleMemo {
 public:
  // `steps` grows by the bytes searched.
  std::size_t find(const unsigned char* in, std::size_t pos, std::size_t len, unsigned char quote,
                   std::size_t& steps) noexcept {
    // There is no occurrence in [from_, found_), so any query inside that
    // range has the same answer.
    ++steps;
    if (!valid_ || pos < from_ || pos > found_) {
      found_ = find_triple(in, pos, len, quote);
      steps += found_ - pos;
      from_ = pos;
      valid_ = true;
    }
    return found_;
  }

 private:
  bool valid_ = false;
  std::size_t from_ = 0;
  std::size_t found_ = 0;
};

// The comments that run on over backslash-continued lines. Once a comment
// crosses a line break, where it goes depends only on that break: from any
// continued break inside a known tail the comment goes on exactly as the tail
// does (the breaks in between end its lines or sit in its whitespace skips).
// So each tail is read once, however many comments start inside it, and a
// comment reads only its own first line.
class ContinuedComments {
 public:
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);
  struct Tail {
    std::size_t end = npos;         // where the comment's last line stops
    std::size_t last_start = npos;  // the last line with text: where it starts,
    std::size_t last_stop = npos;   // and where its text ends (npos: no such line)
  };
  // The known tail that takes in the continued line break at `brk`.
  const Tail* find(std::size_t brk) const {
    auto it = tails_.upper_bound(brk);
    if (it == tails_.begin()) return nullptr;
    --it;
    return brk < it->second.end ? &it->second : nullptr;
  }
  // Records the tail that starts at `first`, replacing a known tail it ran
  // into (which it takes in whole).
  void add(std::size_t first, const Tail& tail) {
    auto it = tails_.lower_bound(first);
    while (it != tails_.end() && it->first < tail.end) it = tails_.erase(it);
    tails_.emplace(first, tail);
  }

 private:
  std::map<std::size_t, Tail> tails_;  // by the first break they take in
};

// Failed attempts at a parenthesised from-list. Attempts that start on
// different lines meet only where they end the same comment that ran on over
// continued lines (inside that comment, the later attempts' own lines are
// text to the earlier one). From there each goes on as the other did, in the
// same place of the list, so a failure is remembered by the comment's end and
// that place, and any later attempt that gets there stops.
struct ListFailures {
  std::unordered_set<std::uint64_t> failed;  // end * 4 + place
  std::vector<std::uint64_t> passed;         // the current attempt's
  bool doomed = false;                       // it reached a known failure
};

// ---- fast bodies ------------------------------------------------------------------------

// any_line: `(!NEWLINE ~ ANY)+` in atomic mode is the run up to the next line
// break, which must not be empty (a line break is ASCII and never part of a
// longer UTF-8 sequence).
struct rest_of_line {
  template <Mode, bool, class S>
  static bool match(S& s) noexcept {
    if (s.at_end() || is_line_break(s.peek())) return false;
    const std::size_t brk = find_line_break(s.in, s.pos, s.len);
    peg::count_steps(s, brk - s.pos + 1);
    s.pos = brk;
    return true;
  }
};

// comment_single: `"#" ~ (!NEWLINE ~ ANY)*` in non-atomic mode. After '#' and
// a whitespace skip, characters are taken one at a time with a skip before
// each; a skip that ends at a line break or the end is given back. So on each
// line every character up to the last non-space counts, and a backslash right
// before the line break is skipped together with it, continuing the comment
// on the next line (after further whitespace) unless that line is empty. The
// lines after the first come from `ContinuedComments`.
struct hash_comment {
  using Tail = ContinuedComments::Tail;

  template <Mode M, bool L, class S>
  static bool match(S& s) {
    static_assert(M == Mode::non_atomic, "comment_single is only used in non-atomic mode");
    peg::count_steps(s, 1);
    if (s.at_end() || s.peek() != '#') return false;
    ++s.pos;
    peg::skip_whitespace<L>(s);
    std::size_t last = s.pos;
    if (!s.at_end() && !is_line_break(s.peek())) {
      std::size_t stop = 0;
      const std::size_t brk = line_text(s, s.pos, stop);
      if (stop > s.pos) last = stop;
      if (brk < s.len && s.in[brk - 1] == '\\') {
        const Tail tail = continued_tail<M, L>(s, brk);
        if (tail.last_start != ContinuedComments::npos && tail.last_start > brk) {
          last = tail.last_stop;
        }
      }
    }
    s.pos = last;
    return true;
  }

 private:
  // The line break ending the comment line that starts at `start` (not at a
  // break), and in `stop` the end of its text: before a continuing backslash
  // and trailing spaces.
  template <class S>
  static std::size_t line_text(S& s, std::size_t start, std::size_t& stop) noexcept {
    const std::size_t brk = find_line_break(s.in, start, s.len);
    stop = brk;
    if (brk < s.len && s.in[brk - 1] == '\\') --stop;
    while (stop > start && s.in[stop - 1] == ' ') --stop;
    peg::count_steps(s, brk - start + 1 + (brk - stop));
    return brk;
  }

  // Where the comment goes after the continued line break at `brk`.
  template <Mode M, bool L, class S>
  static Tail continued_tail(S& s, std::size_t brk) {
    ContinuedComments& memo = s.memo.comments;
    if (const Tail* known = memo.find(brk)) return *known;
    Tail tail;
    std::size_t at = brk;
    for (;;) {
      s.pos = at;
      newline::match<M, L>(s);
      peg::skip_whitespace<L>(s);
      if (s.at_end() || is_line_break(s.peek())) {
        tail.end = s.pos;
        break;
      }
      std::size_t stop = 0;
      const std::size_t next = line_text(s, s.pos, stop);
      if (stop > s.pos) {
        tail.last_start = s.pos;
        tail.last_stop = stop;
      }
      if (next >= s.len || s.in[next - 1] != '\\') {
        tail.end = next;
        break;
      }
      if (const Tail* known = memo.find(next)) {
        // Runs into a tail read before: the rest is that tail.
        tail.end = known->end;
        if (known->last_start != ContinuedComments::npos && known->last_start > next) {
          tail.last_start = known->last_start;
          tail.last_stop = known->last_stop;
        }
        break;
      }
      at = next;
    }
    memo.add(brk, tail);
    return tail;
  }
};

// Which `strip*` of a parenthesised from-list a run is: after "(", after ","
// before a name, the same again when no name follows, before ")".
enum ListPlace : unsigned { kOpenStrips, kNameStrips, kBareStrips, kCloseStrips };

// `strip*` inside a parenthesised from-list, as the plain repetition, except
// that it fails the list as soon as it ends a continued comment where an
// earlier attempt that failed ended it too, in the same place (see
// `ListFailures`). Such comments are remembered for the attempt under way.
template <class Strip, ListPlace Place>
struct list_strips {
  template <Mode M, bool L, class S>
  static bool match(S& s) {
    ListFailures& memo = s.memo.lists;
    if (memo.doomed) return false;
    if (!item<M, L>(s)) return !memo.doomed;
    for (;;) {
      const std::size_t pos = s.pos;
      const std::size_t count = s.nodes.size();
      peg::implicit_whitespace<M, L>(s);
      if (!item<M, L>(s)) {
        if (memo.doomed) return false;
        s.pos = pos;
        s.truncate(count);
        return true;
      }
      if (s.pos == pos) return true;
    }
  }

 private:
  template <Mode M, bool L, class S>
  static bool item(S& s) {
    const std::size_t before = s.pos;
    if (!Strip::template match<M, L>(s)) return false;
    if (s.in[before] != '#' || find_line_break(s.in, before, s.pos) >= s.pos) return true;
    ListFailures& memo = s.memo.lists;
    const std::uint64_t key = static_cast<std::uint64_t>(s.pos) * 4 + Place;
    if (memo.failed.contains(key)) {
      memo.doomed = true;
      return false;
    }
    memo.passed.push_back(key);
    return true;
  }
};

// One attempt at a parenthesised from-list: when it fails, every place it
// passed is remembered as failing. A list that goes on past its first line is
// first matched without recording nodes, so a list left open to the end of a
// long text costs no tree; only a list that will match is recorded.
template <class Body>
struct list_attempt {
  template <Mode M, bool L, class S>
  static bool match(S& s) {
    const std::size_t start = s.pos;
    if (!L && !closes_on_its_line(s)) {
      if (!attempt<M, true>(s)) return false;
      s.pos = start;
    }
    return attempt<M, L>(s);
  }

 private:
  template <Mode M, bool L, class S>
  static bool attempt(S& s) {
    ListFailures& memo = s.memo.lists;
    memo.doomed = false;
    memo.passed.clear();
    const bool ok = Body::template match<M, L>(s);
    if (!ok) memo.failed.insert(memo.passed.begin(), memo.passed.end());
    memo.passed.clear();
    memo.doomed = false;
    return ok;
  }

  template <class S>
  static bool closes_on_its_line(S& s) noexcept {
    const std::size_t brk = find_line_break(s.in, s.pos, s.len);
    peg::count_steps(s, brk - s.pos + 1);
    return std::memchr(s.in + s.pos, ')', brk - s.pos) != nullptr;
  }
};

// lit_*_qouted: `Q ~ (!(Q / NEWLINE) ~ ANY)* ~ Q` in non-atomic mode. The
// first quote or line break after the opening quote decides: a quote closes
// the literal; a line break right after a backslash was skipped as whitespace
// and the literal goes on; any other line break (or the end) fails it.
template <unsigned char Q>
struct quoted_line {
  template <Mode M, bool L, class S>
  static bool match(S& s) {
    static_assert(M == Mode::non_atomic, "quoted literals are non-atomic rules");
    if (s.at_end() || s.peek() != Q) return false;
    std::size_t pos = s.pos + 1;
    for (;;) {
      const std::size_t hit = find_quote_or_line_break(s.in, pos, s.len, Q);
      peg::count_steps(s, hit - pos + 1);
      if (hit >= s.len) return false;
      if (s.in[hit] == Q) {
        s.pos = hit + 1;
        return true;
      }
      if (s.in[hit - 1] != '\\') return false;
      pos = hit + ((s.in[hit] == '\r' && hit + 1 < s.len && s.in[hit + 1] == '\n') ? 2 : 1);
    }
  }
};

// multiline_*_qouted: `QQQ ~ (!QQQ ~ ANY)* ~ QQQ`. Whitespace skips never cross
// a quote, so the literal ends at the first QQQ after the opening one.
template <unsigned char Q>
struct quoted_block {
  template <Mode M, bool L, class S>
  static bool match(S& s) {
    static_assert(M == Mode::non_atomic, "triple-quoted literals are non-atomic rules");
    if (s.len - s.pos < 3 || s.in[s.pos] != Q || s.in[s.pos + 1] != Q || s.in[s.pos + 2] != Q) {
      return false;
    }
    TripleMemo& memo = Q == '"' ? s.memo.double_quotes : s.memo.single_quotes;
    std::size_t steps = 0;
    const std::size_t close = memo.find(s.in, s.pos + 3, s.len, Q, steps);
    peg::count_steps(s, steps);
    if (close >= s.len) return false;
    s.pos = close + 3;
    return true;
  }
};

// First bytes that may start each alternative of `expr` and `string_modifiers`.
struct prefix_letter {
  static constexpr bool test(unsigned char c) noexcept {
    c = peg::ascii_lower(c);
    return c == 'r' || c == 'u' || c == 'b' || c == 'f';
  }
};
struct comment_start {
  static constexpr bool test(unsigned char c) noexcept {
    return c == ' ' || c == '\\' || c == '"' || c == '\'' || c == '#' || prefix_letter::test(c);
  }
};
template <unsigned char C>
struct byte_is {
  static constexpr bool test(unsigned char c) noexcept { return c == C; }
};

// ---- the rules ---------------------------------------------------------------------------

struct EOI;
struct python;
struct WHITESPACE;
struct expr;
struct any_line;
struct comment;
struct comment_single;
struct string_lit;
struct multiline_double_qouted;
struct multiline_single_qouted;
struct lit_double_qouted;
struct lit_single_qouted;
struct import;
struct import_from;
struct module_spec;
struct dots;
struct from_alias_list;
struct additional;
struct strip;
struct alias_list;
struct alias;
struct qualified_name;
struct name;
struct whitespace_newline;
struct string_modifiers;
struct m0;
struct m1;
struct m2;
struct m3;
struct m4;
struct m5;
struct m6;
struct m7;
struct m8;
struct m9;
struct m10;
struct m11;
struct m12;
struct m13;
struct m14;
struct m15;
struct m16;
struct m17;
struct m18;
struct m19;
struct m20;
struct m21;
struct m22;
struct m23;
struct m24;
struct m25;
struct m26;
struct m27;
struct m28;
struct m29;
struct m30;
struct m31;
struct m32;
struct m33;
struct m34;
struct m35;
struct m36;
struct m37;
struct m38;
struct m39;
struct m40;
struct m41;
struct m42;
struct m43;
struct m44;
struct m45;
struct m46;
struct m47;
struct m48;
struct m49;
struct m50;
struct m51;
struct m52;
struct m53;
struct m54;
struct m55;
struct m56;
struct m57;
struct m58;
struct m59;
struct m60;
struct m61;
struct m62;
struct m63;

// Lexical rules.
struct EOI : rule<Rule::EOI, Kind::normal, peg::end_of_input> {};
struct python : rule<Rule::python, Kind::normal, seq<soi, star<sor<expr, newline>>, EOI>> {};
struct WHITESPACE
    : rule<Rule::WHITESPACE, Kind::silent, atomically<sor<lit<" ">, seq<lit<"\\">, newline>>>> {};
struct expr : rule<Rule::expr, Kind::normal, sor<comment, import, import_from, any_line>,
                   sor<when_next<comment_start, comment>, when_next<byte_is<'i'>, import>,
                       when_next<byte_is<'f'>, import_from>, any_line>> {};
struct any_line
    : rule<Rule::any_line, Kind::atomic, plus<seq<not_at<newline>, any>>, rest_of_line> {};
struct comment
    : rule<Rule::comment, Kind::normal, seq<star<WHITESPACE>, sor<string_lit, comment_single>>> {};
struct comment_single : rule<Rule::comment_single, Kind::normal,
                             seq<lit<"#">, star<seq<not_at<newline>, any>>>, hash_comment> {};
struct string_lit
    : rule<Rule::string_lit, Kind::atomic,
           seq<opt<string_modifiers>, sor<multiline_double_qouted, multiline_single_qouted,
                                          lit_double_qouted, lit_single_qouted>>> {};
struct multiline_double_qouted
    : rule<Rule::multiline_double_qouted, Kind::non_atomic,
           seq<lit<"\"\"\"">, star<seq<not_at<lit<"\"\"\"">>, any>>, lit<"\"\"\"">>,
           quoted_block<'"'>> {};
struct multiline_single_qouted
    : rule<Rule::multiline_single_qouted, Kind::non_atomic,
           seq<lit<"'''">, star<seq<not_at<lit<"'''">>, any>>, lit<"'''">>, quoted_block<'\''>> {};
struct lit_double_qouted
    : rule<Rule::lit_double_qouted, Kind::non_atomic,
           seq<lit<"\"">, star<seq<not_at<sor<lit<"\"">, newline>>, any>>, lit<"\"">>,
           quoted_line<'"'>> {};
struct lit_single_qouted
    : rule<Rule::lit_single_qouted, Kind::non_atomic,
           seq<lit<"'">, star<seq<not_at<sor<lit<"'">, newline>>, any>>, lit<"'">>,
           quoted_line<'\''>> {};
struct whitespace_newline
    : rule<Rule::whitespace_newline, Kind::normal, sor<pattern_white_space, newline>> {};
struct string_modifiers
    : rule<Rule::string_modifiers, Kind::normal,
           sor<m0, m1, m2, m3, m4, m5, m6, m7, m8, m9, m10, m11, m12, m13, m14, m15, m16, m17, m18,
               m19, m20, m21, m22, m23, m24, m25, m26, m27, m28, m29, m30, m31, m32, m33, m34, m35,
               m36, m37, m38, m39, m40, m41, m42, m43, m44, m45, m46, m47, m48, m49, m50, m51, m52,
               m53, m54, m55, m56, m57, m58, m59, m60, m61, m62, m63>,
           when_next<
               prefix_letter,
               sor<m0, m1, m2, m3, m4, m5, m6, m7, m8, m9, m10, m11, m12, m13, m14, m15, m16, m17,
                   m18, m19, m20, m21, m22, m23, m24, m25, m26, m27, m28, m29, m30, m31, m32, m33,
                   m34, m35, m36, m37, m38, m39, m40, m41, m42, m43, m44, m45, m46, m47, m48, m49,
                   m50, m51, m52, m53, m54, m55, m56, m57, m58, m59, m60, m61, m62, m63>>> {};
struct m0 : rule<Rule::m0, Kind::normal, seq<ilit<"r">, ilit<"f">, ilit<"u">>> {};
struct m1 : rule<Rule::m1, Kind::normal, seq<ilit<"b">, ilit<"r">>> {};
struct m2 : rule<Rule::m2, Kind::normal, seq<ilit<"b">, ilit<"r">, ilit<"f">, ilit<"u">>> {};
struct m3 : rule<Rule::m3, Kind::normal, seq<ilit<"f">, ilit<"r">>> {};
struct m4 : rule<Rule::m4, Kind::normal, seq<ilit<"r">, ilit<"f">, ilit<"u">, ilit<"b">>> {};
struct m5 : rule<Rule::m5, Kind::normal, seq<ilit<"r">, ilit<"u">, ilit<"b">, ilit<"f">>> {};
struct m6 : rule<Rule::m6, Kind::normal, ilit<"f">> {};
struct m7 : rule<Rule::m7, Kind::normal, seq<ilit<"r">, ilit<"b">, ilit<"f">>> {};
struct m8 : rule<Rule::m8, Kind::normal, seq<ilit<"r">, ilit<"f">, ilit<"b">, ilit<"u">>> {};
struct m9 : rule<Rule::m9, Kind::normal, seq<ilit<"r">, ilit<"f">>> {};
struct m10 : rule<Rule::m10, Kind::normal, seq<ilit<"u">, ilit<"b">, ilit<"f">, ilit<"r">>> {};
struct m11 : rule<Rule::m11, Kind::normal, seq<ilit<"f">, ilit<"b">, ilit<"r">>> {};
struct m12 : rule<Rule::m12, Kind::normal, seq<ilit<"f">, ilit<"b">, ilit<"r">, ilit<"u">>> {};
struct m13 : rule<Rule::m13, Kind::normal, seq<ilit<"b">, ilit<"u">>> {};
struct m14 : rule<Rule::m14, Kind::normal, seq<ilit<"b">, ilit<"f">, ilit<"r">>> {};
struct m15 : rule<Rule::m15, Kind::normal, ilit<"u">> {};
struct m16 : rule<Rule::m16, Kind::normal, seq<ilit<"f">, ilit<"b">>> {};
struct m17 : rule<Rule::m17, Kind::normal, seq<ilit<"b">, ilit<"u">, ilit<"r">, ilit<"f">>> {};
struct m18 : rule<Rule::m18, Kind::normal, seq<ilit<"b">, ilit<"f">, ilit<"u">>> {};
struct m19 : rule<Rule::m19, Kind::normal, seq<ilit<"r">, ilit<"b">, ilit<"u">>> {};
struct m20 : rule<Rule::m20, Kind::normal, seq<ilit<"b">, ilit<"u">, ilit<"f">, ilit<"r">>> {};
struct m21 : rule<Rule::m21, Kind::normal, seq<ilit<"f">, ilit<"u">, ilit<"r">>> {};
struct m22 : rule<Rule::m22, Kind::normal, seq<ilit<"r">, ilit<"u">>> {};
struct m23 : rule<Rule::m23, Kind::normal, seq<ilit<"u">, ilit<"b">, ilit<"r">>> {};
struct m24 : rule<Rule::m24, Kind::normal, seq<ilit<"r">, ilit<"u">, ilit<"f">, ilit<"b">>> {};
struct m25 : rule<Rule::m25, Kind::normal, seq<ilit<"f">, ilit<"u">, ilit<"b">>> {};
struct m26 : rule<Rule::m26, Kind::normal, seq<ilit<"u">, ilit<"r">, ilit<"f">>> {};
struct m27 : rule<Rule::m27, Kind::normal, seq<ilit<"b">, ilit<"r">, ilit<"u">>> {};
struct m28 : rule<Rule::m28, Kind::normal, seq<ilit<"r">, ilit<"b">>> {};
struct m29 : rule<Rule::m29, Kind::normal, seq<ilit<"u">, ilit<"r">, ilit<"b">, ilit<"f">>> {};
struct m30 : rule<Rule::m30, Kind::normal, seq<ilit<"u">, ilit<"f">, ilit<"r">>> {};
struct m31 : rule<Rule::m31, Kind::normal, seq<ilit<"b">, ilit<"f">, ilit<"r">, ilit<"u">>> {};
struct m32 : rule<Rule::m32, Kind::normal, seq<ilit<"b">, ilit<"u">, ilit<"r">>> {};
struct m33 : rule<Rule::m33, Kind::normal, seq<ilit<"f">, ilit<"r">, ilit<"b">, ilit<"u">>> {};
struct m34 : rule<Rule::m34, Kind::normal, seq<ilit<"f">, ilit<"r">, ilit<"u">, ilit<"b">>> {};
struct m35 : rule<Rule::m35, Kind::normal, seq<ilit<"f">, ilit<"u">>> {};
struct m36 : rule<Rule::m36, Kind::normal, seq<ilit<"b">, ilit<"f">, ilit<"u">, ilit<"r">>> {};
struct m37 : rule<Rule::m37, Kind::normal, seq<ilit<"r">, ilit<"u">, ilit<"b">>> {};
struct m38 : rule<Rule::m38, Kind::normal, seq<ilit<"u">, ilit<"f">, ilit<"b">>> {};
struct m39 : rule<Rule::m39, Kind::normal, seq<ilit<"u">, ilit<"r">, ilit<"b">>> {};
struct m40 : rule<Rule::m40, Kind::normal, seq<ilit<"b">, ilit<"f">>> {};
struct m41 : rule<Rule::m41, Kind::normal, seq<ilit<"u">, ilit<"f">, ilit<"b">, ilit<"r">>> {};
struct m42 : rule<Rule::m42, Kind::normal, seq<ilit<"b">, ilit<"r">, ilit<"f">>> {};
struct m43 : rule<Rule::m43, Kind::normal, seq<ilit<"b">, ilit<"r">, ilit<"u">, ilit<"f">>> {};
struct m44 : rule<Rule::m44, Kind::normal, seq<ilit<"r">, ilit<"f">, ilit<"b">>> {};
struct m45 : rule<Rule::m45, Kind::normal, seq<ilit<"u">, ilit<"r">>> {};
struct m46 : rule<Rule::m46, Kind::normal, ilit<"r">> {};
struct m47 : rule<Rule::m47, Kind::normal, seq<ilit<"f">, ilit<"r">, ilit<"b">>> {};
struct m48 : rule<Rule::m48, Kind::normal, ilit<"b">> {};
struct m49 : rule<Rule::m49, Kind::normal, seq<ilit<"u">, ilit<"f">, ilit<"r">, ilit<"b">>> {};
struct m50 : rule<Rule::m50, Kind::normal, seq<ilit<"f">, ilit<"b">, ilit<"u">>> {};
struct m51 : rule<Rule::m51, Kind::normal, seq<ilit<"u">, ilit<"b">, ilit<"r">, ilit<"f">>> {};
struct m52 : rule<Rule::m52, Kind::normal, seq<ilit<"u">, ilit<"b">, ilit<"f">>> {};
struct m53 : rule<Rule::m53, Kind::normal, seq<ilit<"f">, ilit<"u">, ilit<"r">, ilit<"b">>> {};
struct m54 : rule<Rule::m54, Kind::normal, seq<ilit<"f">, ilit<"r">, ilit<"u">>> {};
struct m55 : rule<Rule::m55, Kind::normal, seq<ilit<"f">, ilit<"b">, ilit<"u">, ilit<"r">>> {};
struct m56 : rule<Rule::m56, Kind::normal, seq<ilit<"r">, ilit<"u">, ilit<"f">>> {};
struct m57 : rule<Rule::m57, Kind::normal, seq<ilit<"r">, ilit<"b">, ilit<"u">, ilit<"f">>> {};
struct m58 : rule<Rule::m58, Kind::normal, seq<ilit<"r">, ilit<"b">, ilit<"f">, ilit<"u">>> {};
struct m59 : rule<Rule::m59, Kind::normal, seq<ilit<"b">, ilit<"u">, ilit<"f">>> {};
struct m60 : rule<Rule::m60, Kind::normal, seq<ilit<"u">, ilit<"f">>> {};
struct m61 : rule<Rule::m61, Kind::normal, seq<ilit<"f">, ilit<"u">, ilit<"b">, ilit<"r">>> {};
struct m62 : rule<Rule::m62, Kind::normal, seq<ilit<"u">, ilit<"r">, ilit<"f">, ilit<"b">>> {};
struct m63 : rule<Rule::m63, Kind::normal, seq<ilit<"u">, ilit<"b">>> {};

// Import statement rules.
struct import : rule<Rule::import, Kind::normal, seq<lit<"import ">, alias_list>> {};
struct alias_list
    : rule<Rule::alias_list, Kind::non_atomic, seq<alias, star<seq<lit<",">, alias>>>> {};
struct alias
    : rule<Rule::alias, Kind::compound_atomic,
           seq<qualified_name, opt<seq<plus<lit<" ">>, lit<"as">, plus<lit<" ">>, name>>>> {};
struct qualified_name
    : rule<Rule::qualified_name, Kind::compound_atomic, seq<name, star<seq<lit<".">, name>>>> {};
struct name : rule<Rule::name, Kind::compound_atomic,
                   seq<sor<range<'a', 'z'>, range<'A', 'Z'>, lit<"_">>,
                       star<sor<range<'a', 'z'>, range<'A', 'Z'>, range<'0', '9'>, lit<"_">>>>> {};
struct import_from : rule<Rule::import_from, Kind::atomic,
                          seq<lit<"from">, plus<WHITESPACE>, module_spec, plus<WHITESPACE>,
                              lit<"import">, plus<WHITESPACE>, from_alias_list>> {};
struct module_spec : rule<Rule::module_spec, Kind::compound_atomic,
                          sor<seq<plus<dots>, opt<qualified_name>>, qualified_name>> {};
struct dots : rule<Rule::dots, Kind::normal, seq<lit<".">, star<lit<".">>>> {};
struct from_alias_list
    : rule<Rule::from_alias_list, Kind::non_atomic,
           sor<seq<lit<"(">, star<strip>, alias, star<additional>, star<strip>, lit<")">>,
               alias_list>,
           sor<list_attempt<seq<lit<"(">, list_strips<strip, kOpenStrips>, alias, star<additional>,
                                list_strips<strip, kCloseStrips>, lit<")">>>,
               alias_list>> {};
struct additional
    : rule<Rule::additional, Kind::normal, seq<lit<",">, sor<seq<star<strip>, alias>, star<strip>>>,
           seq<lit<",">,
               sor<seq<list_strips<strip, kNameStrips>, alias>, list_strips<strip, kBareStrips>>>> {
};
struct strip : rule<Rule::strip, Kind::silent, sor<comment_single, WHITESPACE, newline>> {};

// The grammar's description for the engine.
struct Python {
  using rule_type = Rule;
  using whitespace = WHITESPACE;
  struct memo {
    TripleMemo double_quotes;
    TripleMemo single_quotes;
    ContinuedComments comments;
    ListFailures lists;
  };
};

}  // namespace grammar
}  // namespace tarnwick
