// The folder copy's walk. One CopyRun per copy holds what its workers share: the report, the
// counts, the backup's folders, the files with several names and the work handed out. Each worker
// is a CopyWalker with its own buffers and temporary names. The calling thread walks the folders
// (copy_engine.cpp) and hands their files, links and special files (copy_entries.cpp) to the
// workers; a folder is given its final mode and times by whichever thread ends its last entry.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "copy/backup_walk.h"
#include "copy/copy_engine.h"
#include "copy/copy_file_data.h"
#include "copy/copy_metadata.h"
#include "copy/copy_node.h"
#include "copy/copy_queue.h"
#include "copy/copy_record.h"

namespace qelrestore::posix {

// A destination folder being filled, and the backup folder it is filled from. Alive while its
// entries are listed or copied: the two descriptors it holds are the only ones a waiting folder
// keeps, so the walk bounds how many of them are alive at once.
struct FolderJob {
  std::shared_ptr<FolderJob> parent;  // null for the destination folder itself
  Listing source;                     // its entries; dirfd() serves its attributes at the end
  UniqueFd target;
  int targetFd = -1;        // target, or the destination folder's own descriptor for the root
  bool defaultAcl = false;  // its new entries inherit an ACL, which those of the backup may not
  int64_t window = 0;       // nanoseconds within which two times cannot be told apart here
  std::string name;         // its name in its parent ("" for the root); its path is its
                            // folders' names, asked for only to name it, so that memory
                            // grows with the walk's depth, not with its square
  // The path below both named folders, ending in '/' ("" for the root).
  std::string Relative() const { return parent ? parent->Relative() + name + '/' : std::string(); }
  std::unique_ptr<FolderRecord> record;  // what earlier runs copied into it, and this one
  struct stat info {};                   // the backup folder's, for its final mode and times
  std::atomic<uint32_t> pending{1};      // its own listing, entries handed out, folders unfinished
};

// One file, link or special file of a folder, handed to a worker.
struct EntryTask {
  std::shared_ptr<FolderJob> folder;
  std::string name;
  unsigned char type;
};

class CopyWalker;

// What the workers of one copy share.
class CopyRun {
 public:
  CopyRun(const CopyOptions& options, const CopyProgress& progress);

  const CopyProgress& progress;
  const unsigned workers;  // 1 to kMaxCopyWorkers
  const OwnFiles ownFiles;
  const std::string recordRoot;  // where the records of destination trees are kept ("": none)
  UniqueFd records;              // this destination tree's records, when they may be trusted
  std::vector<NodeId> recorded;  // the destination folders whose records the walk read
  std::string sourceRoot;        // for messages, ending in '/'
  NodeId backupRoot;
  NodeId destinationRoot;  // never descended into as a source folder
  UniqueFd destinationFd;
  std::vector<NodeId> backupFolders;  // every folder of the backup, sorted, known before writing
  std::atomic<bool> stop{false};      // a worker failed: the rest ends as soon as it can
  std::atomic<size_t> openFolders{0};
  std::atomic<uint64_t> leftoversRemoved{0};
  WorkQueue<EntryTask> queue;

  void Fail(std::string path, std::string_view reason);
  // Counts one file copied or found up to date and tells the progress callback, one call at a
  // time.
  void Counted(uint64_t bytes, bool unchanged);
  // Keeps the first failure that was not an entry's (a throw), and stops the copy.
  void Abort(std::exception_ptr failure);
  CopyReport TakeReport();
  std::exception_ptr TakeAbort();

  // Files with several names. The copy of a backup file with several names, made for whichever
  // name a worker met first; its later names become links to it. Known by the file system's
  // handle of it: a few bytes, whatever the length and depth of its path, so that memory stays
  // bounded per file.
  static constexpr size_t kHandleBytes = 20;  // ext4, xfs, tmpfs and btrfs handles fit
  struct FirstName {
    uint32_t namesLeft;
    int32_t handleType;
    uint8_t handleLength;
    unsigned char handle[kHandleBytes];
  };
  // Where the run cannot open files by handle (it lacks the privilege, or the file system gives
  // no handle): the first name's path below the destination folder, and its copy's identity.
  struct FirstPath {
    std::string path;
    NodeId copy;
    nlink_t namesLeft;
  };
  std::mutex links;
  std::condition_variable linkMade;
  std::unordered_map<NodeId, FirstName, NodeIdHash> firstNames;
  std::unordered_map<NodeId, FirstPath, NodeIdHash> firstPaths;
  std::unordered_set<NodeId, NodeIdHash> beingCopied;  // first names a worker is copying now
  bool handlesChecked = false;  // a handle was opened once, so that the run may
  bool handlesRefused = false;

 private:
  std::mutex reportLock_;
  CopyReport report_;
  std::exception_ptr abort_;
  std::mutex countLock_;
  CopyCounts done_;
};

class CopyWalker {
 public:
  explicit CopyWalker(CopyRun& run);
  // The walk, on the calling thread: copies the backup folder into the destination folder.
  void Walk(const std::string& sourceFolder, const std::string& destinationFolder);
  // A worker's loop: takes entries until the queue is closed.
  void Serve();

 private:
  // A destination folder being filled.
  struct Target {
    int fd;
    bool defaultAcl;
    int64_t window;
    FolderRecord* record;  // null where no record is kept
  };

