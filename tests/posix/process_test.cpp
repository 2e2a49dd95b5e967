// Real processes: the test binary re-runs itself as the child (see child_modes.h).
#include "host/posix/posix_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/error.h"

namespace qelrestore::posix {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::wstring Wide(const std::string& text) {
  return std::wstring(text.begin(), text.end());
}

// The command line that starts this binary as a child in `mode`, followed by `arguments`.
std::wstring ChildLine(const std::string& mode, const std::wstring& arguments = L"") {
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::wstring line = L"\"" + Wide(self) + L"\" --child=" + Wide(mode);
  if (!arguments.empty()) line += L" " + arguments;
  return line;
}

bool ProcessExists(uint32_t pid) {
  return std::filesystem::exists("/proc/" + std::to_string(pid));
}

size_t OpenDescriptorCount() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

std::filesystem::path TempFolder() {
  const auto folder =
      std::filesystem::temp_directory_path() / ("qel_proc_" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  return folder;
}

TEST(PosixProcesses, EndedChildIsReapedOnceAndLeavesNoDescriptor) {
  PosixProcesses processes;
  const size_t descriptorsBefore = OpenDescriptorCount();
  const uint32_t pid = processes.Start(ChildLine("exit:3"), 3);
  const ProcessHandle handle = processes.Open(pid);
  ASSERT_NE(handle, 0u);
  EXPECT_EQ(processes.Wait(handle, 5000), WaitOutcome::kEnded);
  EXPECT_FALSE(ProcessExists(pid)) << "the ended child was left a zombie";
  EXPECT_EQ(processes.Wait(handle, 0), WaitOutcome::kEnded);  // remembered, not waited on again
  processes.Close(handle);
  EXPECT_EQ(OpenDescriptorCount(), descriptorsBefore);
  EXPECT_EQ(processes.Wait(handle, 0), WaitOutcome::kFailed);

  // Opened again after the end, it reports the end at once.
  const ProcessHandle again = processes.Open(pid);
  ASSERT_NE(again, 0u);
  EXPECT_EQ(processes.Wait(again, 0), WaitOutcome::kEnded);
  processes.Close(again);
}

TEST(PosixProcesses, ChildThatEndedBeforeOpenCanStillBeAwaited) {
  PosixProcesses processes;
  const uint32_t pid = processes.Start(ChildLine("exit:0"), 3);
  std::this_thread::sleep_for(milliseconds(300));
  const ProcessHandle handle = processes.Open(pid);
  ASSERT_NE(handle, 0u);
  const auto start = Clock::now();
  EXPECT_EQ(processes.Wait(handle, 250), WaitOutcome::kEnded);
  EXPECT_LT(Clock::now() - start, milliseconds(100));
  EXPECT_FALSE(ProcessExists(pid));
  processes.Close(handle);
}

TEST(PosixProcesses, RunningChildTimesOutAndRunsOn) {
  PosixProcesses processes;
  const uint32_t pid = processes.Start(ChildLine("sleep:10"), 3);
  const ProcessHandle handle = processes.Open(pid);
  ASSERT_NE(handle, 0u);
  const auto start = Clock::now();
  EXPECT_EQ(processes.Wait(handle, 250), WaitOutcome::kTimedOut);
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, milliseconds(245));
  EXPECT_LT(waited, milliseconds(1000));
  EXPECT_TRUE(ProcessExists(pid));

  ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGKILL), 0);
  EXPECT_EQ(processes.Wait(handle, 5000), WaitOutcome::kEnded);
  EXPECT_FALSE(ProcessExists(pid));
  processes.Close(handle);
}

TEST(PosixProcesses, WaitReturnsAsSoonAsTheChildEnds) {
  PosixProcesses processes;
  const auto start = Clock::now();
  const uint32_t pid = processes.Start(ChildLine("sleep:0.3"), 3);
  const ProcessHandle handle = processes.Open(pid);
  ASSERT_NE(handle, 0u);
  EXPECT_EQ(processes.Wait(handle, 5000), WaitOutcome::kEnded);
  const auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, milliseconds(300));
  // Well before the 5 s the wait was given; the bound leaves room for a loaded machine's start-up.
  EXPECT_LT(elapsed, milliseconds(1500)) << "the wait noticed the end late";
  processes.Close(handle);
}

