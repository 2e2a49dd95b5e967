// A scripted host for the unit tests: files and folders in maps, a clock that moves only when the
// code waits, a registry with two views, scripted processes, environment variables, a record of
// every call and of every path written, and faults injected at chosen calls.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "host/host.h"
#include "support/error.h"

namespace qelrestore::test {

// How a scripted process behaves.
struct FakeProcess {
  std::optional<Error> startError;  // Start throws this
  int64_t runMilliseconds = 0;      // how long it runs; negative: for ever
  bool vanishes = false;            // it is gone before it can be waited for: Start returns null
  bool waitFails = false;           // every wait on it fails
  int64_t exitStatus = 0;           // the status it ends with
  std::optional<int64_t> signal;    // it is ended by this signal instead
  // Files it leaves when it ends (path -> content), written when a wait first sees the end.
  std::map<std::wstring, std::string> output;
};

inline FakeProcess ProcessRunningFor(int64_t milliseconds, int64_t exitStatus = 0) {
  FakeProcess process;
  process.runMilliseconds = milliseconds;
  process.exitStatus = exitStatus;
  return process;
}

inline FakeProcess ProcessNotStarting(Error error) {
  FakeProcess process;
  process.startError = std::move(error);
  return process;
}

// How an injected fault makes a call fail.
enum class Fault {
  // The way the call's contract allows: a throw for calls that may throw, otherwise the failure
  // answer (false, nothing, a key not opened, a failed wait, a folder copy with nothing copied).
  // Calls whose contract has no failure at all (YieldToEvents, DecodeText, DecodeConsoleText) go on
  // unaffected.
  kFail,
  // For calls that write: part of the data reaches its file, then the call throws (a disk that
  // fills up mid-write); a folder copy copies part of the files and reports the rest not copied.
  kHalfWay,
  // A throw whatever the call's contract says (a registry read from a file that cannot be read).
  kThrow,
};

struct RegistryDatum {
  RegistryType type = RegistryType::kOther;
  std::string bytes;
};
// One view of the registry: key path -> value name -> value.
using RegistryKeys = std::map<std::wstring, std::map<std::wstring, RegistryDatum>>;

// One call of CopyFolderContents, as the logic made it.
struct FolderCopyCall {
  std::wstring source;
  std::wstring destination;
  std::vector<std::wstring> ownFiles;
};

class FakeHost : public Host {
 public:
  FakeHost();

  // --- Script ---
  std::wstring commandLine;
  std::wstring programFolder = L"C:\\qel";
  std::optional<std::wstring> logFolder;           // the default log's folder; else programFolder
  std::optional<std::wstring> keptSettingsFolder;  // curdb.properties.bak's; else programFolder
  std::optional<std::wstring> profile = L"C:\\Users\\op";
  int64_t boxMilliseconds = 0;  // how long the operator takes to dismiss a box
  std::map<std::wstring, std::string> files;
  std::set<std::wstring> folders;
  // Second paths of folders (a junction, a short name): path -> the folder it leads to. A folder's
  // identity ignores letter case, the kind of separator and trailing ones.
  std::map<std::wstring, std::wstring> folderLinks;
  std::map<std::wstring, std::wstring> environment;
  RegistryKeys registry32;
  RegistryKeys registry64;
  // Keys that exist in that view but cannot be opened (whatever the maps above hold for them).
  std::set<std::wstring> keysNotOpened32;
  std::set<std::wstring> keysNotOpened64;
  std::vector<FakeProcess> processes;        // taken in order by Start
  int32_t defaultClientWait = 5;             // DefaultClientWaitSeconds
  bool opensSlashPaths = false;              // PathAsOpened turns every "\" into "/"
  std::wstring currentFolder = L"C:\\Work";  // FullPath's folder of relative paths
  // A file a client left running writes on: found whenever it is opened, and more is there to read
  // after what it held then; every read past that counts in readsPastLength.
  std::wstring growingFile;
  int readsPastLength = 0;
  std::optional<int64_t> runLockHolder;  // LockRun: the process id of a run holding the lock
  // The folder copy (source, destination); the default copies the files below the source folder
  // into the destination and reports it complete.
  std::function<FolderCopy(const std::wstring&, const std::wstring&)> folderCopy;
  // Host call number N (0-based, counted over every call) fails as faults[N] says; thrown faults
  // are Error(failCode, "injected fault").
  std::map<int64_t, Fault> faults;
  int32_t failCode = code::kDeviceIo;

