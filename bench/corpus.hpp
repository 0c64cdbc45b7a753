// The Python files the scanner benchmarks read: every .py file below a
// folder (leaving out its site-packages, which is not the standard library),
// in path order, and each file's text.
#pragma once

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "common/platform_fs.hpp"

inline std::vector<std::filesystem::path> python_files_below(const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> paths;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(
           dir, std::filesystem::directory_options::skip_permission_denied, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    if (it->is_directory(ec) && it->path().filename() == "site-packages") {
      it.disable_recursion_pending();
      continue;
    }
    if (it->is_regular_file(ec) && it->path().extension() == ".py") paths.push_back(it->path());
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

// The whole file (empty when it cannot be read).
inline std::string read_text(const std::filesystem::path& path) {
  std::string text;
  tarnwick::fs::read_file(path.string(), text);
  return text;
}
