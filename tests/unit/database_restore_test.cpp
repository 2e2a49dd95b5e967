#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "config/client_families.h"
#include "restore/database_restore.h"
#include "tests/unit/run_fixture.h"

namespace qelrestore::test {
namespace {

constexpr wchar_t kStatementTail[] =
    L"\\QEL_PLUV.bak' WITH  FILE = 1,  NOUNLOAD,  REPLACE,  STATS = 10";

TEST(RestoreStatementTest, DropsLeadingBlanksAndDoublesApostrophes) {
  EXPECT_EQ(
      BuildRestoreStatement(L"  D:\\Backup "),
      std::wstring(L" RESTORE DATABASE [QEL_PLUV] From DISK = N'D:\\Backup ") + kStatementTail);
  EXPECT_EQ(BuildRestoreStatement(L"D:\\O'Brien\\bk"),
            std::wstring(L" RESTORE DATABASE [QEL_PLUV] From DISK = N'D:\\O''Brien\\bk") +
                kStatementTail);
}

TEST(RestoreCommandTest, SeventeenPiecesInTheirOrder) {
  const ServerSettings server{L"MSDE", L"dbhost", L"1433"};
  EXPECT_EQ(
      BuildRestoreCommand(L"C:\\Tools", L"\\Binn\\OSQL.exe", server,
                          BuildRestoreStatement(L"D:\\Backup"), L"C:\\App\\qelRestorelog.txt07"),
      L"\"C:\\Tools\\Binn\\OSQL.exe\" -S dbhost,1433 -E -Q \" RESTORE DATABASE [QEL_PLUV] "
      L"From DISK = N'D:\\Backup\\QEL_PLUV.bak' WITH  FILE = 1,  NOUNLOAD,  REPLACE,  "
      L"STATS = 10\" -o \"C:\\App\\qelRestorelog.txt07sql\"");
  EXPECT_EQ(BuildRestoreCommand(L"", L"\\Binn\\sqlcmd.exe", ServerSettings{}, L"S", L"L"),
            L"\"\\Binn\\sqlcmd.exe\" -S , -E -Q \"S\" -o \"Lsql\"");
}

TEST_F(RunTest, The2005FamilyUsesItsOwnKeyAndClient) {
  host.AddFile(L"C:\\bk\\PLUV\\db.properties",
               "DB_PROVIDER=SQLNCLI.1\r\ndbconn.appl.url=x://dbhost:1433;y\r\n");
  host.registry32[k2005Key][L"SQLPath"] = {RegistryType::kString,
                                           std::string("C:\\T90\0junk\0", 12)};
  EXPECT_EQ(Execute(), kExitCompleted);
  ASSERT_EQ(host.startedCommands.size(), 1u);
  EXPECT_EQ(host.startedCommands[0].rfind(L"\"C:\\T90\\Binn\\sqlcmd.exe\" -S dbhost,1433 -E -Q", 0),
            0u);
  EXPECT_TRUE(host.Called("QueryRegistryValue32 SOFTWARE\\Microsoft\\Microsoft SQL Server\\90\\"));
}

// Every family's provider, alone in db.properties, starts that family's client from that
// family's key: a row whose provider an earlier row's provider already matches is never reached.
TEST(ClientFamiliesTest, EachProviderStartsItsOwnClientAndNoStepSharesACheckpoint) {
  std::set<int32_t> checkpoints;
  for (const ClientFamily& row : kClientFamilies) {
    SCOPED_TRACE(row.family);
    std::string provider;
    for (const wchar_t* c = row.provider; *c != 0; ++c) provider += static_cast<char>(*c);
    TypicalRun run;
    run.host.AddFile(L"C:\\bk\\PLUV\\db.properties",
                     "DB_PROVIDER=" + provider + "\r\ndbconn.appl.url=x://h:1;y\r\n");
    run.host.registry32.clear();
    run.host.registry32[row.clientSetupKey][L"SQLPath"] = {RegistryType::kString,
                                                           std::string("C:\\T\0", 5)};
    run.Execute();
    ASSERT_EQ(run.host.startedCommands.size(), 1u);
    EXPECT_EQ(run.host.startedCommands[0].rfind(L"\"C:\\T" + std::wstring(row.client) + L"\"", 0),
              0u)
        << run.host.startedCommands[0];
    for (const int32_t checkpoint :
         {row.providerSearch, row.providerTest, row.providerTaken, row.familyTest, row.setupKey,
          row.clientFolder, row.clientProgram}) {
      EXPECT_TRUE(checkpoints.insert(checkpoint).second) << checkpoint;
    }
  }
}

TEST_F(RunTest, AClientTakingPathsLiterallyGetsEveryPathAsTheHostOpensIt) {
  host.opensSlashPaths = true;
  host.processes = {ProcessRunningFor(100)};
  host.processes[0].output[kClientOutput] =
      "RESTORE DATABASE successfully processed 161 pages in 0.052 seconds (24.287 MB/sec).\r\n";
  EXPECT_EQ(Execute(), kExitCompleted);
  ASSERT_EQ(host.startedCommands.size(), 1u);
  EXPECT_EQ(host.startedCommands[0],
            L"\"C:/Tools/Binn/OSQL.exe\" -S dbhost,1433 -E -Q \" RESTORE DATABASE [QEL_PLUV] From "
            L"DISK = N'C:/bk/QEL_PLUV.bak' WITH  FILE = 1,  NOUNLOAD,  REPLACE,  STATS = 10\" -o "
            L"\"C:/qel/qelRestorelog.txt07sql\"");
  const auto log = Log();
  EXPECT_NE(std::find(log.begin(), log.end(), host.startedCommands[0]), log.end());
}

TEST_F(RunTest, UnknownOrEmptyVersionRunsNothingAndSaysSo) {
  host.AddFile(L"C:\\bk\\PLUV\\db.properties", "DB_PROVIDER=ODBC\r\n");
  EXPECT_EQ(Execute(), kExitIncomplete);
  const auto log = Log();
  EXPECT_EQ(log[log.size() - 3], L"SQL start Restore ");
  EXPECT_EQ(log[log.size() - 2],
            L"SQL restore not run: DB_PROVIDER in C:\\App\\PLUV\\db.properties "
            L"names neither SQLOLEDB nor SQLNCLI.1");
  EXPECT_EQ(log.back(), L"SQL Restore Complete");
  EXPECT_FALSE(host.Called("QueryRegistryValue"));
  EXPECT_TRUE(host.startedCommands.empty());
}

TEST_F(RunTest, WithoutARegisteredFolderNothingIsStartedFromTheDriveRoot) {
  for (const std::string& folder : {std::string(), std::string("\0junk", 5)}) {
    TypicalRun run;
    if (folder.empty()) {
      run.host.registry32.clear();  // key missing
    } else {
      run.host.registry32[kMsdeKey][L"SQLPath"] = {RegistryType::kString,
                                                   folder};  // cut at its first NUL
    }
    EXPECT_EQ(RunProgram(run.host), kExitIncomplete);
    EXPECT_TRUE(run.host.startedCommands.empty());
    const auto log = run.Log();
    EXPECT_EQ(log[log.size() - 3].rfind(L"\"\\Binn\\OSQL.exe\" -S dbhost,1433", 0), 0u);
    EXPECT_EQ(log[log.size() - 2],
              L"SQL client could not be started: no folder is registered for the SQL client (the "
              L"value SQLPath of HKEY_LOCAL_MACHINE\\" +
                  std::wstring(kMsdeKey) + L", in the registry)");
    EXPECT_EQ(run.host.boxes, std::vector<std::wstring>{L"error"});
  }
}

TEST_F(RunTest, AServerThatWouldSplitTheCommandLineStartsNothing) {
  for (const char* url : {"x://db host:1433;y", "x://db\"h:1433;y", "x://dbhost:14\t33;y"}) {
    TypicalRun run;
    run.host.AddFile(L"C:\\bk\\PLUV\\db.properties",
                     std::string("DB_PROVIDER=SQLOLEDB\r\ndbconn.appl.url=") + url + "\r\n");
    EXPECT_EQ(RunProgram(run.host), kExitIncomplete) << url;
    EXPECT_TRUE(run.host.startedCommands.empty()) << url;
    const auto log = run.Log();
    EXPECT_EQ(log[log.size() - 2],
              L"SQL client could not be started: the server host or port in db.properties holds "
              L"a blank, a double quote or a control character");
  }
}

TEST_F(RunTest, ARegisteredFolderThatWouldSplitTheCommandLineStartsNothing) {
  for (const char* folder : {"C:\\other.exe\" \"", "C:\\T\nools"}) {
    TypicalRun run;
    run.host.registry32[kMsdeKey][L"SQLPath"] = {RegistryType::kString, std::string(folder) + '\0'};
    EXPECT_EQ(RunProgram(run.host), kExitIncomplete) << folder;
    EXPECT_TRUE(run.host.startedCommands.empty()) << folder;
    const auto log = run.Log();
    EXPECT_EQ(log[log.size() - 3].rfind(L"\"C:\\", 0), 0u) << folder;  // the command is logged
    EXPECT_EQ(log[log.size() - 2],
              L"SQL client could not be started: the SQL client's folder in the registry holds a "
              L"double quote or a control character");
  }
}

TEST_F(RunTest, ClientStillRunningAfterTheLimitIsLeftAndNotVerified) {
  host.processes = {ProcessRunningFor(60000)};
  EXPECT_EQ(Execute(), kExitNotVerified);
  EXPECT_EQ(host.clockMilliseconds, 6000);
  const auto log = Log();
  EXPECT_EQ(log[log.size() - 2].rfind(L"SQL restore not verified: the SQL client was still running "
                                      L"after 5 seconds",
                                      0),
            0u);
  EXPECT_EQ(LastLogMessage(), L"SQL Restore Complete");
}

// A client left running may write on for ever: its output is read to the length it had then.
TEST_F(RunTest, AClientLeftRunningIsReadToTheLengthItsOutputHadThen) {
  host.processes = {ProcessRunningFor(60000)};
  host.growingFile = kClientOutput;
  EXPECT_EQ(Execute(), kExitNotVerified);
  EXPECT_EQ(host.readsPastLength, 0);
}

TEST_F(RunTest, TheClientWaitComesFromTheEnvironment) {
  const struct {
    const wchar_t* value;
    int status;
    int64_t clock;  // when the run gave up on a client that runs for a minute
  } cases[] = {{L"0", kExitCompleted, 60000}, {L"2", kExitNotVerified, 3000},
               {L"", kExitUsage, 0},          {L"5s", kExitUsage, 0},
               {L"-1", kExitUsage, 0},        {L"1234567890", kExitUsage, 0}};
  for (const auto& c : cases) {
    TypicalRun run;
    run.host.environment[L"QELRESTORE_CLIENT_WAIT"] = c.value;
    run.host.processes = {RestoringClient(60000)};
    EXPECT_EQ(run.Execute(), c.status) << c.value;
    EXPECT_EQ(run.host.clockMilliseconds, c.clock) << c.value;
    if (c.status == kExitUsage) {
      EXPECT_EQ(run.host.boxes, std::vector<std::wstring>{L"QELRESTORE_CLIENT_WAIT must be a whole "
                                                          L"number of seconds (0 waits until the "
                                                          L"SQL client ends)"});
      EXPECT_TRUE(run.host.writtenPaths.empty());
    }
  }
}

TEST_F(RunTest, OnlyAWaitWithoutALimitShowsTheClientsProgress) {
  const std::vector<std::wstring> shown = {L"SQL client: 50 percent processed.",
                                           L"SQL client: 100 percent processed."};
  for (const std::wstring wait : {L"0", L"2"}) {
    TypicalRun run;
    run.host.environment[L"QELRESTORE_CLIENT_WAIT"] = wait;
    FakeProcess client = RestoringClient(600);
    client.output[kClientOutput].insert(0, " 50 percent processed.\r\n100 percent processed.\r\n");
    run.host.processes = {client};
    EXPECT_EQ(run.Execute(), kExitCompleted);
    EXPECT_EQ(run.host.progressLines, wait == L"0" ? shown : std::vector<std::wstring>{})
        << Narrow(wait);
  }
}

TEST_F(RunTest, FailedWinsOverNotVerified) {
  // A copy that is not complete and a client still running: status 5, not 6.
  host.folderCopy = [](const std::wstring&, const std::wstring&) { return FolderCopy{}; };
  host.processes = {ProcessRunningFor(60000)};
  EXPECT_EQ(Execute(), kExitIncomplete);
}

TEST_F(RunTest, AnEarlierRunsOutputNeverSpeaksForThisRun) {
  host.AddFile(kClientOutput, "RESTORE DATABASE successfully processed 1 pages.\r\n");
  host.processes = {ProcessRunningFor(100)};  // writes nothing
  EXPECT_EQ(Execute(), kExitIncomplete);
  const auto log = Log();
  EXPECT_EQ(log[log.size() - 2],
            std::wstring(L"SQL restore failed: the SQL client ended without writing its output "
                         L"file ") +
                kClientOutput);
}

}  // namespace
}  // namespace qelrestore::test
