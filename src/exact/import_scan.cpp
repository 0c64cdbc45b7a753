#include "exact/import_scan.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tarnwick {
namespace {

// ---- character classes -------------------------------------------------------

constexpr bool ident_char(unsigned char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c >= 0x80;
}

constexpr bool ident_start(unsigned char c) noexcept {
  return ident_char(c) && !(c >= '0' && c <= '9');
}

struct Tables {
  std::array<bool, 256> ident{};
  std::array<bool, 256> text_stop{};  // bytes the literal text of an f-string stops at
};

constexpr Tables make_tables() {
  Tables t;
  for (int c = 0; c < 256; ++c) t.ident[c] = ident_char(static_cast<unsigned char>(c));
  for (const char c : std::string_view("\n\r'\"\\{}"))
    t.text_stop[static_cast<unsigned char>(c)] = true;
  return t;
}

constexpr Tables kTables = make_tables();

inline unsigned char u(char c) noexcept {
  return static_cast<unsigned char>(c);
}

constexpr int popcount16(unsigned x) noexcept {
  x = x - ((x >> 1) & 0x5555u);
  x = (x & 0x3333u) + ((x >> 2) & 0x3333u);
  x = (x + (x >> 4)) & 0x0F0Fu;
  return static_cast<int>((x + (x >> 8)) & 0x1Fu);
}

// Moves over ordinary code to the first byte in [p, end) that needs more than
// a bracket count (a quote, '#', '\\', a line break or ';'), or to end;
// brackets on the way only change `depth`. With SSE2, sixteen bytes at a
// time, and bracket runs cost no branch of their own.
template <bool kHeader = false>
inline const char* skip_code(const char* p, const char* end, int& depth) noexcept {
#if defined(__SSE2__)
  const __m128i k29 = _mm_set1_epi8(0x29), k28 = _mm_set1_epi8(0x28), k5b = _mm_set1_epi8(0x5b),
                k5d = _mm_set1_epi8(0x5d), k22 = _mm_set1_epi8(0x22), k23 = _mm_set1_epi8(0x23),
                k27 = _mm_set1_epi8(0x27), k5c = _mm_set1_epi8(0x5c), kNl = _mm_set1_epi8('\n'),
                kCr = _mm_set1_epi8('\r'), kSemi = _mm_set1_epi8(';'),
                kNot20 = _mm_set1_epi8(static_cast<char>(0xDF));
  while (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i upper = _mm_and_si128(v, kNot20);  // [ { -> 0x5b, ] } -> 0x5d
    const __m128i open = _mm_or_si128(_mm_cmpeq_epi8(v, k28), _mm_cmpeq_epi8(upper, k5b));
    const __m128i close = _mm_or_si128(_mm_cmpeq_epi8(v, k29), _mm_cmpeq_epi8(upper, k5d));
    __m128i hard = _mm_or_si128(_mm_cmpeq_epi8(v, k22), _mm_cmpeq_epi8(v, k23));
    hard = _mm_or_si128(hard, _mm_or_si128(_mm_cmpeq_epi8(v, k27), _mm_cmpeq_epi8(v, k5c)));
    hard = _mm_or_si128(hard, _mm_or_si128(_mm_cmpeq_epi8(v, kNl), _mm_cmpeq_epi8(v, kCr)));
    hard = _mm_or_si128(hard, _mm_cmpeq_epi8(v, kSemi));
    if constexpr (kHeader) {  // a header also stops at ':' and at 'l' (of lambda)
      hard = _mm_or_si128(hard, _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(':')),
                                             _mm_cmpeq_epi8(v, _mm_set1_epi8('l'))));
    }
    const auto stops = static_cast<unsigned>(_mm_movemask_epi8(hard));
    // Brackets before the first hard stop (all of them when there is none).
    const unsigned before = stops == 0 ? 0xFFFFu : (stops & (0u - stops)) - 1;
    const auto opens = static_cast<unsigned>(_mm_movemask_epi8(open)) & before;
    const auto closes = static_cast<unsigned>(_mm_movemask_epi8(close)) & before;
    if ((opens | closes) != 0) {
      if (depth >= popcount16(closes)) {
        depth += popcount16(opens) - popcount16(closes);
      } else {
        // A closer may meet depth 0, where it is ignored: take them in order.
        for (unsigned bits = opens | closes; bits != 0; bits &= bits - 1) {
          if (opens & bits & (0u - bits)) {
            ++depth;
          } else if (depth > 0) {
            --depth;
          }
        }
      }
    }
    if (stops != 0) return p + std::countr_zero(stops);
    p += 16;
  }
#endif
  for (; p < end; ++p) {
    switch (*p) {
      case '(':
      case '[':
      case '{':
        ++depth;
        break;
      case ')':
      case ']':
      case '}':
        if (depth > 0) --depth;
        break;
      case '\'':
      case '"':
      case '#':
      case '\\':
      case '\n':
      case '\r':
      case ';':
        return p;
      case ':':
      case 'l':
        if (kHeader) return p;
        break;
      default:
        break;
    }
  }
  return p;
}

