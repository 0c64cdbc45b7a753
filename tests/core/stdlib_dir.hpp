// Locates the Python standard library for tests that read real source files:
// $TARNWICK_STDLIB, else what `python3` reports. Empty when neither works.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

inline std::filesystem::path stdlib_dir() {
  if (const char* env = std::getenv("TARNWICK_STDLIB"); env != nullptr && *env != '\0') {
    return std::filesystem::is_directory(env) ? std::filesystem::path(env)
                                              : std::filesystem::path();
  }
  std::string out;
  if (FILE* pipe = ::popen(
          "python3 -c 'import sysconfig; print(sysconfig.get_paths()[\"stdlib\"])' 2>/dev/null",
          "r")) {
    char buf[512];
    while (std::fgets(buf, sizeof buf, pipe) != nullptr) out += buf;
    ::pclose(pipe);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  if (out.empty() || !std::filesystem::is_directory(out)) return {};
  return out;
}
