// The logging facade: five levels, one process-wide global filter and one
// sink installed once. Emitting code checks the global filter first and only
// then builds the record; the message itself is formatted lazily, when the
// sink asks for it, so a sink that drops a record never pays for formatting.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "common/str_cat.hpp"

namespace tarnwick::log {

enum class Level : std::uint8_t { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

enum class LevelFilter : std::uint8_t {
  Off = 0,
  Error = 1,
  Warn = 2,
  Info = 3,
  Debug = 4,
  Trace = 5
};

// A record passes a filter when its level number is at most the filter's.
constexpr bool passes(Level level, LevelFilter filter) noexcept {
  return static_cast<std::uint8_t>(level) <= static_cast<std::uint8_t>(filter);
}

constexpr LevelFilter to_filter(Level level) noexcept {
  return static_cast<LevelFilter>(static_cast<std::uint8_t>(level));
}

// Python's numeric level for a level: 40, 30, 20, 10, 5.
constexpr int python_level(Level level) noexcept {
  switch (level) {
    case Level::Error:
      return 40;
    case Level::Warn:
      return 30;
    case Level::Info:
      return 20;
    case Level::Debug:
      return 10;
    case Level::Trace:
      return 5;
  }
  return 0;
}

// A type-erased, non-owning reference to the code that formats a message.
class MessageFn {
 public:
  template <class F>
  explicit MessageFn(const F& f) noexcept
      : obj_(&f), call_([](const void* obj) { return (*static_cast<const F*>(obj))(); }) {}
  std::string operator()() const { return call_(obj_); }

 private:
  const void* obj_;
  std::string (*call_)(const void*);
};

struct Record {
  Level level;
  std::string_view target;
  std::string_view module_path;
  std::optional<std::string_view> file;
  std::optional<std::uint32_t> line;
  MessageFn message;  // formats the message on each call
};

class Sink {
 public:
  virtual ~Sink() = default;
  // Must not throw: a failing sink never disturbs the code that logs.
  virtual void log(const Record& record) noexcept = 0;
  // True only when every record of `level` on `target` will be dropped from
  // now on, so that the code emitting them may skip the work that only they
  // would show. A sink that cannot tell says false.
  virtual bool drops(Level level, std::string_view target) const noexcept {
    (void)level;
    (void)target;
    return false;
  }
};

class SetLoggerError : public std::runtime_error {
 public:
  SetLoggerError() : std::runtime_error("a logger has already been installed") {}
};

// The facade: install-once sink plus global level filter. The process has one
// (`facade()`); tests may make their own.
class Facade {
 public:
  Facade() = default;
  Facade(const Facade&) = delete;
  Facade& operator=(const Facade&) = delete;
  ~Facade();

  // Installs `sink` if no sink was ever installed; otherwise frees it and
  // throws SetLoggerError.
  void set_boxed_logger(std::unique_ptr<Sink> sink);

  void set_max_level(LevelFilter filter) noexcept {
    max_level_.store(static_cast<std::uint8_t>(filter), std::memory_order_relaxed);
  }
  LevelFilter max_level() const noexcept {
    return static_cast<LevelFilter>(max_level_.load(std::memory_order_relaxed));
  }
  bool enabled(Level level) const noexcept {
    return static_cast<std::uint8_t>(level) <= max_level_.load(std::memory_order_relaxed);
  }

  // Hands the record to the installed sink, or drops it when none is.
  void log(const Record& record) const noexcept;

  // True when no record of `level` on `target`, emitted on this thread from
  // now on, can reach a sink (see Sink::drops).
  bool drops(Level level, std::string_view target) const noexcept;

 private:
  enum State : int { kUninstalled = 0, kInstalling = 1, kInstalled = 2 };
  std::atomic<int> state_{kUninstalled};
  Sink* sink_ = nullptr;
  std::atomic<std::uint8_t> max_level_{0};
};

// The process-wide facade.
Facade& facade() noexcept;

// While a QuietScope lives, records emitted on its thread are dropped before
// they are built. The exact engine runs the builder's walk under one: it
// reports through its results, not through logging.
inline thread_local int quiet_depth = 0;

class QuietScope {
 public:
  QuietScope() noexcept { ++quiet_depth; }
  ~QuietScope() { --quiet_depth; }
  QuietScope(const QuietScope&) = delete;
  QuietScope& operator=(const QuietScope&) = delete;
};

// Log targets of the core.
inline constexpr std::string_view kBuilderTarget = "tarnwick::core::builder";
inline constexpr std::string_view kTypesTarget = "tarnwick::core::types";
inline constexpr std::string_view kImportlibTarget = "tarnwick::importlib::util";

}  // namespace tarnwick::log

// Emits a record on the process-wide facade. The message pieces are
// concatenated only if the level passes the global filter and the sink asks.
#define TARNWICK_LOG(level_, target_, ...)                                             \
  do {                                                                                 \
    ::tarnwick::log::Facade& tw_facade_ = ::tarnwick::log::facade();                   \
    if (tw_facade_.enabled(level_) && ::tarnwick::log::quiet_depth == 0) {             \
      auto tw_format_ = [&]() { return ::tarnwick::str_cat(__VA_ARGS__); };            \
      tw_facade_.log(::tarnwick::log::Record{level_, target_, target_, __FILE__,       \
                                             static_cast<std::uint32_t>(__LINE__),     \
                                             ::tarnwick::log::MessageFn(tw_format_)}); \
    }                                                                                  \
  } while (0)

#define TW_LOG_DEBUG(target_, ...) TARNWICK_LOG(::tarnwick::log::Level::Debug, target_, __VA_ARGS__)
#define TW_LOG_INFO(target_, ...) TARNWICK_LOG(::tarnwick::log::Level::Info, target_, __VA_ARGS__)
#define TW_LOG_WARN(target_, ...) TARNWICK_LOG(::tarnwick::log::Level::Warn, target_, __VA_ARGS__)