// The first byte in [p, end) at which a single-quoted string with quote `q`
// must stop (the quote, a backslash or a line break), or end.
inline const char* skip_string_text(const char* p, const char* end, char q) noexcept {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8(q), backslash = _mm_set1_epi8('\\'), nl = _mm_set1_epi8('\n'),
                cr = _mm_set1_epi8('\r');
  while (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hit =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                     _mm_or_si128(_mm_cmpeq_epi8(v, nl), _mm_cmpeq_epi8(v, cr)));
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (mask != 0) return p + std::countr_zero(mask);
    p += 16;
  }
#endif
  while (p < end && *p != q && *p != '\\' && *p != '\n' && *p != '\r') ++p;
  return p;
}

// ---- words the scanner acts on ------------------------------------------------

enum class Word : std::uint8_t {
  kOther,
  kImport,
  kFrom,
  kAs,
  kDef,
  kClass,
  kIf,
  kElif,
  kElse,
  kTry,
  kExcept,
  kFinally,
  kFor,
  kWhile,
  kWith,
  kAsync,
  kMatch,
  kCase,
  kLambda,
  kNot,
};

Word classify(std::string_view w) noexcept {
  // Called at every logical line and on every name of a header: a switch on
  // length and first letter leaves at most one comparison.
  const auto is = [&](std::string_view text, Word word) {
    return std::memcmp(w.data(), text.data(), text.size()) == 0 ? word : Word::kOther;
  };
  switch (w.size()) {
    case 2:
      if (w[0] == 'a') return is("as", Word::kAs);
      if (w[0] == 'i') return is("if", Word::kIf);
      break;
    case 3:
      if (w[0] == 'd') return is("def", Word::kDef);
      if (w[0] == 't') return is("try", Word::kTry);
      if (w[0] == 'f') return is("for", Word::kFor);
      if (w[0] == 'n') return is("not", Word::kNot);
      break;
    case 4:
      if (w[0] == 'f') return is("from", Word::kFrom);
      if (w[0] == 'e')
        return w[1] == 'l' && w[2] == 'i' ? is("elif", Word::kElif) : is("else", Word::kElse);
      if (w[0] == 'w') return is("with", Word::kWith);
      if (w[0] == 'c') return is("case", Word::kCase);
      break;
    case 5:
      if (w[0] == 'c') return is("class", Word::kClass);
      if (w[0] == 'w') return is("while", Word::kWhile);
      if (w[0] == 'a') return is("async", Word::kAsync);
      if (w[0] == 'm') return is("match", Word::kMatch);
      break;
    case 6:
      if (w[0] == 'i') return is("import", Word::kImport);
      if (w[0] == 'e') return is("except", Word::kExcept);
      if (w[0] == 'l') return is("lambda", Word::kLambda);
      break;
    case 7:
      if (w[0] == 'f') return is("finally", Word::kFinally);
      break;
    default:
      break;
  }
  return Word::kOther;
}

// How many '\n' bytes [first, last) holds, eight bytes at a time.
std::size_t count_newlines(const char* first, const char* last) noexcept {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
  std::size_t n = 0;
  while (last - first >= 8) {
    std::uint64_t word;
    std::memcpy(&word, first, sizeof word);
    const std::uint64_t x = word ^ (kOnes * '\n');
    // The top bit of each byte is set exactly where x has a zero byte.
    const std::uint64_t zero = ~(((x & kLow7) + kLow7) | x | kLow7);
    n += static_cast<std::size_t>(((zero >> 7) * kOnes) >> 56);  // sum of the 0/1 bytes
    first += 8;
  }
  for (; first < last; ++first) n += *first == '\n';
  return n;
}

// Exception names whose handler catches a failed import.
bool catches_import_error(std::string_view name) noexcept {
  return name == "ImportError" || name == "ModuleNotFoundError" || name == "Exception" ||
         name == "BaseException";
}

// ---- blocks -------------------------------------------------------------------

enum class BlockKind : std::uint8_t { kDef, kClass, kIf, kTry, kLoop, kMatch, kOther };

struct Block {
  int indent;  // column of the header's first token
  BlockKind kind;
  std::uint8_t flags;        // context of the current clause's body
  std::uint8_t outer_flags;  // context of the enclosing body
  bool else_type_checking;   // after `[el]if not TYPE_CHECKING:`, the clauses that follow are
  bool try_open;             // a try whose body has not ended yet
  bool try_marked;           // its body's records are already marked guarded
  std::uint32_t fn_depth;    // defs enclosing the header
  std::uint32_t try_start;   // records of the try body: [try_start, try_end)
  std::uint32_t try_end;
};

bool continues(BlockKind kind, Word w) noexcept {
  switch (kind) {
    case BlockKind::kIf:
      return w == Word::kElif || w == Word::kElse;
    case BlockKind::kLoop:
      return w == Word::kElse;
    case BlockKind::kTry:
      return w == Word::kExcept || w == Word::kElse || w == Word::kFinally;
    default:
      return false;
  }
}

// What a header's tokens say, gathered while looking for its colon.
struct HeaderFacts {
  enum class Test : std::uint8_t { kStart, kNot, kName, kDot, kOther };
  Test test = Test::kStart;  // shape of an if/elif test: [not] NAME(.NAME)*, in parentheses or not
  bool negated = false;
  std::uint32_t opened = 0;    // parentheses around the shape (or its NAMEs), opened
  std::uint32_t closed = 0;    // and closed
  std::string_view last_name;  // the last NAME of that shape
  bool bare_except = true;     // no token after `except`
  bool catches = false;        // an except clause naming a class that catches ImportError
  bool after_as = false;

