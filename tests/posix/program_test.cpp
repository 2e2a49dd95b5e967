// The real POSIX program on real folders: each test makes a sandbox with a program folder holding
// a copy of qelrestore, a home with .corvilane/path.conf, a backup and an installation folder, a
// registry file and the stand-in client, then runs the program as its users do.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "driver/program.h"
#include "tests/posix/test_files.h"

extern char** environ;

namespace qelrestore {
namespace {

namespace fs = std::filesystem;
using test::Messages;
using test::ReadFile;
using test::WriteFile;
using Clock = std::chrono::steady_clock;

// Where a run's standard files come from: a descriptor of the test's (-1: input from /dev/null,
// errors to stderr.txt). An error descriptor serves as standard output too.
// The last line of the stand-in client's output, which tells a restore that worked.
const std::string kProcessedLine =
    "RESTORE DATABASE successfully processed 202 pages in 0.120 seconds (13.147 MB/sec).";

struct Streams {
  int input = -1;
  int errors = -1;
};

class ProgramTest : public testing::Test {
 protected:
  void SetUp() override {
    root = test::TestFolder("program");
    fs::remove_all(root);
    test::MakeTypicalSandbox(root);
    WriteFile(root / "install/local.txt", "local");
  }
  void TearDown() override { fs::remove_all(root); }

  void WritePathConf(const std::string& content) {
    WriteFile(root / "home/.corvilane/path.conf", content);
  }

  // Starts the program with `arguments` (the shell's split), HOME in the sandbox; returns its pid.
  pid_t Spawn(const std::vector<std::string>& arguments,
              const std::vector<std::string>& extraEnvironment, Streams streams) {
    std::vector<std::string> environment = {"HOME=" + (root / "home").string(),
                                            "PATH=/usr/bin:/bin"};
    environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
    const std::string program = (root / "program/qelrestore").string();
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& variable : environment) envp.push_back(variable.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (streams.input >= 0) {
      posix_spawn_file_actions_adddup2(&actions, streams.input, 0);
    } else {
      posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    const std::string errors = (root / "stderr.txt").string();
    if (streams.errors >= 0) {
      posix_spawn_file_actions_adddup2(&actions, streams.errors, 1);
      posix_spawn_file_actions_adddup2(&actions, streams.errors, 2);
    } else {
      posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                       0644);
    }
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(spawned, 0);
    return pid;
  }

