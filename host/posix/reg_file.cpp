#include "host/posix/reg_file.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>

#include "host/posix/posix_text.h"
#include "support/error.h"
#include "support/text.h"

namespace qelrestore::posix {
namespace {

struct RootName {
  uint32_t handle;
  std::wstring_view longName;
  std::wstring_view shortName;
};

constexpr std::array<RootName, 5> kRoots = {{
    {0x80000000u, L"HKEY_CLASSES_ROOT", L"HKCR"},
    {0x80000001u, L"HKEY_CURRENT_USER", L"HKCU"},
    {0x80000002u, L"HKEY_LOCAL_MACHINE", L"HKLM"},
    {0x80000003u, L"HKEY_USERS", L"HKU"},
    {0x80000005u, L"HKEY_CURRENT_CONFIG", L"HKCC"},
}};

constexpr std::wstring_view kHeader5 = L"Windows Registry Editor Version 5.00";
constexpr std::wstring_view kHeader4 = L"REGEDIT4";

bool IsBlank(wchar_t ch) {
  return ch == L' ' || ch == L'\t';
}

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
        text += static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        at += 2;
        continue;
      }
    }
    const bool surrogate = unit >= 0xD800 && unit <= 0xDFFF;
    text += static_cast<wchar_t>(surrogate ? 0xFFFDu : unit);
  }
  return text;
}

// Physical lines of the file, decoded one at a time so that a big file never exists as wide
// text in full.
class LineReader {
 public:
  explicit LineReader(std::string_view bytes) : bytes_(bytes) {
    if (bytes_.starts_with("\xFF\xFE")) {
      utf16_ = true;
      pos_ = 2;
    } else if (bytes_.starts_with("\xEF\xBB\xBF")) {
      pos_ = 3;
    }
  }

  // The next line without its line end; false at the end of the file.
  bool Next(std::wstring& line) {
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

  size_t number() const { return number_; }

 private:
  std::string_view bytes_;
  size_t pos_ = 0;
  size_t number_ = 0;
  bool utf16_ = false;
};

class Parser {
 public:
  Parser(std::string_view bytes, std::wstring_view fileName) : lines_(bytes), fileName_(fileName) {}

  RegistryStore Run() {
    ReadHeader();
    std::wstring line;
    while (lines_.Next(line)) {
      const std::wstring_view text = Trim(line);
      if (text.empty() || text[0] == L';') continue;
      if (text[0] == L'[') {
        KeyLine(text);
      } else if (text[0] == L'"' || text[0] == L'@') {
        ValueLine(text);
      } else {
        Fail(L"expected a key in brackets or a value");
      }
    }
    return std::move(store_);
  }

 private:
  [[noreturn]] void Fail(std::wstring_view reason) const {
    std::wstring description = L"Malformed registry file ";
    description += fileName_;
    description += L" line ";
    description += std::to_wstring(std::max<size_t>(lines_.number(), 1));
    description += L": ";
    description += reason;
    throw Error(code::kPathFileAccess, std::move(description));
  }

  void ReadHeader() {
    std::wstring line;
    while (lines_.Next(line)) {
      const std::wstring_view text = Trim(line);
      if (text.empty()) continue;
      if (text == kHeader5) {
        wideText_ = true;
        return;
      }
      if (text == kHeader4) return;
      Fail(L"not a registry file header");
    }
    Fail(L"no registry file header");
  }

  // "[HKEY_LOCAL_MACHINE\A\B]" makes A\B the key of the values that follow; "[-...]" deletes the
  // key with everything below it.
  void KeyLine(std::wstring_view text) {
    if (text.size() < 2 || text.back() != L']') Fail(L"a key line must end with ']'");
    std::wstring_view path = text.substr(1, text.size() - 2);
    const bool remove = path.starts_with(L'-');
    if (remove) path.remove_prefix(1);
    const std::wstring full = FullKeyPath(path);
    if (remove) {
      store_.DeleteKey(full);
      current_ = nullptr;
    } else {
      current_ = &store_.CreateKey(full);
    }
  }

  // The path with its root spelled by the root's long name.
  std::wstring FullKeyPath(std::wstring_view path) const {
    const size_t slash = path.find(L'\\');
    const std::wstring root = ToLowerAscii(path.substr(0, slash));
    for (const RootName& known : kRoots) {
      if (root == ToLowerAscii(known.longName) || root == ToLowerAscii(known.shortName)) {
        std::wstring full(known.longName);
        if (slash != std::wstring_view::npos) full += path.substr(slash);
        return full;
      }
    }
    Fail(L"unknown root key");
  }

  void ValueLine(std::wstring_view text) {
    if (current_ == nullptr) Fail(L"a value outside any key");
    std::wstring name;
    size_t pos = 1;
    if (text[0] == L'"') {
      pos = 0;
      name = ReadQuoted(text, pos);
    }
    pos = SkipBlanks(text, pos);
    if (pos == text.size() || text[pos] != L'=') Fail(L"expected '=' after the value name");
    const std::wstring_view data = Trim(text.substr(pos + 1));

    std::wstring key = ToLowerAscii(name);
    if (data == L"-") {
      current_->erase(key);
      return;
    }
    StoredValue value;
    value.name = std::move(name);
    if (data.starts_with(L'"')) {
      size_t end = 0;
      const std::wstring content = ReadQuoted(data, end);
      if (end != data.size()) Fail(L"text after the closing quote");
      value.type = REG_SZ;
      value.data = EncodeUtf8(content);
      value.data += '\0';
    } else if (StartsWithFolded(data, L"dword:")) {
      value.type = REG_DWORD;
      value.data = ReadDword(data.substr(6));
    } else if (StartsWithFolded(data, L"hex")) {
      ReadHexValue(data.substr(3), value);
    } else {
      Fail(L"unknown value type");
    }
    current_->insert_or_assign(std::move(key), std::move(value));
  }

