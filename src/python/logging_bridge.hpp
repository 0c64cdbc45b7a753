// The sink that carries the core's log records to the host's `logging`
// package, with a per-target cache of the Python logger and the level it was
// found to accept. The cache is an immutable tree behind an atomically
// replaced root: readers never lock, an update copies the path it changes.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/log.hpp"
#include "python/py_ref.hpp"

namespace tarnwick::py {

struct CacheEntry {
  log::LevelFilter filter;
  PyRef logger;
};

struct CacheNode {
  std::optional<CacheEntry> entry;
  std::map<std::string, std::shared_ptr<const CacheNode>, std::less<>> children;
};

using CacheRoot = std::atomic<std::shared_ptr<const CacheNode>>;

// Would replace the cache by an empty tree. Module initialisation drops it.
class ResetHandle {
 public:
  explicit ResetHandle(std::shared_ptr<CacheRoot> root) : root_(std::move(root)) {}
  void reset() const { root_->store(std::make_shared<const CacheNode>()); }

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

  log::LevelFilter base_filter() const noexcept { return base_filter_; }

 private:
  explicit Logger(PyRef logging);

  // The node reached by following the target's segments, if every segment
  // has one.
  static const CacheNode* find(const CacheNode& root, std::string_view target);
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