  // The exit status; -1 when a signal ended the program, -2 when it had not ended after a minute
  // (it is killed then: a run that waits on something it should not must fail, not hang).
  static int WaitFor(pid_t pid) {
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (Clock::now() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -2;
      }
      usleep(10000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  int RunProgram(const std::vector<std::string>& arguments,
                 const std::vector<std::string>& extraEnvironment = {}, Streams streams = {}) {
    return WaitFor(Spawn(arguments, extraEnvironment, streams));
  }

  std::string Log() const { return (root / "run.log").string(); }
  std::string StandardError() const { return ReadFile(root / "stderr.txt"); }

  fs::path root;
};

TEST_F(ProgramTest, CompleteRestoreRunsTheClientWithTheLoggedCommandLine) {
  const std::string backup = (root / "backup").string();
  EXPECT_EQ(RunProgram({backup, Log(), "N"}), 0) << StandardError();
  // path.conf's separators are all turned into backslashes; the host turns them back.
  std::string install = (root / "install").string() + "\\";
  std::replace(install.begin(), install.end(), '/', '\\');
  const std::string command = "\"" + (root / "tools").string() +
                              "\\Binn\\OSQL.exe\" -S dbhost,1433 -E -Q \" RESTORE DATABASE "
                              "[QEL_PLUV] From DISK = N'" +
                              backup +
                              "\\QEL_PLUV.bak' WITH  FILE = 1,  NOUNLOAD,  REPLACE,  STATS = "
                              "10\" -o \"" +
                              Log() + "sql\"";
  EXPECT_EQ(Messages(Log()), (std::vector<std::string>{
                                 "QEL start Restore",
                                 "Start copying from " + backup + "to " + install,
                                 "Restore Folder completed",
                                 "SQL start Restore MSDE",
                                 command,
                                 "SQL restore verified: " + kProcessedLine,
                                 "SQL Restore Complete",
                             }));
  // The client got the command line split by the Windows rules: the statement is one argument.
  EXPECT_EQ(
      ReadFile(Log() + "sql")
          .rfind("-S\ndbhost,1433\n-E\n-Q\n RESTORE DATABASE [QEL_PLUV] From DISK = N'" + backup +
                     "\\QEL_PLUV.bak' WITH  FILE = 1,  NOUNLOAD,  REPLACE,  STATS = 10\n-o\n" +
                     Log() + "sql\n",
                 0),
      0u);
  EXPECT_EQ(ReadFile(root / "install/app.jar"), "new program");
  EXPECT_EQ(ReadFile(root / "install/local.txt"), "local");
}

TEST_F(ProgramTest, EndsOfARunAndTheirStatuses) {
  const std::string backup = (root / "backup").string();
  const struct {
    const char* name;
    std::vector<std::string> arguments;
    int status;
    std::string lastMessage;  // empty: no log at all
  } cases[] = {
      {"usage", {}, 1, ""},
      {"missing backup folder",
       {backup + "x", Log()},
       2,
       backup + "xbackup directory not found. Pls. check"},
      {"log folder missing", {backup, (root / "nowhere/run.log").string()}, 4, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(Log());
    EXPECT_EQ(RunProgram(c.arguments), c.status) << StandardError();
    if (c.lastMessage.empty()) {
      EXPECT_FALSE(fs::exists(Log()));
      EXPECT_FALSE(fs::exists(root / "nowhere"));
    } else {
      EXPECT_EQ(Messages(Log()).back(), c.lastMessage);
    }
  }
  EXPECT_EQ(RunProgram({}), 1);
  EXPECT_NE(StandardError().find("qelRestore.bat backdirectory"), std::string::npos);
  for (const auto& entry : fs::directory_iterator(root / "program")) {
    EXPECT_NE(entry.path().filename().string().rfind("qelRestorelog", 0), 0u);
  }
}

TEST_F(ProgramTest, DefaultLogIsNamedAfterTheDayOfTheMonthInTheProgramFolder) {
  EXPECT_EQ(RunProgram({(root / "missing").string()}), 2);
  const std::time_t now = std::time(nullptr);
  char day[3];
  std::strftime(day, sizeof day, "%d", std::localtime(&now));
  const fs::path log = root / "program" / (std::string("qelRestorelog.txt") + day);
  ASSERT_TRUE(fs::exists(log));
  EXPECT_EQ(Messages(log.string()).size(), 2u);
}

TEST_F(ProgramTest, KeptSettingsGoBackOverTheRestoredOnes) {
  WriteFile(root / "install/PLUV/db.properties", "DB_PROVIDER=none\r\n");
  // The settings kept name no provider, so the database restore is not run.
  EXPECT_EQ(RunProgram({(root / "backup").string(), Log(), "N", "Y"}), kExitIncomplete)
      << StandardError();
  EXPECT_EQ(ReadFile(root / "install/PLUV/db.properties"), "DB_PROVIDER=none\r\n");
  EXPECT_EQ(ReadFile(root / "program/curdb.properties.bak"), "DB_PROVIDER=none\r\n");
  EXPECT_EQ(Messages(Log()).back(), "SQL Restore Complete");
}

TEST_F(ProgramTest, MissingClientIsReportedAndTheStatusSaysSo) {
  fs::remove(root / "tools/Binn/OSQL.exe");
  EXPECT_EQ(RunProgram({(root / "backup").string(), Log(), "N"}), 5);
  const auto messages = Messages(Log());
  ASSERT_GE(messages.size(), 2u);
  EXPECT_EQ(messages[messages.size() - 2].rfind("SQL client could not be started: ", 0), 0u);
  EXPECT_EQ(messages.back(), "SQL Restore Complete");
}

TEST_F(ProgramTest, ErrorReportNamesTheCheckpoint) {
  WriteFile(root / "backup/PLUV/db.properties", "dbconn.appl.url=x://dbhost;z\r\n");
  EXPECT_EQ(RunProgram({(root / "backup").string(), Log(), "N"}), 3);
  EXPECT_EQ(Messages(Log()).back().rfind("Error: 9line no: 105Desc:", 0), 0u);
  EXPECT_NE(StandardError().find("Unexpected error 9 line no 105 in printing."), std::string::npos);
}

TEST_F(ProgramTest, ClientStillRunningAfterTheLimitIsLeftRunningWithoutTheCallersPipes) {
  // The caller captures the program's output, as a script's $(...) does: it must see the end of
  // it when the program ends, not when the client left running does.
  int capture[2];
  ASSERT_EQ(pipe2(capture, O_CLOEXEC), 0);
  const auto start = Clock::now();
  const pid_t pid = Spawn({(root / "backup").string(), Log(), "N"}, {"QEL_STANDIN_SECONDS=60"},
                          {.errors = capture[1]});
  close(capture[1]);
  const auto deadline = start + std::chrono::seconds(20);
  char buffer[4096];
  for (pollfd entry{capture[0], POLLIN, 0}; Clock::now() < deadline;) {
    if (poll(&entry, 1, 100) > 0 && read(capture[0], buffer, sizeof buffer) <= 0) break;
  }
  const double endOfOutput = std::chrono::duration<double>(Clock::now() - start).count();
  close(capture[0]);
  EXPECT_EQ(WaitFor(pid), kExitNotVerified);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_GE(seconds, 5.0);
  EXPECT_LT(seconds, 7.5);
  EXPECT_LT(endOfOutput, 7.5) << "the client holds the caller's output open";
  // The client runs on: find it by its output file argument and end it here.
  bool found = false;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string cmdline = ReadFile(entry.path() / "cmdline");
    if (cmdline.find(Log() + "sql") == std::string::npos) continue;
    found = true;
    ::kill(std::stoi(entry.path().filename().string()), SIGKILL);
  }
  EXPECT_TRUE(found);
}

TEST_F(ProgramTest, BoxesNeitherWaitOnAnOpenInputNorDieWithTheirReader) {
  // Input: a pipe the caller keeps open and never writes to. Errors: a pipe whose reader is gone.
  int input[2];
  int errors[2];
  ASSERT_EQ(pipe2(input, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(errors, O_CLOEXEC), 0);
  close(errors[0]);
  const struct {
    const char* name;
    Streams streams;
  } cases[] = {{"input an open pipe", {.input = input[0]}},
               {"errors to a pipe without reader", {.errors = errors[1]}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(Log());
    EXPECT_EQ(RunProgram({(root / "backup").string(), Log(), "Y"}, {}, c.streams), 0);
    EXPECT_EQ(Messages(Log()).back(), "SQL Restore Complete");
  }
  for (const int fd : {input[0], input[1], errors[1]}) close(fd);
}

TEST_F(ProgramTest, RestoringAFolderOntoItselfUnderAnotherSpellingKeepsEveryFile) {
  // The text comparison cannot see it; the copy must not destroy what it copies.
  fs::create_directory_symlink(root / "backup", root / "alias");
  WritePathConf("finalPath=" + (root / "alias").string() + "/\r\n");
  EXPECT_EQ(RunProgram({(root / "backup").string(), Log(), "N"}), kExitIncomplete)
      << StandardError();
  EXPECT_EQ(Messages(Log())[2], "Restore Folder NOT complete");
  EXPECT_EQ(ReadFile(root / "backup/app.jar"), "new program");
  EXPECT_EQ(ReadFile(root / "backup/PLUV/db.properties").substr(0, 20), "DB_PROVIDER=SQLOLEDB");
}

TEST_F(ProgramTest, InstallationFolderInsideTheBackupIsNotCopiedIntoItself) {
  WriteFile(root / "backup/inner/keep.txt", "inner");
  WritePathConf("finalPath=" + (root / "backup/inner").string() + "/\r\n");
  RunProgram({(root / "backup").string(), Log(), "N"});
  EXPECT_EQ(ReadFile(root / "backup/inner/app.jar"), "new program");
  EXPECT_FALSE(fs::exists(root / "backup/inner/inner"));
  EXPECT_EQ(ReadFile(root / "backup/inner/keep.txt"), "inner");
}

TEST_F(ProgramTest, CopyKeepsHiddenFilesNestedFoldersLinksAndModes) {
  WriteFile(root / "backup/lib/deep/.hidden", "hidden");
  fs::create_symlink("../app.jar", root / "backup/lib/link.jar");
  fs::permissions(root / "backup/app.jar", fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_EQ(RunProgram({(root / "backup").string(), Log(), "N"}), 0) << StandardError();
  EXPECT_EQ(ReadFile(root / "install/lib/deep/.hidden"), "hidden");
  EXPECT_TRUE(fs::is_symlink(root / "install/lib/link.jar"));
  EXPECT_EQ(fs::read_symlink(root / "install/lib/link.jar"), "../app.jar");
  EXPECT_EQ(fs::status(root / "install/app.jar").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_exec);
}

TEST_F(ProgramTest, AFileWhereTheBackupHasAFolderMakesTheCopyIncomplete) {
  WriteFile(root / "backup/lib/core.jar", "library");
  WriteFile(root / "install/lib", "a file, not a folder");
  EXPECT_EQ(RunProgram({(root / "backup").string(), Log(), "N"}), 5);
  EXPECT_EQ(Messages(Log())[2], "Restore Folder NOT complete");
  EXPECT_EQ(ReadFile(root / "install/app.jar"), "new program");  // the rest was copied
  EXPECT_EQ(Messages(Log()).back(), "SQL Restore Complete");
}

TEST_F(ProgramTest, BadPathConfEndsCleanly) {
  std::string manyItems;
  for (int i = 0; i < 100000; ++i) manyItems += "other=" + std::to_string(i) + ",";
  const struct {
    const char* name;
    std::string content;
    int status;
  } cases[] = {
      {"100,000 items, then the folder",
       manyItems + "\r\nfinalPath=" + (root / "install").string() + "/\r\n", 0},
      {"a line of 1 MiB", "finalPath=" + std::string(1 << 20, 'x') + "\r\n", 2},
      {"NUL bytes in the key: no finalPath item", std::string("final\0Path=/x/\r\n", 17), 5},
      {"bytes that are not UTF-8", "finalPath=/tmp/\xff\xfe/\r\n", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WritePathConf(c.content);
    fs::remove(Log());
    EXPECT_EQ(RunProgram({(root / "backup").string(), Log(), "N"}), c.status) << StandardError();
  }
  const fs::path pathConf = root / "home/.corvilane/path.conf";
  fs::remove(pathConf);
  fs::create_directory(pathConf);
  EXPECT_EQ(RunProgram({(root / "backup").string(), Log(), "N"}), 2);
  EXPECT_NE(Messages(Log()).back().find("path.confnot found. Pls. check"), std::string::npos);

  // A FIFO nobody writes to is refused at once, not waited on.
  fs::remove(pathConf);
  ASSERT_EQ(mkfifo(pathConf.c_str(), 0644), 0);
  EXPECT_EQ(RunProgram({(root / "backup").string(), Log(), "N"}), 4);
  EXPECT_NE(StandardError().find(pathConf.string()), std::string::npos) << StandardError();
}

TEST_F(ProgramTest, MalformedRegistryValueIsReportedByTheStepThatReadsIt) {
  WriteFile(root / "program/registry.reg",
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Microsoft SQL "
            "Server\\80\\Tools\\ClientSetup]\r\n\"SQLPath\"=hex:0g\r\n");
  EXPECT_EQ(RunProgram({(root / "backup").string(), Log(), "N"}), 3);
  const std::string record = Messages(Log()).back();
  EXPECT_EQ(record.rfind("Error: 75line no: 116Desc:Malformed registry file ", 0), 0u) << record;
  EXPECT_NE(record.find("line 4"), std::string::npos) << record;
}

}  // namespace
}  // namespace qelrestore
