#include "restore/database_restore.h"

#include "support/launch.h"
#include "support/registry_reader.h"
#include "support/text.h"

namespace qelrestore {

namespace {

// A client of a server family: where it registers its folder, and its program below that folder.
struct ClientRow {
  const wchar_t* serverVersion;
  const wchar_t* clientSetupKey;
  const wchar_t* client;
  int32_t keyCheckpoint;  // the checkpoints of its three steps follow this one
};

constexpr ClientRow kClients[] = {
    {L"MSDE", L"SOFTWARE\\Microsoft\\Microsoft SQL Server\\80\\Tools\\ClientSetup",
     L"\\Binn\\OSQL.exe", 115},
    {L"2005", L"SOFTWARE\\Microsoft\\Microsoft SQL Server\\90\\Tools\\ClientSetup",
     L"\\Binn\\sqlcmd.exe", 119},
};

constexpr int kShowMaximized = 3;
constexpr int32_t kClientTimeLimitSeconds = 5;

std::wstring DoubleApostrophes(std::wstring_view text) {
  std::wstring result;
  result.reserve(text.size());
  for (const wchar_t c : text) {
    result += c;
    if (c == L'\'') result += L'\'';
  }
  return result;
}

}  // namespace

std::wstring BuildRestoreStatement(const std::wstring& backupDirectory) {
  return L" RESTORE DATABASE [QEL_PLUV] From DISK = N'" +
         DoubleApostrophes(TrimLeadingSpaces(backupDirectory)) +
         L"\\QEL_PLUV.bak' WITH  FILE = 1,  NOUNLOAD,  REPLACE,  STATS = 10";
}

std::wstring BuildRestoreCommand(const std::wstring& clientToolsFolder, const std::wstring& client,
                                 const ServerSettings& server, const std::wstring& statement,
                                 const std::wstring& logFilePath) {
  return L"\"" + clientToolsFolder + client + L"\"" + L" -S " + server.serverHost + L"," +
         server.serverPort + L" -E -Q " + L"\"" + statement + L"\"" + L" -o " + L"\"" +
         logFilePath + L"sql" + L"\"";
}

void RestoreDatabase(Run& run) {
  run.checkpoint = 113;
  run.input.Close();
  run.log.LogMessage(L"SQL start Restore " + run.server.serverVersion);
  run.restoreStatement = BuildRestoreStatement(run.settings.backupDirectory);

  const ClientRow* row = nullptr;
  for (const ClientRow& candidate : kClients) {
    run.checkpoint = candidate.keyCheckpoint - 1;  // 114 / 118: the family test
    if (run.server.serverVersion == candidate.serverVersion) {
      row = &candidate;
      break;
    }
  }
  if (row == nullptr) return;

  run.checkpoint = row->keyCheckpoint;
  const std::wstring clientSetupKey = row->clientSetupKey;
  run.checkpoint = row->keyCheckpoint + 1;
  const RegistryValue folder =
      ReadRegistryValue(run.host, HKEY_LOCAL_MACHINE, clientSetupKey, L"SQLPath");
  const std::wstring clientToolsFolder = TrimAtNul(RegistryValueText(run.host, folder));
  run.checkpoint = row->keyCheckpoint + 2;
  run.restoreCommand = BuildRestoreCommand(clientToolsFolder, row->client, run.server,
                                           run.restoreStatement, run.settings.logFilePath);
  run.log.LogMessage(run.restoreCommand);
  LaunchResult launch;
  if (clientToolsFolder.empty()) {
    // Without a registered folder the client's path leads to the root of the current drive, a
    // folder anybody may write to: nothing is started from there. The operator is told as for
    // a client that cannot be started.
    run.host.MessageBox(L"error");
    launch.reason = L"no folder is registered for the SQL client";
  } else {
    launch = RunAndWait(run.host, run.restoreCommand, kShowMaximized, kClientTimeLimitSeconds);
  }
  if (!launch.started) {
    run.clientNotStarted = true;
    run.log.LogMessage(L"SQL client could not be started: " + launch.reason);
  }
}

}  // namespace qelrestore
