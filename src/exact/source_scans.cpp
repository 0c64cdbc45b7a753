#include "exact/source_scans.hpp"

#include <algorithm>
#include <system_error>
#include <type_traits>
#include <utility>

#include "common/source_file.hpp"
#include "common/str_cat.hpp"
#include "exact/import_scan.hpp"

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

bool FileScan::same_statements(const FileScan& other) const noexcept {
  if (status != other.status || error != other.error) return false;
  if (statements == other.statements) return true;
  return statements && other.statements && *statements == *other.statements;
}

namespace {

bool same_file(const fs::FileStat& a, const fs::FileStat& b) noexcept {
  return a.same(b);
}

FileScan cannot_read(const fs::FileStat& stat, int error) {
  FileScan scan;
  scan.stat = stat;
  scan.status = FileScan::Status::kCannotOpen;
  scan.error = fs::os_error_text(error);
  return scan;
}

}  // namespace

// ---- ScanPool ------------------------------------------------------------------

ScanPool::ScanPool(std::size_t threads) {
  for (std::size_t i = 0; i < threads; ++i) {
    try {
      threads_.emplace_back([this] { work(); });
    } catch (const std::system_error&) {  // no more threads: the caller runs the rest
      break;
    }
  }
}

ScanPool::~ScanPool() {
  {
    const std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    jobs_.clear();
  }
  queued_.notify_all();
  for (std::thread& t : threads_) t.join();
}

std::size_t ScanPool::available_cpus() noexcept {
  return fs::usable_cpus();
}

std::size_t ScanPool::submit(std::string path, std::shared_ptr<const FileScan> held, bool watched) {
  std::size_t id = 0;
  {
    const std::lock_guard<std::mutex> lock(mu_);
    id = next_id_++;
    // Room for every result outstanding, so a worker's push_back never throws.
    if (results_.capacity() < outstanding_ + 1) {
      results_.reserve(std::max<std::size_t>(64, 2 * results_.capacity()));
    }
    jobs_.push_back(Job{id, std::move(path), std::move(held), watched});
    ++outstanding_;
  }
  queued_.notify_one();
  return id;
}

std::optional<ScanPool::Result> ScanPool::next() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    if (!results_.empty()) {
      Result r = std::move(results_.back());
      results_.pop_back();
      --outstanding_;
      return r;
    }
    if (outstanding_ == 0) return std::nullopt;
    if (!jobs_.empty()) {
      // Nothing finished yet: this thread takes a job itself rather than wait.
      Job job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      Result r = run(job);
      lock.lock();
      --outstanding_;
      return r;
    }
    done_.wait(lock);
  }
}

void ScanPool::work() noexcept {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    queued_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
    if (stopping_) return;
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    Result r = run(job);
    lock.lock();
    results_.push_back(std::move(r));  // reserved by submit: cannot throw
    done_.notify_one();
  }
}

ScanPool::Result ScanPool::run(Job& job) noexcept {
  Result r;
  r.job = job.id;
  r.watched = job.watched;
  try {
    if (job.held) {
      r.scan.stat = fs::stat_path(job.path);
      if (same_file(job.held->stat, r.scan.stat)) {
        r.reused = true;
        return r;
      }
    }
    // Each thread reads into one buffer of its own, file after file.
    thread_local std::string bytes;
    if (const int err = fs::read_file_stat(job.path, bytes, r.scan.stat); err != 0) {
      r.scan = cannot_read(r.scan.stat, err);
      return r;
    }
    if (detect_source_encoding(bytes).kind != SourceEncoding::Kind::kUtf8 ||
        !is_valid_utf8(bytes)) {
      r.finish = true;  // the caller decodes it, or says why it cannot
      r.bytes = bytes;
      return r;
    }
    auto statements = std::make_shared<ImportList>(scan_imports(bytes));
    for (const ImportStmt& stmt : *statements) {
      const Site& site = std::visit([](const auto& s) -> const Site& { return s.site; }, stmt);
      if (site.context & context::kNonAscii) {
        r.finish = true;  // the caller normalises the names
        r.bytes = bytes;
        return r;
      }
    }
    r.scan.statements = std::move(statements);
  } catch (...) {  // out of memory: left for the caller
    r = Result{};
    r.job = job.id;
    r.watched = job.watched;
    r.retry = true;
  }
  return r;
}

// ---- reading on the calling thread --------------------------------------------

FileScan scan_bytes(const fs::FileStat& stat, std::string bytes, HostServices* services) {
  FileScan scan;
  scan.stat = stat;
  std::string error;
  std::optional<std::string> text = decode_source(std::move(bytes), services, error);
  if (!text) {
    scan.status = FileScan::Status::kReadFailed;
    scan.error = std::move(error);
    return scan;
  }
  scan.statements = std::make_shared<const ImportList>(scan_source(*text, services));
  return scan;
}

FileScan read_scan(const std::string& path, HostServices* services) {
  std::string bytes;
  fs::FileStat stat;
  if (const int err = fs::read_file_stat(path, bytes, stat); err != 0) {
    return cannot_read(stat, err);
  }
  return scan_bytes(stat, std::move(bytes), services);
}

}  // namespace tarnwick
