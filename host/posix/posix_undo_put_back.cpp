// The undo half of the POSIX undo set: the check that nothing the run left has changed since, and
// the put-back of what the set kept.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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

// True when the name holds what the set kept there: the very node (moved back from the set), or
// a copy put back.
bool AlreadyBack(const UndoEntry& entry, const std::optional<struct stat>& now) {
  if (!now || TypeOf(*now) != entry.type || static_cast<uint64_t>(now->st_size) != entry.size) {
    return false;
  }
  if (!entry.copied) return static_cast<uint64_t>(now->st_ino) == entry.inode;
  return now->st_mtim.tv_sec == entry.mtime.tv_sec && now->st_mtim.tv_nsec == entry.mtime.tv_nsec &&
         (now->st_mode & 07777) == entry.mode;
}

// Named by its path below the installation folder: the host names it in the run's own terms.
std::wstring Named(const std::string& /*installation*/, const UndoEntry& entry) {
  return DecodeUtf8(entry.path);
}

// Puts the kept node of `entry` back under its name: the node itself, moved from the set over
// whatever stands there, or a copy of the set's copy, made beside the name and renamed over it.
// 0 or the errno of the failure.
int PutBack(const UndoEntry& entry, int folder, int kept, FileDataCopier& data,
            MetadataCopier& metadata) {
  const std::string name = NameOf(entry.path);
  if (!entry.copied) {
    return ::renameat(kept, name.c_str(), folder, name.c_str()) == 0 ? 0 : errno;
  }
  struct stat as {};
  if (::fstatat(kept, name.c_str(), &as, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  as.st_atim = entry.atime;  // the times it had, which reading the copy may have moved
  as.st_mtim = entry.mtime;
  char temporary[32];
  for (unsigned attempt = 0;; ++attempt) {
    std::snprintf(temporary, sizeof temporary, ".qelrestore-u%05u",
                  (static_cast<unsigned>(::getpid()) + attempt) % 100000);
    const int error = CopyNode(kept, name.c_str(), as, folder, temporary, data, metadata);
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

// What one stretch of the kept entries came to.
struct KeptBack {
  struct Failure {
    size_t entry;
    int error;
    const char* reason;
  };
  uint64_t files = 0;
  std::vector<Failure> failures;
};

// Puts back the kept entries of item.entries[begin, end).
void PutKeptBack(const Item& item, size_t begin, size_t end, KeptBack& result) {
  FileDataCopier data;
  MetadataCopier metadata;
  FolderCache folders(item.root.get()), kept(item.tree.get());
  for (size_t i = begin; i < end; ++i) {
    const UndoEntry& entry = item.entries[i];
    if (entry.kind != 'K') continue;
    const std::string name = NameOf(entry.path);
    const int folder = folders.Open(FolderOf(entry.path));
    const int keptFolder = kept.Open(FolderOf(entry.path));
    const std::optional<struct stat> now = Lstat(folder, name);
    const struct timespec times[2] = {entry.atime, entry.mtime};
    int error = 0;
    if (folder < 0) {
      result.failures.push_back(
          {i, 0, "the folder it was in is gone, or a link stands in its place"});
    } else if (now && S_ISDIR(now->st_mode)) {
      result.failures.push_back({i, 0, "a folder stands where it was"});
    } else if ((error = AlreadyBack(entry, now)
                            ? 0
                            : PutBack(entry, folder, keptFolder, data, metadata)) != 0 ||
               // The node itself may have been read (its access time moved) or, a link, touched.
               ::utimensat(folder, name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
      result.failures.push_back({i, error != 0 ? error : errno, nullptr});
    } else {
      ++result.files;
    }
  }
}

}  // namespace

UndoCheck CheckUndo(const std::string& set, const std::string& installation) {
  UndoCheck check;
  Item item;
  if (!ReadItem(set, installation, item)) return check;
  check.covered = true;
  FolderCache folders(item.root.get());
  for (size_t i = 0; i < item.entries.size(); ++i) {
    const UndoEntry& entry = item.entries[i];
    if (entry.kind == 'D') continue;
    const std::string name = NameOf(entry.path);
    const std::optional<struct stat> now = Lstat(folders.Open(FolderOf(entry.path)), name);
    bool changed = false;
    if (entry.kind == 'K') {
      const bool back = AlreadyBack(entry, now);
      changed = !back && item.left && StateOf(now ? &*now : nullptr) != (*item.left)[i];
      ++check.files;
      check.bytes += entry.size;
    } else {
      // A folder the run added changes with what is put in it; it is removed only when empty.
      changed = now && entry.type != 'd' && item.left && StateOf(&*now) != (*item.left)[i];
      ++check.added;
    }
    if (!changed) continue;
    NoteNamed(check.changed, check.changedCount, Named(installation, entry));
  }
  return check;
}

UndoneFolder PutBackKept(const std::string& set, const std::string& installation) {
  UndoneFolder undone;
  Item item;
  if (!ReadItem(set, installation, item)) return undone;
  const auto fail = [&](const UndoEntry& entry, int error, const char* reason = nullptr) {
    NoteNamed(undone.notPutBack, undone.notPutBackCount,
              NotCopied{Named(installation, entry),
                        DecodeUtf8(reason != nullptr ? reason : std::strerror(error))});
  };
  // The kept entries go back on several threads, each a stretch of the entries: a rename waits
  // on the disk for its folder and its nodes, and the waits overlap.
  const size_t workers = std::clamp<size_t>(
      std::min<size_t>(std::thread::hardware_concurrency(), 8), 1, 1 + item.entries.size() / 2000);
  std::vector<KeptBack> stretches(workers);
  std::vector<std::thread> threads;
  for (size_t worker = 0; worker < workers; ++worker) {
    const size_t begin = item.entries.size() * worker / workers;
    const size_t end = item.entries.size() * (worker + 1) / workers;
    threads.emplace_back(
        [&, worker, begin, end] { PutKeptBack(item, begin, end, stretches[worker]); });
  }
  for (std::thread& thread : threads) thread.join();
  for (const KeptBack& stretch : stretches) {
    undone.files += stretch.files;
    for (const KeptBack::Failure& failure : stretch.failures) {
      fail(item.entries[failure.entry], failure.error, failure.reason);
    }
  }
  MetadataCopier metadata;
  FolderCache folders(item.root.get());
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
