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
  host.registry32[k2005Key][L"SQLPath"] = {RegistryType::kString, std::string("C:\\T90\0", 7)};
  EXPECT_EQ(Execute(), kExitCompleted);
  EXPECT_EQ(host.files[kCurrent], "DB_PROVIDER=SQLNCLI.1\r\n");
  EXPECT_EQ(host.files[kSaved], "DB_PROVIDER=SQLNCLI.1\r\n");  // it stays in the program folder
  EXPECT_EQ(Log()[3], L"SQL start Restore 2005");
}

TEST_F(RunTest, EachInstallationFolderGetsItsOwnKeptSettingsBack) {
  host.commandLine = L"\"C:\\bk\" \"default\" \"N\" \"Y\"";
  host.AddFile(kPathConf, "finalPath=C:/App/\r\nfinalPath=C:/Other/\r\n");
  host.folders.insert({L"C:\\Other", L"C:\\Other\\PLUV"});
  host.AddFile(kCurrent, "first\r\n");
  host.AddFile(L"C:\\Other\\PLUV\\db.properties", "second\r\n");
  host.processes.clear();  // the second folder's settings name no SQL Server family
  Execute();
  EXPECT_EQ(host.files[kCurrent], "first\r\n");
  EXPECT_EQ(host.files[L"C:\\Other\\PLUV\\db.properties"], "second\r\n");
  const std::wstring second = std::wstring(kSaved) + L".2";
  EXPECT_EQ(host.ownerOnlyPaths,
            (std::set<std::wstring>{kSaved, second, kSaved + std::wstring(L".pending"),
                                    second + L".pending"}));
  // Put back, so no longer marked as the machine's.
  EXPECT_EQ(host.files.count(kSaved + std::wstring(L".pending")), 0u);
}

// A run ended between the save and the put-back (killed, or its put-back failed) left the
// machine's settings in the marked saved copy and the backup's in the installation: the next run
// keeps the saved copy, never saving the backup's over it, and puts it back.
TEST_F(RunTest, SettingsAnEarlierRunLeftSavedAreKeptAndPutBack) {
  host.commandLine = L"\"C:\\bk\" \"default\" \"N\" \"Y\"";
  host.AddFile(kSaved, "the machine's\r\n");
  host.AddFile(kSaved + std::wstring(L".pending"), "the machine's\r\n");
  host.AddFile(kCurrent, "DB_PROVIDER=the backup's\r\n");
  Execute();
  EXPECT_EQ(host.files[kCurrent], "the machine's\r\n");
  EXPECT_EQ(host.files[kSaved], "the machine's\r\n");
  EXPECT_EQ(host.files.count(kSaved + std::wstring(L".pending")), 0u);
}

TEST_F(RunTest, OnlyAnExactYKeepsTheSettings) {
  host.commandLine = L"\"C:\\bk\" \"default\" \"N\" \"y\"";
  host.AddFile(kCurrent, "DB_PROVIDER=SQLNCLI.1\r\n");
  EXPECT_EQ(Execute(), kExitCompleted);
  EXPECT_EQ(host.files.count(kSaved), 0u);
  EXPECT_EQ(host.files[kCurrent], host.files[L"C:\\bk\\PLUV\\db.properties"]);
}

TEST_F(RunTest, AnIncompleteCopyNamesAtMostAHundredEntriesThenCountsTheRest) {
  host.folderCopy = [](const std::wstring&, const std::wstring&) {
    FolderCopy copy;
    for (int i = 0; i < 100; ++i)
      copy.notCopied.push_back({L"C:\\bk\\f" + std::to_wstring(i), L"busy"});
    copy.notCopied[0].path = L"C:\\bk\\a\nforged";
    copy.notCopiedCount = 250;
    return copy;
  };
  host.AddFile(kCurrent, host.files[L"C:\\bk\\PLUV\\db.properties"]);  // it arrived
  EXPECT_EQ(Execute(), kExitIncomplete);
  const auto log = Log();
  ASSERT_EQ(log.size(), 2u + 1 + 100 + 1 + 4);  // start, copying, NOT complete, names, more, db
  EXPECT_EQ(log[2], L"Restore Folder NOT complete");
  EXPECT_EQ(log[3], L"Not copied: C:\\bk\\a\\x0Aforged: busy");
  EXPECT_EQ(log[103], L"Not copied: 150 more");
}

}  // namespace
}  // namespace qelrestore::test
