// The options of the POSIX program: --help and --version answered on standard output without a
// log, --dry-run, "--" ending the options, and unknown options and quotes refused before any run.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "driver/command_line.h"
#include "driver/program.h"
#include "tests/posix/toolkit.h"

namespace qelrestore {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::RunResult;

class CommandOptionsTest : public testing::Test {
 protected:
  // A copy of its own: a default log lands beside the program, and must be seen there.
  CommandOptionsTest() { sandbox.InstallProgram(); }

  RunResult Run(const std::vector<std::string>& arguments) { return sandbox.Run(arguments); }

  // The files the program folder holds besides the program itself and the lock of its runs:
  // logs written by a run.
  std::vector<std::string> FilesBesideTheProgram() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(root / "program")) {
      const std::string name = entry.path().filename();
      if (name != "qelrestore" && name != "qelrestore.lock") names.push_back(name);
    }
    return names;
  }

  test::Sandbox sandbox;
  const fs::path root = sandbox.root();
};

TEST_F(CommandOptionsTest, SoleOptionAnswersOnStandardOutputWithoutALog) {
  std::string usage;
  for (const wchar_t* ch = kUsageMessage; *ch != L'\0'; ++ch) usage += static_cast<char>(*ch);

  const RunResult help = Run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind(usage + "\n", 0), 0u) << help.out;
  for (const char* line :
       {"qelrestore --help | --version", "Exit status:", "  5  completed, but something failed",
        "  6  completed, nothing failed, but the database restore was not", "QELRESTORE_REGISTRY",
        "QELRESTORE_CLIENT_WAIT"}) {
    EXPECT_NE(help.out.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(help.err, "");

  const RunResult version = Run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("qelrestore ") + kProgramVersion + "\n");
  EXPECT_EQ(version.err, "");

  EXPECT_TRUE(FilesBesideTheProgram().empty());
}

TEST_F(CommandOptionsTest, OptionsCountWhereverTheyStandBeforeTheEndOfOptions) {
  const std::string log = (root / "run.log").string();
  const std::string missing = (root / "missing").string();
  const struct {
    std::vector<std::string> arguments;
    int status;
    std::string outBegins;  // standard output begins so
    std::string err;        // standard error is exactly this
    std::string logHolds;   // the log holds this ("": no log is written)
  } cases[] = {
      // A dry run prints its lines instead of logging them, wherever --dry-run stands.
      {{missing, log, "--dry-run"}, kExitStopped, "", "", ""},
      {{missing, "--help"}, kExitCompleted, "qelRestore.bat backdirectory", "", ""},
      {{missing, log, "N", "--version"}, kExitCompleted, "qelrestore ", "", ""},
      {{"--HELP", log}, kExitUsage, "", "qelrestore: unknown option --HELP; try --help\n", ""},
      {{"-h"}, kExitUsage, "", "qelrestore: unknown option -h; try --help\n", ""},
      {{missing + "\" x", log},
       kExitUsage,
       "",
       "qelrestore: an argument holds a double quote: " + missing + "\" x; try --help\n",
       ""},
      // After "--" every argument is the restore's, one that begins with "-" too.
      {{"--", "--help", log}, kExitStopped, "", "", "--helpbackup directory not found"},
      {{" --help", log}, kExitStopped, "", "", " --helpbackup directory not found"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments[0] + " " + c.arguments.back());
    fs::remove(log);
    const RunResult outcome = Run(c.arguments);
    EXPECT_EQ(outcome.status, c.status) << outcome.err;
    EXPECT_EQ(outcome.out.rfind(c.outBegins, 0), 0u) << outcome.out;
    if (c.status != kExitStopped) {
      EXPECT_EQ(outcome.err, c.err);
    }
    if (c.logHolds.empty()) {
      EXPECT_FALSE(fs::exists(log));
    } else {
      EXPECT_NE(ReadFile(log).find(c.logHolds), std::string::npos);
    }
  }
  EXPECT_TRUE(FilesBesideTheProgram().empty());
}

TEST_F(CommandOptionsTest, ARunWhileAnotherHoldsTheLockRefusesAndWritesNothing) {
  const std::string lockFile = (root / "program/qelrestore.lock").string();
  std::ofstream(lockFile) << "4242\n";
  ::chmod(lockFile.c_str(), 0600);
  const int holder = ::open(lockFile.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  const std::string log = (root / "run.log").string();
  const RunResult refused = Run({root.string(), log});
  ::close(holder);
  EXPECT_EQ(refused.status, kExitStopped);
  EXPECT_NE(refused.err.find("Another restore is running (PID 4242); nothing was changed"),
            std::string::npos)
      << refused.err;
  EXPECT_FALSE(fs::exists(log));
  // Once the holder has gone, the next run takes the lock.
  EXPECT_EQ(Run({root.string(), log}).err.find("Another restore"), std::string::npos);

  // A lock file that others may open keeps nobody out: whoever locks it holds nothing.
  ::chmod(lockFile.c_str(), 0644);
  const int stranger = ::open(lockFile.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(stranger, LOCK_EX | LOCK_NB), 0);
  const RunResult taken = Run({root.string(), log});
  ::close(stranger);
  EXPECT_EQ(taken.err.find("Another restore"), std::string::npos) << taken.err;
  struct stat info {};
  ASSERT_EQ(::stat(lockFile.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

}  // namespace
}  // namespace qelrestore
