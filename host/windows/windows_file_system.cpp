#include "host/windows/windows_file_system.h"

#include <string>
#include <utility>

#include "host/windows/windows_api.h"
#include "host/windows/windows_errors.h"
#include "host/windows/windows_text.h"

namespace qelrestore::windows {

namespace {

constexpr int kForAppending = 8;

DWORD AttributesOf(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str());
}

bool IsFolder(DWORD attributes) {
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

class WindowsByteSource final : public ByteSource {
 public:
  WindowsByteSource(UniqueFileHandle file, std::wstring path)
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

std::unique_ptr<TextStream> OpenStream(const std::wstring& path, DWORD access, DWORD disposition) {
  UniqueFileHandle file(::CreateFileW(path.c_str(), access, kShareAll, nullptr, disposition,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) throw Win32Error(::GetLastError(), L"CreateFileW", path);
  return std::make_unique<WindowsTextStream>(std::move(file), path);
}

}  // namespace

bool WindowsFileSystem::FileExists(const std::wstring& path) {
  const DWORD attributes = AttributesOf(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool WindowsFileSystem::FolderExists(const std::wstring& path) {
  return IsFolder(AttributesOf(path));
}

std::unique_ptr<TextStream> WindowsFileSystem::CreateTextFile(const std::wstring& path,
                                                              bool overwrite) {
  return OpenStream(path, GENERIC_WRITE, overwrite ? CREATE_ALWAYS : CREATE_NEW);
}

std::unique_ptr<TextStream> WindowsFileSystem::OpenTextFile(const std::wstring& path, int ioMode,
                                                            int create) {
  if (ioMode != kForAppending) throw Error(code::kInvalidCall);
  // FILE_APPEND_DATA without FILE_WRITE_DATA: every write lands at the current end of the file,
  // also when another program has written to it since it was opened.
  return OpenStream(path, FILE_APPEND_DATA, create != 0 ? OPEN_ALWAYS : OPEN_EXISTING);
}

std::unique_ptr<ByteSource> OpenInputFile(const std::wstring& path) {
  UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    const DWORD error = ::GetLastError();
    // A folder refuses CreateFileW with "access denied"; it is no permission problem.
    if (IsFolder(AttributesOf(path))) throw CallError(code::kPathFileAccess, L"CreateFileW", path);
    throw Win32Error(error, L"CreateFileW", path);
  }
  return std::make_unique<WindowsByteSource>(std::move(file), path);
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

}  // namespace qelrestore::windows
