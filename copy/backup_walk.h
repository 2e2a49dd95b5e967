// The walk of a backup's folders that the copy's first look (every folder of the backup, known
// before anything is written) and the dry run's count share. It enters a folder without following
// a link and, where the run may, without moving its access time; it never enters the destination
// folder (the copy's own output when it lies inside the backup), a folder that contains itself (a
// mount looping back) or one deeper than the copy goes: the copy itself reports those.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <memory>
#include <optional>
#include <vector>

#include "copy/copy_node.h"

namespace qelrestore::posix {

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using Listing = std::unique_ptr<DIR, DirCloser>;

// Opens the folder `name` below `from` for a look at its entries that leaves its access time alone
// where the run may (it owns the folder, or is root), so that the copy still takes the time the
// backup gave it. Never follows a link, never waits on a special file.
UniqueFd OpenUnread(int from, const char* name);

class BackupWalk {
 public:
  explicit BackupWalk(std::optional<NodeId> destinationRoot) : destinationRoot_(destinationRoot) {}
  virtual ~BackupWalk() = default;

  // Walks the entries below the open folder `root` (taken over), the backup folder `rootId`.
  void Walk(UniqueFd root, NodeId rootId);

 protected:
  // A folder about to be entered, `name` in the folder open as `parent`; its entries follow, then
  // Left().
  virtual void Entering(int parent, const char* name, const struct stat& info) = 0;
  virtual void Left() {}
  // An entry that is not a folder, `name` in the folder open as `folder`.
  virtual void Met(int folder, const char* name) = 0;

 private:
  void WalkBelow(UniqueFd folder);

  const std::optional<NodeId> destinationRoot_;
  std::vector<NodeId> path_;  // the folders from the backup folder down
};

}  // namespace qelrestore::posix
