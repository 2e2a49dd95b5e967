// The one place where Win32 failures become the program's errors. Read GetLastError() right after
// the failing call and pass it here before any other call can change it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "support/error.h"

namespace qelrestore::windows {

// The program's error code of a Win32 error: file not found -> 53; path not found, invalid name,
// bad path name -> 76; access denied, sharing or lock violation -> 70; disk full -> 61; errors of
// the device itself (not ready, CRC, seek, read/write fault, ...) -> 57; anything else -> 75.
int32_t ProgramCodeOf(uint32_t win32Error);

// The error for a failed call: the code above, and a description made of the code's standard
// description followed by the call and the path, so the log says what failed where.
Error Win32Error(uint32_t win32Error, std::wstring_view call, std::wstring_view path);

// Why an entry was not kept or put back, for the log's lines: the code's standard description and
// the system's own number.
std::wstring ReasonOf(uint32_t win32Error);

// The same with the code given by the caller (for calls whose failures map differently).
Error CallError(int32_t programCode, std::wstring_view call, std::wstring_view path);

}  // namespace qelrestore::windows
