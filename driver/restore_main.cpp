#include "driver/restore_main.h"

#include <optional>
#include <utility>
#include <vector>

#include "config/db_properties.h"
#include "config/path_conf.h"
#include "config/sequential_input.h"
#include "driver/command_line.h"
#include "driver/program.h"
#include "driver/run_settings.h"
#include "log/run_log.h"
#include "restore/database_restore.h"
#include "restore/folder_restore.h"
#include "restore/undo_restore.h"
#include "support/checkpoints.h"
#include "support/error.h"
#include "support/text.h"

namespace qelrestore {

namespace {

// One run: the values that pass between its phases, and the order of the phases.
class Restore {
 public:
  Restore(Host& host, const RunSettings& settings, std::wstring& logInUse)
      : host_(host),
        run_(settings),
        log_(host, host, host, settings_.backgroundFlag),
        input_(host),
        logInUse_(logInUse),
        folders_(host, host, host, host, log_, step_),
        database_(DatabaseRestoreHost{host, host, host, host, host}, log_, step_) {}

  int Run() {
    step_.At(checkpoint::kStart);
    const std::optional<bool> dryRun = run_.dryRun;
    if (!dryRun) {
      host_.MessageBox(kDryRunMessage);
      return End(kExitUsage, std::wstring(L"nothing was done: ") + kDryRunMessage);
    }
    mode_.dryRun = *dryRun;
    const std::optional<int32_t> clientWait =
        run_.clientWaitValid ? std::optional<int32_t>(run_.clientWaitSeconds.value_or(
                                   host_.DefaultClientWaitSeconds()))
                             : std::nullopt;
    if (!clientWait) {
      Tell(kClientWaitMessage);
      return End(kExitUsage, std::wstring(L"nothing was done: ") + kClientWaitMessage);
    }
    for (const auto& [value, message] :
         {std::pair{run_.verifyFirst, kVerifyFirstMessage},
          std::pair{run_.keepReplaced, kKeepReplacedMessage}, std::pair{run_.undo, kUndoMessage}}) {
      if (value) continue;
      Tell(message);
      return End(kExitUsage, std::wstring(L"nothing was done: ") + message);
    }
    undo_ = *run_.undo;
    mode_.keepReplaced = *run_.keepReplaced && !undo_;
    clientWaitSeconds_ = *clientWait;
    settings_.backgroundFlag = L"N";
    settings_.keepCurrentDbProperties = L"N";
    settings_.logFilePath = DefaultLogPath(host_, host_);
    if (!ParseCommandLine(host_.CommandLine(), settings_, step_)) {
      step_.At(checkpoint::kUsage);
      Tell(kUsageMessage);
      return End(kExitUsage, L"nothing was done: no backup folder was given (see the usage above)");
    }

    // Made full once: the server resolves a relative path against a folder of its own, and would
    // restore another backup of that name.
    settings_.backupDirectory = host_.FullPath(settings_.backupDirectory);
    mode_.keepCurrentDbProperties = settings_.keepCurrentDbProperties == L"Y";
    // Two restores at once would copy over each other and restore the database twice; a dry run
    // changes nothing and may look while a restore runs.
    if (!mode_.dryRun) {
      const std::wstring lockFile = RunLockPath();
      std::optional<int64_t> holder;
      std::wstring refusal;
      try {
        holder = host_.LockRun(lockFile);
      } catch (...) {
        // Without the lock another run could be copying over this one: none goes on.
        refusal = L"The run lock " + lockFile + L" could not be taken (" +
                  CurrentExceptionAsError().description() + L"); nothing was changed";
      }
      if (holder) {
        refusal = L"Another restore is running (PID " + std::to_wstring(*holder) +
                  L"); nothing was changed";
      }
      if (!refusal.empty()) {
        host_.MessageBox(refusal);
        return End(kExitStopped, refusal);
      }
    }

    step_.At(checkpoint::kOpenLog);
    const wchar_t* startLine = undo_ ? kStartUndo : kStartRestore;
    if (mode_.dryRun) {
      log_.OpenDryRun(settings_.logFilePath, startLine);
    } else {
      log_.Open(settings_.logFilePath, startLine);
    }
    logInUse_ = settings_.logFilePath;
    {
      // What the copy must never write over, wherever the installation folders lie.
      const std::wstring log = host_.FullPath(settings_.logFilePath);
      undoSet_ = host_.FullPath(host_.KeptSettingsFolder() + L"\\" + kUndoSetName);
      ownFiles_ = {log,
                   log + L"sql",
                   host_.FullPath(RunLockPath()),
                   host_.FullPath(KeptSettingsFiles(host_)),
                   host_.FullPath(host_.KeptSettingsFolder() + L"\\" + kCopyRecordsName),
                   undoSet_ + L"*"};  // the set, and one being dropped
    }
    // An undo reads nothing of the backup.
    if (!undo_ && !folders_.CheckBackupFolder(settings_.backupDirectory)) return Stop();
    step_.At(checkpoint::kLocatePathConf);
    const std::optional<std::wstring> pathConf = LocatePathConf(host_, host_, log_, step_);
    if (!pathConf) return Stop();
    pathConfFile_ = *pathConf;
    step_.At(checkpoint::kOpenPathConf);
    input_.Open(pathConfFile_);

    step_.At(checkpoint::kTrapArmed);
    try {
      return undo_ ? UndoUnderTrap() : RestoreUnderTrap();
    } catch (...) {
      const Error error = CurrentExceptionAsError();
      const int32_t failedAt = step_.now();
      step_.At(checkpoint::kEnd);
      log_.ErrorReport(error.code(), error.description(), failedAt);
      PutBackAfterAnEnd();
      input_.Close();
      return End(kExitErrorReport, L"error " + std::to_wstring(error.code()) + L" at checkpoint " +
                                       std::to_wstring(failedAt) + L": " + error.description());
    }
  }

