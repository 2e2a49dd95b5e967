// Real processes: the test binary re-runs itself as the child (see child_modes.h).
#include "host/posix/posix_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/error.h"
#include "tests/posix/toolkit.h"

extern char** environ;

namespace qelrestore::posix {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Kind = ProcessState::Kind;

// How long a wait for a child that ends at once or has been killed may take: only a failure
// bound, as the wait returns when the child ends, but a loaded machine may start it late.
constexpr uint32_t kEndBound = 60000;

std::wstring Wide(const std::string& text) {
  return std::wstring(text.begin(), text.end());
}

std::string Self() {
  return std::filesystem::read_symlink("/proc/self/exe").string();
}

// The command line that starts this binary as a child in `mode`, followed by `arguments`.
std::wstring ChildLine(const std::string& mode, const std::wstring& arguments = L"") {
  std::wstring line = L"\"" + Wide(Self()) + L"\" --child=" + Wide(mode);
  if (!arguments.empty()) line += L" " + arguments;
  return line;
}

// A child in `mode` waited on by polling, as where pidfd_open is refused.
std::unique_ptr<PosixProcess> StartPolled(const std::string& mode) {
  const std::string self = Self();
  const std::string argument = "--child=" + mode;
  char* argv[] = {const_cast<char*>(self.c_str()), const_cast<char*>(argument.c_str()), nullptr};
  pid_t pid = 0;
  EXPECT_EQ(::posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, environ), 0);
  return std::make_unique<PosixProcess>(pid, -1);
}

bool ProcessExists(pid_t pid) {
  return std::filesystem::exists("/proc/" + std::to_string(pid));
}

// Waits, up to `bound`, for the child `pid` to end, and leaves it unreaped (a zombie) for its
// owner to collect. True once it has ended.
bool EndsUnreapedWithin(pid_t pid, milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  for (;;) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT | WNOHANG) != 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (info.si_pid == pid) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(5));
  }
}

size_t OpenDescriptorCount() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

// Both ways of waiting: on the pidfd, and by polling.
class PosixProcessTest : public testing::TestWithParam<bool> {
 protected:
  std::unique_ptr<PosixProcess> Start(const std::string& mode) {
    return GetParam() ? StartProcess(ChildLine(mode)) : StartPolled(mode);
  }
};
INSTANTIATE_TEST_SUITE_P(Waits, PosixProcessTest, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& waits) {
                           return waits.param ? "Pidfd" : "Polled";
                         });

TEST_P(PosixProcessTest, EndIsReportedWithItsStatusReapedOnceAndRemembered) {
  const size_t descriptorsBefore = OpenDescriptorCount();
  {
    auto exited = Start("exit:3");
    const pid_t pid = exited->pid();
    const ProcessState state = exited->Wait(kEndBound);
    EXPECT_EQ(state.kind, Kind::kExited);
    EXPECT_EQ(state.code, 3);
    EXPECT_FALSE(ProcessExists(pid)) << "the ended child was left a zombie";
    const ProcessState again = exited->Wait(0);  // remembered, not waited on again
    EXPECT_EQ(again.kind, Kind::kExited);
    EXPECT_EQ(again.code, 3);
  }
  EXPECT_EQ(OpenDescriptorCount(), descriptorsBefore);

  auto killed = Start("sleep:60");
  const auto start = Clock::now();
  EXPECT_EQ(killed->Wait(250).kind, Kind::kRunning);
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, milliseconds(245));
  // A wait that ignored its limit would last the child's 60 s; a loaded machine may add seconds.
  EXPECT_LT(waited, std::chrono::seconds(20));
  EXPECT_TRUE(ProcessExists(killed->pid()));
  ASSERT_EQ(::kill(killed->pid(), SIGKILL), 0);
  const ProcessState state = killed->Wait(kEndBound);
  EXPECT_EQ(state.kind, Kind::kSignaled);
  EXPECT_EQ(state.code, SIGKILL);
  EXPECT_FALSE(ProcessExists(killed->pid()));
}

TEST_P(PosixProcessTest, WaitReturnsAsSoonAsTheChildEnds) {
  const auto start = Clock::now();
  auto process = Start("sleep:0.3");
  EXPECT_EQ(process->Wait(kEndBound).kind, Kind::kExited);
  const auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, milliseconds(300));
  // Well before the wait's 60 s; the rest is room for a loaded machine's start-up.
  EXPECT_LT(elapsed, std::chrono::seconds(20)) << "the wait noticed the end late";
}

TEST_P(PosixProcessTest, DestructionLeavesARunningChildAloneAndCollectsAnEndedOne) {
  pid_t running = 0;
  pid_t ended = 0;
  {
    auto runner = Start("ignore-term:120");
    auto quick = Start("exit:0");
    running = runner->pid();
    ended = quick->pid();
    // The end is waited for, not guessed: a loaded machine may take seconds to run the child.
    EXPECT_TRUE(EndsUnreapedWithin(ended, std::chrono::seconds(60)));
  }
  EXPECT_TRUE(ProcessExists(running));
  EXPECT_FALSE(ProcessExists(ended)) << "an ended child was left a zombie";
  ::kill(running, SIGKILL);
  ::waitpid(running, nullptr, 0);
}

TEST(PosixProcess, ArgumentsArriveLiterallyWithoutAShell) {
  const test::Sandbox sandbox;
  const auto file = sandbox.root() / "record.txt";
  auto process = StartProcess(
      ChildLine("record:" + file.string(),
                LR"($HOME `id` a;b *.txt | && >out "two  words" "" \"q\" 'single' C:\dir\)"));
  ASSERT_EQ(process->Wait(kEndBound).kind, Kind::kExited);

  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  const std::vector<std::string> expected = {"$HOME", "`id`",  "a;b",      "*.txt",
                                             "|",     "&&",    ">out",     "two  words",
                                             "",      "\"q\"", "'single'", "C:\\dir\\"};
  EXPECT_EQ(lines, expected);
  EXPECT_FALSE(std::filesystem::exists("out"));
}

TEST(PosixProcess, ChildGetsNoneOfTheCallersStandardFilesAndDefaultSigpipe) {
  const test::Sandbox sandbox;
  const auto file = sandbox.root() / "files.txt";
  // Ignored here, as the program ignores it: the child must not inherit that.
  const auto previous = ::signal(SIGPIPE, SIG_IGN);
  auto process = StartProcess(ChildLine("files:" + file.string()));
  ::signal(SIGPIPE, previous);
  ASSERT_EQ(process->Wait(kEndBound).kind, Kind::kExited);
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  EXPECT_EQ(lines, (std::vector<std::string>{"0 /dev/null", "1 /dev/null", "2 /dev/null",
                                             "SIGPIPE default"}));
}

struct StartFailure {
  const char* what;
  std::wstring line;
  int32_t code;
};

TEST(PosixProcess, StartFailuresCarryTheirCodes) {
  const test::Sandbox sandbox;
  const auto& folder = sandbox.root();
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
  for (const StartFailure& c : cases) {
    try {
      StartProcess(c.line);
      ADD_FAILURE() << c.what << ": started";
    } catch (const Error& error) {
      EXPECT_EQ(error.code(), c.code) << c.what;
    }
  }
}

TEST(PosixProcess, ProgramIsFoundInPath) {
  EXPECT_EQ(StartProcess(L"true")->Wait(kEndBound).kind, Kind::kExited);
}

}  // namespace
}  // namespace qelrestore::posix
