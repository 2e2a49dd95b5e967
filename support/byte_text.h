// The logic's wide text as UTF-8 bytes, as POSIX file systems and programs take it, and back.
// Bytes that are not valid UTF-8 decode to U+DC80..U+DCFF (one per byte) and encode back to the
// same byte, so a file name that is not UTF-8 survives the round trip through the logic unchanged.
#pragma once

#include <string>
#include <string_view>

namespace qelrestore {

std::string EncodeUtf8(std::wstring_view text);
std::wstring DecodeUtf8(std::string_view bytes);

// A path of the logic (Windows separators) as the operating system takes it: every `\` turned
// into `/`, then encoded.
std::string NativePath(std::wstring_view path);

}  // namespace qelrestore
