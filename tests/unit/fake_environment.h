// The scripted host's place on the machine: the command line, environment variables, the
// program's folders, the user's profile and the run lock.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "tests/unit/fake_calls.h"

namespace qelrestore::test {

class FakeEnvironment {
 public:
  explicit FakeEnvironment(FakeCalls& counter) : counter_(counter) {}

  // --- Script ---
  std::wstring commandLine;
  std::wstring programFolder = L"C:\\qel";
  std::optional<std::wstring> logFolder;           // the default log's folder; else programFolder
  std::optional<std::wstring> keptSettingsFolder;  // curdb.properties.bak's; else programFolder
  std::optional<std::wstring> profile = L"C:\\Users\\op";
  std::map<std::wstring, std::wstring> environment;
  std::optional<int64_t> runLockHolder;  // LockRun: the process id of a run holding the lock

  // --- Environment ---
  std::wstring CommandLine();
  std::wstring ProgramFolder();
  std::wstring DefaultLogFolder();
  std::wstring KeptSettingsFolder();
  std::optional<std::wstring> EnvironmentVariable(const std::wstring& name);
  std::optional<std::wstring> ProfileFolder();
  std::optional<int64_t> LockRun(const std::wstring& lockFile);

 private:
  FakeCalls& counter_;
};

}  // namespace qelrestore::test
