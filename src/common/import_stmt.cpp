#include "common/import_stmt.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace tarnwick {

// The sizes the list's comment promises, on 64-bit targets.
static_assert(sizeof(void*) != 8 || (sizeof(ImportStmt) == 56 && sizeof(Alias) == 32));

std::string_view ImportList::keep(std::string_view text) {
  if (text.empty()) return {};
  if (blocks_.empty() || blocks_.back().size - blocks_.back().used < text.size()) {
    // Blocks double, from 512 bytes (the names of a typical module), so a
    // list makes a few of them whatever its size, and never move: the views
    // into them stay valid.
    const std::size_t last = blocks_.empty() ? 256 : blocks_.back().size;
    const std::size_t size = std::max(2 * last, text.size());
    blocks_.push_back(Block{std::make_unique_for_overwrite<char[]>(size), 0, size});
  }
  Block& b = blocks_.back();
  char* at = b.bytes.get() + b.used;
  std::memcpy(at, text.data(), text.size());
  b.used += text.size();
  return {at, text.size()};
}

namespace {

// Room for the items of a `total`-byte text at the density of `count` items
// in its first `read` bytes, and an eighth more.
std::size_t at_density(std::size_t count, std::size_t read, std::size_t total) {
  const std::size_t estimate = count * (total / std::max<std::size_t>(read, 1) + 1);
  return estimate + estimate / 8;
}

}  // namespace

std::size_t ImportList::reserve_statements(std::size_t read, std::size_t total) {
  const std::size_t room = at_density(kManyStatements, read, total);
  stmts_.reserve(room);
  first_.reserve(room);
  return room;
}

void ImportList::reserve_names_for(std::size_t read, std::size_t total) {
  const std::size_t room = at_density(kManyStatements, read, total);
  if (aliases_.capacity() < room) aliases_.reserve(room);
}

void ImportList::add_alias(std::string_view name, std::string_view asname) {
  if (counting_ && repeated(name)) return;
  aliases_.push_back(Alias{name, asname});
}

bool ImportList::repeated(std::string_view name) {
  if (aliases_.size() > pending_ && aliases_.back().name == name) {
    ++repeats_.back();
    return true;
  }
  repeats_.push_back(0);
  return false;
}

void ImportList::drop_pending() noexcept {
  aliases_.resize(pending_);
  if (counting_) repeats_.resize(pending_);
}

// The pending names become the statement's: copied into the list.
void ImportList::end_statement() {
  for (std::size_t i = pending_; i < aliases_.size(); ++i) {
    aliases_[i].name = keep(aliases_[i].name);
    aliases_[i].asname = keep(aliases_[i].asname);
  }
  first_.push_back(pending_);
  pending_ = aliases_.size();
}

void ImportList::add_import(Site site) {
  end_statement();
  stmts_.emplace_back(Import{{}, site});
}

void ImportList::add_import_from(std::string_view module, std::uint64_t level, Site site) {
  end_statement();
  stmts_.emplace_back(ImportFrom{keep(module), {}, level, site});
}

Site& ImportList::site(std::size_t i) noexcept {
  return std::visit([](auto& s) -> Site& { return s.site; }, stmts_[i]);
}

// A small list's names move into one block of their size when its blocks
// are mostly empty: a program keeps the lists of thousands of modules.
// Large lists keep their blocks, which are at most half empty.
void ImportList::compact() {
  constexpr std::size_t kCompactUpTo = 64 * 1024;
  std::size_t used = 0, size = 0;
  for (const Block& b : blocks_) used += b.used, size += b.size;
  if (size > kCompactUpTo || size - used < 256) return;
  Block one{std::make_unique_for_overwrite<char[]>(std::max<std::size_t>(used, 1)), used, used};
  std::vector<std::size_t> offsets;
  std::size_t at = 0;
  for (const Block& b : blocks_) {
    offsets.push_back(at);
    if (b.used > 0) std::memcpy(one.bytes.get() + at, b.bytes.get(), b.used);
    at += b.used;
  }
  const auto moved = [&](std::string_view& view) {
    if (view.empty()) return;
    for (std::size_t k = 0; k < blocks_.size(); ++k) {
      const char* base = blocks_[k].bytes.get();
      if (view.data() >= base && view.data() < base + blocks_[k].used) {
        view = {one.bytes.get() + offsets[k] + (view.data() - base), view.size()};
        return;
      }
    }
  };
  for (Alias& a : aliases_) {
    moved(a.name);
    moved(a.asname);
  }
  for (ImportStmt& stmt : stmts_) {
    if (auto* from = std::get_if<ImportFrom>(&stmt)) moved(from->module);
  }
  blocks_.clear();
  blocks_.push_back(std::move(one));
}

void ImportList::finish() {
  drop_pending();  // names of a statement never ended
  compact();
  if (aliases_.capacity() > aliases_.size() + aliases_.size() / 4 + 4) aliases_.shrink_to_fit();
  if (stmts_.capacity() > stmts_.size() + stmts_.size() / 4 + 4) stmts_.shrink_to_fit();
  for (std::size_t i = 0; i < stmts_.size(); ++i) {
    const std::size_t end = i + 1 < stmts_.size() ? first_[i + 1] : pending_;
    const Names names(aliases_.data() + first_[i], end - first_[i]);
    std::visit([&](auto& s) { s.names = names; }, stmts_[i]);
  }
  first_ = {};
}

void ImportList::replace_name(const Alias& alias, std::string_view name, std::string_view asname) {
  Alias& a = aliases_[static_cast<std::size_t>(&alias - aliases_.data())];
  a.name = keep(name);
  a.asname = keep(asname);
}

void ImportList::replace_module(std::size_t i, std::string_view module) {
  std::get<ImportFrom>(stmts_[i]).module = keep(module);
}

namespace {

// Does `stmt` name the same things (sites included) as `other`?
bool same_statement(const ImportStmt& stmt, const ImportStmt& other) noexcept {
  if (stmt.index() != other.index()) return false;
  return std::visit(
      [&](const auto& s) {
        const auto& o = std::get<std::decay_t<decltype(s)>>(other);
        if constexpr (std::is_same_v<std::decay_t<decltype(s)>, ImportFrom>) {
          if (s.module != o.module || s.level != o.level) return false;
        }
        return s.site == o.site && std::ranges::equal(s.names, o.names);
      },
      stmt);
}

}  // namespace

bool ImportList::operator==(const ImportList& other) const noexcept {
  return std::ranges::equal(stmts_, other.stmts_, same_statement);
}

}  // namespace tarnwick
