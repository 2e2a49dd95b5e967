#include "host/posix/posix_errors.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "support/byte_text.h"

namespace qelrestore::posix {
namespace {

// True when the folder that would hold `nativePath` exists, so that a missing entry is the file
// itself rather than a folder on the way to it.
bool ParentFolderExists(const std::string& nativePath) {
  std::string parent = nativePath;
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  const size_t slash = parent.rfind('/');
  if (slash == std::string::npos) return true;  // relative to the working folder
  parent.resize(slash == 0 ? 1 : slash);
  struct stat info {};
  return ::stat(parent.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

int32_t CodeOf(int errnoValue, const std::string& nativePath) {
  switch (errnoValue) {
    case ENOENT:
      return ParentFolderExists(nativePath) ? code::kFileNotFound : code::kPathNotFound;
    case ENOTDIR:
      return code::kPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return code::kPermissionDenied;
    case ENOSPC:
    case EDQUOT:
      return code::kDiskFull;
    case EIO:
      return code::kDeviceIo;
    default:
      return code::kPathFileAccess;
  }
}

}  // namespace

Error PathError(int32_t errorCode, std::string_view call, const std::string& nativePath,
                std::string_view reason) {
  // The program's text first, then what was found about which call on which path.
  std::string detail(call);
  detail += ' ';
  detail += nativePath;
  detail += ": ";
  detail += reason;
  return Error(errorCode, StandardDescription(errorCode) + L" (" + DecodeUtf8(detail) + L")");
}

Error ErrnoError(int errnoValue, std::string_view call, const std::string& nativePath) {
  return PathError(CodeOf(errnoValue, nativePath), call, nativePath, std::strerror(errnoValue));
}

}  // namespace qelrestore::posix
