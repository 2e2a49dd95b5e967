#include "registry/reg_file_text.h"

#include <cstdint>

#include "support/byte_text.h"
#include "support/text.h"
#include "support/utf8_text.h"

namespace qelrestore::regfile {
namespace {

bool IsBlank(wchar_t ch) {
  return ch == L' ' || ch == L'\t';
}

bool StartsWithFolded(std::wstring_view text, std::wstring_view foldedPrefix) {
  return text.size() >= foldedPrefix.size() &&
         ToLowerAscii(text.substr(0, foldedPrefix.size())) == foldedPrefix;
}

int HexDigit(wchar_t ch) {
  if (ch >= L'0' && ch <= L'9') return ch - L'0';
  if (ch >= L'a' && ch <= L'f') return ch - L'a' + 10;
  if (ch >= L'A' && ch <= L'F') return ch - L'A' + 10;
  return -1;
}

// UTF-16LE bytes as wide text; an odd last byte is dropped and a lone surrogate becomes U+FFFD, so
// that it cannot pass for one of the escaped raw bytes of the narrow text.
std::wstring DecodeUtf16Le(std::string_view bytes) {
  std::wstring text;
  text.reserve(bytes.size() / 2);
  const auto unitAt = [&bytes](size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(bytes[at]) |
                                 (static_cast<unsigned char>(bytes[at + 1]) << 8));
  };
  for (size_t at = 0; at + 1 < bytes.size(); at += 2) {
    const uint32_t unit = unitAt(at);
    if (unit >= 0xD800 && unit <= 0xDBFF && at + 3 < bytes.size()) {
      const uint32_t low = unitAt(at + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendCodePoint(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), text);
        at += 2;
        continue;
      }
    }
    const bool surrogate = unit >= 0xD800 && unit <= 0xDFFF;
    text += static_cast<wchar_t>(surrogate ? 0xFFFDu : unit);
  }
  return text;
}

// The type a hex(N) value declares.
RegistryType TypeOfNumber(uint32_t number) {
  switch (number) {
    case 1:
      return RegistryType::kString;
    case 2:
      return RegistryType::kExpandString;
    case 3:
      return RegistryType::kBinary;
    case 4:
      return RegistryType::kDword;
    case 7:
      return RegistryType::kMultiString;
    default:
      return RegistryType::kOther;
  }
}

bool IsText(RegistryType type) {
  return type == RegistryType::kString || type == RegistryType::kExpandString ||
         type == RegistryType::kMultiString;
}

std::string ReadDword(std::wstring_view digits) {
  size_t count = 0;
  uint32_t number = 0;
  for (; count < digits.size() && HexDigit(digits[count]) >= 0; ++count) {
    number = (number << 4) | static_cast<uint32_t>(HexDigit(digits[count]));
  }
  if (count == 0 || count > 8 || !RestIsComment(digits, count)) {
    throw BadValue{L"a dword needs 1 to 8 hex digits"};
  }
  std::string bytes(4, '\0');
  for (size_t i = 0; i < 4; ++i) bytes[i] = static_cast<char>((number >> (8 * i)) & 0xFFu);
  return bytes;
}

// Comma-separated hex bytes up to the end of the line or a ';' comment; a backslash at the end
// of a line, right after a comma (or after the colon), continues the list on the next line,
// whose leading blanks are skipped.
std::string ReadHexList(std::wstring_view list, LineReader& lines) {
  std::string bytes;
  std::wstring continuation;
  bool afterComma = true;
  size_t pos = 0;
  for (;;) {
    pos = SkipBlanks(list, pos);
    if (pos == list.size() || list[pos] == L';') return bytes;
    if (list[pos] == L'\\') {
      if (!afterComma || !RestIsComment(list, pos + 1)) {
        throw BadValue{L"a backslash may only end a line after a comma"};
      }
      if (!lines.Next(continuation)) {
        throw BadValue{L"the hex list continues past the end of the file"};
      }
      list = continuation;
      pos = 0;
      continue;
    }
    const int high = HexDigit(list[pos]);
    if (!afterComma) throw BadValue{L"expected a comma between hex bytes"};
    if (high < 0) throw BadValue{L"broken hex byte"};
    auto byte = static_cast<unsigned>(high);
    if (++pos < list.size() && HexDigit(list[pos]) >= 0) {
      byte = byte * 16 + static_cast<unsigned>(HexDigit(list[pos]));
      ++pos;
    }
    bytes += static_cast<char>(byte);
    pos = SkipBlanks(list, pos);
    afterComma = pos < list.size() && list[pos] == L',';
    if (afterComma) ++pos;
  }
}

