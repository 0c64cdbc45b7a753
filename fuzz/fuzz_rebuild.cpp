// Fuzz target for the exact builder's rebuilds: the input is a small program
// of edits on a tiny package tree in a temporary folder (files written with
// import lines, removed, renamed; folders made, removed, renamed, replaced
// by a new one of the same name). One builder rebuilds after every edit,
// and some rebuilds are made to fail part way (the host's finder or its
// interrupt check throws); every rebuild that completes must give exactly
// the graph of a fresh builder over the tree as it is. Any difference aborts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "../tests/core/support/exact_fixtures.hpp"
#include "common/str_cat.hpp"
#include "exact/exact_builder.hpp"

namespace {

using tarnwick::ExactBuilder;
using tarnwick::ExactRequest;
using tarnwick::str_append;
using tarnwick::str_cat;
using tarnwick::testing::FakeServices;
using tarnwick::testing::TempTree;

// Reads the input as a stream of choices; zeros once it runs out.
class Choices {
 public:
  Choices(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}
  bool done() const noexcept { return p_ == end_; }
  std::size_t below(std::size_t n) { return p_ == end_ ? 0 : *p_++ % n; }

 private:
  const std::uint8_t* p_;
  const std::uint8_t* end_;
};

constexpr const char* kFolders[] = {"pk", "pk/a", "pk/b", "pk/c", "pk/a/d", "ns"};
constexpr const char* kFiles[] = {"main.py",
                                  "m0.py",
                                  "m1.py",
                                  "pk/__init__.py",
                                  "pk/a/__init__.py",
                                  "pk/b/__init__.py",
                                  "pk/c/__init__.py",
                                  "pk/a/x.py",
                                  "pk/b/x.py",
                                  "pk/c/y.py",
                                  "pk/a/d/__init__.py",
                                  "ns/z.py",
                                  "pk/b/d.py",
                                  "m0/__init__.py"};
constexpr const char* kLines[] = {
    "import m0",          "import m1",
    "import pk.a.x",      "from pk import a, b",
    "from . import x",    "from .. import c",
    "import pk.b.x as q", "from pk.c import y",
    "import ns.z",        "def f():\n    import m1",
    "import nope",        "from .x import *",
    "import pk.a.d",      "import __main__",
    "from pk.b import d", "from ... import m0",
};
constexpr std::size_t kLineCount = sizeof kLines / sizeof *kLines;

std::string text(Choices& in) {
  std::string out;
  for (std::size_t n = in.below(4); n > 0; --n) {
    out += kLines[in.below(kLineCount)];
    out += '\n';
  }
  return out;
}

template <std::size_t N>
const char* pick(Choices& in, const char* const (&from)[N]) {
  return from[in.below(N)];
}

std::string fresh(const TempTree& tree, const ExactRequest& request) {
  FakeServices services;
  ExactBuilder builder(tarnwick::testing::config_over(tree.root(), true), false, 1);
  return tarnwick::testing::graph_text(*builder.build(request, &services), tree.root());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Choices in(data, size);
  TempTree tree;
  tree.apply(
      "main.py=import m0, pk.a.x\nfrom pk import b\n|m0.py=import pk.b.x\n|pk/__init__.py="
      "|pk/a/__init__.py=from . import x\n|pk/a/x.py=from .. import b\n|pk/b/__init__.py="
      "|pk/b/x.py=import m1\n|m1.py=");
  ExactRequest request;
  switch (in.below(3)) {
    case 0:
      request.kind = ExactRequest::Kind::kScript;
      request.path = tree.at("main.py");
      break;
    case 1:
      request.kind = ExactRequest::Kind::kModules;
      request.names = {"m0", "pk.a.x", "ns.z"};
      break;
    default:
      request.kind = ExactRequest::Kind::kPackages;
      request.names = {"pk"};
      break;
  }
  const bool watch = in.below(2) == 0;
  FakeServices services;
  ExactBuilder builder(tarnwick::testing::config_over(tree.root(), true), watch, 1 + in.below(3));
  builder.build(request, &services);

  // A rebuild that must fail after k calls of find() or of the check, armed
  // for the next edit; with `pile`, the edit after that comes on top.
  struct Stop {
    bool armed = false, in_find = false, pile = false;
    std::size_t k = 0;
  } stop;
  std::string edits;  // since the last completed rebuild
  const auto compare = [&] {
    const std::string got =
        tarnwick::testing::graph_text(*builder.build(request, &services), tree.root());
    const std::string want = fresh(tree, request);
    if (got != want) {
      std::fprintf(stderr, "after %s\nrebuilt:\n%s\nfresh:\n%s\n", edits.c_str(), got.c_str(),
                   want.c_str());
      std::abort();
    }
    edits.clear();
  };

  for (int step = 0; step < 24 && !in.done(); ++step) {
    // Each choice in its own statement: the order they are read in is fixed.
    std::string edit;
    const std::size_t op = in.below(9);
    const std::string file = pick(in, kFiles), folder = pick(in, kFolders);
    switch (op) {
      case 0:
      case 1:
        edit = str_cat("w ", file, "=", text(in));
        break;
      case 2:
        edit = str_cat("rm ", file);
        break;
      case 3:
        edit = str_cat("rm ", folder);
        break;
      case 4:
        edit = str_cat("mv ", folder, " ", pick(in, kFolders));
        break;
      case 5:
        edit = str_cat("mv ", file, " ", pick(in, kFiles));
        break;
      case 6:
        edit = str_cat("d ", folder);
        break;
      case 7: {  // a folder replaced by a new one of the same name
        const std::string to = pick(in, kFolders);
        edit = str_cat("mv ", folder, " ", to, "|d ", folder, "|w ", folder, "/__init__.py=");
        edit += text(in);
        break;
      }
      default:
        stop.armed = true;
        stop.k = in.below(16);
        stop.in_find = in.below(2) == 0;
        stop.pile = in.below(2) == 0;
        continue;
    }
    try {
      tree.apply(edit);
    } catch (const std::filesystem::filesystem_error&) {
      // An edit the tree does not allow (a folder into itself, onto a file):
      // whatever it did before failing stands.
    }
    str_append(edits, "[", edit, "] ");
    if (stop.armed) {
      stop.armed = false;
      services.find_limit = stop.in_find ? services.finds + stop.k : FakeServices::kNever;
      services.check_limit = stop.in_find ? FakeServices::kNever : services.checks + stop.k % 2;
      bool failed = false;
      try {
        builder.build(request, &services);
      } catch (const tarnwick::testing::Interrupted&) {
        failed = true;
        edits += "[stopped] ";
      }
      services.find_limit = services.check_limit = FakeServices::kNever;
      if (failed && stop.pile) continue;
    }
    compare();
  }
  if (!edits.empty()) compare();
  return 0;
}
