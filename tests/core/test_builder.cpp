#include "common/source_file.hpp"
#include "common/str_cat.hpp"
#include "contract/builder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "support/capture_log.hpp"
#include "support/exact_fixtures.hpp"
#include "support/graph_fixtures.hpp"

namespace tarnwick {
namespace {

using namespace testing;

constexpr auto none = std::nullopt;
constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();

// An import machinery in memory that records every lookup (by name), read (by
// path) and "System error" line (as "stderr:{description}"), blank-separated.
// Modules are given as "name=source;...": "name/" is a package whose source is
// its __init__ text, module m lives in "m.py" and package p in
// "p/__init__.py"; "name@origin" has that origin and no file ("name@": no
// origin); a source "!message" fails to read with that message.
class FakeHost final : public Host {
 public:
  explicit FakeHost(std::string_view modules) {
    for (const auto& entry : split(modules, ';')) {
      const std::size_t cut = std::min(entry.find_first_of("=@"), entry.size());
      const std::string key = entry.substr(0, cut);
      const std::string rest = cut < entry.size() ? entry.substr(cut + 1) : "";
      const bool package = key.ends_with('/');
      ModuleSpec spec;
      spec.name = package ? key.substr(0, key.size() - 1) : key;
      const std::size_t dot = spec.name.rfind('.');
      spec.parent = package ? spec.name : dot == std::string::npos ? "" : spec.name.substr(0, dot);
      if (package) spec.submodule_search_locations = std::vector<std::string>{spec.name};
      if (cut == entry.size() || entry[cut] == '=') {
        spec.origin = spec.name + (package ? "/__init__.py" : ".py");
        files[*spec.origin] = rest;
      } else if (!rest.empty()) {
        spec.origin = rest;
      }
      specs[spec.name] = spec;
    }
  }

  std::optional<ModuleSpec> find_spec(std::string_view name) override {
    record(name);
    const auto it = specs.find(std::string(name));
    return it == specs.end() ? none : std::optional(it->second);
  }
  ReadResult read_source(const std::string& path) override {
    record(path);
    const auto it = files.find(path);
    if (it == files.end()) return {ReadResult::Status::kCannotOpen, "ENOENT"};
    if (it->second.starts_with('!')) return {ReadResult::Status::kReadFailed, it->second.substr(1)};
    return {ReadResult::Status::kOk, it->second};
  }
  // Throws once `interrupt_after` more checks have passed.
  void check_interrupts() override {
    if (interrupt_after-- == 0) throw std::runtime_error("interrupted");
  }
  void write_system_error(std::string_view description) override {
    record("stderr:" + std::string(description));
  }
  void record(std::string_view event) { (events += events.empty() ? "" : " ") += event; }

