// A small parsing-expression grammar engine in combinator style.
//
// A grammar is a set of types. Combinators (`seq`, `sor`, `star`, `plus`,
// `opt`, `at`, `not_at`, `lit`, `ilit`, `range`, `any`, ...) compose into rule
// bodies, and `rule<Id, Kind, Body>` turns a body into a named rule that may
// produce a parse node. Everything is resolved at compile time: the matching
// mode (non-atomic, compound-atomic, atomic) and whether we are inside a
// lookahead are template parameters, so each rule compiles to straight code.
//
// Matching semantics:
//  - every expression either succeeds, having consumed zero or more bytes, or
//    fails, leaving position and recorded nodes as they were;
//  - ordered choice commits to the first succeeding alternative, repetitions
//    are greedy; nothing is ever re-entered;
//  - lookaheads restore the position and never record nodes;
//  - in non-atomic mode, and only there, the grammar's whitespace rule is
//    skipped (repeatedly, in atomic mode) between the items of a sequence and
//    in front of every repetition item but the first; the skip belongs to the
//    following item and is given back when that item fails;
//  - rule kinds decide the mode of the body and whether the rule's node is
//    recorded (see `rule` below).
//
// Nodes are kept in one flat vector in document order (a node before its
// descendants). Each node stores the index one past its last descendant, so a
// subtree is a contiguous range and backtracking is a plain truncation.
//
// A rule may carry a second, faster body. It is used only when the parse runs
// in fast mode and must match exactly the same text with exactly the same
// nodes as the plain body; the plain body stays the reference, and the
// reference mode exists so the two can be compared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/str_cat.hpp"

namespace tarnwick::peg {

enum class Kind : std::uint8_t { normal, silent, atomic, compound_atomic, non_atomic };
enum class Mode : std::uint8_t { non_atomic, compound_atomic, atomic };

// One parse node. `next` is the index one past the node's last descendant.
template <class Pos>
struct BasicNode {
  std::uint32_t rule;
  Pos start;
  Pos end;
  Pos next;
};

// The node of the tree API; CompactNode halves the memory of the node array
// for inputs under 4 GiB.
using Node = BasicNode<std::size_t>;
using CompactNode = BasicNode<std::uint32_t>;
static_assert(sizeof(CompactNode) == 16);

// ---- parse state --------------------------------------------------------------

// The growing node array of a parse. Pushing and truncating are the hottest
// operations of the engine, so they are kept trivial and inline; the storage
// only ever grows.
template <class N>
class NodeBuffer {
  static_assert(std::is_trivially_copyable_v<N>);

 public:
  NodeBuffer() = default;
  NodeBuffer(const NodeBuffer&) = delete;
  NodeBuffer& operator=(const NodeBuffer&) = delete;
  ~NodeBuffer() { std::free(storage_); }

  std::size_t size() const noexcept { return count_; }
  bool empty() const noexcept { return count_ == 0; }
  N* data() noexcept { return storage_; }
  const N* data() const noexcept { return storage_; }
  N& operator[](std::size_t i) noexcept { return storage_[i]; }
  const N& operator[](std::size_t i) const noexcept { return storage_[i]; }

  // Opens a node of `rule` at `start`; its end and subtree are set when it
  // closes. The fields are written one by one, which keeps the hot path free
  // of a temporary node.
  [[gnu::always_inline]] void open(std::uint32_t rule, std::size_t start) {
    if (count_ == capacity_) [[unlikely]]
      grow();
    N& n = storage_[count_++];
    n.rule = rule;
    n.start = static_cast<decltype(n.start)>(start);
    n.end = n.start;
    n.next = 0;
  }
  // Drops every node from index `count` on.
  void truncate(std::size_t count) noexcept {
    if (count < count_) count_ = count;
  }
  std::vector<N> to_vector() const { return std::vector<N>(data(), data() + count_); }

