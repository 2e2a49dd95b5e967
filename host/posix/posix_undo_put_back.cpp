// The undo half of the POSIX undo set: the check that nothing the run left has changed since, and
// the put-back of what the set kept.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "copy/copy_file_data.h"
#include "copy/copy_leftovers.h"
#include "copy/copy_metadata.h"
#include "host/posix/posix_errors.h"
#include "host/posix/posix_undo_entries.h"
#include "host/posix/posix_undo_set.h"
#include "support/byte_text.h"

namespace qelrestore::posix {
namespace {

// What the set holds of one installation folder, read whole.
struct Item {
  UniqueFd root;  // the installation folder
  UniqueFd tree;
  std::vector<UndoEntry> entries;
  std::optional<std::vector<LeftState>> left;  // none when the run never noted it
};

bool ReadItem(const std::string& set, const std::string& installation, Item& item) {
  UniqueFd folder = OpenItem(set, installation, &item.root);
  std::vector<std::string> lines, left;
  if (!folder.valid() || !item.root.valid() || !ReadLines(folder.get(), "entries", lines)) {
    return false;  // a keeping run killed before its entries were written replaced nothing
  }
  item.tree = OpenBelow(folder.get(), "tree");
  for (const std::string& line : lines) {
    UndoEntry entry;
    if (!ParseEntry(line, entry)) throw Error(code::kPathFileAccess, L"The undo set is damaged");
    item.entries.push_back(std::move(entry));
  }
  if (ReadLines(folder.get(), "left", left) && left.size() == lines.size()) {
    item.left.emplace(left.size());
    for (size_t i = 0; i < left.size(); ++i) ParseLeft(left[i], (*item.left)[i]);
  }
  return true;
}

std::optional<struct stat> Lstat(int folder, const std::string& name) {
  struct stat info {};
  if (folder < 0 || ::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return std::nullopt;
  }
  return info;
}

// True when the name holds what the set kept there: the very node, or a copy put back.
bool AlreadyBack(const UndoEntry& entry, const std::optional<struct stat>& now,
                 const std::optional<struct stat>& kept) {
  if (!now || !kept || TypeOf(*now) != entry.type) return false;
  if (!entry.copied) return IdOf(*now) == IdOf(*kept);
  return static_cast<uint64_t>(now->st_size) == entry.size &&
         now->st_mtim.tv_sec == entry.mtime.tv_sec && now->st_mtim.tv_nsec == entry.mtime.tv_nsec &&
         (now->st_mode & 07777) == entry.mode;
}

// Named by its path below the installation folder: the host names it in the run's own terms.
std::wstring Named(const std::string& /*installation*/, const UndoEntry& entry) {
  return DecodeUtf8(entry.path);
}

// Puts the kept node of `entry` back under its name: the node itself, linked beside it and
// renamed over it, or a copy of the set's copy. 0 or the errno of the failure.
int PutBack(const UndoEntry& entry, int folder, int kept, const struct stat& keptInfo,
            FileDataCopier& data, MetadataCopier& metadata) {
  const std::string name = NameOf(entry.path);
  char temporary[32];
  for (unsigned attempt = 0;; ++attempt) {
    std::snprintf(temporary, sizeof temporary, ".qelrestore-u%05u",
                  (static_cast<unsigned>(::getpid()) + attempt) % 100000);
    int error = 0;
    if (!entry.copied) {
      if (::linkat(kept, name.c_str(), folder, temporary, 0) != 0) error = errno;
    } else {
      struct stat as = keptInfo;  // with the times it had, which reading the copy may have moved
      as.st_atim = entry.atime;
      as.st_mtim = entry.mtime;
      error = CopyNode(kept, name.c_str(), as, folder, temporary, data, metadata);
    }
    if (error == EEXIST && attempt < 100) continue;
    if (error != 0) return error;
    break;
  }
  if (::renameat(folder, temporary, folder, name.c_str()) != 0) {
    const int error = errno;
    ::unlinkat(folder, temporary, 0);
    return error;
  }
  return 0;
}

// A folder the copy changed gets back its attributes, ACLs, owner, mode and times, in this order:
// a chown drops set-ID bits, and the mode moves an ACL's mask.
int PutFolderBack(const UndoEntry& entry, int folder, int kept, MetadataCopier& metadata) {
  AclCopy acl;
  if (folder < 0 || kept < 0) return errno != 0 ? errno : ENOENT;
  if (int error = metadata.CopyAttributes(kept, folder, true, acl); error != 0) return error;
  if (metadata.MaySetOwner() && ::fchown(folder, entry.uid, entry.gid) != 0) return errno;
  const struct timespec times[2] = {entry.atime, entry.mtime};
  if (::fchmod(folder, entry.mode) != 0 || ::futimens(folder, times) != 0) return errno;
  return 0;
}

}  // namespace

UndoCheck CheckUndo(const std::string& set, const std::string& installation) {
  UndoCheck check;
  Item item;
  if (!ReadItem(set, installation, item)) return check;
  check.covered = true;
  FolderCache folders(item.root.get()), kept(item.tree.get());
  for (size_t i = 0; i < item.entries.size(); ++i) {
    const UndoEntry& entry = item.entries[i];
    if (entry.kind == 'D') continue;
    const std::string name = NameOf(entry.path);
    const std::optional<struct stat> now = Lstat(folders.Open(FolderOf(entry.path)), name);
    bool changed = false;
    if (entry.kind == 'K') {
      const bool back = AlreadyBack(entry, now, Lstat(kept.Open(FolderOf(entry.path)), name));
      changed = !back && item.left && StateOf(now ? &*now : nullptr) != (*item.left)[i];
      ++check.files;
      check.bytes += entry.size;
    } else {
      // A folder the run added changes with what is put in it; it is removed only when empty.
      changed = now && entry.type != 'd' && item.left && StateOf(&*now) != (*item.left)[i];
      ++check.added;
    }
    if (!changed) continue;
    if (check.changed.size() < kNotCopiedNamed) check.changed.push_back(Named(installation, entry));
    ++check.changedCount;
  }
  return check;
}

UndoneFolder PutBackKept(const std::string& set, const std::string& installation) {
  UndoneFolder undone;
  Item item;
  if (!ReadItem(set, installation, item)) return undone;
  FileDataCopier data;
  MetadataCopier metadata;
  const auto fail = [&](const UndoEntry& entry, int error, const char* reason = nullptr) {
    if (undone.notPutBack.size() < kNotCopiedNamed) {
      undone.notPutBack.push_back({Named(installation, entry),
                                   DecodeUtf8(reason != nullptr ? reason : std::strerror(error))});
    }
    ++undone.notPutBackCount;
  };
  FolderCache folders(item.root.get()), kept(item.tree.get());
  for (const UndoEntry& entry : item.entries) {
    if (entry.kind != 'K') continue;
    const std::string name = NameOf(entry.path);
    const int folder = folders.Open(FolderOf(entry.path));
    const int keptFolder = kept.Open(FolderOf(entry.path));
    const std::optional<struct stat> now = Lstat(folder, name), keptInfo = Lstat(keptFolder, name);
    if (folder < 0) {
      fail(entry, 0, "the folder it was in is gone, or a link stands in its place");
    } else if (!keptInfo) {
      fail(entry, errno);
    } else if (now && S_ISDIR(now->st_mode)) {
      fail(entry, 0, "a folder stands where it was");
    } else if (int error = AlreadyBack(entry, now, keptInfo)
                               ? 0
                               : PutBack(entry, folder, keptFolder, *keptInfo, data, metadata);
               error != 0) {
      fail(entry, error);
    } else if (const struct timespec times[2] = {entry.atime, entry.mtime};
               ::utimensat(folder, name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
      // The node itself may have been read (its access time moved) or, a link, touched.
      fail(entry, errno);
    } else {
      ++undone.files;
    }
  }
  // What the run added goes, deepest first, so that the folders it made are empty by their turn.
  for (auto entry = item.entries.rbegin(); entry != item.entries.rend(); ++entry) {
    if (entry->kind != 'A') continue;
    const int folder = folders.Open(FolderOf(entry->path));
    const std::string name = NameOf(entry->path);
    const std::optional<struct stat> now = Lstat(folder, name);
    if (!now) continue;
    if (::unlinkat(folder, name.c_str(), S_ISDIR(now->st_mode) ? AT_REMOVEDIR : 0) == 0) {
      ++undone.removed;
    } else if (errno != ENOTEMPTY && errno != EEXIST) {
      fail(*entry, errno);
    }
  }
  for (auto entry = item.entries.rbegin(); entry != item.entries.rend(); ++entry) {
    if (entry->kind != 'D') continue;
    UniqueFd folder = OpenBelow(item.root.get(), entry->path);
    UniqueFd keptFolder = OpenBelow(item.tree.get(), entry->path);
    // A copy killed before its end left a temporary file the installation did not have.
    if (folder.valid()) undone.removed += RemoveLeftovers(folder.get());
    errno = 0;
    if (int error = PutFolderBack(*entry, folder.get(), keptFolder.get(), metadata); error != 0) {
      fail(*entry, error);
    }
  }
  undone.outcome = undone.notPutBackCount == 0 ? CopyOutcome::kComplete : CopyOutcome::kIncomplete;
  return undone;
}

}  // namespace qelrestore::posix
