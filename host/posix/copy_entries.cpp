// What a folder of the backup holds, copied into the destination folder: regular files, symbolic
// links and special files. Every one is made under a temporary name beside its destination and
// renamed over it when whole, so that a failure or a kill at any moment leaves each destination
// name with its whole old content or the backup's, never a mix; a temporary file is removed when
// its copy fails (a kill can leave one, named ".qelrestore-" and six letters).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "host/posix/copy_walker.h"

namespace qelrestore::posix {
namespace {

// O_NONBLOCK keeps an open from hanging on a FIFO that took a file's place; it has no effect on the
// regular files that are actually read and written.
constexpr int kOpenSource = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
constexpr int kCreateFile = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// The permission bits a copy owned as `owner` may keep of `source`'s: no set-ID bit for an owner
// or group other than the source's.
mode_t ModeFor(const struct stat& source, const struct stat& owner) {
  mode_t mode = source.st_mode & 07777;
  if (owner.st_uid != source.st_uid) mode &= static_cast<mode_t>(~S_ISUID);
  if (owner.st_gid != source.st_gid) mode &= static_cast<mode_t>(~S_ISGID);
  return mode;
}

}  // namespace

void CopyWalker::CopyRegularFile(int from, const char* name, const Target& to) {
  UniqueFd in(::openat(from, name, kOpenSource));
  struct stat info {};
  if (!in.valid() || ::fstat(in.get(), &info) != 0) {
    FailErrno(errno, name);
    return;
  }
  // Its type changed since the folder was read: the backup is being changed under the copy.
  if (!S_ISREG(info.st_mode)) {
    Fail("the backup entry changed while it was copied", name);
    return;
  }
  struct stat existing {};
  bool exists = false;
  if (!CheckDestination(to, name, info, "a folder stands where a file goes", existing, exists)) {
    return;
  }
  if (info.st_nlink > 1 && LinkToFirstName(info, name, to, exists ? &existing : nullptr)) return;
  NodeId made = IdOf(existing);
  const bool unchanged =
      exists && S_ISREG(existing.st_mode) && BringInLine(in.get(), info, existing, name, to);
  if (!unchanged && !WriteReplacement(in.get(), info, name, to, made)) return;
  if (info.st_nlink > 1) RememberFirstName(info, name, to, made);
  ++done_.files;
  done_.bytes += static_cast<uint64_t>(info.st_size);
  if (unchanged) ++done_.unchanged;
  if (progress_) progress_(done_);
}

// A destination file of the same length and modification time (to the nanosecond) as the
// backup's, and the same bytes, holds its content and is kept. The bytes are compared because
// times alone prove nothing: two files written within one tick of the file system's clock carry
// the same time. Its owner, group and mode are never changed in place: whoever held the file
// before may keep it open or mapped for writing, and would write through a handle on a file that
// became another account's, or set-ID. So it is kept only when they already are the copy's, and
// then at most its attributes and times are set; otherwise it is replaced like a changed file.
// True when kept; false when it is to be replaced. A destination with other names is never
// changed in place (it may be a file of the backup itself): it is kept as it is only when the
// backup's file has other names too (a hard link copied before) and nothing but the access time
// differs.
bool CopyWalker::BringInLine(int in, const struct stat& info, const struct stat& existing,
                             const char* name, const Target& to) {
  if (existing.st_size != info.st_size || !SameTime(existing.st_mtim, info.st_mtim)) return false;
  if (!metadata_.OwnerInLine(existing, info) ||
      (existing.st_mode & 07777) != ModeFor(info, existing)) {
    return false;
  }
  const bool alone = existing.st_nlink == 1;
  if (!alone && info.st_nlink == 1) return false;
  UniqueFd out(::openat(to.fd, name, kOpenSource));
  struct stat opened {};
  if (!out.valid() || ::fstat(out.get(), &opened) != 0 || IdOf(opened) != IdOf(existing) ||
      opened.st_uid != existing.st_uid || opened.st_gid != existing.st_gid ||
      opened.st_mode != existing.st_mode ||
      !data_.SameContent(
          in, out.get(), info.st_size,
          info.st_blocks * 512 < info.st_size || existing.st_blocks * 512 < existing.st_size)) {
    return false;
  }
  const struct timespec times[2] = {info.st_atim, info.st_mtim};
  if (!to.defaultAcl && !metadata_.HasAttributes(in)) {
    // Only the access time may differ: no reason to fail when it cannot be set.
    if (alone && !SameTime(existing.st_atim, info.st_atim)) ::futimens(out.get(), times);
    return true;
  }
  if (!alone) return false;
  // The mode is already the copy's; it is set again only because an access ACL moves its group
  // bits.
  bool aclSet = false;
  return metadata_.CopyAttributes(in, out.get(), true, aclSet) == 0 &&
         (!aclSet || ::fchmod(out.get(), existing.st_mode & 07777) == 0) &&
         ::futimens(out.get(), times) == 0;
}

bool CopyWalker::WriteReplacement(int in, const struct stat& info, const char* name,
                                  const Target& to, NodeId& made) {
  UniqueFd out;
  if (const int failure = MakeTemporary([&](const char* temporary) {
        out = UniqueFd(::openat(to.fd, temporary, kCreateFile, 0600));
        return out.valid() ? 0 : -1;
      })) {
    return FailErrno(failure, name);
  }
  // Private to the run until whole: created 0600, and given its owner, ACL and mode only once its
  // content is in, the set-ID bits last of all, after the owner is set.
  if (const int failure = data_.Copy(in, out.get(), info)) return Discard(to, failure, name);
  // Copied up to the length seen at the open; a file that grew, shrank or was written meanwhile
  // is left out, and the destination keeps its old file.
  struct stat after {};
  if (::fstat(in, &after) != 0) return Discard(to, errno, name);
  // The change time too: the file's owner may set its modification time back after writing it,
  // never its change time.
  if (after.st_size != info.st_size || !SameTime(after.st_mtim, info.st_mtim) ||
      !SameTime(after.st_ctim, info.st_ctim)) {
    ::unlinkat(to.fd, temporary_, 0);
    return Fail("the backup entry changed while it was copied", name);
  }
  const mode_t mode = metadata_.KeepOwner(out.get(), info);
  // The access ACL is set whatever the folder held when the copy entered it: a default ACL given
  // to the folder since then handed the new file entries that the chmod below would make
  // effective. Without the backup's ACL, the mode alone decides.
  bool aclSet = false;
  if (const int failure = metadata_.CopyAttributes(in, out.get(), true, aclSet)) {
    return Discard(to, failure, name);
  }
  if (::fchmod(out.get(), mode) != 0) return Discard(to, errno, name);
  const struct timespec times[2] = {info.st_atim, info.st_mtim};
  if (::futimens(out.get(), times) != 0) return Discard(to, errno, name);
  if (info.st_nlink > 1) {  // its later names are linked to this copy
    struct stat written {};
    if (::fstat(out.get(), &written) != 0) return Discard(to, errno, name);
    made = IdOf(written);
  }
  if (const int failure = out.reset()) return Discard(to, failure, name);
  return Replace(to, name);
}

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
    if (const int failure = MakeTemporary([&](const char* temporary) {
          return ::symlinkat(linkTarget_.data(), to.fd, temporary);
        })) {
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
    if (!kept) ::unlinkat(to.fd, temporary_, 0);
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
  if (const int failure = MakeTemporary([&](const char* temporary) {
        return ::mknodat(to.fd, temporary, type | 0600, info.st_rdev);
      })) {
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
    ::unlinkat(to.fd, temporary_, 0);
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
  const mode_t mode = metadata_.KeepOwner(node.get(), info);
  const UniqueFd source(::openat(from, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat opened {};
  bool aclSet = false;
  if (source.valid() && ::fstat(source.get(), &opened) == 0 && IdOf(opened) == IdOf(info)) {
    if (const int failure =
            metadata_.CopyAttributes(FdPath(source.get()).text, path.text, false, aclSet)) {
      Discard(to, failure, name);
      return;
    }
  }
  const struct timespec times[2] = {info.st_atim, info.st_mtim};
  // chmod and utimensat follow the descriptor's path to the node itself; without /proc, the
  // calls that take the descriptor itself (AT_EMPTY_PATH) do, never the name, which another node
  // may hold by now.
  if (((made.st_mode & 07777) != mode || aclSet) && ::chmod(path.text, mode) != 0 &&
      (errno != ENOENT || ::fchmodat(node.get(), "", mode, AT_EMPTY_PATH) != 0)) {
    Discard(to, errno, name);
    return;
  }
  if (::utimensat(AT_FDCWD, path.text, times, 0) != 0 &&
      (errno != ENOENT || ::utimensat(node.get(), "", times, AT_EMPTY_PATH) != 0)) {
    Discard(to, errno, name);
    return;
  }
  Publish(to, name, IdOf(made));
}

// Looks at what stands at the destination name. False (reported) when it must not be replaced:
// a folder, or the backup's entry itself under a second name (left as it is).
bool CopyWalker::CheckDestination(const Target& to, const char* name, const struct stat& source,
                                  std::string_view folderThere, struct stat& existing,
                                  bool& exists) {
  exists = ::fstatat(to.fd, name, &existing, AT_SYMLINK_NOFOLLOW) == 0;
  if (!exists) {
    existing = source;  // nothing there: the owner needs no change either
    return errno == ENOENT || FailErrno(errno, name);
  }
  if (IdOf(existing) == IdOf(source))
    return Fail("the destination is this backup entry itself", name);
  if (S_ISDIR(existing.st_mode)) return Fail(folderThere, name);
  return true;
}

// Makes a node under a new temporary name (in temporary_) with `make`, which returns 0 or -1 with
// errno set, as the system calls do; another name is tried while the name is taken. Returns 0 or
// the errno of the failure.
template <typename Make>
int CopyWalker::MakeTemporary(Make make) {
  if (nameState_ == 0) {
    struct timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    nameState_ = (static_cast<uint64_t>(::getpid()) << 32) ^ static_cast<uint64_t>(now.tv_nsec) ^
                 reinterpret_cast<uintptr_t>(this) ^ 0x9E3779B97F4A7C15ull;
  }
  static constexpr char kLetters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    nameState_ ^= nameState_ << 13;
    nameState_ ^= nameState_ >> 7;
    nameState_ ^= nameState_ << 17;
    std::memcpy(temporary_, ".qelrestore-", 12);
    for (size_t i = 0; i < 6; ++i) temporary_[12 + i] = kLetters[(nameState_ >> (6 * i)) % 62];
    temporary_[18] = '\0';
    if (make(temporary_) == 0) return 0;
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

int CopyWalker::LinkTemporary(const char* nodePath, const Target& to) {
  return MakeTemporary([&](const char* temporary) {
    return ::linkat(AT_FDCWD, nodePath, to.fd, temporary, AT_SYMLINK_FOLLOW);
  });
}

// Renames the node made under temporary_ over the destination name; removes it when that fails.
bool CopyWalker::Replace(const Target& to, const char* name) {
  if (::renameat(to.fd, temporary_, to.fd, name) == 0) return true;
  if (errno == EISDIR) {
    ::unlinkat(to.fd, temporary_, 0);
    return Fail("a folder stands where a file goes", name);
  }
  return Discard(to, errno, name);
}

// Replace, for a node whose metadata was set through a descriptor: the account owning the folder
// may have put another node under the temporary name since, which the rename then moved to the
// destination name. Reported, so that no success is claimed for an entry not restored.
bool CopyWalker::Publish(const Target& to, const char* name, NodeId made) {
  if (!Replace(to, name)) return false;
  struct stat published {};
  if (::fstatat(to.fd, name, &published, AT_SYMLINK_NOFOLLOW) == 0 && IdOf(published) == made) {
    return true;
  }
  return Fail("the new entry was replaced by another while it was made", name);
}

// Removes the node made under temporary_ and reports the entry.
bool CopyWalker::Discard(const Target& to, int error, std::string_view name) {
  ::unlinkat(to.fd, temporary_, 0);
  return FailErrno(error, name);
}

}  // namespace qelrestore::posix
