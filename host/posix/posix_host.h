// The POSIX form of the host: files through POSIX calls, boxes on standard error, the registry
// from a .reg file, the SQL client through posix_spawn.
#pragma once

#include <string>
#include <vector>

#include "host/host.h"
#include "host/posix/posix_registry.h"

namespace qelrestore::posix {

class PosixHost final : public Host {
 public:
  // The arguments as main received them; argv[0] is not used (the program folder comes from the
  // running executable). `title` would caption a box's window; boxes on standard error carry
  // their text alone, as the Windows form writes them to its console, so it is not shown.
  PosixHost(int argc, char** argv, std::wstring title);

  std::wstring CommandLine() override;
  std::wstring ProgramFolder() override;
  std::optional<std::wstring> EnvironmentVariable(const std::wstring& name) override;
  void MessageBox(const std::wstring& text) override;
  bool Unattended() override;
  DateTime Now() override;
  std::wstring FormatDateTime(const DateTime& when) override;
  void YieldToEvents() override;
  std::optional<std::wstring> ProfileFolder() override;

  std::unique_ptr<Reader> OpenForInput(const std::wstring& path) override;
  std::wstring DecodeText(std::string_view bytes) override;
  bool FileExists(const std::wstring& path) override;
  bool FolderExists(const std::wstring& path) override;
  std::unique_ptr<TextStream> OpenLog(const std::wstring& path) override;
  void CopyFile(const std::wstring& source, const std::wstring& destination) override;
  void RemoveFile(const std::wstring& path) override;
  FolderCopy CopyFolderContents(const std::wstring& source, const std::wstring& destination,
                                bool unattended) override;

  RegistryAnswer QueryRegistryValue(RegistryView view, const std::wstring& keyPath,
                                    const std::wstring& valueName) override;

  std::unique_ptr<Process> Start(const std::wstring& commandLine, WindowStyle style) override;

 private:
  std::vector<std::string> arguments_;
  std::wstring programFolder_;
  // Nobody can answer a box when standard input is no terminal.
  bool unattended_;
  PosixRegistry registry_;
};

}  // namespace qelrestore::posix