 private:
  // New storage is left uninitialised (nodes are written before they are
  // read). The nodes are plain bytes, so the block grows by realloc: once it
  // is large enough to be a mapping of its own, the allocator moves its pages
  // instead of copying them into fresh ones.
  [[gnu::noinline, gnu::cold]] void grow() {
    const std::size_t capacity = capacity_ == 0 ? 64 : capacity_ * 2;
    void* bigger = std::realloc(storage_, capacity * sizeof(N));
    if (bigger == nullptr) throw std::bad_alloc();
    storage_ = static_cast<N*>(bigger);
    capacity_ = capacity;
  }
  N* storage_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t count_ = 0;
};

// The listener is told about every node that closes successfully outside a
// lookahead. The default does nothing.
struct NoListener {
  template <auto Id, class S>
  static void closed(S&, std::size_t) noexcept {}
};

namespace detail {
struct NoMemo {};
template <class G>
struct memo_of {
  using type = NoMemo;
};
template <class G>
requires requires {
  typename G::memo;
}
struct memo_of<G> {
  using type = typename G::memo;
};
}  // namespace detail

// `G` describes the grammar: `G::rule_type` (the rule enumeration) and
// `G::whitespace` (the rule skipped implicitly, or void for none); optionally
// `G::memo`, per-parse scratch space for the fast bodies. `Count` makes the
// state count the bytes the matchers read (`steps`), for the checks that the
// work stays proportional to the input; it costs nothing when off.
template <class G, bool Fast, bool Track, class Listener = NoListener, class N = Node,
          bool Count = false>
class State {
 public:
  using grammar = G;
  using node_type = N;
  using whitespace = typename G::whitespace;
  static constexpr bool fast = Fast;
  static constexpr bool track = Track;
  static constexpr bool counting = Count;
  std::size_t steps = 0;

  State(std::string_view input, Listener* listener = nullptr)
      : in(reinterpret_cast<const unsigned char*>(input.data())),
        len(input.size()),
        listener_(listener) {}

  const unsigned char* in;
  std::size_t len;
  std::size_t pos = 0;
  NodeBuffer<N> nodes;
  typename detail::memo_of<G>::type memo{};

  // Furthest position at which a rule failed, and the rules that failed there
  // (in order of first failure). Only filled when tracking.
  std::size_t furthest = 0;
  std::vector<std::uint32_t> expected;

  bool at_end() const noexcept { return pos >= len; }
  unsigned char peek() const noexcept { return in[pos]; }
  void truncate(std::size_t count) noexcept { nodes.truncate(count); }

  template <auto Id>
  void closed(std::size_t index) {
    if constexpr (!std::is_same_v<Listener, NoListener>) {
      if (listener_ != nullptr) listener_->template closed<Id>(*this, index);
    }
  }

  void failed(std::uint32_t rule, std::size_t at) {
    if (at < furthest) return;
    if (at > furthest) {
      furthest = at;
      expected.clear();
    }
    for (auto r : expected) {
      if (r == rule) return;
    }
    expected.push_back(rule);
  }

