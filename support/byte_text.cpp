#include "support/byte_text.h"

#include <cstdint>

#include "support/utf8_text.h"

namespace qelrestore {
namespace {

// A byte that is not part of valid UTF-8 travels through the logic as one of these characters.
constexpr uint32_t kEscapeBase = 0xDC00;
constexpr uint32_t kEscapeFirst = 0xDC80;
constexpr uint32_t kEscapeLast = 0xDCFF;
constexpr uint32_t kReplacement = 0xFFFD;

void AppendUtf8(uint32_t value, std::string& out) {
  if (value < 0x80) {
    out += static_cast<char>(value);
  } else if (value < 0x800) {
    out += static_cast<char>(0xC0 | (value >> 6));
    out += static_cast<char>(0x80 | (value & 0x3F));
  } else if (value < 0x10000) {
    out += static_cast<char>(0xE0 | (value >> 12));
    out += static_cast<char>(0x80 | ((value >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (value & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (value >> 18));
    out += static_cast<char>(0x80 | ((value >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((value >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (value & 0x3F));
  }
}

}  // namespace

std::string EncodeUtf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size(); ++at) {
    auto value = static_cast<uint32_t>(text[at]);
    // Where wchar_t is 16 bits wide, a character above U+FFFF arrives as a surrogate pair; the
    // decoder makes no other high surrogate, so a pair is never taken for an escaped byte.
    if (sizeof(wchar_t) == 2 && value >= 0xD800 && value <= 0xDBFF && at + 1 < text.size()) {
      const auto low = static_cast<uint32_t>(text[at + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(0x10000 + ((value - 0xD800) << 10) + (low - 0xDC00), out);
        ++at;
        continue;
      }
    }
    if (value >= kEscapeFirst && value <= kEscapeLast) {
      out += static_cast<char>(value - kEscapeBase);
    } else if ((value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) {
      // A lone surrogate or an out-of-range value has no UTF-8 form; it cannot have come from a
      // file name either, so it is written as the replacement character.
      AppendUtf8(kReplacement, out);
    } else {
      AppendUtf8(value, out);
    }
  }
  return out;
}

std::wstring DecodeUtf8(std::string_view bytes) {
  std::wstring out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    uint32_t codePoint = 0;
    size_t length = DecodeUtf8Sequence(bytes, codePoint);
    if (length == 0) {
      // Only the first byte of a broken sequence is escaped: decoding resumes at the next byte,
      // so a valid character right after a stray byte is still read as a character.
      codePoint = kEscapeBase + static_cast<unsigned char>(bytes[0]);
      length = 1;
    }
    AppendCodePoint(codePoint, out);
    bytes.remove_prefix(length);
  }
  return out;
}

std::string NativePath(std::wstring_view path) {
  std::string native = EncodeUtf8(path);
  for (char& ch : native) {
    if (ch == '\\') ch = '/';
  }
  return native;
}

}  // namespace qelrestore