TEST(PosixProcesses, DestructionLeavesARunningChildAlone) {
  uint32_t pid = 0;
  {
    PosixProcesses processes;
    pid = processes.Start(ChildLine("ignore-term:10"), 3);
    processes.Open(pid);  // the open handle is closed by the destructor
  }
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_TRUE(ProcessExists(pid));
  ::kill(static_cast<pid_t>(pid), SIGKILL);
  ::waitpid(static_cast<pid_t>(pid), nullptr, 0);
}

TEST(PosixProcesses, ArgumentsArriveLiterallyWithoutAShell) {
  const auto file = TempFolder() / "record.txt";
  PosixProcesses processes;
  const uint32_t pid = processes.Start(
      ChildLine("record:" + file.string(),
                LR"($HOME `id` a;b *.txt | && >out "two  words" "" \"q\" 'single' C:\dir\)"),
      3);
  const ProcessHandle handle = processes.Open(pid);
  ASSERT_EQ(processes.Wait(handle, 5000), WaitOutcome::kEnded);
  processes.Close(handle);

  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  const std::vector<std::string> expected = {"$HOME", "`id`",  "a;b",      "*.txt",
                                             "|",     "&&",    ">out",     "two  words",
                                             "",      "\"q\"", "'single'", "C:\\dir\\"};
  EXPECT_EQ(lines, expected);
  EXPECT_FALSE(std::filesystem::exists("out"));
  std::filesystem::remove_all(file.parent_path());
}

struct StartFailure {
  const char* what;
  std::wstring line;
  int32_t code;
};

TEST(PosixProcesses, StartFailuresCarryTheirCodes) {
  const auto folder = TempFolder();
  const auto notExecutable = folder / "plain.txt";
  std::ofstream(notExecutable) << "not a program\n";
  std::filesystem::permissions(
      notExecutable, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  const std::vector<StartFailure> cases = {
      {"empty line", L"", code::kInvalidCall},
      {"blanks only", L"   ", code::kInvalidCall},
      {"missing file", Wide(folder.string()) + L"/absent.exe -x", code::kFileNotFound},
      {"missing folder, Windows form", L"\"\\Binn\\OSQL.exe\" -S ,", code::kFileNotFound},
      {"missing from PATH", L"qel-no-such-program-here", code::kFileNotFound},
      {"not executable", L"\"" + Wide(notExecutable.string()) + L"\"", code::kPermissionDenied},
      {"a folder", L"\"" + Wide(folder.string()) + L"\"", code::kPermissionDenied},
  };
  PosixProcesses processes;
  for (const StartFailure& c : cases) {
    try {
      processes.Start(c.line, 3);
      ADD_FAILURE() << c.what << ": started";
    } catch (const Error& error) {
      EXPECT_EQ(error.code(), c.code) << c.what;
    }
  }
  std::filesystem::remove_all(folder);
}

TEST(PosixProcesses, ProgramIsFoundInPath) {
  PosixProcesses processes;
  const uint32_t pid = processes.Start(L"true", 3);
  const ProcessHandle handle = processes.Open(pid);
  EXPECT_EQ(processes.Wait(handle, 5000), WaitOutcome::kEnded);
  processes.Close(handle);
}

TEST(PosixProcesses, ForeignProcessesCannotBeOpened) {
  PosixProcesses processes;
  EXPECT_EQ(processes.Open(static_cast<uint32_t>(::getpid())), 0u);
  EXPECT_EQ(processes.Open(1), 0u);
  EXPECT_EQ(processes.Wait(12345, 0), WaitOutcome::kFailed);
}

}  // namespace
}  // namespace qelrestore::posix
