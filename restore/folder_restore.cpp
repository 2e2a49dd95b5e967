#include "restore/folder_restore.h"

#include <optional>
#include <utility>

#include "support/checkpoints.h"
#include "support/error.h"
#include "support/text.h"

namespace qelrestore {

namespace {
// Each installation folder keeps its own settings: the first finalPath item's in
// curdb.properties.bak, the next ones' in curdb.properties.bak.2, .3, ...
std::wstring SavedDbPropertiesPath(Environment& environment, size_t itemNumber) {
  std::wstring path = environment.KeptSettingsFolder() + L"\\curdb.properties.bak";
  if (itemNumber > 1) path += L"." + std::to_wstring(itemNumber);
  return path;
}

// Beside a saved copy from its save until its put-back: a run that ended in between (killed, or
// its put-back failed) left the machine's own settings in the saved copy, and the next run must
// not save the backup's over them.
std::wstring PendingMarkPath(Environment& environment, size_t itemNumber) {
  return SavedDbPropertiesPath(environment, itemNumber) + L".pending";
}

// True when both paths name one folder, however each is spelled or reached.
bool SameFolder(Files& files, const std::wstring& one, const std::wstring& other) {
  const std::optional<FolderIdentity> first = files.IdentifyFolder(one);
  return first && first == files.IdentifyFolder(other);
}

// `path` relative to the folder `isFolder` picks among its folders, nearest first, "\" between
// names.
template <typename IsFolder>
std::optional<std::wstring> RelativeBelow(const std::wstring& path, const IsFolder& isFolder) {
  for (size_t end = path.find_last_of(L"\\/"); end != std::wstring::npos && end > 0;
       end = path.find_last_of(L"\\/", end - 1)) {
    std::wstring parent = path.substr(0, end);
    if (parent.back() == L':') parent += L'\\';  // "C:" alone is the drive's current folder
    if (!isFolder(parent)) continue;
    return ReplaceChar(path.substr(end + 1), L'/', L'\\');
  }
  return std::nullopt;
}

// One line for each entry the copy could name, then the count of the rest.
template <typename Outcome>
void LogNotCopied(RunLog& log, const Outcome& copy) {
  for (const NotCopied& entry : copy.notCopied) {
    log.WriteLogLine(L"Not copied: " + entry.path + L": " + entry.reason);
  }
  if (copy.notCopiedCount > copy.notCopied.size()) {
    log.WriteLogLine(L"Not copied: " +
                     std::to_wstring(copy.notCopiedCount - copy.notCopied.size()) + L" more");
  }
}
}  // namespace

std::wstring KeptSettingsFiles(Environment& environment) {
  return SavedDbPropertiesPath(environment, 1) + L"*";
}

std::vector<std::wstring> OwnFilesBelow(Files& files, const std::vector<std::wstring>& ownFiles,
                                        const std::wstring& folder) {
  // The folders on the way are compared by identity, so that another spelling of one (a link, a
  // mount, another letter case) is seen through; by their text where the folder has none to give.
  const std::optional<FolderIdentity> identity = files.IdentifyFolder(folder);
  const std::wstring spelled = NormalizeTrailingSeparator(ReplaceChar(folder, L'/', L'\\'));
  const auto isFolder = [&](const std::wstring& parent) {
    if (identity) return files.IdentifyFolder(parent) == identity;
    return NormalizeTrailingSeparator(ReplaceChar(parent, L'/', L'\\')) == spelled;
  };
  std::vector<std::wstring> below;
  for (const std::wstring& path : ownFiles) {
    if (std::optional<std::wstring> relative = RelativeBelow(path, isFolder)) {
      below.push_back(std::move(*relative));
    }
  }
  return below;
}

bool FolderRestore::CheckBackupFolder(const std::wstring& backupDirectory) {
  step_.At(checkpoint::kCheckBackupFolder);
  if (files_.FolderExists(backupDirectory)) return true;
  step_.At(checkpoint::kBackupFolderMissing);
  log_.LogMessage(backupDirectory + L"backup directory not found. Pls. check");
  return false;
}

FolderResult FolderRestore::RestoreFolder(FolderRestoreMode mode,
                                          const std::vector<std::wstring>& ownFiles,
                                          const std::wstring& backupDirectory,
                                          const FinalPath& item, size_t itemNumber,
                                          const std::wstring& undoSet) {
  FolderResult result{FolderEnd::kStop, backupDirectory, item.installationFolder};
  step_.At(checkpoint::kFinalPathItem);
  if (mode.keepCurrentDbProperties) SaveSettings(mode, item, itemNumber);
  if (!Checked(backupDirectory, item)) return result;
  step_.At(checkpoint::kSettleSeparators);
  result.installationFolder = NormalizeTrailingSeparator(item.installationFolder);
  if (!result.backupDirectory.empty() && result.backupDirectory.back() == L'\\') {
    result.backupDirectory.pop_back();
  }
  step_.At(checkpoint::kLogCopyStart);
  log_.LogMessage(L"Start copying from " + result.backupDirectory + L"to " +
                  result.installationFolder);
  step_.At(checkpoint::kCopyFolder);
  // The log, the lock or the kept settings may lie in the installation folder: the backup's
  // entries of those names are not copied over them.
  const std::vector<std::wstring> ownBelow =
      OwnFilesBelow(files_, ownFiles, result.installationFolder);
  if (mode.dryRun) {
    result.end = Plan(result, ownBelow, mode.keepReplaced ? undoSet : std::wstring());
    return result;
  }
  if (mode.keepReplaced && !KeepForUndo(result, ownBelow, undoSet)) return result;
  result.end = Copy(result, ownBelow);
  return result;
}

void FolderRestore::SaveSettings(FolderRestoreMode mode, const FinalPath& item, size_t itemNumber) {
  if (mode.dryRun) {
    if (!files_.FileExists(item.dbPropertiesPath)) {
      throw Error(code::kFileNotFound, L"File not found: " + item.dbPropertiesPath);
    }
    return;
  }
  const std::wstring savedPath = SavedDbPropertiesPath(environment_, itemNumber);
  const std::wstring mark = PendingMarkPath(environment_, itemNumber);
  if (files_.FileExists(mark) && files_.FileExists(savedPath)) {
    log_.WriteLogLine(L"Kept settings of an earlier run that were not put back are kept: " +
                      savedPath);
  } else {
    // The settings may hold credentials: the saved copy is for the running user's eyes only, and
    // so is its mark, a second copy of it.
    files_.CopyFileOwnerOnly(item.dbPropertiesPath, savedPath);
    files_.CopyFileOwnerOnly(savedPath, mark);
  }
  saved_.push_back({itemNumber, item.dbPropertiesPath});
}

bool FolderRestore::Checked(const std::wstring& backupDirectory, const FinalPath& item) {
  step_.At(checkpoint::kInstallationFolderExists);
  if (!files_.FolderExists(item.installationFolder)) {
    log_.LogMessage(item.rawFinalPath + L"not exist. Pls. check");
    return false;
  }
  step_.At(checkpoint::kBackupFolderStillExists);
  if (!files_.FolderExists(backupDirectory)) {
    log_.LogMessage(backupDirectory + L"can not be found. Pls. check");
    return false;
  }
  step_.At(checkpoint::kSelfRestoreCheck);
  if (backupDirectory == item.installationFolder ||
      SameFolder(files_, backupDirectory, item.installationFolder)) {
    log_.LogMessage(L"Cannot restore to itself" + item.rawFinalPath);
    return false;
  }
  return true;
}

FolderEnd FolderRestore::Plan(const FolderResult& folders,
                              const std::vector<std::wstring>& ownBelow,
                              const std::wstring& undoSet) {
  const CopyPlan plan =
      copier_.PlanFolderCopy(folders.backupDirectory, folders.installationFolder, ownBelow);
  log_.LogMessage(L"Would copy " + std::to_wstring(plan.files) + L" files (" +
                  std::to_wstring(plan.bytes) + L" bytes) from " + folders.backupDirectory +
                  L" to " + folders.installationFolder + L", " + std::to_wstring(plan.replacing) +
                  L" of them replacing existing files");
  if (!undoSet.empty()) {
    log_.WriteLogLine(L"Would keep for undo the " + std::to_wstring(plan.replacing) +
                      L" files the copy replaces, in " + undoSet);
  }
  if (plan.leftovers > 0) {
    log_.WriteLogLine(L"Would remove " + std::to_wstring(plan.leftovers) +
                      L" temporary files a stopped copy left in " + folders.installationFolder);
  }
  if (plan.notCopiedCount == 0) return FolderEnd::kCompleted;
  // The real run's end, foretold: what it will refuse, and a copy that is not complete.
  log_.LogMessage(L"Restore Folder NOT complete");
  LogNotCopied(log_, plan);
  return FolderEnd::kNotComplete;
}

bool FolderRestore::KeepForUndo(const FolderResult& folders,
                                const std::vector<std::wstring>& ownBelow,
                                const std::wstring& undoSet) {
  const KeptForUndo kept =
      keeper_.KeepReplaced(undoSet, folders.backupDirectory, folders.installationFolder, ownBelow);
  // Said where it is so: keeping copies costs what the copy costs again.
  log_.WriteLogLine(L"Kept for undo before the copy: " + std::to_wstring(kept.files) + L" files (" +
                    std::to_wstring(kept.bytes) + L" bytes) of " + folders.installationFolder +
                    L", and " + std::to_wstring(kept.added) + L" entries the copy adds" +
                    (kept.copied ? L"; the files kept are copies" : L""));
  for (const NotCopied& entry : kept.notKept) {
    log_.WriteLogLine(L"Not kept for undo: " + entry.path + L": " + entry.reason);
  }
  if (kept.notKeptCount > kept.notKept.size()) {
    log_.WriteLogLine(L"Not kept for undo: " +
                      std::to_wstring(kept.notKeptCount - kept.notKept.size()) + L" more");
  }
  kept_.files += kept.files;
  kept_.bytes += kept.bytes;
  kept_.folders.push_back(folders.installationFolder);
  if (kept.notKeptCount == 0) return true;
  // What the set does not hold, an undo could not put back: the copy is not made.
  log_.LogMessage(L"The undo set cannot keep " + std::to_wstring(kept.notKeptCount) +
                  L" entries of " + folders.installationFolder + L"; nothing of it was copied");
  return false;
}

FolderEnd FolderRestore::Copy(const FolderResult& folders,
                              const std::vector<std::wstring>& ownBelow) {
  const FolderCopy copy =
      copier_.CopyFolderContents(folders.backupDirectory, folders.installationFolder, ownBelow);
  if (copy.leftoversRemoved > 0) {
    log_.WriteLogLine(L"Removed " + std::to_wstring(copy.leftoversRemoved) +
                      L" temporary files a stopped copy left in " + folders.installationFolder);
  }
  step_.At(checkpoint::kCopyOutcome);
  if (copy.outcome == CopyOutcome::kComplete) {
    log_.LogMessage(L"Restore Folder completed");
    return FolderEnd::kCompleted;
  }
  step_.At(checkpoint::kCopyNotComplete);
  log_.LogMessage(L"Restore Folder NOT complete");
  LogNotCopied(log_, copy);
  return FolderEnd::kNotComplete;
}

void FolderRestore::PutBack(FolderRestoreMode mode, const std::vector<SavedSettings>& saved) {
  step_.At(checkpoint::kPutBackDbProperties);
  if (!mode.keepCurrentDbProperties || mode.dryRun) return;
  std::optional<Error> first;
  for (const SavedSettings& item : saved) {
    try {
      // Read by the application as the restored file was, not as the private saved copy.
      files_.CopyFileKeepingAccess(SavedDbPropertiesPath(environment_, item.itemNumber),
                                   item.dbPropertiesPath);
      files_.RemoveFile(PendingMarkPath(environment_, item.itemNumber));
    } catch (...) {
      if (!first) first = CurrentExceptionAsError();
    }
  }
  if (first) throw *first;
}

}  // namespace qelrestore
