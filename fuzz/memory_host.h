// A host whose only file is the fuzz input: OpenForInput serves its bytes under any name, and
// DecodeText decodes as the POSIX host does. Nothing else is backed by anything: every other method
// returns the answer of an empty machine (no files, no registry, no processes), so a parser that
// strays outside its file meets nothing rather than a real system.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "host/host.h"

namespace qelrestore::fuzz {

class MemoryHost : public Host {
 public:
  // `readSizes`, when not empty, caps successive reads of the served file in turn (cycling), so
  // that a reader meets short reads at every kind of boundary; empty: each read fills the buffer.
  explicit MemoryHost(std::string_view bytes, std::vector<size_t> readSizes = {})
      : bytes_(bytes), readSizes_(std::move(readSizes)) {}

  std::wstring CommandLine() override { return {}; }
  std::wstring ProgramFolder() override { return L"C:\\fuzz"; }
  void MessageBox(const std::wstring&) override {}
  bool Unattended() override { return true; }
  DateTime Now() override { return {}; }
  std::wstring FormatDateTime(const DateTime&) override { return L"2000/01/01 00:00:00"; }

  std::unique_ptr<FileSystem> CreateFileSystemObject() override;
  std::unique_ptr<ByteSource> OpenForInput(const std::wstring& path) override;
  std::wstring DecodeText(std::string_view bytes) override;
  void CopyFile(const std::wstring&, const std::wstring&) override;
  int32_t SHFileOperation(FileOperation& operation) override;

  std::unique_ptr<UserToken> OpenProcessToken() override { return nullptr; }
  bool GetUserProfileDirectory(const UserToken*, std::wstring&) override { return false; }

  int32_t RegOpenKeyEx(uint32_t, const std::wstring&, uint32_t, uint32_t,
                       RegistryKey& key) override {
    key = 0;
    return ERROR_FILE_NOT_FOUND;
  }
  int32_t RegQueryValueEx(RegistryKey, const std::wstring&, uint32_t&, uint8_t*,
                          uint32_t&) override {
    return ERROR_FILE_NOT_FOUND;
  }
  void RegCloseKey(RegistryKey) override {}

  uint32_t StartProcess(const std::wstring& commandLine, int windowStyle) override;
  void YieldToEvents() override {}
  ProcessHandle OpenProcess(uint32_t, bool, uint32_t) override { return 0; }
  WaitOutcome WaitForSingleObject(ProcessHandle, uint32_t) override { return WaitOutcome::kFailed; }
  void CloseHandle(ProcessHandle) override {}

 private:
  std::string_view bytes_;
  std::vector<size_t> readSizes_;
};

}  // namespace qelrestore::fuzz
