// The file system as the core sees it: the only code that makes operating
// system file calls. Everything here is POSIX; a port to another system
// replaces platform_fs.cpp and nothing else.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::fs {

enum class EntryType : std::uint8_t { kMissing, kFile, kDirectory, kOther };

struct FileStat {
  EntryType type = EntryType::kMissing;
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;
};

// What `path` is, following symlinks. Anything that cannot be stat'ed
// (absent, unreadable parent, dangling link) is kMissing.
FileStat stat_path(const std::string& path) noexcept;

// stat_path of every path in `paths`, into `out` (same order); long lists
// are shared out over two threads.
void stat_paths(const std::vector<std::string>& paths, std::vector<FileStat>& out);

// One name in a directory. Symlinks are resolved, so a link to a directory is
// a kDirectory and a dangling link is kMissing.
struct DirEntry {
  std::string name;
  EntryType type = EntryType::kMissing;
};

// Replaces `out` with the names in `path` (without "." and ".."), in no
// particular order. On failure returns false, leaves `out` empty and sets
// `error` to the errno value.
bool list_directory(const std::string& path, std::vector<DirEntry>& out, int& error);

// Replaces `out` with the whole content of the file; returns 0 or an errno
// value (with `out` empty), and then sets `*opened` to whether the file
// could be opened (the failure was in reading it).
int read_file(const std::string& path, std::string& out, bool* opened = nullptr);

// Writes all of `text` to standard error, unbuffered; gives up quietly when
// the stream is closed.
void write_stderr(std::string_view text) noexcept;

// "No such file or directory (os error 2)".
std::string os_error_text(int error);

// `dir` and `name` joined by one '/': trailing separators of `dir` are
// dropped, and an empty `dir` gives `name` unchanged.
std::string join_path(std::string_view dir, std::string_view name);

}  // namespace tarnwick::fs
