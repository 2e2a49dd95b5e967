// The real POSIX program on real folders: each test makes a sandbox with a program folder holding
// a copy of qelrestore, a home with .corvilane/path.conf, a backup and an installation folder, a
// registry file and the stand-in client, then runs the program as its users do.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "driver/program.h"
#include "tests/posix/toolkit.h"

namespace qelrestore {
namespace {

namespace fs = std::filesystem;
using test::Messages;
using test::ReadFile;
using test::WriteFile;

// The last line of the stand-in client's output, which tells a restore that worked.
const std::string kProcessedLine =
    "RESTORE DATABASE successfully processed 202 pages in 0.120 seconds (13.147 MB/sec).";

class ProgramTest : public test::InstalledProgramTest {
 protected:
  ProgramTest() { WriteFile(root / "install/local.txt", "local"); }

  void WritePathConf(const std::string& content) {
    WriteFile(root / "home/.corvilane/path.conf", content);
  }
};

TEST_F(ProgramTest, CompleteRestoreRunsTheClientWithTheLoggedCommandLine) {
  const std::string backup = (root / "backup").string();
  EXPECT_EQ(Run({backup, Log(), "N"}), 0) << StandardError();
  // path.conf's separators are all turned into backslashes; the host turns them back.
  std::string install = (root / "install").string() + "\\";
  std::replace(install.begin(), install.end(), '/', '\\');
  const std::string command = "\"" + (root / "tools").string() +
                              "/Binn/OSQL.exe\" -S dbhost,1433 -E -Q \" RESTORE DATABASE "
                              "[QEL_PLUV] From DISK = N'" +
                              backup +
                              "/QEL_PLUV.bak' WITH  FILE = 1,  NOUNLOAD,  REPLACE,  STATS = "
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
                     "/QEL_PLUV.bak' WITH  FILE = 1,  NOUNLOAD,  REPLACE,  STATS = 10\n-o\n" +
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
    EXPECT_EQ(Run(c.arguments), c.status) << StandardError();
    if (c.lastMessage.empty()) {
      EXPECT_FALSE(fs::exists(Log()));
      EXPECT_FALSE(fs::exists(root / "nowhere"));
    } else {
      EXPECT_EQ(Messages(Log()).back(), c.lastMessage);
    }
  }
  EXPECT_EQ(Run({}), 1);
  EXPECT_NE(StandardError().find("qelRestore.bat backdirectory"), std::string::npos);
  for (const auto& entry : fs::directory_iterator(root / "program")) {
    EXPECT_NE(entry.path().filename().string().rfind("qelRestorelog", 0), 0u);
  }
}

TEST_F(ProgramTest, DefaultLogIsNamedAfterTheDayOfTheMonthInTheProgramFolder) {
  EXPECT_EQ(Run({(root / "missing").string()}), 2);
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
  EXPECT_EQ(Run({Backup(), Log(), "N", "Y"}), kExitIncomplete) << StandardError();
  EXPECT_EQ(ReadFile(root / "install/PLUV/db.properties"), "DB_PROVIDER=none\r\n");
  EXPECT_EQ(ReadFile(root / "program/curdb.properties.bak"), "DB_PROVIDER=none\r\n");
  EXPECT_EQ(Messages(Log()).back(), "SQL Restore Complete");
}

TEST_F(ProgramTest, MissingClientIsReportedAndTheStatusSaysSo) {
  fs::remove(root / "tools/Binn/OSQL.exe");
  EXPECT_EQ(RunRestore(), 5);
  const auto messages = Messages(Log());
  ASSERT_GE(messages.size(), 2u);
  EXPECT_EQ(messages[messages.size() - 2].rfind("SQL client could not be started: ", 0), 0u);
  EXPECT_EQ(messages.back(), "SQL Restore Complete");
}

TEST_F(ProgramTest, ErrorReportNamesTheCheckpoint) {
  WriteFile(root / "backup/PLUV/db.properties", "dbconn.appl.url=x://dbhost;z\r\n");
  EXPECT_EQ(RunRestore(), 3);
  EXPECT_EQ(Messages(Log()).back().rfind("Error: 9line no: 105Desc:", 0), 0u);
  EXPECT_NE(StandardError().find("Unexpected error 9 line no 105 in printing."), std::string::npos);
}

TEST_F(ProgramTest, ClientStillRunningAfterTheLimitIsLeftRunningWithoutTheCallersPipes) {
  // The caller captures the program's output, as a script's $(...) does: it must see the end of
  // it when the program ends, not when the client left running (one that would not even end on
  // a request to) does.
  EXPECT_EQ(RunRestore({.environment = {"QEL_STANDIN_SECONDS=60", "QEL_STANDIN_IGNORE_TERM=1",
                                        "QELRESTORE_CLIENT_WAIT=2"},
                        .timeout = std::chrono::seconds(45)}),
            kExitNotVerified);
  EXPECT_GE(last.seconds, 2.0);
  // Well short of the client's 60 s; the rest is room for a loaded machine.
  EXPECT_LT(last.seconds, 30.0);
  EXPECT_LT(last.outputSeconds, 30.0) << "the client holds the caller's output open";
  const std::vector<std::string> messages = Messages(Log());
  ASSERT_GE(messages.size(), 2u);
  EXPECT_EQ(messages[messages.size() - 2],
            "SQL restore not verified: the SQL client was still running after 2 seconds; its "
            "output goes to " +
                Log() + "sql");
  EXPECT_EQ(messages.back(), "SQL Restore Complete");
  // The one client runs on: find it by its output file argument and end it here.
  std::vector<pid_t> clients;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    if (ReadFile(entry.path() / "cmdline").find(Log() + "sql") == std::string::npos) continue;
    clients.push_back(static_cast<pid_t>(std::stoi(entry.path().filename().string())));
  }
  EXPECT_EQ(clients.size(), 1u);
  for (const pid_t client : clients) ::kill(client, SIGKILL);
}

