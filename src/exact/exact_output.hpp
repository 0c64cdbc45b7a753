// What the exact engine's graph looks like to people and other programs: the
// wording of its problems, its JSON and DOT texts, its shortest import
// chains, and the graph with outside packages folded into their top-level
// names. Everything here reads ExactGraph through its public interface.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "exact/exact_graph.hpp"

namespace tarnwick {

// `text` (UTF-8) as Python's repr() writes a str: in single quotes, or in
// double quotes when it holds a single quote and no double quote; the quote,
// backslashes and characters that are not printable escaped. Printability
// follows a table of the assigned characters that are not (controls,
// formats, separators, private use, surrogates, noncharacters); a code
// point no Unicode version assigns yet is written as it is. A byte that is
// not UTF-8 counts as the lone surrogate Python's surrogateescape makes of it.
std::string python_repr(std::string_view text);

// The name of a problem's kind: not_found, no_parent_package,
// beyond_top_level, unreadable.
std::string_view problem_kind_name(Problem::Kind kind) noexcept;

// Python's own wording of a problem, as its import system would raise it
// ("No module named 'x'", with "; 'p' is not a package" when the parent is
// a module; the two relative-import messages), or for an unreadable file
// the detail of why.
std::string problem_reason(const Problem& problem);

// A graph as the writers read it, by index: modules in output order, each
// with its imports as ascending indices. output_of(ExactGraph) fills one
// with views into the graph; a caller holding another graph can fill one
// itself. Views must outlive the writers' calls.
struct OutputGraph {
  struct Module {
    std::string_view name;
    std::string_view kind;
    std::optional<std::string_view> origin;
    std::int64_t depth = 0;
    std::span<const std::uint32_t> imports;
  };
  struct Issue {
    std::optional<std::string_view> importer;  // none: a requested module
    std::string_view name;
    std::uint32_t line = 0;
    std::string reason;
    std::string_view kind;
  };
  std::vector<Module> modules;
  std::vector<std::uint32_t> roots;
  std::vector<Issue> problems;
};

OutputGraph output_of(const ExactGraph& graph);

// The graph as Python's json.dumps(data, indent=indent) writes
// {"roots": [...], "modules": [{"name", "kind", "origin", "depth",
// "imports"}, ...], "problems": [{"importer", "name", "line", "reason",
// "kind"}, ...]}, byte for byte: ASCII only (other characters as \u
// escapes), compact separators ", " and ": " without an indent, one item a
// line with one.
std::string to_json(const OutputGraph& graph, std::optional<std::size_t> indent);
std::string to_json(const ExactGraph& graph, std::optional<std::size_t> indent);
// The same text handed to `sink` in pieces of about `piece` bytes (the
// piece is emptied after each call), so a large graph's text is never
// held whole.
void to_json(const OutputGraph& graph, std::optional<std::size_t> indent,
             const std::function<void(std::string&)>& sink, std::size_t piece = 1 << 20);

// The graph in Graphviz's DOT language, left to right: roots as gold double
// octagons, the other modules filled by depth in the blues9 scheme (dark at
// depth 1, light from depth 7), white text on the dark ones; one edge a line.
std::string to_dot(const OutputGraph& graph);
std::string to_dot(const ExactGraph& graph);

// The imports of every module as the explorer page reads them, numbers as
// varints in URL-safe characters ("A".."Z", "a".."f" are 0 to 31 and end a
// number; "g".."z", "0".."9", "-", "_" carry 5 bits, low bits first, of a
// number that goes on). Per module in index order: how many modules it
// imports, then for each, ascending, its index as the gap from the one
// before (from 0), and 2 * the line of its first site, plus 1 when a site
// has a context, then followed by the set of the sites' context
// combinations (bit c set when some site's flags, of the four a Site shows,
// are c).
std::string page_imports(const ExactGraph& graph);

// Every shortest import chain from a root to one module, root first, one at
// a time, without recursion: a chain steps from a module to an importer one
// level nearer a root. Chains come ordered from the target's end: by the
// module before the target, then by the one before that, and so on, each in
// name order. In a subgraph (depths kept from the whole graph) a module may
// have no importer a level nearer; such modules are passed over, and a
// target without any chain gives none. The graph must outlive the walk.
class ShortestChains {
 public:
  ShortestChains(const ExactGraph& graph, std::uint32_t target);

  // The next chain into `chain`; false once every chain was given.
  bool next(std::vector<std::uint32_t>& chain);

 private:
  const ExactGraph* graph_;
  std::uint32_t target_;
  std::vector<bool> leads_;  // from here, steps a level nearer reach a root
  // The chain under way, target first, and for each module but the last the
  // position among its importers of the next one.
  std::vector<std::uint32_t> path_;
  std::vector<std::size_t> at_;
  bool started_ = false;
  bool done_ = false;

  bool step(std::uint32_t from, std::uint32_t to) const noexcept;
  void descend();
  void emit(std::vector<std::uint32_t>& chain) const;
};

// `graph` with every module outside `inside` (package names: each with its
// submodules) folded into its top-level name: a folded module takes the
// kind and origin of the module of that name (none known when the graph
// lacks it), edges between folded modules join with their sites, imports of
// a module by itself go, problems move to their importer's module. Depths
// are those of the folded graph.
ExactGraph collapsed(const ExactGraph& graph, std::span<const std::string> inside);

}  // namespace tarnwick
