// The POSIX form of the host: files through POSIX calls, boxes on standard error, the registry
// from a .reg file, the SQL client through posix_spawn.
#pragma once

#include <string>
#include <vector>

#include "host/host.h"
#include "host/posix/posix_process.h"
#include "host/posix/posix_registry.h"

namespace qelrestore::posix {

class PosixHost final : public Host {
 public:
  // The arguments as main received them; argv[0] is not used (the program folder comes from the
  // running executable).
  PosixHost(int argc, char** argv);

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
  std::vector<std::string> arguments_;
  std::wstring programFolder_;
  PosixRegistry registry_;
  PosixProcesses processes_;
};

}  // namespace qelrestore::posix
