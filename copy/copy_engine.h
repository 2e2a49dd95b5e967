// The POSIX folder copy: copies every entry of a backup folder (hidden ones too, recursively) into
// a destination folder, keeping what `cp -a` keeps: permission bits, owner and group (where the run
// may set them; set-user/group-ID bits are dropped where it may not), access and modification
// times, hard links between the backup's files, extended attributes and POSIX ACLs, and holes.
// A copy over an earlier one ends with exactly the backup's ACLs and attributes; an ACL the
// destination's file system cannot hold is reported, never widened into the copy's group bits.
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
//
// Several workers copy at once: the calling thread walks the folders and hands their files, links
// and special files to the others (a folder's name lookups, opens and writes wait on the disk or
// the network, and the waits overlap). A folder is given its mode and times once all its entries
// are done; only a few such folders wait at any time, so descriptors stay bounded by the walk's
// depth plus a few per worker, and memory by a few buffers per worker. The failures named are the
// first by path, whichever worker met them.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/folder_copy.h"

namespace qelrestore::posix {

// Folders below the backup folder that the copy (and the count of a dry run) goes into at most.
inline constexpr size_t kMaxFolderDepth = 400;

// How many workers copy at once: 1 to kMaxCopyWorkers (host/folder_copy.h), or by default one per
// core up to kDefaultMaxCopyWorkers. The copy reads no environment: the program's settings hand
// the count in (CopyOptions::workers).
inline constexpr unsigned kDefaultMaxCopyWorkers = 8;

// One entry that was not copied: the path of the backup entry (native bytes, as the system gave
// them) and the reason in plain words.
struct CopyFailure {
  std::string path;
  std::string reason;
};

// Adds `failure` to `failures`, which keep, sorted and cut back now and then, the first
// kNotCopiedNamed by path among all added; SortFirstByPath leaves exactly those, in order. The copy
// and its plan name the same entries in the same order, whichever order the walk met them in.
void KeepFirstByPath(std::vector<CopyFailure>& failures, CopyFailure failure);
void SortFirstByPath(std::vector<CopyFailure>& failures);

struct CopyReport {
  bool complete = true;               // false when any entry was not copied
  std::vector<CopyFailure> failures;  // the first kNotCopiedNamed (host.h) by path, sorted
  uint64_t failureCount = 0;          // every failure
  uint64_t leftoversRemoved = 0;      // temporary files a killed copy had left, removed
};

// How far a copy has come: the files copied or found up to date, their bytes, and how many of
// them were found up to date (their content left as it was).
struct CopyCounts {
  uint64_t files = 0;
  uint64_t bytes = 0;
  uint64_t unchanged = 0;
};

// Told after each file copied or found up to date; never by two workers at once. A throw from it
// ends the copy (see CopyFolderContents).
using CopyProgress = std::function<void(const CopyCounts& done)>;

// The restore's own files below the destination folder (its log, its lock, the settings it keeps):
// native paths relative to it, '/' between names, a last name ending in '*' standing for every
// name that begins so. The copy never writes over them; the backup's entries of those paths are
// reported (kFileOfThisRestore) and, where they are folders, not walked.
class OwnFiles {
 public:
  explicit OwnFiles(const std::vector<std::string>& paths);
  // True when the entry `name` of the folder `folder()` (its path below the destination folder,
  // ending in '/', "" for the destination folder itself) is one of them. `folder` is asked for
  // only when the name is one of theirs, so that the walk builds no path for other entries.
  template <typename Folder>
  bool Contains(std::string_view name, const Folder& folder) const {
    for (const Entry& own : entries_) {
      if (!Matches(own, name)) continue;
      if (folder() == own.folder) return true;
    }
    return false;
  }

 private:
  struct Entry {
    std::string folder;  // ending in '/', or ""
    std::string name;    // the whole name, or its beginning
    bool prefix;
  };
  static bool Matches(const Entry& own, std::string_view name) {
    return own.prefix ? name.starts_with(own.name) : name == own.name;
  }
  std::vector<Entry> entries_;
};

// How a copy (and its plan) runs; the defaults make a plain copy. Every field has an initializer,
// so that a caller names only those it sets: {.workers = 2}.
struct CopyOptions {
  // How many workers copy at once: 1 to kMaxCopyWorkers (more are taken as kMaxCopyWorkers);
  // 0 is one per core, up to kDefaultMaxCopyWorkers.
  unsigned workers = 0;
  // The restore's own files below the destination folder, never written over (see OwnFiles).
  std::vector<std::string> ownFiles{};
  // Keeps the records of what each copy made (copy/copy_record.h), one folder per destination
  // tree: a file found there of the backup file's length and modification time is kept unread
  // only on its record's word, else its bytes are compared. "" keeps none.
  std::string recordFolder{};
};

// Copies every entry of `sourceFolder` into `destinationFolder` (native paths) as `options` say.
// Never throws on a file-system failure; those are counted and named in the report. Anything else
// thrown (by `progress`, or for lack of memory) stops every worker once its current entry is done
// or dropped, removes the temporary files, and is thrown again from here.
CopyReport CopyFolderContents(const std::string& sourceFolder, const std::string& destinationFolder,
                              const CopyOptions& options = {}, const CopyProgress& progress = {});

// What copying the contents of the folder `source` into `destination` would copy: regular files
// and symbolic links (a link's bytes are its target text's length) below `source`, none of its
// links followed, with those whose destination entry exists (not followed either). The walk stops
// where the copy's does: at the destination folder met inside the backup, at a folder that
// contains itself, and kMaxFolderDepth folders deep. Entries that cannot be read are left out;
// nothing is written and nothing thrown. The backup's entries at `options.ownFiles` are named as
// the copy will name them; the other options change nothing a plan counts.
CopyPlan PlanFolderCopy(const std::string& source, const std::string& destination,
                        const CopyOptions& options = {});

}  // namespace qelrestore::posix
