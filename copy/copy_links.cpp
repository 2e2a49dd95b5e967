// Hard links between the backup's files, kept in the copy: the first name of a file with several
// names is copied, and its later names become links to that copy. What is remembered of each
// such file until its last name is met stays a few bytes, whatever its path. Whichever worker
// meets a name of such a file first copies it; one meeting another name meanwhile waits for it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>

#include "copy/copy_walker.h"

namespace qelrestore::posix {

// Waits while another worker copies the file's first name, then links this later name to that
// copy, or claims the file (it has no copy yet) so that the names met meanwhile wait for this one.
CopyWalker::FirstNameState CopyWalker::MeetName(const struct stat& info, const char* name,
                                                const Target& to, const struct stat* existing) {
  {
    std::unique_lock<std::mutex> lock(run_.links);
    run_.linkMade.wait(lock, [&] { return !run_.beingCopied.contains(IdOf(info)); });
    if (!run_.firstNames.contains(IdOf(info)) && !run_.firstPaths.contains(IdOf(info))) {
      run_.beingCopied.insert(IdOf(info));
      return FirstNameState::kClaimed;
    }
  }
  return LinkToFirstName(info, name, to, existing) ? FirstNameState::kLinked
                                                   : FirstNameState::kCopyAlone;
}

void CopyWalker::Unclaim(const struct stat& info) {
  {
    const std::lock_guard<std::mutex> lock(run_.links);
    run_.beingCopied.erase(IdOf(info));
  }
  run_.linkMade.notify_all();
}

// A later name of a backup file whose first name was copied already becomes a link to that copy.
// True when done (or reported); false when the file is to be copied on its own instead (the copy
// of the first name is gone or changed, or the link cannot be made).
bool CopyWalker::LinkToFirstName(const struct stat& info, const char* name, const Target& to,
                                 const struct stat* existing) {
  std::optional<CopyRun::FirstName> byHandle;
  std::optional<CopyRun::FirstPath> byPath;
  {
    const std::lock_guard<std::mutex> lock(run_.links);
    if (const auto found = run_.firstNames.find(IdOf(info)); found != run_.firstNames.end()) {
      byHandle = found->second;
      // Forgotten once every name has been seen: the tables hold only files still expecting
      // names.
      if (--found->second.namesLeft == 0) run_.firstNames.erase(found);
    } else if (const auto path = run_.firstPaths.find(IdOf(info)); path != run_.firstPaths.end()) {
      byPath = path->second;
      if (--path->second.namesLeft == 0) run_.firstPaths.erase(path);
    } else {
      return false;
    }
  }
  // Opened without following a link at its end, and linked only when it is that very copy.
  const UniqueFd node = byHandle ? OpenByHandle(*byHandle)
                                 : UniqueFd(::openat(run_.destinationFd.get(), byPath->path.c_str(),
                                                     O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat found {};
  const bool alive = node.valid() && ::fstat(node.get(), &found) == 0 && S_ISREG(found.st_mode) &&
                     (!byPath || IdOf(found) == byPath->copy);
  bool done = alive && existing != nullptr && IdOf(*existing) == IdOf(found);
  if (alive && !done) {
    const FdPath path(node.get());
    done = LinkTemporary(path.text, to) == 0;
    if (done) Replace(to, name);
  }
  return done;
}

void CopyWalker::RememberFirstName(const struct stat& info, const char* name, const Target& to,
                                   NodeId made) {
  const auto namesLeft = static_cast<uint32_t>(std::min<nlink_t>(info.st_nlink - 1, UINT32_MAX));
  bool refused = false;
  bool checked = false;
  {
    const std::lock_guard<std::mutex> lock(run_.links);
    if (run_.firstNames.contains(IdOf(info)) || run_.firstPaths.contains(IdOf(info))) return;
    refused = run_.handlesRefused;
    checked = run_.handlesChecked;
  }
  // A handle is opened on the destination folder's file system; a copy on another one (a mount
  // below the destination) is remembered by path, or its handle could name an unrelated file.
  if (metadata_.MaySetOwner() && !refused && made.device == run_.destinationRoot.device) {
    alignas(file_handle) unsigned char buffer[sizeof(file_handle) + CopyRun::kHandleBytes];
    auto* handle = reinterpret_cast<file_handle*>(buffer);
    handle->handle_bytes = CopyRun::kHandleBytes;
    int mount = 0;
    const UniqueFd node(::openat(to.fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat found {};
    if (node.valid() && ::fstat(node.get(), &found) == 0 && IdOf(found) == made &&
        ::name_to_handle_at(node.get(), "", handle, &mount, AT_EMPTY_PATH) == 0) {
      CopyRun::FirstName first{
          namesLeft, handle->handle_type, static_cast<uint8_t>(handle->handle_bytes), {}};
      std::memcpy(first.handle, handle->f_handle, handle->handle_bytes);
      // Once: whether this run may open files by handle at all.
      if (!checked) refused = !OpenByHandle(first).valid();
      const std::lock_guard<std::mutex> lock(run_.links);
      if (!checked && !run_.handlesChecked) {
        run_.handlesChecked = true;
        run_.handlesRefused = refused;
      }
      if (!run_.handlesRefused) {
        run_.firstNames.emplace(IdOf(info), first);
        return;
      }
    } else if (node.valid() && (errno == EOPNOTSUPP || errno == ENOSYS)) {
      const std::lock_guard<std::mutex> lock(run_.links);
      run_.handlesRefused = true;
    }
  }
  const std::lock_guard<std::mutex> lock(run_.links);
  run_.firstPaths.emplace(IdOf(info),
                          CopyRun::FirstPath{folder_->Relative() + name, made, namesLeft});
}

UniqueFd CopyWalker::OpenByHandle(const CopyRun::FirstName& first) const {
  alignas(file_handle) unsigned char buffer[sizeof(file_handle) + CopyRun::kHandleBytes];
  auto* handle = reinterpret_cast<file_handle*>(buffer);
  handle->handle_bytes = first.handleLength;
  handle->handle_type = first.handleType;
  std::memcpy(handle->f_handle, first.handle, first.handleLength);
  return UniqueFd(::open_by_handle_at(run_.destinationFd.get(), handle, O_PATH | O_CLOEXEC));
}

}  // namespace qelrestore::posix
