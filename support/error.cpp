#include "support/error.h"

#include <new>
#include <stdexcept>

namespace qelrestore {

std::wstring StandardDescription(int32_t c) {
  switch (c) {
    case code::kInvalidCall:
      return L"Invalid procedure call or argument";
    case code::kOverflow:
      return L"Overflow";
    case code::kOutOfMemory:
      return L"Out of memory";
    case code::kSubscriptOutOfRange:
      return L"Subscript out of range";
    case code::kInternal:
      return L"Internal error";
    case code::kBadFileNumber:
      return L"Bad file name or number";
    case code::kFileNotFound:
      return L"File not found";
    case code::kFileAlreadyOpen:
      return L"File already open";
    case code::kDeviceIo:
      return L"Device I/O error";
    case code::kDiskFull:
      return L"Disk full";
    case code::kInputPastEnd:
      return L"Input past end of file";
    case code::kPermissionDenied:
      return L"Permission denied";
    case code::kPathFileAccess:
      return L"Path/File access error";
    case code::kPathNotFound:
      return L"Path not found";
    case code::kObjectNotSet:
      return L"Object variable not set";
    case code::kUnsupportedValueType:
      return L"Unsupported value type";
    default:
      return L"";
  }
}

Error CurrentExceptionAsError() {
  try {
    throw;
  } catch (const Error& e) {
    return e;
  } catch (const std::bad_alloc&) {
    return Error(code::kOutOfMemory);
  } catch (const std::length_error&) {
    return Error(code::kOutOfMemory);
  } catch (const std::exception& e) {
    std::wstring text;
    for (const char* p = e.what(); *p != '\0'; ++p) text += static_cast<unsigned char>(*p);
    return Error(code::kInternal, text);
  } catch (...) {
    return Error(code::kInternal);
  }
}

}  // namespace qelrestore
