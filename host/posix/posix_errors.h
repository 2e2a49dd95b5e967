// The one place where POSIX failures become the program's errors. Read errno right after the
// failing call and pass it here before anything else can change it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "support/error.h"

namespace qelrestore::posix {

// ENOENT -> 53 (76 when a folder on the way is missing), ENOTDIR -> 76, EACCES/EPERM/EROFS -> 70,
// ENOSPC/EDQUOT -> 61, EIO -> 57, anything else -> 75. The description is the standard one,
// followed by the call and the path, so the log says what failed where.
Error ErrnoError(int errnoValue, std::string_view call, const std::string& nativePath);

// An error of `errorCode` whose description names the call, the path and the reason in words:
// "Path/File access error (open /x/y: not a regular file)".
Error PathError(int32_t errorCode, std::string_view call, const std::string& nativePath,
                std::string_view reason);

}  // namespace qelrestore::posix
