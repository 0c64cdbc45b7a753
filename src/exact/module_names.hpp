// Dotted module names interned once into small integer ids. The exact
// engine's walk, records and graph work on ids; a name's text is kept once,
// in the table's own blocks, and every enclosing package of a name has an id
// too, so "the package of a.b.c" is an array read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace tarnwick {

using ModuleId = std::uint32_t;
inline constexpr ModuleId kNoModule = 0xFFFFFFFFu;

class ModuleNames {
 public:
  ModuleNames();
  ModuleNames(const ModuleNames&) = delete;
  ModuleNames& operator=(const ModuleNames&) = delete;

  // The id of `name`, added (with every enclosing package) when new. Names
  // are taken as given: the caller checks that they are dotted names.
  ModuleId intern(std::string_view name);
  // The id of `name`, or kNoModule when it was never interned.
  ModuleId find(std::string_view name) const noexcept;

  // Starts loading the memory a lookup of `name` reads, so that lookups of
  // several names wait for memory together rather than one after another:
  // call prefetch() for each, then prefetch_text() with the hashes it gave,
  // then intern or find them. Worth it when the table is larger than the
  // caches; harmless otherwise.
  std::uint64_t prefetch(std::string_view name) const noexcept;
  void prefetch_text(std::string_view name, std::uint64_t hash) const noexcept;
  // Starts loading what parent() and parts() of `id` read.
  void prefetch_links(ModuleId id) const noexcept { __builtin_prefetch(&links_[id]); }

  std::string_view name(ModuleId id) const noexcept { return names_[id]; }
  // The enclosing package ("a.b" for "a.b.c"), or kNoModule at the top.
  ModuleId parent(ModuleId id) const noexcept { return links_[id].parent; }
  // How many dotted parts the name has.
  std::uint32_t parts(ModuleId id) const noexcept { return links_[id].parts; }
  std::size_t size() const noexcept { return names_.size(); }

  // `ids` in the order of their names. The name tree is walked with each
  // package's children sorted by their last part: a name's subtree comes
  // right after it, as in the order of the texts, since '.' sorts before
  // every character a module name's part holds. Names that break that (a
  // part holding a lower character) are sorted by their full texts instead.
  std::vector<ModuleId> in_name_order(const std::vector<ModuleId>& ids) const;

 private:
  static std::uint64_t hash(std::string_view text) noexcept;
  ModuleId lookup(std::string_view name, std::uint64_t h) const noexcept;
  ModuleId add(std::string_view name, std::uint64_t h, ModuleId parent);
  std::string_view keep(std::string_view text);
  void grow();

  // A slot holds what a lookup compares, so that a hit reads the slot and
  // the name's text, not the name table as well.
  struct Slot {
    std::uint32_t id = kNoModule;
    std::uint16_t tag = 0;   // the hash's high bits, to skip most comparisons
    std::uint16_t size = 0;  // the name's length, or kLong for 65,535 and more
    const char* text = nullptr;
  };
  static constexpr std::uint16_t kLong = 0xFFFF;
  static Slot slot_of(ModuleId id, std::string_view name, std::uint64_t h) noexcept;
  // The id of the first slot on `name`'s probe path whose tag and length
  // match and which `accept` takes; kNoModule at the first empty slot.
  template <class Accept>
  ModuleId probe(std::string_view name, std::uint64_t h, const Accept& accept) const noexcept;
  std::vector<Slot> slots_;  // open addressing, a power of two in size
  std::vector<std::string_view> names_;
  std::vector<std::uint64_t> hashes_;
  // A name's package and its number of parts, read together.
  struct Link {
    ModuleId parent;
    std::uint32_t parts;
  };
  std::vector<Link> links_;
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t block_used_ = 0;
  std::size_t block_size_ = 0;
};

}  // namespace tarnwick