  // --- Observation ---
  std::vector<std::string> calls;  // "Name argument", one per host call
  std::vector<std::wstring> boxes;
  std::vector<std::wstring> failureLines;   // ReportFailure's lines
  std::vector<std::wstring> progressLines;  // ShowProgress's lines
  std::vector<FolderCopyCall> folderCopies;
  std::vector<std::wstring> planOwnFiles;  // the restore's own files the last plan was told of
  std::vector<std::wstring> startedCommands;
  std::string standardOutput;  // the lines of a dry run, LF ended
  int64_t clockMilliseconds = 0;
  int openProcesses = 0;  // started processes still owned by the logic
  int openStreams = 0;
  int openInputs = 0;
  std::set<std::wstring> writtenPaths;    // every file created, appended to, copied over, removed
  std::set<std::wstring> ownerOnlyPaths;  // files last written by CopyFileOwnerOnly
  int inputsOpenWhenStreamReleased = -1;  // input files still open when a log stream went away

  // The file's lines (CR LF separated, the last line end dropped).
  std::vector<std::wstring> Lines(const std::wstring& path) const;
  // The log lines with their time text removed ("QEL start Restore", "Error: 76line no: ...").
  std::vector<std::wstring> LogMessages(const std::wstring& path) const;
  bool Called(const std::string& prefix) const;
  void AddFile(const std::wstring& path, const std::string& content);

  // --- Host ---
  std::wstring CommandLine() override;
  std::wstring ProgramFolder() override;
  std::optional<std::wstring> EnvironmentVariable(const std::wstring& name) override;
  void MessageBox(const std::wstring& text) override;
  DateTime Now() override;
  std::wstring FormatDateTime(const DateTime& when) override;
  void YieldToEvents() override;
  std::optional<std::wstring> ProfileFolder() override;
  void ReportFailure(const std::wstring& line) override;
  void ShowProgress(const std::wstring& line) override;
  std::unique_ptr<Reader> OpenForInput(const std::wstring& path) override;
  std::unique_ptr<Reader> OpenSuppliedFile(const std::wstring& path) override;
  std::unique_ptr<Reader> OpenSuppliedSettings(const std::wstring& path) override;
  std::wstring DecodeText(std::string_view bytes) override;
  std::wstring DecodeConsoleText(std::string_view bytes) override;
  bool FileExists(const std::wstring& path) override;
  bool FolderExists(const std::wstring& path) override;
  std::wstring DefaultLogFolder() override;
  std::wstring KeptSettingsFolder() override;
  std::unique_ptr<TextStream> OpenLog(const std::wstring& path) override;
  void ProbeLog(const std::wstring& path) override;
  std::unique_ptr<TextStream> OpenStandardOutput() override;
  CopyPlan PlanFolderCopy(const std::wstring& source, const std::wstring& destination,
                          const std::vector<std::wstring>& ownFiles) override;
  std::optional<FolderIdentity> IdentifyFolder(const std::wstring& path) override;
  void CopyFileOwnerOnly(const std::wstring& source, const std::wstring& destination) override;
  void CopyFileKeepingAccess(const std::wstring& source, const std::wstring& destination) override;
  std::optional<int64_t> LockRun(const std::wstring& lockFile) override;
  void RemoveFile(const std::wstring& path) override;
  FolderCopy CopyFolderContents(const std::wstring& source, const std::wstring& destination,
                                const std::vector<std::wstring>& ownFiles) override;
  RegistryAnswer QueryRegistryValue(RegistryView view, const std::wstring& keyPath,
                                    const std::wstring& valueName) override;
  std::wstring RegistryName() override;
  std::unique_ptr<Process> Start(const std::wstring& commandLine) override;
  int32_t DefaultClientWaitSeconds() override;
  std::optional<std::wstring> SubstituteClient(const std::wstring& clientToolsFolder,
                                               const std::wstring& program) override;
  std::wstring PathAsOpened(const std::wstring& path) override;
  std::wstring FullPath(const std::wstring& path) override;

  // Records a call; returns the fault scripted for it, if any.
  std::optional<Fault> Enter(const std::string& name, const std::wstring& argument = {});
  // Records a call whose only way to fail is a throw; throws when a fault is scripted for it.
  void EnterOrThrow(const std::string& name, const std::wstring& argument = {});
  [[noreturn]] void ThrowInjected() const;
  bool ParentFolderExists(const std::wstring& path) const;
  // A whole-file copy of the kept settings, recorded as `call`; the copy takes the source's access.
  void CopyWholeFile(const std::string& call, const std::wstring& source,
                     const std::wstring& destination);
};

// Narrow text of the tests (ASCII) to the logic's wide text and back.
std::wstring Wide(std::string_view text);
std::string Narrow(std::wstring_view text);

}  // namespace qelrestore::test
