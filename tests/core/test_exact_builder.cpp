#include "exact/exact_builder.hpp"

#include <gtest/gtest.h>
#include <malloc.h>

#include <string>

#include "common/str_cat.hpp"
#include "support/exact_fixtures.hpp"

namespace tarnwick {
namespace {

using testing::FakeServices;
using testing::TempTree;
using Kind = ExactRequest::Kind;

constexpr std::uint8_t kFunc = context::kFunction, kTyping = context::kTypeChecking;

// One request on one tree, and the graph it must give: modules as
// "name:kind@depth", edges as "from>to:line+flags,..." (flag i: implied, not
// named), problems in order as
// "kind importer name line[ detail]" (paths relative to the tree). With
// `foreign` "name=path", foreign finder 0 is asked first and answers `name`
// with the source at `path`, whatever its file name.
struct Case {
  const char *what, *tree;  // the tree: see TempTree::apply
  Kind kind;
  const char* target;  // a script's path, a text, or names separated by blanks
  const char *modules = "", *edges = "", *problems = "";
  const char* within = nullptr;
  std::uint8_t skip = 0;
  const char *package = "", *foreign = "";
};

const Case kCases[] = {
    {"enclosing packages are imported first",
     "main.py=import pk.sub.m\n|pk/__init__.py=|pk/sub/__init__.py=|pk/sub/m.py=", Kind::kScript,
     "main.py", "__main__:source@0 pk:package@1 pk.sub:package@1 pk.sub.m:source@1",
     "__main__>pk:1i __main__>pk.sub:1i __main__>pk.sub.m:1"},
    {"from-lists: submodules are imported, attributes are not",
     "main.py=from pk import sub, attr\nfrom pk.sub import x\n|pk/__init__.py=attr = "
     "1\n|pk/sub.py=x = 1\n",
     Kind::kScript, "main.py", "__main__:source@0 pk:package@1 pk.sub:source@1",
     "__main__>pk:1,2i __main__>pk.sub:1,2"},
    {"relative imports: ok and beyond the top level",
     "pk/__init__.py=|pk/a.py=from . import b\nfrom .b import c\nfrom .. import x\n|pk/b.py=",
     Kind::kModules, "pk.a", "pk:package@0 pk.a:source@0 pk.b:source@1",
     "pk.a>pk:1i,2i pk.a>pk.b:1,2", "beyond_top_level pk.a .. 3"},
    {"relative imports without a package", "m.py=", Kind::kText,
     "import m\nfrom . import m\nfrom .m import x\n", "__main__:source@0 m:source@1",
     "__main__>m:1", "no_parent_package __main__ . 2; no_parent_package __main__ .m 3"},
    {"a text run inside a package", "pk/__init__.py=|pk/a.py=", Kind::kText,
     "from . import a\nfrom .a import *\n", "__main__:source@0 pk:package@1 pk.a:source@1",
     "__main__>pk:1i,2i __main__>pk.a:1,2", "", nullptr, 0, "pk"},
    {"self-imports: a statement naming the module itself is an edge",
     "pk/__init__.py=|pk/a.py=import pk.a\nfrom pk import a\nfrom . import a\n|m.py=import m\n",
     Kind::kModules, "pk.a m", "m:source@0 pk:package@0 pk.a:source@0",
     "m>m:1 pk.a>pk:1i,2i,3i pk.a>pk.a:1"},
    {"import __main__ is the script", "main.py=import __main__\nimport a\n|a.py=import __main__\n",
     Kind::kScript, "main.py", "__main__:source@0 a:source@1",
     "__main__>__main__:1 __main__>a:2 a>__main__:1"},
    {"import __main__ without a script", "a.py=import __main__\n", Kind::kModules, "a",
     "a:source@0", "", "not_found a __main__ 1"},
    {"unreadable files and coding cookies",
     "main.py=import bad, old, odd\n|bad.py=\xff\xfe\n|a.py=|old.py=# -*- coding: latin-1 -*-\ns = "
     "'\xe9'\nimport a\n|odd.py=# coding: klingon\nimport a\n",
     Kind::kScript, "main.py",
     "__main__:source@0 a:source@2 bad:source@1 odd:source@1 old:source@1",
     "__main__>bad:1 __main__>odd:1 __main__>old:1 old>a:3",
     "unreadable bad bad.py 0 not valid UTF-8, and no coding cookie names another encoding; "
     "unreadable odd odd.py 0 unknown encoding: klingon"},
    {"paths are bytes: a script in a folder whose name is not UTF-8",
     "bad\xff/main.py=import a\n|a.py=", Kind::kScript, "bad\xff/main.py",
     "__main__:source@0 a:source@1", "__main__>a:1"},
    {"a script that is a folder", "dir.py/x.py=", Kind::kScript, "dir.py", "__main__:source@0", "",
     "unreadable __main__ dir.py 0 Is a directory (os error 21)"},
    {"a folder named like a module file is no module", "m.py/x.py=|pk/__init__.py/x=",
     Kind::kModules, "m pk", "pk:namespace@0", "", "not_found - m 0"},
    {"star imports import the package only",
     "main.py=from pk import *\nfrom pk.sub import *\n|pk/__init__.py=|pk/sub.py=|pk/other.py=",
     Kind::kScript, "main.py", "__main__:source@0 pk:package@1 pk.sub:source@1",
     "__main__>pk:1,2i __main__>pk.sub:2"},
    {"contexts are kept in the sites",
     "a.py=|b.py=|c.py=|d.py=|main.py=TYPE_CHECKING = False\nif TYPE_CHECKING:\n    import a\n"
     "def f():\n    import b\ntry:\n    import c\nexcept ImportError:\n    pass\nclass C:\n    "
     "import d\n",
     Kind::kScript, "main.py", "__main__:source@0 a:source@1 b:source@1 c:source@1 d:source@1",
     "__main__>a:3t __main__>b:5f __main__>c:7g __main__>d:11c"},
    {"contexts skipped are not followed",
     "a.py=|c.py=import b\n|main.py=TYPE_CHECKING = False\nif TYPE_CHECKING:\n    import a, nope\n"
     "def f():\n    import b, nope\ntry:\n    import c\nexcept ImportError:\n    pass\n",
     Kind::kScript, "main.py", "__main__:source@0 c:source@1", "__main__>c:7g", "not_found c b 1",
     nullptr, kFunc | kTyping},
    {"modules outside `within` are leaves",
     "main.py=import a, pk.x\n|a.py=import b\n|b.py=|c.py=import "
     "b\n|pk/__init__.py=|pk/x.py=import c\n",
     Kind::kScript, "main.py", "__main__:source@0 a:source@1 c:source@2 pk:package@1 pk.x:source@1",
     "__main__>a:1 __main__>pk:1i __main__>pk.x:1 pk.x>c:1", "", "pk"},
    {"an empty `within` reads the script alone", "main.py=import a\n|a.py=import b\n|b.py=",
     Kind::kScript, "main.py", "__main__:source@0 a:source@1", "__main__>a:1", "", ""},
    {"requested names that are not found: their packages that exist are imported",
     "m.py=|pk/__init__.py=|pk/sub/__init__.py=", Kind::kModules, "nope pk.sub.nope.x m.x",
     "m:source@0 pk:package@0 pk.sub:package@0", "",
     "not_found - nope 0; not_found - pk.sub.nope.x 0; not_found - m.x 0 parent is not a package"},
    {"a name not found: its innermost package found is named, the others implied",
     "main.py=import pk.sub.nope.x\n|pk/__init__.py=|pk/sub/__init__.py=", Kind::kScript, "main.py",
     "__main__:source@0 pk:package@1 pk.sub:package@1", "__main__>pk:1i __main__>pk.sub:1",
     "not_found __main__ pk.sub.nope.x 1"},
    {"built-in modules are leaves; a name not found has edges to its packages", "", Kind::kText,
     "import sys\nimport sys.x\nimport nope.sys\n", "__main__:source@0 sys:builtin@1",
     "__main__>sys:1,2",
     "not_found __main__ sys.x 2 parent is not a package; not_found __main__ nope.sys 3"},
    {"namespace packages",
     "main.py=import ns.a\nfrom ns import b, c\n|ns/a.py=|ns/b.py=import ns.a\n", Kind::kScript,
     "main.py", "__main__:source@0 ns:namespace@1 ns.a:source@1 ns.b:source@1",
     "__main__>ns:1i,2 __main__>ns.a:1 __main__>ns.b:2 ns.b>ns:1i ns.b>ns.a:1"},
    {"every module of a package; a file name no import can write is a problem of its package",
     "pk/__init__.py=|pk/a.py=import "
     "m\n|pk/sub/__init__.py=|pk/sub/c.py=|pk/data/x.py=|pk/n.txt=|m.py=|pk/sub/b\xff.py=",
     Kind::kPackages, "pk",
     "m:source@1 pk:package@0 pk.a:source@0 pk.sub:package@0 pk.sub.c:source@0", "pk.a>m:1",
     "unreadable pk.sub pk/sub/b\xff.py 0 file name is not valid UTF-8, so no import can name it: "
     "skipped"},
    {"a foreign finder asked first answers every name it has, for any file",
     "served.txt=import a\n|a.py=|magic.py=import nothing\n", Kind::kText, "import magic\n",
     "__main__:source@0 a:source@2 magic:source@1", "__main__>magic:1 magic>a:1", "", nullptr, 0,
     "", "magic=served.txt"},
};

TEST(ExactBuilder, Resolution) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    TempTree tree;
    tree.apply(c.tree);
    FakeServices services;
    const std::vector<std::string> foreign = testing::split(c.foreign, '=');
    if (!foreign.empty()) {
      services.foreign[foreign[0]] = {foreign[0], tree.at(foreign[1]), "", std::nullopt,
                                      ModuleKind::kSource};
    }
    ExactBuilder builder(testing::config_over(tree.root(), !foreign.empty()), false, 1);
    ExactRequest r;
    r.kind = c.kind;
    r.package = c.package;
    r.skip_context = c.skip;
    if (c.kind == Kind::kScript) r.path = tree.at(c.target);
    if (c.kind == Kind::kText) r.text = c.target;
    if (c.kind == Kind::kModules || c.kind == Kind::kPackages)
      r.names = testing::split(c.target, ' ');
    if (c.within != nullptr) r.read_within = testing::split(c.within, ' ');
    const auto graph = builder.build(r, &services);
    EXPECT_EQ(testing::modules_text(*graph), c.modules);
    EXPECT_EQ(testing::edges_text(*graph), c.edges);
    EXPECT_EQ(testing::problems_text(*graph, tree.root()), c.problems);
    if (!foreign.empty()) {
      EXPECT_EQ(graph->module(*graph->find(foreign[0])).origin, tree.at(foreign[1]));
    }
  }
}

// One statement importing a name of n parts: the finder answers each of its
// packages, and keeping each answer under a copy of that package's name
// costs n^2 bytes (20,000 parts, a line of 40 KB, hold 400 MB; 100,000
// parts 10 GB).
TEST(ExactBuilder, NameOfManyPartsHeldInMemoryLinearInItsLength) {
  std::string name = "p";
  for (int i = 1; i < 20'000; ++i) name += ".p";
  TempTree tree;
  ExactBuilder builder(testing::config_over(tree.root()), false, 1);
  ExactRequest request;
  request.text = str_cat("import ", name, "\n");
  const std::size_t before = mallinfo2().uordblks;
  const auto graph = builder.build(request, nullptr);
  const std::size_t held = mallinfo2().uordblks - before;
  ASSERT_EQ(graph->problems().size(), 1u);
  EXPECT_EQ(graph->problems()[0].name, name);
  EXPECT_LT(held, 64 * request.text.size() + (1 << 20));
}

}  // namespace
}  // namespace tarnwick
