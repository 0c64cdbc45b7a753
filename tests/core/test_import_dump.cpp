// The plain-text dump of import statement records.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "core/import_dump.hpp"

namespace {

using tarnwick::Alias;
using tarnwick::Import;
using tarnwick::ImportFrom;
using tarnwick::ImportStmt;

struct DumpCase {
  const char* what;
  std::vector<ImportStmt> stmts;
  const char* text;
};

class Dump : public ::testing::TestWithParam<DumpCase> {};

TEST_P(Dump, FormatsExactly) {
  const DumpCase& c = GetParam();
  EXPECT_EQ(tarnwick::format_imports(c.stmts), c.text) << c.what;
}

const DumpCase kDumps[] = {
    {"nothing", {}, ""},
    {"relative from with as",
     {ImportFrom{"pkg", {Alias{"a", "b"}, Alias{"c", std::nullopt}}, 2}},
     "ImportFrom: {\n  level: 2\n  module: pkg\n  {\n    name: a\n    asname: b\n    name: c\n  "
     "}\n}\n"},
    {"plain import then from with level 0 and empty module",
     {Import{{Alias{"os.path", std::nullopt}}}, ImportFrom{"", {Alias{"x", std::nullopt}}, 0}},
     "Import: {\n  {\n    name: os.path\n  }\n}\nImportFrom: {\n  level: 0\n  module: \n  {\n    "
     "name: x\n  }\n}\n"},
    {"three aliases share one block",
     {Import{{Alias{"a", std::nullopt}, Alias{"b", "c"}, Alias{"d", std::nullopt}}}},
     "Import: {\n  {\n    name: a\n    name: b\n    asname: c\n    name: d\n  }\n}\n"},
    {"no names", {Import{{}}}, "Import: {\n  {\n  }\n}\n"},
    {"absent module and level",
     {ImportFrom{std::nullopt, {Alias{"x", std::nullopt}}, std::nullopt}},
     "ImportFrom: {\n  {\n    name: x\n  }\n}\n"},
    {"level without module",
     {ImportFrom{std::nullopt, {}, 3}},
     "ImportFrom: {\n  level: 3\n  {\n  }\n}\n"},
    {"largest level",
     {ImportFrom{"m", {}, 18446744073709551615ull}},
     "ImportFrom: {\n  level: 18446744073709551615\n  module: m\n  {\n  }\n}\n"},
};

INSTANTIATE_TEST_SUITE_P(Records, Dump, ::testing::ValuesIn(kDumps));

// dump_imports writes to file descriptor 1 itself; redirect it to a pipe.
std::string captured_dump(const std::vector<ImportStmt>& stmts) {
  std::fflush(stdout);
  int fds[2];
  if (::pipe(fds) != 0) return "<pipe failed>";
  const int saved = ::dup(1);
  ::dup2(fds[1], 1);
  tarnwick::dump_imports(stmts);
  ::dup2(saved, 1);
  ::close(saved);
  ::close(fds[1]);
  std::string out;
  char buf[256];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  ::close(fds[0]);
  return out;
}

TEST(DumpImports, WritesTheFormattedTextToDescriptorOne) {
  for (const DumpCase& c : kDumps) EXPECT_EQ(captured_dump(c.stmts), c.text) << c.what;
}

}  // namespace
