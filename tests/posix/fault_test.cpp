// Real faults met by the real program: folders and files it may not write or read, a kill in the
// middle of a large copy, a client that will not end. Permission bits do not stop root, so when
// the tests run as root the program is run as the unprivileged user "nobody", in a sandbox that
// user owns.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/posix/test_files.h"

namespace qelrestore {
namespace {

namespace fs = std::filesystem;
using test::Messages;
using test::ReadFile;
using test::WriteFile;
using Clock = std::chrono::steady_clock;

constexpr uid_t kNobody = 65534;
constexpr gid_t kNoGroup = 65534;

// Whether a child can become "nobody" here (a container may refuse even root that).
bool CanRunAsNobody() {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const bool dropped =
        ::setgroups(0, nullptr) == 0 && ::setgid(kNoGroup) == 0 && ::setuid(kNobody) == 0;
    ::_exit(dropped && ::geteuid() == kNobody ? 0 : 1);
  }
  int status = 0;
  return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

class FaultTest : public testing::Test {
 protected:
  void SetUp() override {
    root = test::TestFolder("fault");
    fs::remove_all(root);
    test::MakeTypicalSandbox(root);
    fs::create_directories(root / "logs");
  }
  void TearDown() override {
    // Give the folders back their write bits, so that everything can be removed.
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(root, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
      if (it->is_directory(ignored)) fs::permissions(it->path(), fs::perms::owner_all, ignored);
    }
    fs::remove_all(root, ignored);
  }

  // Makes permission bits bind: as root, hands the sandbox to "nobody" and runs the program as
  // that user. False when neither is possible.
  bool Unprivileged() {
    if (::geteuid() != 0) return true;
    if (!CanRunAsNobody()) return false;
    asNobody_ = true;
    EXPECT_EQ(::chown(root.c_str(), kNobody, kNoGroup), 0);
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      EXPECT_EQ(::lchown(entry.path().c_str(), kNobody, kNoGroup), 0) << entry.path();
    }
    return true;
  }

  // Starts the program with `arguments`, HOME in the sandbox, standard input from /dev/null and
  // standard error to a file; returns its process id.
  pid_t Start(const std::vector<std::string>& arguments,
              const std::vector<std::string>& extraEnvironment = {}) {
    std::vector<std::string> environment = {"HOME=" + (root / "home").string(),
                                            "PATH=/usr/bin:/bin"};
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
      if (const char* value = std::getenv(name))
        environment.push_back(name + ("=" + std::string(value)));
    }
    environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
    const std::string program = (root / "program/qelrestore").string();
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& variable : environment) envp.push_back(variable.data());
    envp.push_back(nullptr);
    const std::string errors = (root / "stderr.txt").string();

    const pid_t pid = ::fork();
    if (pid == 0) {
      const int in = ::open("/dev/null", O_RDONLY);
      const int err = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
      if (in < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(err, 2) < 0) ::_exit(126);
      if (asNobody_ &&
          (::setgroups(0, nullptr) != 0 || ::setgid(kNoGroup) != 0 || ::setuid(kNobody) != 0)) {
        ::_exit(126);
      }
      ::execve(program.c_str(), argv.data(), envp.data());
      ::_exit(127);
    }
    EXPECT_GT(pid, 0);
    return pid;
  }

  // Waits for the program; its exit status, or -1 when a signal ended it.
  static int Wait(pid_t pid) {
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  int Run(const std::vector<std::string>& arguments,
          const std::vector<std::string>& extraEnvironment = {}) {
    return Wait(Start(arguments, extraEnvironment));
  }
  int RunRestore() { return Run({Backup(), Log(), "N"}); }

  std::string Backup() const { return (root / "backup").string(); }
  std::string Log() const { return (root / "logs/run.log").string(); }
  std::string StandardError() const { return ReadFile(root / "stderr.txt"); }

  fs::path root;

 private:
  bool asNobody_ = false;
};

#define REQUIRE_UNPRIVILEGED()                                            \
  if (!Unprivileged())                                                    \
  GTEST_SKIP() << "running as root, and this machine refuses to run the " \
                  "program as the user nobody: permission bits cannot bind"

