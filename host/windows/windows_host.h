// The Windows form of the host: files through CreateFileW and the shell's copy, the registry's
// two views, the SQL client through CreateProcessW. Boxes go to standard error instead of windows
// when QELRESTORE_BOXES is "console" (unattended runs and the tests).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "host/host.h"

namespace qelrestore::windows {

// The open lock file of a run (windows_host.cpp).
struct RunLockFile;

// How the SQL client's window is shown.
enum class ClientWindow { kNormal, kMaximized };

// The value of the process's environment variable `name`, or nothing when it is not set.
std::optional<std::wstring> ProcessVariable(const std::wstring& name);

class WindowsHost final : public Host {
 public:
  // `title` is the caption of the boxes; the client's window is shown as `clientWindow` says.
  // `boxesOnConsole`: boxes go to standard error, for a run nobody attends (QELRESTORE_BOXES).
  explicit WindowsHost(std::wstring title, ClientWindow clientWindow = ClientWindow::kMaximized,
                       bool boxesOnConsole = false);
  ~WindowsHost() override;

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
  std::optional<int64_t> LockRun(const std::wstring& lockFile) override;

  bool FileExists(const std::wstring& path) override;
  bool FolderExists(const std::wstring& path) override;
  std::unique_ptr<TextStream> OpenLog(const std::wstring& path) override;
  void ProbeLog(const std::wstring& path) override;
  std::unique_ptr<TextStream> OpenStandardOutput() override;
  void CopyFileOwnerOnly(const std::wstring& source, const std::wstring& destination) override;
  void CopyFileKeepingAccess(const std::wstring& source, const std::wstring& destination) override;
  void RemoveFile(const std::wstring& path) override;
  FolderCopy CopyFolderContents(const std::wstring& source, const std::wstring& destination,
                                const std::vector<std::wstring>& ownFiles) override;
  CopyPlan PlanFolderCopy(const std::wstring& source, const std::wstring& destination,
                          const std::vector<std::wstring>& ownFiles) override;
  void StartUndoSet(const std::wstring& set) override;
  KeptForUndo KeepReplaced(const std::wstring& set, const std::wstring& source,
                           const std::wstring& installation,
                           const std::vector<std::wstring>& ownFiles) override;
  void NoteLeft(const std::wstring& set, const std::wstring& installation) override;
  UndoCheck CheckUndo(const std::wstring& set, const std::wstring& installation) override;
  UndoneFolder PutBackKept(const std::wstring& set, const std::wstring& installation) override;
  void DropUndoSet(const std::wstring& set) override;
  std::optional<FolderIdentity> IdentifyFolder(const std::wstring& path) override;
  std::wstring PathAsOpened(const std::wstring& path) override;
  std::wstring FullPath(const std::wstring& path) override;
  std::unique_ptr<Reader> OpenForInput(const std::wstring& path) override;
  std::unique_ptr<Reader> OpenSuppliedFile(const std::wstring& path) override;
  std::unique_ptr<Reader> OpenSuppliedSettings(const std::wstring& path) override;
  std::wstring DecodeText(std::string_view bytes) override;
  std::wstring DecodeConsoleText(std::string_view bytes) override;

  RegistryAnswer QueryRegistryValue(RegistryView view, const std::wstring& keyPath,
                                    const std::wstring& valueName) override;
  std::wstring RegistryName() override;

  std::unique_ptr<Process> Start(const std::wstring& commandLine) override;
  int32_t DefaultClientWaitSeconds() override;
  std::optional<std::wstring> SubstituteClient(const std::wstring& clientToolsFolder,
                                               const std::wstring& program) override;

 private:
  std::wstring title_;
  ClientWindow clientWindow_;
  bool boxesOnConsole_;
  std::unique_ptr<RunLockFile> runLock_;  // held until the program ends
};

}  // namespace qelrestore::windows
