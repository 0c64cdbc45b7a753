#include "common/platform_fs.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#if defined(__linux__)
#include <sys/inotify.h>
#include <sys/statfs.h>
#endif
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "common/str_cat.hpp"
#include "common/zip_archive.hpp"

namespace tarnwick::fs {

namespace {

EntryType type_of_mode(mode_t mode) noexcept {
  if (S_ISREG(mode)) return EntryType::kFile;
  if (S_ISDIR(mode)) return EntryType::kDirectory;
  return EntryType::kOther;
}

std::int64_t ns_of(const struct timespec& t) noexcept {
  return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

FileStat stat_of(const struct stat& st) noexcept {
  FileStat out;
  out.type = type_of_mode(st.st_mode);
  out.size = static_cast<std::uint64_t>(st.st_size);
#if defined(__APPLE__)
  out.mtime_ns = ns_of(st.st_mtimespec);
  out.ctime_ns = ns_of(st.st_ctimespec);
#else
  out.mtime_ns = ns_of(st.st_mtim);
  out.ctime_ns = ns_of(st.st_ctim);
#endif
  out.inode = static_cast<std::uint64_t>(st.st_ino);
  return out;
}

int open_cloexec(const char* path, int flags) noexcept {
  for (;;) {
    const int fd = ::open(path, flags | O_CLOEXEC);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

}  // namespace

FileStat stat_path(const std::string& path) noexcept {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return stat_of(st);
  if (errno != ENOTDIR) return {};
  // A path through a file: a member of an archive, or nothing.
  try {
    const std::optional<ArchivePath> at = archive_path(path);
    return at ? archive_stat(*at) : FileStat{};
  } catch (...) {  // out of memory: taken as absent
    return {};
  }
}

StatPlan::StatPlan(const std::vector<std::string>& paths) : paths_(paths) {
  std::unordered_map<std::string_view, std::size_t> folder_of;
  for (std::uint32_t i = 0; i < paths_.size(); ++i) {
    const std::string_view path = paths_[i];
    const std::size_t slash = path.rfind('/');
    const std::string_view folder = slash == std::string_view::npos ? "" : path.substr(0, slash);
    auto it = folder_of.find(folder);
    if (it == folder_of.end()) {
      it = folder_of.emplace(folder, folders_.size()).first;
      folders_.push_back(Folder{std::string(folder), {}});
    }
    folders_[it->second].entries.push_back(i);
  }
  // Two halves of about the same number of entries.
  std::size_t seen = 0;
  while (split_ < folders_.size() && 2 * seen < paths_.size()) {
    seen += folders_[split_++].entries.size();
  }
}

void StatPlan::run_folders(std::size_t from, std::size_t to,
                           std::vector<FileStat>& out) const noexcept {
  for (std::size_t f = from; f < to; ++f) {
    const Folder& folder = folders_[f];
    const int fd = folder.path.empty() || folder.entries.size() < 2
                       ? -1
                       : open_cloexec(folder.path.c_str(), O_RDONLY | O_DIRECTORY);
    for (const std::uint32_t i : folder.entries) {
      if (fd < 0) {
        out[i] = stat_path(paths_[i]);
        continue;
      }
      struct stat st {};
      const char* name = paths_[i].c_str() + folder.path.size() + 1;
      out[i] = ::fstatat(fd, name, &st, 0) == 0 ? stat_of(st) : FileStat{};
    }
    if (fd >= 0) ::close(fd);
  }
}

void StatPlan::run(std::vector<FileStat>& out) const {
  out.assign(paths_.size(), FileStat{});
  // Threads cost tens of microseconds: only long lists get a second one.
  constexpr std::size_t kSplit = 512;
  if (paths_.size() < kSplit) {
    run_folders(0, folders_.size(), out);
    return;
  }
  try {
    std::thread other([&] { run_folders(split_, folders_.size(), out); });
    run_folders(0, split_, out);
    other.join();
  } catch (const std::system_error&) {  // no thread to be had: all of it here
    run_folders(0, folders_.size(), out);
  }
}

bool is_symlink(const std::string& path) noexcept {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::string_view folder_of(std::string_view path) noexcept {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

// ---- FolderWatch ---------------------------------------------------------------

#if defined(__linux__)

namespace {

// File systems whose changes can come from elsewhere, unseen by inotify.
bool remote_file_system(const std::string& folder) noexcept {
  struct statfs info {};
  if (::statfs(folder.c_str(), &info) != 0) return true;
  switch (static_cast<unsigned long>(info.f_type)) {
    case 0x6969UL:      // NFS
    case 0x517BUL:      // SMB
    case 0xFF534D42UL:  // CIFS
    case 0xFE534D42UL:  // SMB2
    case 0x65735546UL:  // FUSE
    case 0x01021997UL:  // 9P
    case 0x00C36400UL:  // Ceph
    case 0x5346414FUL:  // AFS
    case 0x47504653UL:  // GPFS
    case 0x0BD00BD0UL:  // Lustre
      return true;
    default:
      return false;
  }
}

}  // namespace

FolderWatch::~FolderWatch() {
  reset();
}

void FolderWatch::reset() noexcept {
  if (fd_ >= 0) ++generation_;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  folders_.clear();
  watches_.clear();
}

bool FolderWatch::watch(const std::string& folder) {
  if (fd_ >= 0 && pid_ != static_cast<long>(::getpid())) reset();  // a forked copy
  if (fd_ < 0) {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) return false;
    pid_ = static_cast<long>(::getpid());
  }
  if (remote_file_system(folder)) return false;
  constexpr std::uint32_t kMask = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE |
                                  IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF |
                                  IN_ONLYDIR;
  // Asked of the system every time: the folder now at this path may be
  // another than the one watched under it before (replaced, or renamed
  // over), whose notices are not this path's any more.
  const int wd = ::inotify_add_watch(fd_, folder.c_str(), kMask);
  if (const auto it = watches_.find(folder); it != watches_.end()) {
    if (it->second == wd) return true;
    const int stale = it->second;
    forget(stale);
    ::inotify_rm_watch(fd_, stale);
  }
  if (wd < 0) return false;  // not a folder, or out of watches
  // One folder can be reached by two paths (links), or be watched under the
  // path it had before a rename: the descriptor is the same, and its notices
  // cannot be told apart, so the second path is statted instead.
  if (!folders_.emplace(wd, folder).second) return false;
  watches_.emplace(folder, wd);
  return true;
}

void FolderWatch::forget(int wd) noexcept {
  const auto it = folders_.find(wd);
  if (it == folders_.end()) return;
  watches_.erase(it->second);
  folders_.erase(it);
}

bool FolderWatch::watched(std::string_view folder) const {
  return fd_ >= 0 && watches_.find(std::string(folder)) != watches_.end();
}

bool FolderWatch::take(std::vector<Notice>& out) {
  if (fd_ < 0) return true;
  if (pid_ != static_cast<long>(::getpid())) {
    reset();
    return false;
  }
  alignas(struct inotify_event) char buf[16384];
  for (;;) {
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return true;
      reset();
      return false;
    }
    if (n == 0) return true;
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const struct inotify_event*>(buf + at);
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) {
        reset();
        return false;
      }
      const auto folder = folders_.find(event->wd);
      if (folder == folders_.end()) continue;
      Notice notice;
      notice.folder = folder->second;
      if (event->len > 0) notice.name = event->name;
      notice.entries = (event->mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                       IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0;
      out.push_back(std::move(notice));
      if (event->mask & (IN_IGNORED | IN_MOVE_SELF | IN_DELETE_SELF)) {
        // The folder under this path is gone (deleted, moved away or
        // unmounted): whatever is at the path later is watched afresh.
        if (event->mask & IN_MOVE_SELF) ::inotify_rm_watch(fd_, event->wd);
        forget(event->wd);
      }
    }
  }
}

#else  // no notices here: callers stat everything

FolderWatch::~FolderWatch() = default;
void FolderWatch::reset() noexcept {}
bool FolderWatch::watch(const std::string&) {
  return false;
}
bool FolderWatch::watched(std::string_view) const {
  return false;
}
bool FolderWatch::take(std::vector<Notice>&) {
  return true;
}

#endif

bool list_directory(const std::string& path, std::vector<DirEntry>& out, int& error,
                    bool* in_archive) {
  out.clear();
  if (in_archive != nullptr) *in_archive = false;
  const int fd = open_cloexec(path.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) {
    error = errno;
    // A zip archive, or a folder in one, is listed from its members.
    if (error != ENOTDIR) return false;
    const std::optional<ArchivePath> at = archive_path(path);
    if (!at || !archive_list(*at, out, error)) return false;
    if (in_archive != nullptr) *in_archive = true;
    return true;
  }
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    error = errno;
    ::close(fd);
    return false;
  }
  for (;;) {
    errno = 0;
    const struct dirent* ent = ::readdir(dir);
    if (ent == nullptr) {
      if (errno != 0) {
        error = errno;
        out.clear();
        ::closedir(dir);
        return false;
      }
      break;
    }
    const char* name = ent->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    EntryType type = EntryType::kOther;
    switch (ent->d_type) {
      case DT_REG:
        type = EntryType::kFile;
        break;
      case DT_DIR:
        type = EntryType::kDirectory;
        break;
      case DT_LNK:
      case DT_UNKNOWN: {
        struct stat st {};
        type = ::fstatat(fd, name, &st, 0) == 0 ? type_of_mode(st.st_mode) : EntryType::kMissing;
        break;
      }
      default:
        break;
    }
    out.push_back({name, type});
  }
  ::closedir(dir);  // closes fd too
  return true;
}

namespace {

// Reads the open file `fd` (whose fstat is `st`) into `out` and closes it:
// a regular file up to the size its stat gives, anything else to its end.
int read_open(int fd, const struct stat& st, std::string& out) {
  const bool sized = S_ISREG(st.st_mode) && st.st_size > 0;
  out.resize(sized ? static_cast<std::size_t>(st.st_size) : 65536);
  std::size_t size = 0;
  for (;;) {
    if (size == out.size()) {
      if (sized && size == static_cast<std::size_t>(st.st_size)) break;  // all its stat said
      out.resize(2 * out.size());
    }
    const ssize_t n = ::read(fd, out.data() + size, out.size() - size);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      out.clear();
      return err;
    }
    size += static_cast<std::size_t>(n);
  }
  ::close(fd);
  out.resize(size);
  return 0;
}

}  // namespace

int read_file_stat(const std::string& path, std::string& out, FileStat& stat) {
  out.clear();
  stat = FileStat{};
  const int fd = open_cloexec(path.c_str(), O_RDONLY);
  if (fd < 0) {
    const int err = errno;
    if (err == ENOTDIR) {
      if (const std::optional<ArchivePath> at = archive_path(path)) {
        stat = archive_stat(*at);
        if (stat.type == EntryType::kFile) return archive_read(*at, out);
        if (stat.type == EntryType::kDirectory) return EISDIR;
      }
    }
    stat = stat_path(path);  // what is there, if anything
    return err;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return err;
  }
  stat = stat_of(st);
  return read_open(fd, st, out);
}

int read_file(const std::string& path, std::string& out, bool* opened) {
  out.clear();
  if (opened != nullptr) *opened = false;
  const int fd = open_cloexec(path.c_str(), O_RDONLY);
  if (fd < 0) return errno;
  if (opened != nullptr) *opened = true;
  struct stat st {};
  if (::fstat(fd, &st) != 0) st = {};  // read to the end
  return read_open(fd, st, out);
}

namespace {

void write_all(int fd, std::string_view text) noexcept {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a closed stream: nowhere to say so
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

void write_stdout(std::string_view text) noexcept {
  write_all(STDOUT_FILENO, text);
}
void write_stderr(std::string_view text) noexcept {
  write_all(STDERR_FILENO, text);
}

std::size_t usable_cpus() noexcept {
#if defined(__linux__)
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<std::size_t>(n);
  }
#endif
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? n : 1;
}

std::string os_error_text(int error) {
  switch (error) {
    case kArchiveDamaged:
      return "damaged zip archive: the member cannot be read";
    case kArchiveNoInflate:
      return "deflate-compressed zip member, and this build reads only stored members (built "
             "without zlib)";
    case kArchiveMethod:
      return "zip member encrypted or compressed with a method other than deflate";
    default:
      return str_cat(std::strerror(error), " (os error ", error, ")");
  }
}

std::string join_path(std::string_view dir, std::string_view name) {
  if (dir.empty()) return std::string(name);
  std::size_t end = dir.size();
  while (end > 0 && dir[end - 1] == '/') --end;
  return str_cat(dir.substr(0, end), '/', name);
}

}  // namespace tarnwick::fs
