// The plain-text dump of import statement records.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>

#include "contract/import_dump.hpp"
#include "contract/parser.hpp"
#include "support/printers.hpp"

namespace {

// A text and the dump of its records.
using DumpCase = std::pair<const char*, const char*>;

// dump_imports writes to descriptor 1 itself. A packet socket there keeps
// write boundaries: the whole text must come as one packet.
std::string captured_dump(const tarnwick::ImportList& stmts) {
  std::fflush(stdout);
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) return "<socketpair failed>";
  const int saved = ::dup(1);
  ::dup2(fds[1], 1);
  tarnwick::dump_imports(stmts);
  ::dup2(saved, 1);
  ::close(saved);
  ::close(fds[1]);
  std::string out(1 << 16, '\0');
  const ssize_t n = ::read(fds[0], out.data(), out.size());
  char more;
  const bool once = n >= 0 && ::read(fds[0], &more, 1) == 0;
  ::close(fds[0]);
  return once ? out.substr(0, static_cast<std::size_t>(n)) : "<not one write>";
}

class Dump : public ::testing::TestWithParam<DumpCase> {};

TEST_P(Dump, FormatsExactlyAndWritesOnce) {
  const auto& [source, text] = GetParam();
  const tarnwick::ImportList stmts = tarnwick::parse(source);
  EXPECT_EQ(tarnwick::format_imports(stmts), text);
  EXPECT_EQ(captured_dump(stmts), text);
}

const DumpCase kDumps[] = {
    {"", ""},
    {"import os.path, b as c, x\nfrom ..pkg import a as b\n",
     "Import: {\n  {\n    name: os.path\n    name: b\n    asname: c\n    name: x\n  }\n}\n"
     "ImportFrom: {\n  level: 2\n  module: pkg\n  {\n    name: a\n    asname: b\n  }\n}\n"},
    {"from . import x", "ImportFrom: {\n  level: 1\n  module: \n  {\n    name: x\n  }\n}\n"},
};

INSTANTIATE_TEST_SUITE_P(Records, Dump, ::testing::ValuesIn(kDumps),
                         tarnwick::testing::CaseIndex());

}  // namespace
