// Helpers for the exact engine's tests (and its rebuild fuzz target, which
// is why nothing here uses gtest): trees of files in a temporary folder,
// edited by small scripts; host services that answer from tables and can be
// made to throw; and graphs written out as text, completely, so two graphs
// are equal exactly when their texts are.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/import_stmt.hpp"
#include "common/module_spec.hpp"
#include "common/str_cat.hpp"
#include "exact/exact_builder.hpp"
#include "exact/exact_graph.hpp"
#include "exact/source_scans.hpp"
#include "split.hpp"

namespace tarnwick::testing {

// A fresh folder under /tmp, removed with the object. Every path it creates
// or changes gets a modification time of its own, one second after the last
// (in 2001), as if each edit came a while after the one before: a file
// rewritten at the same size, or a folder changed twice, is then told apart
// by its stat alone, however fast the test runs.
class TempTree {
 public:
  TempTree() {
    char dir[] = "/tmp/tarnwick-exact-XXXXXX";
    if (::mkdtemp(dir) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = dir;
  }
  ~TempTree() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& root() const noexcept { return root_; }
  std::string at(std::string_view rel) const { return str_cat(root_, "/", rel); }

  // Gives `rel` a modification time no other path had.
  void stamp(std::string_view rel) {
    const struct timespec times[2] = {{++clock_, 0}, {clock_, 0}};
    ::utimensat(AT_FDCWD, (rel.empty() ? root_ : at(rel)).c_str(), times, AT_SYMLINK_NOFOLLOW);
  }

  // Runs edits separated by '|': "w PATH=TEXT" (or just "PATH=TEXT") writes a
  // file, making its folders; "d PATH" makes a folder; "rm PATH" removes a
  // file or a folder with all it holds; "mv FROM TO" renames; "t PATH..."
  // gives the paths one modification time, as a fast checkout might.
  void apply(std::string_view script) {
    for (const std::string& op : split(script, '|')) {
      if (op.starts_with("t ")) {
        const std::int64_t now = ++clock_;
        const struct timespec times[2] = {{now, 0}, {now, 0}};
        for (const std::string& rel : split(op.substr(2), ' ')) {
          ::utimensat(AT_FDCWD, at(rel).c_str(), times, AT_SYMLINK_NOFOLLOW);
        }
      } else if (op.starts_with("rm ")) {
        std::filesystem::remove_all(at(op.substr(3)));
        stamp_parent(op.substr(3));
      } else if (op.starts_with("mv ")) {
        const std::size_t space = op.find(' ', 3);
        const std::string from = op.substr(3, space - 3), to = op.substr(space + 1);
        std::filesystem::rename(at(from), at(to));
        stamp_parent(from);
        stamp_parent(to);
      } else if (op.starts_with("d ")) {
        make_folders(op.substr(2));
      } else {
        const std::size_t from = op.starts_with("w ") ? 2 : 0;
        const std::size_t eq = std::min(op.find('='), op.size());
        write(op.substr(from, eq - from), eq < op.size() ? op.substr(eq + 1) : "");
      }
    }
  }

  void write(const std::string& rel, std::string_view text) {
    if (const std::size_t slash = rel.rfind('/'); slash != std::string::npos) {
      make_folders(rel.substr(0, slash));
    }
    const bool fresh = !std::filesystem::exists(at(rel));
    std::ofstream(at(rel), std::ios::binary | std::ios::trunc).write(text.data(), text.size());
    stamp(rel);
    if (fresh) stamp_parent(rel);
  }

 private:
  void make_folders(const std::string& rel) {
    std::string sofar;
    for (const std::string& part : split(rel, '/')) {
      str_append(sofar, sofar.empty() ? "" : "/", part);
      if (std::filesystem::create_directory(at(sofar))) {
        stamp(sofar);
        stamp_parent(sofar);
      }
    }
  }
  void stamp_parent(std::string_view rel) {
    const std::size_t slash = rel.rfind('/');
    stamp(slash == std::string_view::npos ? std::string_view() : rel.substr(0, slash));
  }

  std::string root_;
  static inline std::int64_t clock_ = 1'000'000'000;
};

struct Interrupted : std::runtime_error {
  Interrupted() : std::runtime_error("interrupted") {}
};

// The interpreter's side, from tables: foreign finder 0 answers from
// `foreign`; Latin-1 ("iso-8859-1") decodes, any other codec is unknown; names normalise
// to themselves. find() and check_interrupts() throw Interrupted once they
// have been called more than their limit.
class FakeServices final : public HostServices {
 public:
  static constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();
  std::map<std::string, ModuleSpec, std::less<>> foreign;
  std::size_t find_limit = kNever, check_limit = kNever;
  std::size_t finds = 0, checks = 0;

