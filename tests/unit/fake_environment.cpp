#include "tests/unit/fake_environment.h"

namespace qelrestore::test {

std::wstring FakeEnvironment::CommandLine() {
  counter_.EnterOrThrow("CommandLine");
  return commandLine;
}

std::wstring FakeEnvironment::ProgramFolder() {
  counter_.EnterOrThrow("ProgramFolder");
  return programFolder;
}

std::wstring FakeEnvironment::DefaultLogFolder() {
  counter_.EnterOrThrow("DefaultLogFolder");
  return logFolder.value_or(programFolder);
}

std::wstring FakeEnvironment::KeptSettingsFolder() {
  counter_.EnterOrThrow("KeptSettingsFolder");
  return keptSettingsFolder.value_or(programFolder);
}

std::optional<std::wstring> FakeEnvironment::EnvironmentVariable(const std::wstring& name) {
  const std::optional<Fault> fault = counter_.Enter("EnvironmentVariable", name);
  if (fault == Fault::kThrow) counter_.ThrowInjected();
  const auto found = environment.find(name);
  if (fault || found == environment.end()) return std::nullopt;
  return found->second;
}

std::optional<std::wstring> FakeEnvironment::ProfileFolder() {
  const std::optional<Fault> fault = counter_.Enter("ProfileFolder");
  if (fault == Fault::kThrow) counter_.ThrowInjected();
  if (fault) return std::nullopt;
  return profile;
}

std::optional<int64_t> FakeEnvironment::LockRun(const std::wstring& lockFile) {
  if (counter_.Enter("LockRun", lockFile)) counter_.ThrowInjected();
  return runLockHolder;
}

}  // namespace qelrestore::test
