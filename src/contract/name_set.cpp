#include "contract/name_set.hpp"

#include <functional>

namespace tarnwick {

namespace {

std::size_t hash_text(std::string_view text) noexcept {
  return std::hash<std::string_view>{}(text);
}

std::size_t next_pow2(std::size_t n) noexcept {
  std::size_t p = 1;
  while (p < n) p <<= 1;
  return p;
}

}  // namespace

NameSet::NameSet(std::initializer_list<std::string_view> names) {
  for (std::string_view n : names) insert(n);
}

std::size_t NameSet::find_slot(std::string_view name, std::size_t hash) const noexcept {
  const std::size_t mask = index_.size() - 1;
  std::size_t i = hash & mask;
  while (index_[i] != kEmptySlot && entry_at(buf_.data() + index_[i] - 1) != name) {
    i = (i + 1) & mask;
  }
  return i;
}

void NameSet::rebuild_index(std::size_t capacity) {
  index_.assign(next_pow2(capacity), kEmptySlot);
  const char* const base = buf_.data();
  for (auto it = begin(); it != end(); ++it) {
    const std::string_view name = *it;
    const auto offset = static_cast<std::uint32_t>(it.pos_ - base);
    index_[find_slot(name, hash_text(name))] = offset + 1;
  }
}

void NameSet::drop_index_if_small() {
  if (count_ <= kIndexThreshold && !index_.empty()) {
    index_.clear();
    index_.shrink_to_fit();
  }
}

void NameSet::append(std::string_view name) {
  const auto offset = static_cast<std::uint32_t>(buf_.size());
  char len_bytes[10];
  std::size_t n = 0;
  std::size_t len = name.size();
  do {
    auto byte = static_cast<unsigned char>(len & 0x7F);
    len >>= 7;
    if (len != 0) byte |= 0x80;
    len_bytes[n++] = static_cast<char>(byte);
  } while (len != 0);
  buf_.append(len_bytes, n);
  buf_.append(name);
  ++count_;

  if (index_.empty()) {
    if (count_ > kIndexThreshold) rebuild_index(4 * count_);
  } else if (2 * count_ > index_.size()) {
    rebuild_index(2 * index_.size());
  } else {
    index_[find_slot(name, hash_text(name))] = offset + 1;
  }
}

bool NameSet::contains(std::string_view name) const noexcept {
  if (index_.empty()) {
    for (std::string_view n : *this) {
      if (n == name) return true;
    }
    return false;
  }
  return index_[find_slot(name, hash_text(name))] != kEmptySlot;
}

bool NameSet::insert(std::string_view name) {
  if (contains(name)) return false;
  // `name` may view this very buffer, which append() can reallocate.
  if (name.data() >= buf_.data() && name.data() < buf_.data() + buf_.size()) {
    const std::string copy(name);
    append(copy);
  } else {
    append(name);
  }
  return true;
}

void NameSet::insert_all(NameSet&& other) {
  if (empty()) {
    *this = std::move(other);
    return;
  }
  for (std::string_view n : other) insert(n);
}

void NameSet::insert_all(const NameSet& other) {
  // A set copied from `other` and not changed since holds the same bytes:
  // nothing to add, and no member needs looking up.
  if (count_ == other.count_ && buf_ == other.buf_) return;
  for (std::string_view n : other) insert(n);
}

bool operator==(const NameSet& a, const NameSet& b) noexcept {
  if (a.size() != b.size()) return false;
  return std::all_of(a.begin(), a.end(), [&](std::string_view n) { return b.contains(n); });
}

}  // namespace tarnwick
