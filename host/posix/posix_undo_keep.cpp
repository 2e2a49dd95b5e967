// The keeping half of the POSIX undo set: before a copy, what it will replace, change or add in
// the installation folder; after the run, what the run left there.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "copy/copy_engine.h"
#include "copy/copy_file_data.h"
#include "copy/copy_metadata.h"
#include "host/posix/posix_errors.h"
#include "host/posix/posix_undo_entries.h"
#include "host/posix/posix_undo_set.h"
#include "support/byte_text.h"

namespace qelrestore::posix {
namespace {

constexpr int kFolderOpen = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

UndoEntry EntryOf(char kind, const struct stat& info, std::string path) {
  UndoEntry entry;
  entry.kind = kind;
  entry.type = TypeOf(info);
  entry.size =
      S_ISREG(info.st_mode) || S_ISLNK(info.st_mode) ? static_cast<uint64_t>(info.st_size) : 0;
  entry.inode = info.st_ino;
  entry.mode = info.st_mode & 07777;
  entry.uid = info.st_uid;
  entry.gid = info.st_gid;
  entry.atime = info.st_atim;
  entry.mtime = info.st_mtim;
  entry.path = std::move(path);
  return entry;
}

std::string Joined(const std::string& folder, const char* name) {
  return folder.empty() ? name : folder + '/' + name;
}

// One walk of the backup against the installation folder, in the order the copy's plan walks.
class Keeper {
 public:
  Keeper(int tree, const std::vector<std::string>& ownFiles, NodeId installation)
      : tree_(tree), own_(ownFiles), installation_(installation) {}

  void Walk(int source, int target, const std::string& folder, size_t depth);
  std::string entries;
  KeptForUndo kept;

 private:
  void Keep(int target, const char* name, const struct stat& existing, const std::string& path,
            int mirror);
  void NotKept(const std::string& path, int error) {
    NoteNamed(kept.notKept, kept.notKeptCount,
              NotCopied{DecodeUtf8(path), DecodeUtf8(std::strerror(error))});
  }
  void Added(const struct stat& info, const std::string& path) {
    entries += FormatEntry(EntryOf('A', info, path));
    ++kept.added;
  }

