#include "copy/backup_walk.h"

#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "copy/copy_engine.h"

namespace qelrestore::posix {

UniqueFd OpenUnread(int from, const char* name) {
  constexpr int kOpen = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  UniqueFd folder(::openat(from, name, kOpen | O_NOATIME));
  if (!folder.valid() && errno == EPERM) folder = UniqueFd(::openat(from, name, kOpen));
  return folder;
}

void BackupWalk::Walk(UniqueFd root, NodeId rootId) {
  path_.assign(1, rootId);
  WalkBelow(std::move(root));
  path_.clear();
}

void BackupWalk::WalkBelow(UniqueFd folder) {
  if (!folder.valid()) return;
  const Listing listing(::fdopendir(folder.get()));
  if (!listing) return;
  folder.release();
  const int from = ::dirfd(listing.get());
  while (const dirent* entry = ::readdir(listing.get())) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    if (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN) {
      Met(from, name);
      continue;
    }
    UniqueFd below = OpenUnread(from, name);
    if (!below.valid()) {
      // A listing that could not tell the type, or a folder replaced since it was listed.
      if (errno == ENOTDIR || errno == ELOOP) Met(from, name);
      continue;
    }
    struct stat info {};
    if (::fstat(below.get(), &info) != 0) continue;
    const NodeId id = IdOf(info);
    if (id == destinationRoot_ || path_.size() > kMaxFolderDepth ||
        std::find(path_.begin(), path_.end(), id) != path_.end()) {
      continue;
    }
    Entering(from, name, info);
    path_.push_back(id);
    WalkBelow(std::move(below));
    path_.pop_back();
    Left();
  }
}

}  // namespace qelrestore::posix
