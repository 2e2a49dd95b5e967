#include "copy/copy_engine.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "copy/copy_leftovers.h"
#include "copy/copy_walker.h"

namespace qelrestore::posix {
namespace {

constexpr int kOpenFolder = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Folders whose entries are still being copied, beside those the walk is in.
constexpr size_t kWaitingFolders = 16;

bool Same(const struct stat& info, NodeId id) {
  return IdOf(info) == id;
}

const struct timespec* TimesOf(const struct stat& info, struct timespec (&times)[2]) {
  times[0] = info.st_atim;
  times[1] = info.st_mtim;
  return times;
}

// Notes the identity of every folder of the backup, as far down as the copy goes.
class BackupFolders : public BackupWalk {
 public:
  BackupFolders(NodeId destinationRoot, std::vector<NodeId>& folders)
      : BackupWalk(destinationRoot), folders_(folders) {}

 private:
  void Entering(int, const char*, const struct stat& info) override {
    folders_.push_back(IdOf(info));
  }
  void Met(int, const char*) override {}

  std::vector<NodeId>& folders_;
};

// Nanoseconds within which a time this file system wrote cannot be told from another: the kernel
// stamps times from a clock that moves in ticks of a few milliseconds on the file systems that
// keep nanoseconds; any other (a network share, one that keeps seconds or two) gets two seconds.
int64_t TimeWindow(int source, int target) {
  constexpr int64_t kFine = 100'000'000;
  constexpr int64_t kCoarse = 2'000'000'000;
  const auto fine = [](int fd) {
    struct statfs info {};
    if (::fstatfs(fd, &info) != 0) return false;
    switch (static_cast<uint64_t>(info.f_type)) {
      case 0xEF53:      // ext4 (its older forms keep seconds: their times end in 0 ns)
      case 0x58465342:  // xfs
      case 0x9123683E:  // btrfs
      case 0x01021994:  // tmpfs
      case 0xF2F52010:  // f2fs
      case 0x794C7630:  // overlay
        return true;
      default:
        return false;
    }
  };
  return fine(source) && fine(target) ? kFine : kCoarse;
}

}  // namespace

void CopyWalker::Walk(const std::string& sourceFolder, const std::string& destinationFolder) {
  run_.sourceRoot = sourceFolder.empty() ? "." : sourceFolder;
  if (run_.sourceRoot.back() != '/') run_.sourceRoot += '/';
  // The two named folders are followed when they are links: the caller chose them.
  UniqueFd source(::open(run_.sourceRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat info {};
  if (!source.valid() || ::fstat(source.get(), &info) != 0) {
    FailErrno(errno, "");
    return;
  }
  run_.backupRoot = IdOf(info);
  struct stat destination {};
  run_.destinationFd = OpenDestinationRoot(destinationFolder, destination);
  if (!run_.destinationFd.valid()) return;
  if (Same(destination, run_.backupRoot)) {
    Fail("the destination folder is the backup folder itself", "");
    return;
  }
  run_.destinationRoot = IdOf(destination);
  // Before any entry of the folder is begun, so that no temporary of this run is taken for one.
  run_.leftoversRemoved += RemoveLeftovers(run_.destinationFd.get());
  sourcePath_.assign(1, run_.backupRoot);
  // Every folder of the backup is known before anything is written: a destination folder that
  // is one of them under another name (a bind mount) is refused wherever it is met.
  run_.backupFolders.assign(1, run_.backupRoot);
  BackupFolders(run_.destinationRoot, run_.backupFolders)
      .Walk(OpenUnread(source.get(), "."), run_.backupRoot);
  std::sort(run_.backupFolders.begin(), run_.backupFolders.end());
  auto root = std::make_shared<FolderJob>();
  root->targetFd = run_.destinationFd.get();
  run_.records = OpenRecords(run_.recordRoot, destination);
  if (run_.records.valid()) {
    root->record = std::make_unique<FolderRecord>(run_.records.get(), destination);
    run_.recorded.push_back(IdOf(destination));
  }
  root->defaultAcl = MetadataCopier::HasDefaultAcl(root->targetFd);
  root->window = TimeWindow(source.get(), root->targetFd);
  root->source = OpenEntries(std::move(source), "");
  if (!root->source) return;
  ++run_.openFolders;
  walkPath_.assign(1, root.get());
  try {
    CopyContents(root);
  } catch (...) {
    run_.Abort(std::current_exception());
  }
  walkPath_.clear();
  Release(std::move(root));
  // Every entry handed out is copied, and every folder given its final attributes, before the
  // copy returns.
  HelpUntil([this] { return run_.openFolders.load() == 0; });
  // The records of folders a whole walk did not meet are of folders gone.
  if (!run_.stop.load()) {
    std::sort(run_.recorded.begin(), run_.recorded.end());
    DropOtherRecords(run_.records.get(), run_.recorded);
  }
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
Listing CopyWalker::OpenEntries(UniqueFd fd, const char* name) {
  DIR* dir = ::fdopendir(fd.get());
  if (dir == nullptr) {
    FailErrno(errno, name);
  } else {
    fd.release();
  }
  return Listing(dir);
}

void CopyWalker::CopyContents(const std::shared_ptr<FolderJob>& folder) {
  const FolderJob* const outer = std::exchange(folder_, folder.get());
  DIR* const dir = folder->source.get();
  while (!run_.stop.load(std::memory_order_relaxed)) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) FailErrno(errno, "");
      break;
    }
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    if (run_.ownFiles.Contains(name, [&folder] { return folder->Relative(); })) {
      Fail(kFileOfThisRestore, name);
      continue;
    }
    unsigned char type = entry->d_type;
    struct stat info {};
    // Folders are walked here; where the file system gives no type, a stat tells them apart.
    if (type == DT_UNKNOWN && ::fstatat(::dirfd(dir), name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(info.st_mode)) {
      type = DT_DIR;
    }
    if (type == DT_DIR) {
      CopyFolder(folder, name);
    } else {
      Dispatch(folder, name, type);
    }
  }
  folder_ = outer;
}

void CopyWalker::CopyFolder(const std::shared_ptr<FolderJob>& parent, const char* name) {
  // Folders whose entries are still being copied keep their two descriptors: only so many of
  // them wait beside the walk's own.
  HelpUntil([this] { return run_.openFolders.load() < walkPath_.size() + kWaitingFolders; });
  const Target to{parent->targetFd, parent->defaultAcl, parent->window, parent->record.get()};
  struct stat info {};
  UniqueFd source = OpenSourceFolder(::dirfd(parent->source.get()), name, info);
  if (!source.valid()) return;
  bool created = false;
  struct stat existing {};
  UniqueFd target = OpenTargetFolder(to, name, created, existing);
  if (!target.valid()) return;
  bool defaultAcl = false;
  if (created) {
    // A folder made here starts private (0700, without what a default ACL above handed it), so
    // nothing it receives inherits entries either.
    if (to.defaultAcl && !MetadataCopier::DropInheritedAcls(target.get())) {
      FailErrno(errno, name);
      return;
    }
  } else {
    bool accessAcl = false;
    metadata_.AclsOf(target.get(), accessAcl, defaultAcl);
    if (!OpenExistingFolderToTheCopy(source.get(), info, target.get(), existing, accessAcl, name)) {
      return;
    }
    // No entry of the folder is begun yet: what is named as a temporary is an earlier run's.
    run_.leftoversRemoved += RemoveLeftovers(target.get());
  }
  FillFolder(parent, name, std::move(source), info, std::move(target), existing, defaultAcl);
}

// Opens the backup folder `name` of the folder `from` and its stat `info`. Invalid when it is not
// to be walked: reported, but for the destination folder met inside the backup.
UniqueFd CopyWalker::OpenSourceFolder(int from, const char* name, struct stat& info) {
  UniqueFd source(::openat(from, name, kOpenFolder));
  if (!source.valid() || ::fstat(source.get(), &info) != 0) {
    FailErrno(errno, name);
    return UniqueFd();
  }
  // The destination inside the backup: its content is the copy's own output.
  if (Same(info, run_.destinationRoot)) return UniqueFd();
  if (sourcePath_.size() > kMaxFolderDepth) {
    Fail("folder too deep", name);
    return UniqueFd();
  }
  if (OnSourcePath(info)) {
    Fail("the folder contains itself (a mount loops back into the backup)", name);
    return UniqueFd();
  }
  return source;
}

// Opens the destination folder `name` in `to`, made here (`created`, private) where it was
// missing, and its stat `existing`. Invalid (reported) when nothing is to be written into it.
UniqueFd CopyWalker::OpenTargetFolder(const Target& to, const char* name, bool& created,
                                      struct stat& existing) {
  created = ::mkdirat(to.fd, name, 0700) == 0;
  if (!created && errno != EEXIST) {
    FailErrno(errno, name);
    return UniqueFd();
  }
  // O_NOFOLLOW here too: a link or a file standing where the folder goes is reported, not
  // written through.
  UniqueFd target(::openat(to.fd, name, kOpenFolder));
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
    return UniqueFd();
  }
  // Writing into a folder of the backup (the same folder under another name: a bind mount, a
  // link above the destination) would replace what is being copied, or is still to be. Asked of
  // a folder just made too: a backup folder renamed into its place before it was opened is one.
  if (IsBackupFolder(existing)) {
    Fail("the destination folder is a folder of the backup itself", name);
    return UniqueFd();
  }
  // A folder just made is the run's own, private and empty; anything else under its name was put
  // there by another account meanwhile, and nothing is written into it.
  if (created &&
      (!metadata_.OwnedByRun(existing) || (existing.st_mode & 077) != 0 || existing.st_nlink > 2)) {
    Fail("the new entry was replaced by another while it was made", name);
    return UniqueFd();
  }
  return target;
}

// Makes the existing destination folder `target` (its stat `existing`, `accessAcl` when it has an
// access ACL) ready to receive the entries of the backup folder `source` (its stat `info`), until
// FinishFolder gives it its exact final owner, ACLs, mode and times.
//
// Where the run may set owners, no file written into the folder is open meanwhile to an account
// that either its old or its final state keeps out: the folder is given the backup folder's owner
// and group first (so that an account that owned it can no longer change its mode), loses an
// access ACL the backup folder lacks, and keeps only the permission bits both its old and its
// final mode give.
//
// A run that may not set owners cannot take the folder from whoever holds it and promises nothing
// beyond what the folder already grants: it only gives the folder's owner the rights the copy
// needs to fill it, and never widens the folder to anybody else. What it writes there stays
// private to it until whole (each file is made 0600 and the run's), whoever may list the folder.
//
// False (reported) when the folder could not be made so: nothing is written into it.
bool CopyWalker::OpenExistingFolderToTheCopy(int source, const struct stat& info, int target,
                                             const struct stat& existing, bool accessAcl,
                                             const char* name) {
  if (!metadata_.MaySetOwner()) {
    if ((existing.st_mode & S_IRWXU) == S_IRWXU) return true;
    // Not checked: the chmod fails only where the run does not own the folder (or may change
    // nothing on its file system), and then the folder's bits still decide what the run may write
    // there. Each entry they keep out is named when it cannot be made; refusing the whole folder
    // would also leave out the entries the run may still write.
    [[maybe_unused]] const int ignored = ::fchmod(target, existing.st_mode | S_IRWXU);
    return true;
  }
  const mode_t mode = existing.st_mode & info.st_mode & 07777;
  const bool newOwner = existing.st_uid != info.st_uid || existing.st_gid != info.st_gid;
  if (newOwner && ::fchown(target, info.st_uid, info.st_gid) != 0) return FailErrno(errno, name);
  const bool dropAcl = accessAcl && ::fgetxattr(source, "system.posix_acl_access", nullptr, 0) <= 0;
  if (dropAcl && ::fremovexattr(target, "system.posix_acl_access") != 0 && errno != ENODATA) {
    return FailErrno(errno, name);
  }
  if ((newOwner || dropAcl || (existing.st_mode & 07777) != mode) && ::fchmod(target, mode) != 0) {
    return FailErrno(errno, name);
  }
  return true;
}

// Walks the backup folder `source` (its stat `info`) into the destination folder `target` (its
// stat `existing`; `defaultAcl` when its new entries inherit an ACL), the entry `name` of
// `parent`. The folder gets its final attributes once its last entry is done.
void CopyWalker::FillFolder(const std::shared_ptr<FolderJob>& parent, const char* name,
                            UniqueFd source, const struct stat& info, UniqueFd target,
                            const struct stat& existing, bool defaultAcl) {
  auto job = std::make_shared<FolderJob>();
  job->parent = parent;
  job->targetFd = target.get();
  job->defaultAcl = defaultAcl;
  job->window = TimeWindow(source.get(), target.get());
  if (run_.records.valid()) {
    job->record = std::make_unique<FolderRecord>(run_.records.get(), existing);
    run_.recorded.push_back(IdOf(existing));
  }
  job->target = std::move(target);
  job->name = name;
  job->info = info;
  {
    const FolderJob* const outer = std::exchange(folder_, job.get());
    job->source = OpenEntries(std::move(source), "");
    folder_ = outer;
  }
  if (!job->source) return;
  parent->pending.fetch_add(1);
  ++run_.openFolders;
  sourcePath_.push_back(IdOf(info));
  walkPath_.push_back(job.get());
  // Released however the walk below ends, so that the copy's end never waits for it.
  struct Leave {
    CopyWalker& walker;
    std::shared_ptr<FolderJob>& job;
    ~Leave() {
      walker.sourcePath_.pop_back();
      walker.walkPath_.pop_back();
      walker.Release(std::move(job));
    }
  } leave{*this, job};
  CopyContents(job);
}

// Last, once every entry of the folder is copied, so that they do not move the folder's time
// again, and the owner's rights stay while they are written.
void CopyWalker::FinishFolder(FolderJob& folder) {
  const FolderJob* const outer = std::exchange(folder_, folder.parent.get());
  const int in = ::dirfd(folder.source.get());
  const mode_t mode = metadata_.SetOwnerAndGetMode(folder.targetFd, folder.info);
  AclCopy acl;
  struct timespec times[2];
  const char* name = folder.name.c_str();
  // ACLs and attributes the backup's folder lacks are taken off whatever the folders held when
  // the copy entered them: a default ACL may have been given to the folder above since, and an
  // existing folder keeps what an earlier backup gave it. A folder whose ACL the file system
  // here refuses keeps its entries and is named: its default ACL would have told what the
  // application's new files there get.
  if (const int failure = metadata_.CopyAttributes(in, folder.targetFd, true, acl)) {
    FailErrno(failure, name);
  } else if (::fchmod(folder.targetFd, acl.Narrow(mode)) != 0 ||
             ::futimens(folder.targetFd, TimesOf(folder.info, times)) != 0) {
    FailErrno(errno, name);
  } else if (acl.refused != 0) {
    Fail(RefusedAclReason(acl.refused), name);
  }
  folder_ = outer;
}

bool CopyWalker::IsBackupFolder(const struct stat& info) const {
  return std::binary_search(run_.backupFolders.begin(), run_.backupFolders.end(), IdOf(info));
}

bool CopyWalker::OnSourcePath(const struct stat& info) const {
  return std::any_of(sourcePath_.begin(), sourcePath_.end(),
                     [&info](NodeId id) { return Same(info, id); });
}

bool CopyWalker::Fail(std::string_view reason, std::string_view name) {
  std::string path = run_.sourceRoot;
  if (folder_ != nullptr) path += folder_->Relative();
  path += name;
  if (path.size() > 1 && path.back() == '/') path.pop_back();  // the folder being walked
  run_.Fail(std::move(path), reason);
  return false;
}

bool CopyWalker::FailErrno(int error, std::string_view name) {
  return Fail(std::strerror(error), name);
}

}  // namespace qelrestore::posix
