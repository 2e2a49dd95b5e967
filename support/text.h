// Text helpers of the restore logic. Texts are counted: a NUL is an ordinary character, and
// positions in the functions that take or return them count from 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qelrestore {

// Every piece of `text` cut at `separator`, empty pieces included; the empty text gives no pieces.
std::vector<std::wstring> Split(std::wstring_view text, wchar_t separator);

// Piece `index` (0-based); error 9 when there is no such piece.
const std::wstring& Piece(const std::vector<std::wstring>& pieces, size_t index);

// The 1-based position of `find` in `text`, searched from position `start`; 0 when absent or when
// `start` lies past the end. Error 5 when `start` is below 1.
int64_t InStr(int64_t start, std::wstring_view text, std::wstring_view find);

// `length` characters of `text` from the 1-based position `start` (fewer at the end of the text,
// none past it). Error 5 when `start` is below 1 or `length` is negative.
std::wstring Mid(std::wstring_view text, int64_t start, int64_t length);

// The text without its leading space characters (U+0020 only).
std::wstring_view TrimLeadingSpaces(std::wstring_view text);

// Every `from` character replaced by `to`.
std::wstring ReplaceChar(std::wstring_view text, wchar_t from, wchar_t to);

// ASCII letters in lower case; every other character unchanged.
std::wstring ToLowerAscii(std::wstring_view text);

// The decimal digits of a number, preceded by a blank when it is zero or positive and by a minus
// sign when it is negative: " 76", "-5".
std::wstring NumberText(int64_t value);

// `digits` upper-case hex digits of `value`, the lowest ones, appended to `out`.
void AppendHex(std::wstring& out, uint32_t value, int digits);

// The form in which the log and the boxes name a character they cannot show as itself:
// \u{NNNN}, the code point in upper-case hex, 4 digits in the first plane and 6 above it.
void AppendCodePointEscape(std::wstring& out, uint32_t codePoint);

// The text before the first NUL character, or the whole text when it holds none.
std::wstring TrimAtNul(std::wstring_view text);

// The path ending in exactly one `\` (only the backslash counts as a separator). Error 6 for a
// path longer than 32,767 characters.
std::wstring NormalizeTrailingSeparator(std::wstring_view path);

}  // namespace qelrestore