  bool type_checking_test() const noexcept {
    return test == Test::kName && opened == closed && last_name == "TYPE_CHECKING";
  }
};

enum class HeaderEnd : std::uint8_t { kColon, kLineEnd, kSemicolon, kEof };

// ---- the scanner --------------------------------------------------------------

// The scanner's position. With `Count`, every move adds its length to
// `steps`, moves back included, so a rescan would show in the count; the
// reads ahead that do not move it are a word or a few bytes.
template <bool Count>
class Cursor {
 public:
  explicit Cursor(const char* p) noexcept : p_(p) {}
  operator const char*() const noexcept { return p_; }
  char operator*() const noexcept { return *p_; }
  char operator[](std::ptrdiff_t i) const noexcept { return p_[i]; }
  Cursor& operator=(const char* to) noexcept {
    move(to);
    return *this;
  }
  Cursor& operator++() noexcept {
    move(p_ + 1);
    return *this;
  }
  Cursor& operator+=(std::ptrdiff_t n) noexcept {
    move(p_ + n);
    return *this;
  }
  std::size_t steps() const noexcept { return steps_; }

 private:
  void move(const char* to) noexcept {
    if constexpr (Count) steps_ += static_cast<std::size_t>(to > p_ ? to - p_ : p_ - to);
    p_ = to;
  }
  const char* p_;
  std::size_t steps_ = 0;
};

template <bool Count>
class Scanner {
 public:
  explicit Scanner(std::string_view source)
      : begin_(source.data()), end_(source.data() + source.size()), p_(begin_) {
    has_cr_ = !source.empty() && std::memchr(begin_, '\r', source.size()) != nullptr;
    if (source.size() >= 3 && std::memcmp(begin_, "\xEF\xBB\xBF", 3) == 0) p_ += 3;
    text_begin_ = p_;
    counted_ = p_;
  }

  ImportList run() {
    while (p_ < end_) logical_line();
    out_.finish();
    return std::move(out_);
  }

  std::size_t steps() const noexcept { return p_.steps(); }

 private:
  // -- low-level movement --

  bool newline_at(const char* at) const noexcept {
    return at < end_ && (*at == '\n' || *at == '\r');
  }

  const char* after_newline(const char* at) const noexcept {
    if (*at == '\r' && at + 1 < end_ && at[1] == '\n') return at + 2;
    return at + 1;
  }

  // Past a backslash and the character it escapes (a CRLF counting as one).
  const char* after_escape(const char* at) const noexcept {
    if (at + 1 >= end_) return end_;
    if (at[1] == '\r' && at + 2 < end_ && at[2] == '\n') return at + 3;
    return at + 2;
  }

  // Moves to the line break (or the end) that ends the comment at p_.
  void skip_comment() noexcept {
    if (!has_cr_) {
      const void* nl = std::memchr(p_, '\n', static_cast<std::size_t>(end_ - p_));
      p_ = nl != nullptr ? static_cast<const char*>(nl) : end_;
      return;
    }
    while (p_ < end_ && *p_ != '\n' && *p_ != '\r') ++p_;
  }

  // Spaces, tabs, form feeds and backslash continuations within a line.
  void skip_inline_space() noexcept {
    while (p_ < end_) {
      const char c = *p_;
      if (c == ' ' || c == '\t' || c == '\f') {
        ++p_;
      } else if (c == '\\' && newline_at(p_ + 1)) {
        p_ = after_newline(p_ + 1);
      } else {
        break;
      }
    }
  }

  // The identifier starting at `at` (empty when none starts there).
  std::string_view word_at(const char* at) const noexcept {
    if (at >= end_ || !ident_start(u(*at))) return {};
    const char* e = at + 1;
    while (e < end_ && kTables.ident[u(*e)]) ++e;
    return {at, static_cast<std::size_t>(e - at)};
  }

  // The identifier at `at` when it may be a keyword (lower case, at most
  // seven letters); empty otherwise. Cheaper than word_at on every line.
  std::string_view keyword_at(const char* at) const noexcept {
    // First letters of the keywords a line or statement can start with.
    constexpr std::uint32_t kFirst =
        (1u << ('a' - 'a')) | (1u << ('c' - 'a')) | (1u << ('d' - 'a')) | (1u << ('e' - 'a')) |
        (1u << ('f' - 'a')) | (1u << ('i' - 'a')) | (1u << ('m' - 'a')) | (1u << ('t' - 'a')) |
        (1u << ('w' - 'a'));
    if (at >= end_ || *at < 'a' || *at > 'w' || ((kFirst >> (*at - 'a')) & 1u) == 0) return {};
    const char* e = at + 1;
    while (e < end_ && e - at < 8 && kTables.ident[u(*e)]) ++e;
    if (e - at == 8) return {};
    return {at, static_cast<std::size_t>(e - at)};
  }