 private:
  // From the first item of path.conf to the end of a completed run; an error here is reported.
  int RestoreUnderTrap() {
    if (run_.verifyFirst == true) {
      const std::wstring reason = VerifyFirst();
      if (!reason.empty()) {
        log_.LogMessage(L"Backup not verified: " + reason + L"; nothing was changed");
        return Stop();
      }
    }
    // Only the last keeping run's set is kept: an undo takes back the last restore.
    if (mode_.keepReplaced && !mode_.dryRun) host_.StartUndoSet(undoSet_);
    if (!RestoreFolders()) {
      PutBackAfterAnEnd();
      return Stop();
    }
    // Without any finalPath item the put-back has no db.properties to go to, and fails so.
    std::vector<SavedSettings> toPutBack = folders_.TakeSaved();  // tried now, whatever comes of it
    if (!anyFinalPath_) toPutBack = {{1, dbPropertiesPath_}};
    folders_.PutBack(mode_, toPutBack);
    NoteWhatWasLeft();

    step_.At(checkpoint::kDbPropertiesExists);
    const std::wstring settingsFile = DbPropertiesToRead();
    if (!host_.FileExists(settingsFile)) {
      step_.At(checkpoint::kNoDbProperties);
      log_.LogMessage(L"QEL Restore completed without SQLServer version");
      return End(CompletedStatus());
    }
    step_.At(checkpoint::kOpenDbProperties);
    input_.Open(settingsFile, /*supplied=*/true);
    step_.At(checkpoint::kReadDbProperties);
    ServerSettings server;
    ReadDbProperties(input_, server, step_);
    step_.At(checkpoint::kDatabaseRestore);
    input_.Close();
    const DatabaseRestoreRequest request{server,
                                         settings_.backupDirectory,
                                         settings_.logFilePath,
                                         dbPropertiesPath_,
                                         clientWaitSeconds_,
                                         mode_.dryRun};
    outcome_ = database_.Run(request);
    if (outcome_ != DatabaseOutcome::kVerified) NoteFailure(log_.LastMessage());
    step_.At(checkpoint::kRestoreComplete);
    log_.LogMessage(L"SQL Restore Complete");
    return End(CompletedStatus());
  }

