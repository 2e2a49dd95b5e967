// Files on Windows: the file-system object and its text stream (the run log), the sequential input
// file, and whole-file copy. Every file is opened with CreateFileW and owned by its object.
#pragma once

#include <memory>
#include <string>

#include "host/host.h"

namespace qelrestore::windows {

class WindowsFileSystem final : public FileSystem {
 public:
  bool FileExists(const std::wstring& path) override;
  bool FolderExists(const std::wstring& path) override;
  // CREATE_ALWAYS when `overwrite`, else CREATE_NEW (an existing file is then error 75).
  std::unique_ptr<TextStream> CreateTextFile(const std::wstring& path, bool overwrite) override;
  // Only ioMode 8 (appending) is known; any other mode is error 5. OPEN_ALWAYS when `create` is
  // non-zero, else OPEN_EXISTING (a missing file is then error 53).
  std::unique_ptr<TextStream> OpenTextFile(const std::wstring& path, int ioMode,
                                           int create) override;
};

// Opens the file for reading; a missing file is error 53, a folder error 75.
std::unique_ptr<ByteSource> OpenInputFile(const std::wstring& path);

// Copies `source` over `destination`; a missing source is error 53 (also when its folder is
// missing), other failures are mapped from the system's error.
void CopyWholeFile(const std::wstring& source, const std::wstring& destination);

}  // namespace qelrestore::windows
