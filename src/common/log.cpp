#include "common/log.hpp"

namespace tarnwick::log {

Facade::~Facade() {
  if (state_.load(std::memory_order_acquire) == kInstalled) delete sink_;
}

void Facade::set_boxed_logger(std::unique_ptr<Sink> sink) {
  int expected = kUninstalled;
  if (!state_.compare_exchange_strong(expected, kInstalling, std::memory_order_acq_rel)) {
    throw SetLoggerError();  // `sink` is freed on the way out
  }
  sink_ = sink.release();
  state_.store(kInstalled, std::memory_order_release);
}

void Facade::log(const Record& record) const noexcept {
  if (state_.load(std::memory_order_acquire) != kInstalled) return;
  sink_->log(record);
}

bool Facade::drops(Level level, std::string_view target) const noexcept {
  if (!enabled(level) || quiet_depth != 0) return true;
  if (state_.load(std::memory_order_acquire) != kInstalled) return true;
  return sink_->drops(level, target);
}

Facade& facade() noexcept {
  // Never destroyed: records may be emitted during interpreter shutdown.
  static Facade* const instance = new Facade();
  return *instance;
}

}  // namespace tarnwick::log
