// Reading and scanning source files on a second thread, ahead of the walk.
// As the walk starts on a module, its host names the files of the modules
// that module imports; by the time the walk reaches them their statements
// are ready. Only what needs no interpreter is done there (reading, checking
// UTF-8, scanning); a file that needs a codec, or whose names need the
// parser's normalisation, comes back as bytes for the caller to finish.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/import_stmt.hpp"
#include "core/platform_fs.hpp"

namespace tarnwick {

class Prefetcher {
 public:
  struct Result {
    fs::FileStat stat;    // taken before reading
    int error = 0;        // errno of reading, 0 when read; -1: not read, read it yourself
    bool opened = false;  // with an error: whether opening worked
    std::string bytes;    // the file, when `statements` could not be made here
    std::shared_ptr<const ImportList> statements;
    bool watched = false;  // its folder was watched when it was queued, and it is no link
  };

  Prefetcher() = default;
  Prefetcher(const Prefetcher&) = delete;
  Prefetcher& operator=(const Prefetcher&) = delete;
  ~Prefetcher() { stop(); }

  // Starts the worker; without a thread to be had, want() does nothing.
  void start();
  // Drops what is queued and unclaimed, and waits for the worker to end.
  void stop() noexcept;

  // Queues `path`, once per run; `watched`: its folder is watched already.
  void want(const std::string& path, bool watched);

  // The worker's result for `path`, waiting while the worker reads it.
  // Nullopt when the path was never queued, or still waits in the queue (it
  // is then dropped from it: the caller reads it sooner itself).
  std::optional<Result> take(const std::string& path);

 private:
  enum class State : std::uint8_t { kQueued, kReading, kDone, kTaken };
  void run() noexcept;
  static Result read(const std::string& path);

  std::mutex mu_;
  std::condition_variable work_;  // something queued, or stopping
  std::condition_variable done_;  // a result is in
  std::deque<std::string> queue_;
  std::unordered_map<std::string, State> state_;
  std::unordered_map<std::string, bool> watched_;  // by queued path
  std::unordered_map<std::string, Result> results_;
  std::thread worker_;
  bool stopping_ = false;
};

}  // namespace tarnwick
