// The POSIX program: one run of the restore on the POSIX host. "--help" or "--version" anywhere
// before "--" answers as POSIX users expect instead, on standard output, before anything of the
// run (the log above all) is touched; "--dry-run" anywhere before "--" makes the run a dry run.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "copy/copy_engine.h"
#include "driver/command_line.h"
#include "driver/program.h"
#include "driver/run_settings.h"
#include "host/posix/posix_host.h"
#include "support/byte_text.h"

namespace {

// Follows the usage message, which names the batch file of the Windows form.
constexpr char kArgumentsText[] =
    "\n"
    "Here the program is started directly, each argument a word of its own:\n"
    "  qelrestore [--dry-run] [--undo] [--] BACKUP [LOG|default] [BOXES] [KEEP]\n"
    "  qelrestore --help | --version\n"
    "\n"
    "  BACKUP   the folder whose whole content is copied over every installation folder\n"
    "           (the finalPath items of $HOME/.corvilane/path.conf); it holds QEL_PLUV.bak\n"
    "  LOG      the run log, created or appended to; default (any case):\n"
    "           qelRestorelog.txtDD beside the program (see below), DD the day of\n"
    "           the month\n"
    "  BOXES    exactly N (the default): progress messages go to the log only; anything\n"
    "           else also shows each one (on standard error)\n"
    "  KEEP     exactly Y: keep this machine's db.properties across the restore (default N)\n"
    "\n"
    "  --dry-run  the same as QELRESTORE_DRY_RUN=1\n"
    "  --undo     the same as QELRESTORE_UNDO=1\n"
    "  --         ends the options: a later argument that begins with - is the restore's\n"
    "  Options count wherever they stand before --; any other argument that begins with\n"
    "  - is refused (exit 1), and so is an argument that holds a double quote.\n"
    "\n"
    "A dry run (QELRESTORE_DRY_RUN=1; 0 or empty: a real run) makes every check and\n"
    "lookup of a real run and changes nothing: its log lines go to standard output\n"
    "instead of the log, each copy says how many files and bytes it would copy and\n"
    "how many of them would replace existing files, and the SQL client's command\n"
    "line is logged and its program looked for, but not run. No box is shown.\n"
    "\n"
    "The SQL client's folder is read from the registry file $QELRESTORE_REGISTRY,\n"
    "else registry.reg (see below); the keys 32-bit programs see below\n"
    "HKEY_LOCAL_MACHINE\\SOFTWARE are those below its Wow6432Node key, read first.\n"
    "\n"
    "The wait for the SQL client is $QELRESTORE_CLIENT_WAIT whole seconds (default 0:\n"
    "until it ends); a client still running after a limit is left to run on.\n"
    "The backup is copied by $QELRESTORE_COPY_THREADS workers at once (1 to 64;\n"
    "default one per core, at most 8). With QELRESTORE_VERIFY_FIRST=1 the SQL client\n"
    "verifies the backup before anything is changed (status 2 when it does not).\n"
    "With QELRESTORE_KEEP_REPLACED=1 the restore keeps what it replaces, changes or\n"
    "adds in an undo set beside the kept settings; QELRESTORE_UNDO=1 puts it back\n"
    "(status 2 when there is nothing to undo, or a file changed since). The database\n"
    "is not taken back.\n"
    "\n"
    "Progress, on a terminal (standard error): during the folder copy, one status\n"
    "line with files and MiB copied of the backup's totals, the rate and the minutes\n"
    "left; while waiting until the SQL client ends, its\n"
    "\"n percent processed.\" lines. None of it goes to the log.\n"
    "\n"
    "The default log, curdb.properties.bak and registry.reg are beside the program,\n"
    "unless it runs from the folder a package installed it in:\n";

// The table of exit statuses: it ends the help text (its lines are read up to a blank line).
constexpr char kExitStatusText[] =
    "\n"
    "Exit status:\n"
    "  0  completed, and the database restore verified (or there was no db.properties)\n"
    "  1  showed the usage message\n"
    "  2  stopped by a failed check (a missing folder or path.conf, a restore onto itself),\n"
    "     or another restore was running\n"
    "  3  ended in the error report\n"
    "  4  met an error before its log was in place\n"
    "  5  completed, but something failed: a folder copy not complete, no finalPath item,\n"
    "     the SQL client could not be started, the database restore failed or was not run\n"
    "  6  completed, nothing failed, but the database restore was not verified\n";

// The folders of an installed program, as this build was packaged; none for another build.
std::string InstalledFoldersText() {
  const qelrestore::posix::InstalledFolders installed = qelrestore::posix::PackageFolders();
  if (installed.program.empty())
    return "  (this build is not a package: it has no installed folders)\n";
  return "  run from " + installed.program + ":\n" + "    default log           " + installed.log +
         "\n" + "    curdb.properties.bak  " + installed.state + "\n" +
         "    registry file         " + installed.registryFile + "\n";
}

// What the command line asks for: its options, and the restore's own arguments in their order.
struct Options {
  bool dryRun = false;
  bool undo = false;
  bool help = false;
  bool version = false;
  std::vector<char*> arguments;
  std::string error;  // why the command line is refused; empty when it is not
};

// Options count wherever they stand until "--"; every other argument is the restore's. An unknown
// option is refused rather than taken for a folder, and so is an argument holding a double quote:
// the restore finds its arguments between double quotes, so such an argument would fall apart.
Options ReadOptions(int argc, char** argv) {
  Options options;
  bool endOfOptions = false;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (!endOfOptions && argument == "--") {
      endOfOptions = true;
    } else if (!endOfOptions && !argument.empty() && argument[0] == '-') {
      if (argument == "--dry-run") {
        options.dryRun = true;
      } else if (argument == "--undo") {
        options.undo = true;
      } else if (argument == "--help") {
        options.help = true;
      } else if (argument == "--version") {
        options.version = true;
      } else {
        options.error = "unknown option " + argument;
        return options;
      }
    } else if (argument.find('"') != std::string::npos) {
      options.error = "an argument holds a double quote: " + argument;
      return options;
    } else {
      options.arguments.push_back(argv[i]);
    }
  }
  return options;
}

