// --help and --version of the POSIX program: answered on standard output without a log, and only
// as the sole, exactly spelt argument; anything else keeps the restore's own reading of arguments.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "driver/command_line.h"
#include "driver/program.h"

#include "tests/posix/test_files.h"

extern char** environ;

namespace qelrestore {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

class CommandOptionsTest : public testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("qel_options_" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "program");
    // A copy of its own: a default log lands beside the program, and must be seen there.
    fs::copy_file(QELRESTORE_EXE, root / "program/qelrestore");
  }
  void TearDown() override { fs::remove_all(root); }

  // Runs the program with `arguments`, standard input from /dev/null, both outputs to files.
  Outcome Run(const std::vector<std::string>& arguments) {
    const std::string program = (root / "program/qelrestore").string();
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const std::string out = (root / "stdout.txt").string();
    const std::string err = (root / "stderr.txt").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    Outcome outcome;
    EXPECT_EQ(spawned, 0);
    if (spawned != 0) return outcome;
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = ReadFile(out);
    outcome.err = ReadFile(err);
    return outcome;
  }

  // The files the program folder holds besides the program itself: logs written by a run.
  std::vector<std::string> FilesBesideTheProgram() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(root / "program")) {
      if (entry.path().filename() != "qelrestore") names.push_back(entry.path().filename());
    }
    return names;
  }

  fs::path root;
};

TEST_F(CommandOptionsTest, SoleOptionAnswersOnStandardOutputWithoutALog) {
  std::string usage;
  for (const wchar_t* ch = kUsageMessage; *ch != L'\0'; ++ch) usage += static_cast<char>(*ch);

  const Outcome help = Run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind(usage + "\n", 0), 0u) << help.out;
  for (const char* line :
       {"qelrestore --help | --version", "Exit status:", "  5  completed, but something failed",
        "  6  completed, nothing failed, but the database restore was not", "QELRESTORE_REGISTRY",
        "QELRESTORE_CLIENT_WAIT"}) {
    EXPECT_NE(help.out.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(help.err, "");

  const Outcome version = Run({"--version"});
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
    const Outcome outcome = Run(c.arguments);
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
