// Text in the code pages the SQL clients write, made for the tests on either form.
#pragma once

#include <string>
#include <string_view>

namespace qelrestore::test {

// `bytes` converted from one character set to another: "UTF-8", "UTF-16LE", "WCHAR_T" (the form's
// wide text) or "CPnnn" (a code page by number, as iconv names it). Empty when they do not convert.
std::string Convert(std::string_view bytes, const char* from, const char* to);

}  // namespace qelrestore::test
