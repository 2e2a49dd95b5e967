// Hard links between the backup's files, kept in the copy: the first name of a file with several
// names is copied, and its later names become links to that copy. What is remembered of each
// such file until its last name is met stays a few bytes, whatever its path.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "host/posix/copy_walker.h"

namespace qelrestore::posix {

// A later name of a backup file whose first name was copied already becomes a link to that copy.
// True when done (or reported); false when the file is to be copied on its own instead (the copy
// of the first name is gone or changed, or the link cannot be made).
bool CopyWalker::LinkToFirstName(const struct stat& info, const char* name, const Target& to,
                                 const struct stat* existing) {
  const auto byHandle = firstNames_.find(IdOf(info));
  const auto byPath =
      byHandle == firstNames_.end() ? firstPaths_.find(IdOf(info)) : firstPaths_.end();
  if (byHandle == firstNames_.end() && byPath == firstPaths_.end()) return false;
  // Opened without following a link at its end, and linked only when it is that very copy.
  const UniqueFd node = byHandle != firstNames_.end()
                            ? OpenByHandle(byHandle->second)
                            : UniqueFd(::openat(destinationFd_.get(), byPath->second.path.c_str(),
                                                O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat found {};
  const bool alive = node.valid() && ::fstat(node.get(), &found) == 0 && S_ISREG(found.st_mode) &&
                     (byPath == firstPaths_.end() || IdOf(found) == byPath->second.copy);
  bool done = alive && existing != nullptr && IdOf(*existing) == IdOf(found);
  if (alive && !done) {
    const FdPath path(node.get());
    done = LinkTemporary(path.text, to) == 0;
    if (done) Replace(to, name);
  }
  // Forgotten once every name has been seen: the tables hold only files still expecting names.
  if (byHandle != firstNames_.end()) {
    if (--byHandle->second.namesLeft == 0) firstNames_.erase(byHandle);
  } else if (--byPath->second.namesLeft == 0) {
    firstPaths_.erase(byPath);
  }
  return done;
}

void CopyWalker::RememberFirstName(const struct stat& info, const char* name, const Target& to,
                                   NodeId made) {
  if (firstNames_.contains(IdOf(info)) || firstPaths_.contains(IdOf(info))) return;
  const auto namesLeft = static_cast<uint32_t>(std::min<nlink_t>(info.st_nlink - 1, UINT32_MAX));
  // A handle is opened on the destination folder's file system; a copy on another one (a mount
  // below the destination) is remembered by path, or its handle could name an unrelated file.
  if (metadata_.MaySetOwner() && !handlesRefused_ && made.device == destinationRoot_.device) {
    alignas(file_handle) unsigned char buffer[sizeof(file_handle) + kHandleBytes];
    auto* handle = reinterpret_cast<file_handle*>(buffer);
    handle->handle_bytes = kHandleBytes;
    int mount = 0;
    const UniqueFd node(::openat(to.fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat found {};
    if (node.valid() && ::fstat(node.get(), &found) == 0 && IdOf(found) == made &&
        ::name_to_handle_at(node.get(), "", handle, &mount, AT_EMPTY_PATH) == 0) {
      FirstName first{
          namesLeft, handle->handle_type, static_cast<uint8_t>(handle->handle_bytes), {}};
      std::memcpy(first.handle, handle->f_handle, handle->handle_bytes);
      if (!handlesChecked_) {  // once: whether this run may open files by handle at all
        handlesChecked_ = true;
        handlesRefused_ = !OpenByHandle(first).valid();
      }
      if (!handlesRefused_) {
        firstNames_.emplace(IdOf(info), first);
        return;
      }
    } else if (node.valid() && (errno == EOPNOTSUPP || errno == ENOSYS)) {
      handlesRefused_ = true;
    }
  }
  firstPaths_.emplace(IdOf(info), FirstPath{relative_ + name, made, namesLeft});
}

UniqueFd CopyWalker::OpenByHandle(const FirstName& first) const {
  alignas(file_handle) unsigned char buffer[sizeof(file_handle) + kHandleBytes];
  auto* handle = reinterpret_cast<file_handle*>(buffer);
  handle->handle_bytes = first.handleLength;
  handle->handle_type = first.handleType;
  std::memcpy(handle->f_handle, first.handle, first.handleLength);
  return UniqueFd(::open_by_handle_at(destinationFd_.get(), handle, O_PATH | O_CLOEXEC));
}

}  // namespace qelrestore::posix
