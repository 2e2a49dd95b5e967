// The folder restore: the backup-folder check, the per-item checks and copy of the backup over
// an installation folder, and the put-back of the kept db.properties.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "config/path_conf.h"
#include "host/environment.h"
#include "host/files.h"
#include "host/folder_copy.h"
#include "host/undo_set.h"
#include "log/run_log.h"

#include "support/checkpoints.h"

namespace qelrestore {

// How the restore of one installation folder ended.
enum class FolderEnd {
  kStop,         // a check failed: the run stops
  kCompleted,    // "Restore Folder completed"
  kNotComplete,  // "Restore Folder NOT complete", and what was not copied
};

// How the folders are restored.
struct FolderRestoreMode {
  bool keepCurrentDbProperties = false;  // save the current db.properties, put it back after
  bool dryRun = false;                   // check and count, change nothing
  bool keepReplaced = false;             // keep what each copy replaces in the undo set
};

// What the undo set kept of the run's installation folders so far.
struct KeptTotal {
  uint64_t files = 0;
  uint64_t bytes = 0;
  std::vector<std::wstring> folders;  // the installation folders kept for, in their order
};

// A db.properties saved before its folder's copy: the item's number and the file it goes back to.
struct SavedSettings {
  size_t itemNumber = 0;
  std::wstring dbPropertiesPath;
};

// The kept settings' files, saved copies and marks of every item: "*" stands for the rest of
// their names.
std::wstring KeptSettingsFiles(Environment& environment);

// Those of `ownFiles` (full paths, a last name ending in "*" standing for every name that begins
// so) that lie below `folder`, as paths relative to it with "\" between names.
std::vector<std::wstring> OwnFilesBelow(Files& files, const std::vector<std::wstring>& ownFiles,
                                        const std::wstring& folder);

// How one installation folder's restore ended, and the two folders as its steps settled them: the
// backup folder without a trailing "\", the installation folder with exactly one. The run goes
// on with these.
struct FolderResult {
  FolderEnd end = FolderEnd::kStop;
  std::wstring backupDirectory;
  std::wstring installationFolder;
};

// The folder restore of a run: the backup folder's check, then for each finalPath item the save
// of its settings (keep flag), its checks and the copy, and at the end the put-back.
class FolderRestore {
 public:
  FolderRestore(Environment& environment, Files& files, FolderCopier& copier, UndoKeeper& keeper,
                RunLog& log, Step& step)
      : environment_(environment),
        files_(files),
        copier_(copier),
        keeper_(keeper),
        log_(log),
        step_(step) {}

  // Checkpoints 40-41: false, after its message, when the backup folder does not exist.
  bool CheckBackupFolder(const std::wstring& backupDirectory);

  // Checkpoints 58-693 for one finalPath item: with the keep flag the save of its db.properties
  // (item 1 in curdb.properties.bak, item N > 1 in curdb.properties.bak.N, readable by the
  // running user only, marked by a copy NAME.pending until it is put back; a marked copy that an
  // earlier run left is the machine's and is kept, not saved over), held among the saved ones once
  // it is made, the three checks (each a kStop after its message), then the copy (never over
  // `ownFiles`, the restore's own files, see OwnFilesBelow) and its outcome lines; in a dry run
  // the count of what the copy would do instead. With keepReplaced, what the copy replaces is kept
  // in the undo set `undoSet` (started by the caller) before it.
  FolderResult RestoreFolder(FolderRestoreMode mode, const std::vector<std::wstring>& ownFiles,
                             const std::wstring& backupDirectory, const FinalPath& item,
                             size_t itemNumber, const std::wstring& undoSet = {});

  // What the undo set holds so far.
  const KeptTotal& Kept() const { return kept_; }

  // The settings saved and not yet put back, handed over: the caller puts them back.
  std::vector<SavedSettings> TakeSaved() { return std::exchange(saved_, {}); }

  // Checkpoint 76: with the keep flag each saved copy goes back over its own db.properties (not
  // in a dry run). Every one is tried, whichever fails; the first failure is thrown after the
  // last.
  void PutBack(FolderRestoreMode mode, const std::vector<SavedSettings>& saved);

 private:
  // The save of the item's db.properties (in a dry run, the test that it is there).
  void SaveSettings(FolderRestoreMode mode, const FinalPath& item, size_t itemNumber);
  // The three checks; false after the message of the one that failed.
  bool Checked(const std::wstring& backupDirectory, const FinalPath& item);
  // The dry run's count, and the copy: how the folder's restore ends.
  // With `undoSet`, also what a keeping run would keep there.
  FolderEnd Plan(const FolderResult& folders, const std::vector<std::wstring>& ownBelow,
                 const std::wstring& undoSet);
  FolderEnd Copy(const FolderResult& folders, const std::vector<std::wstring>& ownBelow);
  // Keeps in the undo set what the copy will replace; false, after its message, when some of it
  // cannot be kept (the run stops before the copy), and throws when the set cannot be written.
  bool KeepForUndo(const FolderResult& folders, const std::vector<std::wstring>& ownBelow,
                   const std::wstring& undoSet);

  Environment& environment_;
  Files& files_;
  FolderCopier& copier_;
  UndoKeeper& keeper_;
  RunLog& log_;
  Step& step_;
  std::vector<SavedSettings> saved_;
  KeptTotal kept_;
};

}  // namespace qelrestore
