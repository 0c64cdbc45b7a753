#include "common/source_file.hpp"
#include "common/str_cat.hpp"
#include "contract/builder.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
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
#include "support/graph_fixtures.hpp"

namespace tarnwick {
namespace {

using testing::captured;
using testing::captured_messages;
using testing::describe;
using testing::start_capture;

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
    for (const auto& entry : testing::split(modules, ';')) {
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
  void check_interrupts() override {
    if (++checks > interrupt_after) throw std::runtime_error("interrupted");
  }
  void write_system_error(std::string_view description) override {
    record("stderr:" + std::string(description));
  }
  void record(std::string_view event) { (events += events.empty() ? "" : " ") += event; }

  std::map<std::string, ModuleSpec> specs;
  std::map<std::string, std::string> files;
  std::string events;
  std::size_t checks = 0;
  std::size_t interrupt_after = kNever;
};

std::string warnings() {
  std::string out;
  for (const auto& r : captured()) {
    if (r.level == log::Level::Warn) out += (out.empty() ? "" : " | ") + r.message;
  }
  return out;
}

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
  char dir[] = "/tmp/tarnwick-builder-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string good = std::string(dir) + "/good.py", bad = std::string(dir) + "/bad.py";
  std::ofstream(good) << "import os\n# caf\xc3\xa9\n";
  std::ofstream(bad) << "x = '\xff'\n";
  using Status = ReadResult::Status;
  // Whatever fails the open leaves the module unread (kCannotOpen); a failure
  // after it, a directory or bad UTF-8, fails the build (kReadFailed).
  const std::tuple<std::string, Status, std::string> cases[] = {
      {good, Status::kOk, "import os\n# caf\xc3\xa9\n"},
      {bad, Status::kReadFailed,
       "Failed to read file '" + bad + "': stream did not contain valid UTF-8"},
      {dir, Status::kReadFailed,
       str_cat("Failed to read file '", dir, "': Is a directory (os error 21)")},
      {std::string(dir) + "/missing.py", Status::kCannotOpen,
       "No such file or directory (os error 2)"},
      {good + "/x.py", Status::kCannotOpen, "Not a directory (os error 20)"},
  };
  for (const auto& [path, status, text] : cases) {
    const ReadResult result = read_source_file(path);
    EXPECT_EQ(result.status, status) << path;
    EXPECT_EQ(result.text, text) << path;
  }
  ::unlink(good.c_str());
  ::unlink(bad.c_str());
  ::rmdir(dir);
}

TEST(Builder, WalkOrderCountsAndLeaves) {
  struct Case {
    std::string modules, text;
    std::optional<std::string> package;
    std::string graph, events;
    std::size_t processed;
    std::string warnings = "";
  };
  const Case cases[] = {
      {"", "", none, "<terminal>@0", "", 0},
      // No file is read for these, and only an origin without extension warns.
      {"sys@built-in;zi@frozen;so@/x/so.cpython-311-x86_64-linux-gnu.so;ns@;up@/x/up.PY;"
       "noext@/x/noext;gone@/x/gone.py",
       "import sys, zi, so, ns, up, noext, gone\n", none,
       "<terminal>@0:gone,noext,ns,so,sys,up,zi gone@1 noext@1 ns@1 so@1 sys@1 up@1 zi@1",
       "sys zi so ns up noext gone /x/gone.py stderr:ENOENT", 7,
       "Unable to load extension for spec 'noext' with origin '/x/noext' skipping. | "
       "Unable to load file for spec 'gone' with origin '/x/gone.py' skipping."},
      // The enclosing package first, both edges from the importer.
      {"a/;a.b", "import a.b\n", none, "<terminal>@0:a,a.b a@1 a.b@1", "a.b a a/__init__.py a.b.py",
       2},
      // A known enclosing package stops the climb.
      {"a/;a.b/;a.b.c", "import a.b\nimport a.b.c\n", none,
       "<terminal>@0:a,a.b,a.b.c a@1 a.b@1 a.b.c@1",
       "a.b a a/__init__.py a.b/__init__.py a.b.c a.b a.b.c.py", 4},
      // Depth first; a known module only gets the edge, which may lower it.
      {"a=import c;b=import c;c=import d;d", "import a\nimport b\nimport d\n", none,
       "<terminal>@0:a,b,d a@1:c b@1:c c@2:d d@1", "a a.py c c.py d d.py b b.py c d", 6},
      // A self-import is neither an edge nor counted; a cycle ends the walk.
      {"a=import a\nimport b;b=import a", "import a\nimport nowhere\n", none,
       "<terminal>@0:a a@1:b b@2:a", "a a.py a b b.py a nowhere", 3},
      // Aliases of `from` are modules only below a package.
      {"p/;p.x;m;q/=def f(): pass\n", "from p import x\nfrom m import y\nfrom q import f\n", none,
       "<terminal>@0:m,p,p.x,q m@1 p@1 p.x@1 q@1",
       "p p/__init__.py p p.x p p.x.py m m.py m q q/__init__.py q q.f", 5},
      // A package is its own parent: `.q` in p is p.q; in p.q.r `..` is p.
      {"p/=from .q import r\n;p.q/;p.q.r=from .. import s\nfrom ..q import r\n;p.s", "import p\n",
       none, "<terminal>@0:p p@1:p.q,p.q.r p.q@2 p.q.r@2:p,p.q,p.s p.s@3",
       "p p/__init__.py p.q p p.q/__init__.py p.q p.q.r p.q p.q.r.py p p p.s p p.s.py p.q p.q "
       "p.q.r",
       8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    FakeHost host(c.modules);
    GraphBuilder builder;
    start_capture();
    const DepGraph graph = builder.build(host, c.text, c.package);
    EXPECT_EQ(describe(graph, false), c.graph);
    EXPECT_EQ(testing::broken_invariant(graph), "");
    EXPECT_EQ(host.events, c.events);
    EXPECT_EQ(captured().back().level, log::Level::Info);
    EXPECT_EQ(captured().back().message,
              "Processed " + std::to_string(c.processed) + " dependency relationships.");
    EXPECT_EQ(warnings(), c.warnings);
    EXPECT_TRUE(idle(builder));
    ASSERT_TRUE(builder.cache.has_value());
    EXPECT_EQ(describe(*builder.cache), describe(graph));
  }
}

TEST(Builder, LaterBuildsTakeCachedModulesWithoutReadingThem) {
  struct Case {
    std::string modules, first, second;
    std::string events, summary, graph, cache;  // of the second build
  };
  const Case cases[] = {
      // a: edges a->b, b->c, so n = 2 and 3 cached; a.x: n = 1, 2 cached; sys: 1.
      {"a/=import b;a.x=import c;b=import c;c;sys@", "import a.x\nimport sys\n",
       "import a.x\nimport sys\n", "a.x a sys",
       "Processed 6 dependency relationships (6 from cache).",
       "<terminal>@0:a,a.x,sys a@1:b a.x@1:c b@2:c c@2 sys@1",
       "<terminal>@0:a,a.x,sys a@1:b a.x@1:c b@2:c c@2 sys@1"},
      // lib (n = 1) comes from the cache; app, extra and the edge to util do not.
      {"lib=import util;util;app=import lib\nimport extra;extra=import util", "import lib\n",
       "import app\n", "app app.py lib extra extra.py util",
       "Processed 5 dependency relationships (2 from cache).",
       "<terminal>@0:app app@1:extra,lib extra@2:util lib@2:util util@3",
       "<terminal>@0:app,lib app@1:extra,lib extra@2:util lib@1:util util@2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.second);
    FakeHost host(c.modules);
    GraphBuilder builder;
    builder.build(host, c.first, none);
    host.events.clear();
    start_capture();
    const DepGraph second = builder.build(host, c.second, none);
    EXPECT_EQ(host.events, c.events);
    EXPECT_EQ(captured_messages(log::kBuilderTarget).back(), c.summary);
    EXPECT_EQ(describe(second, false), c.graph);
    EXPECT_EQ(testing::broken_invariant(second), "");
    EXPECT_EQ(describe(*builder.cache, false), c.cache);
    EXPECT_TRUE(idle(builder));
  }
}

// A run of one name written again and again is kept once in the records;
// the walk handles the repeats right after the first, one at a time while
// debug records are read (each asks and logs as written), and otherwise
// handles one and counts the rest. Graph and count are the same either way.
TEST(Builder, RepeatedNamesAreHandledAsWritten) {
  struct Case {
    std::string modules, text, graph;
    std::size_t processed;
    std::string events_dropping, events_reading;
    std::size_t unfound_records;  // "Unable to find spec" while reading debug
  };
  const Case cases[] = {
      {"a=import b, b;b", "import a, a, a\n", "<terminal>@0:a a@1:b b@2", 5, "a a.py b b.py",
       "a a.py b b.py b a a", 0},
      {"", "import nowhere, nowhere\n", "<terminal>@0", 0, "nowhere", "nowhere nowhere", 2},
      // Repeats below a package; p.y is not found, and only that is asked again.
      {"p/;p.x", "from p import (x, x, y, y)\n", "<terminal>@0:p,p.x p@1 p.x@1", 4,
       "p p/__init__.py p p.x p p.x.py p.y", "p p/__init__.py p p.x p p.x.py p.x p.y p.y", 2},
  };
  for (const Case& c : cases) {
    for (const bool dropping : {true, false}) {
      SCOPED_TRACE(str_cat(c.text, dropping ? " (debug dropped)" : " (debug read)"));
      FakeHost host(c.modules);
      GraphBuilder builder;
      start_capture();
      testing::set_dropping_debug(dropping);
      const DepGraph graph = builder.build(host, c.text, none);
      testing::set_dropping_debug(false);
      EXPECT_EQ(describe(graph, false), c.graph);
      EXPECT_EQ(captured_messages(log::kBuilderTarget).back(),
                str_cat("Processed ", c.processed, " dependency relationships."));
      EXPECT_EQ(host.events, dropping ? c.events_dropping : c.events_reading);
      if (!dropping) {
        const auto messages = captured_messages(log::kBuilderTarget);
        EXPECT_EQ(std::ranges::count_if(messages,
                                        [](const std::string& m) { return m.starts_with("!!!!"); }),
                  c.unfound_records);
      }
    }
  }
}

// Cache hits attached without their per-node records stop below nodes that
// earlier hits of the same build settled. On random module graphs, over
// several builds on one builder, every graph, summary and cache comes out
// as with the plain attach (taken while the debug records are read).
TEST(Builder, SettledAttachEqualsThePlainOne) {
  std::mt19937 rng(2026);
  for (int round = 0; round < 80; ++round) {
    std::vector<std::string> names = {"p", "q"};
    const int count = 4 + static_cast<int>(rng() % 24);
    for (int i = 0; i < count; ++i) {
      names.push_back(i % 3 == 0 ? str_cat(i % 2 ? "p" : "q", ".m", i) : str_cat("m", i));
    }
    const auto pick = [&] { return names[rng() % names.size()]; };
    std::string modules = "p/;q/";
    for (std::size_t i = 2; i < names.size(); ++i) {
      str_append(modules, ';', names[i], '=');
      for (int k = static_cast<int>(rng() % 5); k > 0; --k)
        str_append(modules, "import ", pick(), '\n');
    }
    std::vector<std::string> texts;
    for (int b = 0; b < 5; ++b) {
      texts.emplace_back();
      for (int k = 1 + static_cast<int>(rng() % 4); k > 0; --k) {
        str_append(texts.back(), "import ", pick(), '\n');
      }
    }
    const auto run = [&](bool dropping) {
      testing::set_dropping_debug(dropping);
      start_capture();
      FakeHost host(modules);
      GraphBuilder builder;
      std::vector<std::string> out;
      for (const std::string& text : texts) {
        const DepGraph graph = builder.build(host, text, none);
        out.push_back(describe(graph) + " | " + captured_messages(log::kBuilderTarget).back());
        EXPECT_EQ(testing::broken_invariant(graph), "");
      }
      out.push_back(describe(*builder.cache));
      return out;
    };
    const auto plain = run(false);
    ASSERT_EQ(run(true), plain) << modules;
  }
  testing::set_dropping_debug(false);
}

TEST(Builder, FailureResetsTheBuildAndKeepsTheCache) {
  struct Case {
    std::string modules, text;
    std::optional<std::string> package;
    std::string message, events;
    std::size_t interrupt_after = kNever;
  };
  const std::string kBeyondTop = "Attempted relative import beyond top-level package";
  const Case cases[] = {
      {"", "import ok\nfrom . import x\n", none,
       "Attempted relative import from terminal node (no known parent package)", "ok"},
      {"m1=import m2;m2=from .... import x", "import m1\n", none, kBeyondTop, "m1 m1.py m2 m2.py"},
      {"bad=!not UTF-8", "import ok\nimport bad\n", none, "not UTF-8", "ok bad bad.py"},
      // The host is asked before every lookup and may abort the build.
      {"m0=import m1;m1=import m2;m2", "import m0\n", none, "interrupted", "m0 m0.py m1 m1.py", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    FakeHost host(c.modules + ";ok");
    GraphBuilder builder;
    builder.build(host, "import ok\n", none);
    const std::string cache = describe(*builder.cache);
    host.events.clear();
    host.checks = 0;
    host.interrupt_after = c.interrupt_after;
    std::string message;
    try {
      builder.build(host, c.text, c.package);
    } catch (const std::exception& e) {
      message = e.what();
    }
    EXPECT_EQ(message, c.message);
    EXPECT_EQ(host.events, c.events);
    EXPECT_TRUE(idle(builder));
    EXPECT_EQ(describe(*builder.cache), cache);
    host.interrupt_after = kNever;
    EXPECT_EQ(describe(builder.build(host, "import ok\n", none), false), "<terminal>@0:ok ok@1");
  }
}

}  // namespace
}  // namespace tarnwick
