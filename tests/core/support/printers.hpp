// Readable gtest printing of parser values, instead of gtest's byte dumps
// (which also read the padding of these structs).
#pragma once

#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "common/import_stmt.hpp"
#include "contract/import_dump.hpp"
#include "contract/peg.hpp"

namespace tarnwick {

inline void PrintTo(const ImportStmt& stmt, std::ostream* os) {
  *os << format_import(stmt);
}

namespace peg {
template <class Pos>
void PrintTo(const BasicNode<Pos>& node, std::ostream* os) {
  *os << "(rule " << node.rule << ' ' << node.start << ' ' << node.end << " next " << node.next
      << ')';
}
}  // namespace peg

namespace testing {
// One record as "LINE[flags] import a.b as c, d" or "LINE[flags] from ..m import x";
// flags: f function, c class, g guarded, t type checking, u non-ASCII.
inline std::string describe(const ImportStmt& stmt) {
  const Site& site = std::visit([](const auto& s) -> const Site& { return s.site; }, stmt);
  std::string out = std::to_string(site.line);
  std::string flags;
  if (site.context & context::kFunction) flags += 'f';
  if (site.context & context::kClass) flags += 'c';
  if (site.context & context::kGuarded) flags += 'g';
  if (site.context & context::kTypeChecking) flags += 't';
  if (site.context & context::kNonAscii) flags += 'u';
  if (!flags.empty()) out += "[" + flags + "]";
  Names names;
  if (const auto* imp = std::get_if<Import>(&stmt)) {
    out += " import ";
    names = imp->names;
  } else {
    const auto& from = std::get<ImportFrom>(stmt);
    out += " from " + std::string(from.level, '.') + std::string(from.module) + " import ";
    names = from.names;
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += ", ";
    out += names[i].name;
    if (!names[i].asname.empty()) out += " as " + std::string(names[i].asname);
  }
  return out;
}

// Names parameterised cases by their place in the table ("case0", ...), so
// test names stay the same from run to run (gtest would print the values,
// pointers included).
struct CaseIndex {
  template <class Param>
  std::string operator()(const ::testing::TestParamInfo<Param>& info) const {
    return "case" + std::to_string(info.index);
  }
};
}  // namespace testing

}  // namespace tarnwick
