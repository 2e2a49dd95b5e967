// Everything the restore logic needs of the machine it runs on, named after what the restore does
// with it. The logic talks to nothing else: host/windows and host/posix provide it, and the unit
// tests script a fake. Paths are the logic's own Windows texts (backslashes); a host converts them
// at each operating-system call.
//
// Failure convention: a method that can fail throws qelrestore::Error with the code of the
// failure (53 file not found, 76 path not found, 70 permission denied, 75 path/file access error,
// 61 disk full, 57 device I/O error) and a description that names the path, unless its comment
// says it reports failure in its result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// The bytes of one file, read from its start.
class Reader {
 public:
  virtual ~Reader() = default;
  // Reads up to `size` bytes into `buffer`; returns how many, 0 at the end of the file. Throws
  // when the file cannot be read.
  virtual size_t Read(char* buffer, size_t size) = 0;
};

// All that the readers of the program's text files need: path.conf, db.properties and the SQL
// client's output are read through it, and so are the parsers' fuzz targets.
class InputFiles {
 public:
  virtual ~InputFiles() = default;
  // Opens a regular file for sequential reading, without blocking (a FIFO is refused, not
  // waited on). Error 53 when it is missing; an error naming the path when it is not a regular
  // file or cannot be opened.
  virtual std::unique_ptr<Reader> OpenForInput(const std::wstring& path) = 0;
  // Decodes single-byte text of the files and the registry (the ANSI code page on Windows).
  // Never throws; bytes that do not decode are kept recognisably rather than dropped.
  virtual std::wstring DecodeText(std::string_view bytes) = 0;
  // Decodes single-byte text that a console program wrote to a file: the OEM code page on
  // Windows; UTF-8 on POSIX, each byte that is not valid UTF-8 written as the four characters
  // \xNN. Never throws.
  virtual std::wstring DecodeConsoleText(std::string_view bytes) = 0;
  // Opens, as OpenForInput does, a file that the backup or another program supplied (the restored
  // db.properties, the SQL client's output): a symbolic link at its path is refused, with an error
  // naming the path, never followed to a file somebody else chose. A host without such links
  // opens it as OpenForInput does.
  virtual std::unique_ptr<Reader> OpenSuppliedFile(const std::wstring& path) {
    return OpenForInput(path);
  }
  // Opens, as OpenSuppliedFile does, a settings file inside a folder the backup supplied (the
  // restored PLUV\db.properties): a symbolic link in place of that folder is refused too.
  virtual std::unique_ptr<Reader> OpenSuppliedSettings(const std::wstring& path) {
    return OpenSuppliedFile(path);
  }
};

// The run log's stream: single-byte text, each line reaching the file before writeLine returns.
class TextStream {
 public:
  virtual ~TextStream() = default;
  // Appends the text and CR LF. Throws when the line cannot be written.
  virtual void writeLine(const std::wstring& text) = 0;
  // Closes the file; closing a closed stream does nothing.
  virtual void Close() = 0;
};

// How a folder copy ended: complete, or with entries that were not copied.
enum class CopyOutcome { kComplete, kIncomplete };

// One entry a folder copy could not copy, and why.
struct NotCopied {
  std::wstring path;
  std::wstring reason;
};

// A folder copy names at most this many entries it could not copy; it counts the rest.
inline constexpr size_t kNotCopiedNamed = 100;

struct FolderCopy {
  CopyOutcome outcome = CopyOutcome::kIncomplete;
  std::vector<NotCopied>
      notCopied;                // the first kNotCopiedNamed entries, where the host can name them
  uint64_t notCopiedCount = 0;  // every entry not copied that the host could count
};

// What a folder copy would do, counted without copying.
struct CopyPlan {
  uint64_t files = 0;      // files (and links) it would copy
  uint64_t bytes = 0;      // their bytes
  uint64_t replacing = 0;  // of them, those that would replace an existing destination entry
};

// Which file-system object a folder is, whatever path names it: two paths name the same folder
// exactly when their identities are equal.
struct FolderIdentity {
  uint64_t volume = 0;  // the volume (Windows: its serial number; POSIX: the device)
  uint64_t file = 0;    // the folder on that volume (Windows: the file index; POSIX: the inode)
  bool operator==(const FolderIdentity&) const = default;
};

