// The exact engine's host: modules found by the static ModuleFinder, source
// files read, decoded and scanned once per change, and the few services only
// the interpreter around the core can give (HostServices).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/host.hpp"
#include "core/import_stmt.hpp"
#include "core/module_finder.hpp"
#include "core/platform_fs.hpp"
#include "core/prefetch.hpp"

namespace tarnwick {

// What the exact engine asks of the interpreter it runs in, besides its
// foreign finders: decoding with a named codec, the parser's normalisation
// of non-ASCII identifiers, and a chance to stop.
class HostServices : public ForeignFinders {
 public:
  // `bytes` decoded with the codec `encoding`, as UTF-8; nullopt with
  // `error` set when the codec is unknown or the bytes do not decode.
  virtual std::optional<std::string> decode(std::string_view bytes, const std::string& encoding,
                                            std::string& error) = 0;
  // `name` in NFKC, as the parser stores identifiers.
  virtual std::string normalize_name(std::string_view name) = 0;
  // Called before every module lookup; may throw to end the build.
  virtual void check_interrupts() {}
};

// `bytes` as Python would decode a source file (BOM, PEP 263 cookie, else
// UTF-8), as UTF-8 text; nullopt with `error` set when it cannot be decoded.
std::optional<std::string> decode_source(std::string bytes, HostServices* services,
                                         std::string& error);

// The statements of `text` (UTF-8) with non-ASCII names normalised.
ImportList scan_source(std::string_view text, HostServices* services);

// Source files read and scanned, kept while their size and modification
// time stay the same.
class ScanCache {
 public:
  // The statements of the file at `path`, read again only when it changed,
  // taken from `prefetched` when that read it.
  Host::Imports get(const std::string& path, HostServices* services,
                    Prefetcher* prefetched = nullptr);

  bool holds(const std::string& path) const { return entries_.contains(path); }
  bool folder_watched(std::string_view path) const {
    return watch_ != nullptr && watch_->watched(fs::folder_of(path));
  }

  // Files are read after their folder is watched (set before the first read).
  void set_watch(fs::FolderWatch* watch) noexcept { watch_ = watch; }
  // changed() from notices: the files notices name, and those no watch
  // covers, are looked at. Nullopt when a notice says a folder of theirs
  // itself changed (the caller then stats everything).
  std::optional<std::vector<std::string>> changed(std::span<const fs::FolderWatch::Notice> notices,
                                                  HostServices* services);
  // Counts every watch as gone: every file is statted from now on.
  void forget_watches();
  // Watches the folders of every file held so far (the caller then stats
  // them all, which covers any change between their reading and their watch).
  void watch_all();

  // The paths among `paths` (with their fresh stats) whose statements differ
  // from those held, each read again when its size or modification time
  // changed (a path never read counts as changed).
  std::vector<std::string> changed(std::span<const std::string> paths,
                                   std::span<const fs::FileStat> stats, HostServices* services);

  std::size_t size() const noexcept { return entries_.size(); }
  std::size_t reads() const noexcept { return reads_; }

 private:
  struct Entry {
    fs::FileStat stat;
    Host::Imports imports;
    bool watched = false;  // its folder is watched, and it is no link
  };
  // Looks at one file again: whether its statements changed.
  bool recheck(const std::string& path, Entry& entry, const fs::FileStat& now,
               HostServices* services);
  // Whether changes to `path` come as notices: its folder watched (now, as
  // it is read), and it no link to elsewhere.
  bool watch_file(const std::string& path);
  Entry read(const std::string& path, const fs::FileStat& stat, HostServices* services);
  // An entry from a file's bytes (decoded and scanned here).
  Entry from_bytes(const fs::FileStat& stat, std::string bytes, HostServices* services);
  // An entry from what the prefetcher read, finished here when needed.
  Entry from_prefetch(const std::string& path, Prefetcher::Result r, HostServices* services);

  std::unordered_map<std::string, Entry> entries_;
  fs::FolderWatch* watch_ = nullptr;
  std::unordered_set<std::string> unwatched_;  // entries no watch covers
  std::size_t reads_ = 0;
};

class ExactHost final : public Host {
 public:
  // With `prefetch`, the files of the modules a module imports are read on
  // its thread as the walk starts on that module (those in `read_within`
  // only, when given).
  ExactHost(ModuleFinder& finder, ScanCache& scans, HostServices* services,
            Prefetcher* prefetch = nullptr,
            const std::optional<std::vector<std::string>>* read_within = nullptr,
            std::uint8_t skip_context = 0)
      : finder_(finder),
        scans_(scans),
        services_(services),
        prefetch_(prefetch),
        read_within_(read_within),
        skip_context_(skip_context) {}

  std::optional<ModuleSpec> find_spec(std::string_view name) override;
  ReadResult read_source(const std::string& path) override;
  Imports read_imports(const std::string& path) override;
  void check_interrupts() override;
  void walking(const ModuleSpec& module, const ImportList& statements) override;

  // The module run as __main__: `import __main__` anywhere gives it, as it
  // does at run time.
  void set_main(const ModuleSpec& spec) { main_ = spec; }

  // Every file read_imports was asked for, in order of first asking.
  const std::vector<std::string>& files() const noexcept { return files_; }

 private:
  ModuleFinder& finder_;
  ScanCache& scans_;
  HostServices* services_;
  Prefetcher* prefetch_;
  const std::optional<std::vector<std::string>>* read_within_;
  std::uint8_t skip_context_;
  std::optional<ModuleSpec> main_;
  std::vector<std::string> files_;
};

}  // namespace tarnwick
