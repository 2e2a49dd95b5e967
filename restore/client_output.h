// What the SQL client wrote to its output file, as far as the verdict on the restore needs it.
#pragma once

#include <string>

#include "host/host.h"

namespace qelrestore {

struct ClientOutput {
  bool empty = true;
  // The first error message: its header ("Msg 3201, Level 16, State 2, ..."), a blank and the
  // next non-empty line; empty when the output holds none.
  std::wstring error;
  // The first line that begins "RESTORE DATABASE successfully processed"; empty when none does.
  std::wstring success;
};

// Reads the output file line by line in bounded memory: single-byte text, or UTF-16LE when it
// starts with its byte-order mark. A header counts as an error message when its severity (the
// second number of "WORD N, WORD L, WORD S") is at least 11; the words may be in any language.
// Throws the host's error when the file cannot be opened or read.
ClientOutput ReadClientOutput(InputFiles& files, const std::wstring& path);

// True when `line` begins with an error header of severity 11 or more.
bool IsErrorHeader(std::wstring_view line);

}  // namespace qelrestore