  std::uint32_t line_at(const char* pos) noexcept {
    if (!has_cr_) {
      line_ += static_cast<std::uint32_t>(count_newlines(counted_, pos));
    } else {
      for (const char* c = counted_; c < pos; ++c) {
        if (*c == '\n') {
          ++line_;
        } else if (*c == '\r') {
          ++line_;
          if (c + 1 < pos && c[1] == '\n') ++c;
        }
      }
    }
    counted_ = pos;
    return line_;
  }

  // -- logical lines and statements --

  void logical_line() {
    int col = 0;
    // Spaces eight at a time: the first byte that is not one ends the run.
    while (end_ - p_ >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p_, sizeof word);
      const std::uint64_t other = word ^ 0x2020202020202020ULL;
      if (other == 0) {
        col += 8;
        p_ += 8;
        continue;
      }
      if constexpr (std::endian::native == std::endian::little) {
        const int run = std::countr_zero(other) / 8;
        col += run;
        p_ += run;
      }
      break;
    }
    while (p_ < end_) {
      const char c = *p_;
      if (c == ' ') {
        ++col;
        ++p_;
      } else if (c == '\t') {
        col = (col / 8 + 1) * 8;
        ++p_;
      } else if (c == '\f') {
        col = 0;
        ++p_;
      } else if (c == '\\' && newline_at(p_ + 1)) {
        p_ = after_newline(p_ + 1);
      } else {
        break;
      }
    }
    if (p_ >= end_) return;
    if (*p_ == '\n' || *p_ == '\r') {  // blank line
      p_ = after_newline(p_);
      return;
    }
    if (*p_ == '#') {  // comment-only line
      skip_comment();
      if (p_ < end_) p_ = after_newline(p_);
      return;
    }

