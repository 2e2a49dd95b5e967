// The folder restore: the backup-folder check, the per-item checks and copy of the backup over
// an installation folder, and the put-back of the kept db.properties.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "config/path_conf.h"
#include "host/environment.h"
#include "host/files.h"
#include "host/folder_copy.h"
#include "log/run_log.h"

namespace qelrestore {

// Checkpoints 40-41: false, after its message, when the backup folder does not exist.
bool CheckBackupFolder(Files& files, RunLog& log, const std::wstring& backupDirectory,
                       int32_t& checkpoint);

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

// Checkpoints 58-693 for one finalPath item: with the keep flag the save of its db.properties
// (item 1 in curdb.properties.bak, item N > 1 in curdb.properties.bak.N, readable by the running
// user only, marked by a copy NAME.pending until it is put back; a marked copy that an earlier
// run left is the machine's and is kept, not saved over), added to `saved` once it is made, the
// three checks (each a kStop after its message), then the copy (never over `ownFiles`, the
// restore's own files, see OwnFilesBelow) and its outcome lines; in a dry run
// the count of what the copy would do instead. `backupDirectory` loses a trailing "\" and the
// item's installation folder gets exactly one.
FolderEnd RestoreInstallationFolder(Environment& environment, Files& files, FolderCopier& copier,
                                    RunLog& log, FolderRestoreMode mode,
                                    const std::vector<std::wstring>& ownFiles,
                                    std::wstring& backupDirectory, FinalPath& item,
                                    size_t itemNumber, std::vector<SavedSettings>& saved,
                                    int32_t& checkpoint);

// Checkpoint 76: with the keep flag each saved copy goes back over its own db.properties (not in
// a dry run). Every one is tried, whichever fails; the first failure is thrown after the last.
void PutBackDbProperties(Environment& environment, Files& files, FolderRestoreMode mode,
                         const std::vector<SavedSettings>& saved, int32_t& checkpoint);

}  // namespace qelrestore
