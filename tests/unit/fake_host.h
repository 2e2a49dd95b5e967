// A scripted host for the unit tests: files and folders in maps, a clock that moves only when the
// code waits, a registry with two views, scripted processes, a record of every call and of every
// path written, and faults injected at chosen calls.
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
  std::optional<Error> startError;  // StartProcess throws this
  int64_t runMilliseconds = 0;      // how long it runs; negative: for ever
  bool vanishes = false;            // OpenProcess finds it gone (returns 0)
  bool waitFails = false;           // every wait on it fails
};

inline FakeProcess ProcessRunningFor(int64_t milliseconds) {
  FakeProcess process;
  process.runMilliseconds = milliseconds;
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
  // answer (false, null, 0, a status code, WaitOutcome::kFailed). Calls whose contract has no
  // failure at all (RegCloseKey, CloseHandle, YieldToEvents, DecodeText) go on unaffected.
  kFail,
  // For calls that write: part of the data reaches its file, then the call throws (a disk that
  // fills up mid-write); the shell copy copies part of the files and reports the operation aborted.
  kHalfWay,
  // A throw whatever the call's contract says (a registry read from a file that cannot be read).
  kThrow,
};

struct RegistryDatum {
  uint32_t type = 0;
  std::string bytes;
};
using RegistryView = std::map<std::wstring, std::map<std::wstring, RegistryDatum>>;

class FakeHost : public Host {
 public:
  FakeHost();

  // --- Script ---
  std::wstring commandLine;
  std::wstring programFolder = L"C:\\qel";
  std::wstring profile = L"C:\\Users\\op";
  bool tokenAvailable = true;
  bool unattended = false;
  int64_t boxMilliseconds = 0;  // how long the operator takes to dismiss a box
  std::map<std::wstring, std::string> files;
  std::set<std::wstring> folders;
  RegistryView registry32;
  RegistryView registry64;
  std::vector<FakeProcess> processes;  // taken in order by StartProcess
  // The shell copy; the default copies the files below the source folder and reports no abort.
  std::function<int32_t(FileOperation&)> shellCopy;
  // Host call number N (0-based, counted over every call) fails as faults[N] says; thrown faults
  // are Error(failCode, "injected fault").
  std::map<int64_t, Fault> faults;
  int32_t failCode = code::kDeviceIo;

  // --- Observation ---
  std::vector<std::string> calls;  // "Name argument", one per host call
  std::vector<std::wstring> boxes;
  std::vector<FileOperation> operations;
  std::vector<std::wstring> startedCommands;
  int64_t clockMilliseconds = 0;
  int openRegistryKeys = 0;
  int openProcessHandles = 0;
  int openStreams = 0;
  int openInputs = 0;
  std::set<std::wstring> writtenPaths;    // every file created, appended to or copied over
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
  void MessageBox(const std::wstring& text) override;
  bool Unattended() override;
  DateTime Now() override;
  std::wstring FormatDateTime(const DateTime& when) override;
  std::unique_ptr<FileSystem> CreateFileSystemObject() override;
  std::unique_ptr<ByteSource> OpenForInput(const std::wstring& path) override;
  std::wstring DecodeText(std::string_view bytes) override;
  void CopyFile(const std::wstring& source, const std::wstring& destination) override;
  int32_t SHFileOperation(FileOperation& operation) override;
  std::unique_ptr<UserToken> OpenProcessToken() override;
  bool GetUserProfileDirectory(const UserToken* token, std::wstring& profile) override;
  int32_t RegOpenKeyEx(uint32_t rootKey, const std::wstring& subKey, uint32_t options,
                       uint32_t access, RegistryKey& key) override;
  int32_t RegQueryValueEx(RegistryKey key, const std::wstring& valueName, uint32_t& type,
                          uint8_t* data, uint32_t& byteCount) override;
  void RegCloseKey(RegistryKey key) override;
  uint32_t StartProcess(const std::wstring& commandLine, int windowStyle) override;
  void YieldToEvents() override;
  ProcessHandle OpenProcess(uint32_t access, bool inherit, uint32_t processId) override;
  WaitOutcome WaitForSingleObject(ProcessHandle handle, uint32_t milliseconds) override;
  void CloseHandle(ProcessHandle handle) override;

  // Records a call; returns the fault scripted for it, if any.
  std::optional<Fault> Enter(const std::string& name, const std::wstring& argument = {});
  // Records a call whose only way to fail is a throw; throws when a fault is scripted for it.
  void EnterOrThrow(const std::string& name, const std::wstring& argument = {});
  [[noreturn]] void ThrowInjected() const;
  bool ParentFolderExists(const std::wstring& path) const;

 private:
  struct Started {
    FakeProcess script;
    int64_t startedAt = 0;
  };
  std::map<RegistryKey, const std::map<std::wstring, RegistryDatum>*> keys_;
  RegistryKey nextKey_ = 1;
  std::map<uint32_t, Started> started_;
  std::map<ProcessHandle, uint32_t> handles_;
  ProcessHandle nextHandle_ = 1;
};

// Narrow text of the tests (ASCII) to the logic's wide text and back.
std::wstring Wide(std::string_view text);
std::string Narrow(std::wstring_view text);

}  // namespace qelrestore::test
