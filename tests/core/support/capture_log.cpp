#include "support/capture_log.hpp"

#include <memory>
#include <mutex>

namespace tarnwick::testing {
namespace {

std::vector<CapturedRecord>& storage() {
  static std::vector<CapturedRecord> records;
  return records;
}

class CaptureSink final : public log::Sink {
 public:
  void log(const log::Record& record) noexcept override {
    storage().push_back({record.level, std::string(record.target), record.message()});
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