TEST_F(ProgramTest, BoxesNeitherWaitOnAnOpenInputNorDieWithTheirReader) {
  const struct {
    const char* name;
    test::RunOptions options;
  } cases[] = {{"input an open pipe", {.input = test::Input::kOpenPipe}},
               {"outputs to a pipe without reader", {.output = test::Output::kReaderGone}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(Log());
    EXPECT_EQ(Run({Backup(), Log(), "Y"}, c.options), 0);
    EXPECT_EQ(Messages(Log()).back(), "SQL Restore Complete");
  }
}

// Each box says what it waits for after its own text, waits reading the terminal, and the run
// goes on once Enter is pressed there.
TEST_F(ProgramTest, BoxesWaitForEnterAtATerminal) {
  const test::RunOptions terminal = {.input = test::Input::kTerminal, .pressEnter = true};
  EXPECT_EQ(Run({}, terminal), kExitUsage);
  EXPECT_EQ(last.entersPressed, 1) << last.err;
  EXPECT_NE(last.err.find("flg:N(default)]\nPress Enter to go on"), std::string::npos) << last.err;

  EXPECT_EQ(Run({Backup(), Log(), "Y"}, terminal), 0) << last.err;
  // Every progress message was a box, and each one waited for its Enter.
  EXPECT_EQ(last.entersPressed, static_cast<int>(Messages(Log()).size())) << last.err;
  EXPECT_EQ(LastMessage(), "SQL Restore Complete");
}

TEST_F(ProgramTest, RestoringAFolderOntoItselfUnderAnotherSpellingIsRefused) {
  // The texts differ; the folder is the same.
  fs::create_directory_symlink(root / "backup", root / "alias");
  WritePathConf("finalPath=" + (root / "alias").string() + "/\r\n");
  EXPECT_EQ(RunRestore(), kExitStopped) << StandardError();
  ASSERT_EQ(Messages(Log()).size(), 2u);
  EXPECT_EQ(Messages(Log())[1], "Cannot restore to itself" + (root / "alias").string() + "/");
  EXPECT_EQ(ReadFile(root / "backup/app.jar"), "new program");
  EXPECT_EQ(ReadFile(root / "backup/PLUV/db.properties").substr(0, 20), "DB_PROVIDER=SQLOLEDB");
}

TEST_F(ProgramTest, InstallationFolderInsideTheBackupIsNotCopiedIntoItself) {
  WriteFile(root / "backup/inner/keep.txt", "inner");
  WritePathConf("finalPath=" + (root / "backup/inner").string() + "/\r\n");
  RunRestore();
  EXPECT_EQ(ReadFile(root / "backup/inner/app.jar"), "new program");
  EXPECT_FALSE(fs::exists(root / "backup/inner/inner"));
  EXPECT_EQ(ReadFile(root / "backup/inner/keep.txt"), "inner");
}

TEST_F(ProgramTest, CopyKeepsHiddenFilesNestedFoldersLinksAndModes) {
  WriteFile(root / "backup/lib/deep/.hidden", "hidden");
  fs::create_symlink("../app.jar", root / "backup/lib/link.jar");
  // An installed link of the same length as the backup's, to another target, is updated.
  fs::create_symlink("lib-1.3", root / "backup/current");
  fs::create_symlink("lib-1.2", root / "install/current");
  fs::permissions(root / "backup/app.jar", fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_EQ(RunRestore(), 0) << StandardError();
  EXPECT_EQ(ReadFile(root / "install/lib/deep/.hidden"), "hidden");
  EXPECT_TRUE(fs::is_symlink(root / "install/lib/link.jar"));
  EXPECT_EQ(fs::read_symlink(root / "install/lib/link.jar"), "../app.jar");
  EXPECT_EQ(fs::read_symlink(root / "install/current"), "lib-1.3");
  EXPECT_EQ(fs::status(root / "install/app.jar").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_exec);
}

TEST_F(ProgramTest, AFileWhereTheBackupHasAFolderMakesTheCopyIncomplete) {
  // More entries not copied than the log names one by one: the rest are counted.
  for (int i = 0; i < 103; ++i) {
    WriteFile(root / "backup" / ("lib" + std::to_string(i)) / "core.jar", "library");
    WriteFile(root / "install" / ("lib" + std::to_string(i)), "a file, not a folder");
  }
  EXPECT_EQ(RunRestore(), 5);
  EXPECT_EQ(Messages(Log())[2], "Restore Folder NOT complete");
  EXPECT_EQ(Messages(Log())[103], "Not copied: 3 more");
  EXPECT_EQ(ReadFile(root / "install/app.jar"), "new program")  // the rest was copied
      << ReadFile(Log());
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
    EXPECT_EQ(RunRestore(), c.status) << StandardError();
  }
  const fs::path pathConf = root / "home/.corvilane/path.conf";
  fs::remove(pathConf);
  fs::create_directory(pathConf);
  EXPECT_EQ(RunRestore(), 2);
  EXPECT_NE(Messages(Log()).back().find("path.confnot found. Pls. check"), std::string::npos);

  // A FIFO nobody writes to is refused at once, not waited on.
  fs::remove(pathConf);
  ASSERT_EQ(mkfifo(pathConf.c_str(), 0644), 0);
  EXPECT_EQ(RunRestore(), 4);
  EXPECT_NE(StandardError().find(pathConf.string()), std::string::npos) << StandardError();
}

TEST_F(ProgramTest, MalformedRegistryValueIsReportedByTheStepThatReadsIt) {
  WriteFile(root / "program/registry.reg",
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Microsoft SQL "
            "Server\\80\\Tools\\ClientSetup]\r\n\"SQLPath\"=hex:0g\r\n");
  EXPECT_EQ(RunRestore(), 3);
  const std::string record = Messages(Log()).back();
  EXPECT_EQ(record.rfind("Error: 75line no: 116Desc:Malformed registry file ", 0), 0u) << record;
  EXPECT_NE(record.find("line 4"), std::string::npos) << record;
}

}  // namespace
}  // namespace qelrestore
