// What the POSIX host offers a run that looks before it restores: the count of a folder copy,
// standard output's lines, the folders an installed program keeps its files in, and the SQL
// client's progress on a terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "host/posix/posix_file_system.h"
#include "host/posix/posix_host.h"
#include "host/posix/posix_status_line.h"
#include "restore/client_progress.h"
#include "restore/launch.h"
#include "support/error.h"
#include "tests/posix/toolkit.h"

namespace qelrestore::posix {
namespace {

namespace fs = std::filesystem;
using test::WriteFile;

// Every path below `root` with its kind and size, to see that nothing changed.
std::vector<std::string> Listing(const fs::path& root) {
  std::vector<std::string> entries;
  if (!fs::exists(fs::symlink_status(root))) return entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const auto status = entry.symlink_status();
    entries.push_back(entry.path().string() + " " + std::to_string(int(status.type())) + " " +
                      (fs::is_regular_file(status) ? std::to_string(entry.file_size()) : ""));
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

TEST(LookTest, PlanFolderCopyCountsFilesAndLinksWithoutFollowingOrWriting) {
  const test::Sandbox sandbox;
  const fs::path source = sandbox.root() / "source";
  const fs::path outside = sandbox.root() / "outside";
  WriteFile(source / "a.txt", "abc");
  WriteFile(source / ".hidden", "h");
  WriteFile(source / "sub" / "b.bin", "12345");
  WriteFile(source / "inner" / "x", "wxyz");
  WriteFile(outside / "big", std::string(1000, 'z'));
  fs::create_symlink("target/text", source / "link");        // 11 bytes of target text
  fs::create_directory_symlink(outside, source / "folder");  // not followed
  ASSERT_EQ(::mkfifo((source / "fifo").c_str(), 0600), 0);   // no file, not counted
  const uint64_t bytes = 3 + 1 + 5 + 4 + 11 + outside.string().size();
  // In the destination: a file of the same name, and a dangling link where b.bin goes.
  const fs::path destination = sandbox.root() / "destination";
  WriteFile(destination / "a.txt", "old");
  fs::create_directories(destination / "sub");
  fs::create_symlink("nowhere", destination / "sub" / "b.bin");

  const struct {
    fs::path destination;
    CopyPlan expected;
  } cases[] = {
      {destination, {6, bytes, 2, {}, 0, 0}},
      {sandbox.root() / "missing", {6, bytes, 0, {}, 0, 0}},
      // The copy does not descend into a destination inside the backup.
      {source / "inner", {5, bytes - 4, 0, {}, 0, 0}},
  };
  PosixHost host(0, nullptr, L"qel");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.destination);
    const std::vector<std::string> before = Listing(sandbox.root());
    const CopyPlan plan = host.PlanFolderCopy(source.wstring(), c.destination.wstring(), {});
    EXPECT_EQ(plan.files, c.expected.files);
    EXPECT_EQ(plan.bytes, c.expected.bytes);
    EXPECT_EQ(plan.replacing, c.expected.replacing);
    EXPECT_EQ(Listing(sandbox.root()), before);
  }
}

TEST(LookTest, StandardOutputWritesUtf8LinesAndThrowsWhenTheReaderHasGone) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  std::fflush(stdout);
  const int saved = ::dup(STDOUT_FILENO);
  ::dup2(ends[1], STDOUT_FILENO);
  ::close(ends[1]);
  const auto previous = ::signal(SIGPIPE, SIG_IGN);  // as the program runs

  std::unique_ptr<TextStream> out = PosixHost(0, nullptr, L"qel").OpenStandardOutput();
  out->writeLine(L"t: Z\u00fcrich");
  char got[64] = {};
  const ssize_t count = ::read(ends[0], got, sizeof got);
  ::close(ends[0]);
  bool threw = false;
  try {
    out->writeLine(L"t: nobody reads this");
  } catch (const Error&) {
    threw = true;
  }
  out->Close();

  ::signal(SIGPIPE, previous);
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  EXPECT_EQ(std::string(got, count > 0 ? size_t(count) : 0), "t: Z\xc3\xbcrich\n");
  EXPECT_TRUE(threw);
}

