#include "exact/import_scan.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/adversarial_families.hpp"
#include "support/printers.hpp"
#include "support/split.hpp"

namespace tarnwick {
namespace {

TEST(ImportScan, Records) {
  // A text and its records (see testing::describe), separated by '|'.
  const std::pair<std::string_view, const char*> cases[] = {
      // Statement forms.
      {"import a . b as c, d\n", "1 import a.b as c, d"},
      {"from ..pkg.mod import x as y, z\n", "1 from ..pkg.mod import x as y, z"},
      {"from . import a\nfrom .import b\nfrom . . . import c\n",
       "1 from . import a|2 from . import b|3 from ... import c"},
      {"from ....x import y\n", "1 from ....x import y"},  // the ellipsis token
      {"from .importlib import x\n", "1 from .importlib import x"},
      {"from json import *\nfrom . import *\n", "1 from json import *|2 from . import *"},
      {"from m import (  # first\n    a as\n    b,  # second\n    c,\n)\nimport z\n",
       "1 from m import a as b, c|6 import z"},
      {"import a, \\\n  b.\\\n c\n", "1 import a, b.c"},
      {"x = 1; import a; from b import c;import d\n", "1 import a|1 from b import c|1 import d"},
      // One-line compound bodies.
      {"if x: import a\nelse: import b; import c\nfor i in y: import d\nwhile 0: import e\n"
       "with m as n: import f\ntry: import g\nexcept: import h\nclass K: import i\n",
       "1 import a|2 import b|2 import c|3 import d|4 import e|5 import f|6[g] import g|7 import h|"
       "8[c] import i"},
      // Headers with colons that do not end them, or continued by a backslash.
      {"if (y := f()): import a\nif lambda: 1: import b\ndef f(x: int = {1: 2}) -> D[a:b]: "
       "import c\n",
       "1 import a|2 import b|3[f] import c"},
      {"def f() -> \\\n    int: import a\nclass C(B) \\\n  :\n    import b\n",
       "2[f] import a|5[c] import b"},
      {"async def f(): import a\nasync def g():\n    async with x: import b\n",
       "1[f] import a|3[f] import b"},
      {"imports = 1\nfrom_ = 2\nx.import_ = 3\nprint(import_)\nimportlib = 4\n", ""},
      {"import\nfrom x import\nimport a,\nfrom x import (a\n", ""},
      {"import caf\xc3\xa9\n", "1[u] import caf\xc3\xa9"},
      // Strings, comments, line ends and blanks.
      {"__doc__ = \"\"\"\nimport no\n\"\"\"\nimport a\n", "4 import a"},
      {"'''\\''' import no\n'''\nimport a\n", "3 import a"},
      {"\"\"\"x \\\"\"\" import no\n\"\"\"\nimport a\n", "3 import a"},
      {"x = r'\\'; import no'\nimport a\n", "2 import a"},  // raw strings skip escaped quotes
      {"x = Rb'import no' + bR\"\" + u'' + F'' + rF'{x}'; import a\n", "1 import a"},
      {"x = bar'a'\nimport a\n", "2 import a"},  // a name ending in prefix letters
      {"# ' import no\nimport a # \"\n", "2 import a"},
      {"x = (1,\nimport_no)\nimport a\n", "3 import a"},
      {"import a\r\nimport b\rimport c\n", "1 import a|2 import b|3 import c"},
      {"\xef\xbb\xbfimport a\n\fimport b\nif x:\n\timport c\n", "1 import a|2 import b|4 import c"},
      {"x = 'open\nimport a\n", "2 import a"},  // an open quote ends at the line
      {"x = '''\nimport no\n", ""},             // an open triple quote runs to the end
      // Formatted strings.
      {"x = f\"{\"}\"}\"; import a\n", "1 import a"},  // the same quote inside (3.12)
      {"x = f'{f\"{f'{1}'}\"}'\nimport a\n", "2 import a"},
      {"x = f\"{v:'>10}\"\nimport a\n", "2 import a"},
      {"x = f\"{v:{w}>{'}'}}\"\nimport a\n", "2 import a"},
      {"x = f'{{import no}}'\nimport a\n", "2 import a"},
      {"x = f'\\{{' + rf'\\}}'\nimport a\n", "2 import a"},
      {"x = f'\\N{DASH}'\nimport a\n", "2 import a"},
      {"x = rf'\\N{v}'\nimport a\n", "2 import a"},
      {"x = f'''{1 +  # '''\n 2}'''\nimport a\n", "3 import a"},
      {"x = f'{d[1:2]}{ {1: 2}[1] }'\nimport a\n", "2 import a"},
      {"x = f'{a!r:>3}{a != b}'\nimport a\n", "2 import a"},
      // Contexts.
      {"def f():\n    import a\nclass C:\n    import b\n    def m(self):\n        import c\n"
       "import d\n",
       "2[f] import a|4[c] import b|6[f] import c|7 import d"},
      // Handlers that catch a failed import guard the try's body; others do not.
      {"try:\n    import a\nexcept ImportError:\n    import b\nelse:\n    import c\n"
       "try:\n    import d\nexcept (ValueError, ModuleNotFoundError) as e:\n    pass\n"
       "try:\n    import e\nexcept Exception:\n    pass\n",
       "2[g] import a|4 import b|6 import c|8[g] import d|12[g] import e"},
      {"try:\n    import a\nexcept ValueError:\n    pass\ntry:\n    import b\nfinally:\n    pass\n"
       "try:\n    import c\nexcept KeyError as ImportError:\n    pass\n",
       "2 import a|6 import b|10 import c"},
      {"try:\n    def f():\n        import a\n    import b\nexcept ImportError:\n    pass\n",
       "3[f] import a|4[g] import b"},
      {"try:\n    try:\n        import a\n    except ValueError:\n        pass\n    import b\n"
       "except:\n    import c\n",
       "3[g] import a|6[g] import b|8 import c"},
      {"if TYPE_CHECKING:\n    import a\nelse:\n    import b\nif typing.TYPE_CHECKING: import c\n"
       "if not TYPE_CHECKING:\n    import d\nelse:\n    import e\nif TYPE_CHECKING and x:\n"
       "    import f\n",
       "2[t] import a|4 import b|5[t] import c|7 import d|9[t] import e|11 import f"},
      {"if (TYPE_CHECKING):\n    import a\nif(TYPE_CHECKING): import b\nif not (TYPE_CHECKING):\n"
       "    import c\nelse:\n    import d\nif (not TYPE_CHECKING): pass\nelse: import e\n"
       "if (TYPE_CHECKING) or x: import f\nif (TYPE_CHECKING).x: import g\n"
       "if ((t.TYPE_CHECKING)): import h\n",
       "2[t] import a|3[t] import b|5 import c|7[t] import d|9[t] import e|10 import f|11 import g|"
       "12[t] import h"},
      // Every clause after a test of not TYPE_CHECKING.
      {"if not TYPE_CHECKING:\n    import a\nelif x:\n    import b\nelse:\n    import c\n"
       "if x:\n    import d\nelif not TYPE_CHECKING:\n    import e\nelif y:\n    import f\n"
       "else:\n    import g\nif TYPE_CHECKING:\n    import h\nelif x:\n    import i\n",
       "2 import a|4[t] import b|6[t] import c|8 import d|10 import e|12[t] import f|"
       "14[t] import g|16[t] import h|18 import i"},
      // A dedent ends blocks; comments and blank lines do not.
      {"def f():\n    import a\n\n# note\n    import b\nimport c\n",
       "2[f] import a|5[f] import b|6 import c"},
      {"match x:\n    case {'a': 1}: import a\n    case _:\n        import b\nmatch = 1; import c\n"
       "case = 2\n",
       "2 import a|4 import b|5 import c"},
  };
  for (const auto& [text, want] : cases) {
    std::vector<std::string> got;
    for (const ImportStmt& s : scan_imports(text)) got.push_back(testing::describe(s));
    EXPECT_EQ(got, testing::split(want, '|')) << text;
  }
}

// The scanner's position only goes forward but for a few bytes: over the
// texts that make a backtracking parser rescan, it travels at most a fixed
// distance per byte, at two sizes.
TEST(ImportScan, TravelsAFixedDistancePerByte) {
  for (const auto& family : testing::adversarial_families()) {
    for (const std::size_t size : {std::size_t{8} << 10, std::size_t{32} << 10}) {
      const std::string text = family.build(size);
      EXPECT_LE(scan_steps(text), kScanStepsPerByte * text.size())
          << ::testing::PrintToString(family.first) << " then "
          << ::testing::PrintToString(family.second) << ", " << text.size() << " bytes";
    }
  }
}

}  // namespace
}  // namespace tarnwick