  std::optional<ModuleSpec> find(int, std::string_view name,
                                 const std::vector<std::string>*) override {
    if (++finds > find_limit) throw Interrupted();
    const auto it = foreign.find(name);
    return it == foreign.end() ? std::nullopt : std::optional(it->second);
  }
  std::optional<ModuleSpec> find_in_entry(const std::string&, std::string_view) override {
    return std::nullopt;
  }
  std::optional<std::string> decode(std::string_view bytes, const std::string& encoding,
                                    std::string& error) override {
    if (encoding != "iso-8859-1") {
      error = str_cat("unknown encoding: ", encoding);
      return std::nullopt;
    }
    std::string out;
    for (const char c : bytes) {
      const auto u = static_cast<unsigned char>(c);
      if (u < 0x80) {
        out += c;
      } else {
        out += static_cast<char>(0xC0 | (u >> 6));
        out += static_cast<char>(0x80 | (u & 0x3F));
      }
    }
    return out;
  }
  std::string normalize_name(std::string_view name) override { return std::string(name); }
  void check_interrupts() override {
    if (++checks > check_limit) throw Interrupted();
  }
};

// A finder configuration over `root` alone, with `sys` built in; with
// `foreign_first`, foreign finder 0 is asked before the others.
inline FinderConfig config_over(const std::string& root, bool foreign_first = false) {
  FinderConfig c;
  c.search_path = {root};
  c.extension_suffixes = {".cpython-311-x86_64-linux-gnu.so", ".so"};
  c.builtin_names = {"sys"};
  if (foreign_first) c.meta_path.insert(c.meta_path.begin(), {FinderConfig::Step::kForeign, 0});
  return c;
}

inline std::string relative(std::string_view text, const std::string& root) {
  std::string out(text);
  for (std::size_t at = out.find(root); at != std::string::npos; at = out.find(root, at)) {
    out.erase(at, root.size() + (at + root.size() < out.size() && out[at + root.size()] == '/'));
  }
  return out;
}

inline std::string site_text(const Site& s) {
  std::string out = std::to_string(s.line);
  const char letters[] = "fcgtui";  // i: implied, not named
  for (int bit = 0; bit < 6; ++bit) {
    if (s.context & (1 << bit)) out += letters[bit];
  }
  return out;
}

inline const char* problem_kind(Problem::Kind kind) {
  static const char* const kNames[] = {"not_found", "no_parent_package", "beyond_top_level",
                                       "unreadable"};
  return kNames[static_cast<int>(kind)];
}

// The modules as "name:kind@depth", in graph order.
inline std::string modules_text(const ExactGraph& g) {
  std::string out;
  for (std::uint32_t i = 0; i < g.size(); ++i) {
    const ExactGraph::Module& m = g.module(i);
    str_append(out, i ? " " : "", m.name, ":", kind_name(m.kind), "@", g.depth(i));
  }
  return out;
}

// The edges as "from>to:site,site", in graph order.
inline std::string edges_text(const ExactGraph& g) {
  std::string out;
  for (std::uint32_t i = 0; i < g.size(); ++i) {
    for (const std::uint32_t j : g.imports(i)) {
      str_append(out, out.empty() ? "" : " ", g.module(i).name, ">", g.module(j).name, ":");
      for (const Site& s : g.sites(i, j)) out += site_text(s) + ",";
      out.pop_back();
    }
  }
  return out;
}

// The problems as "kind importer name line[ detail]", in order, with `root`
// left out of paths.
inline std::string problems_text(const ExactGraph& g, const std::string& root) {
  std::string out;
  for (const Problem& p : g.problems()) {
    str_append(out, out.empty() ? "" : "; ", problem_kind(p.kind), " ",
               p.importer.empty() ? "-" : p.importer, " ", relative(p.name, root), " ", p.line,
               p.detail.empty() ? "" : " ", p.detail);
  }
  return out;
}

// Everything a graph holds: modules with kind, origin and depth, roots,
// imports with their sites, importers, problems in order.
inline std::string graph_text(const ExactGraph& g, const std::string& root) {
  std::string out = "roots:";
  for (const std::uint32_t r : g.roots()) str_append(out, " ", g.module(r).name);
  for (std::uint32_t i = 0; i < g.size(); ++i) {
    const ExactGraph::Module& m = g.module(i);
    str_append(out, "\n", m.name, " ", kind_name(m.kind), " ",
               m.origin ? relative(*m.origin, root) : "-", " @", g.depth(i));
    for (const std::uint32_t j : g.imports(i)) {
      str_append(out, "\n  > ", g.module(j).name);
      for (const Site& s : g.sites(i, j)) str_append(out, " ", site_text(s));
    }
    for (const std::uint32_t j : g.importers_of(i)) str_append(out, "\n  < ", g.module(j).name);
  }
  str_append(out, "\nproblems: ", problems_text(g, root));
  return out;
}

}  // namespace tarnwick::testing
