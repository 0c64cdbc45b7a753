// Small, allocation-conscious string building used by log messages and
// failure messages. Accepts anything convertible to std::string_view, single
// characters and integers.
#pragma once

#include <charconv>
#include <concepts>
#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>

namespace tarnwick {

namespace detail {

template <class T>
concept StringLike = std::convertible_to<const T&, std::string_view>;

template <class T>
concept Integer = std::integral<T> && !std::same_as<T, bool> && !std::same_as<T, char>;

template <StringLike T>
inline void append_piece(std::string& out, const T& piece) {
  out.append(std::string_view(piece));
}

inline void append_piece(std::string& out, char c) {
  out.push_back(c);
}

template <Integer T>
inline void append_piece(std::string& out, T value) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, static_cast<std::size_t>(res.ptr - buf));
}

}  // namespace detail

// Appends every piece to `out`, in order.
template <class... Pieces>
void str_append(std::string& out, const Pieces&... pieces) {
  (detail::append_piece(out, pieces), ...);
}

// Concatenates the pieces into a new string.
template <class... Pieces>
std::string str_cat(const Pieces&... pieces) {
  std::string out;
  str_append(out, pieces...);
  return out;
}

}  // namespace tarnwick
