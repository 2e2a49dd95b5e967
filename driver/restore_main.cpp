#include "driver/restore_main.h"

#include <vector>

#include "config/db_properties.h"
#include "config/path_conf.h"
#include "driver/command_line.h"
#include "driver/program.h"
#include "driver/run.h"
#include "log/run_log.h"
#include "restore/database_restore.h"
#include "restore/folder_restore.h"
#include "support/error.h"
#include "support/text.h"

namespace qelrestore {

namespace {

constexpr int32_t kEndCheckpoint = 124;

// The end every run passes through: the file-system object released, the log closed.
void ExitBlock(Run& run) {
  run.checkpoint = kEndCheckpoint;
  run.log.ReleaseFileSystem();
  run.log.CloseAndReleaseStream();
}

// The stop and error paths may still hold input file number 1 open.
void CleanUp(Run& run) {
  run.checkpoint = kEndCheckpoint;
  run.log.ReleaseFileSystem();
  run.input.Close();
}

int Stop(Run& run) {
  CleanUp(run);
  ExitBlock(run);
  return kExitStopped;
}

int Completed(Run& run) {
  ExitBlock(run);
  return run.folderCopyIncomplete || run.clientNotStarted ? kExitIncomplete : kExitCompleted;
}

// Checkpoints 54 to 74: every finalPath item of path.conf restores its installation folder.
PhaseEnd RestoreFolders(Run& run) {
  for (;;) {
    run.checkpoint = 54;
    if (run.input.AtEnd()) break;
    run.checkpoint = 55;
    const std::wstring item = run.input.ReadItem();
    run.checkpoint = 56;
    if (item.empty()) continue;
    run.checkpoint = 57;
    const std::vector<std::wstring> pieces = Split(item, L'=');
    run.checkpoint = 58;
    FinalPath finalPath;
    if (!ReadFinalPathItem(pieces, finalPath)) continue;
    run.rawFinalPath = std::move(finalPath.rawFinalPath);
    run.installationFolder = std::move(finalPath.installationFolder);
    run.dbPropertiesPath = std::move(finalPath.dbPropertiesPath);
    if (RestoreInstallationFolder(run) == PhaseEnd::kStop) return PhaseEnd::kStop;
  }
  run.checkpoint = 74;
  run.input.Close();
  return PhaseEnd::kGoOn;
}

// Everything from the first finalPath item to the end of a completed run; the trap is armed.
int RestoreUnderTrap(Run& run) {
  if (RestoreFolders(run) == PhaseEnd::kStop) return Stop(run);
  PutBackDbProperties(run);

  run.checkpoint = 77;
  if (!run.log.fileSystem().FileExists(run.dbPropertiesPath)) {
    run.checkpoint = 78;
    run.log.LogMessage(L"QEL Restore completed without SQLServer version");
    return Completed(run);
  }
  run.checkpoint = 81;
  run.input.Open(run.dbPropertiesPath);
  run.checkpoint = 82;  // the trap stays armed: the same error report
  ReadDbProperties(run.input, run.server, run.checkpoint);
  RestoreDatabase(run);
  run.checkpoint = 122;
  run.log.LogMessage(L"SQL Restore Complete");
  return Completed(run);
}

}  // namespace

int Main(Host& host) {
  Run run(host);
  run.checkpoint = 0;
  run.settings.backgroundFlag = L"N";
  run.settings.keepCurrentDbProperties = L"N";
  run.settings.logFilePath = DefaultLogPath(host);

  if (!ParseCommandLine(host.CommandLine(), run.settings, run.checkpoint)) {
    run.checkpoint = 34;
    host.MessageBox(kUsageMessage);
    ExitBlock(run);
    return kExitUsage;
  }

  run.checkpoint = 39;
  run.log.Open(run.settings.logFilePath);
  if (CheckBackupFolder(run) == PhaseEnd::kStop) return Stop(run);
  if (LocatePathConf(run) == PhaseEnd::kStop) return Stop(run);
  run.checkpoint = 52;
  run.input.Open(run.pathConfFile);

  run.checkpoint = 53;
  try {
    return RestoreUnderTrap(run);
  } catch (...) {
    const Error error = CurrentExceptionAsError();
    const int32_t failedAt = run.checkpoint;
    run.checkpoint = kEndCheckpoint;
    run.log.ErrorReport(error.code(), error.description(), failedAt);
    CleanUp(run);
    ExitBlock(run);
    return kExitErrorReport;
  }
}

}  // namespace qelrestore
