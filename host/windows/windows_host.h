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

class WindowsHost final : public Host {
 public:
  // `title` is the caption of the boxes.
  explicit WindowsHost(std::wstring title);
  ~WindowsHost() override;

  std::wstring CommandLine() override;
  std::wstring ProgramFolder() override;
  std::wstring DefaultLogFolder() override;
  std::wstring KeptSettingsFolder() override;
  std::optional<std::wstring> EnvironmentVariable(const std::wstring& name) override;
  void MessageBox(const std::wstring& text) override;
  bool Unattended() override;
  DateTime Now() override;
  std::wstring FormatDateTime(const DateTime& when) override;
  void YieldToEvents() override;
  std::optional<std::wstring> ProfileFolder() override;
  void ReportFailure(const std::wstring& line) override;
  std::optional<int64_t> LockRun(const std::wstring& lockFile) override;

  bool FileExists(const std::wstring& path) override;
  bool FolderExists(const std::wstring& path) override;
  std::unique_ptr<TextStream> OpenLog(const std::wstring& path) override;
  std::unique_ptr<TextStream> OpenStandardOutput() override;
  void CopyFile(const std::wstring& source, const std::wstring& destination) override;
  void RemoveFile(const std::wstring& path) override;
  FolderCopy CopyFolderContents(const std::wstring& source, const std::wstring& destination,
                                bool unattended) override;
  CopyPlan PlanFolderCopy(const std::wstring& source, const std::wstring& destination) override;
  std::optional<FolderIdentity> IdentifyFolder(const std::wstring& path) override;
  std::unique_ptr<Reader> OpenForInput(const std::wstring& path) override;
  std::wstring DecodeText(std::string_view bytes) override;
  std::wstring DecodeConsoleText(std::string_view bytes) override;

  RegistryAnswer QueryRegistryValue(RegistryView view, const std::wstring& keyPath,
                                    const std::wstring& valueName) override;

  std::unique_ptr<Process> Start(const std::wstring& commandLine, WindowStyle style,
                                 const std::wstring& progressFile) override;

 private:
  std::wstring title_;
  bool boxesOnConsole_;
  std::unique_ptr<RunLockFile> runLock_;  // held until the program ends
};

}  // namespace qelrestore::windows
