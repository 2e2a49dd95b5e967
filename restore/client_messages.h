// The lines of the SQL clients' output that the verdict on a restore looks for, in any language.
#pragma once

#include <string_view>

namespace qelrestore {

// The first two numbers of a message header: the message's number and its severity.
struct MessageHeader {
  long message = 0;
  long severity = 0;
};

// Reads a message header, "WORD N, WORD L, WORD S" with words of any language, the fields apart
// by ", ", "、" or "，", ASCII or full-width digits, blanks before it; false when `line` is none.
bool ParseMessageHeader(std::wstring_view line, MessageHeader& header);

// True when `line` is a message header of severity 11 or more, or the client's "HResult 0x..."
// header of an error of its network layer.
bool IsErrorHeader(std::wstring_view line);

// True when `line` is one the clients print themselves when they cannot connect, log in or take
// their options: "Sqlcmd: ..." (not a warning), "[DBNETLIB]...", "[Microsoft][ODBC ...]...",
// "usage: osql ...".
bool IsClientError(std::wstring_view line);

// True when `line` has the shape of the server's message of a processed restore in any language:
// it begins "RESTORE DATABASE" and carries, in this order, the pages and the seconds (either way
// round), then in parentheses the rate with a decimal part and a unit followed by "/".
bool IsRestoreProcessedLine(std::wstring_view line);

// True when `line` begins "RESTORE DATABASE" as the server's messages do, is no echo of the
// statement (which names the database in brackets and the backup file as N'...') and carries a
// number with a decimal part: the text under the numbered header of a processed restore,
// whatever its language makes of the rest.
bool IsRestoreProcessedText(std::wstring_view line);

// True when the line holds nothing but blanks.
bool IsBlankLine(std::wstring_view line);

}  // namespace qelrestore
