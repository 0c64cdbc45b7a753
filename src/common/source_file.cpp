#include "common/source_file.hpp"

#include <cctype>
#include <cstdint>
#include <cstring>

#include "common/platform_fs.hpp"
#include "common/str_cat.hpp"

namespace tarnwick {

bool is_valid_utf8(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const unsigned char* const end = p + bytes.size();
  while (p < end) {
    // Source text is mostly ASCII: skip it eight bytes at a time.
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, sizeof word);
      if ((word & 0x8080808080808080ULL) != 0) break;
      p += 8;
    }
    if (p == end) break;
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    std::size_t len = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;  // no overlong forms
      if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;  // no overlong forms
      if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) < len) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (std::size_t i = 2; i < len; ++i) {
      if (p[i] < 0x80 || p[i] > 0xBF) return false;
    }
    p += len;
  }
  return true;
}

ReadResult read_source_file(const std::string& path) {
  std::string text;
  bool opened = false;
  if (const int err = fs::read_file(path, text, &opened); err != 0) {
    if (!opened) return {ReadResult::Status::kCannotOpen, fs::os_error_text(err)};
    return {ReadResult::Status::kReadFailed,
            str_cat("Failed to read file '", path, "': ", fs::os_error_text(err))};
  }
  if (!is_valid_utf8(text)) {
    return {ReadResult::Status::kReadFailed,
            str_cat("Failed to read file '", path, "': stream did not contain valid UTF-8")};
  }
  return {ReadResult::Status::kOk, std::move(text)};
}

std::optional<std::string_view> path_extension(std::string_view path) noexcept {
  // The final component, ignoring separators and "." components at the end.
  std::string_view last;
  bool found = false;
  std::size_t end = path.size();
  while (end > 0) {
    const std::size_t slash = path.rfind('/', end - 1);
    const std::size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
    const std::string_view comp = path.substr(begin, end - begin);
    if (!comp.empty() && comp != ".") {
      last = comp;
      found = true;
      break;
    }
    if (slash == std::string_view::npos) break;
    end = slash;
  }
  if (!found || last == "..") return std::nullopt;
  const std::size_t dot = last.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  return last.substr(dot + 1);
}

// ---- source encodings --------------------------------------------------------

namespace {

// The tokenizer's normal form of a codec name: utf-8 and latin-1 under their
// usual spellings become "utf-8" and "iso-8859-1"; anything else is kept.
std::string normal_codec_name(std::string_view name) {
  std::string buf;
  for (std::size_t i = 0; i < name.size() && i < 12; ++i) {
    const char c = name[i];
    buf.push_back(c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  const std::string_view b = buf;
  if (b == "utf-8" || b.starts_with("utf-8-")) return "utf-8";
  if (b == "latin-1" || b == "iso-8859-1" || b == "iso-latin-1" || b.starts_with("latin-1-") ||
      b.starts_with("iso-8859-1-") || b.starts_with("iso-latin-1-")) {
    return "iso-8859-1";
  }
  return std::string(name);
}

enum class LineKind : std::uint8_t { kBlank, kComment, kCode };

// Reads the coding cookie of one line: "coding" followed by ':' or '=',
// blanks, and a name of letters, digits, '-', '_' and '.', inside a comment
// that is all the line holds.
LineKind coding_of_line(std::string_view line, std::string& cookie) {
  std::size_t i = 0;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\f')) ++i;
  if (i == line.size()) return LineKind::kBlank;
  if (line[i] != '#') return LineKind::kCode;
  for (std::size_t at = line.find("coding", i); at != std::string_view::npos;
       at = line.find("coding", at + 1)) {
    std::size_t t = at + 6;
    if (t >= line.size() || (line[t] != ':' && line[t] != '=')) continue;
    do {
      ++t;
    } while (t < line.size() && (line[t] == ' ' || line[t] == '\t'));
    const std::size_t begin = t;
    while (t < line.size() && (std::isalnum(static_cast<unsigned char>(line[t])) ||
                               line[t] == '-' || line[t] == '_' || line[t] == '.')) {
      ++t;
    }
    if (t > begin) {
      cookie = normal_codec_name(line.substr(begin, t - begin));
      break;
    }
  }
  return LineKind::kComment;
}

}  // namespace

SourceEncoding detect_source_encoding(std::string_view bytes) {
  const bool bom = bytes.starts_with("\xEF\xBB\xBF");
  std::string_view rest = bom ? bytes.substr(3) : bytes;
  std::string cookie;
  for (int n = 0; n < 2 && !rest.empty() && cookie.empty(); ++n) {
    const std::size_t eol = rest.find_first_of("\r\n");
    const std::string_view line = rest.substr(0, eol);
    if (coding_of_line(line, cookie) == LineKind::kCode) break;
    if (eol == std::string_view::npos) break;
    rest = rest.substr(
        eol + ((rest[eol] == '\r' && eol + 1 < rest.size() && rest[eol + 1] == '\n') ? 2 : 1));
  }
  SourceEncoding enc;
  if (cookie.empty() || cookie == "utf-8") return enc;
  if (bom) {
    enc.kind = SourceEncoding::Kind::kError;
    enc.name = str_cat("encoding problem: ", cookie, " with BOM");
    return enc;
  }
  enc.kind = SourceEncoding::Kind::kOther;
  enc.name = std::move(cookie);
  return enc;
}

}  // namespace tarnwick
