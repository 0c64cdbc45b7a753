#include "exact/exact_output.hpp"

#include <algorithm>
#include <iterator>
#include <map>
#include <utility>

namespace tarnwick {

namespace {

constexpr char kHex[] = "0123456789abcdef";

// The code point starting at `text[at]` and its length in bytes; a byte that
// does not start a well-formed UTF-8 sequence is one code point, the lone
// surrogate U+DC80..U+DCFF that Python's surrogateescape makes of it.
std::pair<char32_t, std::size_t> decode_at(std::string_view text, std::size_t at) noexcept {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[at + k]); };
  const unsigned char b0 = byte(0);
  const auto invalid = std::pair<char32_t, std::size_t>{0xDC00 + b0, 1};
  if (b0 < 0x80) return {b0, 1};
  std::size_t n = 0;
  char32_t c = 0;
  char32_t min = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2, c = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3, c = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4, c = b0 & 0x07, min = 0x10000;
  } else {
    return invalid;
  }
  if (at + n > text.size()) return invalid;
  for (std::size_t k = 1; k < n; ++k) {
    if ((byte(k) & 0xC0) != 0x80) return invalid;
    c = (c << 6) | (byte(k) & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return invalid;
  return {c, n};
}

// The characters outside ASCII that Python's str.isprintable() rejects,
// other than the unassigned ones: C1 controls, format characters, spaces
// and separators other than U+0020, surrogates, private use, noncharacters.
constexpr std::pair<char32_t, char32_t> kNotPrintable[] = {
    {0x80, 0xA0},        {0xAD, 0xAD},       {0x600, 0x605},     {0x61C, 0x61C},
    {0x6DD, 0x6DD},      {0x70F, 0x70F},     {0x890, 0x891},     {0x8E2, 0x8E2},
    {0x1680, 0x1680},    {0x180E, 0x180E},   {0x2000, 0x200F},   {0x2028, 0x202F},
    {0x205F, 0x2064},    {0x2066, 0x206F},   {0x3000, 0x3000},   {0xD800, 0xF8FF},
    {0xFDD0, 0xFDEF},    {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0xFFFE, 0xFFFF},
    {0x110BD, 0x110BD},  {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3},
    {0x1D173, 0x1D17A},  {0x1FFFE, 0x1FFFF}, {0x2FFFE, 0x2FFFF}, {0x3FFFE, 0x3FFFF},
    {0x4FFFE, 0x4FFFF},  {0x5FFFE, 0x5FFFF}, {0x6FFFE, 0x6FFFF}, {0x7FFFE, 0x7FFFF},
    {0x8FFFE, 0x8FFFF},  {0x9FFFE, 0x9FFFF}, {0xAFFFE, 0xAFFFF}, {0xBFFFE, 0xBFFFF},
    {0xCFFFE, 0xCFFFF},  {0xDFFFE, 0xDFFFF}, {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
    {0xEFFFE, 0x10FFFF},
};

bool printable(char32_t c) noexcept {
  if (c < 0x80) return c >= 0x20 && c < 0x7F;
  const auto it = std::upper_bound(
      std::begin(kNotPrintable), std::end(kNotPrintable), c,
      [](char32_t v, const std::pair<char32_t, char32_t>& r) { return v < r.first; });
  return it == std::begin(kNotPrintable) || c > (it - 1)->second;
}

void append_hex(std::string& out, char32_t c, int digits) {
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += kHex[(c >> shift) & 0xF];
}

// `text` as a JSON string the way json.dumps writes it with ensure_ascii.
void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  for (std::size_t at = 0; at < text.size();) {
    const auto [c, n] = decode_at(text, at);
    at += n;
    switch (c) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\b':
        out += "\\b";
        continue;
      case '\f':
        out += "\\f";
        continue;
      default:
        break;
    }
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else if (c < 0x10000) {
      out += "\\u";
      append_hex(out, c, 4);
    } else {
      const char32_t v = c - 0x10000;
      out += "\\u";
      append_hex(out, 0xD800 + (v >> 10), 4);
      out += "\\u";
      append_hex(out, 0xDC00 + (v & 0x3FF), 4);
    }
  }
  out += '"';
}

// Containers as json.dumps lays them out: items separated by ", " on one
// line without an indent; with one, each item on its own line indented by
// its level and separated by ",", the closing bracket on a line of its own
// (an empty container stays "[]").
class JsonLayout {
 public:
  JsonLayout(std::string& out, std::optional<std::size_t> indent) : out_(out), indent_(indent) {}

