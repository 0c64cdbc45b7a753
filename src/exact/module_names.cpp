#include "exact/module_names.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace tarnwick {

namespace {

constexpr std::size_t kFirstSlots = 1024;
constexpr std::size_t kBlockBytes = 64 * 1024;

std::uint64_t load64(const char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

}  // namespace

ModuleNames::ModuleNames() : slots_(kFirstSlots) {}

// Eight bytes at a time, mixed with a multiply; module names are short, and
// the table compares a tag before it compares text. The length enters only
// at the end, so the hashes of every prefix of a name come from one pass.
namespace {

constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ull;

std::uint64_t mix(std::uint64_t h, std::uint64_t v) noexcept {
  h = (h ^ v) * kMul;
  return h ^ (h >> 29);
}

std::uint64_t finish(std::uint64_t h, const char* tail, std::size_t n, std::size_t size) noexcept {
  if (n > 0) {
    std::uint64_t v = 0;
    std::memcpy(&v, tail, n);
    h = mix(h, v);
  }
  h = mix(h, size) * kMul;
  return h ^ (h >> 32);
}

}  // namespace

std::uint64_t ModuleNames::hash(std::string_view text) noexcept {
  std::uint64_t h = 0;
  const char* p = text.data();
  std::size_t n = text.size();
  for (; n >= 8; p += 8, n -= 8) h = mix(h, load64(p));
  return finish(h, p, n, text.size());
}

ModuleNames::Slot ModuleNames::slot_of(ModuleId id, std::string_view name,
                                       std::uint64_t h) noexcept {
  const auto size = static_cast<std::uint16_t>(name.size() < kLong ? name.size() : kLong);
  return Slot{id, static_cast<std::uint16_t>(h >> 48), size, name.data()};
}

template <class Accept>
ModuleId ModuleNames::probe(std::string_view name, std::uint64_t h,
                            const Accept& accept) const noexcept {
  const std::size_t mask = slots_.size() - 1;
  const auto tag = static_cast<std::uint16_t>(h >> 48);
  const auto size = static_cast<std::uint16_t>(name.size() < kLong ? name.size() : kLong);
  for (std::size_t i = static_cast<std::size_t>(h) & mask;; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (s.id == kNoModule) return kNoModule;
    if (s.tag == tag && s.size == size && accept(s)) return s.id;
  }
}

ModuleId ModuleNames::lookup(std::string_view name, std::uint64_t h) const noexcept {
  return probe(name, h, [&](const Slot& s) {
    return s.size == kLong ? names_[s.id] == name
                           : std::memcmp(s.text, name.data(), name.size()) == 0;
  });
}

ModuleId ModuleNames::find(std::string_view name) const noexcept {
  return lookup(name, hash(name));
}

std::uint64_t ModuleNames::prefetch(std::string_view name) const noexcept {
  const std::uint64_t h = hash(name);
  __builtin_prefetch(&slots_[static_cast<std::size_t>(h) & (slots_.size() - 1)]);
  return h;
}

void ModuleNames::prefetch_text(std::string_view name, std::uint64_t h) const noexcept {
  // The slot is (most likely) loaded now: the text of the first one whose
  // tag and length match is what the lookup will compare.
  probe(name, h, [](const Slot& s) {
    __builtin_prefetch(s.text);
    return true;
  });
}

std::string_view ModuleNames::keep(std::string_view text) {
  if (block_used_ + text.size() > block_size_) {
    block_size_ = std::max(kBlockBytes, text.size());
    blocks_.push_back(std::make_unique<char[]>(block_size_));
    block_used_ = 0;
  }
  char* at = blocks_.back().get() + block_used_;
  if (!text.empty()) std::memcpy(at, text.data(), text.size());
  block_used_ += text.size();
  return {at, text.size()};
}

void ModuleNames::grow() {
  std::vector<Slot> old(slots_.size() * 2);
  old.swap(slots_);
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& s : old) {
    if (s.id == kNoModule) continue;
    const std::uint64_t h = hashes_[s.id];  // kept: long names are not hashed again
    std::size_t i = static_cast<std::size_t>(h) & mask;
    while (slots_[i].id != kNoModule) i = (i + 1) & mask;
    slots_[i] = s;
  }
}

