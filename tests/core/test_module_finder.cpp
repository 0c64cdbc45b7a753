#include "exact/module_finder.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "common/platform_fs.hpp"
#include "common/str_cat.hpp"
#include "support/exact_fixtures.hpp"

namespace tarnwick {
namespace {

namespace stdfs = std::filesystem;
using Step = FinderConfig::Step;

// A fresh directory under /tmp, planted from text: "a/b.py" is an empty file
// (parents made as needed), "a/b/" a directory, "l>a/b" a symlink to "a/b".
class FinderTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(::mkdtemp(root_.data()), nullptr); }
  void TearDown() override { stdfs::remove_all(root_); }

  std::string at(std::string_view rel) const { return fs::join_path(root_, rel); }

  void plant(std::string_view tree) {
    for (const auto& item : testing::split(tree, ' ')) {
      const std::size_t arrow = item.find('>');
      const stdfs::path path = at(item.substr(0, arrow));
      stdfs::create_directories(item.back() == '/' ? path : path.parent_path());
      if (arrow != std::string::npos) {
        stdfs::create_symlink(at(item.substr(arrow + 1)), path);
      } else if (item.back() != '/') {
        std::ofstream(path).put('\n');
      }
    }
  }

  // "kind origin [locations]" with the root left out of paths, or the miss.
  // Also checks the parent, which follows from the name and the locations.
  std::string describe(const Lookup& lookup) const {
    static const char* const kMisses[] = {"?", "not-found", "parent-not-found",
                                          "parent-not-package"};
    if (!lookup.spec) return kMisses[static_cast<int>(lookup.miss)];
    const ModuleSpec& spec = *lookup.spec;
    const auto& locations = spec.submodule_search_locations;
    const std::size_t dot = spec.name.rfind('.');
    EXPECT_EQ(spec.parent, locations                  ? spec.name
                           : dot == std::string::npos ? ""
                                                      : spec.name.substr(0, dot));
    std::string out = str_cat(kind_name(spec.kind), ' ', spec.origin.value_or("-"));
    if (locations) {
      out += " [";
      for (const auto& location : *locations)
        str_append(out, out.back() == '[' ? "" : ",", location);
      out += "]";
    }
    return testing::relative(out, root_);
  }

  FinderConfig config(std::string_view entries) const {
    FinderConfig c;
    for (const auto& e : testing::split(entries, ' ')) c.search_path.push_back(at(e));
    c.extension_suffixes = {".cpython-311-x86_64-linux-gnu.so", ".abi3.so", ".so"};
    return c;
  }

  std::string root_ = "/tmp/tarnwick-finder-XXXXXX";
};

TEST_F(FinderTest, PathSearch) {
  struct Case {
    const char *tree, *entries, *name, *want;
  };
  const Case cases[] = {
      {"e/m/__init__.py e/m.py", "e", "m", "package e/m/__init__.py [e/m]"},
      {"e/m.py e/m.so", "e", "m", "extension e/m.so"},
      {"e/m.abi3.so e/m.cpython-311-x86_64-linux-gnu.so", "e", "m",
       "extension e/m.cpython-311-x86_64-linux-gnu.so"},
      {"e/m.pyc", "e", "m", "bytecode e/m.pyc"},
      {"e/p/__init__.pyc e/p/__init__.py", "e", "p", "package e/p/__init__.py [e/p]"},
      {"e/p/__init__.py e/p/__init__.abi3.so", "e", "p", "extension e/p/__init__.abi3.so [e/p]"},
      {"e/p/__init__.pyc", "e", "p", "bytecode e/p/__init__.pyc [e/p]"},
      {"e/m.py/ e/m.pyc", "e", "m", "bytecode e/m.pyc"},
      {"e/m.py/", "e", "m", "not-found"},
      {"e/a.b.py", "e", "a", "not-found"},
      {"e/m/ e/m.py", "e", "m", "source e/m.py"},
      {"a/ns/x.py b/ns/y.py", "a b", "ns", "namespace - [a/ns,b/ns]"},
      {"a/ns/ b/ns/__init__.py", "a b", "ns", "package b/ns/__init__.py [b/ns]"},
      {"a/m/ b/m.py", "a b", "m", "source b/m.py"},
      {"a/m.py b/m/__init__.py", "a b", "m", "source a/m.py"},
      {"b/m.py", "gone b", "m", "source b/m.py"},
      {"e/p/__init__.py e/p/q.py e/q.py", "e", "p.q", "source e/p/q.py"},
      {"a/ns/s/ b/ns/s/z.py", "a b", "ns.s.z", "source b/ns/s/z.py"},
      {"e/l>t t/p/__init__.py", "e", "l.p", "package e/l/p/__init__.py [e/l/p]"},
      {"e/m.py", "e", "other", "not-found"},
      {"e/m.py", "e", "nope.x", "parent-not-found"},
      {"e/m.py", "e", "nope.x.y", "parent-not-found"},
      {"e/m.py", "e", "m.x", "parent-not-package"},
      // Paths are bytes: a folder whose name is not UTF-8 is searched as any.
      {"bad\xff/p/__init__.py bad\xff/p/m.py", "bad\xff", "p.m", "source bad\xff/p/m.py"},
  };
  for (const Case& c : cases) {
    stdfs::remove_all(root_);  // planting makes it anew
    plant(c.tree);
    SCOPED_TRACE(str_cat(c.name, " on ", c.entries, " in ", c.tree));
    ModuleFinder finder(config(c.entries));
    EXPECT_EQ(describe(finder.find(c.name)), c.want);
    EXPECT_EQ(&finder.find(c.name), &finder.find(c.name));
  }
}

