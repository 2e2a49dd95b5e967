#include "restore/database_restore.h"

#include "config/client_families.h"
#include "restore/launch.h"
#include "restore/registry_reader.h"
#include "support/checkpoints.h"
#include "support/error.h"
#include "support/text.h"

namespace qelrestore {

namespace {

// The client's output as the verdict reads it: the file the client wrote, never a file a link
// in its place leads to.
class SuppliedFiles final : public InputFiles {
 public:
  explicit SuppliedFiles(InputFiles& files) : files_(files) {}
  std::unique_ptr<Reader> OpenForInput(const std::wstring& path) override {
    return files_.OpenSuppliedFile(path);
  }
  std::unique_ptr<Reader> OpenSuppliedFile(const std::wstring& path) override {
    return files_.OpenSuppliedFile(path);
  }
  std::unique_ptr<Reader> OpenSuppliedSettings(const std::wstring& path) override {
    return files_.OpenSuppliedSettings(path);
  }
  std::wstring DecodeText(std::string_view bytes) override { return files_.DecodeText(bytes); }
  std::wstring DecodeConsoleText(std::string_view bytes) override {
    return files_.DecodeConsoleText(bytes);
  }

 private:
  InputFiles& files_;
};

std::wstring DoubleApostrophes(std::wstring_view text) {
  std::wstring result;
  result.reserve(text.size());
  for (const wchar_t c : text) {
    result += c;
    if (c == L'\'') result += L'\'';
  }
  return result;
}

// True when the text would end or extend its argument of the command line.
bool BreaksArgument(std::wstring_view text) {
  for (const wchar_t c : text) {
    if (c == L' ' || c == L'"' || c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// True when the text would end its quoted argument or the command line: a double quote or a
// control character. A blank stays inside the quotes.
bool BreaksQuotedArgument(std::wstring_view text) {
  for (const wchar_t c : text) {
    if (c == L'"' || c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

constexpr wchar_t kNoFolderRegistered[] = L"no folder is registered for the SQL client";

// Why the client must not be started, or nothing when it may be.
std::wstring ReasonNotToStart(const std::wstring& clientToolsFolder, const ServerSettings& server) {
  // Without a registered folder the client's path leads to the root of the current drive, a
  // folder anybody may write to.
  if (clientToolsFolder.empty()) return kNoFolderRegistered;
  if (BreaksQuotedArgument(clientToolsFolder)) {
    return L"the SQL client's folder in the registry holds a double quote or a control character";
  }
  if (BreaksArgument(server.serverHost) || BreaksArgument(server.serverPort)) {
    return L"the server host or port in db.properties holds a blank, a double quote or a control "
           L"character";
  }
  return {};
}

// The backup file as a statement's string literal holds it: the folder's leading blanks dropped,
// in the client's form, each apostrophe doubled.
std::wstring BackupFileLiteral(const std::wstring& backupDirectory,
                               const std::function<std::wstring(const std::wstring&)>& forClient) {
  std::wstring backupFile = std::wstring(TrimLeadingSpaces(backupDirectory)) + L"\\QEL_PLUV.bak";
  if (forClient) backupFile = forClient(backupFile);
  return DoubleApostrophes(backupFile);
}

}  // namespace

std::wstring BuildRestoreStatement(
    const std::wstring& backupDirectory,
    const std::function<std::wstring(const std::wstring&)>& forClient) {
  return L" RESTORE DATABASE [QEL_PLUV] From DISK = N'" +
         BackupFileLiteral(backupDirectory, forClient) +
         L"' WITH  FILE = 1,  NOUNLOAD,  REPLACE,  STATS = 10";
}

std::wstring BuildVerifyStatement(
    const std::wstring& backupDirectory,
    const std::function<std::wstring(const std::wstring&)>& forClient) {
  return L"RESTORE VERIFYONLY FROM DISK = N'" + BackupFileLiteral(backupDirectory, forClient) +
         L"' WITH FILE = 1, NOUNLOAD";
}

std::wstring BuildRestoreCommand(const std::wstring& clientToolsFolder, const std::wstring& client,
                                 const ServerSettings& server, const std::wstring& statement,
                                 const std::wstring& logFilePath) {
  return L"\"" + clientToolsFolder + client + L"\"" + L" -S " + server.serverHost + L"," +
         server.serverPort + L" -E -Q " + L"\"" + statement + L"\"" + L" -o " + L"\"" +
         logFilePath + L"sql" + L"\"";
}

DatabaseOutcome DatabaseRestore::Run(const DatabaseRestoreRequest& request) {
  step_.At(checkpoint::kDatabaseRestore);
  log_.LogMessage(L"SQL start Restore " + request.server.serverVersion);
  const std::wstring statement = BuildRestoreStatement(request.backupDirectory, ForClient());
  const ClientFamily* row = FamilyOf(request.server);
  if (row == nullptr) {
    log_.LogMessage(L"SQL restore not run: DB_PROVIDER in " + request.dbPropertiesPath +
                    L" names " + NoneOfTheProviders());
    return DatabaseOutcome::kFailed;
  }
  const Client client = ClientOf(*row);
  const std::wstring command = BuildRestoreCommand(ForClient()(client.program), L"", request.server,
                                                   statement, ForClient()(request.logFilePath));
  log_.LogMessage(command);

  LaunchResult launch;
  std::wstring reason = ReasonNotToStart(client.folder, request.server);
  if (reason == kNoFolderRegistered) {
    reason += L" (the value SQLPath of HKEY_LOCAL_MACHINE\\" + std::wstring(row->clientSetupKey) +
              L", in " + host_.registry.RegistryName() + L")";
  }
  if (request.dryRun) {
    if (reason.empty() && !host_.files.FileExists(client.program)) {
      reason = L"the SQL client program " + client.program + L" does not exist";
    }
    if (reason.empty()) return DatabaseOutcome::kVerified;
    launch.reason = std::move(reason);
  } else if (!reason.empty()) {
    // The operator is told as for a client that cannot be started.
    host_.console.MessageBox(L"error");
    launch.reason = std::move(reason);
  } else {
    std::optional<VerdictLine> verdict = StartAndJudge(request, command, launch);
    if (verdict) {
      log_.LogMessage(verdict->message);
      return verdict->outcome;
    }
  }
  log_.LogMessage(L"SQL client could not be started: " + launch.reason);
  return DatabaseOutcome::kFailed;
}

std::wstring DatabaseRestore::VerifyBackup(const DatabaseRestoreRequest& request) {
  step_.At(checkpoint::kVerifyBackup);
  const ClientFamily* row = FamilyOf(request.server);
  if (row == nullptr) {
    return L"DB_PROVIDER in " + request.dbPropertiesPath + L" names " + NoneOfTheProviders();
  }
  const Client client = ClientOf(*row);
  step_.At(checkpoint::kVerifyCommand);
  const std::wstring outputFile = request.logFilePath + L"sqlverify";
  // -b: both clients end with a status other than 0 on an error of level 11 or more.
  const std::wstring command = L"\"" + ForClient()(client.program) + L"\" -S " +
                               request.server.serverHost + L"," + request.server.serverPort +
                               L" -E -b -Q \"" +
                               BuildVerifyStatement(request.backupDirectory, ForClient()) +
                               L"\" -o \"" + ForClient()(outputFile) + L"\"";
  log_.LogMessage(command);
  std::wstring reason = ReasonNotToStart(client.folder, request.server);
  if (reason.empty() && request.dryRun && !host_.files.FileExists(client.program)) {
    reason = L"the SQL client program " + client.program + L" does not exist";
  }
  if (!reason.empty()) return L"the SQL client could not be started: " + reason;
  if (request.dryRun) return L"";
  step_.At(checkpoint::kVerifyRun);
  std::wstring staleOutput;
  try {
    host_.files.RemoveFile(outputFile);
  } catch (...) {
    staleOutput = CurrentExceptionAsError().description();
  }
  const LaunchResult launch = RunAndWait(host_.processes, host_.console, host_.clock, command,
                                         request.clientWaitSeconds, nullptr);
  if (launch.end == LaunchResult::End::kNotStarted) {
    return L"the SQL client could not be started: " + launch.reason;
  }
  SuppliedFiles output(host_.files);
  return JudgeVerify(output, launch, outputFile, request.clientWaitSeconds, staleOutput);
}

// The client is handed every path in the form it takes; the log names the command line run.
std::function<std::wstring(const std::wstring&)> DatabaseRestore::ForClient() const {
  return [&files = host_.files](const std::wstring& path) { return files.PathAsOpened(path); };
}

const ClientFamily* DatabaseRestore::FamilyOf(const ServerSettings& server) {
  for (const ClientFamily& candidate : kClientFamilies) {
    step_.At(candidate.familyTest);
    if (server.serverVersion == candidate.family) return &candidate;
  }
  return nullptr;
}

DatabaseRestore::Client DatabaseRestore::ClientOf(const ClientFamily& row) {
  step_.At(row.setupKey);
  const std::wstring clientSetupKey = row.clientSetupKey;
  step_.At(row.clientFolder);
  const RegistryValue folder =
      ReadRegistryValue(host_.registry, host_.files, clientSetupKey, L"SQLPath");
  Client client;
  client.folder = TrimAtNul(RegistryValueText(host_.files, folder));
  step_.At(row.clientProgram);
  client.program = client.folder + row.client;
  if (!client.folder.empty()) {
    client.program =
        host_.processes.SubstituteClient(client.folder, client.program).value_or(client.program);
  }
  return client;
}

std::optional<VerdictLine> DatabaseRestore::StartAndJudge(const DatabaseRestoreRequest& request,
                                                          const std::wstring& command,
                                                          LaunchResult& launch) {
  const std::wstring outputFile = request.logFilePath + L"sql";
  // Only what this run's client writes may speak for this run.
  std::wstring staleOutput;
  try {
    host_.files.RemoveFile(outputFile);
  } catch (...) {
    staleOutput = CurrentExceptionAsError().description();
  }
  {
    // Only a wait without a limit has the time to show how far the client has come, and only
    // this run's output can tell it.
    ClientProgress progress(host_.files, host_.console, outputFile);
    const bool showProgress = request.clientWaitSeconds == 0 && staleOutput.empty();
    launch = RunAndWait(host_.processes, host_.console, host_.clock, command,
                        request.clientWaitSeconds, showProgress ? &progress : nullptr);
  }
  if (launch.end == LaunchResult::End::kNotStarted) return std::nullopt;
  SuppliedFiles output(host_.files);
  return JudgeRestore(output, launch, outputFile, request.clientWaitSeconds, staleOutput);
}

}  // namespace qelrestore
