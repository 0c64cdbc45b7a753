// Texts built to make a scanner or a backtracking parser revisit what it
// read: the families both scanner benchmarks run at growing sizes.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

// Repeats `line` until the text holds `size` bytes, after an optional head.
inline std::string repeat_to(std::size_t size, const std::string& line,
                             const std::string& head = "") {
  std::string out = head;
  out.reserve(size + line.size());
  while (out.size() < size) out += line;
  return out;
}

enum Adversary : int {
  kUnterminatedDouble,
  kUnterminatedSingle,
  kOpenFromList,
  kContinuedComment,
  kLongLine,
  kLongLineImports,
  kUnclosedQuoteLines,
  kClosingQuoteQuirk,
  kContinuedCommentInList,
};

inline std::string adversarial(int kind, std::size_t size) {
  switch (kind) {
    case kUnterminatedDouble:
      return repeat_to(size, "\"\"\"abc import os\n");
    case kUnterminatedSingle:
      return repeat_to(size, "'''abc\nimport os\n");
    case kOpenFromList:
      return repeat_to(size, "    c,  # note\n\n", "from a import (b,\n");
    case kContinuedComment:
      return repeat_to(size, "# a comment line that goes on \\\n");
    case kLongLine:
      return repeat_to(size, "x = a + b * (c - d) / \"e\" ");
    case kLongLineImports:
      return repeat_to(size, ", abc.de as f", "import a");
    case kUnclosedQuoteLines:
      return repeat_to(size, "\"" + std::string(1000, 'x') + "\n");
    case kClosingQuoteQuirk:
      return repeat_to(size, "x = \"\"\"\nimport os\n\"\"\"\n");
    case kContinuedCommentInList:
      return repeat_to(size, "from a import ( # c \\\n");
    default:
      return {};
  }
}

// The runs of an adversarial benchmark: every family at 1, 2, 4 and 8 MB, in
// milliseconds, with the minimum of the repetitions next to mean and median
// (the machine is shared).
inline void adversarial_runs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"kind", "bytes"});
  for (int kind = kUnterminatedDouble; kind <= kContinuedCommentInList; ++kind) {
    for (std::int64_t mb : {1, 2, 4, 8}) b->Args({kind, mb << 20});
  }
  b->Unit(benchmark::kMillisecond);
  b->ComputeStatistics(
      "min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
}