// What follows "hex": ":" (binary) or "(N):" with the type N in hex, then the byte list.
void ReadHexValue(std::wstring_view rest, bool wideText, LineReader& lines, ValueData& value) {
  value.type = RegistryType::kBinary;
  if (rest.starts_with(L'(')) {
    const size_t close = rest.find(L')');
    if (close == std::wstring_view::npos || close < 2 || close > 9) {
      throw BadValue{L"bad hex(type)"};
    }
    uint32_t number = 0;
    for (const wchar_t ch : rest.substr(1, close - 1)) {
      const int digit = HexDigit(ch);
      if (digit < 0) throw BadValue{L"bad hex(type)"};
      number = (number << 4) | static_cast<uint32_t>(digit);
    }
    value.type = TypeOfNumber(number);
    rest.remove_prefix(close + 1);
  }
  if (!rest.starts_with(L':')) throw BadValue{L"unknown value type"};
  value.data = ReadHexList(rest.substr(1), lines);
  // The narrow query returns text types as narrow text.
  if (wideText && IsText(value.type)) value.data = EncodeUtf8(DecodeUtf16Le(value.data));
}

}  // namespace

size_t SkipBlanks(std::wstring_view text, size_t pos) {
  while (pos < text.size() && IsBlank(text[pos])) ++pos;
  return pos;
}

std::wstring_view Trim(std::wstring_view text) {
  const size_t first = SkipBlanks(text, 0);
  size_t last = text.size();
  while (last > first && IsBlank(text[last - 1])) --last;
  return text.substr(first, last - first);
}

bool RestIsComment(std::wstring_view text, size_t pos) {
  pos = SkipBlanks(text, pos);
  return pos == text.size() || text[pos] == L';';
}

bool ReadQuoted(std::wstring_view text, size_t& pos, std::wstring& content) {
  ++pos;
  while (pos < text.size()) {
    const wchar_t ch = text[pos++];
    if (ch == L'"') return true;
    if (ch == L'\\' && pos < text.size() && (text[pos] == L'\\' || text[pos] == L'"')) {
      content += text[pos++];
    } else {
      content += ch;
    }
  }
  return false;
}

LineReader::LineReader(std::string_view bytes) : bytes_(bytes) {
  if (bytes_.starts_with("\xFF\xFE")) {
    utf16_ = true;
    pos_ = 2;
  } else if (bytes_.starts_with("\xEF\xBB\xBF")) {
    pos_ = 3;
  }
}

bool LineReader::Next(std::wstring& line) {
  if (pos_ >= bytes_.size()) return false;
  ++number_;
  size_t end = bytes_.size();
  size_t next = end;
  if (utf16_) {
    for (size_t at = pos_; at + 1 < bytes_.size(); at += 2) {
      if (bytes_[at] == '\n' && bytes_[at + 1] == '\0') {
        end = at;
        next = at + 2;
        break;
      }
    }
    line = DecodeUtf16Le(bytes_.substr(pos_, end - pos_));
  } else {
    const size_t newline = bytes_.find('\n', pos_);
    if (newline != std::string_view::npos) {
      end = newline;
      next = newline + 1;
    }
    line = DecodeUtf8(bytes_.substr(pos_, end - pos_));
  }
  pos_ = next;
  if (!line.empty() && line.back() == L'\r') line.pop_back();
  return true;
}

ValueData ReadValueData(std::wstring_view data, bool wideText, LineReader& lines) {
  ValueData value;
  if (data.starts_with(L'-')) {
    if (!RestIsComment(data, 1)) throw BadValue{L"text after '-'"};
    value.removes = true;
  } else if (data.starts_with(L'"')) {
    size_t end = 0;
    std::wstring content;
    if (!ReadQuoted(data, end, content)) throw BadValue{L"unterminated quoted text"};
    if (!RestIsComment(data, end)) throw BadValue{L"text after the closing quote"};
    value.type = RegistryType::kString;
    value.data = EncodeUtf8(content);
    value.data += '\0';
  } else if (StartsWithFolded(data, L"dword:")) {
    value.type = RegistryType::kDword;
    value.data = ReadDword(data.substr(6));
  } else if (StartsWithFolded(data, L"hex")) {
    ReadHexValue(data.substr(3), wideText, lines, value);
  } else {
    throw BadValue{L"unknown value type"};
  }
  return value;
}

}  // namespace qelrestore::regfile
