// The folder restore: the backup-folder check, the per-item checks and copy of the backup over
// an installation folder, and the put-back of the kept db.properties.
#pragma once

#include <string>

#include "driver/run.h"

namespace qelrestore {

// Checkpoints 40-41: kStop, after its message, when the backup folder does not exist.
PhaseEnd CheckBackupFolder(Run& run);

// Checkpoints 58-693 for the finalPath item now in `run`: the optional save of db.properties, the
// three checks (each a kStop after its message), then the copy and its outcome line. A copy that
// is not complete sets run.folderCopyIncomplete and goes on.
PhaseEnd RestoreInstallationFolder(Run& run);

// Checkpoint 76: when the current db.properties is kept, the saved copy goes back over the
// restored one.
void PutBackDbProperties(Run& run);

// Copies the entries that `source` names (a folder followed by "\*") into the folder
// `destination` with the shell's copy; false when the shell reports a failure or any part of the
// copy was aborted.
bool CopyFolderContents(Host& host, std::wstring source, std::wstring destination);

}  // namespace qelrestore