TEST(LookTest, InstalledFoldersOnlyWhenRunFromTheInstalledFolder) {
  const test::Sandbox sandbox;
  const std::string bin = (sandbox.root() / "bin").string();
  fs::create_directories(bin);
  fs::create_directory_symlink(bin, sandbox.root() / "linked");
  const InstalledFolders package{bin, "/l", "/s", "/r.reg"};
  const RunFolders installed{"/l", "/s", "/r.reg"};
  const RunFolders beside{"/opt/x", "/opt/x", "/opt/x/registry.reg"};
  const struct {
    std::string programFolder;
    InstalledFolders package;
    RunFolders expected;
  } cases[] = {
      {bin, package, installed},
      {"/opt/x", package, beside},
      {"/opt/x", InstalledFolders{}, beside},
      // Installed into a folder that is a link to where the program is found running.
      {bin, {(sandbox.root() / "linked").string(), "/l", "/s", "/r.reg"}, installed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.programFolder + " installed in " + c.package.program);
    const RunFolders chosen = ChooseRunFolders(c.programFolder, c.package);
    EXPECT_EQ(chosen.log, c.expected.log);
    EXPECT_EQ(chosen.keptSettings, c.expected.keptSettings);
    EXPECT_EQ(chosen.registryFile, c.expected.registryFile);
  }
  // The tests run from the build folder, never the installed one.
  PosixHost host(0, nullptr, L"qel");
  EXPECT_EQ(host.DefaultLogFolder(), host.ProgramFolder());
  EXPECT_EQ(host.KeptSettingsFolder(), host.ProgramFolder());
}

// What standard error saw of `run`, done in a child whose stderr is a terminal or a pipe.
struct Watched {
  std::string text;  // without CR
  int status = -1;
};

// `seen` is told the text so far after each read, while the child runs.
Watched WatchStandardError(bool terminal, const std::function<int()>& run,
                           const std::function<void(const std::string&)>& seen = {}) {
  int reader = -1;
  int writer = -1;
  if (terminal) {
    reader = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_TRUE(reader >= 0 && ::grantpt(reader) == 0 && ::unlockpt(reader) == 0);
    writer = ::open(::ptsname(reader), O_RDWR | O_NOCTTY | O_CLOEXEC);
  } else {
    int ends[2];
    EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    reader = ends[0];
    writer = ends[1];
  }
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(writer, STDERR_FILENO);
    ::_exit(run());
  }
  // The other side stays open here, and once the child has ended a mark is written after its
  // text: what the child wrote is all read when the mark is. A terminal hands written text to
  // its reader a moment later, and may answer EIO once its last writer has gone.
  static constexpr std::string_view kMark = "@@watched-end@@";
  Watched watched;
  char buffer[4096];
  int status = 0;
  bool ended = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (std::chrono::steady_clock::now() < deadline) {  // only a failure bound
    pollfd entry{reader, POLLIN, 0};
    if (::poll(&entry, 1, 50) > 0) {
      const ssize_t got = ::read(reader, buffer, sizeof buffer);
      if (got <= 0) break;
      for (ssize_t i = 0; i < got; ++i) {
        if (buffer[i] != '\r') watched.text += buffer[i];
      }
      if (ended && watched.text.ends_with(kMark)) {
        watched.text.resize(watched.text.size() - kMark.size());
        break;
      }
      if (seen && !ended) seen(watched.text);
    } else if (!ended && ::waitpid(child, &status, WNOHANG) == child) {
      ended = true;
      EXPECT_EQ(::write(writer, kMark.data(), kMark.size()), static_cast<ssize_t>(kMark.size()));
    }
  }
  ::close(reader);
  ::close(writer);
  if (!ended) ::waitpid(child, &status, 0);
  watched.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return watched;
}

// The wait for the stand-in client, which writes its percent lines over two seconds, with its
// progress followed. On a terminal the client holds after its first line until that line is seen
// there (it exits 9 when it never is).
Watched WatchClient(bool terminal, const fs::path& folder) {
  const std::wstring output = (folder / "client.out").wstring();
  const std::wstring line =
      L"\"" + fs::path(QEL_STANDIN_CLIENT).wstring() + L"\" -o \"" + output + L"\"";
  const fs::path hold = folder / "first-line-seen";
  fs::remove(hold);
  const auto release = [&hold](const std::string& text) {
    if (text.find("10 percent processed.") != std::string::npos) test::WriteFile(hold, "");
  };
  return WatchStandardError(
      terminal,
      [&] {
        ::setenv("QEL_STANDIN_PROGRESS_SECONDS", "2", 1);
        if (terminal) ::setenv("QEL_STANDIN_HOLD", hold.c_str(), 1);
        PosixHost host(0, nullptr, L"qel");
        ClientProgress progress(host, host, output);
        const LaunchResult result = RunAndWait(host, host, host, line, 0, &progress);
        return result.end == LaunchResult::End::kExited ? int(result.code) : 99;
      },
      release);
}

