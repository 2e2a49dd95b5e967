// A scripted host for the unit tests: one small fake per role (fake_*.h), every call recorded by
// the one call counter (fake_calls.h) and failed there when a fault is injected at it. FakeHost is
// the object a test builds: it is each role's fake, so a test scripts and observes it by the
// roles' member names, and it implements Host by handing each call to the role that answers it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/host.h"
#include "tests/unit/fake_calls.h"
#include "tests/unit/fake_clock.h"
#include "tests/unit/fake_console.h"
#include "tests/unit/fake_environment.h"
#include "tests/unit/fake_files.h"
#include "tests/unit/fake_folder_copier.h"
#include "tests/unit/fake_processes.h"
#include "tests/unit/fake_registry.h"
#include "tests/unit/fake_undo_keeper.h"

namespace qelrestore::test {

// Each role is built on the counter and the roles it uses, which come before it.
class FakeHost : public Host,
                 public FakeCalls,
                 public FakeClock,
                 public FakeFiles,
                 public FakeEnvironment,
                 public FakeConsole,
                 public FakeFolderCopier,
                 public FakeRegistry,
                 public FakeProcesses,
                 public FakeUndoKeeper {
 public:
  FakeHost();
  // The roles refer to each other: a copy would act on the original.
  FakeHost(const FakeHost&) = delete;
  FakeHost& operator=(const FakeHost&) = delete;

  // --- Console ---
  void MessageBox(const std::wstring& text) override { FakeConsole::MessageBox(text); }
  void ReportFailure(const std::wstring& line) override { FakeConsole::ReportFailure(line); }
  void ShowProgress(const std::wstring& line) override { FakeConsole::ShowProgress(line); }
  std::unique_ptr<TextStream> OpenStandardOutput() override {
    return FakeConsole::OpenStandardOutput();
  }
  void YieldToEvents() override { FakeConsole::YieldToEvents(); }

  // --- Clock ---
  DateTime Now() override { return FakeClock::Now(); }
  std::wstring FormatDateTime(const DateTime& when) override {
    return FakeClock::FormatDateTime(when);
  }

  // --- Environment ---
  std::wstring CommandLine() override { return FakeEnvironment::CommandLine(); }
  std::wstring ProgramFolder() override { return FakeEnvironment::ProgramFolder(); }
  std::wstring DefaultLogFolder() override { return FakeEnvironment::DefaultLogFolder(); }
  std::wstring KeptSettingsFolder() override { return FakeEnvironment::KeptSettingsFolder(); }
  std::optional<std::wstring> EnvironmentVariable(const std::wstring& name) override {
    return FakeEnvironment::EnvironmentVariable(name);
  }
  std::optional<std::wstring> ProfileFolder() override { return FakeEnvironment::ProfileFolder(); }
  std::optional<int64_t> LockRun(const std::wstring& lockFile) override {
    return FakeEnvironment::LockRun(lockFile);
  }

  // --- Files, with InputFiles and TextDecoder ---
  std::unique_ptr<Reader> OpenForInput(const std::wstring& path) override {
    return FakeFiles::OpenForInput(path);
  }
  std::unique_ptr<Reader> OpenSuppliedFile(const std::wstring& path) override {
    return FakeFiles::OpenSuppliedFile(path);
  }
  std::unique_ptr<Reader> OpenSuppliedSettings(const std::wstring& path) override {
    return FakeFiles::OpenSuppliedSettings(path);
  }
  std::wstring DecodeText(std::string_view bytes) override { return FakeFiles::DecodeText(bytes); }
  std::wstring DecodeConsoleText(std::string_view bytes) override {
    return FakeFiles::DecodeConsoleText(bytes);
  }
  bool FileExists(const std::wstring& path) override { return FakeFiles::FileExists(path); }
  bool FolderExists(const std::wstring& path) override { return FakeFiles::FolderExists(path); }
  std::unique_ptr<TextStream> OpenLog(const std::wstring& path) override {
    return FakeFiles::OpenLog(path);
  }
  void ProbeLog(const std::wstring& path) override { FakeFiles::ProbeLog(path); }
  void CopyFileOwnerOnly(const std::wstring& source, const std::wstring& destination) override {
    FakeFiles::CopyFileOwnerOnly(source, destination);
  }
  void CopyFileKeepingAccess(const std::wstring& source, const std::wstring& destination) override {
    FakeFiles::CopyFileKeepingAccess(source, destination);
  }
  void RemoveFile(const std::wstring& path) override { FakeFiles::RemoveFile(path); }
  std::optional<FolderIdentity> IdentifyFolder(const std::wstring& path) override {
    return FakeFiles::IdentifyFolder(path);
  }
  std::wstring PathAsOpened(const std::wstring& path) override {
    return FakeFiles::PathAsOpened(path);
  }
  std::wstring FullPath(const std::wstring& path) override { return FakeFiles::FullPath(path); }

  // --- FolderCopier ---
  FolderCopy CopyFolderContents(const std::wstring& source, const std::wstring& destination,
                                const std::vector<std::wstring>& ownFiles) override {
    return FakeFolderCopier::CopyFolderContents(source, destination, ownFiles);
  }
  CopyPlan PlanFolderCopy(const std::wstring& source, const std::wstring& destination,
                          const std::vector<std::wstring>& ownFiles) override {
    return FakeFolderCopier::PlanFolderCopy(source, destination, ownFiles);
  }

  // --- UndoKeeper ---
  void StartUndoSet(const std::wstring& set) override { FakeUndoKeeper::StartUndoSet(set); }
  KeptForUndo KeepReplaced(const std::wstring& set, const std::wstring& source,
                           const std::wstring& installation,
                           const std::vector<std::wstring>& ownFiles) override {
    return FakeUndoKeeper::KeepReplaced(set, source, installation, ownFiles);
  }
  void NoteLeft(const std::wstring& set, const std::wstring& installation) override {
    FakeUndoKeeper::NoteLeft(set, installation);
  }
  UndoCheck CheckUndo(const std::wstring& set, const std::wstring& installation) override {
    return FakeUndoKeeper::CheckUndo(set, installation);
  }
  UndoneFolder PutBackKept(const std::wstring& set, const std::wstring& installation) override {
    return FakeUndoKeeper::PutBackKept(set, installation);
  }
  void DropUndoSet(const std::wstring& set) override { FakeUndoKeeper::DropUndoSet(set); }

  // --- Registry ---
  RegistryAnswer QueryRegistryValue(RegistryView view, const std::wstring& keyPath,
                                    const std::wstring& valueName) override {
    return FakeRegistry::QueryRegistryValue(view, keyPath, valueName);
  }
  std::wstring RegistryName() override { return FakeRegistry::RegistryName(); }

  // --- Processes ---
  std::unique_ptr<Process> Start(const std::wstring& command) override {
    return FakeProcesses::Start(command);
  }
  int32_t DefaultClientWaitSeconds() override { return FakeProcesses::DefaultClientWaitSeconds(); }
  std::optional<std::wstring> SubstituteClient(const std::wstring& clientToolsFolder,
                                               const std::wstring& program) override {
    return FakeProcesses::SubstituteClient(clientToolsFolder, program);
  }
};

}  // namespace qelrestore::test
