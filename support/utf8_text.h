// UTF-8 text from files other programs wrote, decoded so that it can go into the run log as it is.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qelrestore {

// Decodes strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF). Each byte that
// is not part of a valid sequence becomes the four characters \xNN (upper-case hex), so that the
// text stays valid wherever it is written and still shows what was there. A character above
// U+FFFF is one wchar_t where wchar_t holds it, else a surrogate pair.
std::wstring DecodeUtf8Escaping(std::string_view bytes);

// Decodes one strict UTF-8 sequence at the start of `bytes` (no overlong forms, no surrogates,
// nothing above U+10FFFF): its length, with `codePoint` set, or 0 when it is not valid.
size_t DecodeUtf8Sequence(std::string_view bytes, uint32_t& codePoint);

// Appends one code point to `text`: one wchar_t where wchar_t holds it, else a surrogate pair.
void AppendCodePoint(uint32_t codePoint, std::wstring& text);

}  // namespace qelrestore
