#include "support/text.h"

#include "support/error.h"

namespace qelrestore {

std::vector<std::wstring> Split(std::wstring_view text, wchar_t separator) {
  std::vector<std::wstring> pieces;
  if (text.empty()) return pieces;
  size_t begin = 0;
  for (;;) {
    const size_t end = text.find(separator, begin);
    if (end == std::wstring_view::npos) {
      pieces.emplace_back(text.substr(begin));
      return pieces;
    }
    pieces.emplace_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
}

const std::wstring& Piece(const std::vector<std::wstring>& pieces, size_t index) {
  if (index >= pieces.size()) throw Error(code::kSubscriptOutOfRange);
  return pieces[index];
}

int64_t InStr(int64_t start, std::wstring_view text, std::wstring_view find) {
  if (start < 1) throw Error(code::kInvalidCall);
  const auto length = static_cast<int64_t>(text.size());
  if (start > length) return 0;
  const size_t at = text.find(find, static_cast<size_t>(start - 1));
  return at == std::wstring_view::npos ? 0 : static_cast<int64_t>(at) + 1;
}

std::wstring Mid(std::wstring_view text, int64_t start, int64_t length) {
  if (start < 1 || length < 0) throw Error(code::kInvalidCall);
  const auto first = static_cast<size_t>(start - 1);
  if (first >= text.size()) return {};
  return std::wstring(text.substr(first, static_cast<size_t>(length)));
}

std::wstring_view TrimLeadingSpaces(std::wstring_view text) {
  const size_t first = text.find_first_not_of(L' ');
  return first == std::wstring_view::npos ? std::wstring_view() : text.substr(first);
}

std::wstring ReplaceChar(std::wstring_view text, wchar_t from, wchar_t to) {
  std::wstring result(text);
  for (wchar_t& c : result) {
    if (c == from) c = to;
  }
  return result;
}

std::wstring ToLowerAscii(std::wstring_view text) {
  std::wstring result(text);
  for (wchar_t& c : result) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return result;
}

std::wstring NumberText(int64_t value) {
  return (value >= 0 ? L" " : L"") + std::to_wstring(value);
}

void AppendHex(std::wstring& out, uint32_t value, int digits) {
  static constexpr wchar_t kHex[] = L"0123456789ABCDEF";
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += kHex[(value >> shift) & 0xF];
}

void AppendCodePointEscape(std::wstring& out, uint32_t codePoint) {
  out += L"\\u{";
  AppendHex(out, codePoint, codePoint > 0xFFFFFF ? 8 : codePoint > 0xFFFF ? 6 : 4);
  out += L'}';
}

std::wstring TrimAtNul(std::wstring_view text) {
  return std::wstring(text.substr(0, text.find(L'\0')));
}

std::wstring NormalizeTrailingSeparator(std::wstring_view path) {
  // The length is held as a 16-bit count: a longer path is an overflow, whatever it ends with.
  if (path.size() > 32767) throw Error(code::kOverflow);
  if (path.empty() || path.back() != L'\\') return std::wstring(path) + L'\\';
  size_t keep = path.size() - 1;
  while (keep > 0 && path[keep - 1] == L'\\') --keep;
  return std::wstring(path.substr(0, keep)) + L'\\';
}

}  // namespace qelrestore
