// The text level of a .reg file: its physical lines, decoded one at a time, and the data part of
// one value line ("text", dword:..., hex(N):...). Used by the .reg reader only.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "host/registry.h"

namespace qelrestore::regfile {

size_t SkipBlanks(std::wstring_view text, size_t pos);
std::wstring_view Trim(std::wstring_view text);
// True when only blanks, or blanks and a ';' comment, follow `pos`.
bool RestIsComment(std::wstring_view text, size_t pos);

// Text between double quotes starting at `pos`, with the escapes \\ and \" (any other backslash
// stands for itself), appended to `content`; leaves `pos` after the closing quote. False when the
// quote is not closed on the line.
bool ReadQuoted(std::wstring_view text, size_t& pos, std::wstring& content);

// Physical lines of the file, decoded one at a time so that a big file never exists as wide
// text in full: UTF-16LE after its byte-order mark, UTF-8 otherwise (a byte-order mark skipped).
class LineReader {
 public:
  explicit LineReader(std::string_view bytes);
  // The next line without its line end; false at the end of the file.
  bool Next(std::wstring& line);
  // The 1-based number of the last line read (0 before the first).
  size_t number() const { return number_; }

 private:
  std::string_view bytes_;
  size_t pos_ = 0;
  size_t number_ = 0;
  bool utf16_ = false;
};

// Why a value's data could not be read; `reason` is static text.
struct BadValue {
  std::wstring_view reason;
};

// What the data part of a value line says.
struct ValueData {
  bool removes = false;  // "name"=-
  RegistryType type = RegistryType::kOther;
  std::string data;  // the narrow query's bytes
};

// Reads the text after "name=". A hex list may continue on the next lines, taken from `lines`.
// Version 5 files (`wideText`) hold text types in hex as UTF-16LE; they are stored as UTF-8.
// Throws BadValue; a ';' comment may follow the data.
ValueData ReadValueData(std::wstring_view data, bool wideText, LineReader& lines);

}  // namespace qelrestore::regfile