  // copy_engine.cpp: the walk.
  UniqueFd OpenDestinationRoot(const std::string& destination, struct stat& info);
  Listing OpenEntries(UniqueFd fd, const char* name);
  void CopyContents(const std::shared_ptr<FolderJob>& folder);
  void CopyFolder(const std::shared_ptr<FolderJob>& parent, const char* name);
  UniqueFd OpenSourceFolder(int from, const char* name, struct stat& info);
  UniqueFd OpenTargetFolder(const Target& to, const char* name, bool& created,
                            struct stat& existing);
  // What an existing destination folder grants while it is filled (see its definition).
  bool OpenExistingFolderToTheCopy(int source, const struct stat& info, int target,
                                   const struct stat& existing, bool accessAcl, const char* name);
  void FillFolder(const std::shared_ptr<FolderJob>& parent, const char* name, UniqueFd source,
                  const struct stat& info, UniqueFd target, const struct stat& existing,
                  bool defaultAcl);
  bool OnSourcePath(const struct stat& info) const;
  bool IsBackupFolder(const struct stat& info) const;
  // Hands an entry to a worker, or copies it here when every worker has enough waiting.
  void Dispatch(const std::shared_ptr<FolderJob>& folder, const char* name, unsigned char type);
  void RunTask(EntryTask& task);
  // One piece of a folder's work done; the last one sets its final attributes.
  void Release(std::shared_ptr<FolderJob> folder);
  void FinishFolder(FolderJob& folder);
  // Copies entries handed out until `done` holds.
  template <typename Done>
  void HelpUntil(Done done);

  // copy_entries.cpp: what a folder holds.
  void CopyEntry(int from, const char* name, unsigned char type, const Target& to);
  void CopyRegularFile(int from, const char* name, const Target& to);
  // True when the destination file `name` is kept as the backup file's copy, its content unread
  // or found the same; false when it is to be replaced (see the definition).
  bool TryKeepExisting(int in, const struct stat& info, const struct stat& existing,
                       const char* name, const Target& to);
  // Notes in the folder's record that `name` holds the copy `copy` made of the backup file `info`,
  // as it stands now; nothing when another file has taken the name since.
  void Record(const Target& to, const char* name, const struct stat& info, NodeId copy);
  // Writes the backup file `in` under a temporary name (or none, where nothing stood under
  // `name`: `fresh`) and renames it over `name` (or links it there). kAgain (with `mayRetry`)
  // when only the backup file's change time moved meanwhile: `info` is its new stat.
  enum class Written { kDone, kFailed, kAgain };
  Written WriteReplacement(int in, struct stat& info, const char* name, const Target& to,
                           NodeId& made, bool mayRetry, bool fresh);
  // WriteReplacement's steps; each reports its failure.
  UniqueFd OpenReplacement(const Target& to, const char* name, bool fresh, bool& unnamed);
  bool FillReplacement(int in, int out, const struct stat& info, const Target& to, const char* name,
                       AclCopy& acl);
  bool PutInPlace(UniqueFd out, bool unnamed, const Target& to, const char* name);
  void MarkStaleIfChanged(int in, const struct stat& info, const Target& to, const char* name);
  void CopyLink(int from, const char* name, const struct stat& info, const Target& to);
  void CopySpecial(int from, const char* name, const struct stat& info, const Target& to);
  bool CheckDestination(const Target& to, const char* name, const struct stat& source,
                        std::string_view folderThere, struct stat& existing, bool& exists);
  int MakeTemporary(const std::function<int(const char* temporary)>& make, int folder);
  // A new name (in temporary_) for the node `nodePath` leads to; 0 or the errno of the failure.
  int LinkTemporary(const char* nodePath, const Target& to);
  bool Replace(const Target& to, const char* name);
  // Replace, then checks that the destination name leads to the node `made`.
  bool Publish(const Target& to, const char* name, NodeId made);
  bool Discard(const Target& to, int error, std::string_view name);
  // Removes the node made under temporary_.
  void Unmake(const Target& to);
  // Removes the temporary node this worker made, if any is left (after a throw).
  void DropTemporary();

  // copy_links.cpp: files with several names.
  enum class FirstNameState { kLinked, kClaimed, kCopyAlone };
  // Links a later name to the copy of the first, or claims the first name for this worker.
  FirstNameState MeetName(const struct stat& info, const char* name, const Target& to,
                          const struct stat* existing);
  bool LinkToFirstName(const struct stat& info, const char* name, const Target& to,
                       const struct stat* existing);
  void RememberFirstName(const struct stat& info, const char* name, const Target& to, NodeId made);
  void Unclaim(const struct stat& info);
  UniqueFd OpenByHandle(const CopyRun::FirstName& first) const;

  // Each reports the entry and returns false, so that a failing step can end with `return Fail`.
  bool Fail(std::string_view reason, std::string_view name);
  bool FailErrno(int error, std::string_view name);

  CopyRun& run_;
  const FolderJob* folder_ = nullptr;  // the folder of the entry being copied
  std::vector<NodeId> sourcePath_;     // the walk's source folders from the root down
  std::vector<FolderJob*> walkPath_;   // the walk's open folders from the root down
  FileDataCopier data_;
  MetadataCopier metadata_;
  std::vector<char> linkTarget_;
  std::vector<char> existingTarget_;
  char temporary_[32] = {};   // the name of the node being made, until it replaces its destination
  int temporaryFolder_ = -1;  // where that node is, while it exists
  uint64_t nameState_ = 0;
  bool noAtimeRefused_ = false;  // a backup file was not the run's to read without its access time
  bool unnamedRefused_ = false;  // the file system makes no files without a name (O_TMPFILE)
};

}  // namespace qelrestore::posix

namespace qelrestore::posix {

template <typename Done>
void CopyWalker::HelpUntil(Done done) {
  EntryTask task;
  while (!done()) {
    if (run_.queue.PopUnless(task, done)) RunTask(task);
  }
}

}  // namespace qelrestore::posix
