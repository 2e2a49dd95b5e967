#include "host/windows/windows_file_system.h"

#include <cstdint>
#include <optional>
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

  std::optional<uint64_t> Length() override {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file_.get(), &size)) return std::nullopt;
    return static_cast<uint64_t>(size.QuadPart);
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

void ProbeLogFile(const std::wstring& path) {
  UniqueFileHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA, kShareAll, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.valid()) return;
  const DWORD error = ::GetLastError();
  if (error == ERROR_FILE_NOT_FOUND) return;
  throw Win32Error(error, L"CreateFileW", path);
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

namespace {

// The open file's record: attributes, link count, volume and file index. False when the path
// cannot be opened. With `ownEntry` a link or junction at `path` is looked at, not its target.
bool RecordOf(const std::wstring& path, bool ownEntry, BY_HANDLE_FILE_INFORMATION& record) {
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (ownEntry ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  const UniqueFileHandle file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                            kShareAll | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                            flags, nullptr));
  return file.valid() && ::GetFileInformationByHandle(file.get(), &record);
}

// A name beside `path` that is this process's own for this call.
std::wstring NameBeside(const std::wstring& path, const wchar_t* kind, int attempt) {
  return path + L"." + kind + std::to_wstring(::GetCurrentProcessId()) + L"-" +
         std::to_wstring(attempt);
}

constexpr DWORD kBlockingAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// Puts the file `fresh` in place of the name `destination`. Moving replaces the name only: what a
// hard or symbolic link there leads to is never opened. A read-only, hidden or system file there
// refuses to be replaced; when that name is the file's only one its attributes are cleared first,
// otherwise (a link that others share) it is moved aside under a name of its own and deleted when
// the system lets it be, since clearing its attributes would change the file it leads to.
bool PutInPlace(const std::wstring& fresh, const std::wstring& destination) {
  constexpr DWORD kReplace = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
  if (::MoveFileExW(fresh.c_str(), destination.c_str(), kReplace)) return true;
  const DWORD error = ::GetLastError();
  BY_HANDLE_FILE_INFORMATION record{};
  if (!RecordOf(destination, true, record) ||
      (record.dwFileAttributes & kBlockingAttributes) == 0 ||
      (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    ::SetLastError(error);
    return false;
  }
  const bool ownName =
      record.nNumberOfLinks == 1 && (record.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
  if (ownName) {
    const DWORD cleared = record.dwFileAttributes & ~kBlockingAttributes;
    if (!::SetFileAttributesW(destination.c_str(), cleared == 0 ? FILE_ATTRIBUTE_NORMAL : cleared))
      return false;
    return ::MoveFileExW(fresh.c_str(), destination.c_str(), kReplace) != 0;
  }
  const std::wstring aside = NameBeside(destination, L"old", 0);
  if (!::MoveFileExW(destination.c_str(), aside.c_str(), 0)) return false;
  if (!::MoveFileExW(fresh.c_str(), destination.c_str(), kReplace)) return false;
  ::DeleteFileW(aside.c_str());
  return true;
}

}  // namespace

void CopyWholeFile(const std::wstring& source, const std::wstring& destination) {
  const std::wstring both = source + L" -> " + destination;
  // The copy is made under a name no other entry holds (CopyFileW is told not to replace one),
  // so nothing planted beside the destination is written through.
  std::wstring fresh;
  for (int attempt = 0;; ++attempt) {
    fresh = NameBeside(destination, L"new", attempt);
    if (::CopyFileW(source.c_str(), fresh.c_str(), TRUE)) break;
    const DWORD error = ::GetLastError();
    if ((error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) && attempt < 16) continue;
    // The source missing because its folder is missing is still a missing source.
    if (AttributesOf(source) == INVALID_FILE_ATTRIBUTES) {
      throw CallError(code::kFileNotFound, L"CopyFileW", both);
    }
    throw Win32Error(error, L"CopyFileW", both);
  }
  // CopyFileW gives the copy the source's attributes; a read-only copy would refuse the next run.
  const DWORD copied = AttributesOf(fresh) & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
  ::SetFileAttributesW(fresh.c_str(), copied == 0 ? FILE_ATTRIBUTE_NORMAL : copied);
  if (PutInPlace(fresh, destination)) return;
  const DWORD error = ::GetLastError();
  ::DeleteFileW(fresh.c_str());
  throw Win32Error(error, L"MoveFileExW", both);
}

std::wstring FullPathOf(const std::wstring& path) {
  if (path.empty() || path.find(L'\0') != std::wstring::npos) return path;
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0) return path;
    if (length < full.size()) {
      full.resize(length);
      return full;
    }
    full.resize(length);  // the size needed, terminator included
  }
}

std::optional<FolderIdentity> IdentityOfFolder(const std::wstring& path) {
  BY_HANDLE_FILE_INFORMATION record{};
  if (!RecordOf(path, false, record) || (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
    return std::nullopt;
  const uint64_t index =
      (static_cast<uint64_t>(record.nFileIndexHigh) << 32) | record.nFileIndexLow;
  // Some network file systems give every file the index 0, and a 128-bit index that does not fit
  // comes back as all ones: such an index tells no folder from another.
  if (index == 0 || index == UINT64_MAX) return std::nullopt;
  return FolderIdentity{record.dwVolumeSerialNumber, index};
}

void DeleteFileIfThere(const std::wstring& path) {
  if (::DeleteFileW(path.c_str())) return;
  const DWORD error = ::GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;
  throw Win32Error(error, L"DeleteFileW", path);
}

}  // namespace qelrestore::windows
