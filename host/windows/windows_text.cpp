#include "host/windows/windows_text.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "host/windows/windows_api.h"
#include "support/text.h"

namespace qelrestore::windows {

namespace {

// The conversion calls count in int; longer texts go through in pieces of this many units. A
// piece boundary could split a double-byte character of an East Asian code page; texts of a
// gigabyte do not occur in this program, so that weakness is accepted.
constexpr size_t kPiece = size_t{1} << 30;

// `text` in `codePage`. With `lacking`, a character the page lacks is never turned into a
// look-alike, and `lacking` tells whether there was one; nothing when the page takes no such check.
std::optional<std::string> FromWide(UINT codePage, std::wstring_view text, BOOL* lacking) {
  const DWORD flags = lacking != nullptr ? WC_NO_BEST_FIT_CHARS : 0;
  std::string result;
  while (!text.empty()) {
    size_t take = std::min(text.size(), kPiece);
    // Keep a surrogate pair together across pieces.
    if (take < text.size() && text[take - 1] >= 0xD800 && text[take - 1] <= 0xDBFF) --take;
    const int units = static_cast<int>(take);
    BOOL pieceLacking = FALSE;
    BOOL* used = lacking != nullptr ? &pieceLacking : nullptr;
    const int needed =
        ::WideCharToMultiByte(codePage, flags, text.data(), units, nullptr, 0, nullptr, used);
    if (needed <= 0 && lacking != nullptr) return std::nullopt;
    if (needed > 0) {
      const size_t at = result.size();
      result.resize(at + static_cast<size_t>(needed));
      ::WideCharToMultiByte(codePage, flags, text.data(), units, result.data() + at, needed,
                            nullptr, used);
      if (pieceLacking) *lacking = TRUE;
    }
    text.remove_prefix(take);
  }
  return result;
}

std::wstring FromCodePage(UINT codePage, std::string_view bytes) {
  std::wstring result;
  while (!bytes.empty()) {
    const size_t take = std::min(bytes.size(), kPiece);
    const int units = static_cast<int>(take);
    // No MB_ERR_INVALID_CHARS: an undefined byte must come back as a character, not fail the call.
    const int needed = ::MultiByteToWideChar(codePage, 0, bytes.data(), units, nullptr, 0);
    if (needed > 0) {
      const size_t at = result.size();
      result.resize(at + static_cast<size_t>(needed));
      ::MultiByteToWideChar(codePage, 0, bytes.data(), units, result.data() + at, needed);
    } else {
      // The code page refused the bytes altogether: keep each one as the character of its value.
      for (size_t i = 0; i < take; ++i)
        result += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]));
    }
    bytes.remove_prefix(take);
  }
  return result;
}

}  // namespace

std::string ToAnsi(std::wstring_view text) {
  BOOL lacking = FALSE;
  std::optional<std::string> whole = FromWide(CP_ACP, text, &lacking);
  // UTF-8 as the system's page takes no check, and holds every character anyway.
  if (!whole) return *FromWide(CP_ACP, text, nullptr);
  if (!lacking) return *whole;
  // Character by character, so that only those the page lacks are escaped (a '?' of the text is
  // the page's own); the escape is ASCII, which every ANSI page holds.
  std::string result;
  for (size_t i = 0; i < text.size();) {
    const auto first = static_cast<uint32_t>(text[i]);
    const bool pair = first >= 0xD800 && first <= 0xDBFF && i + 1 < text.size() &&
                      text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
    const size_t units = pair ? 2 : 1;
    BOOL missing = FALSE;
    const std::optional<std::string> one = FromWide(CP_ACP, text.substr(i, units), &missing);
    if (one && !missing) {
      result += *one;
    } else {
      std::wstring escape;
      AppendCodePointEscape(
          escape, pair ? 0x10000 + ((first - 0xD800) << 10) + (text[i + 1] - 0xDC00u) : first);
      for (const wchar_t c : escape) result += static_cast<char>(c);
    }
    i += units;
  }
  return result;
}

std::string ToUtf8(std::wstring_view text) {
  return *FromWide(CP_UTF8, text, nullptr);
}

std::wstring FromAnsi(std::string_view bytes) {
  return FromCodePage(CP_ACP, bytes);
}

std::wstring FromOem(std::string_view bytes) {
  return FromCodePage(::GetOEMCP(), bytes);
}

std::wstring_view ArgumentsOf(std::wstring_view commandLine) {
  size_t at = 0;
  if (!commandLine.empty() && commandLine[0] == L'"') {
    const size_t close = commandLine.find(L'"', 1);
    at = close == std::wstring_view::npos ? commandLine.size() : close + 1;
  } else {
    at = commandLine.find_first_of(L" \t");
    if (at == std::wstring_view::npos) at = commandLine.size();
  }
  while (at < commandLine.size() && (commandLine[at] == L' ' || commandLine[at] == L'\t')) ++at;
  return commandLine.substr(at);
}

std::wstring WithoutColonBlank(std::wstring text) {
  size_t at = 0;
  while ((at = text.find(L": ", at)) != std::wstring::npos) text.erase(at + 1, 1);
  return text;
}

}  // namespace qelrestore::windows
