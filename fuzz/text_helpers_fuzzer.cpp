// The text helpers that meet untrusted text. TrimAtNul gives the text before its first NUL; the
// trailing separator of a path ends as exactly one backslash after the path's own prefix, or the
// path is too long (error 6). The first input byte may stretch the text, by repeating it, to either
// side of the length limit; Split is checked on the way as every reader cuts its items with it.
#include <string>
#include <vector>

#include "fuzz/contract.h"
#include "support/error.h"
#include "support/text.h"

namespace {

using qelrestore::fuzz::Require;

void CheckTrimAtNul(const std::wstring& text) {
  const std::wstring trimmed = qelrestore::TrimAtNul(text);
  const size_t nul = text.find(L'\0');
  Require(trimmed.find(L'\0') == std::wstring::npos, "a trimmed text holds no NUL");
  Require(text.starts_with(trimmed), "a trimmed text is a prefix");
  Require(trimmed.size() == (nul == std::wstring::npos ? text.size() : nul),
          "it ends at the first NUL");
}

void CheckNormalizeTrailingSeparator(const std::wstring& path) {
  std::wstring normalized;
  try {
    normalized = qelrestore::NormalizeTrailingSeparator(path);
  } catch (const qelrestore::Error& error) {
    Require(error.code() == qelrestore::code::kOverflow && path.size() > 32767,
            "only a path past 32,767 characters fails, with error 6");
    return;
  }
  Require(path.size() <= 32767, "a path past 32,767 characters fails");
  Require(normalized.ends_with(L'\\') && !normalized.ends_with(L"\\\\"),
          "the result ends in exactly one backslash");
  const size_t kept = normalized.size() - 1;
  Require(path.starts_with(std::wstring_view(normalized).substr(0, kept)), "it keeps the prefix");
  Require(path.find_first_not_of(L'\\', kept) == std::wstring::npos,
          "only trailing backslashes are dropped");
}

void CheckSplit(const std::wstring& text, wchar_t separator) {
  const std::vector<std::wstring> pieces = qelrestore::Split(text, separator);
  std::wstring joined;
  for (size_t i = 0; i < pieces.size(); ++i) {
    Require(pieces[i].find(separator) == std::wstring::npos, "no piece holds the separator");
    if (i > 0) joined += separator;
    joined += pieces[i];
  }
  Require(joined == text, "the pieces joined give the text back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::wstring piece = qelrestore::fuzz::WideInput(data + 1, size - 1);
  // Mostly the text as it is; from 0xC0 on, the text repeated to a length around the limit
  // (32,764 to 32,771 characters), so that both sides of it are met.
  std::wstring text = piece;
  if (data[0] >= 0xC0) {
    const size_t length = 32764 + (data[0] & 7u);
    const std::wstring unit = piece.empty() ? std::wstring(L"\\") : piece;
    text.clear();
    text.reserve(length);
    while (text.size() < length) text += unit;
    text.resize(length);
  }

  CheckTrimAtNul(text);
  CheckNormalizeTrailingSeparator(text);
  if (data[0] < 0xC0) {
    CheckSplit(text, L'=');
    CheckSplit(text, L'"');
  }
  return 0;
}
