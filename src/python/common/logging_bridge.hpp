// The sink that carries the core's log records to the host's `logging`
// package, with a per-target cache of the Python logger and the level it was
// found to accept. The cache is an immutable tree behind an atomically
// replaced root: readers never lock, an update copies the path it changes.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/log.hpp"
#include "python/common/py_ref.hpp"

namespace tarnwick::py {

struct CacheEntry {
  log::LevelFilter filter;
  PyRef logger;
};

struct CacheNode {
  std::optional<CacheEntry> entry;
  std::map<std::string, std::shared_ptr<const CacheNode>, std::less<>> children;
};

// The current tree behind an atomically replaced root. Every tree ever
// published stays alive with the holder, so readers load a plain pointer and
// walk it without reference counting (the cache gains one entry per target,
// so only a handful of trees are ever published).
class CacheRoot {
 public:
  CacheRoot() { publish(std::make_shared<const CacheNode>()); }

  const CacheNode* load() const noexcept { return root_.load(std::memory_order_acquire); }

  // Publishes `tree` only if the root is still `expected`; otherwise the
  // update is dropped and `tree` freed.
  bool replace(const CacheNode* expected, std::shared_ptr<const CacheNode> tree);

  // Replaces the tree unconditionally.
  void publish(std::shared_ptr<const CacheNode> tree);

 private:
  std::atomic<const CacheNode*> root_{nullptr};
  std::mutex mutex_;  // guards the publishing side only
  std::vector<std::shared_ptr<const CacheNode>> published_;
};

// Would replace the cache by an empty tree. Module initialisation drops it.
class ResetHandle {
 public:
  explicit ResetHandle(std::shared_ptr<CacheRoot> root) : root_(std::move(root)) {}
  void reset() const { root_->publish(std::make_shared<const CacheNode>()); }

 private:
  std::shared_ptr<CacheRoot> root_;
};

class Logger final : public log::Sink {
 public:
  // Needs the interpreter lock. Imports `logging`; throws ErrorAlreadySet if
  // that fails.
  static std::unique_ptr<Logger> create();

  // Installs `logger` on `facade` and opens the facade's filter to Debug.
  static ResetHandle install(std::unique_ptr<Logger> logger, log::Facade& facade);

  void log(const log::Record& record) noexcept override;
  // A target's cached filter never changes once made, so a record below it
  // (or below the base filter) is dropped now and always.
  bool drops(log::Level level, std::string_view target) const noexcept override;

  log::LevelFilter base_filter() const noexcept { return base_filter_; }

 private:
  explicit Logger(PyRef logging);

  // The node reached by following the target's segments, if every segment
  // has one.
  static const CacheNode* find(const CacheNode& root, std::string_view target);
  // find() in the current tree, through a small per-thread memo.
  const CacheNode* lookup(std::string_view target) const noexcept;
  void store(std::string_view target, CacheEntry entry);
  // Runs the Python side of one record; throws ErrorAlreadySet when a Python
  // call raises.
  void deliver(const log::Record& record, const CacheNode* node);

  log::LevelFilter base_filter_ = log::LevelFilter::Debug;
  PyRef logging_;
  std::shared_ptr<CacheRoot> cache_root_;
};

// Creates the bridge and installs it on the process-wide facade. On a failed
// `import logging` throws InternalError "Failed to initialize python
// logging: ...".
void init_logging();

}  // namespace tarnwick::py