  int tree_;
  OwnFiles own_;
  NodeId installation_;
  FileDataCopier data_;
  MetadataCopier metadata_;
};

void Keeper::Walk(int source, int target, const std::string& folder, size_t depth) {
  DIR* listing = ::fdopendir(::dup(source));
  if (listing == nullptr) return;
  UniqueFd mirror;
  const std::string below = folder.empty() ? std::string() : folder + '/';
  while (const struct dirent* entry = ::readdir(listing)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    if (own_.Contains(name, [&] { return below; })) continue;
    struct stat info {
    }, existing{};
    if (::fstatat(source, name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    const std::string path = Joined(folder, name);
    const bool exists = target >= 0 && ::fstatat(target, name, &existing, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists) {
      Added(info, path);
    } else if (S_ISDIR(info.st_mode) != S_ISDIR(existing.st_mode)) {
      continue;  // the copy names it as not copied, and leaves it as it is
    } else if (!S_ISDIR(info.st_mode)) {
      if (!mirror.valid()) mirror = OpenBelow(tree_, folder, true);
      Keep(target, name, existing, path, mirror.get());
      continue;
    }
    if (!S_ISDIR(info.st_mode) || IdOf(info) == installation_ || depth >= kMaxFolderDepth) {
      continue;
    }
    UniqueFd inner(::openat(source, name, kFolderOpen));
    UniqueFd innerTarget(exists ? ::openat(target, name, kFolderOpen) : -1);
    if (exists) {
      // The copy gives the folder the backup's mode, times, owner and attributes.
      UniqueFd attributes = OpenBelow(tree_, path, true);
      AclCopy acl;
      if (!innerTarget.valid() || !attributes.valid() ||
          metadata_.CopyAttributes(innerTarget.get(), attributes.get(), true, acl) != 0) {
        NotKept(path, errno);
        continue;
      }
      entries += FormatEntry(EntryOf('D', existing, path));
    }
    if (inner.valid()) Walk(inner.get(), exists ? innerTarget.get() : -1, path, depth + 1);
  }
  ::closedir(listing);
}

// The node itself is linked into the set: the copy puts its own in the name's place, and the old
// one lives on there, content, owner, mode, ACLs and times untouched.
void Keeper::Keep(int target, const char* name, const struct stat& existing,
                  const std::string& path, int mirror) {
  UndoEntry entry = EntryOf('K', existing, path);
  int error = mirror < 0 ? errno : 0;
  if (error == 0 && ::linkat(target, name, mirror, name, 0) != 0) {
    error = errno;
    // Another file system, or a node the run may not link (another account's, to a run that is
    // not root): a copy, then.
    if (error == EXDEV || error == EPERM || error == EMLINK) {
      error = CopyNode(target, name, existing, mirror, name, data_, metadata_);
      entry.copied = true;
      kept.copied = true;
    }
  }
  if (error != 0) return NotKept(path, error);
  entries += FormatEntry(entry);
  ++kept.files;
  kept.bytes += entry.size;
}

}  // namespace

int CopyNode(int from, const char* fromName, const struct stat& info, int to, const char* toName,
             FileDataCopier& data, MetadataCopier& metadata) {
  const struct timespec times[2] = {info.st_atim, info.st_mtim};
  if (S_ISLNK(info.st_mode)) {
    std::string target(static_cast<size_t>(info.st_size) + 1, '\0');
    const ssize_t length = ::readlinkat(from, fromName, target.data(), target.size());
    if (length < 0 || static_cast<size_t>(length) >= target.size())
      return length < 0 ? errno : EAGAIN;
    target.resize(static_cast<size_t>(length));
    if (::symlinkat(target.c_str(), to, toName) != 0) return errno;
    if ((metadata.MaySetOwner() &&
         ::fchownat(to, toName, info.st_uid, info.st_gid, AT_SYMLINK_NOFOLLOW) != 0) ||
        ::utimensat(to, toName, times, AT_SYMLINK_NOFOLLOW) != 0) {
      const int error = errno;
      ::unlinkat(to, toName, 0);
      return error;
    }
    return 0;
  }
  if (!S_ISREG(info.st_mode)) return ENOTSUP;
  UniqueFd in(::openat(from, fromName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  UniqueFd out(::openat(to, toName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  AclCopy acl;
  int error = !in.valid() || !out.valid() ? errno : data.Copy(in.get(), out.get(), info);
  if (error == 0 && metadata.MaySetOwner() && ::fchown(out.get(), info.st_uid, info.st_gid) != 0) {
    error = errno;
  }
  if (error == 0) error = metadata.CopyAttributes(in.get(), out.get(), true, acl);
  if (error == 0 && (::fchmod(out.get(), info.st_mode & 07777) != 0 ||
                     ::futimens(out.get(), times) != 0 || ::fsync(out.get()) != 0)) {
    error = errno;
  }
  if (error != 0 && out.valid()) ::unlinkat(to, toName, 0);
  return error;
}

void StartUndoSet(const std::string& set) {
  const std::string parent = set.substr(0, set.rfind('/') + 1);
  const std::string name = set.substr(set.rfind('/') + 1);
  UniqueFd folder(
      ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.valid()) throw ErrnoError(errno, "open", parent);
  if (!RemoveTree(folder.get(), name.c_str()) ||
      !RemoveTree(folder.get(), (name + ".old").c_str())) {
    throw ErrnoError(errno, "remove", set);
  }
  if (::mkdirat(folder.get(), name.c_str(), 0700) != 0) throw ErrnoError(errno, "mkdir", set);
}

KeptForUndo KeepReplaced(const std::string& set, const std::string& source,
                         const std::string& installation,
                         const std::vector<std::string>& ownFiles) {
  UniqueFd setFd(::open(set.c_str(), kFolderOpen));
  UniqueFd sourceFd(::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  UniqueFd target(::open(installation.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat info {};
  if (!setFd.valid()) throw ErrnoError(errno, "open", set);
  if (!sourceFd.valid() || !target.valid() || ::fstat(target.get(), &info) != 0) {
    throw ErrnoError(errno, "open", sourceFd.valid() ? installation : source);
  }
  const std::string item = ItemName(info);
  // A folder named twice in one run: the set already holds it as it was before the run.
  if (::mkdirat(setFd.get(), item.c_str(), 0700) != 0) {
    if (errno == EEXIST) return {};
    throw ErrnoError(errno, "mkdir", set + "/" + item);
  }
  UniqueFd itemFd(::openat(setFd.get(), item.c_str(), kFolderOpen));
  UniqueFd tree = itemFd.valid() ? OpenBelow(itemFd.get(), "tree", true) : UniqueFd();
  if (!tree.valid()) throw ErrnoError(errno, "mkdir", set + "/" + item + "/tree");
  Keeper keeper(tree.get(), ownFiles, IdOf(info));
  keeper.entries = FormatEntry(EntryOf('D', info, ""));
  keeper.Walk(sourceFd.get(), target.get(), "", 0);
  // The links and copies are on the disk before the entries that name them, and both before the
  // copy replaces anything.
  if (::syncfs(setFd.get()) != 0) throw ErrnoError(errno, "syncfs", set);
  WriteWhole(itemFd.get(), "entries", keeper.entries);
  return keeper.kept;
}

void NoteLeft(const std::string& set, const std::string& installation) {
  UniqueFd root;
  UniqueFd item = OpenItem(set, installation, &root);
  std::vector<std::string> lines;
  if (!item.valid() || !root.valid() || !ReadLines(item.get(), "entries", lines)) {
    throw ErrnoError(errno, "open", set);
  }
  FolderCache folders(root.get());
  std::string left;
  for (const std::string& line : lines) {
    UndoEntry entry;
    struct stat info {};
    const bool there = ParseEntry(line, entry) && entry.kind != 'D' &&
                       ::fstatat(folders.Open(FolderOf(entry.path)), NameOf(entry.path).c_str(),
                                 &info, AT_SYMLINK_NOFOLLOW) == 0;
    left += FormatLeft(StateOf(there ? &info : nullptr));
  }
  WriteWhole(item.get(), "left", left);
}

void DropUndoSet(const std::string& set) {
  const std::string parent = set.substr(0, set.rfind('/') + 1);
  const std::string name = set.substr(set.rfind('/') + 1);
  UniqueFd folder(
      ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // Renamed first: a drop cut short leaves no set that an undo would take for a whole one.
  if (!folder.valid() ||
      (::renameat(folder.get(), name.c_str(), folder.get(), (name + ".old").c_str()) != 0 &&
       errno != ENOENT) ||
      !RemoveTree(folder.get(), (name + ".old").c_str())) {
    throw ErrnoError(errno, "remove", set);
  }
}

}  // namespace qelrestore::posix
