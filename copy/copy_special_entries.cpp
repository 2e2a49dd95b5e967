// Symbolic links, FIFOs and sockets of the backup, made anew in the destination folder under a
// temporary name and renamed over their destination, as files are.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "copy/copy_walker.h"

namespace qelrestore::posix {
namespace {

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

void CopyWalker::CopyLink(int from, const char* name, const struct stat& info, const Target& to) {
  // st_size is the target's length, except on file systems that report 0; grow until it fits.
  const auto read = [](int folder, const char* link, std::vector<char>& buffer, size_t wanted) {
    for (;;) {
      if (buffer.size() < wanted) buffer.resize(wanted);
      const ssize_t length = ::readlinkat(folder, link, buffer.data(), buffer.size());
      if (length < 0 || static_cast<size_t>(length) < buffer.size()) return length;
      wanted = buffer.size() * 2;
    }
  };
  const ssize_t length = read(from, name, linkTarget_, static_cast<size_t>(info.st_size) + 256);
  if (length < 0) {
    FailErrno(errno, name);
    return;
  }
  linkTarget_[static_cast<size_t>(length)] = '\0';
  struct stat existing {};
  bool exists = false;
  if (!CheckDestination(to, name, info, "a folder stands where a symbolic link goes", existing,
                        exists)) {
    return;
  }
  // The same link already there is kept; only its owner and times are set.
  const bool kept =
      exists && S_ISLNK(existing.st_mode) &&
      read(to.fd, name, existingTarget_, linkTarget_.size()) == length &&
      std::memcmp(existingTarget_.data(), linkTarget_.data(), static_cast<size_t>(length)) == 0;
  if (!kept) {
    if (const int failure = MakeTemporary(
            [&](const char* temporary) {
              return ::symlinkat(linkTarget_.data(), to.fd, temporary);
            },
            to.fd)) {
      FailErrno(failure, name);
      return;
    }
  }
  if (kept && (!metadata_.MaySetOwner() || metadata_.OwnerInLine(existing, info)) &&
      SameTime(existing.st_mtim, info.st_mtim) && SameTime(existing.st_atim, info.st_atim)) {
    return;  // nothing to set
  }
  const char* made = kept ? name : temporary_;
  const auto fail = [&](int error) { kept ? FailErrno(error, name) : Discard(to, error, name); };
  // Owner and times are set through a descriptor of the link itself, never by name: the account
  // owning the folder may put a file of its own under that name meanwhile, which would take the
  // link's owner.
  const UniqueFd link(::openat(to.fd, made, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat opened {};
  if (!link.valid() || ::fstat(link.get(), &opened) != 0) {
    fail(errno);
    return;
  }
  // A link made here is the run's own and leads where the backup's does; one another account put
  // under the temporary name meanwhile is not, and is never given an owner.
  if (!S_ISLNK(opened.st_mode) || (kept && IdOf(opened) != IdOf(existing)) ||
      (!kept && (!metadata_.OwnedByRun(opened) ||
                 read(link.get(), "", existingTarget_, linkTarget_.size()) != length ||
                 std::memcmp(existingTarget_.data(), linkTarget_.data(),
                             static_cast<size_t>(length)) != 0))) {
    if (!kept) Unmake(to);
    Fail("the new entry was replaced by another while it was made", name);
    return;
  }
  // A refused owner is not reported, as for files: the link then has the run's.
  if (metadata_.MaySetOwner() && (!kept || !metadata_.OwnerInLine(existing, info)) &&
      ::fchownat(link.get(), "", info.st_uid, info.st_gid, AT_EMPTY_PATH) != 0) {
    errno = 0;
  }
  const struct timespec times[2] = {info.st_atim, info.st_mtim};
  int failure = ::utimensat(link.get(), "", times, AT_EMPTY_PATH) == 0 ? 0 : errno;
  // A kernel that sets no times through a descriptor: by name, which can only reach another
  // node's times, never its owner.
  if (failure == EINVAL) {
    failure = ::utimensat(to.fd, made, times, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
  }
  // Some file systems keep no times of links.
  if (failure != 0 && failure != EOPNOTSUPP) {
    fail(failure);
    return;
  }
  if (!kept) Publish(to, name, IdOf(opened));
}

// FIFOs and sockets are made anew, as a recursive copy does (their ACLs and other attributes are
// copied too, read and written through /proc). Device nodes are reported, never made: a backup
// made elsewhere can hold any device with any owner and mode, and its copy would open that device
// to them. Owner, attributes, mode and times are set through a descriptor of the node made,
// never by name: a link put in its place meanwhile is refused, not followed to another file.
void CopyWalker::CopySpecial(int from, const char* name, const struct stat& info,
                             const Target& to) {
  struct stat existing {};
  bool exists = false;
  if (!CheckDestination(to, name, info, "a folder stands where a special file goes", existing,
                        exists)) {
    return;
  }
  const mode_t type = info.st_mode & S_IFMT;
  if (S_ISCHR(type) || S_ISBLK(type)) {
    Fail("a device node, not copied", name);
    return;
  }
  if (const int failure = MakeTemporary(
          [&](const char* temporary) {
            return ::mknodat(to.fd, temporary, type | 0600, info.st_rdev);
          },
          to.fd)) {
    FailErrno(failure, name);
    return;
  }
  UniqueFd node(::openat(to.fd, temporary_, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat made {};
  if (!node.valid() || ::fstat(node.get(), &made) != 0) {
    Discard(to, errno, name);
    return;
  }
  if ((made.st_mode & S_IFMT) != type || made.st_nlink != 1 || !metadata_.OwnedByRun(made)) {
    Fail("the new entry was replaced by another while it was made", name);
    Unmake(to);
    return;
  }
  const FdPath path(node.get());
  // Made private (0600, and rid of what a default ACL of the folder handed it) before its owner
  // and mode make it what the backup's is; whatever the folder held when the copy entered it, as
  // a default ACL given to the folder since then hands the node entries too.
  for (const char* acl : {"system.posix_acl_access", "system.posix_acl_default"}) {
    if (::removexattr(path.text, acl) != 0 && errno != ENODATA && errno != ENOTSUP) {
      Discard(to, errno, name);
      return;
    }
  }
  mode_t mode = metadata_.SetOwnerAndGetMode(node.get(), info);
  const UniqueFd source(::openat(from, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat opened {};
  AclCopy acl;
  if (source.valid() && ::fstat(source.get(), &opened) == 0 && IdOf(opened) == IdOf(info)) {
    if (const int failure =
            metadata_.CopyAttributes(FdPath(source.get()).text, path.text, false, acl)) {
      Discard(to, failure, name);
      return;
    }
  }
  mode = acl.Narrow(mode);
  const struct timespec times[2] = {info.st_atim, info.st_mtim};
  // chmod and utimensat follow the descriptor's path to the node itself; without /proc, the
  // calls that take the descriptor itself (AT_EMPTY_PATH) do, never the name, which another node
  // may hold by now.
  if (((made.st_mode & 07777) != mode || acl.changed) && ::chmod(path.text, mode) != 0 &&
      (errno != ENOENT || ::fchmodat(node.get(), "", mode, AT_EMPTY_PATH) != 0)) {
    Discard(to, errno, name);
    return;
  }
  if (::utimensat(AT_FDCWD, path.text, times, 0) != 0 &&
      (errno != ENOENT || ::utimensat(node.get(), "", times, AT_EMPTY_PATH) != 0)) {
    Discard(to, errno, name);
    return;
  }
  if (Publish(to, name, IdOf(made)) && acl.refused != 0) Fail(RefusedAclReason(acl.refused), name);
}

}  // namespace qelrestore::posix