  // Checkpoints 54 to 74: every finalPath item of path.conf restores its installation folder.
  // False when a check stopped the run.
  bool RestoreFolders() {
    for (;;) {
      step_.At(checkpoint::kPathConfAtEnd);
      if (input_.AtEnd()) break;
      step_.At(checkpoint::kReadPathConfItem);
      const std::wstring item = input_.ReadItem();
      step_.At(checkpoint::kBlankPathConfItem);
      if (item.empty()) continue;
      step_.At(checkpoint::kSplitPathConfItem);
      const std::vector<std::wstring> pieces = Split(item, L'=');
      step_.At(checkpoint::kFinalPathItem);
      std::optional<FinalPath> finalPath = ReadFinalPathItem(pieces);
      if (!finalPath) continue;
      // Read as it stands, the item would name the shorter folder before the comma.
      if (input_.LastItemCutByComma()) {
        LogCutByComma(item);
        return false;
      }
      anyFinalPath_ = true;
      ++itemCount_;
      // The folder as the host opens it, once: the folder checked is the folder copied onto and
      // the folder whose db.properties is read.
      finalPath->installationFolder = host_.FullPath(finalPath->installationFolder);
      finalPath->dbPropertiesPath = DbPropertiesPathOf(finalPath->installationFolder);
      dbPropertiesPath_ = finalPath->dbPropertiesPath;
      const FolderResult result = folders_.RestoreFolder(
          mode_, ownFiles_, settings_.backupDirectory, *finalPath, itemCount_, undoSet_);
      // The later items and the database restore go on with the folders as the steps settled them.
      settings_.backupDirectory = result.backupDirectory;
      finalPath->installationFolder = result.installationFolder;
      if (result.end == FolderEnd::kStop) return false;
      if (result.end == FolderEnd::kNotComplete) {
        somethingFailed_ = true;
        NoteFailure(log_.LastMessage() + L": " + finalPath->installationFolder);
      }
    }
    step_.At(checkpoint::kPathConfDone);
    input_.Close();
    if (!anyFinalPath_) {
      somethingFailed_ = true;
      log_.LogMessage(L"No finalPath item in " + pathConfFile_);
      NoteFailure(log_.LastMessage());
    }
    return true;
  }

  // The backup verified before anything is changed, with the settings the database restore will
  // use: the backup's, or with the keep flag the last installation folder's own. Empty when
  // verified; else why not.
  std::wstring VerifyFirst() {
    // The backup folder as the copy will name it, without its trailing "\\".
    std::wstring backup = settings_.backupDirectory;
    if (!backup.empty() && backup.back() == L'\\') backup.pop_back();
    std::wstring settingsFile = backup + L"\\PLUV\\db.properties";
    try {
      if (mode_.keepCurrentDbProperties) settingsFile = LastInstallationsSettings();
      if (settingsFile.empty()) return L"no finalPath item in " + pathConfFile_;
      if (!host_.FileExists(settingsFile)) {
        return settingsFile + L" does not exist, and nothing names the server to verify with";
      }
      SequentialInput settings(host_);
      settings.Open(settingsFile, /*supplied=*/true);
      ServerSettings server;
      ReadDbProperties(settings, server, step_);
      settings.Close();
      const DatabaseRestoreRequest request{
          server, backup, settings_.logFilePath, settingsFile, clientWaitSeconds_, mode_.dryRun};
      const std::wstring reason = database_.VerifyBackup(request);
      // A dry run has only shown the command line it would run.
      if (reason.empty() && !mode_.dryRun) log_.LogMessage(L"Backup verified: " + backup);
      return reason;
    } catch (...) {
      return CurrentExceptionAsError().description();
    }
  }

