// A dry run: every check of a real run, the lines it would log on standard output, its exit
// status, and nothing changed.
#include <gtest/gtest.h>

#include <sstream>

#include "driver/run_settings.h"
#include "tests/toolkit/log_lines.h"
#include "tests/unit/run_fixture.h"

namespace qelrestore::test {
namespace {

constexpr wchar_t kClient[] = L"C:\\Tools\\Binn\\OSQL.exe";

struct DryRun : TypicalRun {
  DryRun() {
    host.environment[L"QELRESTORE_DRY_RUN"] = L"1";
    host.AddFile(kClient, "client");
  }
  // The lines on standard output without their time text.
  std::vector<std::string> Printed() const {
    std::vector<std::string> lines;
    std::istringstream out(host.standardOutput);
    for (std::string line; std::getline(out, line);) lines.push_back(LogMessage(line));
    return lines;
  }
};

TEST(DryRunTest, PrintsWhatARealRunWouldLogAndChangesNothing) {
  DryRun run;
  run.host.commandLine = L"\"C:\\bk\" \"default\" \"Y\"";  // boxes asked for: none shown
  run.host.AddFile(L"C:\\App\\PLUV\\db.properties", "old");
  const std::set<std::wstring> folders = run.host.folders;
  const std::map<std::wstring, std::string> files = run.host.files;
  EXPECT_EQ(run.Execute(), kExitCompleted);
  EXPECT_EQ(run.Printed(),
            (std::vector<std::string>{
                "QEL start Restore", "Start copying from C:\\bkto C:\\App\\",
                "Would copy 2 files (73 bytes) from C:\\bk to C:\\App\\, 1 of them replacing "
                "existing files",
                "SQL start Restore MSDE",
                "\"C:\\Tools\\Binn\\OSQL.exe\" -S dbhost,1433 -E -Q \" RESTORE DATABASE [QEL_PLUV] "
                "From DISK = N'C:\\bk\\QEL_PLUV.bak' WITH  FILE = 1,  NOUNLOAD,  REPLACE,  STATS = "
                "10\" -o \"C:\\qel\\qelRestorelog.txt07sql\"",
                "SQL Restore Complete"}));
  EXPECT_TRUE(run.host.boxes.empty());
  EXPECT_TRUE(run.host.writtenPaths.empty());
  EXPECT_TRUE(run.host.startedCommands.empty());
  EXPECT_TRUE(run.host.folderCopies.empty());
  EXPECT_EQ(run.host.files, files);
  EXPECT_EQ(run.host.folders, folders);
}

TEST(DryRunTest, TheKeepFlagReadsTheInstallationsOwnSettings) {
  for (const bool keep : {false, true}) {
    DryRun run;
    run.host.commandLine = keep ? L"\"C:\\bk\" \"default\" \"N\" \"Y\"" : L"\"C:\\bk\"";
    run.host.AddFile(L"C:\\App\\PLUV\\db.properties", "DB_PROVIDER=SQLNCLI.1\r\n");
    run.host.registry32[k2005Key][L"SQLPath"] = {RegistryType::kString, std::string("C:\\T\0", 5)};
    run.host.AddFile(L"C:\\T\\Binn\\sqlcmd.exe", "client");
    EXPECT_EQ(run.Execute(), kExitCompleted);
    const auto printed = run.Printed();
    EXPECT_EQ(printed[3], keep ? "SQL start Restore 2005" : "SQL start Restore MSDE");
    EXPECT_EQ(run.host.files.count(L"C:\\qel\\curdb.properties.bak"), 0u);
  }
}

TEST(DryRunTest, PredictsTheStatusOfTheRealRun) {
  const struct {
    const char* name;
    std::function<void(FakeHost&)> arrange;
    int status;
    std::string last;  // the last printed line
  } cases[] = {
      {"backup folder missing", [](FakeHost& h) { h.folders.erase(L"C:\\bk"); }, kExitStopped,
       "C:\\bkbackup directory not found. Pls. check"},
      {"client program missing", [](FakeHost& h) { h.files.erase(kClient); }, kExitIncomplete,
       "SQL Restore Complete"},
      {"client folder value missing", [](FakeHost& h) { h.registry32[kMsdeKey].erase(L"SQLPath"); },
       kExitErrorReport, "Error: 1001line no: 116Desc:Unsupported value type"},
      {"keep flag without db.properties to keep",
       [](FakeHost& h) { h.commandLine = L"\"C:\\bk\" \"default\" \"N\" \"Y\""; }, kExitErrorReport,
       "Error: 53line no: 58Desc:File not found: C:\\App\\PLUV\\db.properties"},
  };
  for (const auto& c : cases) {
    DryRun run;
    c.arrange(run.host);
    EXPECT_EQ(RunProgram(run.host), c.status) << c.name;
    const auto printed = run.Printed();
    EXPECT_EQ(printed.empty() ? "" : printed.back(), c.last) << c.name;
    EXPECT_TRUE(run.host.writtenPaths.empty()) << c.name;
    EXPECT_TRUE(run.host.startedCommands.empty()) << c.name;
    EXPECT_TRUE(run.host.boxes.empty()) << c.name;
  }
}

TEST(DryRunTest, NoBoxWaitsForAnybody) {
  const struct {
    const wchar_t* commandLine;
    const wchar_t* wait;
    int status;
    std::string printed;
  } cases[] = {
      {L"\"C:\\bk\" \"C:\\no\\run.log\"", L"5", kExitUnhandled,
       "Unhandled error 76: Path not found: C:\\no"},
      {L"", L"5", kExitUsage, "qelRestore.bat backdirectory"},
      {L"\"C:\\bk\"", L"soon", kExitUsage, "QELRESTORE_CLIENT_WAIT must be"},
  };
  for (const auto& c : cases) {
    DryRun run;
    run.host.commandLine = c.commandLine;
    run.host.environment[L"QELRESTORE_CLIENT_WAIT"] = c.wait;
    EXPECT_EQ(RunProgram(run.host), c.status) << c.printed;
    EXPECT_TRUE(run.host.boxes.empty()) << c.printed;
    ASSERT_EQ(run.Printed().size(), 1u) << run.host.standardOutput;
    EXPECT_EQ(run.Printed()[0].rfind(c.printed, 0), 0u) << run.host.standardOutput;
  }
}

TEST(DryRunTest, ZeroOrEmptyIsARealRunAndAnyOtherValueAUsageError) {
  for (const wchar_t* value : {L"0", L"", L"yes", L"2", L" 1"}) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(value)));
    DryRun run;
    run.host.environment[L"QELRESTORE_DRY_RUN"] = value;
    const bool real = value == std::wstring(L"0") || *value == L'\0';
    const int status = RunProgram(run.host);
    EXPECT_EQ(status == kExitUsage, !real);
    EXPECT_EQ(run.host.folderCopies.empty(), !real);
    if (!real) {
      EXPECT_EQ(run.host.boxes, std::vector<std::wstring>{kDryRunMessage});
      EXPECT_TRUE(run.host.writtenPaths.empty());
    }
  }
}

}  // namespace
}  // namespace qelrestore::test
