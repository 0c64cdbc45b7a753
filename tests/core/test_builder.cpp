#include "core/builder.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/import_dump.hpp"
#include "core/parser.hpp"
#include "support/capture_log.hpp"
#include "support/graph_fixtures.hpp"

namespace tarnwick {
namespace {

using testing::captured;
using testing::captured_messages;
using testing::failure_of;
using testing::GraphState;
using testing::NodeState;
using testing::snapshot;
using testing::start_capture;

using Deps = std::set<std::string>;
constexpr std::string_view kBuilder = log::kBuilderTarget;
const std::string kOpen(36, '>');
const std::string kClose(36, '<');

NodeState st(std::optional<std::int32_t> depth, Deps dependencies, Deps dependents,
             std::optional<std::string> origin = std::nullopt) {
  return NodeState{depth, std::move(dependencies), std::move(dependents), std::move(origin)};
}

// An import machinery in memory: modules by name, files by path, and a
// record of every lookup and read in the order they happened.
class FakeHost final : public Host {
 public:
  // A plain module `name` whose file holds `source`.
  FakeHost& module(const std::string& name, const std::string& source) {
    return module_at(name, "/site/" + dotted_path(name) + ".py", source);
  }
  // A package `name` whose __init__.py holds `source`.
  FakeHost& package(const std::string& name, const std::string& source = "") {
    const std::string dir = "/site/" + dotted_path(name);
    ModuleSpec spec = spec_of(name, dir + "/__init__.py");
    spec.parent = name;
    spec.submodule_search_locations = std::vector<std::string>{dir};
    specs[name] = spec;
    files[dir + "/__init__.py"] = {ReadResult::Status::kOk, source};
    return *this;
  }
  // A module with a given origin and, if `source` is given, a file there.
  FakeHost& module_at(const std::string& name, std::optional<std::string> origin,
                      std::optional<std::string> source = std::nullopt) {
    specs[name] = spec_of(name, origin);
    if (origin && source) files[*origin] = {ReadResult::Status::kOk, *source};
    return *this;
  }

  std::optional<ModuleSpec> find_spec(std::string_view name) override {
    events.push_back("find " + std::string(name));
    auto it = specs.find(std::string(name));
    if (it == specs.end()) return std::nullopt;
    return it->second;
  }
  ReadResult read_source(const std::string& path) override {
    events.push_back("read " + path);
    auto it = files.find(path);
    if (it == files.end()) return {ReadResult::Status::kCannotOpen, "No such file or directory"};
    return it->second;
  }
  void check_interrupts() override {
    ++interrupt_checks;
    if (interrupt_after && interrupt_checks > *interrupt_after) {
      throw std::runtime_error("interrupted");
    }
  }
  void write_system_error(std::string_view description) override {
    system_errors.push_back("System error: " + std::string(description));
  }

  std::vector<std::string> reads() const {
    std::vector<std::string> out;
    for (const auto& e : events) {
      if (e.rfind("read ", 0) == 0) out.push_back(e);
    }
    return out;
  }

  std::map<std::string, ModuleSpec> specs;
  std::map<std::string, ReadResult> files;
  std::vector<std::string> events;
  std::vector<std::string> system_errors;
  std::size_t interrupt_checks = 0;
  std::optional<std::size_t> interrupt_after;

