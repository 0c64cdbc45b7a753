// Fuzz target for the import statement parser: every valid UTF-8 input must
// parse without crashing or hanging, reading at most a fixed number of
// bytes per input byte; the fast bodies must give the same tree
// as the plain rules, and the streaming extraction the same records as a walk
// over the full tree.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "contract/grammar.hpp"
#include "contract/import_dump.hpp"
#include "contract/parser.hpp"

namespace {

// Strict UTF-8 check (no overlong forms, no surrogates, nothing above
// U+10FFFF): the parser is only ever given text that passed it.
bool valid_utf8(const std::uint8_t* p, std::size_t n) {
  std::size_t i = 0;
  while (i < n) {
    const std::uint8_t c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    std::uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += len;
  }
  return true;
}

// The plain rules rescan on purpose; keep them to inputs where that is cheap.
constexpr std::size_t kReferenceLimit = 4096;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!valid_utf8(data, size)) return -1;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const auto records = tarnwick::parse(text);
  if (tarnwick::parse_steps(text) >
      tarnwick::kParseStepsPerByte * size + tarnwick::kParseStepsSlack) {
    std::abort();
  }
  const auto fast = tarnwick::parse_python(text);
  if (!fast.ok()) std::abort();
  if (tarnwick::extract_imports(fast.tree()) != records) std::abort();
  (void)tarnwick::format_imports(records);

  if (size <= kReferenceLimit) {
    const auto slow = tarnwick::parse_python(text, tarnwick::peg::Engine::reference);
    if (!slow.ok()) std::abort();
    const auto& a = fast.tree().nodes();
    const auto& b = slow.tree().nodes();
    if (a.size() != b.size()) std::abort();
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (a[i].rule != b[i].rule || a[i].start != b[i].start || a[i].end != b[i].end ||
          a[i].next != b[i].next) {
        std::abort();
      }
    }
  }
  return 0;
}
