// The database restore: the RESTORE DATABASE statement, the client of the server family, its
// command line, the run of the client and the verdict on what it did.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "config/client_families.h"
#include "config/db_properties.h"
#include "host/clock.h"
#include "host/console.h"
#include "host/files.h"
#include "host/processes.h"
#include "host/registry.h"
#include "log/run_log.h"
#include "restore/launch.h"
#include "restore/restore_verdict.h"

#include "support/checkpoints.h"

namespace qelrestore {

// The statement that restores QEL_PLUV from QEL_PLUV.bak in the backup folder. The folder's
// leading blanks are dropped and each apostrophe in it is doubled, so that it stays inside the
// statement's string literal whatever the folder is called. `forClient`, when given, turns the
// backup file's path into the form the client takes.
std::wstring BuildRestoreStatement(
    const std::wstring& backupDirectory,
    const std::function<std::wstring(const std::wstring&)>& forClient = {});

// The statement that verifies QEL_PLUV.bak in the backup folder, written as
// BuildRestoreStatement writes its path.
std::wstring BuildVerifyStatement(
    const std::wstring& backupDirectory,
    const std::function<std::wstring(const std::wstring&)>& forClient = {});

// The client's command line: the quoted client program, the server as host,port, the quoted
// statement and the quoted output file (the log path followed by "sql").
std::wstring BuildRestoreCommand(const std::wstring& clientToolsFolder, const std::wstring& client,
                                 const ServerSettings& server, const std::wstring& statement,
                                 const std::wstring& logFilePath);

// The roles of the host the database restore uses.
struct DatabaseRestoreHost {
  Console& console;
  Clock& clock;
  Files& files;
  Registry& registry;
  Processes& processes;
};

// What the database restore needs of the run.
struct DatabaseRestoreRequest {
  const ServerSettings& server;
  const std::wstring& backupDirectory;
  const std::wstring& logFilePath;
  const std::wstring& dbPropertiesPath;  // named when it names no family
  int32_t clientWaitSeconds;             // 0: until the client ends
  bool dryRun;                           // check that the client could start, start nothing
};

// The database restore of a run, built once with the host's roles it uses.
class DatabaseRestore {
 public:
  DatabaseRestore(const DatabaseRestoreHost& host, RunLog& log, Step& step)
      : host_(host), log_(log), step_(step) {}

  // Checkpoints 113-121: logs "SQL start Restore ", and for the MSDE and 2005 families reads the
  // client's folder from the registry, logs the command line, runs it, and logs the verdict on
  // what it did. A client that cannot be started, whose folder is not registered or whose server
  // would not stay one argument of the command line is logged, and nothing is started. A dry run
  // stops after the command line, once it knows the client's program is there to be started.
  DatabaseOutcome Run(const DatabaseRestoreRequest& request);

  // Checkpoints 125-127: the backup verified before anything is changed. The client of the
  // family the settings name, found as Run finds it, runs RESTORE VERIFYONLY with -b (the line is
  // logged; its output goes to the log's path followed by "sqlverify"), and its end and output
  // are judged as a restore's are (JudgeVerify). Empty when verified; else why not. A dry run
  // logs the command line and starts nothing.
  std::wstring VerifyBackup(const DatabaseRestoreRequest& request);

 private:
  // The client of a family: the folder the registry names, and the program run.
  struct Client {
    std::wstring folder;
    std::wstring program;
  };
  std::function<std::wstring(const std::wstring&)> ForClient() const;
  // The family the settings name, each one tested in turn; null for none.
  const ClientFamily* FamilyOf(const ServerSettings& server);
  Client ClientOf(const ClientFamily& row);
  // Runs the client and judges what it did; nothing when it could not be started (`launch` says
  // why).
  std::optional<VerdictLine> StartAndJudge(const DatabaseRestoreRequest& request,
                                           const std::wstring& command, LaunchResult& launch);

  DatabaseRestoreHost host_;
  RunLog& log_;
  Step& step_;
};

}  // namespace qelrestore