// The two views of the registry on a 64-bit machine: 32-bit programs register in the first.
enum class RegistryView { k32Bit, k64Bit };

// The types of registry value the restore tells apart.
enum class RegistryType { kString, kExpandString, kMultiString, kDword, kBinary, kOther };

// The answer to one registry query.
struct RegistryAnswer {
  enum class Found {
    kNoKey,         // the key does not exist in that view
    kKeyNotOpened,  // the key exists but cannot be opened (access refused, for one)
    kNoValue,       // the key exists without that value
    kValue,         // the value, below
  };
  Found found = Found::kNoKey;
  RegistryType type = RegistryType::kOther;
  // The value's data as stored, text with its terminating NULs, an integer as 4 little-endian
  // bytes; it may be empty whatever the type.
  std::vector<uint8_t> data;
  // The string types' data as the registry holds it, when that is text rather than bytes (the
  // Windows registry's UTF-16), terminating NULs included: then no code page decodes it, so no
  // character is turned into a look-alike. Nothing where `data` is to be decoded instead.
  std::optional<std::wstring> text;
};

// How a started program's window is shown, where there are windows.
enum class WindowStyle { kNormal, kMaximized };

// What one wait for a process saw.
struct ProcessState {
  enum class Kind {
    kRunning,   // still running when the wait's time was up
    kExited,    // ended with the exit status in `code`
    kSignaled,  // ended by the signal in `code` (POSIX only)
    kWaitFailed,
  };
  Kind kind = Kind::kWaitFailed;
  int64_t code = 0;
};

// A started process, owned: destroying the object lets go of it, and the process runs on.
class Process {
 public:
  virtual ~Process() = default;
  // Waits at most `milliseconds` for the process to end; once it has ended, every later wait
  // says so again at once with the same status.
  virtual ProcessState Wait(uint32_t milliseconds) = 0;
};

class Host : public InputFiles {
 public:
  // --- Program, boxes, clock ---
  // The text that follows the program name on the command line, quotes included.
  virtual std::wstring CommandLine() = 0;
  // The folder of the running executable, without a trailing separator.
  virtual std::wstring ProgramFolder() = 0;
  // Where the default run log goes, and where the kept db.properties is saved: the program
  // folder, or the writable folders an installed package chose. No trailing separator.
  virtual std::wstring DefaultLogFolder() = 0;
  virtual std::wstring KeptSettingsFolder() = 0;
  // The value of an environment variable, or nothing when it is not set. Never throws.
  virtual std::optional<std::wstring> EnvironmentVariable(const std::wstring& name) = 0;
  // Shows the text with the program's title and a single OK button; returns once dismissed.
  virtual void MessageBox(const std::wstring& text) = 0;
  // True when boxes go to the console and nobody is there to answer windows (unattended runs).
  virtual bool Unattended() = 0;
  virtual DateTime Now() = 0;
  // The host's default text form of a date-time; it never holds ": ".
  virtual std::wstring FormatDateTime(const DateTime& when) = 0;
  // Services pending user-interface events once.
  virtual void YieldToEvents() = 0;
  // The running user's profile folder, however long, without a trailing separator; nothing when
  // it cannot be found. Never throws.
  virtual std::optional<std::wstring> ProfileFolder() = 0;
  // The last line of a run that did not end well: what happened and where the log is, for
  // whoever reads standard error (cron's mail, a service's journal). Where boxes are windows it
  // goes nowhere: the boxes have told it. Never throws.
  virtual void ReportFailure(const std::wstring& /*line*/) {}

