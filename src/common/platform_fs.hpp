// The file system as the core sees it: the only code that makes operating
// system file calls. Everything here is POSIX; a port to another system
// replaces platform_fs.cpp and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tarnwick::fs {

enum class EntryType : std::uint8_t { kMissing, kFile, kDirectory, kOther };

struct FileStat {
  EntryType type = EntryType::kMissing;
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;
  // Which file it is, and when its metadata last changed: a file renamed
  // over another, or a folder replaced by one of the same name, keeps or
  // brings a modification time, but not its inode or change time.
  std::uint64_t inode = 0;
  std::int64_t ctime_ns = 0;

  // Whether it is, as far as a stat can tell, the same file unchanged.
  bool same(const FileStat& other) const noexcept {
    return type == other.type && size == other.size && mtime_ns == other.mtime_ns &&
           inode == other.inode && ctime_ns == other.ctime_ns;
  }
};

// What `path` is, following symlinks. Anything that cannot be stat'ed
// (absent, unreadable parent, dangling link) is kMissing. A path through a
// zip archive is what the archive holds there (see zip_archive.hpp).
FileStat stat_path(const std::string& path) noexcept;

// Whether `path` itself is a symbolic link (not followed).
bool is_symlink(const std::string& path) noexcept;

// The folder part of a path: the text before its last '/' ("" for none).
std::string_view folder_of(std::string_view path) noexcept;

// A fixed list of paths to stat again and again, as a rebuild checks what
// the last build read. It is grouped by folder once; each run opens each
// folder once and stats its entries relative to it, which spares the system
// most of the path lookups, and long lists are shared out over two threads.
class StatPlan {
 public:
  StatPlan() = default;
  explicit StatPlan(const std::vector<std::string>& paths);

  const std::vector<std::string>& paths() const noexcept { return paths_; }

  // stat_path of every path, into `out` in the order of paths().
  void run(std::vector<FileStat>& out) const;

 private:
  struct Folder {
    std::string path;
    std::vector<std::uint32_t> entries;  // indices into paths_
  };
  void run_folders(std::size_t from, std::size_t to, std::vector<FileStat>& out) const noexcept;

  std::vector<std::string> paths_;
  std::vector<Folder> folders_;
  std::size_t split_ = 0;  // folders_[0, split_) go to one thread, the rest to the other
};

// Notices of changes in folders, where the system gives them (inotify on
// Linux). A watched folder reports the entries created, deleted or renamed in
// it, the entries written or touched, and its own deletion or move. Where
// the system has no such notices, for a folder on a network or user-space
// file system (whose changes from elsewhere would go unreported), and in a
// process forked from the one that set the watches, watch() says no (or
// take() reports notices lost) and callers stat instead.
class FolderWatch {
 public:
  struct Notice {
    std::string folder;
    std::string name;      // the entry; empty when the folder itself changed
    bool entries = false;  // the folder's set of entries changed (or the folder itself)
  };

  FolderWatch() = default;
  FolderWatch(const FolderWatch&) = delete;
  FolderWatch& operator=(const FolderWatch&) = delete;
  ~FolderWatch();

  // Starts watching `folder` (set up before it is read, so nothing after
  // the read goes unnoticed). False when it cannot be watched.
  bool watch(const std::string& folder);
  bool watched(std::string_view folder) const;
  // Whether notices are being collected at all (watch() ever succeeded in
  // this process).
  bool active() const noexcept { return fd_ >= 0 && !watches_.empty(); }
  // Goes up each time every watch is dropped: a watch set in an earlier
  // generation is gone.
  std::uint64_t generation() const noexcept { return generation_; }

  // Moves the notices since the last call into `out`. False when notices
  // were lost (the queue overflowed, or this is a forked process): then
  // anything may have changed, and every watch is dropped.
  bool take(std::vector<Notice>& out);

 private:
  void reset() noexcept;
  void forget(int wd) noexcept;

  int fd_ = -1;
  long pid_ = 0;  // the process that set the watches
  std::uint64_t generation_ = 0;
  std::unordered_map<int, std::string> folders_;  // watch descriptor -> folder
  std::unordered_map<std::string, int> watches_;  // folder -> watch descriptor
};

// One name in a directory. Symlinks are resolved, so a link to a directory is
// a kDirectory and a dangling link is kMissing.
struct DirEntry {
  std::string name;
  EntryType type = EntryType::kMissing;
};

// Replaces `out` with the names in `path` (without "." and ".."), in no
// particular order. A zip archive, and a folder inside one, list the names
// its members make (and set `*in_archive`, when given). On failure returns
// false, leaves `out` empty and sets `error` to the errno value.
bool list_directory(const std::string& path, std::vector<DirEntry>& out, int& error,
                    bool* in_archive = nullptr);

// Replaces `out` with the whole content of the file; returns 0 or an errno
// value (with `out` empty), and then sets `*opened` to whether the file
// could be opened (the failure was in reading it).
int read_file(const std::string& path, std::string& out, bool* opened = nullptr);

// read_file for a reader that also wants the file's stat: taken from the
// open file (following links, like stat_path), so the stat and the text are
// of the same file. A regular file is read up to the size its stat gives;
// `stat` is kMissing when the file cannot be opened. A member of a zip
// archive is read from the archive, with its stat as stat_path gives it.
int read_file_stat(const std::string& path, std::string& out, FileStat& stat);

// Write all of `text` to standard output or error, unbuffered (past any
// buffering of the host); give up quietly when the stream is closed.
void write_stdout(std::string_view text) noexcept;
void write_stderr(std::string_view text) noexcept;

// How many CPUs this process may run on (its affinity mask), at least 1.
std::size_t usable_cpus() noexcept;

// "No such file or directory (os error 2)".
std::string os_error_text(int error);

// `dir` and `name` joined by one '/': trailing separators of `dir` are
// dropped, and an empty `dir` gives `name` unchanged.
std::string join_path(std::string_view dir, std::string_view name);

}  // namespace tarnwick::fs
