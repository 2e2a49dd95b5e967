// What the SQL client wrote to its output file, as far as the verdict on the restore needs it.
#pragma once

#include <string>
#include <string_view>

#include "host/input_files.h"

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
// Throws the host's error when the file cannot be opened or read. `toCurrentLength`: read no
// further than the length the file has when it is opened, for a client that may still be writing.
ClientOutput ReadClientOutput(InputFiles& files, const std::wstring& path,
                              bool toCurrentLength = false);

}  // namespace qelrestore
