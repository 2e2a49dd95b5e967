#include <gtest/gtest.h>

#include "restore/folder_restore.h"
#include "tests/unit/run_fixture.h"

namespace qelrestore::test {
namespace {

constexpr wchar_t kSaved[] = L"C:\\qel\\curdb.properties.bak";
constexpr wchar_t kCurrent[] = L"C:\\App\\PLUV\\db.properties";

TEST_F(RunTest, KeptSettingsSurviveTheCopy) {
  host.commandLine = L"\"C:\\bk\" \"default\" \"N\" \"Y\"";
  host.AddFile(kCurrent, "DB_PROVIDER=SQLNCLI.1\r\n");
  host.registry32[k2005Key][L"SQLPath"] = {REG_SZ, std::string("C:\\T90\0", 7)};
  EXPECT_EQ(Execute(), kExitCompleted);
  EXPECT_EQ(host.files[kCurrent], "DB_PROVIDER=SQLNCLI.1\r\n");
  EXPECT_EQ(host.files[kSaved], "DB_PROVIDER=SQLNCLI.1\r\n");  // it stays in the program folder
  EXPECT_EQ(Log()[3], L"SQL start Restore 2005");
}

TEST_F(RunTest, OnlyAnExactYKeepsTheSettings) {
  host.commandLine = L"\"C:\\bk\" \"default\" \"N\" \"y\"";
  host.AddFile(kCurrent, "DB_PROVIDER=SQLNCLI.1\r\n");
  EXPECT_EQ(Execute(), kExitCompleted);
  EXPECT_EQ(host.files.count(kSaved), 0u);
  EXPECT_EQ(host.files[kCurrent], host.files[L"C:\\bk\\PLUV\\db.properties"]);
}

TEST_F(RunTest, SelfRestoreComparisonIsExactText) {
  // A different spelling of the same folder is not refused by the text comparison.
  host.commandLine = L"\"C:\\App\"";
  host.folders.insert(L"C:\\App");
  host.files.erase(L"C:\\bk\\PLUV\\db.properties");
  EXPECT_EQ(Execute(), kExitCompleted);
  ASSERT_EQ(host.operations.size(), 1u);
  EXPECT_EQ(host.operations[0].pFrom, L"C:\\App\\*");
}

TEST(CopyFolderContentsTest, AFailedResultOrAnAbortedPartMakesTheCopyIncomplete) {
  const struct {
    int32_t result;
    bool aborted, complete;
  } cases[] = {{0, false, true}, {0x75, false, false}, {0, true, false}, {0x75, true, false}};
  for (const auto& c : cases) {
    FakeHost host;
    host.shellCopy = [&c](FileOperation& operation) {
      operation.fAnyOperationsAborted = c.aborted;
      return c.result;
    };
    EXPECT_EQ(CopyFolderContents(host, L"C:\\bk\\*", L"C:\\App\\"), c.complete);
  }
}

TEST(CopyFolderContentsTest, OnlyUnattendedRunsSilenceTheShell) {
  FakeHost host;
  CopyFolderContents(host, L"C:\\bk\\*", L"C:\\App\\");
  EXPECT_EQ(host.operations.back().fFlags, 528);
  host.unattended = true;
  CopyFolderContents(host, L"C:\\bk\\*", L"C:\\App\\");
  EXPECT_EQ(host.operations.back().fFlags, 528 | FOF_SILENT | FOF_NOERRORUI);
}

}  // namespace
}  // namespace qelrestore::test
