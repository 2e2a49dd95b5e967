// The POSIX form of the host: files through POSIX calls, boxes on standard error, the registry
// from a .reg file, the SQL client through posix_spawn.
#pragma once

#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "host/host.h"
#include "host/posix/posix_registry.h"
#include "host/posix/unique_fd.h"

namespace qelrestore::posix {

// The folders a package build installs into (each empty in any other build): the program's, and
// the writable ones it chose for the default log, the kept settings and the registry file.
struct InstalledFolders {
  std::string program;
  std::string log;
  std::string state;
  std::string registryFile;
};

// This build's installed folders, from its build settings.
InstalledFolders PackageFolders();

// Where one run keeps its files (native paths, no trailing separator on the folders).
// What the program's settings tell the host: the copy's workers (0: one per core) and the
// registry file ("" for the installation's own).
struct PosixHostSettings {
  unsigned copyWorkers = 0;
  std::string registryFile;
};

// The value of the process's environment variable `name`, or nothing when it is not set.
std::optional<std::wstring> ProcessVariable(const std::wstring& name);

struct RunFolders {
  std::string log;           // the default run log's folder
  std::string keptSettings;  // where the kept db.properties is saved
  std::string registryFile;  // the registry file when $QELRESTORE_REGISTRY does not name one
};

// The installed folders when the program runs from the folder it was installed in, else the
// program's own folder for all three.
RunFolders ChooseRunFolders(const std::string& programFolder, const InstalledFolders& installed);

class PosixHost final : public Host {
 public:
  // The arguments as main received them; argv[0] is not used (the program folder comes from the
  // running executable). `title` would caption a box's window; boxes on standard error carry
  // their text alone, as the Windows form writes them to its console, so it is not shown.
  // `copyWorkers` is how many workers copy a backup folder (the program's
  // $QELRESTORE_COPY_THREADS, checked); 0 leaves it to the copy, one per core up to 8.
  PosixHost(int argc, char** argv, std::wstring title, PosixHostSettings settings = {});

  std::wstring CommandLine() override;
  std::wstring ProgramFolder() override;
  std::wstring DefaultLogFolder() override;
  std::wstring KeptSettingsFolder() override;
  std::optional<std::wstring> EnvironmentVariable(const std::wstring& name) override;
  void MessageBox(const std::wstring& text) override;
  DateTime Now() override;
  std::wstring FormatDateTime(const DateTime& when) override;
  void YieldToEvents() override;
  std::optional<std::wstring> ProfileFolder() override;
  void ReportFailure(const std::wstring& line) override;
  void ShowProgress(const std::wstring& line) override;

  std::unique_ptr<Reader> OpenForInput(const std::wstring& path) override;
  std::unique_ptr<Reader> OpenSuppliedFile(const std::wstring& path) override;
  std::unique_ptr<Reader> OpenSuppliedSettings(const std::wstring& path) override;
  std::wstring DecodeText(std::string_view bytes) override;
  std::wstring DecodeConsoleText(std::string_view bytes) override;
  bool FileExists(const std::wstring& path) override;
  bool FolderExists(const std::wstring& path) override;
  std::unique_ptr<TextStream> OpenLog(const std::wstring& path) override;
  void ProbeLog(const std::wstring& path) override;
  std::unique_ptr<TextStream> OpenStandardOutput() override;
  void RemoveFile(const std::wstring& path) override;
  FolderCopy CopyFolderContents(const std::wstring& source, const std::wstring& destination,
                                const std::vector<std::wstring>& ownFiles) override;
  void StartUndoSet(const std::wstring& set) override;
  KeptForUndo KeepReplaced(const std::wstring& set, const std::wstring& source,
                           const std::wstring& installation,
                           const std::vector<std::wstring>& ownFiles) override;
  void NoteLeft(const std::wstring& set, const std::wstring& installation) override;
  UndoCheck CheckUndo(const std::wstring& set, const std::wstring& installation) override;
  UndoneFolder PutBackKept(const std::wstring& set, const std::wstring& installation) override;
  void DropUndoSet(const std::wstring& set) override;
  CopyPlan PlanFolderCopy(const std::wstring& source, const std::wstring& destination,
                          const std::vector<std::wstring>& ownFiles) override;
  std::optional<FolderIdentity> IdentifyFolder(const std::wstring& path) override;
  void CopyFileOwnerOnly(const std::wstring& source, const std::wstring& destination) override;
  void CopyFileKeepingAccess(const std::wstring& source, const std::wstring& destination) override;
  std::optional<int64_t> LockRun(const std::wstring& lockFile) override;

  RegistryAnswer QueryRegistryValue(RegistryView view, const std::wstring& keyPath,
                                    const std::wstring& valueName) override;

  std::unique_ptr<Process> Start(const std::wstring& commandLine) override;
  std::wstring PathAsOpened(const std::wstring& path) override;
  std::wstring FullPath(const std::wstring& path) override;
  int32_t DefaultClientWaitSeconds() override;
  std::optional<std::wstring> SubstituteClient(const std::wstring& clientToolsFolder,
                                               const std::wstring& program) override;
  std::wstring RegistryName() override;

 private:
  std::vector<std::string> arguments_;
  std::wstring programFolder_;
  RunFolders folders_;
  // Nobody can answer a box when standard input is no terminal.
  bool unattended_;
  std::string registryFile_;
  PosixRegistry registry_;
  unsigned copyWorkers_;  // 0: the copy's default
  // The access each file saved by CopyFileOwnerOnly had, by the saved copy's path: what it gets
  // back when it is put back.
  std::map<std::string, struct stat> savedAccess_;
  UniqueFd runLock_;  // held until the program ends; never inherited by the SQL client
};

}  // namespace qelrestore::posix
