#include "host/windows/windows_file_system.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

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

// A stream of lines in the ANSI code page, each ended by CR LF. Each line goes out in one
// WriteFile call and nothing is held back in the program, so a line is in the file (or on its
// way to the reader of standard output) before the step that wrote it goes on, even if the
// process dies right after.
class WindowsTextStream final : public TextStream {
 public:
  // The run log: the stream owns its file and closes it.
  WindowsTextStream(UniqueFileHandle file, std::wstring name)
      : owned_(std::move(file)), handle_(owned_.get()), name_(std::move(name)) {}
  // Standard output: the handle stays the process's own; closing the stream only stops writing.
  WindowsTextStream(HANDLE borrowed, std::wstring name)
      : handle_(borrowed), name_(std::move(name)) {}

  void writeLine(const std::wstring& text) override {
    if (closed_) throw Error(code::kBadFileNumber);
    std::string bytes = ToAnsi(text);
    bytes += "\r\n";
    if (bytes.size() > MAXDWORD) throw CallError(code::kPathFileAccess, L"WriteFile", name_);
    DWORD written = 0;
    const DWORD size = static_cast<DWORD>(bytes.size());
    if (!::WriteFile(handle_, bytes.data(), size, &written, nullptr)) {
      throw Win32Error(::GetLastError(), L"WriteFile", name_);
    }
    if (written != size) throw CallError(code::kDiskFull, L"WriteFile", name_);
  }

  void Close() override {
    owned_.reset();
    closed_ = true;
  }

 private:
  UniqueFileHandle owned_;
  HANDLE handle_;
  std::wstring name_;
  bool closed_ = false;
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

std::unique_ptr<TextStream> OpenStandardOutputStream() {
  // No handle (a process started without standard output) is no failure here: the first line
  // written fails, as a write to a closed pipe does.
  return std::make_unique<WindowsTextStream>(::GetStdHandle(STD_OUTPUT_HANDLE), L"standard output");
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

namespace {

// `folder` and `name` joined by one backslash (a drive's root already ends in one).
std::wstring Joined(const std::wstring& folder, const std::wstring& name) {
  if (name.empty()) return folder;
  if (folder.empty() || folder.back() == L'\\') return folder + name;
  return folder + L'\\' + name;
}

}  // namespace

CopyPlan PlanShellFolderCopy(const std::wstring& source, const std::wstring& destination) {
  // The shell's copy cannot list what it would do, so the plan walks the source itself, the way
  // the copy meets it: every entry, hidden and system ones included. An entry that is a reparse
  // point (a link or junction) is copied as the link it is, so it counts as a file and its
  // target is not walked. Folders are paths relative to `source`; a stack rather than recursion
  // keeps a deep tree off the call stack.
  CopyPlan plan;
  std::vector<std::wstring> folders{L""};
  while (!folders.empty()) {
    const std::wstring relative = std::move(folders.back());
    folders.pop_back();
    WIN32_FIND_DATAW found{};
    const HANDLE search =
        ::FindFirstFileExW(Joined(Joined(source, relative), L"*").c_str(), FindExInfoBasic, &found,
                           FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    // A folder that cannot be listed is left out of the count, as the copy would leave it out.
    if (search == INVALID_HANDLE_VALUE) continue;
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring entry = Joined(relative, name);
      const DWORD attributes = found.dwFileAttributes;
      if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
          (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        folders.push_back(entry);
        continue;
      }
      ++plan.files;
      plan.bytes += (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
      if (AttributesOf(Joined(destination, entry)) != INVALID_FILE_ATTRIBUTES) ++plan.replacing;
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
  }
  return plan;
}

}  // namespace qelrestore::windows
