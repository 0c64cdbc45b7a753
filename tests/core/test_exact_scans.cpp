#include "exact/source_scans.hpp"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/str_cat.hpp"
#include "support/exact_fixtures.hpp"
#include "support/printers.hpp"

namespace tarnwick {
namespace {

using testing::FakeServices;
using testing::TempTree;

// What a scan says, as text: status, error, size, and statements.
std::string scan_text(const FileScan& scan) {
  std::string out = str_cat(static_cast<int>(scan.status), " ", scan.error, " ", scan.stat.size);
  if (scan.statements) {
    for (const ImportStmt& s : *scan.statements) str_append(out, " | ", testing::describe(s));
  }
  return out;
}

// Files of every kind a worker meets: plain, needing a codec or names
// normalised (left to the caller), undecodable, missing, a folder.
std::vector<std::string> plant_files(TempTree& tree) {
  std::vector<std::string> paths;
  for (int i = 0; i < 40; ++i) {
    std::string text;
    for (int j = 0; j <= i % 5; ++j) str_append(text, "import m", i, "_", j, "\nfrom . import x\n");
    if (i % 3 == 0) text += "def f():\n    from a.b import (c as d,\n        e)\n";
    tree.write(str_cat("f", i, ".py"), text);
    paths.push_back(tree.at(str_cat("f", i, ".py")));
  }
  tree.apply(
      "u.py=import caf\xc3\xa9\n|l.py=# coding: latin-1\nimport \xe9t\xe9\n|"
      "k.py=# coding: klingon\nimport x\n|b.py=\xff\n|dir.py/x=");
  for (const char* rel : {"u.py", "l.py", "k.py", "b.py", "dir.py", "missing.py"}) {
    paths.push_back(tree.at(rel));
  }
  return paths;
}

// Every job of a pool comes back once, and finished as a caller finishes
// them, each scan is what one thread reading alone gets.
TEST(ScanPool, ResultsEqualScansOnOneThread) {
  TempTree tree;
  const std::vector<std::string> paths = plant_files(tree);
  FakeServices services;
  std::vector<std::string> want;
  for (const std::string& path : paths) want.push_back(scan_text(read_scan(path, &services)));
  for (const std::size_t threads : {0, 1, 3}) {
    SCOPED_TRACE(str_cat(threads, " threads"));
    ScanPool pool(threads);
    std::map<std::size_t, std::pair<std::size_t, bool>> jobs;  // its path's index, watched
    for (int round = 0; round < 3; ++round) {
      for (std::size_t i = 0; i < paths.size(); ++i) {
        jobs[pool.submit(paths[i], nullptr, round == 1)] = {i, round == 1};
      }
    }
    EXPECT_EQ(pool.outstanding(), 3 * paths.size());
    while (std::optional<ScanPool::Result> r = pool.next()) {
      const auto it = jobs.find(r->job);
      ASSERT_TRUE(it != jobs.end()) << r->job;  // unknown, or come back before
      const auto [index, watched] = it->second;
      jobs.erase(it);
      EXPECT_FALSE(r->reused);
      EXPECT_EQ(r->watched, watched);
      FileScan scan = std::move(r->scan);
      if (r->finish) scan = scan_bytes(scan.stat, std::move(r->bytes), &services);
      if (r->retry) scan = read_scan(paths[index], &services);
      EXPECT_EQ(scan_text(scan), want[index]) << paths[index];
    }
    EXPECT_TRUE(jobs.empty());
    EXPECT_EQ(pool.outstanding(), 0u);
  }
}

// A held scan comes back as it is while the file's stat is unchanged, and
// a new one once it changed.
TEST(ScanPool, HeldScansAreReusedWhileUnchanged) {
  TempTree tree;
  tree.apply("a.py=import x\n|b.py=import y\n");
  FakeServices services;
  const auto a = std::make_shared<const FileScan>(read_scan(tree.at("a.py"), &services));
  const auto b = std::make_shared<const FileScan>(read_scan(tree.at("b.py"), &services));
  tree.apply("b.py=import z\n");  // the same size, another time
  for (const std::size_t threads : {0, 2}) {
    ScanPool pool(threads);
    const std::size_t ja = pool.submit(tree.at("a.py"), a, false);
    pool.submit(tree.at("b.py"), b, false);
    for (int i = 0; i < 2; ++i) {
      const std::optional<ScanPool::Result> r = pool.next();
      ASSERT_TRUE(r);
      EXPECT_EQ(r->reused, r->job == ja);
      if (r->job != ja) {
        EXPECT_EQ(scan_text(r->scan), "0  9 | 1 import z");
      }
    }
    EXPECT_FALSE(pool.next());
  }
  EXPECT_FALSE(read_scan(tree.at("b.py"), &services).same_statements(*b));
  EXPECT_TRUE(read_scan(tree.at("a.py"), &services).same_statements(*a));
}

}  // namespace
}  // namespace tarnwick
