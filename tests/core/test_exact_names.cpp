#include "exact/module_names.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include "common/str_cat.hpp"
#include "support/exact_fixtures.hpp"

namespace tarnwick {
namespace {

// `id` and its enclosing packages, outermost last, with each one's parts
// ("" for no module).
std::string chain(const ModuleNames& names, ModuleId id) {
  std::string out;
  for (; id != kNoModule; id = names.parent(id)) {
    str_append(out, out.empty() ? "" : " ", names.name(id), ":", names.parts(id));
  }
  return out;
}

TEST(ModuleNames, InternsEveryEnclosingPackage) {
  // Names interned in this order, one looked up, its chain ("" when it was
  // never interned) and the size of the table.
  struct Case {
    const char *interned, *name, *chain;
    std::size_t size;
  };
  const Case cases[] = {
      {"a.b.c", "a.b.c", "a.b.c:3 a.b:2 a:1", 3},
      {"a.b.c", "a.b", "a.b:2 a:1", 3},
      {"a.b.c", "b", "", 3},
      {"a.b.c", "a.b.c.d", "", 3},
      {"a.b.c a.b.d a", "a.b.d", "a.b.d:3 a.b:2 a:1", 4},
      {"ab a.b", "ab", "ab:1", 3},
      {"a.bc a.b", "a.b", "a.b:2 a:1", 3},
      {"a.bc", "a.b", "", 2},
      {"x.y x", "x", "x:1", 2},
      {"abcdefgh.ijklmnop abcdefgh.ijklmnopq", "abcdefgh.ijklmnopq",
       "abcdefgh.ijklmnopq:2 abcdefgh:1", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(str_cat(c.interned, " then ", c.name));
    ModuleNames names;
    for (const std::string& n : testing::split(c.interned, ' ')) names.intern(n);
    for (const std::string& n : testing::split(c.interned, ' ')) {
      EXPECT_EQ(names.intern(n), names.find(n));  // interned once
    }
    EXPECT_EQ(names.size(), c.size);
    EXPECT_EQ(chain(names, names.find(c.name)), c.chain);
  }
}

// Ids and the names' texts stay as they were while the table grows past
// many times its first size and its text blocks fill.
TEST(ModuleNames, IdsAndTextsStableAcrossGrowth) {
  ModuleNames names;
  std::vector<std::pair<std::string, ModuleId>> first;
  std::vector<const char*> texts;
  for (int i = 0; i < 50; ++i) {
    const std::string n = str_cat("pkg", i % 7, ".mod", i);
    first.emplace_back(n, names.intern(n));
    texts.push_back(names.name(first.back().second).data());
  }
  for (int i = 0; i < 100'000; ++i) names.intern(str_cat("top", i % 300, ".sub", i, ".leaf"));
  EXPECT_EQ(names.size(), 7 + 50 + 300 + 2 * 100'000);
  for (std::size_t k = 0; k < first.size(); ++k) {
    EXPECT_EQ(names.find(first[k].first), first[k].second);
    EXPECT_EQ(names.name(first[k].second), first[k].first);
    EXPECT_EQ(names.name(first[k].second).data(), texts[k]);
  }
  EXPECT_EQ(chain(names, names.find("top99.sub99999.leaf")),
            "top99.sub99999.leaf:3 top99.sub99999:2 top99:1");
}

// Growing the table hashes every name held again from its text, and the
// packages of a long name are as long as it: interning one name of n parts
// reads some n^2 / 2 bytes (here 25,000 parts take 0.2 s, 50,000 0.7 s,
// 100,000 2.4 s; minutes under valgrind). It is interned without recursion,
// and its packages' names are views of the one copy of it (memory linear in
// its length). A second name sharing half of it adds only the parts it does
// not share.
TEST(ModuleNames, NamesOfManyPartsInLinearTime) {
  constexpr std::uint32_t parts = 100'000;
  std::string name = "p";
  for (std::uint32_t i = 1; i < parts; ++i) name += ".p";
  ModuleNames names;
  const ModuleId id = names.intern(name);
  ASSERT_EQ(names.size(), parts);
  const char* text = names.name(id).data();
  std::uint32_t steps = 0;
  for (ModuleId p = id; p != kNoModule; p = names.parent(p), ++steps) {
    ASSERT_EQ(names.parts(p), parts - steps);
    ASSERT_EQ(names.name(p).data(), text);
    ASSERT_EQ(names.name(p).size(), 2 * (parts - steps) - 1);
  }
  EXPECT_EQ(steps, parts);

  const std::string other = name.substr(0, parts - 1) + ".q.q";  // half the parts, then q.q
  const ModuleId o = names.intern(other);
  EXPECT_EQ(names.size(), parts + 2);
  EXPECT_EQ(names.parts(o), parts / 2 + 2);
  EXPECT_EQ(names.name(names.parent(names.parent(o))), name.substr(0, parts - 1));
}

// The order of names is the order of their texts, whichever names are
// asked for: names whose parts hold characters below '.' ('-', ' ', '!'),
// above it (digits, '_', capitals, UTF-8), and prefixes of others.
TEST(ModuleNames, InNameOrderIsTheTextsOrder) {
  const std::vector<std::vector<std::string>> cases = {
      {"a.b", "a0", "a", "a.b.c", "a_b", "a.bc", "A", "\xc3\xa9t\xc3\xa9", "__main__", "b.a"},
      {"p.x-y", "p.x", "p.x.z", "p.x y", "p!"},
      {"m.n.o", "m", "m.n", "m.n0", "m.n.o.p"},
  };
  for (const std::vector<std::string>& texts : cases) {
    ModuleNames names;
    for (const std::string& t : texts) names.intern(t);
    // Every name, then only those asked for (their packages left out).
    std::vector<ModuleId> every(names.size()), asked;
    std::iota(every.begin(), every.end(), ModuleId{0});
    for (const std::string& t : texts) asked.push_back(names.find(t));
    for (const std::vector<ModuleId>& ids : {every, asked}) {
      std::vector<ModuleId> want = ids;
      std::ranges::sort(want,
                        [&](ModuleId a, ModuleId b) { return names.name(a) < names.name(b); });
      EXPECT_EQ(names.in_name_order(ids), want) << texts.front() << (ids == every ? ", all" : "");
    }
  }
}

}  // namespace
}  // namespace tarnwick