TEST_F(FaultTest, ReadOnlyLogFolder) {
  REQUIRE_UNPRIVILEGED();
  fs::permissions(root / "logs", fs::perms::owner_read | fs::perms::owner_exec);
  // No log can be created there: an error before the log is in place, and nothing restored.
  EXPECT_EQ(RunRestore(), 4);
  EXPECT_NE(StandardError().find("Unhandled error 70"), std::string::npos) << StandardError();
  EXPECT_FALSE(fs::exists(Log()));
  EXPECT_EQ(ReadFile(root / "install/app.jar"), "old program");

  // A log that is already there may still be appended to: the folder's bits do not matter.
  fs::permissions(root / "logs", fs::perms::owner_all);
  WriteFile(Log(), "2026-12-07 10:00:00: earlier\r\n");
  EXPECT_EQ(::chown(Log().c_str(), ::geteuid() == 0 ? kNobody : ::geteuid(),
                    ::geteuid() == 0 ? kNoGroup : ::getegid()),
            0);
  fs::permissions(root / "logs", fs::perms::owner_read | fs::perms::owner_exec);
  // The client cannot write its output beside the log either: the restore is not taken for done.
  EXPECT_EQ(RunRestore(), 5) << StandardError();
  const auto messages = Messages(Log());
  ASSERT_EQ(messages.size(), 8u);
  EXPECT_EQ(messages.front(), "earlier");
  EXPECT_EQ(messages[6].rfind("SQL restore failed: ", 0), 0u) << messages[6];
  EXPECT_EQ(messages.back(), "SQL Restore Complete");
}

TEST_F(FaultTest, UnreadablePathConf) {
  REQUIRE_UNPRIVILEGED();
  fs::permissions(root / "home/.corvilane/path.conf", fs::perms::none);
  // It exists but cannot be opened: the open comes before the error trap, so the host reports.
  EXPECT_EQ(RunRestore(), 4);
  EXPECT_NE(StandardError().find("Unhandled error 70"), std::string::npos) << StandardError();
  EXPECT_EQ(Messages(Log()), std::vector<std::string>{"QEL start Restore"});
  EXPECT_EQ(ReadFile(root / "install/app.jar"), "old program");
}

TEST_F(FaultTest, UnreadableBackupFileMakesTheCopyIncompleteAndTheRestGoesOn) {
  WriteFile(root / "backup/lib/secret.dat", "secret");
  WriteFile(root / "backup/lib/open.dat", "open");
  REQUIRE_UNPRIVILEGED();
  fs::permissions(root / "backup/lib/secret.dat", fs::perms::none);
  EXPECT_EQ(RunRestore(), 5) << StandardError();
  const auto messages = Messages(Log());
  ASSERT_GE(messages.size(), 6u);
  EXPECT_EQ(messages[2], "Restore Folder NOT complete");
  EXPECT_EQ(messages.back(), "SQL Restore Complete");
  // The entry not copied is named in the log, where an unattended run's reader looks.
  EXPECT_NE(ReadFile(Log()).find("secret.dat"), std::string::npos) << ReadFile(Log());
  EXPECT_EQ(ReadFile(root / "install/app.jar"), "new program");
  EXPECT_EQ(ReadFile(root / "install/lib/open.dat"), "open");
  EXPECT_FALSE(fs::exists(root / "install/lib/secret.dat") &&
               fs::file_size(root / "install/lib/secret.dat") != 0);
}

TEST_F(FaultTest, ReadOnlyInstallationFolder) {
  REQUIRE_UNPRIVILEGED();
  fs::permissions(root / "install", fs::perms::owner_read | fs::perms::owner_exec);
  // PLUV cannot be made, so no db.properties was restored: the run ends without the database.
  EXPECT_EQ(RunRestore(), 5) << StandardError();
  const auto messages = Messages(Log());
  ASSERT_GE(messages.size(), 4u);
  EXPECT_EQ(messages[2], "Restore Folder NOT complete");
  EXPECT_EQ(messages.back(), "QEL Restore completed without SQLServer version");
  EXPECT_FALSE(fs::exists(root / "install/PLUV"));
}

