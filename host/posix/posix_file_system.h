// Files on POSIX: existence tests, the run log's stream, sequential input, removal and the
// whole-file copy. Paths given to these functions are native (already turned into UTF-8 with `/`
// separators); every failure is thrown as an Error that names the path.
#pragma once

#include <memory>
#include <string>

#include "host/host.h"
#include "host/posix/unique_fd.h"

namespace qelrestore::posix {

// True when the path, links followed, is something other than a folder. Never throws.
bool IsFile(const std::string& nativePath);
// True when the path, links followed, is a folder. Never throws.
bool IsFolder(const std::string& nativePath);

// Opens the log for appending, creating it (mode 0666 less the umask) when missing. Each line goes
// to the file in one write.
std::unique_ptr<TextStream> OpenLogFile(const std::string& nativePath);

// Opens a regular file for sequential reading. It is opened without blocking and then looked at,
// so a FIFO or device is refused at once instead of waited on. A missing file is error 53 (76
// when its folder is missing too); anything but a regular file is error 75.
std::unique_ptr<Reader> OpenInputFile(const std::string& nativePath);

// Removes the file; nothing when there is none. A folder or a refused removal throws.
void RemoveFileIfPresent(const std::string& nativePath);

// Replaces `destination` with a copy of the regular file `source`, its permission bits included.
// Neither end is followed through a symbolic link: a source that is a link, FIFO, device or
// folder is refused (error 75); a destination link is replaced, never written through. The copy
// is written to a new file beside the destination and renamed over it, so a reader of the old
// file keeps the old content and a failed copy leaves the old file as it was. A missing source
// is error 53, a missing destination folder 76; a destination that is the source itself (or a
// hard link to it) is refused with error 70.
void CopyWholeFile(const std::string& source, const std::string& destination);

}  // namespace qelrestore::posix