  void open(char bracket) {
    out_ += bracket;
    empty_.push_back(true);
  }
  // Before each item of the innermost container.
  void item() {
    if (!empty_.back()) out_ += indent_ ? "," : ", ";
    empty_.back() = false;
    newline(empty_.size());
  }
  void key(std::string_view name) {
    item();
    append_json_string(out_, name);
    out_ += ": ";
  }
  void close(char bracket) {
    const bool empty = empty_.back();
    empty_.pop_back();
    if (!empty) newline(empty_.size());
    out_ += bracket;
  }

 private:
  std::string& out_;
  std::optional<std::size_t> indent_;
  std::vector<bool> empty_;  // per open container: no item yet

  void newline(std::size_t level) {
    if (!indent_) return;
    out_ += '\n';
    out_.append(*indent_ * level, ' ');
  }
};

// A DOT identifier: quoted, with quotes and backslashes escaped.
void append_dot_id(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
}

}  // namespace

std::string python_repr(std::string_view text) {
  const bool single = text.find('\'') != std::string_view::npos;
  const char quote = single && text.find('"') == std::string_view::npos ? '"' : '\'';
  std::string out(1, quote);
  for (std::size_t at = 0; at < text.size();) {
    const auto [c, n] = decode_at(text, at);
    if (c == static_cast<char32_t>(quote) || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (printable(c)) {
      out.append(text.substr(at, n));
    } else if (c <= 0xFF) {
      out += "\\x";
      append_hex(out, c, 2);
    } else if (c <= 0xFFFF) {
      out += "\\u";
      append_hex(out, c, 4);
    } else {
      out += "\\U";
      append_hex(out, c, 8);
    }
    at += n;
  }
  out += quote;
  return out;
}

std::string_view problem_kind_name(Problem::Kind kind) noexcept {
  switch (kind) {
    case Problem::Kind::kNotFound:
      return "not_found";
    case Problem::Kind::kNoParentPackage:
      return "no_parent_package";
    case Problem::Kind::kBeyondTopLevel:
      return "beyond_top_level";
    case Problem::Kind::kUnreadable:
      return "unreadable";
  }
  return "unknown";
}

std::string problem_reason(const Problem& problem) {
  switch (problem.kind) {
    case Problem::Kind::kNotFound: {
      std::string reason = "No module named " + python_repr(problem.name);
      if (problem.detail == "parent is not a package") {
        const std::size_t dot = problem.name.rfind('.');
        const std::string_view parent =
            std::string_view(problem.name).substr(0, dot == std::string::npos ? 0 : dot);
        reason += "; " + python_repr(parent) + " is not a package";
      }
      return reason;
    }
    case Problem::Kind::kNoParentPackage:
      return "attempted relative import with no known parent package";
    case Problem::Kind::kBeyondTopLevel:
      return "attempted relative import beyond top-level package";
    case Problem::Kind::kUnreadable:
      return problem.detail;
  }
  return problem.detail;
}

OutputGraph output_of(const ExactGraph& graph) {
  OutputGraph out;
  out.modules.reserve(graph.size());
  for (std::uint32_t i = 0; i < graph.size(); ++i) {
    const ExactGraph::Module& m = graph.module(i);
    out.modules.push_back({m.name, kind_name(m.kind),
                           m.origin ? std::optional<std::string_view>(*m.origin) : std::nullopt,
                           graph.depth(i), graph.imports(i)});
  }
  out.roots.assign(graph.roots().begin(), graph.roots().end());
  out.problems.reserve(graph.problems().size());
  for (const Problem& p : graph.problems()) {
    out.problems.push_back(
        {p.importer.empty() ? std::nullopt : std::optional<std::string_view>(p.importer), p.name,
         p.line, problem_reason(p), problem_kind_name(p.kind)});
  }
  return out;
}

std::string to_json(const OutputGraph& graph, std::optional<std::size_t> indent) {
  std::string text;
  to_json(
      graph, indent, [&](std::string& piece) { text += piece; }, SIZE_MAX);
  return text;
}

void to_json(const OutputGraph& graph, std::optional<std::size_t> indent,
             const std::function<void(std::string&)>& sink, std::size_t piece) {
  std::string out;
  const auto flush = [&] {
    if (out.size() < piece) return;
    sink(out);
    out.clear();
  };
  JsonLayout json(out, indent);
  const auto string = [&](std::string_view text) { append_json_string(out, text); };
  json.open('{');
  json.key("roots");
  json.open('[');
  for (const std::uint32_t r : graph.roots) {
    json.item();
    string(graph.modules[r].name);
  }
  json.close(']');
  json.key("modules");
  json.open('[');
  for (const OutputGraph::Module& m : graph.modules) {
    json.item();
    json.open('{');
    json.key("name");
    string(m.name);
    json.key("kind");
    string(m.kind);
    json.key("origin");
    if (m.origin) {
      string(*m.origin);
    } else {
      out += "null";
    }
    json.key("depth");
    out += std::to_string(m.depth);
    json.key("imports");
    json.open('[');
    for (const std::uint32_t j : m.imports) {
      json.item();
      string(graph.modules[j].name);
    }
    json.close(']');
    json.close('}');
    flush();
  }
  json.close(']');
  json.key("problems");
  json.open('[');
  for (const OutputGraph::Issue& p : graph.problems) {
    json.item();
    json.open('{');
    json.key("importer");
    if (p.importer) {
      string(*p.importer);
    } else {
      out += "null";
    }
    json.key("name");
    string(p.name);
    json.key("line");
    out += std::to_string(p.line);
    json.key("reason");
    string(p.reason);
    json.key("kind");
    string(p.kind);
    json.close('}');
    flush();
  }
  json.close(']');
  json.close('}');
  sink(out);
}

std::string to_json(const ExactGraph& graph, std::optional<std::size_t> indent) {
  return to_json(output_of(graph), indent);
}

std::string to_dot(const OutputGraph& graph) {
  std::string out =
      "digraph imports {\n  rankdir=LR;\n  node [shape=box, style=filled, fontname=Helvetica];\n";
  std::vector<bool> root(graph.modules.size(), false);
  for (const std::uint32_t r : graph.roots) root[r] = true;
  for (std::uint32_t i = 0; i < graph.modules.size(); ++i) {
    const OutputGraph::Module& m = graph.modules[i];
    out += "  ";
    append_dot_id(out, m.name);
    out += " [label=";
    append_dot_id(out, m.name);
    if (root[i]) {
      out += ", shape=doubleoctagon, fillcolor=\"#f2c14e\", penwidth=2";
    } else {
      const std::int64_t shade = 8 - std::clamp<std::int64_t>(m.depth, 0, 7);
      out += ", fillcolor=\"/blues9/" + std::to_string(shade) + '"';
      if (shade >= 6) out += ", fontcolor=white";
    }
    out += "];\n";
  }
  for (const OutputGraph::Module& m : graph.modules) {
    for (const std::uint32_t j : m.imports) {
      out += "  ";
      append_dot_id(out, m.name);
      out += " -> ";
      append_dot_id(out, graph.modules[j].name);
      out += ";\n";
    }
  }
  out += "}\n";
  return out;
}

std::string to_dot(const ExactGraph& graph) {
  return to_dot(output_of(graph));
}

// ---- the explorer page's imports --------------------------------------------------

namespace {

constexpr std::string_view kPageDigits =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

void put_varint(std::string& out, std::uint64_t n) {
  for (; n >= 32; n >>= 5) out += kPageDigits[32 + (n & 31)];
  out += kPageDigits[n];
}

}  // namespace

std::string page_imports(const ExactGraph& graph) {
  // The four contexts a Site shows: function, class, guarded, TYPE_CHECKING.
  constexpr std::uint8_t kShown =
      context::kFunction | context::kClass | context::kGuarded | context::kTypeChecking;
  std::string out;
  out.reserve(graph.size() + graph.edge_count() * 4);
  for (std::uint32_t i = 0; i < graph.size(); ++i) {
    const std::span<const std::uint32_t> targets = graph.imports(i);
    put_varint(out, targets.size());
    std::uint32_t previous = 0;
    for (const std::uint32_t j : targets) {
      put_varint(out, j - previous);
      previous = j;
      const std::span<const Site> sites = graph.sites(i, j);
      std::uint32_t combinations = 0;
      for (const Site& s : sites) combinations |= 1u << (s.context & kShown);
      const std::uint64_t line = sites.empty() ? 0 : sites.front().line;
      if (sites.empty() || combinations == 1) {
        put_varint(out, 2 * line);
      } else {
        put_varint(out, 2 * line + 1);
        put_varint(out, combinations);
      }
    }
  }
  return out;
}

// ---- shortest chains -------------------------------------------------------------

ShortestChains::ShortestChains(const ExactGraph& graph, std::uint32_t target)
    : graph_(&graph), target_(target), leads_(graph.size(), false) {
  // The modules a chain could pass through, level by level from the target
  // (each level one nearer a root), then which of them lead to a root,
  // from the level nearest the roots back.
  std::vector<std::vector<std::uint32_t>> levels{{target}};
  std::vector<bool> seen(graph.size(), false);
  seen[target] = true;
  while (graph.depth(levels.back().front()) > 0) {
    std::vector<std::uint32_t> next;
    for (const std::uint32_t i : levels.back()) {
      for (const std::uint32_t p : graph.importers_of(i)) {
        if (!seen[p] && graph.depth(p) == graph.depth(i) - 1) {
          seen[p] = true;
          next.push_back(p);
        }
      }
    }
    if (next.empty()) break;
    levels.push_back(std::move(next));
  }
  for (auto level = levels.rbegin(); level != levels.rend(); ++level) {
    for (const std::uint32_t i : *level) {
      if (graph.depth(i) == 0) {
        leads_[i] = true;
        continue;
      }
      for (const std::uint32_t p : graph.importers_of(i)) {
        if (leads_[p] && graph.depth(p) == graph.depth(i) - 1) {
          leads_[i] = true;
          break;
        }
      }
    }
  }
}

bool ShortestChains::step(std::uint32_t from, std::uint32_t to) const noexcept {
  return leads_[to] && graph_->depth(to) == graph_->depth(from) - 1;
}

// Extends the chain under way by the first importer a level nearer, down to
// a root.
void ShortestChains::descend() {
  while (graph_->depth(path_.back()) > 0) {
    const std::span<const std::uint32_t> importers = graph_->importers_of(path_.back());
    std::size_t k = 0;
    while (!step(path_.back(), importers[k])) ++k;  // one leads there
    at_.push_back(k);
    path_.push_back(importers[k]);
  }
}

void ShortestChains::emit(std::vector<std::uint32_t>& chain) const {
  chain.assign(path_.rbegin(), path_.rend());
}

bool ShortestChains::next(std::vector<std::uint32_t>& chain) {
  if (done_) return false;
  if (!started_) {
    started_ = true;
    if (!leads_[target_]) {
      done_ = true;
      return false;
    }
    path_.push_back(target_);
    descend();
    emit(chain);
    return true;
  }
  // The next chain changes the module nearest the roots that has another
  // importer to step to, and starts afresh from there.
  while (true) {
    path_.pop_back();
    if (path_.empty()) {
      done_ = true;
      return false;
    }
    const std::uint32_t from = path_.back();
    const std::span<const std::uint32_t> importers = graph_->importers_of(from);
    std::size_t k = at_.back() + 1;
    while (k < importers.size() && !step(from, importers[k])) ++k;
    if (k < importers.size()) {
      at_.back() = k;
      path_.push_back(importers[k]);
      descend();
      emit(chain);
      return true;
    }
    at_.pop_back();
  }
}

// ---- folding outside packages ----------------------------------------------------

ExactGraph collapsed(const ExactGraph& graph, std::span<const std::string> inside) {
  const auto group_name = [&](std::string_view name) {
    for (const std::string& p : inside) {
      if (name.starts_with(p) && (name.size() == p.size() || name[p.size()] == '.')) return name;
    }
    return name.substr(0, name.find('.'));
  };
  ExactGraph::Parts parts;
  std::map<std::string_view, std::uint32_t> groups;
  std::vector<std::uint32_t> group_of(graph.size());
  for (std::uint32_t i = 0; i < graph.size(); ++i) {
    const std::string_view name = group_name(graph.module(i).name);
    const auto [it, added] = groups.emplace(name, static_cast<std::uint32_t>(parts.nodes.size()));
    if (added) parts.nodes.push_back({std::string(name), ModuleKind::kUnknown, std::nullopt});
    group_of[i] = it->second;
  }
  for (std::uint32_t i = 0; i < graph.size(); ++i) {
    const ExactGraph::Module& m = graph.module(i);
    if (parts.nodes[group_of[i]].name == m.name) parts.nodes[group_of[i]] = m;
  }
  for (std::uint32_t i = 0; i < graph.size(); ++i) {
    for (const std::uint32_t j : graph.imports(i)) {
      if (group_of[i] == group_of[j]) continue;
      for (const Site& site : graph.sites(i, j)) {
        parts.edges.push_back({group_of[i], group_of[j], site});
      }
    }
  }
  for (const std::uint32_t r : graph.roots()) parts.roots.push_back(group_of[r]);
  for (Problem p : graph.problems()) {
    if (const std::optional<std::uint32_t> at = graph.find(p.importer)) {
      p.importer = parts.nodes[group_of[*at]].name;
    }
    parts.problems.push_back(std::move(p));
  }
  return ExactGraph::assemble(std::move(parts));
}

}  // namespace tarnwick