// Holds the calling process once, for 150 ms, within its first milliseconds of processor time
// after `destination` appears: a copy of thousands of files into it lasts over a tenth of a second
// and goes on after that, however fast the machine.
const char* volatile heldUntilMade = nullptr;
void HoldOnceWhenMade(const char* destination) {
  heldUntilMade = destination;
  struct sigaction action {};
  action.sa_handler = [](int) {
    if (heldUntilMade == nullptr || ::access(heldUntilMade, F_OK) != 0) return;
    heldUntilMade = nullptr;
    const timespec pause{0, 150'000'000};
    ::nanosleep(&pause, nullptr);
  };
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGPROF, &action, nullptr);
  const itimerval every{{0, 2000}, {0, 2000}};
  ::setitimer(ITIMER_PROF, &every, nullptr);
}

TEST(LookTest, ACopyLongerThanATenthOfASecondShowsOneStatusLineOnATerminalOnly) {
  const test::Sandbox sandbox;
  for (int i = 0; i < 400; ++i) {
    test::WriteFile(sandbox.root() / "backup" / std::to_string(i % 40) / std::to_string(i),
                    std::string(4096, 'x'));
  }
  const auto copyInto = [&sandbox](const char* into) {
    return [&sandbox, into] {
      const fs::path destination = sandbox.root() / into;
      HoldOnceWhenMade(destination.c_str());
      PosixHost host(0, nullptr, L"qel");
      const FolderCopy copy =
          host.CopyFolderContents((sandbox.root() / "backup").wstring(), destination.wstring(), {});
      return copy.outcome == CopyOutcome::kComplete ? 0 : 1;
    };
  };
  const Watched terminal = WatchStandardError(true, copyInto("on-terminal"));
  EXPECT_EQ(terminal.status, 0);
  // Rewritten in place: one line, ended once, holding the final count.
  EXPECT_EQ(std::count(terminal.text.begin(), terminal.text.end(), '\n'), 1) << terminal.text;
  // Against the totals of a first walk of the backup.
  EXPECT_NE(terminal.text.find("Copied 400 of 400 files (100 %), 1.6 of 1.6 MiB, "),
            std::string::npos)
      << terminal.text;

  const Watched pipe = WatchStandardError(false, copyInto("on-pipe"));
  EXPECT_EQ(pipe.status, 0);
  EXPECT_EQ(pipe.text, "");
}

TEST(LookTest, FilesFoundUpToDateAreCountedApart) {
  const Watched terminal = WatchStandardError(true, [] {
    CopyStatusLine line(CopyPlan{.files = 10,
                                 .bytes = 4 << 20,
                                 .replacing = 10,
                                 .notCopied = {},
                                 .notCopiedCount = 0,
                                 .leftovers = 0});
    // Past the tenth of a second within which a copy shows nothing.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    line.Update({.files = 10, .bytes = 4 << 20, .unchanged = 7});
    return 0;
  });
  EXPECT_NE(terminal.text.find("Copied 10 of 10 files (100 %), 7 unchanged, 4.0 of 4.0 MiB, "),
            std::string::npos)
      << terminal.text;
}

TEST(LookTest, ClientProgressPercentLinesReachATerminalWhileWaitingAndNothingElse) {
  const test::Sandbox sandbox;
  std::string expected;
  for (int percent = 10; percent <= 100; percent += 10) {
    expected += "SQL client: " + std::to_string(percent) + " percent processed.\n";
  }
  const Watched terminal = WatchClient(true, sandbox.root());
  EXPECT_EQ(terminal.status, 0) << "the first line did not reach the terminal while waiting";
  EXPECT_EQ(terminal.text, expected);

  const Watched pipe = WatchClient(false, sandbox.root());
  EXPECT_EQ(pipe.status, 0);
  EXPECT_EQ(pipe.text, "");
}

}  // namespace
}  // namespace qelrestore::posix
