// Import statement extraction.
//
// `parse` does not build the whole tree: the grammar's top rule is a
// repetition of `expr`, and an `expr` that has matched inside it is final, so
// each one is turned into records as soon as it closes and its nodes are
// dropped. The records come out in the same (document) order as a walk over
// the full tree would give, and the node array stays a few entries long.
#include "contract/parser.hpp"

#include <cstddef>
#include <optional>
#include <utility>

#include "common/error.hpp"

namespace tarnwick {

namespace {

// The walk works on both node widths: `Ref` is a peg::NodeRef over either.
template <class Ref>
void expect_rule(Ref node, Rule expected) {
  if (node.rule() != expected) {
    fail("assertion failed: `(left == right)`\n  left: `", rule_name(node.rule()), "`,\n right: `",
         rule_name(expected), "`");
  }
}

// The first node of a run of children; fails when there is none.
template <class Run>
auto required(const Run& run, typename Run::iterator it) {
  if (it == run.end()) fail(kAbsentValue);
  return *it;
}

// The name and the asname of an alias's text. An alias is a dotted name,
// then optionally spaces, `as`, spaces and a name, with no other whitespace
// and no spaces inside the dotted name: the text up to the first space is
// the name and after the last space the asname.
std::pair<std::string_view, std::string_view> split_alias(std::string_view text) {
  const std::size_t first_space = text.find(' ');
  if (first_space == std::string_view::npos) return {text, {}};
  return {text.substr(0, first_space), text.substr(text.rfind(' ') + 1)};
}

// Adds the names of an `alias` node to the statement being built.
template <class Ref>
void read_alias(Ref node, ImportList& out) {
  expect_rule(node, Rule::alias);
  const auto [name, asname] = split_alias(node.text());
  out.add_alias(name, asname);
}

template <class Ref>
void read_alias_list(Ref list, ImportList& out) {
  for (auto alias : list.children()) read_alias(alias, out);
}

template <class Ref>
std::string debug_render(Ref node) {
  std::string out = str_cat('(', rule_name(node.rule()), ' ', node.start(), ' ', node.end());
  for (auto child : node.children()) str_append(out, ' ', debug_render(child));
  out.push_back(')');
  return out;
}

template <class Ref>
void extract_import(Ref node, ImportList& out) {
  const auto children = node.children();
  const auto list = required(children, children.begin());
  expect_rule(list, Rule::alias_list);
  read_alias_list(list, out);
  out.add_import();
}

template <class Ref>
void extract_import_from(Ref node, ImportList& out) {
  const auto children = node.children();
  auto it = children.begin();
  const auto spec = required(children, it);
  expect_rule(spec, Rule::module_spec);
  // The module spec: a dotted name, or dots and an optional dotted name.
  const auto spec_children = spec.children();
  auto part = spec_children.begin();
  const auto first = required(spec_children, part);
  std::uint64_t level = 0;
  std::string_view module;
  switch (first.rule()) {
    case Rule::qualified_name:
      module = first.text();
      break;
    case Rule::dots:
      level = first.text().size();
      ++part;
      if (part != spec_children.end()) module = (*part).text();
      break;
    default:
      fail("Unexpected rule while parsing module spec: ", debug_render(first));
  }
  ++it;
  const auto list = required(children, it);
  expect_rule(list, Rule::from_alias_list);
  for (auto child : list.children()) {
    switch (child.rule()) {
      case Rule::alias:
        read_alias(child, out);
        break;
      case Rule::alias_list:
        read_alias_list(child, out);
        break;
      case Rule::additional:
        for (auto inner : child.children()) {
          if (inner.rule() == Rule::alias) read_alias(inner, out);
        }
        break;
      default:  // comments inside a parenthesised list
        break;
    }
  }
  out.add_import_from(module, level);
}

// Visits the nodes [first, last) in document order.
template <class N>
void extract_range(const N* nodes, std::string_view input, std::size_t first, std::size_t last,
                   ImportList& out) {
  using Ref = peg::NodeRef<Rule, N>;
  for (std::size_t i = first; i < last; ++i) {
    const auto rule = static_cast<Rule>(nodes[i].rule);
    if (rule == Rule::import) {
      extract_import(Ref(nodes, input, i), out);
    } else if (rule == Rule::import_from) {
      extract_import_from(Ref(nodes, input, i), out);
    }
  }
}

// The rules whose nodes the extraction reads below an `expr`.
constexpr bool extraction_reads(Rule rule) noexcept {
  switch (rule) {
    case Rule::import:
    case Rule::import_from:
    case Rule::module_spec:
    case Rule::dots:
    case Rule::qualified_name:
    case Rule::alias_list:
    case Rule::from_alias_list:
      return true;
    default:
      return false;
  }
}

// Receives every `expr` as it closes, extracts its records and drops its
// nodes. Names skip the tree: each alias goes to the records as it closes,
// as views of the input, and its node is dropped; the statement that holds
// it takes the pending names when its `expr` closes. Every other node the
// extraction does not read is dropped as it closes too (the commas of a
// from-list, comments, blank lines between expressions), so the tree holds
// no more than the statement being read, and that without its names.
//
// An alias that closes inside a statement that matches is one of its names:
// around an alias the grammar has no alternative that could fail after it
// and let another match instead. Every sequence holding an alias ends the
// statement's attempt when it fails, the two forms of a from-list begin with
// different characters ("(" or a name), and an `expr` tries one statement
// rule (chosen by its first byte). So the only names that were never part of
// a statement are those of a statement that failed as a whole; the `expr`
// then matches as another rule, and its close drops them. The parser fuzz
// target holds this to the walk over the whole tree.
class StreamingExtractor {
 public:
  explicit StreamingExtractor(std::string_view input) : input_(input) {}

