// What the POSIX tests share: a sandbox folder of the test's own (with the typical installation
// when asked), one way to run a program and see how it ended, and whole-file and log readers.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace qelrestore::test {

std::string ReadFile(const std::filesystem::path& path);

// Writes the file, making the folders above it first.
void WriteFile(const std::filesystem::path& path, const std::string& content);

// The messages of a log: each line without its time text ("YYYY-MM-DD HH:MM:SS") and the ": "
// after it; an error record keeps its "Error:". Every line must end in CR LF.
std::vector<std::string> Messages(const std::filesystem::path& log);

// What a run's standard input is.
enum class Input {
  kDevNull,
  kOpenPipe,  // a pipe the caller holds open and never writes to
  kTerminal,  // a pseudo-terminal, typed on only as RunOptions::pressEnter says
};

// Where a run's standard output and error go.
enum class Output {
  kCaptured,    // each to a pipe the caller reads into the result
  kReaderGone,  // both to one pipe whose reader is already closed
};

struct RunOptions {
  std::vector<std::string> environment{};  // NAME=value, added to the base environment
  Input input = Input::kDevNull;
  Output output = Output::kCaptured;
  // Past this the program's process group is killed and reaped; so is the wait for its outputs.
  std::chrono::milliseconds timeout = std::chrono::seconds(60);
  std::optional<uid_t> user{};  // run as this user and its group (needs root)
  // Asked every 0.2 ms while the program runs; true kills its process group.
  std::function<bool()> killWhen{};
  // With Input::kTerminal: Enter is typed each time the program, having asked for it on standard
  // error ("Press Enter to go on"), is blocked reading the terminal.
  bool pressEnter = false;
};

struct RunResult {
  int status = -1;  // the exit status; -1 when a signal ended the program
  int signal = 0;   // the signal that ended it
  bool timedOut = false;
  std::string out;
  std::string err;
  long maxRssKiB = 0;        // peak resident size, as wait4() reports it
  double seconds = 0;        // from the start to the program's end
  double outputSeconds = 0;  // from the start to the end of both outputs
  int entersPressed = 0;
};

// Runs argv[0] with argv, in the environment PATH=/usr/bin:/bin, the sanitizer settings of this
// process (ASAN_OPTIONS, UBSAN_OPTIONS, LSAN_OPTIONS) and options.environment. The program leads
// a process group of its own. Failing to start it is a test failure.
RunResult RunProgram(const std::vector<std::string>& argv, const RunOptions& options = {});

// A temporary folder of the running test's own, "qel_PID_SUITE.TEST" below the temp folder: empty
// when made, removed with everything in it (however deep, whatever its permission bits) at the end.
class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const std::filesystem::path& root() const { return root_; }

  // program/qelrestore, a copy of the program under test.
  void InstallProgram() const;
  // A typical restore: the program, with registry.reg beside it naming the MSDE client's folder
  // tools/ (holding the stand-in client as Binn/OSQL.exe); home/.corvilane/path.conf naming
  // install/ (which holds an older app.jar); backup/ with app.jar and PLUV/db.properties
  // (kTypicalDbProperties).
  void InstallTypical() const;
  // path.conf's item naming install/, and registry.reg's key naming tools/.
  std::string FinalPathItem() const;
  std::string ClientKey() const;

  // Runs program/qelrestore with `arguments`, HOME being home/.
  RunResult Run(const std::vector<std::string>& arguments, RunOptions options = {}) const;

 private:
  std::filesystem::path root_;
};

inline constexpr char kTypicalDbProperties[] =
    "DB_PROVIDER=SQLOLEDB\r\ndbconn.appl.url=jdbc:x://dbhost:1433;name=y\r\n";

// A test of the real program in a typical installation; keeps the result of its last run.
class InstalledProgramTest : public testing::Test {
 protected:
  InstalledProgramTest() { sandbox.InstallTypical(); }

  // The exit status of a run with `arguments` (as `user` when set).
  int Run(const std::vector<std::string>& arguments, RunOptions options = {});
  int RunRestore(RunOptions options = {}) { return Run({Backup(), Log(), "N"}, options); }

  std::string Backup() const { return (root / "backup").string(); }
  std::string Log() const { return logFile.string(); }
  const std::string& StandardError() const { return last.err; }
  std::string LastMessage() const;

  Sandbox sandbox;
  const std::filesystem::path root = sandbox.root();
  std::filesystem::path logFile = root / "run.log";
  std::optional<uid_t> user;
  RunResult last;
};

// The extended attributes of the entry at `path` (not followed), sorted, each as " NAME=VALUE":
// a form two entries' attributes are compared by.
std::string AttributesText(const std::string& path);

// One entry of a POSIX ACL as the kernel stores it in the extended attribute: its tag, its
// permission bits and the user or group it names (~0 for none).
struct AclEntry {
  uint32_t tag;
  uint32_t perm;
  uint32_t id;
};
// The extended attribute's value ("system.posix_acl_access" or "..._default") for `entries`.
std::string AclValue(std::initializer_list<AclEntry> entries);

}  // namespace qelrestore::test
