// Import statement extraction: matches a source text against the import
// grammar and turns every `import` and `import_from` node into a record.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/import_stmt.hpp"
#include "contract/grammar.hpp"

namespace tarnwick {

// The import statements of `source` (UTF-8), in the order in which they start.
// Throws InternalError when the tree is not shaped as the grammar guarantees;
// no partial result is returned.
ImportList parse(std::string_view source);

// The same records, with names a statement writes again kept once and
// counted (ImportList::count_repeats): for the graph builder.
ImportList parse_counting_repeats(std::string_view source);

// The bytes the matchers read while `parse` runs over `source`: the measure
// of its work that the checks of linear time hold against the input's size.
std::size_t parse_steps(std::string_view source);

// The bound those checks hold: at most this many steps per input byte, plus
// `kParseStepsSlack` for the fixed cost of a parse. Each construct start may
// try every string prefix, some seventy bytes of matching for a construct as
// short as `b''`; a rescan from every line costs hundreds per byte.
inline constexpr std::size_t kParseStepsPerByte = 32;
inline constexpr std::size_t kParseStepsSlack = 256;

// The records of every import node of `tree`, visited in document order.
ImportList extract_imports(const ParseTree& tree);

}  // namespace tarnwick
