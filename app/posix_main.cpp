// The POSIX program: one run of the restore on the POSIX host. A sole "--help" or "--version"
// answers as POSIX users expect instead, on standard output, before anything of the run (the log
// above all) is touched.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "driver/command_line.h"
#include "driver/program.h"
#include "host/posix/posix_host.h"
#include "host/posix/posix_text.h"

namespace {

// Follows the usage message, which names the batch file of the Windows form.
constexpr char kArgumentsText[] =
    "\n"
    "Here the program is started directly, each argument a word of its own:\n"
    "  qelrestore BACKUP [LOG|default] [BOXES] [KEEP]\n"
    "  qelrestore --help | --version\n"
    "\n"
    "  BACKUP   the folder whose whole content is copied over every installation folder\n"
    "           (the finalPath items of $HOME/.corvilane/path.conf); it holds QEL_PLUV.bak\n"
    "  LOG      the run log, created or appended to; default (any case):\n"
    "           qelRestorelog.txtDD beside the program, DD the day of the month\n"
    "  BOXES    exactly N (the default): progress messages go to the log only; anything\n"
    "           else also shows each one (on standard error)\n"
    "  KEEP     exactly Y: keep this machine's db.properties across the restore (default N)\n"
    "\n"
    "The SQL client's folder is read from the registry file $QELRESTORE_REGISTRY,\n"
    "else registry.reg beside the program; the keys 32-bit programs see below\n"
    "HKEY_LOCAL_MACHINE\\SOFTWARE are those below its Wow6432Node key, read first.\n"
    "\n"
    "The wait for the SQL client is $QELRESTORE_CLIENT_WAIT whole seconds (default 5,\n"
    "0: until it ends); a client still running then is left to run on.\n"
    "\n"
    "Exit status:\n"
    "  0  completed, and the database restore verified (or there was no db.properties)\n"
    "  1  showed the usage message\n"
    "  2  stopped by a failed check (a missing folder or path.conf, a restore onto itself)\n"
    "  3  ended in the error report\n"
    "  4  met an error before its log was in place\n"
    "  5  completed, but something failed: a folder copy not complete, no finalPath item,\n"
    "     the SQL client could not be started, the database restore failed or was not run\n"
    "  6  completed, nothing failed, but the database restore was not verified\n";

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
  // Only a sole option spelt exactly so is one: with other arguments, or in another letter case,
  // it is a setting like any other, as the restore has always taken its arguments.
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    const std::string text =
        qelrestore::posix::EncodeUtf8(qelrestore::kUsageMessage) + "\n" + kArgumentsText;
    return PrintToStandardOutput(text) ? qelrestore::kExitCompleted : qelrestore::kExitUnhandled;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    const std::string text = std::string("qelrestore ") + qelrestore::kProgramVersion + "\n";
    return PrintToStandardOutput(text) ? qelrestore::kExitCompleted : qelrestore::kExitUnhandled;
  }
  qelrestore::posix::PosixHost host(argc, argv, qelrestore::kProgramTitle);
  return qelrestore::RunProgram(host);
}
