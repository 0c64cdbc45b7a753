#include "support/capture_log.hpp"

#include <memory>
#include <mutex>

namespace tarnwick::testing {
namespace {

std::vector<CapturedRecord>& storage() {
  static std::vector<CapturedRecord> records;
  return records;
}

bool dropping_debug = false;

class CaptureSink final : public log::Sink {
 public:
  void log(const log::Record& record) noexcept override {
    if (drops(record.level, record.target)) return;
    storage().push_back({record.level, std::string(record.target), record.message()});
  }
  bool drops(log::Level level, std::string_view) const noexcept override {
    return dropping_debug && level == log::Level::Debug;
  }
};

}  // namespace

void start_capture() {
  static std::once_flag installed;
  std::call_once(installed,
                 [] { log::facade().set_boxed_logger(std::make_unique<CaptureSink>()); });
  log::facade().set_max_level(log::LevelFilter::Debug);
  storage().clear();
}

void set_dropping_debug(bool dropping) {
  dropping_debug = dropping;
}

const std::vector<CapturedRecord>& captured() {
  return storage();
}

std::vector<std::string> captured_messages(std::string_view target) {
  std::vector<std::string> out;
  for (const auto& r : storage()) {
    if (r.target == target) out.push_back(r.message);
  }
  return out;
}

}  // namespace tarnwick::testing
