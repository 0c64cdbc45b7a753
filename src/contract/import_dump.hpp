// The plain-text dump of import statement records, as a verbose builder
// prints it for every source text it parses.
#pragma once

#include <string>

#include "common/import_stmt.hpp"

namespace tarnwick {

// Writes the dump of `stmts` to file descriptor 1 directly (not through any
// stdio or Python-level buffer), in one write when the system allows.
void dump_imports(const ImportList& stmts);

// The text dump_imports writes, and its part for one statement.
std::string format_imports(const ImportList& stmts);
std::string format_import(const ImportStmt& stmt);

// Appends the alias block of one statement ("  {", the name and as-name lines,
// "  }") to `out`.
void dump_alias(std::string& out, Names names);

}  // namespace tarnwick
