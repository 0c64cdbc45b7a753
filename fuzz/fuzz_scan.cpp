// Fuzz target for the exact import scanner: any bytes scan without crashing,
// the scanner travels a fixed distance per byte, records come in line order
// with well-formed names, and translating line ends (CRLF and CR to LF, as
// Python does before tokenizing) changes nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <type_traits>

#include "exact/import_scan.hpp"

namespace {

void require(bool ok) {
  if (!ok) std::abort();
}

bool well_formed(std::string_view name, bool dotted) {
  if (name.empty() || name.front() == '.' || name.back() == '.') return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    const bool ident = c == '_' || c >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       (c >= '0' && c <= '9');
    if (!ident && !(dotted && c == '.' && name[i - 1] != '.')) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto records = tarnwick::scan_imports(text);
  require(tarnwick::scan_steps(text) <= tarnwick::kScanStepsPerByte * size);

  std::uint32_t lines = 1;
  for (std::size_t i = 0; i < size; ++i) {
    if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == size || text[i + 1] != '\n'))) ++lines;
  }
  std::uint32_t last = 1;
  for (const auto& record : records) {
    std::visit(
        [&](const auto& r) {
          require(r.site.line >= last && r.site.line <= lines);
          last = r.site.line;
          constexpr bool kPlain = std::is_same_v<std::decay_t<decltype(r)>, tarnwick::Import>;
          require(!r.names.empty());
          for (const auto& alias : r.names) {
            require((!kPlain && alias.name == "*") || well_formed(alias.name, kPlain));
            if (!alias.asname.empty()) require(well_formed(alias.asname, false));
          }
          if constexpr (!kPlain) require(r.module.empty() || well_formed(r.module, true));
        },
        record);
  }

  std::string lf;
  lf.reserve(size);
  for (std::size_t i = 0; i < size; ++i) {
    if (text[i] == '\r') {
      lf.push_back('\n');
      if (i + 1 < size && text[i + 1] == '\n') ++i;
    } else {
      lf.push_back(text[i]);
    }
  }
  require(tarnwick::scan_imports(lf) == records);
  return 0;
}