TEST_F(FinderTest, BuiltinAndFrozenComeFirst) {
  plant(
      "lib/os.py lib/posixpath.py lib/__hello__.py lib/__phello__/__init__.py "
      "lib/__phello__/spam.py e/os.py e/sys.py e/argparse.py e/codecs.py");
  FinderConfig c = config("e");
  c.builtin_names = {"sys"};
  c.stdlib_dir = at("lib");
  c.frozen = {{"os", "os"},
              {"os.path", "posixpath"},
              {"codecs", "codecs"},
              {"__hello_alias__", "__hello__"},
              {"__hello_only__", ""},
              {"__phello__", "__phello__", true},
              {"__phello__.__init__", "<__phello__"},
              {"__phello__.spam", "__phello__.spam"},
              {"__phello_alias__", "__hello__", true},
              {"nodir", "nodir", true}};
  ModuleFinder finder(c);
  const std::pair<const char*, const char*> cases[] = {
      {"sys", "builtin built-in"},
      {"os", "frozen lib/os.py"},
      {"argparse", "source e/argparse.py"},
      {"os.path", "frozen lib/posixpath.py"},
      {"os.sep", "parent-not-package"},
      {"codecs", "frozen frozen"},
      {"__hello_alias__", "frozen lib/__hello__.py"},
      {"__hello_only__", "frozen frozen"},
      {"__phello__", "frozen lib/__phello__/__init__.py [lib/__phello__]"},
      {"__phello__.__init__", "frozen lib/__phello__/__init__.py"},
      {"__phello__.spam", "frozen lib/__phello__/spam.py"},
      {"__phello_alias__", "frozen lib/__hello__.py []"},
      {"nodir", "frozen frozen []"},
  };
  for (const auto& [name, want] : cases) EXPECT_EQ(describe(finder.find(name)), want) << name;
}

// Answers names listed in `known`, and records every question as
// "find <index> <name> <parent path or ->" or "entry <entry> <name>".
class FakeForeign : public ForeignFinders {
 public:
  std::vector<std::string> known = {"m", "x", "p.x", "zm", "ns"};
  std::string calls;

  std::optional<ModuleSpec> find(int index, std::string_view fullname,
                                 const std::vector<std::string>* parent_path) override {
    calls += str_cat(" find ", index, ' ', fullname, ' ',
                     parent_path ? str_cat(parent_path->size(), ':', parent_path->front()) : "-");
    return answer(fullname, str_cat("meta", index), false);
  }
  std::optional<ModuleSpec> find_in_entry(const std::string& entry,
                                          std::string_view fullname) override {
    calls += str_cat(" entry ", entry, ' ', fullname);
    return answer(fullname, fs::join_path(entry, fullname), fullname == "ns");
  }