TEST_F(FaultTest, KilledInTheMiddleOfALargeCopyThenRunAgainToCompletion) {
  // 256 MiB in one file: long enough a copy to be caught in the middle of it.
  constexpr size_t kMiB = 1 << 20;
  constexpr size_t kSize = 256 * kMiB;
  {
    std::string block(kMiB, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7 + i / 4096);
    std::ofstream out(root / "backup/data.bin", std::ios::binary);
    for (size_t written = 0; written < kSize; written += kMiB) {
      block[0] = static_cast<char>(written / kMiB);  // no two blocks alike
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
  }
  const fs::path copy = root / "install/data.bin";
  // Caught while a file of the copy (the copy itself, or a new file it is written to before it
  // takes the old one's place) holds part of the data: no other file there is that large.
  const auto partlyCopied = [&] {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(root / "install", ignored)) {
      const uintmax_t size = entry.is_regular_file(ignored) ? entry.file_size(ignored) : 0;
      if (!ignored && size >= kMiB && size < kSize) return true;
    }
    return false;
  };
  bool caught = false;
  bool ended = false;
  const pid_t pid = Start({Backup(), Log(), "N"});
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (Clock::now() < deadline) {
    if (partlyCopied()) {
      ::kill(pid, SIGKILL);
      caught = true;
      break;
    }
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      ended = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  if (!caught) {
    ::kill(pid, SIGKILL);
    if (!ended) Wait(pid);
    GTEST_SKIP() << "the copy ended before it could be caught in the middle";
  }
  EXPECT_EQ(Wait(pid), -1);
  // path.conf's separators all become backslashes in the program's texts.
  std::string install = (root / "install").string() + "\\";
  std::replace(install.begin(), install.end(), '/', '\\');
  EXPECT_EQ(Messages(Log()),
            (std::vector<std::string>{"QEL start Restore",
                                      "Start copying from " + Backup() + "to " + install}));

  EXPECT_EQ(RunRestore(), 0) << StandardError();
  const auto messages = Messages(Log());
  ASSERT_EQ(messages.size(), 9u);
  EXPECT_EQ(messages[2], "QEL start Restore");
  EXPECT_EQ(messages[4], "Restore Folder completed");
  EXPECT_EQ(messages.back(), "SQL Restore Complete");
  ASSERT_EQ(fs::file_size(copy), kSize);
  std::ifstream original(root / "backup/data.bin", std::ios::binary);
  std::ifstream restored(copy, std::ios::binary);
  std::string a(kMiB, '\0');
  std::string b(kMiB, '\0');
  for (size_t read = 0; read < kSize; read += kMiB) {
    original.read(a.data(), static_cast<std::streamsize>(kMiB));
    restored.read(b.data(), static_cast<std::streamsize>(kMiB));
    ASSERT_TRUE(a == b) << "the restored copy differs in MiB " << read / kMiB;
  }
}

TEST_F(FaultTest, ClientIgnoringTerminationIsLeftRunningAndTheRunEndsInTime) {
  const auto start = Clock::now();
  // Still running after the wait, so the restore is not verified.
  EXPECT_EQ(Run({Backup(), Log(), "N"}, {"QEL_STANDIN_SECONDS=60", "QEL_STANDIN_IGNORE_TERM=1"}), 6)
      << StandardError();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_GE(seconds, 5.0);
  EXPECT_LT(seconds, 7.5);
  EXPECT_EQ(Messages(Log()).back(), "SQL Restore Complete");

  std::vector<pid_t> clients;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    if (ReadFile(entry.path() / "cmdline").find(Log() + "sql") == std::string::npos) continue;
    clients.push_back(static_cast<pid_t>(std::stoi(entry.path().filename().string())));
  }
  ASSERT_EQ(clients.size(), 1u);
  // It really ignores the request to end: only a kill ends it.
  ::kill(clients[0], SIGTERM);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(::kill(clients[0], 0), 0);
  ::kill(clients[0], SIGKILL);
}

}  // namespace
}  // namespace qelrestore
