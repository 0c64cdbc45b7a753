// Rebuilds of one ExactBuilder over a tree that changes between builds: each
// completed rebuild must give exactly the graph a fresh builder gives for
// the tree as it is, with watches and without, however often a rebuild is
// interrupted before.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/str_cat.hpp"
#include "exact/exact_builder.hpp"
#include "support/exact_fixtures.hpp"

namespace tarnwick {
namespace {

using testing::FakeServices;
using testing::TempTree;

// A tree, the request, and edits (see TempTree::apply), each followed by a
// rebuild; an edit marked with a leading '=' changes no import, and the
// rebuild must give the graph before it itself.
struct Scenario {
  const char* what;
  const char* tree;
  std::vector<const char*> steps;
  const char* modules = "";  // requested, blank-separated; else main.py runs as __main__
};

const char* const kPackageTree =
    "main.py=import pk.a.m0, pk.a.m1, pk.b.m0, pk.c.m0, pk.x.m0\n|pk/__init__.py="
    "|pk/a/__init__.py=from . import m0\n|pk/a/m0.py=import pk.b\n|pk/b/__init__.py="
    "|pk/b/m0.py=import json\n";

// Enough files for the builder to read them on worker threads: m0 to m23,
// each importing the next two.
const char* many_modules() {
  static const std::string tree = [] {
    std::string out = "main.py=import m0\n";
    for (int i = 0; i < 24; ++i)
      str_append(out, "|m", i, ".py=import m", i + 1, ", m", i + 2, "\n");
    return out;
  }();
  return tree.c_str();
}

const Scenario kScenarios[] = {
    {"a file changes: statements the same, then others",
     "main.py=import a\n|a.py=import b\n|b.py=|c.py=",
     {"=a.py=import b  # same\n", "a.py=import c\nimport b\n", "=a.py=import c\nimport b\n\n",
      "a.py=\n"}},
    {"files added and removed",
     "main.py=import a, b\n|a.py=import c\n|b.py=",
     {"c.py=import b\n", "rm b.py", "rm c.py|b.py=import a\n"}},
    {"folders added, removed and renamed",
     kPackageTree,
     {"pk/c/__init__.py=|pk/c/m0.py=import pk.a\n", "rm pk/b", "mv pk/c pk/b",
      "mv pk/b pk/x|d pk/y"}},
    {"a folder replaced by another of the same name",
     kPackageTree,
     {"mv pk/a pk/x|d pk/a|pk/a/__init__.py=", "pk/a/m1.py=import pk.x.m0\n",
      "rm pk/a|mv pk/x pk/a", "pk/a/m1.py="}},
    {"folders swapped",
     kPackageTree,
     {"mv pk/b pk/c|mv pk/a pk/b", "mv pk/b pk/t|mv pk/c pk/b|mv pk/t pk/a"}},
    {"imports dropped: a module reached another way gets deeper, then none reaches it",
     "main.py=import a, c\n|a.py=import b\n|c.py=import d\n|d.py=import b\n|b.py=",
     {"a.py=\n", "c.py=import b\n", "c.py=\n", "a.py=import b\n|c.py=import d\n"}},
    {"a module left and reached again, changed in between",
     "main.py=import a\n|a.py=import b\n|b.py=import c\n|c.py=|d.py=",
     {"a.py=\n", "b.py=import d\n", "a.py=import b\n", "d.py=import a\n"}},
    {"a module becomes a package and back",
     "m.py=import n\n|n.py=",
     {"rm m.py|m/__init__.py=from . import sub\n|m/sub.py=import n\n", "rm m|m.py="},
     "m m.sub"},
    {"a namespace package gets an __init__ and loses it",
     "main.py=import ns.a, ns.b\n|ns/a.py=import ns.b\n",
     {"ns/__init__.py=import ns.a\n", "ns/b.py=", "rm ns/__init__.py"}},
    {"many files, read on worker threads",
     many_modules(),
     {"m5.py=import m20\n", "rm m20.py", "m30.py=|m20.py=import m30\n",
      "rm m1.py|rm m2.py|m2/__init__.py=import m1\n"}},
    {"a file becomes unreadable and readable",
     "main.py=import a\n|a.py=import b\n|b.py=",
     {"a.py=\xff import c\n", "a.py=# coding: latin-1\nimport b # \xe9\n", "a.py=import b\n"}},
};

// Runs main.py as __main__, or requests the blank-separated `modules`.
ExactRequest request_of(const TempTree& tree, std::string_view modules = "") {
  ExactRequest r;
  r.kind = modules.empty() ? ExactRequest::Kind::kScript : ExactRequest::Kind::kModules;
  if (modules.empty()) r.path = tree.at("main.py");
  r.names = testing::split(modules, ' ');
  return r;
}

// The graph of the tree as it is now, from a fresh builder.
std::string fresh(const TempTree& tree, const ExactRequest& request) {
  FakeServices services;
  ExactBuilder builder(testing::config_over(tree.root(), true), false, 1);
  return testing::graph_text(*builder.build(request, &services), tree.root());
}

enum class Stop { kNone, kFind, kCheck };

// Runs a scenario on one builder. With `settle`, two rebuilds with nothing
// changed come first (the first sets the watches); without, the first
// rebuild comes after the first edit. With `stop`, before each completed
// rebuild come rebuilds that fail at the k-th call of find() or
// check_interrupts() for k = 0, 1, ... With `pile`, only one fails, and the
// next step's edits come on top of it.
void run(const Scenario& s, bool watch, Stop stop, bool pile, bool settle = true) {
  SCOPED_TRACE(str_cat(s.what, watch ? ", watched" : ", statted", settle ? "" : ", unsettled",
                       stop == Stop::kFind ? ", stopped in find" : "",
                       stop == Stop::kCheck ? ", stopped in a check" : "", pile ? ", piled" : ""));
  TempTree tree;
  tree.apply(s.tree);
  const ExactRequest request = request_of(tree, s.modules);
  FakeServices services;
  ExactBuilder builder(testing::config_over(tree.root(), true), watch, 3);
  auto last = builder.build(request, &services);
  ASSERT_EQ(testing::graph_text(*last, tree.root()), fresh(tree, request));
  // Nothing changed: the graph itself.
  for (int i = 0; i < (settle ? 2 : 0); ++i) EXPECT_EQ(builder.build(request, &services), last);

  const auto limit = [&](std::size_t k) {
    const bool on = k != FakeServices::kNever;
    services.find_limit = on && stop == Stop::kFind ? services.finds + k : FakeServices::kNever;
    services.check_limit = on && stop == Stop::kCheck ? services.checks + k : FakeServices::kNever;
  };
  for (std::size_t step = 0; step < s.steps.size(); ++step) {
    SCOPED_TRACE(str_cat("after ", s.steps[step]));
    const bool same = *s.steps[step] == '=';
    const auto before = last;
    tree.apply(s.steps[step] + same);
    for (std::size_t k = pile ? step % 3 : 0; stop != Stop::kNone; ++k) {
      limit(k);
      try {
        last = builder.build(request, &services);
        break;  // the build asked less than that: complete
      } catch (const testing::Interrupted&) {
      }
      if (pile) break;
    }
    limit(FakeServices::kNever);
    if (pile && step + 1 < s.steps.size()) continue;
    last = builder.build(request, &services);
    const std::string want = fresh(tree, request);
    ASSERT_EQ(testing::graph_text(*last, tree.root()), want);
    if (same && !pile) {
      EXPECT_EQ(last, before);
    }
    // And once more: nothing changed since.
    EXPECT_EQ(builder.build(request, &services), last);
  }
}

// Every scenario, watched and statted, settled or not, completed or with
// rebuilds stopped before (but statted builders that did not settle).
TEST(ExactRebuild, EqualsFreshBuildHoweverInterrupted) {
  for (const Scenario& s : kScenarios) {
    for (const bool watch : {true, false}) {
      for (const bool settle : {true, false}) {
        for (const Stop stop : {Stop::kNone, Stop::kFind, Stop::kCheck}) {
          for (const bool pile : {false, true}) {
            if ((stop == Stop::kNone && pile) || (stop != Stop::kNone && !watch && !settle))
              continue;
            run(s, watch, stop, pile, settle);
          }
        }
      }
    }
  }
}

// Patches of a graph large enough (69,000 sites) that its builder makes
// spare rows ahead on a thread, with every graph before held, as a caller
// may hold them: each patch fills arrays of its own and equals a fresh build.
TEST(ExactRebuild, PatchesOfALargeGraphWithTheOldGraphsHeld) {
  constexpr int kModules = 300, kImports = 230;
  std::vector<std::string> texts(kModules);
  std::string files = "main.py=import m0\n";
  for (int i = 0; i < kModules; ++i) {
    str_append(texts[i], "import m", (i + 1) % kModules);
    for (int k = 2; k <= kImports; ++k) str_append(texts[i], ", m", (i + k) % kModules);
    texts[i] += "\n";
    str_append(files, "|m", i, ".py=", texts[i]);
  }
  TempTree tree;
  tree.apply(files);
  const ExactRequest request = request_of(tree);
  FakeServices services;
  ExactBuilder builder(testing::config_over(tree.root(), true), true, 2);
  std::vector<std::shared_ptr<const ExactGraph>> held{builder.build(request, &services)};
  for (int edit = 0; edit < 4; ++edit) {
    const int i = edit * 37;
    str_append(texts[i], "import m", (i + kImports + 1) % kModules, "\n");
    tree.apply(str_cat("m", i, ".py=", texts[i]));
    held.push_back(builder.build(request, &services));
    ASSERT_EQ(testing::graph_text(*held.back(), tree.root()), fresh(tree, request));
    for (std::size_t k = 0; k + 1 < held.size(); ++k) ASSERT_NE(held[k], held.back());
  }
}

// The first rebuild of a watching builder sets the watches and stats what
// the last build read; the changes it finds so are not kept when it fails,
// and the rebuilds after it, which trust the notices, never see them.
TEST(ExactRebuild, AnInterruptedFirstWatchedRebuildKeepsTheChangesItStatted) {
  TempTree tree;
  tree.apply("main.py=import a\n|a.py=import b\n|b.py=|c.py=");
  const ExactRequest request = request_of(tree);
  FakeServices services;
  ExactBuilder builder(testing::config_over(tree.root()), true, 1);
  builder.build(request, &services);
  tree.apply("a.py=import c\n");
  services.check_limit = services.checks;  // the first check throws
  EXPECT_THROW(builder.build(request, &services), testing::Interrupted);
  services.check_limit = FakeServices::kNever;
  EXPECT_EQ(testing::graph_text(*builder.build(request, &services), tree.root()),
            fresh(tree, request));
}

// A build that stats (no watches, or notices lost) checks the folders the
// finder holds through a plan it makes again only when their number
// changed. A check that drops N folders followed by a walk that fails after
// listing N others leaves the number as it was, and the plan without the
// new folders: their later changes go unseen.
TEST(ExactRebuild, StattedRebuildAfterAnInterruptedOneChecksTheFoldersItListed) {
  TempTree tree;
  tree.apply("main.py=import pk.a, pk.b.m\n|pk/__init__.py=|pk/a/__init__.py=");
  const ExactRequest request = request_of(tree);
  FakeServices services;
  ExactBuilder builder(testing::config_over(tree.root(), true), false, 1);
  builder.build(request, &services);
  builder.build(request, &services);
  tree.apply("mv pk/a pk/b");                // pk and pk/a dropped
  services.find_limit = services.finds + 3;  // stops at pk.b.m, pk and pk/b listed
  EXPECT_THROW(builder.build(request, &services), testing::Interrupted);
  services.find_limit = FakeServices::kNever;
  tree.apply("pk/b/m.py=");  // pk/b changes, pk does not
  EXPECT_EQ(testing::graph_text(*builder.build(request, &services), tree.root()),
            fresh(tree, request));
}

// A folder moved away and another made at its path: the states the finder
// holds for the paths below it belong to the old folder's subfolders, which
// did not change themselves and so sent no notice.
TEST(ExactRebuild, AFolderReplacedWithItsSubfoldersIsListedAgain) {
  for (const bool watch : {true, false}) {
    SCOPED_TRACE(watch ? "watched" : "statted");
    TempTree tree;
    tree.apply("pk/__init__.py=|pk/b/__init__.py=|pk/b/x.py=");
    const ExactRequest request = request_of(tree, "pk.b.x pk.b.y");
    FakeServices services;
    ExactBuilder builder(testing::config_over(tree.root(), true), watch, 1);
    builder.build(request, &services);
    builder.build(request, &services);  // sets the watches
    tree.apply("mv pk old|pk/__init__.py=|pk/b/__init__.py=|pk/b/y.py=");
    EXPECT_EQ(testing::graph_text(*builder.build(request, &services), tree.root()),
              fresh(tree, request));
  }
}

// Files are taken to be unchanged while their size and modification time
// are: two of the same size written in the same tick of the clock (as a
// checkout writes them) and then swapped keep the scans of where they were.
TEST(ExactRebuild, SwappedFilesOfOneModificationTimeAreReadAgain) {
  for (const char* swap : {"mv pk/b pk/c|mv pk/a pk/b|mv pk/c pk/a",
                           "mv pk/a/m.py t|mv pk/b/m.py pk/a/m.py|mv t pk/b/m.py"}) {
    for (const bool watch : {true, false}) {
      SCOPED_TRACE(str_cat(swap, watch ? ", watched" : ", statted"));
      TempTree tree;
      tree.apply(
          "main.py=import pk.a.m, pk.b.m\n|pk/__init__.py=|pk/a/__init__.py=|pk/b/__init__.py="
          "|pk/a/m.py=import x\n|pk/b/m.py=import y\n|x.py=|y.py="
          "|t pk/a pk/b pk/a/m.py pk/b/m.py");
      const ExactRequest request = request_of(tree);
      FakeServices services;
      ExactBuilder builder(testing::config_over(tree.root(), true), watch, 1);
      builder.build(request, &services);
      builder.build(request, &services);
      tree.apply(swap);
      EXPECT_EQ(testing::graph_text(*builder.build(request, &services), tree.root()),
                fresh(tree, request));
    }
  }
}

// A walk over a large name table looks each module's names up ahead of
// resolving them (interning some early). A builder whose table holds 40,000
// names from an earlier request must give what a fresh builder gives, for
// statements of every shape, and after a rebuild that patches.
TEST(ExactRebuild, ALargeNameTableGivesTheSameGraph) {
  TempTree tree;
  tree.apply(
      "main.py=import pk.a.m0, pk.x.m0, sys\nfrom pk import a, b, nothing\n"
      "from pk.b import m0 as b0, *\nfrom pk.b.m0 import f\nimport gone.sub\n"
      "|pk/__init__.py=from . import a\n|pk/a/__init__.py=from . import m0\nfrom .. import b\n"
      "|pk/a/m0.py=import pk.b\nfrom ..b import m0\nfrom ... import x\n"
      "|pk/b/__init__.py=|pk/b/m0.py=import json\nfrom pk.a.m0 import y\n");
  ExactRequest many;
  many.kind = ExactRequest::Kind::kModules;
  for (int i = 0; i < 40'000; ++i) many.names.push_back(str_cat("absent", i));
  many.names.push_back("pk");  // found last: the records then cover every name
  const ExactRequest request = request_of(tree);
  FakeServices services;
  ExactBuilder builder(testing::config_over(tree.root(), true), false, 1);
  builder.build(many, &services);
  ASSERT_GE(builder.held_modules(), 40'000u);
  EXPECT_EQ(testing::graph_text(*builder.build(request, &services), tree.root()),
            fresh(tree, request));
  tree.apply("pk/b/m0.py=import pk.a, sys\nfrom pk.a import m0, z\n");
  EXPECT_EQ(testing::graph_text(*builder.build(request, &services), tree.root()),
            fresh(tree, request));
}

}  // namespace
}  // namespace tarnwick
