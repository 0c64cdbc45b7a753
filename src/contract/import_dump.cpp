#include "contract/import_dump.hpp"

#include <cstddef>
#include <type_traits>
#include <variant>

#include "common/platform_fs.hpp"
#include "common/str_cat.hpp"

namespace tarnwick {

namespace {

constexpr std::string_view kIndent = "  ";

void append_statement(std::string& out, const ImportStmt& stmt) {
  std::visit(
      [&out](const auto& s) {
        using T = std::decay_t<decltype(s)>;
        if constexpr (std::is_same_v<T, ImportFrom>) {
          out += "ImportFrom: {\n";
          str_append(out, "  level: ", s.level, '\n', "  module: ", s.module, '\n');
        } else {
          out += "Import: {\n";
        }
        dump_alias(out, s.names);
        out += "}\n";
      },
      stmt);
}

}  // namespace

void dump_alias(std::string& out, Names names) {
  str_append(out, kIndent, "{\n");
  for (const Alias& alias : names) {
    str_append(out, kIndent, "  name: ", alias.name, '\n');
    if (!alias.asname.empty()) str_append(out, kIndent, "  asname: ", alias.asname, '\n');
  }
  str_append(out, kIndent, "}\n");
}

std::string format_imports(const ImportList& stmts) {
  std::string out;
  for (const ImportStmt& stmt : stmts) append_statement(out, stmt);
  return out;
}

std::string format_import(const ImportStmt& stmt) {
  std::string out;
  append_statement(out, stmt);
  return out;
}

void dump_imports(const ImportList& stmts) {
  if (stmts.empty()) return;
  const std::string text = format_imports(stmts);
  fs::write_stdout(text);
}

}  // namespace tarnwick
