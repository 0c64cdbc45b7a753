// NameSet: the set of module names each graph node keeps for its imports
// and its importers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// A set of module names without duplicates and without a defined order.
//
// The names are packed one after another into a single byte buffer, each
// behind its length (LEB128), so a set costs one allocation and a member costs
// its bytes plus one length byte. Small sets are searched linearly, and once
// a set grows past kIndexThreshold names an open-addressing index of entry
// offsets makes membership tests O(1). Most modules have a handful of edges,
// so most sets never pay for an index. Iteration yields string_views into the
// buffer, valid until the set is next changed.
class NameSet {
 public:
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = const std::string_view*;
    using reference = std::string_view;

    const_iterator() = default;
    std::string_view operator*() const noexcept { return current_; }
    const_iterator& operator++() noexcept {
      pos_ = next_;
      decode();
      return *this;
    }
    const_iterator operator++(int) noexcept {
      const_iterator old = *this;
      ++*this;
      return old;
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) noexcept {
      return a.pos_ == b.pos_;
    }

   private:
    friend class NameSet;
    const_iterator(const char* pos, const char* end) noexcept : pos_(pos), end_(end) { decode(); }
    void decode() noexcept;

    const char* pos_ = nullptr;   // start of the current entry
    const char* next_ = nullptr;  // start of the following entry
    const char* end_ = nullptr;
    std::string_view current_;
  };

  NameSet() = default;
  NameSet(std::initializer_list<std::string_view> names);

  std::size_t size() const noexcept { return count_; }
  bool empty() const noexcept { return count_ == 0; }
  const_iterator begin() const noexcept { return {buf_.data(), buf_.data() + buf_.size()}; }
  const_iterator end() const noexcept {
    return {buf_.data() + buf_.size(), buf_.data() + buf_.size()};
  }

  bool contains(std::string_view name) const noexcept;

  // Adds `name` unless present; returns whether it was added.
  bool insert(std::string_view name);

  // Adds every name of `other`.
  void insert_all(NameSet&& other);
  void insert_all(const NameSet& other);

  // Removes every name for which `pred(name)` is false.
  template <class Pred>
  void retain_if(Pred pred);

  // Set equality: same names, whatever the order.
  friend bool operator==(const NameSet& a, const NameSet& b) noexcept;

 private:
  static constexpr std::size_t kIndexThreshold = 16;
  static constexpr std::uint32_t kEmptySlot = 0;  // index slots hold offset + 1

  static std::string_view entry_at(const char* p, const char** next = nullptr) noexcept;
  std::size_t find_slot(std::string_view name, std::size_t hash) const noexcept;
  void rebuild_index(std::size_t capacity);
  void append(std::string_view name);
  void drop_index_if_small();

  std::string buf_;                   // packed entries
  std::uint32_t count_ = 0;           // number of names
  std::vector<std::uint32_t> index_;  // empty while the set is small
};

inline std::string_view NameSet::entry_at(const char* p, const char** next) noexcept {
  std::size_t len = 0;
  int shift = 0;
  for (;;) {
    const auto byte = static_cast<unsigned char>(*p++);
    len |= static_cast<std::size_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) break;
    shift += 7;
  }
  if (next != nullptr) *next = p + len;
  return {p, len};
}

inline void NameSet::const_iterator::decode() noexcept {
  if (pos_ == end_) return;
  current_ = entry_at(pos_, &next_);
}

template <class Pred>
void NameSet::retain_if(Pred pred) {
  // Compacts the buffer in place; entries only ever move towards the front.
  char* out = buf_.data();
  const char* p = buf_.data();
  const char* const end = buf_.data() + buf_.size();
  std::uint32_t kept = 0;
  while (p != end) {
    const char* next = nullptr;
    const std::string_view name = entry_at(p, &next);
    const auto entry_len = static_cast<std::size_t>(next - p);
    if (pred(name)) {
      if (out != p) std::memmove(out, p, entry_len);
      out += entry_len;
      ++kept;
    }
    p = next;
  }
  if (kept == count_) return;
  buf_.resize(static_cast<std::size_t>(out - buf_.data()));
  count_ = kept;
  index_.clear();
  if (count_ > kIndexThreshold) rebuild_index(std::max<std::size_t>(32, 4 * count_));
  drop_index_if_small();
}

}  // namespace tarnwick
