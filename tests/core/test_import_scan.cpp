#include "exact/import_scan.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/adversarial_families.hpp"
#include "support/printers.hpp"

namespace tarnwick {
namespace {

std::vector<std::string> scan(std::string_view text) {
  std::vector<std::string> out;
  for (const ImportStmt& s : scan_imports(text)) out.push_back(testing::describe(s));
  return out;
}

struct Case {
  const char* name;
  std::string_view text;
  std::vector<std::string> expected;
};

void check(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    EXPECT_EQ(scan(c.text), c.expected) << c.name << "\n" << c.text;
  }
}

TEST(ImportScan, StatementForms) {
  check({
      {"plain", "import os\n", {"1 import os"}},
      {"dotted with spaces and as", "import a . b as c, d\n", {"1 import a.b as c, d"}},
      {"from relative", "from ..pkg.mod import x as y, z\n", {"1 from ..pkg.mod import x as y, z"}},
      {"dots only",
       "from . import a\nfrom .import b\nfrom . . . import c\n",
       {"1 from . import a", "2 from . import b", "3 from ... import c"}},
      {"ellipsis token", "from ....x import y\n", {"1 from ....x import y"}},
      {"module starting with 'import'",
       "from .importlib import x\n",
       {"1 from .importlib import x"}},
      {"star",
       "from json import *\nfrom . import *\n",
       {"1 from json import *", "2 from . import *"}},
      {"parenthesised over lines with comments",
       "from m import (  # first\n    a as\n    b,  # second\n    c,\n)\nimport z\n",
       {"1 from m import a as b, c", "6 import z"}},
      {"backslash continuation", "import a, \\\n  b.\\\n c\n", {"1 import a, b.c"}},
      {"after semicolons",
       "x = 1; import a; from b import c;import d\n",
       {"1 import a", "1 from b import c", "1 import d"}},
      {"one-line compound bodies",
       "if x: import a\nelse: import b; import c\nfor i in y: import d\nwhile 0: import e\n"
       "with m as n: import f\ntry: import g\nexcept: import h\nclass K: import i\n",
       {"1 import a", "2 import b", "2 import c", "3 import d", "4 import e", "5 import f",
        "6[g] import g", "7 import h", "8[c] import i"}},
      {"headers with colons that do not end them",
       "if (y := f()): import a\nif lambda: 1: import b\ndef f(x: int = {1: 2}) -> D[a:b]: "
       "import c\n",
       {"1 import a", "2 import b", "3[f] import c"}},
      {"a header continued by a backslash",
       "def f() -> \\\n    int: import a\nclass C(B) \\\n  :\n    import b\n",
       {"2[f] import a", "5[c] import b"}},
      {"async forms",
       "async def f(): import a\nasync def g():\n    async with x: import b\n",
       {"1[f] import a", "3[f] import b"}},
      {"words that are not statements",
       "imports = 1\nfrom_ = 2\nx.import_ = 3\nprint(import_)\nimportlib = 4\n",
       {}},
      {"invalid statements yield nothing",
       "import\nfrom x import\nimport a,\nfrom x import (a\n",
       {}},
      {"non-ASCII names are flagged", "import caf\xc3\xa9\n", {"1[u] import caf\xc3\xa9"}},
  });
}

TEST(ImportScan, LexicalRules) {
  check({
      {"triple-quoted string opened mid-line",
       "__doc__ = \"\"\"\nimport no\n\"\"\"\nimport a\n",
       {"4 import a"}},
      {"escaped quotes inside a docstring", "'''\\''' import no\n'''\nimport a\n", {"3 import a"}},
      {"escaped triple quote", "\"\"\"x \\\"\"\" import no\n\"\"\"\nimport a\n", {"3 import a"}},
      {"raw strings still skip escaped quotes",
       "x = r'\\'; import no'\nimport a\n",
       {"2 import a"}},
      {"every prefix",
       "x = Rb'import no' + bR\"\" + u'' + F'' + rF'{x}'; import a\n",
       {"1 import a"}},
      {"a name ending in prefix letters is not a prefix", "x = bar'a'\nimport a\n", {"2 import a"}},
      {"comment holds quotes and a statement", "# ' import no\nimport a # \"\n", {"2 import a"}},
      {"brackets continue lines", "x = (1,\nimport_no)\nimport a\n", {"3 import a"}},
      {"line ends: CRLF and CR",
       "import a\r\nimport b\rimport c\n",
       {"1 import a", "2 import b", "3 import c"}},
      {"BOM, form feed and tabs",
       "\xef\xbb\xbfimport a\n\fimport b\nif x:\n\timport c\n",
       {"1 import a", "2 import b", "4 import c"}},
      {"unterminated single-quoted string ends at the line",
       "x = 'open\nimport a\n",
       {"2 import a"}},
      {"unterminated triple-quoted string runs to the end", "x = '''\nimport no\n", {}},
  });
}

TEST(ImportScan, FormattedStrings) {
  check({
      {"fields with strings of the same quote (3.12)",
       "x = f\"{\"}\"}\"; import a\n",
       {"1 import a"}},
      {"nested f-strings", "x = f'{f\"{f'{1}'}\"}'\nimport a\n", {"2 import a"}},
      {"format spec with the other quote", "x = f\"{v:'>10}\"\nimport a\n", {"2 import a"}},
      {"nested field in a format spec", "x = f\"{v:{w}>{'}'}}\"\nimport a\n", {"2 import a"}},
      {"doubled braces are text", "x = f'{{import no}}'\nimport a\n", {"2 import a"}},
      {"a backslash does not escape a brace", "x = f'\\{{' + rf'\\}}'\nimport a\n", {"2 import a"}},
      {"named escape braces are not a field", "x = f'\\N{DASH}'\nimport a\n", {"2 import a"}},
      {"raw: a backslash does not make an escape of N",
       "x = rf'\\N{v}'\nimport a\n",
       {"2 import a"}},
      {"a field over lines with a comment",
       "x = f'''{1 +  # '''\n 2}'''\nimport a\n",
       {"3 import a"}},
      {"dict and slice colons inside brackets",
       "x = f'{d[1:2]}{ {1: 2}[1] }'\nimport a\n",
       {"2 import a"}},
      {"conversion and !=", "x = f'{a!r:>3}{a != b}'\nimport a\n", {"2 import a"}},
  });
}

TEST(ImportScan, Contexts) {
  check({
      {"function, class, method",
       "def f():\n    import a\nclass C:\n    import b\n    def m(self):\n        import c\n"
       "import d\n",
       {"2[f] import a", "4[c] import b", "6[f] import c", "7 import d"}},
      {"try with handlers that catch a failed import",
       "try:\n    import a\nexcept ImportError:\n    import b\nelse:\n    import c\n"
       "try:\n    import d\nexcept (ValueError, ModuleNotFoundError) as e:\n    pass\n"
       "try:\n    import e\nexcept Exception:\n    pass\n",
       {"2[g] import a", "4 import b", "6 import c", "8[g] import d", "12[g] import e"}},
      {"handlers that do not catch it",
       "try:\n    import a\nexcept ValueError:\n    pass\ntry:\n    import b\nfinally:\n    pass\n"
       "try:\n    import c\nexcept KeyError as ImportError:\n    pass\n",
       {"2 import a", "6 import b", "10 import c"}},
      {"a def inside a try runs outside it",
       "try:\n    def f():\n        import a\n    import b\nexcept ImportError:\n    pass\n",
       {"3[f] import a", "4[g] import b"}},
      {"nested tries",
       "try:\n    try:\n        import a\n    except ValueError:\n        pass\n    import b\n"
       "except:\n    import c\n",
       {"3[g] import a", "6[g] import b", "8 import c"}},
      {"TYPE_CHECKING and its else",
       "if TYPE_CHECKING:\n    import a\nelse:\n    import b\nif typing.TYPE_CHECKING: import c\n"
       "if not TYPE_CHECKING:\n    import d\nelse:\n    import e\nif TYPE_CHECKING and x:\n"
       "    import f\n",
       {"2[t] import a", "4 import b", "5[t] import c", "7 import d", "9[t] import e",
        "11 import f"}},
      {"TYPE_CHECKING in parentheses",
       "if (TYPE_CHECKING):\n    import a\nif(TYPE_CHECKING): import b\nif not (TYPE_CHECKING):\n"
       "    import c\nelse:\n    import d\nif (not TYPE_CHECKING): pass\nelse: import e\n"
       "if (TYPE_CHECKING) or x: import f\nif (TYPE_CHECKING).x: import g\n"
       "if ((t.TYPE_CHECKING)): import h\n",
       {"2[t] import a", "3[t] import b", "5 import c", "7[t] import d", "9[t] import e",
        "10 import f", "11 import g", "12[t] import h"}},
      {"every clause after a test of not TYPE_CHECKING",
       "if not TYPE_CHECKING:\n    import a\nelif x:\n    import b\nelse:\n    import c\n"
       "if x:\n    import d\nelif not TYPE_CHECKING:\n    import e\nelif y:\n    import f\n"
       "else:\n    import g\nif TYPE_CHECKING:\n    import h\nelif x:\n    import i\n",
       {"2 import a", "4[t] import b", "6[t] import c", "8 import d", "10 import e",
        "12[t] import f", "14[t] import g", "16[t] import h", "18 import i"}},
      {"dedent ends blocks, comments and blank lines do not",
       "def f():\n    import a\n\n# note\n    import b\nimport c\n",
       {"2[f] import a", "5[f] import b", "6 import c"}},
      {"match and case",
       "match x:\n    case {'a': 1}: import a\n    case _:\n        import b\nmatch = 1; import c\n"
       "case = 2\n",
       {"2 import a", "4 import b", "5 import c"}},
  });
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