 private:
  static std::string dotted_path(std::string name) {
    for (char& c : name) {
      if (c == '.') c = '/';
    }
    return name;
  }
  static ModuleSpec spec_of(const std::string& name, std::optional<std::string> origin) {
    ModuleSpec spec;
    spec.name = name;
    spec.origin = std::move(origin);
    const std::size_t dot = name.rfind('.');
    spec.parent = dot == std::string::npos ? "" : name.substr(0, dot);
    return spec;
  }
};

void expect_idle(const GraphBuilder& b) {
  EXPECT_EQ(b.graph.size(), 0u);
  EXPECT_TRUE(b.in_progress.empty());
  EXPECT_EQ(b.processed_count, 0u);
  EXPECT_EQ(b.cached_count, 0u);
}

std::string summary(std::size_t processed) {
  return "Processed " + std::to_string(processed) + " dependency relationships.";
}

// ---- helpers of the walk ------------------------------------------------------

TEST(PathExtension, FollowsFileNameRules) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"/x/mod.py", "py"},       {"/x/mod.cpython-311-x86_64-linux-gnu.so", "so"},
      {"/x/mod", std::nullopt},  {"/x/.py", std::nullopt},
      {"/x/..py", "py"},         {"/x/mod.", ""},
      {"/x/mod.PY", "PY"},       {"/x/mod.pyc", "pyc"},
      {"/x/..", std::nullopt},   {"..", std::nullopt},
      {"/", std::nullopt},       {"", std::nullopt},
      {".", std::nullopt},       {"/x/mod.py/", "py"},
      {"/x/mod.py/.", "py"},     {"mod.py", "py"},
      {"/x.d/mod", std::nullopt}};
  for (const auto& [path, ext] : cases) {
    const auto got = path_extension(path);
    EXPECT_EQ(got ? std::optional<std::string>(std::string(*got)) : std::nullopt, ext) << path;
  }
}

TEST(Utf8, AcceptsWellFormedAndRejectsTheRest) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"", true},
      {"import os\n", true},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", true},
      {"\xed\x9f\xbf", true},      // U+D7FF
      {"\xf4\x8f\xbf\xbf", true},  // U+10FFFF
      {"\xff", false},
      {"\xc3", false},              // truncated
      {"\xc0\xaf", false},          // overlong
      {"\xe0\x80\xaf", false},      // overlong
      {"\xed\xa0\x80", false},      // surrogate
      {"\xf4\x90\x80\x80", false},  // above U+10FFFF
      {"\xe2\x82", false},
      {"a\x80", false}};
  for (const auto& [bytes, ok] : cases)
    EXPECT_EQ(is_valid_utf8(bytes), ok) << ::testing::PrintToString(bytes);
}