  // The db.properties of the last finalPath item of path.conf, the one the run reads after its
  // copies; empty when there is none. path.conf is looked through on its own, nothing copied.
  std::wstring LastInstallationsSettings() {
    SequentialInput items(host_);
    items.Open(pathConfFile_);
    std::wstring last;
    while (!items.AtEnd()) {
      const std::wstring item = items.ReadItem();
      if (item.empty()) continue;
      if (const std::optional<FinalPath> finalPath = ReadFinalPathItem(Split(item, L'='))) {
        last = DbPropertiesPathOf(host_.FullPath(finalPath->installationFolder));
      }
    }
    items.Close();
    return last;
  }

  // The db.properties a real run reads after its copy: in a dry run, where nothing was copied,
  // the backup's when it has one, the installation's own is not kept, and no folder stands in its
  // place (the copy could not put it there).
  std::wstring DbPropertiesToRead() {
    if (!mode_.dryRun || mode_.keepCurrentDbProperties) return dbPropertiesPath_;
    const std::wstring backups = settings_.backupDirectory + L"\\PLUV\\db.properties";
    return host_.FileExists(backups) && !host_.FolderExists(dbPropertiesPath_) ? backups
                                                                               : dbPropertiesPath_;
  }

  std::wstring RunLockPath() { return host_.KeptSettingsFolder() + L"\\qelrestore.lock"; }

  int CompletedStatus() const {
    if (somethingFailed_ || outcome_ == DatabaseOutcome::kFailed) return kExitIncomplete;
    if (outcome_ == DatabaseOutcome::kNotVerified) return kExitNotVerified;
    return kExitCompleted;
  }

  // A message that is shown directly, not logged: in a box, or on standard output in a dry run,
  // where nothing may wait for somebody.
  void Tell(const std::wstring& text) {
    if (mode_.dryRun) {
      PrintDryRunLine(host_, host_, text);
    } else {
      host_.MessageBox(text);
    }
  }

  // An undo of the installation folders of path.conf, from the undo set.
  int UndoUnderTrap() {
    std::vector<std::wstring> installations;
    if (!InstallationFolders(installations)) return Stop();
    UndoRestore undo(host_, log_, undoSet_);
    switch (undo.Run(installations, mode_.dryRun)) {
      case UndoEnd::kRefused:
        return Stop();
      case UndoEnd::kNotComplete:
        return End(kExitIncomplete, log_.LastMessage());
      case UndoEnd::kCompleted:
        break;
    }
    return End(kExitCompleted);
  }

  // The installation folders of path.conf, full, in its order; false after the message of a
  // finalPath item a comma cut short.
  bool InstallationFolders(std::vector<std::wstring>& folders) {
    while (!input_.AtEnd()) {
      const std::wstring item = input_.ReadItem();
      if (item.empty()) continue;
      const std::optional<FinalPath> finalPath = ReadFinalPathItem(Split(item, L'='));
      if (!finalPath) continue;
      if (input_.LastItemCutByComma()) {
        LogCutByComma(item);
        return false;
      }
      folders.push_back(NormalizeTrailingSeparator(host_.FullPath(finalPath->installationFolder)));
    }
    input_.Close();
    return true;
  }

  void LogCutByComma(const std::wstring& item) {
    const std::wstring line = item + L"," + input_.ReadRestOfLine();
    log_.LogMessage(L"A comma cuts this finalPath item short: " + line +
                    L" (write the item in double quotes to name a folder with a comma: \"" + line +
                    L"\"). Pls. check " + pathConfFile_);
  }

