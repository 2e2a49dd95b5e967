// The folder copy on Windows: the shell's copy of a backup folder's content, the check of every
// file afterwards, and the plan of a dry run.
#pragma once

#include <string>
#include <vector>

#include "host/host.h"

namespace qelrestore::windows {

// The shell's copy of every entry of `source` into `destination`, with wide paths, but those at
// `ownFiles` (FolderCopier::CopyFolderContents) and those a case-sensitive backup folder holds
// under one name in two letter cases, each named as not copied. `unattended`:
// the shell shows neither progress nor error windows. The shell does not report every file it
// failed to copy, so afterwards each file of `source` must be at `destination` with its size
// and last-write time, and each folder there as a folder; every entry that is not is named as
// not copied, and the copy is complete only when the shell reported no failure and none is.
FolderCopy ShellCopyFolderContents(const std::wstring& source, const std::wstring& destination,
                                   const std::vector<std::wstring>& ownFiles, bool unattended);

// What ShellCopyFolderContents would copy: the files (and links) under `source` that the copy
// can copy, their bytes, and how many of them have an entry of the same path under
// `destination`. Entries it could not copy (a folder where a file goes, or the other way round)
// are left out of the count. Changes nothing.
CopyPlan PlanShellFolderCopy(const std::wstring& source, const std::wstring& destination,
                             const std::vector<std::wstring>& ownFiles);

}  // namespace qelrestore::windows
