// The .reg file format (as the registry editor exports and imports it) read into a store of keys
// and values. Pure text processing: it touches no file, so it can be fed any bytes.
#pragma once

#include <string_view>

#include "registry/registry_store.h"

namespace qelrestore {

// Reads a whole .reg file: header "REGEDIT4" or "Windows Registry Editor Version 5.00"; UTF-8 (a
// byte-order mark allowed) or UTF-16LE with its byte-order mark; CR LF or LF. As the registry
// editor does, it skips what it cannot use and reads on: lines starting with ';' or '#', a ';'
// comment outside quotes, stray text, values outside any key, keys under an unknown root or
// without their ']'; a value line it cannot read is stored as malformed (see StoredValue). Throws
// Error 75 (MalformedFileMessage) only when the file has no header; `fileName` only serves the
// messages. Time and memory grow linearly with the file.
RegistryStore ParseRegFile(std::string_view bytes, std::wstring_view fileName);

}  // namespace qelrestore