  // After the run's last change to its installation folders: the undo set learns what the run
  // left there, so that an undo can tell what changed since, and the log says what it holds.
  void NoteWhatWasLeft() {
    const KeptTotal& kept = folders_.Kept();
    if (kept.folders.empty() || leftNoted_) return;
    leftNoted_ = true;
    for (const std::wstring& folder : kept.folders) host_.NoteLeft(undoSet_, folder);
    log_.WriteLogLine(L"Kept for undo: " + std::to_wstring(kept.files) + L" files, " +
                      std::to_wstring(kept.bytes) + L" bytes in " + undoSet_);
  }

  // A run that ends before its put-back, stopped by a check or by an error, still puts back the
  // settings it saved: each folder copied so far gets the machine's db.properties again. What
  // cannot be put back is said in the log; its saved copy stays where it was saved.
  void PutBackAfterAnEnd() {
    const std::vector<SavedSettings> saved = folders_.TakeSaved();
    // The step is where the run ended, not this clean-up's.
    const int32_t endedAt = step_.now();
    for (const SavedSettings& item : saved) {
      try {
        folders_.PutBack(mode_, {item});
      } catch (...) {
        log_.WriteLogLine(L"Kept settings not put back: " + item.dbPropertiesPath + L": " +
                          CurrentExceptionAsError().description());
      }
    }
    try {
      NoteWhatWasLeft();
    } catch (...) {
      // The undo then puts back without telling what changed since.
      log_.WriteLogLine(L"What the restore left was not noted in the undo set: " +
                        CurrentExceptionAsError().description());
    }
    step_.At(endedAt);
  }

  // A failed check: nothing is reported, the input file is closed.
  int Stop() {
    step_.At(checkpoint::kEnd);
    input_.Close();
    return End(kExitStopped, log_.LastMessage());
  }

  // The first thing that went wrong in a run that goes on.
  void NoteFailure(const std::wstring& what) {
    if (failure_.empty()) failure_ = what;
  }

  // The exit block every run passes through. A run that does not end well says last what went
  // wrong, and where its log is, on standard error.
  int End(int status, const std::wstring& what = {}) {
    step_.At(checkpoint::kEnd);
    log_.CloseAndRelease();
    if (status != kExitCompleted) {
      host_.ReportFailure(FailureLine(what.empty() ? failure_ : what,
                                      logInUse_.empty() ? L"" : host_.PathAsOpened(logInUse_),
                                      mode_.dryRun));
    }
    return status;
  }

  Host& host_;
  const RunSettings& run_;  // what the environment set
  Step step_;               // the step the run is at
  Settings settings_;
  RunLog log_;
  SequentialInput input_;  // path.conf, then db.properties
  int32_t clientWaitSeconds_ = kDefaultClientWaitSeconds;
  FolderRestoreMode mode_;
  std::wstring pathConfFile_;
  std::wstring dbPropertiesPath_;
  bool anyFinalPath_ = false;
  bool undo_ = false;     // the run takes the last keeping restore back
  std::wstring undoSet_;  // where what a keeping restore replaces is kept
  bool leftNoted_ = false;
  size_t itemCount_ = 0;                // the finalPath items met so far
  std::vector<std::wstring> ownFiles_;  // the log, its client output, the lock, the kept settings
  bool somethingFailed_ = false;
  std::wstring failure_;    // the first failure of a run that went on
  std::wstring& logInUse_;  // the log once it is open
  FolderRestore folders_;
  DatabaseRestore database_;
  // Without db.properties there is nothing to verify.
  DatabaseOutcome outcome_ = DatabaseOutcome::kVerified;
};

}  // namespace

std::wstring FailureLine(const std::wstring& what, const std::wstring& logFilePath, bool dryRun) {
  std::wstring line = std::wstring(kProgramTitle) + L": " + EscapeControlCharacters(what);
  if (dryRun) return line + L" (dry run: nothing was changed)";
  if (!logFilePath.empty()) line += L" (log: " + EscapeControlCharacters(logFilePath) + L")";
  return line;
}

int Main(Host& host, const RunSettings& settings, std::wstring& logInUse) {
  return Restore(host, settings, logInUse).Run();
}

}  // namespace qelrestore
