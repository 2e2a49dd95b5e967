#include "host/posix/copy_engine.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "host/posix/copy_walker.h"

namespace qelrestore::posix {
namespace {

constexpr int kOpenFolder = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool Same(const struct stat& info, NodeId id) {
  return IdOf(info) == id;
}

const struct timespec* TimesOf(const struct stat& info, struct timespec (&times)[2]) {
  times[0] = info.st_atim;
  times[1] = info.st_mtim;
  return times;
}

// Opens a folder for a look at its entries that leaves its access time alone (where the run may:
// it owns the folder, or is root), so that the copy still takes the time the backup gave it.
UniqueFd OpenUnread(int from, const char* name) {
  UniqueFd folder(::openat(from, name, kOpenFolder | O_NONBLOCK | O_NOATIME));
  if (!folder.valid() && errno == EPERM) {
    folder = UniqueFd(::openat(from, name, kOpenFolder | O_NONBLOCK));
  }
  return folder;
}

}  // namespace

CopyReport CopyWalker::Run(const std::string& sourceFolder, const std::string& destinationFolder) {
  sourceRoot_ = sourceFolder.empty() ? "." : sourceFolder;
  if (sourceRoot_.back() != '/') sourceRoot_ += '/';
  // The two named folders are followed when they are links: the caller chose them.
  UniqueFd source(::open(sourceRoot_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat info {};
  if (!source.valid() || ::fstat(source.get(), &info) != 0) {
    FailErrno(errno, "");
    return std::move(report_);
  }
  backupRoot_ = IdOf(info);
  struct stat destination {};
  destinationFd_ = OpenDestinationRoot(destinationFolder, destination);
  if (!destinationFd_.valid()) return std::move(report_);
  if (Same(destination, backupRoot_)) {
    Fail("the destination folder is the backup folder itself", "");
    return std::move(report_);
  }
  destinationRoot_ = IdOf(destination);
  sourcePath_.assign(1, backupRoot_);
  // Every folder of the backup is known before anything is written: a destination folder that
  // is one of them under another name (a bind mount) is refused wherever it is met.
  backupFolders_.assign(1, backupRoot_);
  CollectBackupFolders(OpenUnread(source.get(), "."), 0);
  std::sort(backupFolders_.begin(), backupFolders_.end());
  const Target to{destinationFd_.get(), MetadataCopier::HasDefaultAcl(destinationFd_.get())};
  if (const auto dir = OpenEntries(std::move(source))) CopyContents(dir.get(), to);
  return std::move(report_);
}

// Opens the destination folder, creating it and any missing folder above it first.
UniqueFd CopyWalker::OpenDestinationRoot(const std::string& destination, struct stat& info) {
  const std::string path = destination.empty() ? "." : destination;
  UniqueFd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.valid() && errno == ENOENT) {
    for (size_t end = 1; end <= path.size(); ++end) {
      // An existing part answers EEXIST; a real obstacle shows in the open that follows.
      if (end == path.size() || path[end] == '/') ::mkdir(path.substr(0, end).c_str(), 0777);
    }
    folder = UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  if (!folder.valid() || ::fstat(folder.get(), &info) != 0) {
    Fail(std::string("the destination folder cannot be opened: ") + std::strerror(errno), "");
    return UniqueFd();
  }
  return folder;
}

// Opens the folder `fd` for reading its entries; the DIR owns the descriptor from then on, and
// its dirfd() serves the folder's attributes after the walk.
std::unique_ptr<DIR, CopyWalker::DirCloser> CopyWalker::OpenEntries(UniqueFd fd) {
  DIR* dir = ::fdopendir(fd.get());
  if (dir == nullptr) {
    FailErrno(errno, "");
  } else {
    fd.release();
  }
  return std::unique_ptr<DIR, DirCloser>(dir);
}

void CopyWalker::CopyContents(DIR* dir, const Target& to) {
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) FailErrno(errno, "");
      return;
    }
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    CopyEntry(::dirfd(dir), name, entry->d_type, to);
  }
}

