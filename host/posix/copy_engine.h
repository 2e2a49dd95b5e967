// The POSIX folder copy: copies every entry of a backup folder (hidden ones too, recursively) into
// a destination folder, keeping what `cp -a` keeps: permission bits, owner and group (where the run
// may set them; set-user/group-ID bits are dropped where it may not), access and modification
// times, hard links between the backup's files, extended attributes and POSIX ACLs, and holes.
// The destination folder is created when missing; entries only the destination has are left alone.
// Below the two named folders no symbolic link is followed: those of the backup are copied as
// links, and one that stands in the destination is replaced (where a file goes) or reported (where
// a folder goes).
//
// Each file, link or special file is made under a temporary name beside its destination and
// renamed over it once whole: after a failure (a full disk) or a kill at any moment, every
// destination name holds its whole old content or the backup's. A destination file of the same
// length and modification time as the backup's is taken as up to date and only its metadata set,
// which keeps a re-run over an earlier copy cheap.
//
// It never writes into the backup: the identity of every backup folder is taken before anything
// is written (16 bytes each), and a destination folder that is any of them (reached through a
// bind mount or a link above it), and a destination file that is its own backup file under a
// second name, are left alone and reported. A
// destination that lies inside the backup is not descended into. An entry that cannot be copied is
// reported and skipped; the rest goes on.
//
// The tree is walked through directory descriptors (openat and friends), one folder level at a
// time, so name length is bounded by the system's limit on names, never by PATH_MAX, and memory
// does not grow with the tree's width (only with the backup's files that have several names,
// until their last name is copied). The walk goes kMaxFolderDepth folders deep at most: a folder
// below that is reported ("folder too deep") and nothing in it copied, so that the walk's stack
// and its open descriptors (two per level) stay bounded whatever the backup holds.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/host.h"

namespace qelrestore::posix {

// Folders below the backup folder that the copy (and the count of a dry run) goes into at most.
inline constexpr size_t kMaxFolderDepth = 400;

// One entry that was not copied: the path of the backup entry (native bytes, as the system gave
// them) and the reason in plain words.
struct CopyFailure {
  std::string path;
  std::string reason;
};

struct CopyReport {
  bool complete = true;               // false when any entry was not copied
  std::vector<CopyFailure> failures;  // the first kNotCopiedNamed (host.h) failures
  uint64_t failureCount = 0;          // every failure
};

// How far a copy has come: the files copied or found up to date, their bytes, and how many of
// them were found up to date (their content left as it was).
struct CopyCounts {
  uint64_t files = 0;
  uint64_t bytes = 0;
  uint64_t unchanged = 0;
};

// Told after each file copied or found up to date.
using CopyProgress = std::function<void(const CopyCounts& done)>;

// Copies every entry of `sourceFolder` into `destinationFolder` (native paths). Never throws on a
// file-system failure; those are counted and named in the report.
CopyReport CopyFolderContents(const std::string& sourceFolder, const std::string& destinationFolder,
                              const CopyProgress& progress = {});

}  // namespace qelrestore::posix
