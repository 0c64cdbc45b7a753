#include "core/prefetch.hpp"

#include <system_error>
#include <utility>

#include "core/import_scan.hpp"
#include "core/source_file.hpp"

namespace tarnwick {

void Prefetcher::start() {
  if (worker_.joinable()) return;
  stopping_ = false;
  try {
    worker_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {  // no thread: the caller reads everything itself
  }
}

void Prefetcher::stop() noexcept {
  if (!worker_.joinable()) return;
  {
    const std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    queue_.clear();
  }
  work_.notify_all();
  worker_.join();
  state_.clear();
  watched_.clear();
  results_.clear();
}

void Prefetcher::want(const std::string& path, bool watched) {
  if (!worker_.joinable()) return;
  {
    const std::lock_guard<std::mutex> lock(mu_);
    if (!state_.emplace(path, State::kQueued).second) return;
    watched_[path] = watched;
    queue_.push_back(path);
  }
  work_.notify_one();
}

std::optional<Prefetcher::Result> Prefetcher::take(const std::string& path) {
  if (!worker_.joinable()) return std::nullopt;
  std::unique_lock<std::mutex> lock(mu_);
  const auto it = state_.find(path);
  if (it == state_.end() || it->second == State::kTaken) return std::nullopt;
  if (it->second == State::kQueued) {
    it->second = State::kTaken;  // the worker skips it
    return std::nullopt;
  }
  done_.wait(lock, [&] { return state_.at(path) == State::kDone; });
  state_.at(path) = State::kTaken;
  const auto result = results_.find(path);
  Result out = std::move(result->second);
  results_.erase(result);
  return out;
}

void Prefetcher::run() noexcept {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    work_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    std::string path = std::move(queue_.front());
    queue_.pop_front();
    const auto it = state_.find(path);
    if (it == state_.end() || it->second != State::kQueued) continue;
    it->second = State::kReading;
    const bool watched = watched_.at(path);
    lock.unlock();
    Result result;
    try {
      result = read(path);
      result.watched = watched && !fs::is_symlink(path);
    } catch (...) {  // out of memory: left for the caller to read
      result = Result{};
      result.error = -1;
    }
    lock.lock();
    results_[path] = std::move(result);
    state_[path] = State::kDone;
    done_.notify_all();
  }
}

Prefetcher::Result Prefetcher::read(const std::string& path) {
  Result r;
  r.stat = fs::stat_path(path);
  r.error = fs::read_file(path, r.bytes, &r.opened);
  if (r.error != 0) return r;
  if (detect_source_encoding(r.bytes).kind != SourceEncoding::Kind::kUtf8 ||
      !is_valid_utf8(r.bytes)) {
    return r;  // the caller decodes, or reports it
  }
  auto statements = std::make_shared<const ImportList>(scan_imports(r.bytes));
  for (const ImportStmt& stmt : *statements) {
    const Site& site = std::visit([](const auto& s) -> const Site& { return s.site; }, stmt);
    if (site.context & context::kNonAscii) return r;  // the caller normalises the names
  }
  r.statements = std::move(statements);
  r.bytes.clear();
  r.bytes.shrink_to_fit();
  return r;
}

}  // namespace tarnwick
