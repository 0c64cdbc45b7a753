// Readable gtest printing of parser values, instead of gtest's byte dumps
// (which also read the padding of these structs).
#pragma once

#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "core/import_dump.hpp"
#include "core/import_stmt.hpp"
#include "core/peg.hpp"

namespace tarnwick {

inline void PrintTo(const Import& stmt, std::ostream* os) {
  *os << format_imports({stmt});
}
inline void PrintTo(const ImportFrom& stmt, std::ostream* os) {
  *os << format_imports({stmt});
}

namespace peg {
template <class Pos>
void PrintTo(const BasicNode<Pos>& node, std::ostream* os) {
  *os << "(rule " << node.rule << ' ' << node.start << ' ' << node.end << " next " << node.next
      << ')';
}
}  // namespace peg

namespace testing {
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