    const std::string_view first = keyword_at(p_);
    Word w = classify(first);
    if (w == Word::kCase && !(!blocks_.empty() && blocks_.back().kind == BlockKind::kMatch &&
                              blocks_.back().indent < col)) {
      w = Word::kOther;  // `case` is a keyword only directly inside a match statement
    }
    close_blocks(col, w);
    depth_ = 0;
    switch (w) {
      case Word::kImport:
      case Word::kFrom:
        parse_import(w);
        rest_of_line();
        return;
      case Word::kDef:
      case Word::kClass:
      case Word::kIf:
      case Word::kElif:
      case Word::kElse:
      case Word::kTry:
      case Word::kExcept:
      case Word::kFinally:
      case Word::kFor:
      case Word::kWhile:
      case Word::kWith:
      case Word::kAsync:
      case Word::kMatch:
      case Word::kCase:
        header(col, w, first);
        return;
      default:
        rest_of_line();
        return;
    }
  }

  // Closes the blocks a line at column `col` starting with `w` leaves.
  void close_blocks(int col, Word w) {
    while (!blocks_.empty()) {
      const Block& b = blocks_.back();
      if (b.indent < col) break;
      if (b.indent == col && continues(b.kind, w)) break;
      if (b.kind == BlockKind::kDef) --fn_depth_;
      blocks_.pop_back();
    }
  }

  // Ordinary code up to the end of the logical line (skip_code keeps the
  // bracket count); a `;` outside brackets begins a new simple statement.
  void rest_of_line() {
    for (;;) {
      p_ = skip_code(p_, end_, depth_);
      if (p_ >= end_) return;
      switch (*p_) {
        case '\n':
        case '\r':
          p_ = after_newline(p_);
          if (depth_ == 0) return;
          break;
        case '#':
          skip_comment();
          break;
        case '\\':
          p_ = newline_at(p_ + 1) ? after_newline(p_ + 1) : p_ + 1;
          break;
        case '\'':
        case '"':
          string();
          break;
        case ';':
          ++p_;
          if (depth_ == 0) simple_statement();
          break;
        default:  // skip_code stops nowhere else
          ++p_;
          break;
      }
    }
  }

  // The start of a simple statement (after `;` or a header's colon).
  void simple_statement() {
    skip_inline_space();
    const Word w = classify(keyword_at(p_));
    if (w == Word::kImport || w == Word::kFrom) parse_import(w);
  }

  // -- compound statement headers --

  void header(int col, Word w, std::string_view keyword) {
    Block* clause = nullptr;
    if (!blocks_.empty() && blocks_.back().indent == col && continues(blocks_.back().kind, w)) {
      clause = &blocks_.back();
    }
    p_ = keyword.data() + keyword.size();
    if (w == Word::kAsync) {
      skip_inline_space();
      const std::string_view next = word_at(p_);
      const Word nw = classify(next);
      if (nw == Word::kDef || nw == Word::kFor || nw == Word::kWith) {
        w = nw;
        p_ = next.data() + next.size();
      }
    }

    HeaderFacts facts;
    switch (scan_header(w, facts)) {
      case HeaderEnd::kEof:
      case HeaderEnd::kLineEnd:
        return;
      case HeaderEnd::kSemicolon:
        simple_statement();
        rest_of_line();
        return;
      case HeaderEnd::kColon:
        break;
    }

    if (w == Word::kMatch) {
      // A match statement's header is alone on its line; otherwise `match`
      // was a name (`match: int = 0`) and the statement goes on.
      skip_inline_space();
      if (p_ >= end_ || *p_ == '#' || *p_ == '\n' || *p_ == '\r') {
        open_block(col, BlockKind::kMatch, facts);
      }
      rest_of_line();
      return;
    }

    if (clause != nullptr) {
      continue_block(*clause, w, facts);
    } else {
      open_block(col, kind_of(w), facts);
    }
    skip_inline_space();
    if (p_ < end_ && *p_ != '#' && *p_ != '\n' && *p_ != '\r') simple_statement();
    rest_of_line();
  }

  static BlockKind kind_of(Word w) noexcept {
    switch (w) {
      case Word::kDef:
        return BlockKind::kDef;
      case Word::kClass:
        return BlockKind::kClass;
      case Word::kIf:
        return BlockKind::kIf;
      case Word::kTry:
        return BlockKind::kTry;
      case Word::kFor:
      case Word::kWhile:
        return BlockKind::kLoop;
      default:
        return BlockKind::kOther;
    }
  }

  std::uint8_t body_flags() const noexcept { return blocks_.empty() ? 0 : blocks_.back().flags; }

  void open_block(int col, BlockKind kind, const HeaderFacts& facts) {
    Block b{};
    b.indent = col;
    b.kind = kind;
    b.outer_flags = body_flags();
    b.flags = b.outer_flags;
    b.fn_depth = fn_depth_;
    switch (kind) {
      case BlockKind::kDef:
        b.flags = static_cast<std::uint8_t>((b.flags & ~context::kClass) | context::kFunction);
        ++fn_depth_;
        break;
      case BlockKind::kClass:
        b.flags |= context::kClass;
        break;
      case BlockKind::kIf:
        if (facts.type_checking_test()) {
          if (facts.negated) {
            b.else_type_checking = true;
          } else {
            b.flags |= context::kTypeChecking;
          }
        }
        break;
      case BlockKind::kTry:
        b.try_open = true;
        b.try_start = static_cast<std::uint32_t>(out_.size());
        break;
      default:
        break;
    }
    blocks_.push_back(b);
  }

  void continue_block(Block& b, Word w, const HeaderFacts& facts) {
    b.flags = b.outer_flags;
    if (b.kind == BlockKind::kIf) {
      // Past a clause tested on `not TYPE_CHECKING`, every later clause runs
      // only when TYPE_CHECKING is true.
      const bool test = w == Word::kElif && facts.type_checking_test();
      if (b.else_type_checking || (test && !facts.negated)) b.flags |= context::kTypeChecking;
      if (test && facts.negated) b.else_type_checking = true;
      return;
    }
    if (b.kind != BlockKind::kTry) return;
    if (b.try_open) {
      b.try_open = false;
      b.try_end = static_cast<std::uint32_t>(out_.size());
    }
    if (w == Word::kExcept && !b.try_marked && (facts.bare_except || facts.catches)) {
      b.try_marked = true;
      mark_guarded(b);
    }
  }

  // Marks the records of a try body that run in the try's own function (a
  // def inside the body runs later, outside the try). Bodies already marked
  // are jumped over, so nested tries cost one visit per record in all.
  void mark_guarded(const Block& b) {
    std::uint32_t i = b.try_start;
    while (i < b.try_end) {
      if (skip_[i] > i) {
        i = skip_[i];
        continue;
      }
      if (fn_of_[i] == b.fn_depth) {
        out_.site(i).context |= context::kGuarded;
      }
      ++i;
    }
    if (b.try_start < b.try_end) skip_[b.try_start] = std::max(skip_[b.try_start], b.try_end);
  }

  // Scans a header's tokens up to its colon (not one of a lambda, not `:=`),
  // the end of its logical line, or a `;`.
  HeaderEnd scan_header(Word w, HeaderFacts& f) {
    int lambdas = 0;
    using Test = HeaderFacts::Test;
    // Only the tests of if/elif and the classes of except are read name by
    // name; other headers are skipped to their colon, watching for lambdas.
    const bool names = w == Word::kIf || w == Word::kElif || w == Word::kExcept;
    for (;;) {
      skip_inline_space();
      if (!names) p_ = skip_code<true>(p_, end_, depth_);
      if (p_ >= end_) return HeaderEnd::kEof;
      const char c = *p_;
      if (ident_start(u(c))) {
        if (p_ > begin_ && kTables.ident[u(p_[-1])]) {  // inside a name: an 'l' stop
          ++p_;
          continue;
        }
        const std::string_view name = word_at(p_);
        p_ = name.data() + name.size();
        const Word nw = classify(name);
        if (nw == Word::kLambda && depth_ == 0) ++lambdas;
        if (!names) continue;
        if (f.closed > 0) {
          f.test = Test::kOther;
        } else if (f.test == Test::kStart && nw == Word::kNot) {
          f.test = Test::kNot;
          f.negated = true;
        } else if (f.test == Test::kStart || f.test == Test::kNot || f.test == Test::kDot) {
          f.test = Test::kName;
          f.last_name = name;
        } else {
          f.test = Test::kOther;
        }
        if (w == Word::kExcept) {
          f.bare_except = false;
          if (nw == Word::kAs) f.after_as = true;
          if (!f.after_as && catches_import_error(name)) f.catches = true;
        }
        continue;
      }
      switch (c) {
        case '\n':
        case '\r':
          p_ = after_newline(p_);
          if (depth_ == 0) return HeaderEnd::kLineEnd;
          continue;
        case '#':
          skip_comment();
          continue;
        case '\\':  // a continuation is space; a stray backslash is not
          if (newline_at(p_ + 1)) {
            p_ = after_newline(p_ + 1);
            continue;
          }
          ++p_;
          break;
        case '\'':
        case '"':
          string();
          break;
        case '(':
        case '[':
        case '{':
          ++depth_;
          ++p_;
          if (c == '(' && f.closed == 0 && (f.test == Test::kStart || f.test == Test::kNot)) {
            ++f.opened;  // `(TYPE_CHECKING)`, `not (TYPE_CHECKING)`, `(not TYPE_CHECKING)`
            continue;
          }
          break;
        case ')':
        case ']':
        case '}':
          if (depth_ > 0) --depth_;
          ++p_;
          if (c == ')' && f.test == Test::kName && f.closed < f.opened) {
            ++f.closed;
            continue;
          }
          break;
        case ';':
          ++p_;
          if (depth_ == 0) return HeaderEnd::kSemicolon;
          break;
        case ':':
          if (p_ + 1 < end_ && p_[1] == '=') {
            p_ += 2;
            break;
          }
          ++p_;
          if (depth_ == 0) {
            if (lambdas == 0) return HeaderEnd::kColon;
            --lambdas;
          }
          break;
        case '.':
          ++p_;
          f.test = f.test == Test::kName && f.closed == 0 ? Test::kDot : Test::kOther;
          continue;
        default:
          ++p_;
          break;
      }
      f.test = Test::kOther;
      if (w == Word::kExcept) f.bare_except = false;
    }
  }

  // -- import statements --

  // Spaces and continuations between the tokens of an import statement; with
  // `in_parens`, line breaks and comments too.
  void skip_import_space(bool in_parens) noexcept {
    for (;;) {
      skip_inline_space();
      if (!in_parens || p_ >= end_) return;
      if (*p_ == '\n' || *p_ == '\r') {
        p_ = after_newline(p_);
      } else if (*p_ == '#') {
        skip_comment();
      } else {
        return;
      }
    }
  }

  bool read_name(std::string& out, bool& non_ascii) {
    const std::string_view w = word_at(p_);
    if (w.empty()) return false;
    for (const char c : w) non_ascii |= u(c) >= 0x80;
    out.append(w);
    p_ = w.data() + w.size();
    return true;
  }

  // NAME ('.' NAME)*, whitespace allowed around the dots.
  bool read_dotted(std::string& out, bool& non_ascii) {
    if (!read_name(out, non_ascii)) return false;
    for (;;) {
      const char* save = p_;
      skip_inline_space();
      if (p_ >= end_ || *p_ != '.') {
        p_ = save;
        return true;
      }
      ++p_;
      skip_inline_space();
      out.push_back('.');
      if (!read_name(out, non_ascii)) return false;
    }
  }

  bool at_keyword(Word w) const noexcept { return classify(word_at(p_)) == w; }

  // The names of `import`: DOTTED [as NAME] (, DOTTED [as NAME])*, pending
  // in the records like a from-list's. A dotted name written with space
  // around its dots is kept, without the space, in `dotted_`.
  bool read_import_names() {
    dotted_.clear();
    for (;;) {
      skip_inline_space();
      const char* start = p_;
      joined_.clear();
      bool non_ascii = false;  // counted again by pending_non_ascii
      if (!read_dotted(joined_, non_ascii)) return false;
      Alias alias{{start, static_cast<std::size_t>(p_ - start)}, {}};
      if (alias.name.size() != joined_.size()) alias.name = dotted_.emplace_back(joined_);
      skip_inline_space();
      if (at_keyword(Word::kAs)) {
        p_ += 2;
        skip_inline_space();
        alias.asname = word_at(p_);
        if (alias.asname.empty()) return false;
        p_ = alias.asname.data() + alias.asname.size();
        skip_inline_space();
      }
      pend(alias);
      if (p_ < end_ && *p_ == ',') {
        ++p_;
        continue;
      }
      return true;
    }
  }

  // The names of a from-list, NAME [as NAME] (, NAME [as NAME])*, pending
  // in the records as views of the text until the statement is known to be
  // whole, so a list that never closes costs no strings. In parentheses,
  // line breaks and comments are space and a trailing comma is allowed.
  bool read_from_names(bool in_parens) {
    for (;;) {
      skip_import_space(in_parens);
      if (in_parens && !out_.pending().empty() && p_ < end_ && *p_ == ')') return true;
      Alias alias{word_at(p_), {}};
      if (alias.name.empty()) return false;
      p_ = alias.name.data() + alias.name.size();
      skip_import_space(in_parens);
      if (at_keyword(Word::kAs)) {
        p_ += 2;
        skip_import_space(in_parens);
        alias.asname = word_at(p_);
        if (alias.asname.empty()) return false;
        p_ = alias.asname.data() + alias.asname.size();
        skip_import_space(in_parens);
      }
      pend(alias);
      if (p_ < end_ && *p_ == ',') {
        ++p_;
        continue;
      }
      return true;
    }
  }

  void pend(const Alias& alias) {
    out_.add_alias(alias.name, alias.asname);
    out_.reserve_names_at_density(static_cast<std::size_t>(p_ - text_begin_),
                                  static_cast<std::size_t>(end_ - text_begin_));
  }

  // Whether a pending name holds non-ASCII characters.
  bool pending_non_ascii() const noexcept {
    const auto non_ascii = [](std::string_view text) {
      return std::ranges::any_of(text, [](char c) { return u(c) >= 0x80; });
    };
    return std::ranges::any_of(out_.pending(), [&](const Alias& alias) {
      return non_ascii(alias.name) || non_ascii(alias.asname);
    });
  }

  void parse_import(Word w) {
    const char* keyword = p_;
    bool non_ascii = false;
    if (w == Word::kImport) {
      p_ += 6;
      if (!read_import_names()) return out_.drop_pending();
      out_.add_import(site_of(keyword, pending_non_ascii()));
      counted();
      return;
    }

    p_ += 4;
    std::uint64_t level = 0;
    for (;;) {
      skip_inline_space();
      if (p_ >= end_ || *p_ != '.') break;
      ++level;
      ++p_;
    }
    std::string module;
    if (!at_keyword(Word::kImport)) {
      if (!read_dotted(module, non_ascii)) return;
      skip_inline_space();
      if (!at_keyword(Word::kImport)) return;
    }
    p_ += 6;
    skip_inline_space();
    if (p_ < end_ && *p_ == '*') {
      ++p_;
      out_.add_alias("*");
    } else if (p_ < end_ && *p_ == '(') {
      ++p_;
      if (!read_from_names(true) || p_ >= end_ || *p_ != ')') {
        depth_ = 1;  // still inside the open parenthesis
        return out_.drop_pending();
      }
      ++p_;
    } else if (!read_from_names(false)) {
      return out_.drop_pending();
    }
    non_ascii |= pending_non_ascii();
    out_.add_import_from(module, level, site_of(keyword, non_ascii));
    counted();
  }

  // The site of a statement whose keyword is at `keyword`.
  Site site_of(const char* keyword, bool non_ascii) {
    Site site{line_at(keyword), body_flags()};
    if (non_ascii) site.context |= context::kNonAscii;
    return site;
  }
  // The side records of the statement just added; the room for the rest.
  void counted() {
    fn_of_.push_back(fn_depth_);
    skip_.push_back(0);
    const std::size_t room = out_.reserve_at_density(static_cast<std::size_t>(p_ - text_begin_),
                                                     static_cast<std::size_t>(end_ - text_begin_));
    if (room != 0) {
      fn_of_.reserve(room);
      skip_.reserve(room);
    }
  }

  // -- strings --

  enum : unsigned { kRaw = 1, kFormat = 2 };

  // The prefix of the string whose opening quote is at `quote`: the letters
  // right before it when they form a valid prefix and are not the end of a
  // longer name.
  unsigned prefix_flags(const char* quote) const noexcept {
    std::size_t n = 0;
    while (n < 3 && static_cast<std::size_t>(quote - text_begin_) > n &&
           kTables.ident[u(quote[-1 - static_cast<std::ptrdiff_t>(n)])]) {
      ++n;
    }
    if (n == 0 || n == 3) return 0;
    unsigned flags = 0;
    bool bytes = false;
    bool unicode = false;
    for (std::size_t i = 0; i < n; ++i) {
      switch (quote[-1 - static_cast<std::ptrdiff_t>(i)] | 0x20) {
        case 'r':
          if (flags & kRaw) return 0;
          flags |= kRaw;
          break;
        case 'f':
          if (flags & kFormat) return 0;
          flags |= kFormat;
          break;
        case 'b':
          if (bytes) return 0;
          bytes = true;
          break;
        case 'u':
          unicode = true;
          break;
        default:
          return 0;
      }
    }
    if (unicode && n != 1) return 0;
    if (bytes && (flags & kFormat)) return 0;
    return flags;
  }

  void string() {
    const char q = *p_;
    const unsigned flags = prefix_flags(p_);
    const bool triple = end_ - p_ >= 3 && p_[1] == q && p_[2] == q;
    if (flags & kFormat) {
      fstring(q, triple, (flags & kRaw) != 0);
    } else {
      plain_string(q, triple);
    }
  }

  // A string without replacement fields, from its opening quote. An
  // unterminated single-quoted string ends before the line break.
  void plain_string(char q, bool triple) {
    if (triple) {
      p_ += 3;
      for (;;) {
        const void* hit = std::memchr(p_, q, static_cast<std::size_t>(end_ - p_));
        if (hit == nullptr) {
          p_ = end_;
          return;
        }
        const char* h = static_cast<const char*>(hit);
        const char* b = h;
        while (b > p_ && b[-1] == '\\') --b;
        if ((h - b) % 2 == 0 && end_ - h >= 3 && h[1] == q && h[2] == q) {
          p_ = h + 3;
          return;
        }
        p_ = h + 1;
      }
    }
    ++p_;
    while (p_ < end_) {
      p_ = skip_string_text(p_, end_, q);
      if (p_ >= end_) return;
      const char c = *p_;
      if (c == q) {
        ++p_;
        return;
      }
      if (c == '\\') {
        p_ = after_escape(p_);
      } else if (c == '\n' || c == '\r') {
        return;
      } else {
        ++p_;
      }
    }
  }

  // An f-string, from its opening quote: literal text, replacement fields
  // with their expressions (which may hold strings and f-strings of any
  // quote, comments and line breaks) and format specs (literal text again,
  // with nested fields). One frame per open string or field, so nesting
  // needs no native recursion.
  struct FFrame {
    enum Mode : std::uint8_t { kText, kExpr, kSpec };
    char q;
    bool triple;
    bool raw;
    Mode mode;
    int depth;  // brackets open in a field's expression
  };

  void close_fstring(std::size_t quote_len) {
    while (!fstack_.empty() && fstack_.back().mode != FFrame::kText) fstack_.pop_back();
    if (!fstack_.empty()) fstack_.pop_back();
    p_ += quote_len;
  }

  void fstring(char q, bool triple, bool raw) {
    fstack_.clear();
    fstack_.push_back({q, triple, raw, FFrame::kText, 0});
    p_ += triple ? 3 : 1;
    while (!fstack_.empty()) {
      if (p_ >= end_) {
        fstack_.clear();
        return;
      }
      FFrame& f = fstack_.back();
      if (f.mode == FFrame::kExpr) {
        fstring_expr(f);
        continue;
      }
      while (p_ < end_ && !kTables.text_stop[u(*p_)]) ++p_;
      if (p_ >= end_) continue;
      const char c = *p_;
      if (c == '\\') {
        if (!f.raw && p_ + 2 < end_ && p_[1] == 'N' && p_[2] == '{') {
          p_ += 3;  // \N{NAME}: the braces belong to the escape
          while (p_ < end_ && *p_ != '}' && *p_ != f.q && *p_ != '\n' && *p_ != '\r') ++p_;
          if (p_ < end_ && *p_ == '}') ++p_;
        } else if (p_ + 1 < end_ && (p_[1] == '{' || p_[1] == '}')) {
          ++p_;  // a backslash does not escape a brace: `\{{` is `\` and `{{`
        } else {
          p_ = after_escape(p_);
        }
      } else if (c == f.q) {
        if (!f.triple) {
          close_fstring(1);
        } else if (end_ - p_ >= 3 && p_[1] == c && p_[2] == c) {
          close_fstring(3);
        } else {
          ++p_;
        }
      } else if (c == '{') {
        if (f.mode == FFrame::kText && p_ + 1 < end_ && p_[1] == '{') {
          p_ += 2;
        } else {
          const FFrame field{f.q, f.triple, f.raw, FFrame::kExpr, 0};
          fstack_.push_back(field);
          ++p_;
        }
      } else if (c == '}') {
        if (f.mode == FFrame::kSpec) {
          fstack_.pop_back();
          ++p_;
        } else {
          p_ += (p_ + 1 < end_ && p_[1] == '}') ? 2 : 1;
        }
      } else if (c == '\n' || c == '\r') {
        if (!f.triple) {  // unterminated: the line break ends it
          fstack_.clear();
          return;
        }
        ++p_;
      } else {
        ++p_;  // the other quote character
      }
    }
  }

  // One step through a replacement field's expression.
  void fstring_expr(FFrame& f) {
    const char c = *p_;
    switch (c) {
      case '\'':
      case '"': {
        const unsigned flags = prefix_flags(p_);
        const bool triple = end_ - p_ >= 3 && p_[1] == c && p_[2] == c;
        if (flags & kFormat) {
          const FFrame inner{c, triple, (flags & kRaw) != 0, FFrame::kText, 0};
          fstack_.push_back(inner);
          p_ += triple ? 3 : 1;
        } else {
          plain_string(c, triple);
        }
        return;
      }
      case '#':
        skip_comment();
        return;
      case '(':
      case '[':
      case '{':
        ++f.depth;
        break;
      case ')':
      case ']':
        if (f.depth > 0) --f.depth;
        break;
      case '}':
        if (f.depth > 0) {
          --f.depth;
        } else {
          fstack_.pop_back();
        }
        break;
      case ':':
        if (f.depth == 0) f.mode = FFrame::kSpec;
        break;
      default:
        break;
    }
    ++p_;
  }

  const char* const begin_;
  const char* const end_;
  Cursor<Count> p_;
  const char* text_begin_ = nullptr;  // after a BOM
  bool has_cr_ = false;

  const char* counted_ = nullptr;  // line_ is the line of this position
  std::uint32_t line_ = 1;

  int depth_ = 0;  // open brackets of the current logical line
  std::vector<Block> blocks_;
  std::uint32_t fn_depth_ = 0;
  std::vector<FFrame> fstack_;
  std::deque<std::string> dotted_;  // its dotted names written with space
  std::string joined_;              // the dotted name being read

  ImportList out_;
  std::vector<std::uint32_t> fn_of_;  // defs enclosing each record
  std::vector<std::uint32_t> skip_;   // end of a marked try body starting at each record
};

}  // namespace

ImportList scan_imports(std::string_view source) {
  return Scanner<false>(source).run();
}

std::size_t scan_steps(std::string_view source) {
  Scanner<true> scanner(source);
  scanner.run();
  return scanner.steps();
}

}  // namespace tarnwick