 private:
  std::optional<ModuleSpec> answer(std::string_view name, std::string origin, bool portion) {
    if (std::find(known.begin(), known.end(), name) == known.end()) return std::nullopt;
    const std::string fullname(name);
    if (portion) {
      return ModuleSpec{fullname, std::nullopt, fullname, std::vector<std::string>{origin},
                        ModuleKind::kNamespace};
    }
    const std::size_t dot = name.rfind('.');
    const std::string parent(dot == std::string_view::npos ? "" : name.substr(0, dot));
    return ModuleSpec{fullname, origin, parent, std::nullopt, ModuleKind::kForeign};
  }
};

TEST_F(FinderTest, ForeignFinders) {
  plant("e/m.py e/p/__init__.py a/ns/ z.zip");
  const std::vector<FinderConfig::MetaStep> before{{Step::kForeign, 0}, {Step::kPath}};
  const std::vector<FinderConfig::MetaStep> after{{Step::kPath}, {Step::kForeign, 1}};
  // A finder first, asked for the top-level name x only.
  const std::vector<FinderConfig::MetaStep> only_x{{Step::kForeign, 0, {"x"}}, {Step::kPath}};
  struct Case {
    std::vector<FinderConfig::MetaStep> meta;
    const char *entries, *name, *want, *calls, *want_alone;  // the last without foreign finders
  };
  const Case cases[] = {
      {before, "e", "m", "foreign meta0", " find 0 m -", "source e/m.py"},
      {after, "e", "m", "source e/m.py", "", "source e/m.py"},
      {only_x, "e", "m", "source e/m.py", "", "source e/m.py"},
      {only_x, "e", "x", "foreign meta0", " find 0 x -", "not-found"},
      {only_x, "e", "p.x", "not-found", "", "not-found"},
      {after, "e", "x", "foreign meta1", " find 1 x -", "not-found"},
      {after, "e", "p.x", "foreign meta1", " find 1 p.x 1:e/p", "not-found"},
      {after, "e z.zip", "zm", "foreign z.zip/zm", " entry z.zip zm", "not-found"},
      {after, "z.zip/sub", "zm", "foreign z.zip/sub/zm", " entry z.zip/sub zm", "not-found"},
      {after, "a z.zip", "ns", "namespace - [a/ns,z.zip/ns]", " entry z.zip ns",
       "namespace - [a/ns]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(str_cat(c.name, " on ", c.entries));
    FinderConfig cfg = config(c.entries);
    cfg.meta_path = c.meta;
    ModuleFinder finder(cfg);
    FakeForeign foreign;
    EXPECT_EQ(describe(finder.find(c.name, &foreign)), c.want);
    EXPECT_EQ(testing::relative(foreign.calls, root_), c.calls);
    EXPECT_EQ(describe(ModuleFinder(cfg).find(c.name)), c.want_alone);
  }
}

TEST_F(FinderTest, SubmodulesWithNamesNoImportCanWrite) {
  plant(
      "e/p/__init__.py e/p/a.py e/p/bad\xff.py e/p/bad\xff.pyc e/p/q\xfe/__init__.py e/p/ns/ "
      "e/p/r\xfd/ e/p/b.txt\xff");
  ModuleFinder finder(config("e"));
  const Lookup& p = finder.find("p");
  ASSERT_TRUE(p.spec);
  std::vector<std::string> unnamed;
  EXPECT_EQ(finder.submodule_names(*p.spec, &unnamed), std::vector<std::string>{"p.a"});
  EXPECT_EQ(unnamed, (std::vector<std::string>{at("e/p/bad\xff.py"), at("e/p/q\xfe")}));
  EXPECT_EQ(finder.submodule_names(*p.spec), std::vector<std::string>{"p.a"});
}

// A zip archive of stored members, written by hand, after `prefix` (a
// zipapp's `#!` line), from "name=text|...": "name/=" is a folder entry.
std::string zip_of(std::string_view members, std::string prefix = "") {
  // Little-endian fields, each of as many bytes as the digit of `widths` at its place.
  const auto put = [](std::string& out, std::string_view widths,
                      std::initializer_list<std::uint64_t> values) {
    for (std::size_t k = 0; k < widths.size(); ++k) {
      for (int i = 0; i < widths[k] - '0'; ++i)
        out += static_cast<char>(values.begin()[k] >> (8 * i));
    }
  };
  std::string out = std::move(prefix);
  const std::size_t base = out.size();
  std::string central;
  std::uint64_t count = 0;
  for (const std::string& member : testing::split(members, '|')) {
    const std::size_t eq = member.find('=');
    const std::string name = member.substr(0, eq), text = member.substr(eq + 1);
    ++count;
    const std::uint64_t offset = out.size() - base, size = text.size(), name_size = name.size();
    // Signature, version needed, flags, method (stored), time and date, crc
    // (unchecked), both sizes, name and extra lengths.
    put(out, "4222444422", {0x04034b50, 20, 0, 0, 0, 0, size, size, name_size, 0});
    out += name + text;
    // Signature, made by, needed, flags, method, time and date, crc, sizes,
    // name, extra and comment lengths, disk, attributes, offset.
    put(central, "42222444424444",
        {0x02014b50, 20, 20, 0, 0, 0, 0, size, size, name_size, 0, 0, 0, offset});
    central += name;
  }
  const std::uint64_t cd_offset = out.size() - base;
  out += central;
  put(out, "4422442", {0x06054b50, 0, count, count, central.size(), cd_offset, 0});
  return out;
}

TEST_F(FinderTest, ZipArchives) {
  plant("e/m.py e/top.py");
  const char* members =
      "m.py=import a\n|p/__init__.py=|p/q.py=import b\n|ns/x.py=|d/=|p/data.bin=??|ext.so=|ext.py=";
  std::ofstream(at("z.zip"), std::ios::binary) << zip_of(members);
  std::ofstream(at("app.pyz"), std::ios::binary) << zip_of(members, "#!/usr/bin/env python3\n");
  std::ofstream(at("cut.zip"), std::ios::binary) << zip_of(members).substr(0, 60);
  struct Case {
    const char *entries, *name, *want;
  };
  const Case cases[] = {
      {"z.zip e", "m", "source z.zip/m.py"},
      {"app.pyz e", "m", "source app.pyz/m.py"},
      {"e app.pyz", "m", "source e/m.py"},
      {"z.zip", "p", "package z.zip/p/__init__.py [z.zip/p]"},
      {"z.zip", "p.q", "source z.zip/p/q.py"},
      {"z.zip/p", "q", "source z.zip/p/q.py"},
      {"z.zip e", "ns", "namespace - [z.zip/ns]"},
      {"z.zip e", "top", "source e/top.py"},
      {"z.zip", "d", "namespace - [z.zip/d]"},
      {"z.zip", "p.data", "not-found"},
      {"z.zip", "ext", "source z.zip/ext.py"},  // no extension module from an archive
      {"cut.zip e", "m", "source e/m.py"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(str_cat(c.name, " on ", c.entries));
    ModuleFinder finder(config(c.entries));
    EXPECT_EQ(describe(finder.find(c.name)), c.want);
  }

  // Members read and statted through the archive, whatever comes before it.
  for (const char* archive : {"z.zip", "app.pyz"}) {
    SCOPED_TRACE(archive);
    const fs::FileStat whole = fs::stat_path(at(archive));
    std::string text;
    fs::FileStat stat;
    EXPECT_EQ(fs::read_file_stat(at(str_cat(archive, "/p/q.py")), text, stat), 0);
    EXPECT_EQ(text, "import b\n");
    EXPECT_EQ(stat.type, fs::EntryType::kFile);
    EXPECT_EQ(stat.size, text.size());
    EXPECT_EQ(stat.mtime_ns, whole.mtime_ns);
    EXPECT_TRUE(stat.same(fs::stat_path(at(str_cat(archive, "/p/q.py")))));
    EXPECT_EQ(fs::stat_path(at(str_cat(archive, "/p"))).type, fs::EntryType::kDirectory);
    EXPECT_EQ(fs::stat_path(at(str_cat(archive, "/p/none.py"))).type, fs::EntryType::kMissing);
    EXPECT_NE(fs::read_file_stat(at(str_cat(archive, "/p/none.py")), text, stat), 0);
    EXPECT_EQ(fs::read_file_stat(at(str_cat(archive, "/p")), text, stat), EISDIR);
  }
  std::string text;
  fs::FileStat stat;
  EXPECT_EQ(fs::read_file_stat(at("cut.zip/m.py"), text, stat), ENOTDIR);
  EXPECT_EQ(fs::read_file_stat(at("e/m.py/x"), text, stat), ENOTDIR);

  // A rewritten archive is read again.
  ModuleFinder finder(config("z.zip"));
  EXPECT_EQ(describe(finder.find("late")), "not-found");
  std::ofstream(at("z.zip"), std::ios::binary) << zip_of("late.py=");
  const auto later = stdfs::file_time_type::clock::now() + std::chrono::seconds(5);
  stdfs::last_write_time(at("z.zip"), later);
  EXPECT_TRUE(finder.refresh());
  EXPECT_EQ(describe(finder.find("late")), "source z.zip/late.py");
  EXPECT_EQ(describe(finder.find("m")), "not-found");
}

TEST_F(FinderTest, RefreshSeesChangedDirectories) {
  struct Case {
    const char *before, *entries, *name, *want_before, *added, *removed, *want_after;
  };
  const Case cases[] = {
      {"e/m.py", "e", "n", "not-found", "e/n.py", "", "source e/n.py"},
      {"e/m.py", "later e", "m", "source e/m.py", "later/m.py", "", "source later/m.py"},
      {"e/p/__init__.py", "e", "p", "package e/p/__init__.py [e/p]", "", "e/p/__init__.py",
       "namespace - [e/p]"},
  };
  int tick = 0;
  for (const Case& c : cases) {
    stdfs::remove_all(root_);  // planting makes it anew
    plant(c.before);
    SCOPED_TRACE(str_cat(c.name, " on ", c.entries, " from ", c.before));
    ModuleFinder finder(config(c.entries));
    EXPECT_EQ(describe(finder.find(c.name)), c.want_before);
    EXPECT_GT(finder.cached_directories(), 0u);
    EXPECT_FALSE(finder.refresh());
    plant(c.added);
    if (*c.removed) stdfs::remove(at(c.removed));
    // Coarse mtime clocks may not move within one test: move them by hand.
    const auto stamp = stdfs::file_time_type::clock::now() + std::chrono::seconds(++tick);
    for (const auto& e : stdfs::recursive_directory_iterator(root_)) {
      if (e.is_directory()) stdfs::last_write_time(e.path(), stamp);
    }
    EXPECT_TRUE(finder.refresh());
    EXPECT_EQ(describe(finder.find(c.name)), c.want_after);
    EXPECT_FALSE(finder.refresh());
  }
}

TEST_F(FinderTest, PlatformFiles) {
  plant("d/f.txt d/sub/ d/link>d/sub d/dangling>nowhere");
  std::vector<fs::DirEntry> listing;
  int error = 0;
  ASSERT_TRUE(fs::list_directory(at("d"), listing, error)) << fs::os_error_text(error);
  std::map<std::string, fs::EntryType> types;
  for (const auto& e : listing) types[e.name] = e.type;
  const std::map<std::string, fs::EntryType> want{{"f.txt", fs::EntryType::kFile},
                                                  {"sub", fs::EntryType::kDirectory},
                                                  {"link", fs::EntryType::kDirectory},
                                                  {"dangling", fs::EntryType::kMissing}};
  EXPECT_EQ(types, want);
  EXPECT_FALSE(fs::list_directory(at("d/f.txt"), listing, error));
  EXPECT_EQ(error, ENOTDIR);
  EXPECT_EQ(fs::stat_path(at("d/link")).type, fs::EntryType::kDirectory);
  EXPECT_EQ(fs::stat_path(at("d/f.txt")).size, 1u);

  std::string text = "stale";
  EXPECT_EQ(fs::read_file(at("d/absent"), text), ENOENT);
  EXPECT_EQ(text, "");
  EXPECT_EQ(fs::read_file(at("d/f.txt"), text), 0);
  EXPECT_EQ(text, "\n");
  EXPECT_EQ(fs::join_path("/a/", "b"), "/a/b");
  EXPECT_EQ(fs::join_path("/", "b"), "/b");
  EXPECT_EQ(fs::join_path("", "b"), "b");
}

}  // namespace
}  // namespace tarnwick
