#include "restore/folder_restore.h"

#include "support/text.h"

namespace qelrestore {

namespace {
std::wstring SavedDbPropertiesPath(Host& host) {
  return host.ProgramFolder() + L"\\curdb.properties.bak";
}
}  // namespace

PhaseEnd CheckBackupFolder(Run& run) {
  run.checkpoint = 40;
  if (run.log.fileSystem().FolderExists(run.settings.backupDirectory)) return PhaseEnd::kGoOn;
  run.checkpoint = 41;
  run.log.LogMessage(run.settings.backupDirectory + L"backup directory not found. Pls. check");
  return PhaseEnd::kStop;
}

PhaseEnd RestoreInstallationFolder(Run& run) {
  std::wstring& backupDirectory = run.settings.backupDirectory;
  FileSystem& fileSystem = run.log.fileSystem();

  run.checkpoint = 58;
  if (run.settings.keepCurrentDbProperties == L"Y") {
    run.host.CopyFile(run.dbPropertiesPath, SavedDbPropertiesPath(run.host));
  }
  run.checkpoint = 59;
  if (!fileSystem.FolderExists(run.installationFolder)) {
    run.log.LogMessage(run.rawFinalPath + L"not exist. Pls. check");
    return PhaseEnd::kStop;
  }
  run.checkpoint = 63;
  if (!fileSystem.FolderExists(backupDirectory)) {
    run.log.LogMessage(backupDirectory + L"can not be found. Pls. check");
    return PhaseEnd::kStop;
  }
  run.checkpoint = 651;
  if (backupDirectory == run.installationFolder) {
    run.log.LogMessage(L"Cannot restore to itself" + run.rawFinalPath);
    return PhaseEnd::kStop;
  }
  run.checkpoint = 66;
  run.installationFolder = NormalizeTrailingSeparator(run.installationFolder);
  if (!backupDirectory.empty() && backupDirectory.back() == L'\\') backupDirectory.pop_back();
  run.checkpoint = 68;
  run.log.LogMessage(L"Start copying from " + backupDirectory + L"to " + run.installationFolder);
  run.checkpoint = 69;
  const bool complete =
      CopyFolderContents(run.host, backupDirectory + L"\\*", run.installationFolder);
  run.checkpoint = 691;
  if (complete) {
    run.log.LogMessage(L"Restore Folder completed");
  } else {
    run.checkpoint = 693;
    run.folderCopyIncomplete = true;
    run.log.LogMessage(L"Restore Folder NOT complete");
  }
  return PhaseEnd::kGoOn;
}

void PutBackDbProperties(Run& run) {
  run.checkpoint = 76;
  if (run.settings.keepCurrentDbProperties != L"Y") return;
  run.host.CopyFile(SavedDbPropertiesPath(run.host), run.dbPropertiesPath);
}

bool CopyFolderContents(Host& host, std::wstring source, std::wstring destination) {
  FileOperation operation;
  operation.wFunc = FO_COPY;
  operation.pFrom = std::move(source);
  operation.pTo = std::move(destination);
  operation.fFlags = FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR;
  // Unattended runs keep the shell's own windows away: no dialog may hold the run.
  if (host.Unattended()) operation.fFlags |= FOF_SILENT | FOF_NOERRORUI;
  // A failure the shell reports only in its result code makes the copy incomplete too.
  const int32_t result = host.SHFileOperation(operation);
  return result == 0 && !operation.fAnyOperationsAborted;
}

}  // namespace qelrestore