// Best effort, as every report on standard error.
void WriteToStandardError(const std::string& text) {
  [[maybe_unused]] const size_t written = std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

// False when the text could not be written whole (a full disk, a closed descriptor): a caller
// that asked for it must not take an empty answer for success.
bool PrintToStandardOutput(const std::string& text) {
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
         std::fflush(stdout) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Output goes out best effort: a reader of standard output or error that has gone must not end
  // the program (the run's log keeps every line of its boxes), and a failed --help is told by the
  // status. The SQL client gets the default back when it is started.
  ::signal(SIGPIPE, SIG_IGN);
  // The client's end is collected by the wait for it: children must not vanish on their own, as
  // they would under an inherited SIGCHLD disposition of "ignore".
  ::signal(SIGCHLD, SIG_DFL);
  const Options options = ReadOptions(argc, argv);
  if (!options.error.empty()) {
    WriteToStandardError("qelrestore: " + options.error + "; try --help\n");
    return qelrestore::kExitUsage;
  }
  if (options.help) {
    const std::string text = qelrestore::EncodeUtf8(qelrestore::kUsageMessage) + "\n" +
                             kArgumentsText + InstalledFoldersText() + kExitStatusText;
    return PrintToStandardOutput(text) ? qelrestore::kExitCompleted : qelrestore::kExitUnhandled;
  }
  if (options.version) {
    const std::string text = std::string("qelrestore ") + qelrestore::kProgramVersion + "\n";
    return PrintToStandardOutput(text) ? qelrestore::kExitCompleted : qelrestore::kExitUnhandled;
  }
  // Every setting of the environment, read once here; how many workers copy the backup is
  // checked before anything is opened.
  const qelrestore::RunSettings settings =
      qelrestore::ReadRunSettings(qelrestore::posix::ProcessVariable, options.dryRun, options.undo);
  if (!settings.copyWorkersValid) {
    const std::string message = qelrestore::EncodeUtf8(qelrestore::kCopyWorkersMessage);
    WriteToStandardError(message + "\nqelrestore: nothing was done: " + message + "\n");
    return qelrestore::kExitUsage;
  }
  std::vector<char*> restoreArgv = options.arguments;
  restoreArgv.insert(restoreArgv.begin(), argv[0]);
  restoreArgv.push_back(nullptr);
  argc = static_cast<int>(restoreArgv.size()) - 1;
  argv = restoreArgv.data();
  qelrestore::posix::PosixHost host(
      argc, argv, qelrestore::kProgramTitle,
      {settings.copyWorkers, qelrestore::EncodeUtf8(settings.registryFile)});
  return qelrestore::RunProgram(host, settings);
}