// `name` is kept already.
ModuleId ModuleNames::add(std::string_view name, std::uint64_t h, ModuleId parent) {
  if ((names_.size() + 1) * 4 > slots_.size() * 3) grow();
  const auto id = static_cast<ModuleId>(names_.size());
  names_.push_back(name);
  hashes_.push_back(h);
  links_.push_back(Link{parent, parent == kNoModule ? 1 : links_[parent].parts + 1});
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = static_cast<std::size_t>(h) & mask;
  while (slots_[i].id != kNoModule) i = (i + 1) & mask;
  slots_[i] = slot_of(id, name, h);
  return id;
}

ModuleId ModuleNames::intern(std::string_view name) {
  const std::uint64_t h = hash(name);
  if (const ModuleId id = lookup(name, h); id != kNoModule) return id;
  // The hashes of the enclosing packages' names, in one pass over the text.
  // Kept between calls: most new names are a package's modules, and two
  // allocations a name would cost more than the rest of their interning.
  thread_local std::vector<std::size_t> dots;
  thread_local std::vector<std::uint64_t> hashes;
  dots.clear();
  hashes.clear();
  std::uint64_t state = 0;
  std::size_t chunked = 0;  // bytes mixed into `state`
  for (std::size_t at = name.find('.', 1); at != std::string_view::npos;
       at = name.find('.', at + 1)) {
    for (; chunked + 8 <= at; chunked += 8) state = mix(state, load64(name.data() + chunked));
    dots.push_back(at);
    hashes.push_back(finish(state, name.data() + chunked, at - chunked, at));
  }
  // The longest package already held; the rest is added below it. Their
  // texts are views of one copy of the name, so a name of many parts costs
  // its length once, not once per part, and no recursion.
  std::size_t k = dots.size();
  ModuleId parent = kNoModule;
  while (k > 0 && (parent = lookup(name.substr(0, dots[k - 1]), hashes[k - 1])) == kNoModule) --k;
  const std::string_view text = keep(name);
  for (std::size_t j = k; j < dots.size(); ++j)
    parent = add(text.substr(0, dots[j]), hashes[j], parent);
  return add(text, h, parent);
}

std::vector<ModuleId> ModuleNames::in_name_order(const std::vector<ModuleId>& ids) const {
  const std::size_t n = names_.size();
  std::vector<std::uint8_t> wanted(n, 0);
  for (const ModuleId id : ids) wanted[id] = 1;
  // The children of each name, as rows by parent; the top-level names last.
  std::vector<std::uint32_t> begin(n + 2, 0), kids(n);
  const auto row = [&](ModuleId id) { return parent(id) == kNoModule ? n : parent(id); };
  for (ModuleId id = 0; id < n; ++id) ++begin[row(id) + 1];
  for (std::size_t r = 0; r <= n; ++r) begin[r + 1] += begin[r];
  {
    std::vector<std::uint32_t> at(begin.begin(), begin.end() - 1);
    for (ModuleId id = 0; id < n; ++id) kids[at[row(id)]++] = id;
  }
  const auto last_part = [&](ModuleId id) {
    const ModuleId up = parent(id);
    return up == kNoModule ? names_[id] : names_[id].substr(names_[up].size() + 1);
  };
  for (std::size_t r = 0; r <= n; ++r) {
    std::sort(kids.begin() + begin[r], kids.begin() + begin[r + 1],
              [&](ModuleId a, ModuleId b) { return last_part(a) < last_part(b); });
  }
  // Depth first, without recursion: each name, then its children's subtrees.
  std::vector<ModuleId> out;
  out.reserve(ids.size());
  std::vector<std::pair<std::uint32_t, std::uint32_t>> stack{{begin[n], begin[n + 1]}};
  while (!stack.empty()) {
    auto& [next, end] = stack.back();
    if (next == end) {
      stack.pop_back();
      continue;
    }
    const ModuleId id = kids[next++];
    if (wanted[id] != 0) out.push_back(id);
    if (begin[id] != begin[id + 1]) stack.emplace_back(begin[id], begin[id + 1]);
  }
  const auto by_name = [&](ModuleId a, ModuleId b) { return names_[a] < names_[b]; };
  if (!std::is_sorted(out.begin(), out.end(), by_name)) std::sort(out.begin(), out.end(), by_name);
  return out;
}

}  // namespace tarnwick
