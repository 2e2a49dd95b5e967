// What a folder of the backup holds, copied into the destination folder: regular files, symbolic
// links and special files. Every one is made under a temporary name beside its destination and
// renamed over it when whole, so that a failure or a kill at any moment leaves each destination
// name with its whole old content or the backup's, never a mix; a temporary file is removed when
// its copy fails (a kill can leave one, named ".qelrestore-" and six letters).
#include <dirent.h>
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

#include "copy/copy_walker.h"

namespace qelrestore::posix {
namespace {

// O_NONBLOCK keeps an open from hanging on a FIFO that took a file's place; it has no effect on the
// regular files that are actually read and written.
constexpr int kOpenSource = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
constexpr int kCreateFile = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;

constexpr int64_t kCoarseWindow = 2'000'000'000;

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

int64_t Nanoseconds(const struct timespec& time) {
  return static_cast<int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

bool Unchanged(const struct stat& before, const struct stat& after) {
  return after.st_size == before.st_size && SameTime(after.st_mtim, before.st_mtim) &&
         SameTime(after.st_ctim, before.st_ctim);
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

// The directory entry's type saves a stat for files, which are opened and examined through their
// descriptor anyway; only the rest (or where the file system gives no type) is stat'ed here.
void CopyWalker::CopyEntry(int from, const char* name, unsigned char type, const Target& to) {
  if (type == DT_REG) return CopyRegularFile(from, name, to);
  struct stat info {};
  if (::fstatat(from, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
    FailErrno(errno, name);
  } else if (S_ISREG(info.st_mode)) {
    CopyRegularFile(from, name, to);
  } else if (S_ISDIR(info.st_mode)) {  // listed as something else: put there since
    Fail("the backup entry changed while it was copied", name);
  } else if (S_ISLNK(info.st_mode)) {
    CopyLink(from, name, info, to);
  } else {
    CopySpecial(from, name, info, to);
  }
}

void CopyWalker::CopyRegularFile(int from, const char* name, const Target& to) {
  // Read without moving its access time where the run may (it owns the file, or is root): the
  // backup stays as it was, and a re-run finds the copy's access time still the backup's.
  UniqueFd in(::openat(from, name, kOpenSource | (noAtimeRefused_ ? 0 : O_NOATIME)));
  if (!in.valid() && errno == EPERM && !noAtimeRefused_) {
    noAtimeRefused_ = true;
    in = UniqueFd(::openat(from, name, kOpenSource));
  }
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
  // Another name of the file already copied (or being copied by another worker, which is waited
  // for) becomes a link to that copy; the first name met is claimed until its copy is made.
  FirstNameState state = FirstNameState::kCopyAlone;
  if (info.st_nlink > 1) state = MeetName(info, name, to, exists ? &existing : nullptr);
  if (state == FirstNameState::kLinked) return;
  struct Claim {
    CopyWalker& walker;
    const struct stat& info;
    bool held;
    ~Claim() {
      if (held) walker.Unclaim(info);
    }
  } claim{*this, info, state == FirstNameState::kClaimed};
  NodeId made = IdOf(existing);
  const bool unchanged =
      exists && S_ISREG(existing.st_mode) && TryKeepExisting(in.get(), info, existing, name, to);
  // A change of the change time alone (a link count or a mode changed meanwhile, or a rewrite
  // whose time was set back) is copied again, twice at most.
  for (int attempt = 0; !unchanged; ++attempt) {
    const Written written = WriteReplacement(in.get(), info, name, to, made, attempt < 2, !exists);
    if (written == Written::kDone) break;
    if (written == Written::kFailed) return;
  }
  if (info.st_nlink > 1) RememberFirstName(info, name, to, made);
  run_.Counted(static_cast<uint64_t>(info.st_size), unchanged);
}

// A destination file of the same length and modification time (to the nanosecond) as the
// backup's may hold its content. It is kept unread only on the folder's record's word: the record
// shows it is this copy's own copy of that very backup file, neither changed since (their change
// times say so, on a file system whose times are fine), and the copy was made past the window of
// the backup file's times (two writes within one tick of the file system's clock carry one time,
// so a backup file rewritten with the same length within the tick of its copy would look
// unchanged). Anywhere else its bytes are compared, and its attributes made the backup's.
// Its owner, group and mode are never changed in place: whoever held the file
// before may keep it open or mapped for writing, and would write through a handle on a file that
// became another account's, or set-ID. So it is kept only when they already are the copy's, and
// then at most its attributes and times are set; otherwise it is replaced like a changed file.
// True when the destination file is kept: its content left as it is (at most its attributes and
// times made the backup's), counted as found up to date. False when it is to be replaced, as is
// any file that does not match. A destination with other names is never
// changed in place (it may be a file of the backup itself): it is kept as it is only when the
// backup's file has other names too (a hard link copied before) and nothing but the access time
// differs.
bool CopyWalker::TryKeepExisting(int in, const struct stat& info, const struct stat& existing,
                                 const char* name, const Target& to) {
  if (existing.st_size != info.st_size || !SameTime(existing.st_mtim, info.st_mtim)) return false;
  if (!metadata_.OwnerInLine(existing, info) ||
      (existing.st_mode & 07777) != ModeFor(info, existing)) {
    return false;
  }
  const bool alone = existing.st_nlink == 1;
  if (!alone && info.st_nlink == 1) return false;
  // A time that keeps no nanoseconds comes from a file system that keeps seconds (or from a tool
  // that set it so): two seconds then.
  const int64_t window = info.st_mtim.tv_nsec == 0 || existing.st_ctim.tv_nsec == 0
                             ? std::max<int64_t>(to.window, kCoarseWindow)
                             : to.window;
  const bool racy = Nanoseconds(existing.st_ctim) < Nanoseconds(info.st_mtim) + window ||
                    Nanoseconds(existing.st_ctim) < Nanoseconds(info.st_ctim) + window;
  const bool recorded =
      to.record != nullptr && window < kCoarseWindow && to.record->Proves(name, info, existing);
  // Nothing to read and nothing to set: the destination is not even opened.
  if (recorded && !racy && (!alone || SameTime(existing.st_atim, info.st_atim))) {
    to.record->Note(name, info, existing);
    return true;
  }
  UniqueFd out(::openat(to.fd, name, kOpenSource));
  struct stat opened {};
  if (!out.valid() || ::fstat(out.get(), &opened) != 0 || IdOf(opened) != IdOf(existing) ||
      opened.st_uid != existing.st_uid || opened.st_gid != existing.st_gid ||
      opened.st_mode != existing.st_mode || !SameTime(opened.st_ctim, existing.st_ctim)) {
    return false;
  }
  if ((racy || !recorded) && !data_.SameContent(in, out.get(), info.st_size,
                                                info.st_blocks * 512 < info.st_size ||
                                                    existing.st_blocks * 512 < existing.st_size)) {
    return false;
  }
  const struct timespec times[2] = {info.st_atim, info.st_mtim};
  // Proven by the record, or neither has attributes (nor does a default ACL hand any, and one the
  // backup file no longer has is to be taken off the copy): only the access time may differ, and
  // there is no reason to fail when it cannot be set.
  if (recorded ||
      (!to.defaultAcl && !metadata_.HasAttributes(in) && !metadata_.HasAttributes(out.get()))) {
    if (alone && !SameTime(existing.st_atim, info.st_atim)) ::futimens(out.get(), times);
    Record(to, name, info, IdOf(existing));
    return true;
  }
  if (!alone) return false;
  // The mode is already the copy's; it is set again only because an access ACL moves its group
  // bits. An ACL the file system here refuses leaves the copy in place only where its mode gives
  // the owning group no more than the ACL did; it is named on every run, never recorded.
  AclCopy acl;
  const mode_t mode = existing.st_mode & 07777;
  if (metadata_.CopyAttributes(in, out.get(), true, acl) != 0 || acl.Narrow(mode) != mode ||
      (acl.changed && ::fchmod(out.get(), mode) != 0) || ::futimens(out.get(), times) != 0) {
    return false;
  }
  if (acl.refused != 0) {
    Fail(RefusedAclReason(acl.refused), name);
  } else {
    Record(to, name, info, IdOf(existing));
  }
  return true;
}

CopyWalker::Written CopyWalker::WriteReplacement(int in, struct stat& info, const char* name,
                                                 const Target& to, NodeId& made, bool mayRetry,
                                                 bool fresh) {
  bool unnamed = false;
  UniqueFd out = OpenReplacement(to, name, fresh, unnamed);
  if (!out.valid()) return Written::kFailed;
  AclCopy acl;
  if (!FillReplacement(in, out.get(), info, to, name, acl)) return Written::kFailed;
  // Copied up to the length seen at the open; a file that grew, shrank or was written meanwhile
  // is left out, and the destination keeps its old file. The change time too: the file's owner
  // may set its modification time back after writing it, never its change time. Asked after the
  // copy's times are set, which sets its change time: a later rewrite of the backup file moves
  // the backup's change time past the copy's, which a re-run sees.
  struct stat after {};
  if (::fstat(in, &after) != 0) return Discard(to, errno, name), Written::kFailed;
  if (!Unchanged(info, after)) {
    Unmake(to);
    if (mayRetry && after.st_size == info.st_size && SameTime(after.st_mtim, info.st_mtim)) {
      info = after;
      return Written::kAgain;
    }
    return Fail("the backup entry changed while it was copied", name), Written::kFailed;
  }
  if (info.st_nlink > 1 || to.record != nullptr) {  // its later names are linked to this copy
    struct stat written {};
    if (::fstat(out.get(), &written) != 0) return Discard(to, errno, name), Written::kFailed;
    made = IdOf(written);
  }
  if (!PutInPlace(std::move(out), unnamed, to, name)) return Written::kFailed;
  MarkStaleIfChanged(in, info, to, name);
  // In place with the narrowed mode, so that the application still has its file; named on every
  // run, as the copy lacks what its ACL granted, and so never recorded.
  if (acl.refused != 0) {
    Fail(RefusedAclReason(acl.refused), name);
  } else {
    Record(to, name, info, made);
  }
  return Written::kDone;
}

// Where nothing stands under the name yet (`fresh`), the copy is made without a name at all
// (`unnamed`) and given its name once whole: one change of the folder instead of two (which the
// workers of one folder would wait on each other for), and nothing left behind by a kill.
// Elsewhere it is made under a new temporary name (temporary_). Invalid (reported) when neither
// can be made; nothing is then left to remove.
UniqueFd CopyWalker::OpenReplacement(const Target& to, const char* name, bool fresh,
                                     bool& unnamed) {
  UniqueFd out;
  if (fresh && !unnamedRefused_) {
    out = UniqueFd(::openat(to.fd, ".", O_WRONLY | O_TMPFILE | O_CLOEXEC | O_NOCTTY, 0600));
    if (!out.valid() && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
      unnamedRefused_ = true;  // not on this file system
    }
  }
  unnamed = out.valid();
  if (unnamed) return out;
  if (const int failure = MakeTemporary(
          [&](const char* temporary) {
            out = UniqueFd(::openat(to.fd, temporary, kCreateFile, 0600));
            return out.valid() ? 0 : -1;
          },
          to.fd)) {
    FailErrno(failure, name);
    return UniqueFd();
  }
  return out;
}

// Private to the run until whole: created 0600, and given its owner, ACL and mode only once its
// content is in, the set-ID bits last of all, after the owner is set. False (the replacement
// removed, the entry reported) when a step fails.
bool CopyWalker::FillReplacement(int in, int out, const struct stat& info, const Target& to,
                                 const char* name, AclCopy& acl) {
  if (const int failure = data_.Copy(in, out, info)) return Discard(to, failure, name);
  const mode_t mode = metadata_.SetOwnerAndGetMode(out, info);
  // The access ACL is set whatever the folder held when the copy entered it: a default ACL given
  // to the folder since then handed the new file entries that the chmod below would make
  // effective. Without the backup's ACL, the mode alone decides.
  if (const int failure = metadata_.CopyAttributes(in, out, true, acl)) {
    return Discard(to, failure, name);
  }
  if (::fchmod(out, acl.Narrow(mode)) != 0) return Discard(to, errno, name);
  const struct timespec times[2] = {info.st_atim, info.st_mtim};
  if (::futimens(out, times) != 0) return Discard(to, errno, name);
  return true;
}

// Gives the whole replacement `out` the destination name. False (reported) when it could not;
// a replacement with a temporary name is then removed, one without a name goes with `out`.
bool CopyWalker::PutInPlace(UniqueFd out, bool unnamed, const Target& to, const char* name) {
  if (!unnamed) {
    if (const int failure = out.reset()) return Discard(to, failure, name);
    return Replace(to, name);
  }
  // Linked while still open: the descriptor is all that keeps it. A name taken meanwhile is
  // replaced as any other, through a temporary name.
  const FdPath path(out.get());
  if (::linkat(AT_FDCWD, path.text, to.fd, name, AT_SYMLINK_FOLLOW) != 0) {
    if (errno != EEXIST) return FailErrno(errno, name);
    if (const int failure = LinkTemporary(path.text, to)) return FailErrno(failure, name);
    if (!Replace(to, name)) return false;
  }
  if (const int failure = out.reset()) return FailErrno(failure, name);
  return true;
}

// The backup file changed between the last look at it and the rename, which may move the copy's
// change time on: the copy is whole, and was the backup file's when looked at, but a re-run could
// take it for up to date when its change time ended up past the window of the backup's. It is
// then given a time no backup file has, so that a re-run replaces it.
void CopyWalker::MarkStaleIfChanged(int in, const struct stat& info, const Target& to,
                                    const char* name) {
  struct stat after {};
  if (::fstat(in, &after) != 0 || Unchanged(info, after)) return;
  const struct timespec stale[2] = {{0, UTIME_OMIT}, {0, 1}};
  struct stat published {};
  if (::fstatat(to.fd, name, &published, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(published.st_mode) &&
      published.st_size == info.st_size && SameTime(published.st_mtim, info.st_mtim) &&
      Nanoseconds(published.st_ctim) >= Nanoseconds(after.st_ctim) + to.window) {
    ::utimensat(to.fd, name, stale, AT_SYMLINK_NOFOLLOW);
  }
}

void CopyWalker::Record(const Target& to, const char* name, const struct stat& info, NodeId copy) {
  if (to.record == nullptr) return;
  // Its change time as the rename or the times left it, asked last.
  struct stat now {};
  if (::fstatat(to.fd, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && IdOf(now) == copy) {
    to.record->Note(name, info, now);
  }
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
int CopyWalker::MakeTemporary(const std::function<int(const char* temporary)>& make, int folder) {
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
    if (make(temporary_) == 0) {
      temporaryFolder_ = folder;
      return 0;
    }
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

int CopyWalker::LinkTemporary(const char* nodePath, const Target& to) {
  return MakeTemporary(
      [&](const char* temporary) {
        return ::linkat(AT_FDCWD, nodePath, to.fd, temporary, AT_SYMLINK_FOLLOW);
      },
      to.fd);
}

// Renames the node made under temporary_ over the destination name; removes it when that fails.
bool CopyWalker::Replace(const Target& to, const char* name) {
  if (::renameat(to.fd, temporary_, to.fd, name) == 0) {
    temporaryFolder_ = -1;
    return true;
  }
  if (errno == EISDIR) {
    Unmake(to);
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

void CopyWalker::Unmake(const Target& to) {
  if (temporaryFolder_ >= 0) ::unlinkat(to.fd, temporary_, 0);
  temporaryFolder_ = -1;
}

// Removes the node made under temporary_ and reports the entry.
bool CopyWalker::Discard(const Target& to, int error, std::string_view name) {
  Unmake(to);
  return FailErrno(error, name);
}

}  // namespace qelrestore::posix
