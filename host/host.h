// Everything the restore logic needs of the machine it runs on. The logic talks to nothing else:
// the Windows form calls the Win32 functions these methods are named after, the POSIX form imitates
// them, and the unit tests script a fake. Paths are the logic's own Windows texts (backslashes);
// a host converts them at each operating-system call.
//
// Failure convention: a method that can fail throws qelrestore::Error with the code of the
// failure (53 file not found, 76 path not found, 70 permission denied, 75 path/file access error,
// 61 disk full, 57 device I/O error), unless its comment says it reports failure in its result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace qelrestore {

// A clock reading. The calendar fields are local time; `serialSeconds` counts whole seconds on a
// clock that never goes back, so that the difference of two readings is the elapsed time even
// when the machine's clock is changed in between.
struct DateTime {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int64_t serialSeconds = 0;
};

// Whole seconds from `start` to `end` (start first).
inline int64_t ElapsedSeconds(const DateTime& start, const DateTime& end) {
  return end.serialSeconds - start.serialSeconds;
}

// The log's text stream: single-byte text, each line reaching the file before writeLine returns.
class TextStream {
 public:
  virtual ~TextStream() = default;
  // Appends the text and CR LF. Throws when the line cannot be written.
  virtual void writeLine(const std::wstring& text) = 0;
  // Closes the file; closing a closed stream does nothing.
  virtual void Close() = 0;
};

// The file-system object: existence tests and the log's streams.
class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // True when a file (not a folder) of that path exists. Never throws.
  virtual bool FileExists(const std::wstring& path) = 0;
  // True when a folder of that path exists. Never throws.
  virtual bool FolderExists(const std::wstring& path) = 0;
  // Creates the file, replacing one that exists, for writing single-byte text.
  virtual std::unique_ptr<TextStream> CreateTextFile(const std::wstring& path, bool overwrite) = 0;
  // Opens the file in `ioMode` (8: appending), creating it when `create` is non-zero.
  virtual std::unique_ptr<TextStream> OpenTextFile(const std::wstring& path, int ioMode,
                                                   int create) = 0;
};

// The bytes of a file opened for sequential input.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to `size` bytes into `buffer`; returns how many, 0 at the end of the file.
  virtual size_t Read(char* buffer, size_t size) = 0;
};

// The access token of the running process, as the profile lookup uses it.
class UserToken {
 public:
  virtual ~UserToken() = default;
};

// The record of a shell file operation, in the program's own text; the host makes the platform's
// form of it (ANSI paths ended by a double NUL) for the call.
struct FileOperation {
  uintptr_t hwnd = 0;
  uint32_t wFunc = 0;
  std::wstring pFrom;
  std::wstring pTo;
  uint16_t fFlags = 0;
  bool fAnyOperationsAborted = false;
  uintptr_t hNameMappings = 0;
};

inline constexpr uint32_t FO_COPY = 2;
inline constexpr uint16_t FOF_SILENT = 0x0004;
inline constexpr uint16_t FOF_NOCONFIRMATION = 0x0010;
inline constexpr uint16_t FOF_NOCONFIRMMKDIR = 0x0200;
inline constexpr uint16_t FOF_NOERRORUI = 0x0400;

// Registry access, with the numbering of the Win32 registry functions.
using RegistryKey = uint64_t;  // 0: no key
inline constexpr uint32_t HKEY_LOCAL_MACHINE = 0x80000002u;
inline constexpr uint32_t KEY_READ = 0x20019u;
inline constexpr uint32_t KEY_WOW64_64KEY = 0x0100u;
inline constexpr uint32_t KEY_WOW64_32KEY = 0x0200u;
// Value types.
inline constexpr uint32_t REG_NONE = 0;
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_EXPAND_SZ = 2;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_DWORD = 4;
inline constexpr uint32_t REG_MULTI_SZ = 7;
inline constexpr uint32_t REG_QWORD = 11;
inline constexpr int32_t ERROR_SUCCESS = 0;
inline constexpr int32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr int32_t ERROR_MORE_DATA = 234;

