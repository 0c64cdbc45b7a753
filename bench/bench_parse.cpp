// Throughput of the core import statement parser.
//
//  - BM_ParseStdlibFiles: every UTF-8 .py file of the Python standard library,
//    each parsed on its own (as the graph builder does), in MB/s.
//  - BM_ParseStdlibConcatenated: the same files as one text.
//  - BM_Adversarial/<kind>/<bytes>: inputs built to make a plain backtracking
//    parser rescan the rest of the text; time must grow linearly with size.
//
// The standard library is found through $TARNWICK_STDLIB or `python3`; the
// stdlib benchmarks are skipped when neither works.
//
// `bench_parse --peak-memory FILE` parses FILE once and prints the peak
// resident set size of the process, for the memory figures.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "adversarial.hpp"
#include "common/source_file.hpp"
#include "contract/parser.hpp"
#include "corpus.hpp"

namespace {

std::filesystem::path stdlib_dir() {
  if (const char* env = std::getenv("TARNWICK_STDLIB"); env != nullptr && *env != '\0') return env;
  std::string out;
  if (FILE* pipe = ::popen(
          "python3 -c 'import sysconfig; print(sysconfig.get_paths()[\"stdlib\"])' 2>/dev/null",
          "r")) {
    char buf[512];
    while (std::fgets(buf, sizeof buf, pipe) != nullptr) out += buf;
    ::pclose(pipe);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

const std::vector<std::string>& stdlib_files() {
  static const std::vector<std::string> files = [] {
    std::vector<std::string> out;
    const auto dir = stdlib_dir();
    std::error_code ec;
    if (dir.empty() || !std::filesystem::is_directory(dir, ec)) return out;
    const std::vector<std::filesystem::path> paths = python_files_below(dir);
    for (const auto& p : paths) {
      std::string text = read_text(p);
      if (tarnwick::is_valid_utf8(text)) out.push_back(std::move(text));
    }
    return out;
  }();
  return files;
}

void BM_ParseStdlibFiles(benchmark::State& state) {
  const auto& files = stdlib_files();
  if (files.empty()) {
    state.SkipWithError("no Python standard library found");
    return;
  }
  std::size_t bytes = 0;
  for (const auto& f : files) bytes += f.size();
  std::size_t imports = 0;
  for (auto _ : state) {
    imports = 0;
    for (const auto& f : files) {
      auto records = tarnwick::parse(f);
      imports += records.size();
      benchmark::DoNotOptimize(records);
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  state.counters["files"] = static_cast<double>(files.size());
  state.counters["imports"] = static_cast<double>(imports);
  state.counters["MB"] = static_cast<double>(bytes) / 1e6;
}
BENCHMARK(BM_ParseStdlibFiles)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_ParseStdlibConcatenated(benchmark::State& state) {
  const auto& files = stdlib_files();
  if (files.empty()) {
    state.SkipWithError("no Python standard library found");
    return;
  }
  std::string all;
  for (const auto& f : files) {
    all += f;
    if (!all.empty() && all.back() != '\n') all += '\n';
  }
  for (auto _ : state) {
    auto records = tarnwick::parse(all);
    benchmark::DoNotOptimize(records);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * all.size()));
}
BENCHMARK(BM_ParseStdlibConcatenated)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_Adversarial(benchmark::State& state) {
  const std::string text =
      adversarial(static_cast<int>(state.range(0)), static_cast<std::size_t>(state.range(1)));
  for (auto _ : state) {
    auto records = tarnwick::parse(text);
    benchmark::DoNotOptimize(records);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

BENCHMARK(BM_Adversarial)->Apply(adversarial_runs);

int peak_memory(const char* path) {
  std::string text;
  if (std::strncmp(path, "adversarial:", 12) == 0) {
    text = adversarial(std::atoi(path + 12), std::size_t{8} << 20);
  } else {
    text = read_text(path);
  }
  rusage before{};
  ::getrusage(RUSAGE_SELF, &before);
  const auto records = tarnwick::parse(text);
  rusage after{};
  ::getrusage(RUSAGE_SELF, &after);
  std::printf("input %zu bytes, %zu statements, peak RSS %ld KiB (before parse %ld KiB)\n",
              text.size(), records.size(), after.ru_maxrss, before.ru_maxrss);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--peak-memory") == 0) return peak_memory(argv[2]);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
