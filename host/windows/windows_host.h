// The Windows form of the host: each method calls the Win32 function it is named after. Boxes go
// to standard error instead when QELRESTORE_BOXES is "console" (unattended runs and the tests).
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "host/host.h"
#include "host/windows/windows_api.h"

namespace qelrestore::windows {

class WindowsHost final : public Host {
 public:
  WindowsHost();
  WindowsHost(const WindowsHost&) = delete;
  WindowsHost& operator=(const WindowsHost&) = delete;
  // Closes every handle and key still held; started processes run on.
  ~WindowsHost() override;

  std::wstring CommandLine() override;
  std::wstring ProgramFolder() override;
  void MessageBox(const std::wstring& text) override;
  bool Unattended() override;
  DateTime Now() override;
  std::wstring FormatDateTime(const DateTime& when) override;

  std::unique_ptr<FileSystem> CreateFileSystemObject() override;
  std::unique_ptr<ByteSource> OpenForInput(const std::wstring& path) override;
  std::wstring DecodeText(std::string_view bytes) override;
  void CopyFile(const std::wstring& source, const std::wstring& destination) override;
  int32_t SHFileOperation(FileOperation& operation) override;

  std::unique_ptr<UserToken> OpenProcessToken() override;
  bool GetUserProfileDirectory(const UserToken* token, std::wstring& profile) override;

  int32_t RegOpenKeyEx(uint32_t rootKey, const std::wstring& subKey, uint32_t options,
                       uint32_t access, RegistryKey& key) override;
  int32_t RegQueryValueEx(RegistryKey key, const std::wstring& valueName, uint32_t& type,
                          uint8_t* data, uint32_t& byteCount) override;
  void RegCloseKey(RegistryKey key) override;

  uint32_t StartProcess(const std::wstring& commandLine, int windowStyle) override;
  void YieldToEvents() override;
  ProcessHandle OpenProcess(uint32_t access, bool inherit, uint32_t processId) override;
  WaitOutcome WaitForSingleObject(ProcessHandle handle, uint32_t milliseconds) override;
  void CloseHandle(ProcessHandle handle) override;

 private:
  bool boxesOnConsole_;
  // The handles of the processes this host started, by id: held until the host goes, so that an
  // id cannot be given to another process before the logic opens it.
  std::map<uint32_t, UniqueProcessHandle> started_;
  // The handles OpenProcess gave out, by the value the logic holds.
  std::map<ProcessHandle, UniqueProcessHandle> opened_;
  // The registry keys RegOpenKeyEx gave out, by the value the logic holds.
  std::map<RegistryKey, UniqueRegistryKey> keys_;
};

}  // namespace qelrestore::windows
