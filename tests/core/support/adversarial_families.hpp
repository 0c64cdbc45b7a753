// Generated texts on which a scanner or parser that reads the rest of the text
// again from every line takes quadratic time: the tables of the linear-time
// checks of both scanners.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tarnwick::testing {

// Texts that make a backtracking matcher read the rest of the text again
// from every line, built from two pieces and a line end: the line "a b"
// repeated, and the line "a" repeated followed by the line "b" repeated. The
// pieces open brackets and lists, continue comments, leave quotes of every
// kind open, run backslashes, and write long names and long lists.
struct Family {
  std::string first;   // repeated over the first half of the text
  std::string second;  // and over the rest

  std::string build(std::size_t size) const {
    std::string out;
    while (out.size() < size / 2) out += first;
    while (out.size() < size) out += second;
    return out;
  }
};

inline std::vector<Family> adversarial_families() {
  const std::vector<std::string> pieces = {"from a import (",
                                           "from a import (b,",
                                           "from . import (a as b, # x",
                                           "(",
                                           "# c \\",
                                           "c, # n \\",
                                           "#",
                                           "\"",
                                           "'",
                                           "\"\"\"",
                                           "'''",
                                           "rb'''",
                                           "b''b''b''",
                                           "f\"",
                                           "\"\\",
                                           "\\",
                                           "\\\\\\",
                                           std::string(200, 'a'),
                                           "import a.a.a.a.a.a.a.a",
                                           "x,",
                                           "import a as b,",
                                           "import a \\",
                                           "f'''{",
                                           "f\"{x:{",
                                           "def f(",
                                           "try:",
                                           "{",
                                           ""};
  std::vector<Family> families;
  for (const auto& a : pieces) {
    for (const auto& b : pieces) {
      for (const char* end : {"\n", "\r\n", "\\\n"}) {
        families.push_back({a + " " + b + end, a + " " + b + end});
        families.push_back({a + end, b + end});
      }
    }
  }
  return families;
}

}  // namespace tarnwick::testing