// Processes, with the numbering of the Win32 process functions.
using ProcessHandle = uint64_t;  // 0: no handle
inline constexpr uint32_t SYNCHRONIZE = 0x00100000u;

// How one wait on a process ended.
enum class WaitOutcome { kEnded, kTimedOut, kFailed };

class Host {
 public:
  virtual ~Host() = default;

  // --- Program, boxes, clock ---
  // The text that follows the program name on the command line, quotes included.
  virtual std::wstring CommandLine() = 0;
  // The folder of the running executable, without a trailing separator.
  virtual std::wstring ProgramFolder() = 0;
  // Shows the text with the program's title and a single OK button; returns once dismissed.
  virtual void MessageBox(const std::wstring& text) = 0;
  // True when boxes go to the console and nobody is there to answer windows (unattended runs).
  virtual bool Unattended() = 0;
  virtual DateTime Now() = 0;
  // The host's default text form of a date-time; it never holds ": ".
  virtual std::wstring FormatDateTime(const DateTime& when) = 0;

  // --- Files ---
  virtual std::unique_ptr<FileSystem> CreateFileSystemObject() = 0;
  // Opens a file for sequential reading; a missing file is error 53.
  virtual std::unique_ptr<ByteSource> OpenForInput(const std::wstring& path) = 0;
  // Decodes single-byte text of the files and the registry (the ANSI code page on Windows). Never
  // throws; bytes that do not decode are kept recognisably rather than dropped.
  virtual std::wstring DecodeText(std::string_view bytes) = 0;
  // Copies one whole file over `destination`; a missing source is error 53.
  virtual void CopyFile(const std::wstring& source, const std::wstring& destination) = 0;
  // The shell's file operation: returns its own result code (0 on success) and sets
  // `fAnyOperationsAborted` in the record.
  virtual int32_t SHFileOperation(FileOperation& operation) = 0;

  // --- User profile ---
  // The running process's access token with query access, or null when it cannot be opened.
  virtual std::unique_ptr<UserToken> OpenProcessToken() = 0;
  // The running user's profile folder, however long, without a trailing separator; false when
  // it cannot be found. Never throws.
  virtual bool GetUserProfileDirectory(const UserToken* token, std::wstring& profile) = 0;

  // --- Registry (status codes as the Win32 functions return them). A host whose registry is a
  // file of its own throws from RegOpenKeyEx when that file cannot be read. ---
  virtual int32_t RegOpenKeyEx(uint32_t rootKey, const std::wstring& subKey, uint32_t options,
                               uint32_t access, RegistryKey& key) = 0;
  // Copies the value's data into `data` (capacity `byteCount`), sets `type` and `byteCount`;
  // ERROR_MORE_DATA with the needed size when the data does not fit.
  virtual int32_t RegQueryValueEx(RegistryKey key, const std::wstring& valueName, uint32_t& type,
                                  uint8_t* data, uint32_t& byteCount) = 0;
  virtual void RegCloseKey(RegistryKey key) = 0;

  // --- Processes ---
  // Starts the command line as a new process shown as `windowStyle` says; returns its id at once.
  // Throws when the program cannot be started.
  virtual uint32_t StartProcess(const std::wstring& commandLine, int windowStyle) = 0;
  // Services pending user-interface events once.
  virtual void YieldToEvents() = 0;
  // A handle to wait on, or 0 (for example when the process has already ended).
  virtual ProcessHandle OpenProcess(uint32_t access, bool inherit, uint32_t processId) = 0;
  virtual WaitOutcome WaitForSingleObject(ProcessHandle handle, uint32_t milliseconds) = 0;
  virtual void CloseHandle(ProcessHandle handle) = 0;
};

}  // namespace qelrestore
