#include "support/utf8_text.h"

#include <cstdint>

namespace qelrestore {

namespace {

bool IsContinuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

}  // namespace

size_t DecodeUtf8Sequence(std::string_view bytes, uint32_t& codePoint) {
  const auto lead = static_cast<unsigned char>(bytes[0]);
  size_t length = 0;
  uint32_t minimum = 0;
  if (lead < 0x80) {
    codePoint = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    codePoint = lead & 0x1Fu;
    minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    codePoint = lead & 0x0Fu;
    minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    codePoint = lead & 0x07u;
    minimum = 0x10000;
  } else {
    return 0;
  }
  if (bytes.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(bytes[i]);
    if (!IsContinuation(next)) return 0;
    codePoint = (codePoint << 6) | (next & 0x3Fu);
  }
  if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
    return 0;
  return length;
}

std::wstring DecodeUtf8Escaping(std::string_view bytes) {
  static constexpr wchar_t kHex[] = L"0123456789ABCDEF";
  std::wstring text;
  text.reserve(bytes.size());
  while (!bytes.empty()) {
    uint32_t codePoint = 0;
    const size_t length = DecodeUtf8Sequence(bytes, codePoint);
    if (length == 0) {
      // Only the first byte of a broken sequence is escaped: a valid character right after a
      // stray byte is still read as a character.
      const auto byte = static_cast<unsigned char>(bytes[0]);
      text += L"\\x";
      text += kHex[byte >> 4];
      text += kHex[byte & 0xF];
      bytes.remove_prefix(1);
      continue;
    }
    AppendCodePoint(codePoint, text);
    bytes.remove_prefix(length);
  }
  return text;
}

void AppendCodePoint(uint32_t codePoint, std::wstring& text) {
  if (sizeof(wchar_t) == 2 && codePoint > 0xFFFF) {
    codePoint -= 0x10000;
    text += static_cast<wchar_t>(0xD800 + (codePoint >> 10));
    text += static_cast<wchar_t>(0xDC00 + (codePoint & 0x3FF));
  } else {
    text += static_cast<wchar_t>(codePoint);
  }
}

}  // namespace qelrestore
