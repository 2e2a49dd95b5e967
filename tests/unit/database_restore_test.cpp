#include <gtest/gtest.h>

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
  host.registry32[k2005Key][L"SQLPath"] = {REG_SZ, std::string("C:\\T90\0junk\0", 12)};
  EXPECT_EQ(Execute(), kExitCompleted);
  ASSERT_EQ(host.startedCommands.size(), 1u);
  EXPECT_EQ(host.startedCommands[0].rfind(L"\"C:\\T90\\Binn\\sqlcmd.exe\" -S dbhost,1433 -E -Q", 0),
            0u);
  EXPECT_TRUE(host.Called("RegOpenKeyEx32 SOFTWARE\\Microsoft\\Microsoft SQL Server\\90\\"));
}

TEST_F(RunTest, UnknownOrEmptyVersionRunsNothing) {
  host.AddFile(L"C:\\bk\\PLUV\\db.properties", "DB_PROVIDER=ODBC\r\n");
  EXPECT_EQ(Execute(), kExitCompleted);
  const auto log = Log();
  EXPECT_EQ(log[log.size() - 2], L"SQL start Restore ");
  EXPECT_EQ(log.back(), L"SQL Restore Complete");
  EXPECT_FALSE(host.Called("RegOpenKeyEx"));
  EXPECT_TRUE(host.startedCommands.empty());
}

TEST_F(RunTest, WithoutARegisteredFolderNothingIsStartedFromTheDriveRoot) {
  for (const std::string& folder : {std::string(), std::string("\0junk", 5)}) {
    TypicalRun run;
    if (folder.empty()) {
      run.host.registry32.clear();  // key missing
    } else {
      run.host.registry32[kMsdeKey][L"SQLPath"] = {REG_SZ, folder};  // cut at its first NUL
    }
    EXPECT_EQ(RunProgram(run.host), kExitIncomplete);
    EXPECT_TRUE(run.host.startedCommands.empty());
    const auto log = run.Log();
    EXPECT_EQ(log[log.size() - 3].rfind(L"\"\\Binn\\OSQL.exe\" -S dbhost,1433", 0), 0u);
    EXPECT_EQ(log[log.size() - 2],
              L"SQL client could not be started: no folder is registered for the SQL client");
    EXPECT_EQ(run.host.boxes, std::vector<std::wstring>{L"error"});
  }
}

TEST_F(RunTest, ClientStillRunningAfterTheLimitIsLeftAndTheRunCompletes) {
  host.processes = {ProcessRunningFor(60000)};
  EXPECT_EQ(Execute(), kExitCompleted);
  EXPECT_EQ(host.clockMilliseconds, 6000);
  EXPECT_EQ(LastLogMessage(), L"SQL Restore Complete");
}

}  // namespace
}  // namespace qelrestore::test
