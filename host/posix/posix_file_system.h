// Files on POSIX: existence tests, the run log's stream and standard output's, sequential input,
// removal, the whole-file copy and the count of a folder copy. Paths given to these functions are
// native (already turned into UTF-8 with `/` separators); every failure is thrown as an Error that
// names the path.
#pragma once

#include <sys/stat.h>

#include <memory>
#include <optional>
#include <string>

#include "host/host.h"
#include "host/posix/unique_fd.h"

namespace qelrestore::posix {

// True when the path, links followed, is something other than a folder. Never throws.
bool IsFile(const std::string& nativePath);
// True when the path, links followed, is a folder. Never throws.
bool IsFolder(const std::string& nativePath);
// The device and inode of the folder the path names, links followed; nothing when it is no
// folder or cannot be reached. Never throws.
std::optional<FolderIdentity> FolderIdentityOf(const std::string& nativePath);

// Opens the log for appending, creating it (mode 0666 less the umask) when missing. Each line goes
// to the file in one write.
std::unique_ptr<TextStream> OpenLogFile(const std::string& nativePath);
// Throws what OpenLogFile would, making nothing: an existing entry is opened for appending (no
// data is written) and closed; for a missing file the run must be allowed to add to its folder.
void ProbeLogFile(const std::string& nativePath);

// Lines on standard output, UTF-8, each ended by "\n" and written before writeLine returns; a
// failed write throws (a closed pipe is EPIPE, the program ignoring SIGPIPE). Closing it leaves
// descriptor 1 open, so no file opened later can take its place.
std::unique_ptr<TextStream> OpenStandardOutputStream();

// Opens `nativePath` for reading (with `extraFlags`, O_NOFOLLOW for one) without waiting on a
// FIFO, and fills `info`. Throws the file's error (53 when missing, 76 when its folder is
// missing), or 75 when it is not a regular file.
UniqueFd OpenRegularFile(const std::string& nativePath, int extraFlags, struct stat& info);

// Opens a regular file for sequential reading. It is opened without blocking and then looked at,
// so a FIFO or device is refused at once instead of waited on. A missing file is error 53 (76
// when its folder is missing too); anything but a regular file is error 75, and so is a symbolic
// link when `extraFlags` holds O_NOFOLLOW.
std::unique_ptr<Reader> OpenInputFile(const std::string& nativePath, int extraFlags = 0);

// Removes the file; nothing when there is none. A folder or a refused removal throws.
void RemoveFileIfPresent(const std::string& nativePath);

// Which way a whole-file copy of the kept settings goes: saved from the installation's
// db.properties into the state folder, or put back from there over it.
enum class KeptSettingsCopy { kSave, kPutBack };

// Opens, as OpenInputFile with O_NOFOLLOW does, a settings file the backup supplies, refusing a
// symbolic link (error 75, naming the path) at the file and at its folder alike; the folder above
// that one is followed as named.
std::unique_ptr<Reader> OpenSettingsFile(const std::string& nativePath);

// Replaces `destination` with a copy of the regular file `source`. The installation's end (the
// source of a save, the destination of a put-back) is not followed through a symbolic link at it
// or at its folder (error 75); the other end only not at the file. A source that is a FIFO, device
// or folder is refused (error 75); a destination link is replaced, never written through. The
// saved copy is the run's own, mode 0600; a put-back takes the owner and mode of the file it
// replaces (the source's where there is none). The copy is written to a new file beside the
// destination and renamed over it, so a reader of the old file keeps the old content and a failed
// copy leaves the old file as it was. A missing source is error 53, a missing folder 76; a
// destination that is the source itself (or a hard link to it) is refused with error 70.
// `access`, when given, is the owner, group and mode the copy gets instead (the owner and group
// only where the run may set them, set-ID bits only with them). Returns the source as opened.
struct stat CopyWholeFile(const std::string& source, const std::string& destination,
                          KeptSettingsCopy direction,
                          const std::optional<struct stat>& access = std::nullopt);

// The access of a file readable by the running user alone: its owner and group, mode 0600.
struct stat OwnerOnlyAccess();

}  // namespace qelrestore::posix
