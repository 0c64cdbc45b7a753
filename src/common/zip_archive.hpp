// Zip archives seen as folders. Python imports from a zip file on its path
// (a zipapp, an egg) as from a folder: `app.pyz/pkg/mod.py` is the member
// `pkg/mod.py` of `app.pyz`. The platform layer reads such paths through
// here, so the finder and the readers above it need not know. An archive's
// central directory is read once for each state of the file (its stat) and
// shared by every thread; members stored or deflated can be read.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/platform_fs.hpp"

namespace tarnwick::fs {

// Error numbers beyond the system's, for what os_error_text says of members.
inline constexpr int kArchiveDamaged = -1001;    // the archive cannot be read as a zip file
inline constexpr int kArchiveNoInflate = -1002;  // deflated, and this build has no zlib
inline constexpr int kArchiveMethod = -1003;     // another compression, or encrypted

// A path through a regular file: the file and the rest of the path after it
// ("" for the file itself), with the file's stat.
struct ArchivePath {
  std::string archive;
  std::string member;
  FileStat stat;
};

// The regular file `path` goes through, found by stating its leading parts,
// longest first; nullopt when a folder or nothing comes first.
std::optional<ArchivePath> archive_path(const std::string& path);

// What the member is: a kFile (size: its uncompressed size), a kDirectory
// (a folder some member names are in), or kMissing, also when the file is
// no zip archive. The other fields are the archive's, so a member changes
// when its archive does.
FileStat archive_stat(const ArchivePath& at);

// The names directly in the folder `at.member` of the archive; false with
// `error` set when the file is no zip archive or no such folder is in it.
bool archive_list(const ArchivePath& at, std::vector<DirEntry>& out, int& error);

// The content of the member `at.member`; 0 or an error number.
int archive_read(const ArchivePath& at, std::string& out);

}  // namespace tarnwick::fs
