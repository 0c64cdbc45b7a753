#include "core/exact_host.hpp"

#include <utility>

#include "core/import_scan.hpp"
#include "core/source_file.hpp"
#include "core/str_cat.hpp"

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

std::vector<ImportStmt> scan_source(std::string_view text, HostServices* services) {
  std::vector<ImportStmt> stmts = scan_imports(text);
  if (services == nullptr) return stmts;
  const auto normalize = [&](std::string& name) { name = services->normalize_name(name); };
  for (ImportStmt& stmt : stmts) {
    std::visit(
        [&](auto& s) {
          if ((s.site.context & context::kNonAscii) == 0) return;
          for (Alias& a : s.names) {
            normalize(a.name);
            if (a.asname) normalize(*a.asname);
          }
          if constexpr (std::is_same_v<std::decay_t<decltype(s)>, ImportFrom>) {
            if (s.module) normalize(*s.module);
          }
        },
        stmt);
  }
  return stmts;
}

// ---- ScanCache ---------------------------------------------------------------

ScanCache::Entry ScanCache::read(const std::string& path, const fs::FileStat& stat,
                                 HostServices* services) {
  ++reads_;
  Entry entry;
  entry.stat = stat;
  std::string bytes;
  if (const int err = fs::read_file(path, bytes); err != 0) {
    entry.imports.status = ReadResult::Status::kCannotOpen;
    entry.imports.error = fs::os_error_text(err);
    return entry;
  }
  std::string error;
  std::optional<std::string> text = decode_source(std::move(bytes), services, error);
  if (!text) {
    entry.imports.status = ReadResult::Status::kReadFailed;
    entry.imports.error = std::move(error);
    return entry;
  }
  entry.imports.statements =
      std::make_shared<const std::vector<ImportStmt>>(scan_source(*text, services));
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

Host::Imports ScanCache::get(const std::string& path, HostServices* services) {
  const fs::FileStat stat = fs::stat_path(path);
  auto it = entries_.find(path);
  if (it == entries_.end()) {
    it = entries_.emplace(path, read(path, stat, services)).first;
  } else if (!same_file(it->second.stat, stat)) {
    it->second = read(path, stat, services);
  }
  return it->second.imports;
}

std::vector<std::string> ScanCache::changed(std::span<const std::string> paths,
                                            std::span<const fs::FileStat> stats,
                                            HostServices* services) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    auto it = entries_.find(paths[i]);
    if (it == entries_.end()) {
      entries_.emplace(paths[i], read(paths[i], stats[i], services));
      out.push_back(paths[i]);
      continue;
    }
    if (same_file(it->second.stat, stats[i])) continue;
    Entry fresh = read(paths[i], stats[i], services);
    if (!same_imports(fresh.imports, it->second.imports)) out.push_back(paths[i]);
    it->second = std::move(fresh);
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
  return scans_.get(path, services_);
}

void ExactHost::check_interrupts() {
  if (services_ != nullptr) services_->check_interrupts();
}

}  // namespace tarnwick
