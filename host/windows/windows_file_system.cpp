#include "host/windows/windows_file_system.h"

#include <string>
#include <utility>

#include "host/windows/windows_api.h"
#include "host/windows/windows_errors.h"
#include "host/windows/windows_text.h"

namespace qelrestore::windows {

namespace {

DWORD AttributesOf(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str());
}

bool IsFolderAttributes(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The log's stream. Each line goes to the file in one WriteFile call and nothing is held back in
// the program, so a line is in the file before the step that wrote it goes on, even if the
// process dies right after.
class WindowsTextStream final : public TextStream {
 public:
  WindowsTextStream(UniqueFileHandle file, std::wstring path)
      : file_(std::move(file)), path_(std::move(path)) {}

  void writeLine(const std::wstring& text) override {
    if (!file_.valid()) throw Error(code::kBadFileNumber);
    std::string bytes = ToAnsi(text);
    bytes += "\r\n";
    if (bytes.size() > MAXDWORD) throw CallError(code::kPathFileAccess, L"WriteFile", path_);
    DWORD written = 0;
    const DWORD size = static_cast<DWORD>(bytes.size());
    if (!::WriteFile(file_.get(), bytes.data(), size, &written, nullptr)) {
      throw Win32Error(::GetLastError(), L"WriteFile", path_);
    }
    if (written != size) throw CallError(code::kDiskFull, L"WriteFile", path_);
  }

  void Close() override { file_.reset(); }

 private:
  UniqueFileHandle file_;
  std::wstring path_;
};

class WindowsReader final : public Reader {
 public:
  WindowsReader(UniqueFileHandle file, std::wstring path)
      : file_(std::move(file)), path_(std::move(path)) {}

  size_t Read(char* buffer, size_t size) override {
    const DWORD ask = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
    DWORD got = 0;
    if (!::ReadFile(file_.get(), buffer, ask, &got, nullptr)) {
      throw Win32Error(::GetLastError(), L"ReadFile", path_);
    }
    return got;
  }

 private:
  UniqueFileHandle file_;
  std::wstring path_;
};

// Both streams let other programs read and write the file meanwhile, so an operator can watch the
// log while the run goes on.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;

// True when the open handle is a file on a disk: not a console or other character device, not a
// pipe or socket, not a folder.
bool IsDiskFile(HANDLE file) {
  if (::GetFileType(file) != FILE_TYPE_DISK) return false;
  BY_HANDLE_FILE_INFORMATION information{};
  return ::GetFileInformationByHandle(file, &information) &&
         (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

bool IsFile(const std::wstring& path) {
  const DWORD attributes = AttributesOf(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool IsFolder(const std::wstring& path) {
  return IsFolderAttributes(AttributesOf(path));
}

std::unique_ptr<TextStream> OpenLogFile(const std::wstring& path) {
  // FILE_APPEND_DATA without FILE_WRITE_DATA: every write lands at the current end of the file,
  // also when another program has written to it since it was opened.
  UniqueFileHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA, kShareAll, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) throw Win32Error(::GetLastError(), L"CreateFileW", path);
  return std::make_unique<WindowsTextStream>(std::move(file), path);
}

std::unique_ptr<Reader> OpenInputFile(const std::wstring& path) {
  UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    const DWORD error = ::GetLastError();
    // A folder refuses CreateFileW with "access denied"; it is no permission problem.
    if (IsFolder(path)) throw CallError(code::kPathFileAccess, L"CreateFileW", path);
    throw Win32Error(error, L"CreateFileW", path);
  }
  if (!IsDiskFile(file.get())) throw CallError(code::kPathFileAccess, L"not a disk file:", path);
  return std::make_unique<WindowsReader>(std::move(file), path);
}

void CopyWholeFile(const std::wstring& source, const std::wstring& destination) {
  if (::CopyFileW(source.c_str(), destination.c_str(), FALSE)) return;
  const DWORD error = ::GetLastError();
  const std::wstring both = source + L" -> " + destination;
  // The source missing because its folder is missing is still a missing source.
  if (AttributesOf(source) == INVALID_FILE_ATTRIBUTES) {
    throw CallError(code::kFileNotFound, L"CopyFileW", both);
  }
  throw Win32Error(error, L"CopyFileW", both);
}

void DeleteFileIfThere(const std::wstring& path) {
  if (::DeleteFileW(path.c_str())) return;
  const DWORD error = ::GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;
  throw Win32Error(error, L"DeleteFileW", path);
}

FolderCopy ShellCopyFolderContents(const std::wstring& source, const std::wstring& destination,
                                   bool unattended) {
  // The wildcard makes the shell copy what the folder holds rather than the folder itself. Each
  // path list is ended by an empty entry: the string's own NUL plus the one added here.
  std::string from = ToAnsi(source);
  from += from.empty() || from.back() != '\\' ? "\\*" : "*";
  from += '\0';
  std::string to = ToAnsi(destination);
  to += '\0';
  SHFILEOPSTRUCTA shell{};
  shell.hwnd = nullptr;
  shell.wFunc = FO_COPY;
  shell.pFrom = from.c_str();
  shell.pTo = to.c_str();
  shell.fFlags = FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR;
  // Unattended runs keep the shell's own windows away: no dialog may hold the run.
  if (unattended) shell.fFlags |= FOF_SILENT | FOF_NOERRORUI;
  const int result = ::SHFileOperationA(&shell);
  // The shell reports a failure only in its result or as an aborted operation; it does not say
  // which entries were left out, so none is named or counted.
  FolderCopy copy;
  copy.outcome = result == 0 && shell.fAnyOperationsAborted == FALSE ? CopyOutcome::kComplete
                                                                     : CopyOutcome::kIncomplete;
  return copy;
}

}  // namespace qelrestore::windows
