// The scripted host's file system: files and folders in maps, under the paths the logic spells,
// second paths of folders, the run log and the readers of the input files, and a record of every
// path written.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "host/files.h"
#include "host/input_files.h"
#include "host/text_stream.h"
#include "tests/unit/fake_calls.h"

namespace qelrestore::test {

class FakeFiles {
 public:
  explicit FakeFiles(FakeCalls& counter) : counter_(counter) {}

  // --- Script ---
  std::map<std::wstring, std::string> files;
  std::set<std::wstring> folders;
  // Second paths of folders (a junction, a short name): path -> the folder it leads to. A folder's
  // identity ignores letter case, the kind of separator and trailing ones.
  std::map<std::wstring, std::wstring> folderLinks;
  bool opensSlashPaths = false;              // PathAsOpened turns every "\" into "/"
  std::wstring currentFolder = L"C:\\Work";  // FullPath's folder of relative paths
  // A file a client left running writes on: found whenever it is opened, and more is there to read
  // after what it held then; every read past that counts in readsPastLength.
  std::wstring growingFile;
  int readsPastLength = 0;

  // --- Observation ---
  int openStreams = 0;  // the log's and standard output's
  int openInputs = 0;
  std::set<std::wstring> writtenPaths;    // every file created, appended to, copied over, removed
  std::set<std::wstring> ownerOnlyPaths;  // files last written by CopyFileOwnerOnly
  int inputsOpenWhenStreamReleased = -1;  // input files still open when a log stream went away

  // The file's lines (CR LF separated, the last line end dropped).
  std::vector<std::wstring> Lines(const std::wstring& path) const;
  // The log lines with their time text removed ("QEL start Restore", "Error: 76line no: ...").
  std::vector<std::wstring> LogMessages(const std::wstring& path) const;
  void AddFile(const std::wstring& path, const std::string& content);
  bool ParentFolderExists(const std::wstring& path) const;

  // --- Files, with InputFiles and TextDecoder ---
  std::unique_ptr<Reader> OpenForInput(const std::wstring& path);
  std::unique_ptr<Reader> OpenSuppliedFile(const std::wstring& path);
  std::unique_ptr<Reader> OpenSuppliedSettings(const std::wstring& path);
  std::wstring DecodeText(std::string_view bytes);
  std::wstring DecodeConsoleText(std::string_view bytes);
  bool FileExists(const std::wstring& path);
  bool FolderExists(const std::wstring& path);
  std::unique_ptr<TextStream> OpenLog(const std::wstring& path);
  void ProbeLog(const std::wstring& path);
  void CopyFileOwnerOnly(const std::wstring& source, const std::wstring& destination);
  void CopyFileKeepingAccess(const std::wstring& source, const std::wstring& destination);
  void RemoveFile(const std::wstring& path);
  std::optional<FolderIdentity> IdentifyFolder(const std::wstring& path);
  std::wstring PathAsOpened(const std::wstring& path);
  std::wstring FullPath(const std::wstring& path);

 private:
  // A whole-file copy of the kept settings, recorded as `call`; the copy takes the source's access.
  void CopyWholeFile(const std::string& call, const std::wstring& source,
                     const std::wstring& destination);

  FakeCalls& counter_;
};

// The path without the separators that end it, as the fake keeps its folders.
std::wstring WithoutTrailingBackslashes(std::wstring path);

}  // namespace qelrestore::test