  // --- Files ---
  // True when a file (not a folder) of that path exists. Never throws.
  virtual bool FileExists(const std::wstring& path) = 0;
  // True when a folder of that path exists. Never throws.
  virtual bool FolderExists(const std::wstring& path) = 0;
  // Opens the log for appending, creating it when missing.
  virtual std::unique_ptr<TextStream> OpenLog(const std::wstring& path) = 0;
  // A stream of lines on standard output, for a run that must write no file (a dry run).
  virtual std::unique_ptr<TextStream> OpenStandardOutput() = 0;
  // Copies one whole file to `destination` as a new file put in place of that name: a link
  // standing at `destination` is replaced, never written through, and a read-only destination is
  // replaced too; the copy does not carry the read-only attribute. A missing source is error 53.
  virtual void CopyFile(const std::wstring& source, const std::wstring& destination) = 0;
  // Removes a file when it is there; nothing when it is not. Throws when it is there and cannot
  // be removed.
  virtual void RemoveFile(const std::wstring& path) = 0;
  // Copies every entry of the folder `source` (hidden ones too, recursively) into the folder
  // `destination`, replacing files of the same name and keeping entries only the destination has.
  // `unattended`: no window of the copy may wait for anybody. Failures of single entries make the
  // outcome incomplete; nothing is thrown for them.
  virtual FolderCopy CopyFolderContents(const std::wstring& source, const std::wstring& destination,
                                        bool unattended) = 0;
  // What CopyFolderContents would copy, counted by a walk of `source` that changes nothing.
  // Entries it cannot read are left out of the count.
  virtual CopyPlan PlanFolderCopy(const std::wstring& source, const std::wstring& destination) = 0;
  // The identity of the folder `path` names, the same for every spelling of it (letter case,
  // either separator, a trailing one, a short name, a second path through a link, junction or
  // mount); nothing when no folder can be opened there. Never throws.
  virtual std::optional<FolderIdentity> IdentifyFolder(const std::wstring& path) = 0;
  // CopyFile for a file that may hold credentials: the copy is readable by the running user only,
  // where the host can say so.
  virtual void CopyFileOwnerOnly(const std::wstring& source, const std::wstring& destination) {
    CopyFile(source, destination);
  }
  // CopyFile of a copy that CopyFileOwnerOnly saved back to where it came from: it gets the access
  // (permissions and, where the run may set it, owner and group) that the saved file had, so that
  // it is read as before, and never that of the file it replaces, which the backup supplied.
  virtual void CopyFileKeepingAccess(const std::wstring& source, const std::wstring& destination) {
    CopyFile(source, destination);
  }
  // Takes the lock that lets one restore at a time change this installation: an advisory lock on
  // the file `lockFile`, held until the program ends and let go of by the operating system when
  // it dies. Nothing when taken (or when the file cannot be made: the lock only keeps runs
  // apart), else the process id of the run that holds it (0 when it cannot be told).
  virtual std::optional<int64_t> LockRun(const std::wstring& /*lockFile*/) { return std::nullopt; }

  // --- Registry ---
  // The value `valueName` of the key `keyPath` below the local machine's root key, in one view. A
  // host with one view answers both alike. Throws when the registry itself cannot be read (a
  // registry file that cannot be opened).
  virtual RegistryAnswer QueryRegistryValue(RegistryView view, const std::wstring& keyPath,
                                            const std::wstring& valueName) = 0;
  // Where the registry is read, for a message that tells the operator where to look or write.
  virtual std::wstring RegistryName() { return L"the registry"; }

  // --- Processes ---
  // Starts the command line as a new process. Throws when the program cannot be started; returns
  // null when it started but cannot be waited for (it ended and was gone before it was opened).
  // `progressFile`, when not empty, is the file where the process reports its progress: a host
  // with a terminal may show its "n percent processed" lines while the process is waited for.
  virtual std::unique_ptr<Process> Start(const std::wstring& commandLine, WindowStyle style,
                                         const std::wstring& progressFile) = 0;
  // A path as the host opens it, as text: the form the SQL client takes on its command line (it
  // takes its arguments literally where it reads no Windows paths) and a reader of the system's
  // messages knows. The logic's own text on Windows, every "\" a "/" on POSIX. Never throws.
  virtual std::wstring PathAsOpened(const std::wstring& path) { return path; }
  // How long the restore waits for the SQL client when QELRESTORE_CLIENT_WAIT does not say, in
  // whole seconds; 0 waits until it ends. Where nobody watches a client's window a client is
  // waited for to its end: one left running dies with a service that started the run.
  virtual int32_t DefaultClientWaitSeconds() { return 5; }
  // The program to run in place of the registered client's `program` below `clientToolsFolder`
  // when that one does not exist and the host has a client of its own there; nothing otherwise.
  virtual std::optional<std::wstring> SubstituteClient(const std::wstring& /*clientToolsFolder*/,
                                                       const std::wstring& /*program*/) {
    return std::nullopt;
  }
};

}  // namespace qelrestore