 private:
  Listener* listener_;
};

// ---- helpers --------------------------------------------------------------------

// Adds `n` bytes read to the state's step count, when it keeps one.
template <class S>
[[gnu::always_inline]] inline void count_steps(S& s, std::size_t n) noexcept {
  if constexpr (S::counting) s.steps += n;
}

// Byte length of the UTF-8 sequence starting with `lead`. The input is valid
// UTF-8; a stray continuation byte counts as one byte.
constexpr std::size_t utf8_length(unsigned char lead) noexcept {
  if (lead < 0xC0) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

// Decodes the character at `pos`; returns its code point and sets `size`.
inline char32_t decode_utf8(const unsigned char* in, std::size_t len, std::size_t pos,
                            std::size_t& size) noexcept {
  const unsigned char lead = in[pos];
  std::size_t n = utf8_length(lead);
  if (pos + n > len) n = len - pos;
  size = n;
  if (n == 1) return lead;
  char32_t cp = lead & (n == 2 ? 0x1F : n == 3 ? 0x0F : 0x07);
  for (std::size_t i = 1; i < n; ++i) cp = (cp << 6) | (in[pos + i] & 0x3F);
  return cp;
}

// Skips the grammar's whitespace rule as often as it matches.
template <bool L, class S>
inline void skip_whitespace(S& s) {
  using WS = typename S::whitespace;
  if constexpr (!std::is_void_v<WS>) {
    for (;;) {
      const std::size_t before = s.pos;
      if (!WS::template match<Mode::atomic, L>(s) || s.pos == before) return;
    }
  }
}

template <Mode M, bool L, class S>
inline void implicit_whitespace(S& s) {
  if constexpr (M == Mode::non_atomic) skip_whitespace<L>(s);
}

// A literal usable as a template argument: lit<"import ">.
template <std::size_t N>
struct Chars {
  char data[N]{};
  constexpr Chars(const char (&s)[N]) {
    for (std::size_t i = 0; i < N; ++i) data[i] = s[i];
  }
  static constexpr std::size_t length = N - 1;
};

constexpr unsigned char ascii_lower(unsigned char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// ---- terminals --------------------------------------------------------------------

// "..." matched byte for byte.
template <Chars T>
struct lit {
  template <Mode, bool, class S>
  static bool match(S& s) noexcept {
    constexpr std::size_t n = decltype(T)::length;
    count_steps(s, n);
    if (s.len - s.pos < n) return false;
    for (std::size_t i = 0; i < n; ++i) {
      if (s.in[s.pos + i] != static_cast<unsigned char>(T.data[i])) return false;
    }
    s.pos += n;
    return true;
  }
};

// ^"..." matched with ASCII case folding.
template <Chars T>
struct ilit {
  template <Mode, bool, class S>
  static bool match(S& s) noexcept {
    constexpr std::size_t n = decltype(T)::length;
    count_steps(s, n);
    if (s.len - s.pos < n) return false;
    for (std::size_t i = 0; i < n; ++i) {
      if (ascii_lower(s.in[s.pos + i]) != ascii_lower(static_cast<unsigned char>(T.data[i]))) {
        return false;
      }
    }
    s.pos += n;
    return true;
  }
};

// One character whose code point lies in [Lo, Hi].
template <char32_t Lo, char32_t Hi>
struct range {
  template <Mode, bool, class S>
  static bool match(S& s) noexcept {
    if (s.at_end()) return false;
    count_steps(s, 1);
    const unsigned char c = s.peek();
    if constexpr (Hi < 0x80) {
      if (c < Lo || c > Hi) return false;
      ++s.pos;
      return true;
    } else {
      std::size_t size = 1;
      const char32_t cp = c < 0x80 ? c : decode_utf8(s.in, s.len, s.pos, size);
      if (cp < Lo || cp > Hi) return false;
      s.pos += size;
      return true;
    }
  }
};

// ANY: one character.
struct any {
  template <Mode, bool, class S>
  static bool match(S& s) noexcept {
    if (s.at_end()) return false;
    count_steps(s, 1);
    const std::size_t n = utf8_length(s.peek());
    s.pos = s.len - s.pos < n ? s.len : s.pos + n;
    return true;
  }
};

// SOI: only at position 0, consumes nothing.
struct soi {
  template <Mode, bool, class S>
  static bool match(S& s) noexcept {
    return s.pos == 0;
  }
};

// The body of the EOI rule: only at the end, consumes nothing.
struct end_of_input {
  template <Mode, bool, class S>
  static bool match(S& s) noexcept {
    return s.at_end();
  }
};

// NEWLINE: "\n" / "\r\n" / "\r".
struct newline {
  template <Mode, bool, class S>
  static bool match(S& s) noexcept {
    if (s.at_end()) return false;
    count_steps(s, 1);
    const unsigned char c = s.peek();
    if (c == '\n') {
      ++s.pos;
      return true;
    }
    if (c != '\r') return false;
    s.pos += (s.pos + 1 < s.len && s.in[s.pos + 1] == '\n') ? 2 : 1;
    return true;
  }
};

constexpr bool is_pattern_white_space(char32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0x200E || c == 0x200F ||
         c == 0x2028 || c == 0x2029;
}

// PATTERN_WHITE_SPACE: one character with that Unicode property.
struct pattern_white_space {
  template <Mode, bool, class S>
  static bool match(S& s) noexcept {
    if (s.at_end()) return false;
    count_steps(s, 1);
    std::size_t size = 1;
    const char32_t cp = decode_utf8(s.in, s.len, s.pos, size);
    if (!is_pattern_white_space(cp)) return false;
    s.pos += size;
    return true;
  }
};

// ---- combinators --------------------------------------------------------------------

namespace detail {
template <Mode M, bool L, class S, class First, class... Rest>
inline bool seq_items(S& s) {
  if (!First::template match<M, L>(s)) return false;
  return ((implicit_whitespace<M, L>(s), Rest::template match<M, L>(s)) && ...);
}

// Matches further repetition items: each is a whitespace skip plus the item,
// given back together when the item fails.
template <Mode M, bool L, class E, class S>
inline void more_items(S& s) {
  for (;;) {
    const std::size_t pos = s.pos;
    const std::size_t count = s.nodes.size();
    implicit_whitespace<M, L>(s);
    if (!E::template match<M, L>(s)) {
      s.pos = pos;
      s.truncate(count);
      return;
    }
    // An item that consumed nothing would repeat forever; no grammar of ours
    // has one, but stop rather than loop.
    if (s.pos == pos) return;
  }
}
}  // namespace detail

// a ~ b ~ ...
template <class... E>
struct seq {
  template <Mode M, bool L, class S>
  static bool match(S& s) {
    const std::size_t pos = s.pos;
    const std::size_t count = s.nodes.size();
    if (detail::seq_items<M, L, S, E...>(s)) return true;
    s.pos = pos;
    s.truncate(count);
    return false;
  }
};

// a / b / ...: the first alternative that matches. Each alternative restores
// the state itself when it fails.
template <class... E>
struct sor {
  template <Mode M, bool L, class S>
  static bool match(S& s) {
    return (E::template match<M, L>(s) || ...);
  }
};

// e*
template <class E>
struct star {
  template <Mode M, bool L, class S>
  static bool match(S& s) {
    if (E::template match<M, L>(s)) detail::more_items<M, L, E>(s);
    return true;
  }
};

// e+
template <class E>
struct plus {
  template <Mode M, bool L, class S>
  static bool match(S& s) {
    if (!E::template match<M, L>(s)) return false;
    detail::more_items<M, L, E>(s);
    return true;
  }
};

// e?
template <class E>
struct opt {
  template <Mode M, bool L, class S>
  static bool match(S& s) {
    E::template match<M, L>(s);
    return true;
  }
};

// &e
template <class E>
struct at {
  template <Mode M, bool, class S>
  static bool match(S& s) {
    const std::size_t pos = s.pos;
    const bool ok = E::template match<M, true>(s);
    s.pos = pos;
    return ok;
  }
};

// !e
template <class E>
struct not_at {
  template <Mode M, bool, class S>
  static bool match(S& s) {
    const std::size_t pos = s.pos;
    const bool ok = E::template match<M, true>(s);
    s.pos = pos;
    return !ok;
  }
};

// Matches `E` in atomic mode, whatever the caller's mode (no rule, no node).
template <class E>
struct atomically {
  template <Mode, bool L, class S>
  static bool match(S& s) {
    return E::template match<Mode::atomic, L>(s);
  }
};

// Tries `E` only when `Pred` accepts the next byte; used by fast bodies to
// skip alternatives that cannot match there. Fails at the end of the input.
template <class Pred, class E>
struct when_next {
  template <Mode M, bool L, class S>
  static bool match(S& s) {
    count_steps(s, 1);
    if (s.at_end() || !Pred::test(s.peek())) return false;
    return E::template match<M, L>(s);
  }
};

// ---- rules -----------------------------------------------------------------------

constexpr Mode body_mode(Kind kind, Mode caller) noexcept {
  switch (kind) {
    case Kind::atomic:
      return Mode::atomic;
    case Kind::compound_atomic:
      return Mode::compound_atomic;
    case Kind::non_atomic:
      return Mode::non_atomic;
    default:
      return caller;
  }
}

constexpr bool produces_node(Kind kind, Mode caller) noexcept {
  switch (kind) {
    case Kind::normal:
    case Kind::atomic:
      return caller != Mode::atomic;
    case Kind::silent:
      return false;
    default:
      return true;
  }
}

// A named rule. `Fast`, when given, is used instead of `Body` in fast mode and
// must be equivalent to it.
template <auto Id, Kind K, class Body, class Fast = void>
struct rule {
  static constexpr auto id = Id;
  static constexpr Kind kind = K;
  using body = Body;

  template <Mode M, bool L, class S>
  static bool match(S& s) {
    constexpr Mode inner = body_mode(K, M);
    constexpr bool record = !L && produces_node(K, M);
    const std::size_t start = s.pos;
    std::size_t index = 0;
    if constexpr (record) {
      index = s.nodes.size();
      s.nodes.open(static_cast<std::uint32_t>(Id), start);
    }
    bool ok;
    if constexpr (S::fast && !std::is_void_v<Fast>) {
      ok = Fast::template match<inner, L>(s);
    } else {
      ok = Body::template match<inner, L>(s);
    }
    if (ok) {
      if constexpr (record) {
        auto& n = s.nodes[index];
        n.end = static_cast<decltype(n.end)>(s.pos);
        n.next = static_cast<decltype(n.next)>(s.nodes.size());
        s.template closed<Id>(index);
      }
      return true;
    }
    if constexpr (record) s.truncate(index);
    s.pos = start;
    // Only rules that would have recorded a node count as expected there.
    if constexpr (S::track && record) s.failed(static_cast<std::uint32_t>(Id), start);
    return false;
  }
};

// ---- the tree ------------------------------------------------------------------------

template <class R, class N = Node>
class Siblings;

// A handle on one node: the flat node array it lives in, the input the
// positions refer to, and its index.
template <class R, class N = Node>
class NodeRef {
 public:
  NodeRef(const N* nodes, std::string_view input, std::size_t index)
      : nodes_(nodes), input_(input), index_(index) {}

  R rule() const { return static_cast<R>(nodes_[index_].rule); }
  std::size_t start() const { return nodes_[index_].start; }
  std::size_t end() const { return nodes_[index_].end; }
  std::string_view text() const { return input_.substr(start(), end() - start()); }
  std::size_t index() const { return index_; }
  // Index one past the node's last descendant.
  std::size_t subtree_end() const { return nodes_[index_].next; }

  // The node's children, in input order.
  Siblings<R, N> children() const {
    return Siblings<R, N>(nodes_, input_, index_ + 1, subtree_end());
  }

  bool operator==(const NodeRef& other) const {
    return nodes_ == other.nodes_ && index_ == other.index_;
  }

 private:
  const N* nodes_;
  std::string_view input_;
  std::size_t index_;
};

// A run of sibling nodes: the nodes at `first`, nodes[first].next, ... up to
// (not including) `last`.
template <class R, class N>
class Siblings {
 public:
  class iterator {
   public:
    using value_type = NodeRef<R, N>;
    using difference_type = std::ptrdiff_t;
    iterator() = default;
    iterator(const N* nodes, std::string_view input, std::size_t index)
        : nodes_(nodes), input_(input), index_(index) {}
    NodeRef<R, N> operator*() const { return NodeRef<R, N>(nodes_, input_, index_); }
    iterator& operator++() {
      index_ = nodes_[index_].next;
      return *this;
    }
    iterator operator++(int) {
      iterator old = *this;
      ++*this;
      return old;
    }
    bool operator==(const iterator& other) const { return index_ == other.index_; }

   private:
    const N* nodes_ = nullptr;
    std::string_view input_;
    std::size_t index_ = 0;
  };

  Siblings(const N* nodes, std::string_view input, std::size_t first, std::size_t last)
      : nodes_(nodes), input_(input), first_(first), last_(last) {}
  iterator begin() const { return iterator(nodes_, input_, first_); }
  iterator end() const { return iterator(nodes_, input_, last_); }
  bool empty() const { return first_ == last_; }
  std::size_t size() const {
    std::size_t n = 0;
    for (auto it = begin(); it != end(); ++it) ++n;
    return n;
  }

 private:
  const N* nodes_;
  std::string_view input_;
  std::size_t first_;
  std::size_t last_;
};

// The nodes of one successful parse, in document order, referring into the
// input (which must outlive the tree).
template <class R>
class Tree {
 public:
  Tree() = default;
  Tree(std::string_view input, std::vector<Node> nodes) : input_(input), nodes_(std::move(nodes)) {}

  std::string_view input() const { return input_; }
  const std::vector<Node>& nodes() const { return nodes_; }
  std::size_t size() const { return nodes_.size(); }
  NodeRef<R> node(std::size_t index) const { return NodeRef<R>(nodes_.data(), input_, index); }
  // The top-level nodes: those recorded outside any other node.
  Siblings<R> roots() const { return Siblings<R>(nodes_.data(), input_, 0, nodes_.size()); }

 private:
  std::string_view input_;
  std::vector<Node> nodes_;
};

// A failed parse: the furthest position at which a rule was attempted and
// failed, and the rules that failed there.
template <class R>
struct Failure {
  std::size_t position = 0;
  std::vector<R> expected;
};

template <class R>
class Result {
 public:
  explicit Result(Tree<R> tree) : ok_(true), tree_(std::move(tree)) {}
  explicit Result(Failure<R> failure) : ok_(false), failure_(std::move(failure)) {}
  bool ok() const { return ok_; }
  const Tree<R>& tree() const { return tree_; }
  const Failure<R>& failure() const { return failure_; }

 private:
  bool ok_;
  Tree<R> tree_;
  Failure<R> failure_;
};

enum class Engine : std::uint8_t { fast, reference };

// Matches `Start` at the state's position; a parse starts in non-atomic mode.
template <class Start, class S>
bool match_start(S& s) {
  return Start::template match<Mode::non_atomic, false>(s);
}

// Parses `input` from `Start`. On failure the parse is repeated in reference
// mode with failure tracking, so the fast path pays nothing for it.
template <class G, class Start>
Result<typename G::rule_type> parse(std::string_view input, Engine engine = Engine::fast) {
  using R = typename G::rule_type;
  if (engine == Engine::fast) {
    State<G, true, false> s(input);
    if (match_start<Start>(s)) return Result<R>(Tree<R>(input, s.nodes.to_vector()));
  } else {
    State<G, false, false> s(input);
    if (match_start<Start>(s)) return Result<R>(Tree<R>(input, s.nodes.to_vector()));
  }
  State<G, false, true> s(input);
  match_start<Start>(s);
  Failure<R> failure;
  failure.position = s.furthest;
  for (auto r : s.expected) failure.expected.push_back(static_cast<R>(r));
  return Result<R>(std::move(failure));
}

// Renders a node and its descendants as "(name start end child...)".
template <class R, class NameFn>
void append_sexpr(std::string& out, NodeRef<R> node, NameFn&& name) {
  str_append(out, '(', name(node.rule()), ' ', node.start(), ' ', node.end());
  for (auto child : node.children()) {
    out.push_back(' ');
    append_sexpr(out, child, name);
  }
  out.push_back(')');
}

// Renders all top-level nodes, separated by spaces.
template <class R, class NameFn>
std::string to_sexpr(const Tree<R>& tree, NameFn&& name) {
  std::string out;
  for (auto node : tree.roots()) {
    if (!out.empty()) out.push_back(' ');
    append_sexpr(out, node, name);
  }
  return out;
}

}  // namespace tarnwick::peg