TEST(ReadSourceFile, DistinguishesOpenReadAndEncodingFailures) {
  char dir_template[] = "/tmp/tarnwick-builder-XXXXXX";
  ASSERT_NE(::mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template;
  const std::string good = dir + "/good.py";
  const std::string bad = dir + "/bad.py";
  std::ofstream(good) << "import os\n# caf\xc3\xa9\n";
  std::ofstream(bad) << "x = '\xff'\n";

  const ReadResult ok = read_source_file(good);
  EXPECT_EQ(ok.status, ReadResult::Status::kOk);
  EXPECT_EQ(ok.text, "import os\n# caf\xc3\xa9\n");

  const ReadResult missing = read_source_file(dir + "/missing.py");
  EXPECT_EQ(missing.status, ReadResult::Status::kCannotOpen);
  EXPECT_EQ(missing.text, "No such file or directory (os error 2)");

  const ReadResult not_utf8 = read_source_file(bad);
  EXPECT_EQ(not_utf8.status, ReadResult::Status::kReadFailed);
  EXPECT_EQ(not_utf8.text, "Failed to read file '" + bad + "': stream did not contain valid UTF-8");

  const ReadResult directory = read_source_file(dir);
  EXPECT_EQ(directory.status, ReadResult::Status::kReadFailed);
  EXPECT_NE(directory.text.find("Is a directory"), std::string::npos);

  ::unlink(good.c_str());
  ::unlink(bad.c_str());
  ::rmdir(dir.c_str());
}

// ---- single builds -------------------------------------------------------------

TEST(Builder, EmptyTextGivesTheRootAlone) {
  FakeHost host;
  GraphBuilder builder;
  start_capture();
  const DepGraph graph = builder.build(host, "", std::nullopt);
  EXPECT_EQ(snapshot(graph), (GraphState{{"<terminal>", st(0, {}, {})}}));
  const DepNode& root = graph.at("<terminal>");
  EXPECT_EQ(root.spec.parent, "<terminal>");
  EXPECT_FALSE(root.spec.submodule_search_locations.has_value());
  EXPECT_EQ(captured_messages(kBuilder),
            (std::vector<std::string>{kOpen, "Expanding '<terminal>'", kOpen, kClose,
                                      "Done '<terminal>'", kClose, summary(0)}));
  EXPECT_EQ(captured().back().level, log::Level::Info);
  expect_idle(builder);
  ASSERT_TRUE(builder.cache.has_value());
  EXPECT_EQ(snapshot(*builder.cache), snapshot(graph));
  EXPECT_TRUE(host.events.empty());
}

TEST(Builder, RootSpecCarriesThePackage) {
  FakeHost host;
  GraphBuilder builder;
  const DepGraph graph = builder.build(host, "", "pkg.sub");
  const DepNode& root = graph.at("<terminal>");
  EXPECT_EQ(root.spec.parent, "pkg.sub");
  EXPECT_EQ(root.spec.submodule_search_locations, std::vector<std::string>{});
  EXPECT_FALSE(root.spec.origin.has_value());
}

TEST(Builder, ExactRecordOrderForOnePackage) {
  FakeHost host;
  host.package("a");
  GraphBuilder builder;
  start_capture();
  builder.build(host, "import a\n", std::nullopt);
  std::vector<std::string> records;
  for (const auto& r : captured()) records.push_back(r.target + " | " + r.message);
  const std::string b = "tarnwick::core::builder | ";
  const std::string t = "tarnwick::core::types | ";
  EXPECT_EQ(records, (std::vector<std::string>{
                         t + "Adding node to graph: <terminal>",
                         b + kOpen,
                         b + "Expanding '<terminal>'",
                         b + kOpen,
                         b + "Processing dependency: <terminal> -> a",
                         b + "Loading file: /site/a/__init__.py",
                         t + "Adding node to graph: a",
                         t + "Add dependency '<terminal>' -> 'a'",
                         t + "Initializing depth of node 'a' to 1",
                         b + kOpen,
                         b + "Expanding 'a'",
                         b + kOpen,
                         b + kClose,
                         b + "Done 'a'",
                         b + kClose,
                         b + kClose,
                         b + "Done '<terminal>'",
                         b + kClose,
                         b + summary(1),
                     }));
}

struct WalkCase {
  std::string title;
  std::function<void(FakeHost&)> setup;
  std::string text;
  std::optional<std::string> package;
  GraphState expected;
  std::vector<std::string> events;  // lookups and reads, in order
  std::size_t processed;
  std::vector<std::string> builder_logs_subset = {};  // must appear, in this order
};

std::ostream& operator<<(std::ostream& os, const WalkCase& c) {
  return os << c.title;
}

class BuilderWalk : public ::testing::TestWithParam<WalkCase> {};

TEST_P(BuilderWalk, GraphLookupsAndCount) {
  const WalkCase& c = GetParam();
  FakeHost host;
  c.setup(host);
  GraphBuilder builder;
  start_capture();
  const DepGraph graph = builder.build(
      host, c.text, c.package ? std::optional<std::string_view>(*c.package) : std::nullopt);
  EXPECT_EQ(snapshot(graph), c.expected);
  EXPECT_EQ(host.events, c.events);
  EXPECT_EQ(captured_messages(kBuilder).back(), summary(c.processed));
  EXPECT_TRUE(testing::invariant_violations(graph).empty());
  expect_idle(builder);

  // The wanted records appear in this order (other records may come between).
  const auto logs = captured_messages(kBuilder);
  auto it = logs.begin();
  for (const auto& want : c.builder_logs_subset) {
    it = std::find(it, logs.end(), want);
    EXPECT_NE(it, logs.end()) << "missing or out of order: " << want;
    if (it == logs.end()) break;
    ++it;
  }
}

const std::string kRoot = "<terminal>";

INSTANTIATE_TEST_SUITE_P(
    Cases, BuilderWalk,
    ::testing::Values(
        WalkCase{"BuiltinIsALeaf",
                 [](FakeHost& h) { h.module_at("sys", "built-in"); },
                 "import sys\n",
                 std::nullopt,
                 {{kRoot, st(0, Deps{"sys"}, {})}, {"sys", st(1, {}, Deps{kRoot}, "built-in")}},
                 {"find sys"},
                 1},
        WalkCase{"FrozenAndExtensionAreSilentLeaves",
                 [](FakeHost& h) {
                   h.module_at("zipimport", "frozen");
                   h.module_at("_ssl", "/lib/_ssl.cpython-311-x86_64-linux-gnu.so");
                   h.module_at("nsp", std::nullopt);
                 },
                 "import zipimport, _ssl, nsp\n",
                 std::nullopt,
                 {{kRoot, st(0, Deps{"zipimport", "_ssl", "nsp"}, {})},
                  {"zipimport", st(1, {}, Deps{kRoot}, "frozen")},
                  {"_ssl", st(1, {}, Deps{kRoot}, "/lib/_ssl.cpython-311-x86_64-linux-gnu.so")},
                  {"nsp", st(1, {}, Deps{kRoot})}},
                 {"find zipimport", "find _ssl", "find nsp"},
                 3},
        WalkCase{"PackageBeforeSubmoduleBothFromTheImporter",
                 [](FakeHost& h) {
                   h.package("a");
                   h.module("a.b", "");
                 },
                 "import a.b\n",
                 std::nullopt,
                 {{kRoot, st(0, Deps{"a", "a.b"}, {})},
                  {"a", st(1, {}, Deps{kRoot}, "/site/a/__init__.py")},
                  {"a.b", st(1, {}, Deps{kRoot}, "/site/a/b.py")}},
                 {"find a.b", "find a", "read /site/a/__init__.py", "read /site/a/b.py"},
                 2,
                 {"Processing dependency: <terminal> -> a.b", "Processing dependency: <terminal> -> a",
                  "Expanding 'a'", "Done 'a'", "Loading file: /site/a/b.py", "Expanding 'a.b'"}},
        WalkCase{"KnownEnclosingPackageStopsTheClimb",
                 [](FakeHost& h) {
                   h.package("a");
                   h.package("a.b");
                   h.module("a.b.c", "");
                 },
                 "import a.b\nimport a.b.c\n",
                 std::nullopt,
                 {{kRoot, st(0, Deps{"a", "a.b", "a.b.c"}, {})},
                  {"a", st(1, {}, Deps{kRoot}, "/site/a/__init__.py")},
                  {"a.b", st(1, {}, Deps{kRoot}, "/site/a/b/__init__.py")},
                  {"a.b.c", st(1, {}, Deps{kRoot}, "/site/a/b/c.py")}},
                 {"find a.b", "find a", "read /site/a/__init__.py", "read /site/a/b/__init__.py",
                  "find a.b.c", "find a.b", "read /site/a/b/c.py"},
                 4},
        WalkCase{"NestedImportsWalkDepthFirst",
                 [](FakeHost& h) {
                   h.module("a", "import c\n");
                   h.module("b", "import c\n");
                   h.module("c", "import d\n");
                   h.module("d", "");
                 },
                 "import a\nimport b\nimport d\n",
                 std::nullopt,
                 {{kRoot, st(0, Deps{"a", "b", "d"}, {})},
                  {"a", st(1, Deps{"c"}, Deps{kRoot}, "/site/a.py")},
                  {"b", st(1, Deps{"c"}, Deps{kRoot}, "/site/b.py")},
                  {"c", st(2, Deps{"d"}, Deps{"a", "b"}, "/site/c.py")},
                  // Lowered by the later direct import; c's own depth stays.
                  {"d", st(1, {}, Deps{"c", kRoot}, "/site/d.py")}},
                 {"find a", "read /site/a.py", "find c", "read /site/c.py", "find d",
                  "read /site/d.py", "find b", "read /site/b.py", "find c", "find d"},
                 6},
        WalkCase{"SelfImportIsIgnoredAndNotCounted",
                 [](FakeHost& h) { h.module("a", "import a\n"); },
                 "import a\n",
                 std::nullopt,
                 {{kRoot, st(0, Deps{"a"}, {})}, {"a", st(1, {}, Deps{kRoot}, "/site/a.py")}},
                 {"find a", "read /site/a.py", "find a"},
                 1},
        WalkCase{"MutualImportsEndTheWalk",
                 [](FakeHost& h) {
                   h.module("a", "import b\n");
                   h.module("b", "import a\n");
                 },
                 "import a\n",
                 std::nullopt,
                 {{kRoot, st(0, Deps{"a"}, {})},
                  {"a", st(1, Deps{"b"}, Deps{kRoot, "b"}, "/site/a.py")},
                  {"b", st(2, Deps{"a"}, Deps{"a"}, "/site/b.py")}},
                 {"find a", "read /site/a.py", "find b", "read /site/b.py", "find a"},
                 3},
        WalkCase{"MissingModuleIsSkipped",
                 [](FakeHost&) {},
                 "import nowhere.deep\n",
                 std::nullopt,
                 {{kRoot, st(0, {}, {})}},
                 {"find nowhere.deep"},
                 0,
                 {"!!!! Unable to find spec for name: 'nowhere.deep' !!!!"}},
        WalkCase{"FromPackageImportsSubmodules",
                 [](FakeHost& h) {
                   h.package("p");
                   h.module("p.x", "");
                   h.module("p.y", "");
                 },
                 "from p import x, y as z\n",
                 std::nullopt,
                 {{kRoot, st(0, Deps{"p", "p.x", "p.y"}, {})},
                  {"p", st(1, {}, Deps{kRoot}, "/site/p/__init__.py")},
                  {"p.x", st(1, {}, Deps{kRoot}, "/site/p/x.py")},
                  {"p.y", st(1, {}, Deps{kRoot}, "/site/p/y.py")}},
                 {"find p", "read /site/p/__init__.py", "find p", "find p.x", "find p",
                  "read /site/p/x.py", "find p.y", "find p", "read /site/p/y.py"},
                 5},
        WalkCase{"FromPackageImportFunctionFindsNothing",
                 [](FakeHost& h) { h.package("p", "def f(): pass\n"); },
                 "from p import f\n",
                 std::nullopt,
                 {{kRoot, st(0, Deps{"p"}, {})},
                  {"p", st(1, {}, Deps{kRoot}, "/site/p/__init__.py")}},
                 {"find p", "read /site/p/__init__.py", "find p", "find p.f"},
                 1,
                 {"!!!! Unable to find spec for name: 'p.f' !!!!"}},
        WalkCase{"FromPlainModuleLooksAtNoAlias",
                 [](FakeHost& h) { h.module("m", "x = 1\n"); },
                 "from m import x\n",
                 std::nullopt,
                 {{kRoot, st(0, Deps{"m"}, {})}, {"m", st(1, {}, Deps{kRoot}, "/site/m.py")}},
                 {"find m", "read /site/m.py", "find m"},
                 1},
        WalkCase{"RelativeImportWithPackage",
                 [](FakeHost& h) {
                   h.package("p");
                   h.module("p.x", "");
                 },
                 "from . import x\n",
                 "p",
                 {{kRoot, st(0, Deps{"p", "p.x"}, {})},
                  {"p", st(1, {}, Deps{kRoot}, "/site/p/__init__.py")},
                  {"p.x", st(1, {}, Deps{kRoot}, "/site/p/x.py")}},
                 {"find p", "read /site/p/__init__.py", "find p", "find p.x", "find p",
                  "read /site/p/x.py"},
                 3},
        WalkCase{"RelativeImportsInsideModules",
                 [](FakeHost& h) {
                   h.package("p", "from .q import r\n");
                   h.package("p.q");
                   h.module("p.q.r", "from .. import s\nfrom ..q import r\n");
                   h.module("p.s", "");
                 },
                 "import p\n",
                 std::nullopt,
                 {{kRoot, st(0, Deps{"p"}, {})},
                  {"p", st(1, Deps{"p.q", "p.q.r"}, Deps{kRoot, "p.q.r"}, "/site/p/__init__.py")},
                  {"p.q", st(2, {}, Deps{"p", "p.q.r"}, "/site/p/q/__init__.py")},
                  {"p.q.r", st(2, Deps{"p", "p.s", "p.q"}, Deps{"p"}, "/site/p/q/r.py")},
                  {"p.s", st(3, {}, Deps{"p.q.r"}, "/site/p/s.py")}},
                 // A package's parent is the package itself, so `.q` in p is
                 // p.q; p.q.r's parent is p.q, so `..` is p and `..q` is p.q.
                 // Enclosing packages equal to the importer are self-imports.
                 {"find p", "read /site/p/__init__.py", "find p.q", "find p",
                  "read /site/p/q/__init__.py", "find p.q", "find p.q.r", "find p.q",
                  "read /site/p/q/r.py", "find p", "find p", "find p.s", "find p",
                  "read /site/p/s.py", "find p.q", "find p.q", "find p.q.r"},
                 8},
        WalkCase{"ShorterPathLowersDepthOnly",
                 [](FakeHost& h) {
                   h.module("a", "import b\n");
                   h.module("b", "import c\n");
                   h.module("c", "");
                 },
                 "import a\nimport b\n",
                 std::nullopt,
                 {{kRoot, st(0, Deps{"a", "b"}, {})},
                  {"a", st(1, Deps{"b"}, Deps{kRoot}, "/site/a.py")},
                  {"b", st(1, Deps{"c"}, Deps{"a", kRoot}, "/site/b.py")},
                  {"c", st(3, {}, Deps{"b"}, "/site/c.py")}},
                 {"find a", "read /site/a.py", "find b", "read /site/b.py", "find c",
                  "read /site/c.py", "find b"},
                 4}),
    testing::TitleName());

TEST(Builder, OriginWithoutExtensionWarnsAndStaysALeaf) {
  FakeHost host;
  host.module_at("mod", "/x/mod");
  GraphBuilder builder;
  start_capture();
  const DepGraph graph = builder.build(host, "import mod\n", std::nullopt);
  EXPECT_EQ(graph.at("mod").depth, 1);
  EXPECT_TRUE(graph.at("mod").dependencies.empty());
  EXPECT_TRUE(host.reads().empty());
  std::vector<std::string> warnings;
  for (const auto& r : captured()) {
    if (r.level == log::Level::Warn) warnings.push_back(r.target + " | " + r.message);
  }
  EXPECT_EQ(warnings, std::vector<std::string>{"tarnwick::core::builder | Unable to load extension "
                                               "for spec 'mod' with origin '/x/mod' skipping."});
}

TEST(Builder, UnopenableFileWarnsWritesSystemErrorAndGoesOn) {
  FakeHost host;
  host.module_at("gone", "/x/gone.py");  // no file there
  host.module_at("sys", "built-in");
  GraphBuilder builder;
  start_capture();
  const DepGraph graph = builder.build(host, "import gone\nimport sys\n", std::nullopt);
  EXPECT_EQ(snapshot(graph), (GraphState{{kRoot, st(0, Deps{"gone", "sys"}, {})},
                                         {"gone", st(1, {}, Deps{kRoot}, "/x/gone.py")},
                                         {"sys", st(1, {}, Deps{kRoot}, "built-in")}}));
  EXPECT_EQ(host.system_errors,
            std::vector<std::string>{"System error: No such file or directory"});
  const auto logs = captured_messages(kBuilder);
  const auto loading = std::find(logs.begin(), logs.end(), "Loading file: /x/gone.py");
  ASSERT_NE(loading, logs.end());
  EXPECT_EQ(*(loading + 1),
            "Unable to load file for spec 'gone' with origin '/x/gone.py' skipping.");
  EXPECT_EQ(logs.back(), summary(2));
}

TEST(Builder, VerboseDumpsEveryParsedList) {
  FakeHost host;
  host.module("a", "from . import b\nimport c as d\n");
  host.specs["a"].parent = "";
  GraphBuilder builder(true);
  ::testing::internal::CaptureStdout();
  builder.build(host, "import a\n", std::nullopt);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, format_imports(parse("import a\n")) +
                     format_imports(parse("from . import b\nimport c as d\n")));

  GraphBuilder quiet;
  ::testing::internal::CaptureStdout();
  quiet.build(host, "import a\n", std::nullopt);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

// ---- failures: the builder is reset and the cache kept ----------------------------

struct FailureCase {
  std::string title;
  std::function<void(FakeHost&)> setup;
  std::string text;
  std::optional<std::string> package;
  std::string message;
};

std::ostream& operator<<(std::ostream& os, const FailureCase& c) {
  return os << c.title;
}

class BuilderFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(BuilderFailure, ResetsStateKeepsCacheAndBuildsAgain) {
  const FailureCase& c = GetParam();
  FakeHost host;
  host.module("ok", "");
  c.setup(host);
  GraphBuilder builder;
  builder.build(host, "import ok\n", std::nullopt);
  const GraphState cache_before = snapshot(*builder.cache);

  const auto error = failure_of([&] {
    builder.build(host, c.text,
                  c.package ? std::optional<std::string_view>(*c.package) : std::nullopt);
  });
  EXPECT_EQ(error, c.message);
  expect_idle(builder);
  EXPECT_EQ(snapshot(*builder.cache), cache_before);

  // The same builder builds the next text normally.
  const DepGraph again = builder.build(host, "import ok\n", std::nullopt);
  EXPECT_EQ(snapshot(again), (GraphState{{kRoot, st(0, Deps{"ok"}, {})},
                                         {"ok", st(1, {}, Deps{kRoot}, "/site/ok.py")}}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BuilderFailure,
    ::testing::Values(
        FailureCase{"RelativeImportFromTerminal", [](FakeHost&) {}, "import ok\nfrom . import x\n",
                    std::nullopt,
                    "Attempted relative import from terminal node (no known parent package)"},
        FailureCase{"RelativeImportBeyondTop", [](FakeHost&) {}, "from .. import x\n", "a",
                    "Attempted relative import beyond top-level package"},
        FailureCase{"DeepInsideAFile",
                    [](FakeHost& h) {
                      h.module("m1", "import m2\n");
                      h.module("m2", "from .... import x\n");
                    },
                    "import m1\n", std::nullopt,
                    "Attempted relative import beyond top-level package"},
        FailureCase{"FileNotUtf8",
                    [](FakeHost& h) {
                      h.module_at("bad", "/x/bad.py");
                      h.files["/x/bad.py"] = {ReadResult::Status::kReadFailed,
                                              "stream did not contain valid UTF-8"};
                    },
                    "import ok\nimport bad\n", std::nullopt, "stream did not contain valid UTF-8"}),
    testing::TitleName());

TEST(BuilderFailure, InterruptAbortsAndResets) {
  FakeHost host;
  for (int i = 0; i < 10; ++i)
    host.module("m" + std::to_string(i), "import m" + std::to_string(i + 1) + "\n");
  GraphBuilder builder;
  host.interrupt_after = 4;
  EXPECT_THROW(builder.build(host, "import m0\n", std::nullopt), std::runtime_error);
  EXPECT_EQ(host.interrupt_checks, 5u);
  expect_idle(builder);
  EXPECT_FALSE(builder.cache.has_value());
  host.interrupt_after.reset();
  EXPECT_EQ(builder.build(host, "import m0\n", std::nullopt).size(), 11u);
}

// ---- the cache ------------------------------------------------------------------------

TEST(BuilderCache, SecondBuildComesFromTheCacheWithoutReading) {
  FakeHost host;
  host.package("a", "import b\n");
  host.module("a.x", "import c\n");
  host.module("b", "import c\n");
  host.module("c", "");
  host.module_at("sys", "built-in");
  const std::string text = "import a.x\nimport sys\n";
  GraphBuilder builder;
  const DepGraph first = builder.build(host, text, std::nullopt);
  ASSERT_EQ(first.size(), 6u);

  host.events.clear();
  start_capture();
  const DepGraph second = builder.build(host, text, std::nullopt);
  EXPECT_TRUE(host.reads().empty());
  EXPECT_EQ(host.events, (std::vector<std::string>{"find a.x", "find a", "find sys"}));
  // a.x: parent a from the cache (edges a->b, b->c: n = 2, cached 3),
  // then a.x (edge a.x->c, n = 1, cached 2); sys (n = 0, cached 1).
  EXPECT_EQ(captured_messages(kBuilder).back(),
            "Processed 6 dependency relationships (6 from cache).");
  EXPECT_EQ(snapshot(second), snapshot(first));
  expect_idle(builder);
  EXPECT_EQ(snapshot(*builder.cache), snapshot(first));
}

TEST(BuilderCache, CachedSubgraphsJoinFreshModules) {
  FakeHost host;
  host.module("lib", "import util\n");
  host.module("util", "");
  host.module("app", "import lib\nimport extra\n");
  host.module("extra", "import util\n");
  GraphBuilder builder;
  builder.build(host, "import lib\n", std::nullopt);

  host.events.clear();
  start_capture();
  const DepGraph graph = builder.build(host, "import app\n", std::nullopt);
  EXPECT_EQ(snapshot(graph),
            (GraphState{{kRoot, st(0, Deps{"app"}, {})},
                        {"app", st(1, Deps{"lib", "extra"}, Deps{kRoot}, "/site/app.py")},
                        {"lib", st(2, Deps{"util"}, Deps{"app"}, "/site/lib.py")},
                        {"util", st(3, {}, Deps{"lib", "extra"}, "/site/util.py")},
                        {"extra", st(2, Deps{"util"}, Deps{"app"}, "/site/extra.py")}}));
  EXPECT_EQ(host.reads(), (std::vector<std::string>{"read /site/app.py", "read /site/extra.py"}));
  // app (1) + lib from cache (n = 1 -> processed 1 + 1, cached 2) + extra (1) + util (1).
  EXPECT_EQ(captured_messages(kBuilder).back(),
            "Processed 5 dependency relationships (2 from cache).");
  EXPECT_EQ(builder.cache->size(), 5u);  // both builds' roots are "<terminal>"
  EXPECT_TRUE(testing::invariant_violations(*builder.cache).empty());
}

TEST(BuilderCache, RootNameNeverTakesTheCachePath) {
  // A host that reports "<terminal>" for a name: the graph always holds the
  // root, so the import becomes an edge to it (or is ignored as a self-import
  // of the root text).
  FakeHost host;
  host.module("a", "import alias_of_root\n");
  host.module_at("alias_of_root", std::nullopt);
  host.specs["alias_of_root"].name = "<terminal>";
  GraphBuilder builder;
  for (int round = 0; round < 2; ++round) {
    const DepGraph graph = builder.build(host, "import a\nimport alias_of_root\n", std::nullopt);
    EXPECT_TRUE(graph.at("a").dependencies.contains("<terminal>"));
    EXPECT_FALSE(graph.at("<terminal>").dependencies.contains("<terminal>"));
    EXPECT_EQ(graph.size(), 2u);
  }
}

// ---- deep chains ----------------------------------------------------------------------

TEST(BuilderDepth, LongImportChainBuildsWithoutNativeRecursion) {
  constexpr int kChain = 5000;
  FakeHost host;
  for (int i = 0; i < kChain; ++i) {
    host.module("m" + std::to_string(i),
                i + 1 < kChain ? "import m" + std::to_string(i + 1) + "\n" : "");
  }
  GraphBuilder builder;
  log::facade().set_max_level(log::LevelFilter::Off);
  const DepGraph first = builder.build(host, "import m0\n", std::nullopt);
  const DepGraph second = builder.build(host, "import m0\n", std::nullopt);
  log::facade().set_max_level(log::LevelFilter::Debug);
  ASSERT_EQ(first.size(), static_cast<std::size_t>(kChain) + 1);
  EXPECT_EQ(first.at("m" + std::to_string(kChain - 1)).depth, kChain);
  EXPECT_EQ(first.num_dependencies(), static_cast<std::uint64_t>(kChain));
  EXPECT_EQ(snapshot(second), snapshot(first));
  expect_idle(builder);
}

}  // namespace
}  // namespace tarnwick
