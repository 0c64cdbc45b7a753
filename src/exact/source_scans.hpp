// Source files as the exact engine reads them: decoded as Python decodes
// them, scanned for import statements, kept while they stay the same, and
// read and scanned on a small pool of worker threads.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/import_stmt.hpp"
#include "common/platform_fs.hpp"
#include "exact/module_finder.hpp"

namespace tarnwick {

// What the exact engine asks of the interpreter it runs in, besides its
// foreign finders: decoding with a named codec, the parser's normalisation
// of non-ASCII identifiers, and a chance to stop. Only the thread that runs
// the build calls it.
class HostServices : public ForeignFinders {
 public:
  // `bytes` decoded with the codec `encoding`, as UTF-8; nullopt with
  // `error` set when the codec is unknown or the bytes do not decode.
  virtual std::optional<std::string> decode(std::string_view bytes, const std::string& encoding,
                                            std::string& error) = 0;
  // `name` in NFKC, as the parser stores identifiers.
  virtual std::string normalize_name(std::string_view name) = 0;
  // Called now and then during a build; may throw to end it.
  virtual void check_interrupts() {}
};

// `bytes` as Python would decode a source file (BOM, PEP 263 cookie, else
// UTF-8), as UTF-8 text; nullopt with `error` set when it cannot be decoded.
std::optional<std::string> decode_source(std::string bytes, HostServices* services,
                                         std::string& error);

// The statements of `text` (UTF-8) with non-ASCII names normalised.
ImportList scan_source(std::string_view text, HostServices* services);

// The statements of one file, or why there are none.
struct FileScan {
  enum class Status : std::uint8_t {
    kOk,
    kCannotOpen,  // `error` holds the operating system's description
    kReadFailed,  // opened, but reading or decoding failed; `error` says why
  };
  fs::FileStat stat;  // taken before reading
  Status status = Status::kOk;
  std::string error;
  std::shared_ptr<const ImportList> statements;  // with kOk

  bool same_statements(const FileScan& other) const noexcept;
};

// Reads and scans files on worker threads. Each job gets the scan the
// caller holds for its path, if any, and keeps it when the file's size and
// modification time are unchanged. What needs the interpreter (a codec, or
// names to normalise) comes back as bytes for the caller to finish, and so
// does anything a worker could not do. Results come back in any order; the
// caller takes them with the number it was given.
class ScanPool {
 public:
  // `threads` workers; 0 runs every job on the caller's thread, as it waits.
  explicit ScanPool(std::size_t threads);
  ScanPool(const ScanPool&) = delete;
  ScanPool& operator=(const ScanPool&) = delete;
  // Drops the jobs not started and waits for those running.
  ~ScanPool();

  struct Result {
    std::size_t job = 0;
    FileScan scan;
    bool reused = false;   // the held scan, the file unchanged
    bool finish = false;   // `bytes` holds the file, for the caller to decode and scan
    bool retry = false;    // the worker could not (out of memory): the caller reads it
    bool watched = false;  // as queued
    std::string bytes;
  };

  // Queues `path`; returns the job's number.
  std::size_t submit(std::string path, std::shared_ptr<const FileScan> held, bool watched);
  // A finished job, waiting for one (or running one on this thread) when none
  // is; nullopt when nothing is queued or running.
  std::optional<Result> next();
  std::size_t outstanding() const noexcept { return outstanding_; }

  // The number of worker threads the process may use: its CPUs, or 1.
  static std::size_t available_cpus() noexcept;

 private:
  struct Job {
    std::size_t id;
    std::string path;
    std::shared_ptr<const FileScan> held;
    bool watched;
  };
  static Result run(Job& job) noexcept;
  void work() noexcept;

  std::mutex mu_;
  std::condition_variable queued_;
  std::condition_variable done_;
  std::deque<Job> jobs_;
  std::vector<Result> results_;
  std::vector<std::thread> threads_;
  bool stopping_ = false;
  std::size_t next_id_ = 0;
  std::size_t outstanding_ = 0;  // submitted and not yet handed back
};

// Reads and scans `path` on this thread.
FileScan read_scan(const std::string& path, HostServices* services);
// A scan of a file's `bytes`, decoded and scanned here.
FileScan scan_bytes(const fs::FileStat& stat, std::string bytes, HostServices* services);

}  // namespace tarnwick
