// --help and --version of the POSIX program: answered on standard output without a log, and only
// as the sole, exactly spelt argument; anything else keeps the restore's own reading of arguments.
#include <gtest/gtest.h>

#include <filesystem>
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

  // The files the program folder holds besides the program itself: logs written by a run.
  std::vector<std::string> FilesBesideTheProgram() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(root / "program")) {
      if (entry.path().filename() != "qelrestore") names.push_back(entry.path().filename());
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

TEST_F(CommandOptionsTest, AnOptionAmongOtherArgumentsOrInAnotherCaseIsABackupFolder) {
  // Each argument reaches the restore in double quotes, so any of these is a backup folder that
  // does not exist: the run stops after logging it.
  const std::string log = (root / "run.log").string();
  const struct {
    std::vector<std::string> arguments;
    std::string missingFolder;
  } cases[] = {
      {{"--help", log}, "--help"},
      {{"--version", log, "N"}, "--version"},
      {{"--HELP", log}, "--HELP"},
      {{" --help", log}, " --help"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.missingFolder);
    fs::remove(log);
    const RunResult outcome = Run(c.arguments);
    EXPECT_EQ(outcome.status, kExitStopped) << outcome.err;
    EXPECT_EQ(outcome.out, "");
    const std::string record = ReadFile(log);
    EXPECT_NE(record.find(": " + c.missingFolder + "backup directory not found. Pls. check\r\n"),
              std::string::npos)
        << record;
  }
  EXPECT_TRUE(FilesBesideTheProgram().empty());

  // Alone but in another case: still a setting, so the run opens its default log.
  EXPECT_EQ(Run({"--Version"}).status, kExitStopped);
  const std::vector<std::string> logs = FilesBesideTheProgram();
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_EQ(logs[0].rfind("qelRestorelog.txt", 0), 0u);
}

}  // namespace
}  // namespace qelrestore
