// The core's internal-failure type. A broken invariant or an impossible state
// ends the current operation with an InternalError carrying a fixed message;
// the Python binding turns it into PanicException at the call boundary.
#pragma once

#include <exception>
#include <string>
#include <utility>

#include "common/str_cat.hpp"

namespace tarnwick {

class InternalError : public std::exception {
 public:
  explicit InternalError(std::string message) noexcept : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Throws InternalError with the concatenation of `pieces`.
template <class... Pieces>
[[noreturn]] void fail(const Pieces&... pieces) {
  throw InternalError(str_cat(pieces...));
}

// The message used when a value that must be present is absent.
inline constexpr const char* kAbsentValue = "a required value is absent";

}  // namespace tarnwick
