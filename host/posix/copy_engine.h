// The POSIX form of the shell's copy operation: copies the entries of a backup folder into a
// destination folder, as a shell copy that answers every question with yes would.
//
// `pFrom` of the form FOLDER\* copies every entry of FOLDER (hidden ones too), recursively; any
// other `pFrom` copies that one entry. The destination folder is created when missing; files of
// the same name are replaced, missing folders created, and entries that only the destination has
// are left alone. Permission bits and access and modification times are kept. Below the two named
// folders no symbolic link is followed: those of the backup are copied as links, and one that
// stands in the destination is replaced (where a file goes) or reported (where a folder goes).
//
// It never destroys what it copies: an entry that already is its own destination (the same folder
// reached under another name, a hard link, a bind mount) is left untouched and counts as copied,
// and a destination that lies inside the backup is not descended into. An entry that cannot be
// copied is reported and skipped; the rest goes on, and the operation then counts as aborted.
//
// The tree is walked through directory descriptors (openat and friends), one folder level at a
// time, so depth and name length are bounded by the system's limits on names and open
// descriptors (two per level), never by PATH_MAX, and memory does not grow with the tree's width.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "host/host.h"

namespace qelrestore::posix {

// Results of RunFileOperation (in the numbering of the platform's own error codes).
inline constexpr int32_t kFileOperationDone = 0;
inline constexpr int32_t kFileOperationUnsupported = 120;  // a wFunc other than FO_COPY
inline constexpr int32_t kFileOperationIncomplete = 1223;  // some entry was not copied

// Receives one line for each entry that could not be copied: its source path and the reason.
using CopyFailureReport = std::function<void(std::string_view line)>;

// Runs the operation. Sets `fAnyOperationsAborted` (true when anything was not done) and returns
// one of the results above. Never throws on a file-system failure; those go to `report`.
int32_t RunFileOperation(FileOperation& operation, const CopyFailureReport& report);

}  // namespace qelrestore::posix
