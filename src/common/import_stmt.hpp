// Import statement records: the import statements of one text and their
// names, held compactly by an ImportList.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

namespace tarnwick {

// One imported name. Both views point into the ImportList that holds the
// statement and stay valid as long as it lives (moves included).
struct Alias {
  std::string_view name;    // the imported name exactly as written
  std::string_view asname;  // the name after `as`; empty when there is none
  bool operator==(const Alias&) const = default;
};

using Names = std::span<const Alias>;

// Where a statement stands in its text. The grammar's extraction leaves it
// zero; the exact scanner fills it.
struct Site {
  std::uint32_t line = 0;    // line of the `import` or `from` keyword, from 1
  std::uint8_t context = 0;  // the context:: flags below
  bool operator==(const Site&) const = default;
};

namespace context {
inline constexpr std::uint8_t kFunction = 1;      // inside a def, at any depth
inline constexpr std::uint8_t kClass = 2;         // directly in a class body
inline constexpr std::uint8_t kGuarded = 4;       // in a try body whose handler catches ImportError
inline constexpr std::uint8_t kTypeChecking = 8;  // under `if TYPE_CHECKING:`
inline constexpr std::uint8_t kNonAscii = 16;     // a name holds non-ASCII characters
// Set by the graph's walk, never by a scanner: an import the statement
// implies without naming it (the enclosing packages of a module it imports;
// the package of a `from` whose names are all its submodules).
inline constexpr std::uint8_t kImplied = 32;
}  // namespace context

// `import a.b as c, d`
struct Import {
  Names names;
  Site site{};
};

// `from ..m import x as y, z`
struct ImportFrom {
  std::string_view module;  // without the leading dots; may be empty
  Names names;
  std::uint64_t level = 0;  // number of leading dots
  Site site{};
};

using ImportStmt = std::variant<Import, ImportFrom>;

// The statements of one text, in order. A statement costs 56 bytes and a
// name 32 more plus its characters: the names live in the list's
// own text blocks, and every statement's aliases in one array, so a text of
// hundreds of thousands of statements makes two arrays and a few blocks
// instead of as many small allocations.
//
// Reading is as from a vector of ImportStmt. A list is built by a producer
// (`add_alias` the names of a statement, then `add_import` or
// `add_import_from`, and `finish` once at the end), which may change the
// sites of the statements made so far. The names of the statement being
// built are views of the producer's text until the statement ends, so a
// statement that turns out not to be one costs no copies: `drop_pending`
// gives its names back. Move-only: the views point into it.
class ImportList {
 public:
  ImportList() = default;
  ImportList(ImportList&&) noexcept = default;
  ImportList& operator=(ImportList&&) noexcept = default;
  ImportList(const ImportList&) = delete;
  ImportList& operator=(const ImportList&) = delete;

  // The same statements, sites included.
  bool operator==(const ImportList& other) const noexcept;

  std::size_t size() const noexcept { return stmts_.size(); }
  bool empty() const noexcept { return stmts_.empty(); }
  const ImportStmt& operator[](std::size_t i) const noexcept { return stmts_[i]; }
  auto begin() const noexcept { return stmts_.begin(); }
  auto end() const noexcept { return stmts_.end(); }

  // -- building --

  // Adds a name to the statement being built. The views need only live
  // until the statement ends: add_import and add_import_from copy them (and
  // the module) into the list.
  void add_alias(std::string_view name, std::string_view asname = {});
  // The names added since the last statement ended.
  Names pending() const noexcept {
    return {aliases_.data() + pending_, aliases_.size() - pending_};
  }
  // Drops the pending names: their statement turned out not to be one.
  void drop_pending() noexcept;
  // Ends the statement being built with the pending names.
  void add_import(Site site = {});
  void add_import_from(std::string_view module, std::uint64_t level, Site site = {});
  // The site of statement `i`, while the list is being built.
  Site& site(std::size_t i) noexcept;
  // Once `kManyStatements` statements came from the first `read` bytes of a
  // `total`-byte text: one reservation for the rest at that density (and an
  // eighth more), which spares most copies of the growing arrays. Reserving
  // for the densest text possible instead (a statement per eight bytes)
  // would make blocks many times too large, large enough for the allocator
  // to map them afresh, and fault their pages in, on every call. Returns
  // the number of statements reserved for, or 0 at any other count.
  static constexpr std::size_t kManyStatements = 4096;
  std::size_t reserve_at_density(std::size_t read, std::size_t total) {
    return stmts_.size() == kManyStatements ? reserve_statements(read, total) : 0;
  }
  // The same for names, once `kManyStatements` names came: a text of one
  // statement with a million names grows its array once, not twenty times.
  // Every statement has a name, so the names' reservation never comes later
  // than the statements'.
  void reserve_names_at_density(std::size_t read, std::size_t total) {
    if (aliases_.size() == kManyStatements) reserve_names_for(read, total);
  }
  // Keeps a run of one name written again and again in a statement once,
  // with the number of repeats (`repeats`): for the graph builder, which
  // handles the repeats in the same order but need not hold them, so
  // `from m import (a, a, ...)` with millions of names costs one record.
  // Only names (not asnames) are compared; the first's asname is kept.
  // Called before the first name.
  void count_repeats() noexcept { counting_ = true; }
  // How many times the statement wrote `alias` (one of this list's) again
  // right after it; always 0 unless the list counts repeats.
  std::size_t repeats(const Alias& alias) const noexcept {
    return counting_ ? repeats_[static_cast<std::size_t>(&alias - aliases_.data())] : 0;
  }

  // Points every statement at its names. After this the list only changes
  // through the two calls below.
  void finish();

  // After finish(): gives `alias` (one of this list's) or the module of
  // statement `i` (an ImportFrom) new texts, kept in the list.
  void replace_name(const Alias& alias, std::string_view name, std::string_view asname);
  void replace_module(std::size_t i, std::string_view module);

 private:
  struct Block {
    std::unique_ptr<char[]> bytes;
    std::size_t used = 0;
    std::size_t size = 0;
  };
  // A copy of `text` that lives as long as the list.
  std::string_view keep(std::string_view text);
  // With repeats counted: whether `name` repeats the last pending name,
  // then counted.
  bool repeated(std::string_view name);
  void end_statement();
  void compact();
  std::size_t reserve_statements(std::size_t read, std::size_t total);
  void reserve_names_for(std::size_t read, std::size_t total);

  std::vector<ImportStmt> stmts_;
  std::vector<Alias> aliases_;
  std::vector<std::size_t> first_;  // while building: each statement's first alias
  std::size_t pending_ = 0;         // first alias of the statement being built
  std::vector<Block> blocks_;
  bool counting_ = false;
  std::vector<std::size_t> repeats_;  // with repeats counted: each name's
};

}  // namespace tarnwick
