// A capturing sink on the process-wide log facade, for tests that assert the
// exact records the core emits.
#pragma once

#include <string>
#include <vector>

#include "common/log.hpp"

namespace tarnwick::testing {

struct CapturedRecord {
  log::Level level;
  std::string target;
  std::string message;
  bool operator==(const CapturedRecord&) const = default;
};

// Installs the capturing sink on first use (the facade takes one sink per
// process), sets the global filter to Debug and clears what was captured.
void start_capture();

// While set, the sink says it drops debug records (Sink::drops) and does.
void set_dropping_debug(bool dropping);

// Everything captured since the last start_capture().
const std::vector<CapturedRecord>& captured();

// Only the messages captured for `target`, in order.
std::vector<std::string> captured_messages(std::string_view target);

}  // namespace tarnwick::testing
