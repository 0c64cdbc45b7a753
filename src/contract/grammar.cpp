// Rule names, the scanning helpers of the fast bodies, and the entry point.
#include "contract/grammar.hpp"

#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tarnwick {

namespace {

constexpr std::array<std::string_view, kRuleCount> kRuleNames = {"EOI",
                                                                 "python",
                                                                 "WHITESPACE",
                                                                 "expr",
                                                                 "any_line",
                                                                 "comment",
                                                                 "comment_single",
                                                                 "string_lit",
                                                                 "multiline_double_qouted",
                                                                 "multiline_single_qouted",
                                                                 "lit_double_qouted",
                                                                 "lit_single_qouted",
                                                                 "import",
                                                                 "import_from",
                                                                 "module_spec",
                                                                 "dots",
                                                                 "from_alias_list",
                                                                 "additional",
                                                                 "strip",
                                                                 "alias_list",
                                                                 "alias",
                                                                 "qualified_name",
                                                                 "name",
                                                                 "whitespace_newline",
                                                                 "string_modifiers",
                                                                 "m0",
                                                                 "m1",
                                                                 "m2",
                                                                 "m3",
                                                                 "m4",
                                                                 "m5",
                                                                 "m6",
                                                                 "m7",
                                                                 "m8",
                                                                 "m9",
                                                                 "m10",
                                                                 "m11",
                                                                 "m12",
                                                                 "m13",
                                                                 "m14",
                                                                 "m15",
                                                                 "m16",
                                                                 "m17",
                                                                 "m18",
                                                                 "m19",
                                                                 "m20",
                                                                 "m21",
                                                                 "m22",
                                                                 "m23",
                                                                 "m24",
                                                                 "m25",
                                                                 "m26",
                                                                 "m27",
                                                                 "m28",
                                                                 "m29",
                                                                 "m30",
                                                                 "m31",
                                                                 "m32",
                                                                 "m33",
                                                                 "m34",
                                                                 "m35",
                                                                 "m36",
                                                                 "m37",
                                                                 "m38",
                                                                 "m39",
                                                                 "m40",
                                                                 "m41",
                                                                 "m42",
                                                                 "m43",
                                                                 "m44",
                                                                 "m45",
                                                                 "m46",
                                                                 "m47",
                                                                 "m48",
                                                                 "m49",
                                                                 "m50",
                                                                 "m51",
                                                                 "m52",
                                                                 "m53",
                                                                 "m54",
                                                                 "m55",
                                                                 "m56",
                                                                 "m57",
                                                                 "m58",
                                                                 "m59",
                                                                 "m60",
                                                                 "m61",
                                                                 "m62",
                                                                 "m63"};

}  // namespace

std::string_view rule_name(Rule rule) noexcept {
  const auto index = static_cast<std::size_t>(rule);
  return index < kRuleNames.size() ? kRuleNames[index] : std::string_view("?");
}

ParseResult parse_python(std::string_view text, peg::Engine engine) {
  return peg::parse<grammar::Python, grammar::python>(text, engine);
}

std::string to_sexpr(ParseNode node) {
  std::string out;
  peg::append_sexpr(out, node, rule_name);
  return out;
}

std::string to_sexpr(const ParseTree& tree) {
  return peg::to_sexpr(tree, rule_name);
}

namespace grammar {

#if defined(__SSE2__)
namespace {
// Index of the lowest set bit.
inline unsigned lowest_bit(unsigned mask) noexcept {
  return static_cast<unsigned>(__builtin_ctz(mask));
}
}  // namespace
#endif

std::size_t find_line_break(const unsigned char* in, std::size_t pos, std::size_t len) noexcept {
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  while (len - pos >= 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + pos));
    const unsigned mask = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(block, lf), _mm_cmpeq_epi8(block, cr))));
    if (mask != 0) return pos + lowest_bit(mask);
    pos += 16;
  }
#endif
  while (pos < len && !is_line_break(in[pos])) ++pos;
  return pos;
}

std::size_t find_quote_or_line_break(const unsigned char* in, std::size_t pos, std::size_t len,
                                     unsigned char quote) noexcept {
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i q = _mm_set1_epi8(static_cast<char>(quote));
  while (len - pos >= 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + pos));
    const __m128i hits =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, lf), _mm_cmpeq_epi8(block, cr)),
                     _mm_cmpeq_epi8(block, q));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
    if (mask != 0) return pos + lowest_bit(mask);
    pos += 16;
  }
#endif
  while (pos < len && in[pos] != quote && !is_line_break(in[pos])) ++pos;
  return pos;
}

std::size_t find_triple(const unsigned char* in, std::size_t pos, std::size_t len,
                        unsigned char quote) noexcept {
  while (len - pos >= 3) {
    const void* hit = std::memchr(in + pos, quote, len - pos - 2);
    if (hit == nullptr) return len;
    pos = static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - in);
    if (in[pos + 1] != quote) {
      pos += 2;
    } else if (in[pos + 2] != quote) {
      pos += 3;
    } else {
      return pos;
    }
  }
  return len;
}

}  // namespace grammar
}  // namespace tarnwick