// The directory entry's type saves a stat for files and folders, which are opened and examined
// through their descriptor anyway; only the rest (or where the file system gives no type) is
// stat'ed here.
void CopyWalker::CopyEntry(int from, const char* name, unsigned char type, const Target& to) {
  if (type == DT_REG) return CopyRegularFile(from, name, to);
  if (type == DT_DIR) return CopyFolder(from, name, to);
  struct stat info {};
  if (::fstatat(from, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
    FailErrno(errno, name);
  } else if (S_ISREG(info.st_mode)) {
    CopyRegularFile(from, name, to);
  } else if (S_ISDIR(info.st_mode)) {
    CopyFolder(from, name, to);
  } else if (S_ISLNK(info.st_mode)) {
    CopyLink(from, name, info, to);
  } else {
    CopySpecial(from, name, info, to);
  }
}

void CopyWalker::CopyFolder(int from, const char* name, const Target& to) {
  UniqueFd source(::openat(from, name, kOpenFolder));
  struct stat info {};
  if (!source.valid() || ::fstat(source.get(), &info) != 0) {
    FailErrno(errno, name);
    return;
  }
  // The destination inside the backup: its content is the copy's own output.
  if (Same(info, destinationRoot_)) return;
  if (sourcePath_.size() > kMaxFolderDepth) {
    Fail("folder too deep", name);
    return;
  }
  if (OnSourcePath(info)) {
    Fail("the folder contains itself (a mount loops back into the backup)", name);
    return;
  }

  const bool created = ::mkdirat(to.fd, name, 0700) == 0;
  if (!created && errno != EEXIST) {
    FailErrno(errno, name);
    return;
  }
  // O_NOFOLLOW here too: a link or a file standing where the folder goes is reported, not
  // written through.
  UniqueFd target(::openat(to.fd, name, kOpenFolder));
  struct stat existing {};
  if (!target.valid() || ::fstat(target.get(), &existing) != 0) {
    if (errno == ELOOP || errno == ENOTDIR) {
      const bool link =
          ::fstatat(to.fd, name, &existing, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(existing.st_mode);
      Fail(
          link ? "a symbolic link stands where a folder goes" : "a file stands where a folder goes",
          name);
    } else {
      FailErrno(errno, name);
    }
    return;
  }
  // Writing into a folder of the backup (the same folder under another name: a bind mount, a
  // link above the destination) would replace what is being copied, or is still to be. Asked of
  // a folder just made too: a backup folder renamed into its place before it was opened is one.
  if (IsBackupFolder(existing)) {
    Fail("the destination folder is a folder of the backup itself", name);
    return;
  }
  // A folder just made is the run's own, private and empty; anything else under its name was put
  // there by another account meanwhile, and nothing is written into it.
  if (created &&
      (!metadata_.OwnedByRun(existing) || (existing.st_mode & 077) != 0 || existing.st_nlink > 2)) {
    Fail("the new entry was replaced by another while it was made", name);
    return;
  }
  bool accessAcl = false;
  bool defaultAcl = false;
  if (!created) metadata_.AclsOf(target.get(), accessAcl, defaultAcl);
  if (!created && metadata_.MaySetOwner()) {
    // An existing folder is filled under the backup folder's owner and group, with no more rights
    // than both its old and its final mode give, and without an access ACL the backup folder
    // lacks: no file written into it is open meanwhile to an account its final state keeps out.
    // The owner is set first, so that an account that owned the folder can no longer change its
    // mode. Its exact final state is set last.
    const mode_t mode = existing.st_mode & info.st_mode & 07777;
    const bool newOwner = existing.st_uid != info.st_uid || existing.st_gid != info.st_gid;
    const bool dropAcl =
        accessAcl && ::fgetxattr(source.get(), "system.posix_acl_access", nullptr, 0) <= 0;
    if ((newOwner && ::fchown(target.get(), info.st_uid, info.st_gid) != 0) ||
        (dropAcl && ::fremovexattr(target.get(), "system.posix_acl_access") != 0 &&
         errno != ENODATA) ||
        ((newOwner || dropAcl || (existing.st_mode & 07777) != mode) &&
         ::fchmod(target.get(), mode) != 0)) {
      FailErrno(errno, name);
      return;
    }
  } else if (!created && (existing.st_mode & S_IRWXU) != S_IRWXU) {
    ::fchmod(target.get(), existing.st_mode | S_IRWXU);  // the source's bits are set below
  }

  // A folder made here starts private (0700, without what a default ACL above handed it), so
  // nothing it receives inherits entries either.
  if (created && to.defaultAcl && !MetadataCopier::DropInheritedAcls(target.get())) {
    FailErrno(errno, name);
    return;
  }
  const Target inner{target.get(), defaultAcl};
  const size_t mark = relative_.size();
  relative_.append(name).push_back('/');
  sourcePath_.push_back(IdOf(info));
  const auto dir = OpenEntries(std::move(source));
  if (dir) CopyContents(dir.get(), inner);
  sourcePath_.pop_back();
  relative_.resize(mark);
  if (!dir) return;
  const int in = ::dirfd(dir.get());

  // Last, so that the entries just written do not move the folder's time again, and the owner's
  // rights stay while they are written.
  const mode_t mode = metadata_.KeepOwner(target.get(), info);
  bool aclSet = false;
  struct timespec times[2];
  // ACLs the backup's folder lacks are taken off whatever the folders held when the copy entered
  // them: a default ACL may have been given to the folder above since.
  if (const int failure = metadata_.CopyAttributes(in, target.get(), true, aclSet, true)) {
    FailErrno(failure, name);
  } else if (::fchmod(target.get(), mode) != 0 ||
             ::futimens(target.get(), TimesOf(info, times)) != 0) {
    FailErrno(errno, name);
  }
}

void CopyWalker::CollectBackupFolders(UniqueFd folder, size_t depth) {
  if (!folder.valid()) return;  // the walk meets it again and reports it
  const auto dir = std::unique_ptr<DIR, DirCloser>(::fdopendir(folder.get()));
  if (!dir) return;
  folder.release();
  while (const dirent* entry = ::readdir(dir.get())) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    if (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN) continue;
    UniqueFd below = OpenUnread(::dirfd(dir.get()), name);
    struct stat info {};
    if (!below.valid() || ::fstat(below.get(), &info) != 0) continue;
    // The destination inside the backup is not walked: its folders are the copy's output. Nor is
    // a folder that contains itself (a mount looping back), which the walk reports.
    if (Same(info, destinationRoot_) || OnSourcePath(info)) continue;
    backupFolders_.push_back(IdOf(info));
    if (depth + 1 < kMaxFolderDepth) {
      sourcePath_.push_back(IdOf(info));
      CollectBackupFolders(std::move(below), depth + 1);
      sourcePath_.pop_back();
    }
  }
}

bool CopyWalker::IsBackupFolder(const struct stat& info) const {
  return std::binary_search(backupFolders_.begin(), backupFolders_.end(), IdOf(info));
}

bool CopyWalker::OnSourcePath(const struct stat& info) const {
  return std::any_of(sourcePath_.begin(), sourcePath_.end(),
                     [&info](NodeId id) { return Same(info, id); });
}

bool CopyWalker::Fail(std::string_view reason, std::string_view name) {
  report_.complete = false;
  if (report_.failureCount++ < kNotCopiedNamed) {
    std::string path = sourceRoot_;
    path += relative_;
    path += name;
    if (path.size() > 1 && path.back() == '/') path.pop_back();  // the folder being walked
    report_.failures.push_back({std::move(path), std::string(reason)});
  }
  return false;
}

bool CopyWalker::FailErrno(int error, std::string_view name) {
  return Fail(std::strerror(error), name);
}

CopyReport CopyFolderContents(const std::string& sourceFolder, const std::string& destinationFolder,
                              const CopyProgress& progress) {
  return CopyWalker(progress).Run(sourceFolder, destinationFolder);
}

}  // namespace qelrestore::posix
