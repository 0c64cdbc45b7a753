#include "core/exact_host.hpp"

#include <algorithm>
#include <utility>

#include "core/import_scan.hpp"
#include "core/resolve_name.hpp"
#include "core/source_file.hpp"
#include "core/str_cat.hpp"
#include "core/walk.hpp"

namespace tarnwick {

std::optional<std::string> decode_source(std::string bytes, HostServices* services,
                                         std::string& error) {
  const SourceEncoding enc = detect_source_encoding(bytes);
  switch (enc.kind) {
    case SourceEncoding::Kind::kUtf8:
      if (is_valid_utf8(bytes)) return bytes;
      error = "not valid UTF-8, and no coding cookie names another encoding";
      return std::nullopt;
    case SourceEncoding::Kind::kOther:
      if (services == nullptr) {
        error = str_cat("no decoder for the encoding '", enc.name, "'");
        return std::nullopt;
      }
      return services->decode(bytes, enc.name, error);
    case SourceEncoding::Kind::kError:
      break;
  }
  error = enc.name;
  return std::nullopt;
}

ImportList scan_source(std::string_view text, HostServices* services) {
  ImportList stmts = scan_imports(text);
  if (services == nullptr) return stmts;
  const auto normalize = [&](std::string_view name) {
    return name.empty() ? std::string() : services->normalize_name(name);
  };
  for (std::size_t i = 0; i < stmts.size(); ++i) {
    std::visit(
        [&](const auto& s) {
          if ((s.site.context & context::kNonAscii) == 0) return;
          for (const Alias& a : s.names)
            stmts.replace_name(a, normalize(a.name), normalize(a.asname));
          if constexpr (std::is_same_v<std::decay_t<decltype(s)>, ImportFrom>) {
            stmts.replace_module(i, normalize(s.module));
          }
        },
        stmts[i]);
  }
  return stmts;
}

// ---- ScanCache ---------------------------------------------------------------

ScanCache::Entry ScanCache::read(const std::string& path, const fs::FileStat& stat,
                                 HostServices* services) {
  ++reads_;
  std::string bytes;
  if (const int err = fs::read_file(path, bytes); err != 0) {
    Entry entry;
    entry.stat = stat;
    entry.imports.status = ReadResult::Status::kCannotOpen;
    entry.imports.error = fs::os_error_text(err);
    return entry;
  }
  return from_bytes(stat, std::move(bytes), services);
}

ScanCache::Entry ScanCache::from_prefetch(const std::string& path, Prefetcher::Result r,
                                          HostServices* services) {
  if (r.error < 0) return read(path, r.stat, services);  // the worker could not
  ++reads_;
  if (r.error != 0) {
    Entry entry;
    entry.stat = r.stat;
    entry.imports.status = ReadResult::Status::kCannotOpen;
    entry.imports.error = fs::os_error_text(r.error);
    return entry;
  }
  Entry entry =
      r.statements
          ? Entry{r.stat, Host::Imports{ReadResult::Status::kOk, {}, std::move(r.statements)},
                  false}
          : from_bytes(r.stat, std::move(r.bytes), services);
  entry.watched = r.watched;
  return entry;
}

ScanCache::Entry ScanCache::from_bytes(const fs::FileStat& stat, std::string bytes,
                                       HostServices* services) {
  Entry entry;
  entry.stat = stat;
  std::string error;
  std::optional<std::string> text = decode_source(std::move(bytes), services, error);
  if (!text) {
    entry.imports.status = ReadResult::Status::kReadFailed;
    entry.imports.error = std::move(error);
    return entry;
  }
  entry.imports.statements = std::make_shared<const ImportList>(scan_source(*text, services));
  return entry;
}

namespace {

bool same_file(const fs::FileStat& a, const fs::FileStat& b) noexcept {
  return a.type == b.type && a.size == b.size && a.mtime_ns == b.mtime_ns;
}

bool same_imports(const Host::Imports& a, const Host::Imports& b) noexcept {
  if (a.status != b.status || a.error != b.error) return false;
  if (a.statements == b.statements) return true;
  return a.statements && b.statements && *a.statements == *b.statements;
}

}  // namespace

bool ScanCache::watch_file(const std::string& path) {
  const bool watched =
      watch_ != nullptr && watch_->watch(std::string(fs::folder_of(path))) && !fs::is_symlink(path);
  if (!watched) unwatched_.insert(path);
  return watched;
}

Host::Imports ScanCache::get(const std::string& path, HostServices* services,
                             Prefetcher* prefetched) {
  auto it = entries_.find(path);
  if (it == entries_.end() && prefetched != nullptr) {
    if (std::optional<Prefetcher::Result> r = prefetched->take(path)) {
      Entry entry = from_prefetch(path, std::move(*r), services);
      if (!entry.watched) unwatched_.insert(path);
      return entries_.emplace(path, std::move(entry)).first->second.imports;
    }
  }
  const bool watched = it != entries_.end() ? it->second.watched : watch_file(path);
  const fs::FileStat stat = fs::stat_path(path);
  if (it == entries_.end()) {
    it = entries_.emplace(path, read(path, stat, services)).first;
  } else if (!same_file(it->second.stat, stat)) {
    it->second = read(path, stat, services);
  }
  it->second.watched = watched;
  return it->second.imports;
}

bool ScanCache::recheck(const std::string& path, Entry& entry, const fs::FileStat& now,
                        HostServices* services) {
  if (same_file(entry.stat, now)) return false;
  Entry fresh = read(path, now, services);
  fresh.watched = entry.watched;
  const bool changed = !same_imports(fresh.imports, entry.imports);
  entry = std::move(fresh);
  return changed;
}

std::optional<std::vector<std::string>> ScanCache::changed(
    std::span<const fs::FolderWatch::Notice> notices, HostServices* services) {
  std::unordered_set<std::string> changed;
  for (const fs::FolderWatch::Notice& n : notices) {
    if (n.name.empty()) {
      if (n.entries) return std::nullopt;  // a folder deleted or moved
      continue;
    }
    const std::string path = fs::join_path(n.folder, n.name);
    const auto it = entries_.find(path);
    if (it == entries_.end() || !it->second.watched || changed.contains(path)) continue;
    if (recheck(path, it->second, fs::stat_path(path), services)) changed.insert(path);
  }
  for (const std::string& path : unwatched_) {
    const auto it = entries_.find(path);
    if (it != entries_.end() && recheck(path, it->second, fs::stat_path(path), services)) {
      changed.insert(path);
    }
  }
  return std::vector<std::string>(changed.begin(), changed.end());
}

void ScanCache::watch_all() {
  for (auto& [path, entry] : entries_) {
    if (entry.watched) continue;
    entry.watched = watch_file(path);
    if (entry.watched) unwatched_.erase(path);
  }
}

void ScanCache::forget_watches() {
  for (auto& [path, entry] : entries_) {
    if (entry.watched) {
      entry.watched = false;
      unwatched_.insert(path);
    }
  }
}

std::vector<std::string> ScanCache::changed(std::span<const std::string> paths,
                                            std::span<const fs::FileStat> stats,
                                            HostServices* services) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    auto it = entries_.find(paths[i]);
    if (it == entries_.end()) {
      const bool watched = watch_file(paths[i]);
      entries_.emplace(paths[i], read(paths[i], stats[i], services)).first->second.watched =
          watched;
      out.push_back(paths[i]);
      continue;
    }
    if (recheck(paths[i], it->second, stats[i], services)) out.push_back(paths[i]);
  }
  return out;
}

