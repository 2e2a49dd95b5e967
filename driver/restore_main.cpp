#include "driver/restore_main.h"

#include <optional>
#include <vector>

#include "config/db_properties.h"
#include "config/path_conf.h"
#include "config/sequential_input.h"
#include "driver/command_line.h"
#include "driver/program.h"
#include "driver/run_environment.h"
#include "log/run_log.h"
#include "restore/database_restore.h"
#include "restore/folder_restore.h"
#include "support/error.h"
#include "support/text.h"

namespace qelrestore {

namespace {

constexpr int32_t kTrapArmed = 53;
constexpr int32_t kEnd = 124;

// One run: the values that pass between its phases, and the order of the phases.
class Restore {
 public:
  explicit Restore(Host& host) : host_(host), log_(host, settings_.backgroundFlag), input_(host) {}

  int Run() {
    checkpoint_ = 0;
    const std::optional<int32_t> clientWait = ReadClientWait(host_);
    if (!clientWait) {
      host_.MessageBox(kClientWaitMessage);
      return kExitUsage;
    }
    clientWaitSeconds_ = *clientWait;
    const std::optional<bool> dryRun = ReadDryRun(host_);
    if (!dryRun) {
      host_.MessageBox(kDryRunMessage);
      return kExitUsage;
    }
    mode_.dryRun = *dryRun;
    settings_.backgroundFlag = L"N";
    settings_.keepCurrentDbProperties = L"N";
    settings_.logFilePath = DefaultLogPath(host_);
    if (!ParseCommandLine(host_.CommandLine(), settings_, checkpoint_)) {
      checkpoint_ = 34;
      host_.MessageBox(kUsageMessage);
      return End(kExitUsage);
    }

    checkpoint_ = 39;
    mode_.keepCurrentDbProperties = settings_.keepCurrentDbProperties == L"Y";
    if (mode_.dryRun) {
      log_.OpenDryRun(settings_.logFilePath);
    } else {
      log_.Open(settings_.logFilePath);
    }
    if (!CheckBackupFolder(host_, log_, settings_.backupDirectory, checkpoint_)) return Stop();
    checkpoint_ = 43;
    const std::optional<std::wstring> pathConf = LocatePathConf(host_, log_, checkpoint_);
    if (!pathConf) return Stop();
    pathConfFile_ = *pathConf;
    checkpoint_ = 52;
    input_.Open(pathConfFile_);

    checkpoint_ = kTrapArmed;
    try {
      return RestoreUnderTrap();
    } catch (...) {
      const Error error = CurrentExceptionAsError();
      const int32_t failedAt = checkpoint_;
      checkpoint_ = kEnd;
      log_.ErrorReport(error.code(), error.description(), failedAt);
      input_.Close();
      return End(kExitErrorReport);
    }
  }

 private:
  // From the first item of path.conf to the end of a completed run; an error here is reported.
  int RestoreUnderTrap() {
    if (!RestoreFolders()) return Stop();
    PutBackDbProperties(host_, mode_, dbPropertiesPath_, checkpoint_);

    checkpoint_ = 77;
    const std::wstring settingsFile = DbPropertiesToRead();
    if (!host_.FileExists(settingsFile)) {
      checkpoint_ = 78;
      log_.LogMessage(L"QEL Restore completed without SQLServer version");
      return End(CompletedStatus());
    }
    checkpoint_ = 81;
    input_.Open(settingsFile, /*supplied=*/true);
    constexpr int32_t kReadDbProperties = 82;
    checkpoint_ = kReadDbProperties;
    ServerSettings server;
    ReadDbProperties(input_, server, checkpoint_);
    checkpoint_ = 113;
    input_.Close();
    const DatabaseRestoreRequest request{server,
                                         settings_.backupDirectory,
                                         settings_.logFilePath,
                                         dbPropertiesPath_,
                                         clientWaitSeconds_,
                                         mode_.dryRun};
    database_ = RestoreDatabase(host_, log_, request, checkpoint_);
    checkpoint_ = 122;
    log_.LogMessage(L"SQL Restore Complete");
    return End(CompletedStatus());
  }

  // Checkpoints 54 to 74: every finalPath item of path.conf restores its installation folder.
  // False when a check stopped the run.
  bool RestoreFolders() {
    bool anyFinalPath = false;
    for (;;) {
      checkpoint_ = 54;
      if (input_.AtEnd()) break;
      checkpoint_ = 55;
      const std::wstring item = input_.ReadItem();
      checkpoint_ = 56;
      if (item.empty()) continue;
      checkpoint_ = 57;
      const std::vector<std::wstring> pieces = Split(item, L'=');
      checkpoint_ = 58;
      std::optional<FinalPath> finalPath = ReadFinalPathItem(pieces);
      if (!finalPath) continue;
      anyFinalPath = true;
      dbPropertiesPath_ = finalPath->dbPropertiesPath;
      const FolderEnd end = RestoreInstallationFolder(host_, log_, mode_, settings_.backupDirectory,
                                                      *finalPath, checkpoint_);
      if (end == FolderEnd::kStop) return false;
      if (end == FolderEnd::kNotComplete) somethingFailed_ = true;
    }
    checkpoint_ = 74;
    input_.Close();
    if (!anyFinalPath) {
      somethingFailed_ = true;
      log_.LogMessage(L"No finalPath item in " + pathConfFile_);
    }
    return true;
  }

  // The db.properties a real run reads after its copy: in a dry run, where nothing was copied,
  // the backup's when it has one and the installation's own is not kept.
  std::wstring DbPropertiesToRead() {
    if (!mode_.dryRun || mode_.keepCurrentDbProperties) return dbPropertiesPath_;
    const std::wstring backups = settings_.backupDirectory + L"\\PLUV\\db.properties";
    return host_.FileExists(backups) ? backups : dbPropertiesPath_;
  }

  int CompletedStatus() const {
    if (somethingFailed_ || database_ == DatabaseOutcome::kFailed) return kExitIncomplete;
    if (database_ == DatabaseOutcome::kNotVerified) return kExitNotVerified;
    return kExitCompleted;
  }

  // A failed check: nothing is reported, the input file is closed.
  int Stop() {
    checkpoint_ = kEnd;
    input_.Close();
    return End(kExitStopped);
  }

  // The exit block every run passes through.
  int End(int status) {
    checkpoint_ = kEnd;
    log_.CloseAndRelease();
    return status;
  }

  Host& host_;
  Settings settings_;
  RunLog log_;
  SequentialInput input_;  // path.conf, then db.properties
  int32_t checkpoint_ = 0;
  int32_t clientWaitSeconds_ = kDefaultClientWaitSeconds;
  FolderRestoreMode mode_;
  std::wstring pathConfFile_;
  std::wstring dbPropertiesPath_;
  bool somethingFailed_ = false;
  // Without db.properties there is nothing to verify.
  DatabaseOutcome database_ = DatabaseOutcome::kVerified;
};

}  // namespace

int Main(Host& host) {
  return Restore(host).Run();
}

}  // namespace qelrestore
