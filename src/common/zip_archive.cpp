#include "common/zip_archive.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>

#if defined(TARNWICK_HAVE_ZLIB)
#include <zlib.h>
#endif

namespace tarnwick::fs {

namespace {

constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kLocalSize = 30;
constexpr std::size_t kMaxComment = 0xFFFF;
constexpr std::uint16_t kStored = 0;
constexpr std::uint16_t kDeflated = 8;
constexpr std::uint16_t kUnsupported = 0xFFFF;  // encrypted members too

std::uint32_t le(const char* p, int bytes) noexcept {
  std::uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

struct Member {
  std::uint64_t offset = 0;  // of its local header, in the file
  std::uint64_t compressed = 0;
  std::uint64_t size = 0;
  std::uint16_t method = kStored;
};

// One state of one archive: its members and the folders their names make.
struct Index {
  FileStat stat;
  bool valid = false;
  std::unordered_map<std::string, Member> files;
  std::unordered_map<std::string, std::unordered_map<std::string, EntryType>> folders;
};

class File {
 public:
  explicit File(const std::string& path) noexcept {
    do {
      fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
  }
  ~File() {
    if (fd_ >= 0) ::close(fd_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  bool open() const noexcept { return fd_ >= 0; }
  // Exactly `size` bytes at `offset` into `out`.
  bool read(std::uint64_t offset, std::size_t size, std::string& out) const {
    out.resize(size);
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n =
          ::pread(fd_, out.data() + done, size - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

 private:
  int fd_ = -1;
};

// Every folder a member's name is in gets the name's next part.
void add_folders(Index& index, std::string_view name, bool directory) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = name.find('/', start);
    const std::string folder(name.substr(0, start == 0 ? 0 : start - 1));
    if (slash == std::string_view::npos) {
      if (start < name.size()) {
        index.folders[folder].emplace(std::string(name.substr(start)),
                                      directory ? EntryType::kDirectory : EntryType::kFile);
      }
      if (directory) index.folders.try_emplace(std::string(name));
      return;
    }
    if (slash > start) {
      index.folders[folder][std::string(name.substr(start, slash - start))] = EntryType::kDirectory;
    }
    start = slash + 1;
  }
}

// Reads the central directory. Bytes before the archive (a zipapp's `#!`
// line) shift every offset it gives, as zipimport allows.
void read_index(const std::string& path, Index& index) {
  const File file(path);
  if (!file.open() || index.stat.size < kEndSize) return;
  const std::uint64_t size = index.stat.size;
  const std::size_t tail_size =
      static_cast<std::size_t>(std::min<std::uint64_t>(size, kEndSize + kMaxComment));
  std::string tail;
  if (!file.read(size - tail_size, tail_size, tail)) return;
  std::size_t end = std::string::npos;
  for (std::size_t at = tail_size - kEndSize + 1; at-- > 0;) {
    if (le(tail.data() + at, 4) == kEndSignature) {
      end = at;
      break;
    }
  }
  if (end == std::string::npos) return;
  const char* e = tail.data() + end;
  const std::uint64_t count = le(e + 10, 2);
  const std::uint64_t cd_size = le(e + 12, 4);
  const std::uint64_t cd_offset = le(e + 16, 4);
  const std::uint64_t end_at = size - tail_size + end;
  if (cd_size > end_at || end_at - cd_size < cd_offset) return;
  const std::uint64_t cd_at = end_at - cd_size;
  const std::uint64_t shift = cd_at - cd_offset;
  std::string cd;
  if (!file.read(cd_at, static_cast<std::size_t>(cd_size), cd)) return;
  std::size_t at = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (cd.size() - at < kCentralSize || le(cd.data() + at, 4) != kCentralSignature) return;
    const char* c = cd.data() + at;
    const std::size_t name_size = le(c + 28, 2);
    const std::size_t extra = le(c + 30, 2);
    const std::size_t comment = le(c + 32, 2);
    if (cd.size() - at - kCentralSize < name_size + extra + comment) return;
    std::string_view name(c + kCentralSize, name_size);
    Member m;
    m.method = (le(c + 8, 2) & 1) != 0 ? kUnsupported : static_cast<std::uint16_t>(le(c + 10, 2));
    m.compressed = le(c + 20, 4);
    m.size = le(c + 24, 4);
    m.offset = le(c + 42, 4) + shift;
    at += kCentralSize + name_size + extra + comment;
    while (name.starts_with('/')) name.remove_prefix(1);
    if (name.empty()) continue;
    const bool directory = name.ends_with('/');
    if (directory) name.remove_suffix(1);
    add_folders(index, name, directory);
    if (!directory) index.files.try_emplace(std::string(name), m);
  }
  index.folders.try_emplace(std::string());
  index.valid = true;
}

// The index of `at.archive` as of `at.stat`: read once, kept while the
// file's stat stays the same.
std::shared_ptr<const Index> index_of(const ArchivePath& at) {
  static std::mutex mu;
  static auto* cache = new std::unordered_map<std::string, std::shared_ptr<const Index>>();
  {
    const std::lock_guard<std::mutex> lock(mu);
    const auto it = cache->find(at.archive);
    if (it != cache->end() && it->second->stat.same(at.stat)) return it->second;
  }
  auto index = std::make_shared<Index>();
  index->stat = at.stat;
  read_index(at.archive, *index);
  const std::lock_guard<std::mutex> lock(mu);
  (*cache)[at.archive] = index;
  return index;
}

#if defined(TARNWICK_HAVE_ZLIB)
int inflate_raw(const std::string& in, std::uint64_t size, std::string& out) {
  z_stream z{};
  if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return ENOMEM;
  out.resize(static_cast<std::size_t>(size));
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int status = inflate(&z, Z_FINISH);
  const bool whole = status == Z_STREAM_END && z.total_out == size;
  inflateEnd(&z);
  if (!whole) {
    out.clear();
    return kArchiveDamaged;
  }
  return 0;
}
#endif

}  // namespace

std::optional<ArchivePath> archive_path(const std::string& path) {
  for (std::size_t end = path.size(); end > 0 && end != std::string::npos;
       end = path.rfind('/', end - 1)) {
    if (end == 0) break;
    struct stat st {};
    const std::string prefix = path.substr(0, end);
    if (::stat(prefix.c_str(), &st) != 0) continue;
    if (!S_ISREG(st.st_mode)) return std::nullopt;
    ArchivePath at;
    at.archive = prefix;
    at.member = end < path.size() ? path.substr(end + 1) : std::string();
    at.stat = stat_path(prefix);
    while (at.member.ends_with('/')) at.member.pop_back();
    return at;
  }
  return std::nullopt;
}

FileStat archive_stat(const ArchivePath& at) {
  const std::shared_ptr<const Index> index = index_of(at);
  FileStat stat = at.stat;
  stat.type = EntryType::kMissing;
  stat.size = 0;
  if (!index->valid) return stat;
  if (const auto it = index->files.find(at.member); it != index->files.end()) {
    stat.type = EntryType::kFile;
    stat.size = it->second.size;
  } else if (index->folders.contains(at.member)) {
    stat.type = EntryType::kDirectory;
  }
  return stat;
}

bool archive_list(const ArchivePath& at, std::vector<DirEntry>& out, int& error) {
  out.clear();
  const std::shared_ptr<const Index> index = index_of(at);
  const auto it = index->valid ? index->folders.find(at.member) : index->folders.end();
  if (it == index->folders.end()) {
    error = ENOTDIR;
    return false;
  }
  for (const auto& [name, type] : it->second) out.push_back({name, type});
  return true;
}

int archive_read(const ArchivePath& at, std::string& out) {
  out.clear();
  const std::shared_ptr<const Index> index = index_of(at);
  if (!index->valid) return ENOTDIR;
  const auto it = index->files.find(at.member);
  if (it == index->files.end()) {
    return index->folders.contains(at.member) ? EISDIR : ENOENT;
  }
  const Member& m = it->second;
  if (m.method != kStored && m.method != kDeflated) return kArchiveMethod;
#if !defined(TARNWICK_HAVE_ZLIB)
  if (m.method == kDeflated) return kArchiveNoInflate;
#endif
  const File file(at.archive);
  if (!file.open()) return errno;
  std::string header;
  if (!file.read(m.offset, kLocalSize, header) || le(header.data(), 4) != kLocalSignature) {
    return kArchiveDamaged;
  }
  const std::uint64_t data =
      m.offset + kLocalSize + le(header.data() + 26, 2) + le(header.data() + 28, 2);
  if (data > at.stat.size || at.stat.size - data < m.compressed) return kArchiveDamaged;
  if (m.method == kStored) {
    if (m.compressed != m.size) return kArchiveDamaged;
    return file.read(data, static_cast<std::size_t>(m.size), out) ? 0 : kArchiveDamaged;
  }
#if defined(TARNWICK_HAVE_ZLIB)
  // Deflate makes at most about 1,032 bytes of one: a size past that is a lie.
  if (m.size / 1032 > m.compressed) return kArchiveDamaged;
  std::string packed;
  if (!file.read(data, static_cast<std::size_t>(m.compressed), packed)) return kArchiveDamaged;
  return inflate_raw(packed, m.size, out);
#else
  return kArchiveNoInflate;
#endif
}

}  // namespace tarnwick::fs
