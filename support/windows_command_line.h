// Splitting a command line into a program and its arguments by the rules Windows programs apply to
// their own command line, so that the SQL client's line, built and quoted for Windows, reaches a
// POSIX program as the same pieces.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qelrestore {

// Piece 0 is the program: when the line starts with a double quote it runs to the next double
// quote (or the end), taken as it stands; otherwise it runs to the first blank (space or tab).
// The arguments that follow are separated by blanks outside double quotes; a double quote opens or
// closes a quoted stretch; 2n backslashes before a double quote give n backslashes and the quote
// acts as a delimiter, 2n+1 give n backslashes and a literal quote; other backslashes are kept as
// they stand; inside a quoted stretch "" gives one literal quote and closes the stretch. An empty
// line gives no pieces; a line that starts with a blank gives an empty program name. Never throws
// except on memory exhaustion.
std::vector<std::wstring> SplitWindowsCommandLine(std::wstring_view commandLine);

}  // namespace qelrestore
