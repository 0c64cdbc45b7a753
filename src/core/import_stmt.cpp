#include "core/import_stmt.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace tarnwick {

// The sizes the list's comment promises, on 64-bit targets.
static_assert(sizeof(void*) != 8 || (sizeof(ImportStmt) == 56 && sizeof(Alias) == 32));

std::string_view ImportList::keep(std::string_view text) {
  if (text.empty()) return {};
  if (blocks_.empty() || blocks_.back().size - blocks_.back().used < text.size()) {
    // Blocks double, from 4 KiB, so a list makes a few of them whatever its
    // size, and never move: the views into them stay valid.
    const std::size_t last = blocks_.empty() ? 2048 : blocks_.back().size;
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

void ImportList::finish() {
  drop_pending();  // names of a statement never ended
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
