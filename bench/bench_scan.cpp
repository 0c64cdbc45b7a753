// Throughput of the exact import scanner (tarnwick::scan_imports) alone, in
// bytes per second: the bar is 500 MB/s on ordinary Python source.
//
//  - BM_ScanFiles: every file of the corpus scanned on its own, as the graph
//    builder scans them.
//  - BM_ScanConcatenated: the same files as one text.
//  - BM_AdversarialScan/<kind>/<bytes>: texts built to make a scanner revisit
//    what it read (adversarial.hpp); time must grow linearly with size. These
//    need no corpus.
//
// The corpus is $TARNWICK_SCAN_CORPUS: either a directory, whose .py files
// are taken recursively (site-packages folders below it are left out, so the
// standard library's own directory gives the standard library alone), or a
// file listing one path per line. Files that are not valid UTF-8 are left out
// (the scanner is given text, as the binding gives it). For instance:
//
//   export TARNWICK_SCAN_CORPUS=$(python3 -c 'import sysconfig;
//   print(sysconfig.get_paths()["stdlib"])') build/bench/bench_scan find
//   "$VENV"/lib/python3.11/site-packages -name '*.py' > /tmp/files.txt
//   TARNWICK_SCAN_CORPUS=/tmp/files.txt build/bench/bench_scan
//
// Without the variable the benchmarks are skipped with that message.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "adversarial.hpp"
#include "common/source_file.hpp"
#include "corpus.hpp"
#include "exact/import_scan.hpp"

namespace {

std::vector<std::filesystem::path> corpus_paths(const std::filesystem::path& where) {
  std::error_code ec;
  if (std::filesystem::is_directory(where, ec)) return python_files_below(where);
  std::vector<std::filesystem::path> paths;  // a file listing one path per line
  std::ifstream list(where);
  for (std::string line; std::getline(list, line);) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (!line.empty()) paths.emplace_back(line);
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

struct Corpus {
  std::vector<std::string> texts;
  std::size_t bytes = 0;
  std::size_t left_out = 0;  // not valid UTF-8
  std::string problem;       // why there is no corpus
};

const Corpus& corpus() {
  static const Corpus c = [] {
    Corpus out;
    const char* env = std::getenv("TARNWICK_SCAN_CORPUS");
    if (env == nullptr || *env == '\0') {
      out.problem =
          "set TARNWICK_SCAN_CORPUS to a directory of .py files or a file listing them, e.g. "
          "$(python3 -c 'import sysconfig; print(sysconfig.get_paths()[\"stdlib\"])')";
      return out;
    }
    for (const auto& p : corpus_paths(env)) {
      std::string text = read_text(p);
      if (!tarnwick::is_valid_utf8(text)) {
        ++out.left_out;
        continue;
      }
      out.bytes += text.size();
      out.texts.push_back(std::move(text));
    }
    if (out.texts.empty()) out.problem = std::string("no .py files found through ") + env;
    return out;
  }();
  return c;
}

void report(benchmark::State& state, const Corpus& c, std::size_t bytes, std::size_t statements) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  state.counters["files"] = static_cast<double>(c.texts.size());
  state.counters["not_utf8"] = static_cast<double>(c.left_out);
  state.counters["statements"] = static_cast<double>(statements);
  state.counters["MB"] = static_cast<double>(bytes) / 1e6;
}

void BM_ScanFiles(benchmark::State& state) {
  const Corpus& c = corpus();
  if (!c.problem.empty()) {
    state.SkipWithError(c.problem.c_str());
    return;
  }
  std::size_t statements = 0;
  for (auto _ : state) {
    statements = 0;
    for (const auto& text : c.texts) {
      auto records = tarnwick::scan_imports(text);
      statements += records.size();
      benchmark::DoNotOptimize(records);
    }
  }
  report(state, c, c.bytes, statements);
}
BENCHMARK(BM_ScanFiles)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_ScanConcatenated(benchmark::State& state) {
  const Corpus& c = corpus();
  if (!c.problem.empty()) {
    state.SkipWithError(c.problem.c_str());
    return;
  }
  std::string all;
  all.reserve(c.bytes + c.texts.size());
  for (const auto& text : c.texts) {
    all += text;
    if (!all.empty() && all.back() != '\n') all += '\n';
  }
  std::size_t statements = 0;
  for (auto _ : state) {
    auto records = tarnwick::scan_imports(all);
    statements = records.size();
    benchmark::DoNotOptimize(records);
  }
  report(state, c, all.size(), statements);
}
BENCHMARK(BM_ScanConcatenated)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_AdversarialScan(benchmark::State& state) {
  const std::string text =
      adversarial(static_cast<int>(state.range(0)), static_cast<std::size_t>(state.range(1)));
  for (auto _ : state) {
    auto records = tarnwick::scan_imports(text);
    benchmark::DoNotOptimize(records);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

BENCHMARK(BM_AdversarialScan)->Apply(adversarial_runs);

}  // namespace

BENCHMARK_MAIN();