// ---- ExactHost ---------------------------------------------------------------

std::optional<ModuleSpec> ExactHost::find_spec(std::string_view name) {
  if (main_ && name == main_->name) return main_;
  return finder_.find(name, services_).spec;
}

ReadResult ExactHost::read_source(const std::string& path) {
  std::string bytes;
  if (const int err = fs::read_file(path, bytes); err != 0) {
    return {ReadResult::Status::kCannotOpen, fs::os_error_text(err)};
  }
  std::string error;
  std::optional<std::string> text = decode_source(std::move(bytes), services_, error);
  if (!text) return {ReadResult::Status::kReadFailed, std::move(error)};
  return {ReadResult::Status::kOk, std::move(*text)};
}

Host::Imports ExactHost::read_imports(const std::string& path) {
  files_.push_back(path);
  return scans_.get(path, services_, prefetch_);
}

void ExactHost::walking(const ModuleSpec& module, const ImportList& statements) {
  if (prefetch_ == nullptr) return;
  // The names the walk is about to look up, with their enclosing packages:
  // the files of those it will read go to the prefetcher. A guess that
  // misses (an attribute in a from-list, say) only costs a cached lookup.
  const auto want = [&](std::string_view name) {
    for (;;) {
      const Lookup& found = finder_.find(name, services_);
      if (found.spec && has_python_source(*found.spec) &&
          (read_within_ == nullptr || reads_within(*read_within_, name)) &&
          !scans_.holds(*found.spec->origin)) {
        prefetch_->want(*found.spec->origin, scans_.folder_watched(*found.spec->origin));
      }
      const std::size_t dot = name.rfind('.');
      if (dot == std::string_view::npos) return;
      name = name.substr(0, dot);
    }
  };
  for (const ImportStmt& stmt : statements) {
    if ((std::visit([](const auto& s) { return s.site.context; }, stmt) & skip_context_) != 0) {
      continue;
    }
    if (const auto* imp = std::get_if<Import>(&stmt)) {
      for (const Alias& a : imp->names) want(a.name);
      continue;
    }
    const auto& from = std::get<ImportFrom>(stmt);
    const std::uint64_t level = from.level;
    std::string target(from.module);
    if (level > 0) {
      // Relative: against the module's package, when it has enough levels.
      const std::string_view package = module.parent;
      const auto levels =
          static_cast<std::uint64_t>(std::count(package.begin(), package.end(), '.')) + 1;
      if (package.empty() || levels < level) continue;
      target = resolve_name(target, package, level);
    }
    if (target.empty()) continue;
    want(target);
    for (const Alias& a : from.names) {
      if (a.name != "*") want(str_cat(target, '.', a.name));
    }
  }
}

void ExactHost::check_interrupts() {
  if (services_ != nullptr) services_->check_interrupts();
}

}  // namespace tarnwick
