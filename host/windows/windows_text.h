// Text at the Win32 boundary. The logic's text is UTF-16 and the system calls take it as it is; the
// log file and the text files read take the system's ANSI code page, and standard error takes
// UTF-8 when it is not a console.
#pragma once

#include <string>
#include <string_view>

namespace qelrestore::windows {

// UTF-16 to the ANSI code page, for the run log. A character the code page lacks is written as
// \u{NNNN}, never as a look-alike or the page's '?', so the log cannot name another file. NULs
// inside the text are kept.
std::string ToAnsi(std::wstring_view text);

// The ANSI code page to UTF-16. Every byte yields a character: bytes the code page leaves
// undefined come back as the code page's replacement, never dropped. NULs inside are kept.
std::wstring FromAnsi(std::string_view bytes);

// The OEM code page (the console's, in which console programs write their output files) to
// UTF-16, byte for byte as FromAnsi does.
std::wstring FromOem(std::string_view bytes);

// UTF-16 to UTF-8 (unpaired surrogates become U+FFFD).
std::string ToUtf8(std::wstring_view text);

// The part of a Windows command line after the program name: a name that starts with a double
// quote runs to the closing quote, any other name to the first blank or tab; the blanks and tabs
// after the name are skipped too. The rest is returned as it stands, quotes included.
std::wstring_view ArgumentsOf(std::wstring_view commandLine);

// `text` with every ": " turned into ":", so that a locale's date-time form cannot be mistaken for
// the separator of a log line.
std::wstring WithoutColonBlank(std::wstring text);

}  // namespace qelrestore::windows