  std::map<std::string, ModuleSpec> specs;
  std::map<std::string, std::string> files;
  std::string events;
  std::size_t interrupt_after = kNever;
};

// Between builds: no working graph, nothing in progress, both counts 0.
bool idle(const GraphBuilder& b) {
  return b.graph.empty() && b.in_progress.empty() && b.processed_count == 0 && b.cached_count == 0;
}

TEST(PathExtension, FileNameRules) {
  const std::pair<std::string, std::string> with_extension[] = {
      {"/x/mod.py", "py"},   {"/x/m.cpython-311-x86_64-linux-gnu.so", "so"},
      {"/x/..py", "py"},     {"/x/mod.", ""},
      {"/x/mod.PY", "PY"},   {"mod.py", "py"},
      {"/x/mod.py/.", "py"}, {"/x/mod.py/", "py"}};
  for (const auto& [path, ext] : with_extension) EXPECT_EQ(path_extension(path), ext) << path;
  for (std::string_view path : {"/x/mod", "/x/.py", "/x/..", "..", "/", "", ".", "/x.d/mod"}) {
    EXPECT_EQ(path_extension(path), std::nullopt) << path;
  }
}

// Valid up to U+D7FF and U+10FFFF; invalid: truncated, a stray continuation
// byte, overlong forms, a surrogate, above U+10FFFF.
TEST(Utf8, AcceptsWellFormedOnly) {
  for (std::string_view ok :
       {"", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\xed\x9f\xbf", "\xf4\x8f\xbf\xbf",
        "import os, sys # caf\xc3\xa9 and then plain ASCII again"}) {
    EXPECT_TRUE(is_valid_utf8(ok)) << ::testing::PrintToString(ok);
  }
  for (std::string_view bad : {"\xff", "\xc3", "\xe2\x82", "a\x80", "\xc0\xaf", "\xe0\x80\xaf",
                               "\xed\xa0\x80", "\xf4\x90\x80\x80", "sixteen ascii by\xff",
                               "long ascii run, then a cut sequence \xe2\x82"}) {
    EXPECT_FALSE(is_valid_utf8(bad)) << ::testing::PrintToString(bad);
  }
}

TEST(ReadSourceFile, TellsOpenFromReadFailures) {
  TempTree tree;
  tree.write("good.py", "import os\n# caf\xc3\xa9\n");
  tree.write("bad.py", "x = '\xff'\n");
  using Status = ReadResult::Status;
  // Whatever fails the open leaves the module unread (kCannotOpen); a failure
  // after it, a directory or bad UTF-8, fails the build (kReadFailed, its text
  // "Failed to read file '{path}': {reason}").
  const std::tuple<std::string, Status, std::string> cases[] = {
      {"good.py", Status::kOk, "import os\n# caf\xc3\xa9\n"},
      {"bad.py", Status::kReadFailed, "stream did not contain valid UTF-8"},
      {"", Status::kReadFailed, "Is a directory (os error 21)"},
      {"missing.py", Status::kCannotOpen, "No such file or directory (os error 2)"},
      {"good.py/x.py", Status::kCannotOpen, "Not a directory (os error 20)"},
  };
  for (const auto& [rel, status, text] : cases) {
    const std::string path = rel.empty() ? tree.root() : tree.at(rel);
    const ReadResult result = read_source_file(path);
    EXPECT_EQ(result.status, status) << path;
    EXPECT_EQ(result.text, status == Status::kReadFailed
                               ? str_cat("Failed to read file '", path, "': ", text)
                               : text)
        << path;
  }
}

// Each case runs twice: with the debug records read and with them dropped.
// A run of one name written again and again is kept once in the records; the
// walk handles the repeats right after the first, one at a time while debug
// records are read (each asks and logs as written: `events_read`), and
// otherwise handles one and counts the rest. Graph and count are the same
// either way.
TEST(Builder, WalkOrderCountsCacheAndLeaves) {
  struct Case {
    std::string modules, text, graph, events;
    std::size_t processed, unfound;  // "!!!! Unable to find spec" records while debug is read
    std::string events_read = "", warnings = "";
    std::string first = "";  // built before, on the same builder
    std::size_t cached = 0;  // relationships taken from the cache
    std::string cache = "";  // the cache after (no origins), when it is not the graph
  };
  const Case cases[] = {
      {"", "", "<terminal>@0", "", 0, 0},
      // No file is read for these, and only an origin without extension warns.
      {"sys@built-in;zi@frozen;so@/x/so.cpython-311-x86_64-linux-gnu.so;ns@;up@/x/up.PY;"
       "noext@/x/noext;gone@/x/gone.py",
       "import sys, zi, so, ns, up, noext, gone\n",
       "<terminal>@0:gone,noext,ns,so,sys,up,zi gone@1 noext@1 ns@1 so@1 sys@1 up@1 zi@1",
       "sys zi so ns up noext gone /x/gone.py stderr:ENOENT", 7, 0, "",
       "Unable to load extension for spec 'noext' with origin '/x/noext' skipping. | "
       "Unable to load file for spec 'gone' with origin '/x/gone.py' skipping."},
      // The enclosing package first, both edges from the importer.
      {"a/;a.b", "import a.b\n", "<terminal>@0:a,a.b a@1 a.b@1", "a.b a a/__init__.py a.b.py", 2,
       0},
      // A known enclosing package stops the climb.
      {"a/;a.b/;a.b.c", "import a.b\nimport a.b.c\n", "<terminal>@0:a,a.b,a.b.c a@1 a.b@1 a.b.c@1",
       "a.b a a/__init__.py a.b/__init__.py a.b.c a.b a.b.c.py", 4, 0},
      // Depth first; a known module only gets the edge, which may lower it.
      {"a=import c;b=import c;c=import d;d", "import a\nimport b\nimport d\n",
       "<terminal>@0:a,b,d a@1:c b@1:c c@2:d d@1", "a a.py c c.py d d.py b b.py c d", 6, 0},
      // A self-import is neither an edge nor counted; a cycle ends the walk.
      {"a=import a\nimport b;b=import a", "import a\nimport nowhere\n",
       "<terminal>@0:a a@1:b b@2:a", "a a.py a b b.py a nowhere", 3, 1},
      // Aliases of `from` are modules only below a package.
      {"p/;p.x;m;q/=def f(): pass\n", "from p import x\nfrom m import y\nfrom q import f\n",
       "<terminal>@0:m,p,p.x,q m@1 p@1 p.x@1 q@1",
       "p p/__init__.py p p.x p p.x.py m m.py m q q/__init__.py q q.f", 5, 1},
      // A package is its own parent: `.q` in p is p.q; in p.q.r `..` is p.
      {"p/=from .q import r\n;p.q/;p.q.r=from .. import s\nfrom ..q import r\n;p.s", "import p\n",
       "<terminal>@0:p p@1:p.q,p.q.r p.q@2 p.q.r@2:p,p.q,p.s p.s@3",
       "p p/__init__.py p.q p p.q/__init__.py p.q p.q.r p.q p.q.r.py p p p.s p p.s.py p.q p.q "
       "p.q.r",
       8, 0},
      // Repeated names.
      {"a=import b, b;b", "import a, a, a\n", "<terminal>@0:a a@1:b b@2", "a a.py b b.py", 5, 0,
       "a a.py b b.py b a a"},
      {"", "import nowhere, nowhere\n", "<terminal>@0", "nowhere", 0, 2, "nowhere nowhere"},
      // Repeats below a package; p.y is not found, and only that is asked again.
      {"p/;p.x", "from p import (x, x, y, y)\n", "<terminal>@0:p,p.x p@1 p.x@1",
       "p p/__init__.py p p.x p p.x.py p.y", 4, 2, "p p/__init__.py p p.x p p.x.py p.x p.y p.y"},
      // Later builds take cached modules without reading them. a: edges a->b,
      // b->c, so n = 2 and 3 cached; a.x: n = 1, 2 cached; sys: 1.
      {"a/=import b;a.x=import c;b=import c;c;sys@", "import a.x\nimport sys\n",
       "<terminal>@0:a,a.x,sys a@1:b a.x@1:c b@2:c c@2 sys@1", "a.x a sys", 6, 0, "", "",
       "import a.x\nimport sys\n", 6},
      // lib (n = 1) comes from the cache; app, extra and the edge to util do not.
      {"lib=import util;util;app=import lib\nimport extra;extra=import util", "import app\n",
       "<terminal>@0:app app@1:extra,lib extra@2:util lib@2:util util@3",
       "app app.py lib extra extra.py util", 5, 0, "", "", "import lib\n", 2,
       "<terminal>@0:app,lib app@1:extra,lib extra@2:util lib@1:util util@2"},
  };
  for (const Case& c : cases) {
    for (const bool dropping : {false, true}) {
      SCOPED_TRACE(str_cat(c.text, dropping ? " (debug dropped)" : " (debug read)"));
      set_dropping_debug(dropping);
      FakeHost host(c.modules);
      GraphBuilder builder;
      if (!c.first.empty()) builder.build(host, c.first, none);
      host.events.clear();
      start_capture();
      const DepGraph graph = builder.build(host, c.text, none);
      EXPECT_EQ(describe(graph, false), c.graph);
      EXPECT_EQ(broken_invariant(graph), "");
      EXPECT_EQ(host.events, dropping || c.events_read.empty() ? c.events : c.events_read);
      // The summary ends the records; after a cached build the cache's own may follow.
      auto summary = captured().rbegin();
      while (!c.first.empty() && summary->target == log::kTypesTarget) ++summary;
      EXPECT_EQ(summary->level, log::Level::Info);
      EXPECT_EQ(summary->message,
                str_cat("Processed ", c.processed, " dependency relationships",
                        c.cached ? str_cat(" (", c.cached, " from cache)") : "", "."));
      std::string warnings;
      std::size_t unfound = 0;
      for (const auto& r : captured()) {
        if (r.level == log::Level::Warn) warnings += (warnings.empty() ? "" : " | ") + r.message;
        unfound += r.message.starts_with("!!!!") ? 1 : 0;
      }
      EXPECT_EQ(warnings, c.warnings);
      EXPECT_EQ(unfound, dropping ? 0 : c.unfound);
      EXPECT_TRUE(idle(builder));
      EXPECT_EQ(builder.cache ? describe(*builder.cache, c.cache.empty()) : "no cache",
                c.cache.empty() ? describe(graph) : c.cache);
    }
  }
  set_dropping_debug(false);
}

// Cache hits attached without their per-node records stop below nodes that
// earlier hits of the same build settled. On random module graphs, over
// several builds on one builder, every graph, summary and cache comes out
// as with the plain attach (taken while the debug records are read).
TEST(Builder, SettledAttachEqualsThePlainOne) {
  std::mt19937 rng(2026);
  for (int round = 0; round < 80; ++round) {
    std::vector<std::string> names = {"p", "q"};
    for (int i = 0, n = 4 + static_cast<int>(rng() % 24); i < n; ++i)
      names.push_back(i % 3 == 0 ? str_cat(i % 2 ? "p" : "q", ".m", i) : str_cat("m", i));
    const auto imports = [&](int n) {
      std::string out;
      for (; n > 0; --n) str_append(out, "import ", names[rng() % names.size()], '\n');
      return out;
    };
    std::string modules = "p/;q/";
    for (std::size_t i = 2; i < names.size(); ++i)
      str_append(modules, ';', names[i], '=', imports(static_cast<int>(rng() % 5)));
    std::vector<std::string> texts;
    for (int b = 0; b < 5; ++b) texts.push_back(imports(1 + static_cast<int>(rng() % 4)));
    const auto run = [&](bool dropping) {
      set_dropping_debug(dropping);
      start_capture();
      FakeHost host(modules);
      GraphBuilder builder;
      std::vector<std::string> out;
      for (const std::string& text : texts) {
        const DepGraph graph = builder.build(host, text, none);
        out.push_back(describe(graph) + " | " + captured_messages(log::kBuilderTarget).back());
        EXPECT_EQ(broken_invariant(graph), "");
      }
      out.push_back(describe(*builder.cache));
      set_dropping_debug(false);
      return out;
    };
    const auto plain = run(false);
    ASSERT_EQ(run(true), plain) << modules;
  }
}

TEST(Builder, FailureResetsTheBuildAndKeepsTheCache) {
  struct Case {
    std::string modules, text, message, events;
    std::size_t interrupt_after = kNever;
  };
  const Case cases[] = {
      {"", "import ok\nfrom . import x\n",
       "Attempted relative import from terminal node (no known parent package)", "ok"},
      {"m1=import m2;m2=from .... import x", "import m1\n",
       "Attempted relative import beyond top-level package", "m1 m1.py m2 m2.py"},
      {"bad=!not UTF-8", "import ok\nimport bad\n", "not UTF-8", "ok bad bad.py"},
      // The host is asked before every lookup and may abort the build.
      {"m0=import m1;m1=import m2;m2", "import m0\n", "interrupted", "m0 m0.py m1 m1.py", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    FakeHost host(c.modules + ";ok");
    GraphBuilder builder;
    builder.build(host, "import ok\n", none);
    const std::string cache = describe(*builder.cache);
    host.events.clear();
    host.interrupt_after = c.interrupt_after;
    std::string message;
    try {
      builder.build(host, c.text, none);
    } catch (const std::exception& e) {
      message = e.what();
    }
    EXPECT_EQ(message, c.message);
    EXPECT_EQ(host.events, c.events);
    EXPECT_TRUE(idle(builder));
    EXPECT_EQ(describe(*builder.cache), cache);
    EXPECT_EQ(describe(builder.build(host, "import ok\n", none), false), "<terminal>@0:ok ok@1");
  }
}

}  // namespace
}  // namespace tarnwick
