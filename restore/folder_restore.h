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

// Checkpoints 58-693 for one finalPath item: with the keep flag the save of its db.properties
// (item 1 in curdb.properties.bak, item N > 1 in curdb.properties.bak.N, readable by the running
// user only), the three checks (each a kStop after its message), then the copy and its outcome
// lines; in a dry run the count of what the copy would do instead. `backupDirectory` loses a
// trailing "\" and the item's installation folder gets exactly one.
FolderEnd RestoreInstallationFolder(Environment& environment, Files& files, FolderCopier& copier,
                                    RunLog& log, FolderRestoreMode mode,
                                    std::wstring& backupDirectory, FinalPath& item,
                                    size_t itemNumber, int32_t& checkpoint);

// Checkpoint 76: with the keep flag each item's saved copy goes back over its own restored
// db.properties, `dbPropertiesPaths` in item order (not in a dry run).
void PutBackDbProperties(Environment& environment, Files& files, FolderRestoreMode mode,
                         const std::vector<std::wstring>& dbPropertiesPaths, int32_t& checkpoint);

}  // namespace qelrestore
