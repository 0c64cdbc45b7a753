// Source files: reading them as text, and what a file name says about them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// The outcome of reading a module's source file.
struct ReadResult {
  enum class Status {
    kOk,          // `text` holds the whole file, valid UTF-8
    kCannotOpen,  // `text` holds the operating system's description of why
    kReadFailed,  // opened, but reading or decoding failed; `text` describes the error
  };
  Status status;
  std::string text;
};

// Reads `path` as UTF-8 text: the ordinary implementation of
// Host::read_source for the tarnwick module, which takes no other encoding.
ReadResult read_source_file(const std::string& path);

// Whether `bytes` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes) noexcept;

// The extension of `path` read as a file path: the part of its final
// component after the last "."; absent when the final component has no ".",
// when its only "." is its first character, or when there is no final file
// name (the path ends in ".." or names a root or the current directory).
std::optional<std::string_view> path_extension(std::string_view path) noexcept;

// How Python decodes a source file: a UTF-8 BOM, else the encoding named by
// a PEP 263 cookie in a comment on the first line, or on the second when the
// first holds no code; UTF-8 when there is none.
struct SourceEncoding {
  enum class Kind : std::uint8_t {
    kUtf8,   // decode as UTF-8 (the BOM, if any, is part of the text)
    kOther,  // decode with the codec `name` (normalised as the tokenizer does)
    kError,  // the file cannot be decoded; `name` says why
  };
  Kind kind = Kind::kUtf8;
  std::string name;
};

SourceEncoding detect_source_encoding(std::string_view bytes);

}  // namespace tarnwick