  template <auto Id, class S>
  void closed(S& s, std::size_t index) {
    if constexpr (Id == Rule::qualified_name) {
      // Only the dotted name's text is read, never its parts: dropping them
      // as it closes keeps a long dotted name one node.
      s.truncate(index + 1);
      s.nodes[index].next = static_cast<decltype(s.nodes[index].next)>(index + 1);
    } else if constexpr (Id == Rule::alias) {
      const auto& node = s.nodes[index];
      const auto [name, asname] = split_alias(input_.substr(node.start, node.end - node.start));
      records_.add_alias(name, asname);
      records_.reserve_names_at_density(node.end, input_.size());
      s.truncate(index);
    } else if constexpr (Id == Rule::expr) {
      if (!error_) {
        try {
          records_.reserve_at_density(s.nodes[index].end, input_.size());
          extract_range(s.nodes.data(), input_, index, s.nodes.size(), records_);
        } catch (InternalError& e) {
          error_.emplace(std::move(e));
        }
      }
      records_.drop_pending();  // of a statement that failed, if any
      s.truncate(index);
    } else if constexpr (!extraction_reads(Id)) {
      s.truncate(index);
    }
  }

  ImportList& records() { return records_; }
  const std::optional<InternalError>& error() const { return error_; }

 private:
  std::string_view input_;
  ImportList records_;
  std::optional<InternalError> error_;
};

}  // namespace

ImportList extract_imports(const ParseTree& tree) {
  ImportList out;
  extract_range(tree.nodes().data(), tree.input(), 0, tree.size(), out);
  out.finish();
  return out;
}

namespace {

template <class N, bool Count = false>
ImportList parse_with(std::string_view source, bool count_repeats, std::size_t* steps = nullptr) {
  StreamingExtractor extractor(source);
  if (count_repeats) extractor.records().count_repeats();
  peg::State<grammar::Python, true, false, StreamingExtractor, N, Count> state(source, &extractor);
  const bool matched = peg::match_start<grammar::python>(state);
  if constexpr (Count) *steps = state.steps;
  // The top rule ends in a catch-all line rule, so it matches every text (the
  // fuzz targets and the adversarial table hold it to that).
  if (!matched) fail("Could not parse file: the grammar matched no text");
  if (extractor.error()) throw *extractor.error();
  extractor.records().finish();
  return std::move(extractor.records());
}

ImportList parse_sized(std::string_view source, bool count_repeats) {
  // Positions fit in 32 bits below 4 GiB; the smaller nodes halve the memory
  // of long statements.
  if (source.size() < (std::size_t{1} << 32)) {
    return parse_with<peg::CompactNode>(source, count_repeats);
  }
  return parse_with<peg::Node>(source, count_repeats);
}

}  // namespace

ImportList parse(std::string_view source) {
  return parse_sized(source, false);
}

ImportList parse_counting_repeats(std::string_view source) {
  return parse_sized(source, true);
}

std::size_t parse_steps(std::string_view source) {
  std::size_t steps = 0;
  parse_with<peg::Node, true>(source, false, &steps);
  return steps;
}

}  // namespace tarnwick
