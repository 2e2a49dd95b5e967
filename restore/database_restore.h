// The database restore: the RESTORE DATABASE statement, the client of the server family, its
// command line, and the run of the client.
#pragma once

#include <string>

#include "driver/run.h"

namespace qelrestore {

// The statement that restores QEL_PLUV from QEL_PLUV.bak in the backup folder. The folder's
// leading blanks are dropped and each apostrophe in it is doubled, so that it stays inside the
// statement's string literal whatever the folder is called.
std::wstring BuildRestoreStatement(const std::wstring& backupDirectory);

// The client's command line: the quoted client program, the server as host,port, the quoted
// statement and the quoted output file (the log path followed by "sql").
std::wstring BuildRestoreCommand(const std::wstring& clientToolsFolder, const std::wstring& client,
                                 const ServerSettings& server, const std::wstring& statement,
                                 const std::wstring& logFilePath);

// Checkpoints 113-121: closes db.properties, logs "SQL start Restore ", and for the MSDE and 2005
// families reads the client's folder from the registry, logs the command line and runs it.
// A client that cannot be started, or whose folder is not registered (nothing is then started),
// is logged and sets run.clientNotStarted.
void RestoreDatabase(Run& run);

}  // namespace qelrestore