  // Text between double quotes starting at `pos`, with the escapes \\ and \"; leaves `pos` after
  // the closing quote. Any other backslash stands for itself.
  std::wstring ReadQuoted(std::wstring_view text, size_t& pos) const {
    std::wstring content;
    ++pos;
    while (pos < text.size()) {
      const wchar_t ch = text[pos++];
      if (ch == L'"') return content;
      if (ch == L'\\' && pos < text.size() && (text[pos] == L'\\' || text[pos] == L'"')) {
        content += text[pos++];
      } else {
        content += ch;
      }
    }
    Fail(L"unterminated quoted text");
  }

  std::string ReadDword(std::wstring_view digits) const {
    if (digits.empty() || digits.size() > 8) Fail(L"a dword needs 1 to 8 hex digits");
    uint32_t number = 0;
    for (const wchar_t ch : digits) {
      const int digit = HexDigit(ch);
      if (digit < 0) Fail(L"a dword needs 1 to 8 hex digits");
      number = (number << 4) | static_cast<uint32_t>(digit);
    }
    std::string bytes(4, '\0');
    for (size_t i = 0; i < 4; ++i) bytes[i] = static_cast<char>((number >> (8 * i)) & 0xFFu);
    return bytes;
  }

  // What follows "hex": ":" (binary) or "(N):" with the type N in hex, then the byte list.
  void ReadHexValue(std::wstring_view rest, StoredValue& value) {
    value.type = REG_BINARY;
    if (rest.starts_with(L'(')) {
      const size_t close = rest.find(L')');
      if (close == std::wstring_view::npos || close < 2 || close > 9) Fail(L"bad hex(type)");
      uint32_t type = 0;
      for (const wchar_t ch : rest.substr(1, close - 1)) {
        const int digit = HexDigit(ch);
        if (digit < 0) Fail(L"bad hex(type)");
        type = (type << 4) | static_cast<uint32_t>(digit);
      }
      value.type = type;
      rest.remove_prefix(close + 1);
    }
    if (!rest.starts_with(L':')) Fail(L"unknown value type");
    value.data = ReadHexList(rest.substr(1));
    // Version 5 files hold text types as UTF-16LE; the narrow query returns them as narrow text.
    if (wideText_ &&
        (value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ)) {
      value.data = EncodeUtf8(DecodeUtf16Le(value.data));
    }
  }

  // Comma-separated hex bytes; a backslash at the end of a line, right after a comma (or after the
  // colon), continues the list on the next line, whose leading blanks are skipped.
  std::string ReadHexList(std::wstring_view list) {
    std::string bytes;
    bool afterComma = true;
    size_t pos = 0;
    for (;;) {
      pos = SkipBlanks(list, pos);
      if (pos == list.size()) return bytes;
      if (list[pos] == L'\\') {
        if (!afterComma || SkipBlanks(list, pos + 1) != list.size()) {
          Fail(L"a backslash may only end a line after a comma");
        }
        if (!lines_.Next(continuation_)) Fail(L"the hex list continues past the end of the file");
        list = continuation_;
        pos = 0;
        continue;
      }
      const int high = HexDigit(list[pos]);
      if (!afterComma) Fail(L"expected a comma between hex bytes");
      if (high < 0) Fail(L"broken hex byte");
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

  LineReader lines_;
  std::wstring_view fileName_;
  RegistryStore store_;
  RegistryStore::ValueMap* current_ = nullptr;
  std::wstring continuation_;
  bool wideText_ = false;
};

// The map key of a path: folded, without trailing backslashes.
std::wstring CanonicalPath(std::wstring_view path) {
  while (path.ends_with(L'\\')) path.remove_suffix(1);
  return ToLowerAscii(path);
}

}  // namespace

std::wstring_view RootKeyName(uint32_t rootKey) {
  for (const RootName& known : kRoots) {
    if (known.handle == rootKey) return known.longName;
  }
  return {};
}

bool RegistryStore::HasKey(std::wstring_view keyPath) const {
  return keys_.find(CanonicalPath(keyPath)) != keys_.end();
}

const StoredValue* RegistryStore::FindValue(std::wstring_view keyPath,
                                            std::wstring_view valueName) const {
  const auto key = keys_.find(CanonicalPath(keyPath));
  if (key == keys_.end()) return nullptr;
  const auto value = key->second.find(ToLowerAscii(valueName));
  return value == key->second.end() ? nullptr : &value->second;
}

RegistryStore::ValueMap& RegistryStore::CreateKey(std::wstring_view keyPath) {
  const std::wstring canonical = CanonicalPath(keyPath);
  const auto [created, inserted] = keys_.try_emplace(canonical);
  if (inserted) {
    // The keys on the way exist too; stop at the first one that already did.
    std::wstring_view parent = canonical;
    for (size_t slash = parent.rfind(L'\\'); slash != std::wstring_view::npos;
         slash = parent.rfind(L'\\')) {
      parent = parent.substr(0, slash);
      if (!keys_.try_emplace(std::wstring(parent)).second) break;
    }
  }
  return created->second;
}

void RegistryStore::DeleteKey(std::wstring_view keyPath) {
  const std::wstring canonical = CanonicalPath(keyPath);
  keys_.erase(canonical);
  // The keys below sort between "path\" and "path]" (']' follows '\').
  keys_.erase(keys_.lower_bound(canonical + L'\\'), keys_.lower_bound(canonical + L']'));
}

RegistryStore ParseRegFile(std::string_view bytes, std::wstring_view fileName) {
  return Parser(bytes, fileName).Run();
}

}  // namespace qelrestore::posix
