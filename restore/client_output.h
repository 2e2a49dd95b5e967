// What the SQL client wrote to its output file, as far as the verdict on the restore needs it.
#pragma once

#include <string>
#include <string_view>

#include "host/host.h"

namespace qelrestore {

struct ClientOutput {
  bool empty = true;
  // The first failure the output tells of: an error message's header ("Msg 3201, Level 16,
  // State 2, ..."), a blank and the next non-empty line; or the client's own line of a
  // connection, login or option error. Empty when the output holds none.
  std::wstring error;
  // The server's line of a processed restore, in whatever language it speaks; empty when none.
  std::wstring success;
};

// Reads the output file line by line in bounded memory. A byte-order mark says UTF-16LE or
// UTF-8; without one the text is in the console's code page (InputFiles::DecodeConsoleText).
// Throws the host's error when the file cannot be opened or read.
ClientOutput ReadClientOutput(InputFiles& files, const std::wstring& path);

// True when `line` is an error message's header of severity 11 or more: "WORD N, WORD L, WORD S"
// with words of any language, the fields apart by ", ", "、" or "，", ASCII or full-width digits.
bool IsErrorHeader(std::wstring_view line);

// True when `line` is one the clients print themselves when they cannot connect, log in or take
// their options: "Sqlcmd: ..." (not a warning), "[DBNETLIB]...", "[Microsoft][ODBC ...]...",
// "usage: osql ...". An "HResult 0x..." header counts as an error header.
bool IsClientError(std::wstring_view line);

// True when `line` has the shape of the server's message of a processed restore in any language:
// it begins "RESTORE DATABASE" and carries, in this order, the pages and the seconds (either way
// round), then in parentheses the rate with a decimal part and a unit followed by "/".
bool IsRestoreProcessedLine(std::wstring_view line);

}  // namespace qelrestore
