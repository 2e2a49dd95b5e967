// UTF-8 text from files other programs wrote, decoded so that it can go into the run log as it is.
#pragma once

#include <string>
#include <string_view>

namespace qelrestore {

// Decodes strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF). Each byte that
// is not part of a valid sequence becomes the four characters \xNN (upper-case hex), so that the
// text stays valid wherever it is written and still shows what was there. A character above
// U+FFFF is one wchar_t where wchar_t holds it, else a surrogate pair.
std::wstring DecodeUtf8Escaping(std::string_view bytes);

}  // namespace qelrestore
