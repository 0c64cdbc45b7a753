// The exact import scanner: every import statement Python's own parser sees
// in a source text, found in one forward pass over the bytes.
//
// It follows the tokenizer's lexical rules (string prefixes, escapes, every
// quote form, f-strings with 3.12 nesting, comments, backslash and bracket
// continuation, tabs, form feeds, BOM, CRLF and CR line ends) and the
// statement structure that decides where a statement can begin: the start of
// a logical line, after `;`, and after the `:` of a compound statement's
// header. Indentation gives the enclosing blocks, from which each record's
// context flags come.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "common/import_stmt.hpp"

namespace tarnwick {

// The import statements of `source` (UTF-8) in text order, each with its line
// and context (Site). `from . import x` has an empty module; `from m import *`
// has the single name "*". Names are the bytes as written with whitespace and
// continuations between their parts removed; context::kNonAscii marks records
// whose names need the NFKC normalisation the parser applies to identifiers.
//
// A text Python would reject still yields the statements that are well formed;
// the pass is linear in the size of the text whatever the input.
ImportList scan_imports(std::string_view source);

// The distance the scanner's position travels over `source`, back and forth:
// the measure of its work that the checks of linear time hold against the
// input's size, at most `kScanStepsPerByte` per byte.
std::size_t scan_steps(std::string_view source);
inline constexpr std::size_t kScanStepsPerByte = 4;

}  // namespace tarnwick
