#include "host/windows/windows_errors.h"

#include <string>

#include "host/windows/windows_api.h"

namespace qelrestore::windows {

int32_t ProgramCodeOf(uint32_t win32Error) {
  switch (win32Error) {
    case ERROR_FILE_NOT_FOUND:
      return code::kFileNotFound;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
      return code::kPathNotFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return code::kPermissionDenied;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return code::kDiskFull;
    case ERROR_NOT_READY:
    case ERROR_CRC:
    case ERROR_SEEK:
    case ERROR_SECTOR_NOT_FOUND:
    case ERROR_WRITE_FAULT:
    case ERROR_READ_FAULT:
    case ERROR_GEN_FAILURE:
    case ERROR_IO_DEVICE:
    case ERROR_DEVICE_NOT_CONNECTED:
      return code::kDeviceIo;
    default:
      return code::kPathFileAccess;
  }
}

Error Win32Error(uint32_t win32Error, std::wstring_view call, std::wstring_view path) {
  return CallError(ProgramCodeOf(win32Error), call, path);
}

std::wstring ReasonOf(uint32_t win32Error) {
  return StandardDescription(ProgramCodeOf(win32Error)) + L" (system error " +
         std::to_wstring(win32Error) + L")";
}

Error CallError(int32_t programCode, std::wstring_view call, std::wstring_view path) {
  std::wstring description = StandardDescription(programCode);
  description += L" (";
  description += call;
  if (!path.empty()) {
    description += L' ';
    description += path;
  }
  description += L')';
  return Error(programCode, std::move(description));
}

}  // namespace qelrestore::windows
