// The frame of a run: its ends, exit statuses, checkpoints, boxes and log.
#include <gtest/gtest.h>

#include <algorithm>

#include "driver/command_line.h"
#include "tests/unit/run_fixture.h"

namespace qelrestore::test {
namespace {

using Messages = std::vector<std::wstring>;

TEST_F(RunTest, TypicalRunRestoresFolderAndDatabase) {
  EXPECT_EQ(Execute(), kExitCompleted);
  EXPECT_EQ(Log(), (Messages{
                       L"QEL start Restore",
                       L"Start copying from C:\\bkto C:\\App\\",
                       L"Restore Folder completed",
                       L"SQL start Restore MSDE",
                       L"\"C:\\Tools\\Binn\\OSQL.exe\" -S dbhost,1433 -E -Q \" RESTORE DATABASE "
                       L"[QEL_PLUV] From DISK = N'C:\\bk\\QEL_PLUV.bak' WITH  FILE = 1,  "
                       L"NOUNLOAD,  REPLACE,  STATS = 10\" -o \"C:\\qel\\qelRestorelog.txt07sql\"",
                       L"SQL restore verified: RESTORE DATABASE successfully processed 161 pages "
                       L"in 0.052 seconds (24.287 MB/sec).",
                       L"SQL Restore Complete",
                   }));
  EXPECT_TRUE(host.boxes.empty());
  ASSERT_EQ(host.startedCommands.size(), 1u);
  EXPECT_EQ(host.startedCommands[0], Log()[4]);
  ASSERT_EQ(host.folderCopies.size(), 1u);
  EXPECT_EQ(host.folderCopies[0].source, L"C:\\bk");
  EXPECT_EQ(host.folderCopies[0].destination, L"C:\\App\\");
}

// A relative backup folder, and a blank after the installation folder's last separator as a hand
// edit leaves it: each folder is made full once, and that folder is checked, copied onto, read
// from and named to the server.
TEST_F(RunTest, EachFolderIsMadeFullOnceAndThatFolderIsUsedThroughout) {
  host.currentFolder = L"C:";
  host.commandLine = L"\"bk\" \"default\" \"N\"";
  host.AddFile(kPathConf, "finalPath=C:/App/ \r\n");
  EXPECT_EQ(Execute(), kExitCompleted);
  ASSERT_EQ(host.folderCopies.size(), 1u);
  EXPECT_EQ(host.folderCopies[0].source, L"C:\\bk");
  EXPECT_EQ(host.folderCopies[0].destination, L"C:\\App\\");
  EXPECT_TRUE(host.Called("OpenForInput C:\\App\\PLUV\\db.properties"));
  ASSERT_EQ(host.startedCommands.size(), 1u);
  EXPECT_NE(host.startedCommands[0].find(L"From DISK = N'C:\\bk\\QEL_PLUV.bak'"),
            std::wstring::npos);
}

// The program folder inside the installation: its log, the client's output, the lock and the kept
// settings are handed to the copy as files it must not write over.
TEST_F(RunTest, TheCopyIsToldOfTheRestoresOwnFilesInTheInstallation) {
  host.programFolder = L"C:\\App\\qel";
  host.folders.insert(L"C:\\App\\qel");
  host.AddFile(kPathConf, "finalPath=C:/App/\r\n");
  Execute();
  ASSERT_EQ(host.folderCopies.size(), 1u);
  EXPECT_EQ(host.folderCopies[0].ownFiles,
            (Messages{L"qel\\qelRestorelog.txt07", L"qel\\qelRestorelog.txt07sql",
                      L"qel\\qelrestore.lock", L"qel\\curdb.properties.bak*",
                      L"qel\\qelrestore.records", L"qel\\qelrestore.undo*"}));
}

// With the keep flag the backup is verified with the settings the database restore will use:
// the last installation folder's own, found before anything is copied.
TEST_F(RunTest, VerifyFirstUsesTheSettingsTheRestoreWillRead) {
  host.environment[L"QELRESTORE_VERIFY_FIRST"] = L"1";
  host.commandLine = L"\"C:\\bk\" \"default\" \"N\" \"Y\"";
  host.folders.insert({L"C:\\Other", L"C:\\Other\\PLUV"});
  host.AddFile(kPathConf, "finalPath=C:/App/\r\nfinalPath=C:/Other/\r\n");
  host.AddFile(L"C:\\App\\PLUV\\db.properties", "DB_PROVIDER=none\r\n");
  host.AddFile(L"C:\\Other\\PLUV\\db.properties",
               "DB_PROVIDER=SQLOLEDB\r\ndbconn.appl.url=jdbc:x://kepthost:1500;name=y\r\n");
  FakeProcess verify = ProcessRunningFor(100);
  verify.output[std::wstring(kClientOutput) + L"verify"] = "The backup set on file 1 is valid.\r\n";
  host.processes.insert(host.processes.begin(), verify);
  EXPECT_EQ(Execute(), kExitCompleted);
  ASSERT_EQ(host.startedCommands.size(), 2u);
  EXPECT_NE(host.startedCommands[0].find(L"-S kepthost,1500 -E -b -Q \"RESTORE VERIFYONLY"),
            std::wstring::npos)
      << host.startedCommands[0];
  ASSERT_EQ(host.folderCopies.size(), 2u);
}

// What the run left is noted after its last change, the kept settings' put-back: an undo that
// follows finds nothing changed, and puts the installation back as it was before the restore.
TEST_F(RunTest, AKeepingRunWithTheKeepFlagIsUndoneToTheInstallationAsItWas) {
  host.environment[L"QELRESTORE_KEEP_REPLACED"] = L"1";
  host.commandLine = L"\"C:\\bk\" \"default\" \"N\" \"Y\"";
  host.AddFile(L"C:\\App\\PLUV\\db.properties",
               "DB_PROVIDER=SQLOLEDB\r\ndbconn.appl.url=jdbc:x://here:1433;name=y\r\n");
  host.AddFile(L"C:\\App\\app.jar", "old program");
  host.AddFile(L"C:\\bk\\app.jar", "new program");
  const std::map<std::wstring, std::string> before = host.files;
  ASSERT_EQ(Execute(), kExitCompleted);
  EXPECT_EQ(host.files[L"C:\\App\\app.jar"], "new program");
  host.environment = {{L"QELRESTORE_UNDO", L"1"}};
  host.commandLine = L"\"C:\\bk\" \"default\" \"N\"";
  EXPECT_EQ(Execute(), kExitCompleted);
  EXPECT_TRUE(host.sets.empty());
  for (const auto& [path, bytes] : before) {
    if (path.starts_with(L"C:\\App\\")) {
      EXPECT_EQ(host.files[path], bytes) << path;
    }
  }
  EXPECT_FALSE(host.files.contains(L"C:\\App\\QEL_PLUV.bak"));
}

// A put-back that fails leaves none of the other folders without its own settings.
TEST_F(RunTest, EveryKeptSettingsFileIsPutBackWhicheverFails) {
  host.commandLine = L"\"C:\\bk\" \"default\" \"N\" \"Y\"";
  host.folders.insert({L"C:\\Other", L"C:\\Other\\PLUV"});
  host.AddFile(kPathConf, "finalPath=C:/App/\r\nfinalPath=C:/Other/\r\n");
  host.AddFile(L"C:\\App\\PLUV\\db.properties", "first");
  host.AddFile(L"C:\\Other\\PLUV\\db.properties", "second");
  host.folderCopy = [this](const std::wstring&, const std::wstring& destination) {
    host.files[destination + L"PLUV\\db.properties"] = "the backup's";
    host.files.erase(L"C:\\qel\\curdb.properties.bak");  // the first save is lost
    return FolderCopy{CopyOutcome::kComplete, {}, 0};
  };
  EXPECT_EQ(Execute(), kExitErrorReport);
  EXPECT_EQ(host.files[L"C:\\Other\\PLUV\\db.properties"], "second");
}

TEST_F(RunTest, LogLinesCarryTheTimeTextAndAppendToTheDaysFile) {
  host.AddFile(kLog, "earlier run\r\n");
  Execute();
  const auto lines = host.Lines(kLog);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], L"earlier run");
  EXPECT_EQ(lines[1], L"2026-12-07 10:00:00: QEL start Restore");
}

TEST_F(RunTest, UsagePathShowsTheBoxAndTouchesNoLog) {
  for (const wchar_t* commandLine : {L"", L"C:\\bk", L"\"C:\\bk"}) {
    FakeHost fresh;
    fresh.commandLine = commandLine;
    EXPECT_EQ(RunProgram(fresh), kExitUsage);
    EXPECT_EQ(fresh.boxes, (Messages{kUsageMessage}));
    EXPECT_FALSE(fresh.Called("OpenLog"));
    EXPECT_TRUE(fresh.files.empty());
  }
}

struct StopCase {
  const char* name;
  std::function<void(FakeHost&)> arrange;
  std::wstring lastMessage;
};

TEST_F(RunTest, EveryFailedCheckStopsWithItsMessageAndStatus2) {
  // A backup folder named with every control character: each one escaped in the log.
  std::wstring controls;
  std::wstring escaped;
  for (wchar_t c = 1; c < 0x20; ++c) {
    controls += c;
    escaped += L"\\x" + std::wstring(1, L"01"[c >> 4]) + L"0123456789ABCDEF"[c & 0xF];
  }
  const StopCase cases[] = {
      {"backup folder named with control characters",
       [&controls](FakeHost& h) { h.commandLine = L"\"C:\\b" + controls + L"k\""; },
       L"C:\\b" + escaped + L"kbackup directory not found. Pls. check"},
      {"backup folder missing", [](FakeHost& h) { h.folders.erase(L"C:\\bk"); },
       L"C:\\bkbackup directory not found. Pls. check"},
      {"path.conf missing", [](FakeHost& h) { h.files.erase(kPathConf); },
       L"C:\\Users\\op\\.corvilane\\path.confnot found. Pls. check"},
      {"no profile folder: path.conf is never looked for at the drive's root",
       [](FakeHost& h) {
         h.profile = std::nullopt;
         h.AddFile(L"\\.corvilane\\path.conf", "finalPath=C:/App/\r\n");
       },
       L"\\.corvilane\\path.confnot found. Pls. check"},
      {"installation folder missing", [](FakeHost& h) { h.folders.erase(L"C:\\App"); },
       L"C:/App/not exist. Pls. check"},
      {"backup folder equals installation folder",
       [](FakeHost& h) {
         h.commandLine = L"\"C:\\App\\\"";
         h.folders.insert(L"C:\\App");
       },
       L"Cannot restore to itselfC:/App/"},
      {"the same folder spelled otherwise: case, separators, no trailing one",
       [](FakeHost& h) {
         h.commandLine = L"\"c:/APP\"";
         h.folders.insert(L"c:/APP");
       },
       L"Cannot restore to itselfC:/App/"},
      {"the same folder in other letter case alone",
       [](FakeHost& h) {
         h.commandLine = L"\"C:\\aPP\\\"";
         h.folders.insert(L"C:\\aPP");
       },
       L"Cannot restore to itselfC:/App/"},
      {"the same folder with forward slashes alone",
       [](FakeHost& h) {
         h.commandLine = L"\"C:/App/\"";
         h.folders.insert(L"C:/App/");
       },
       L"Cannot restore to itselfC:/App/"},
      {"the same folder with two trailing separators",
       [](FakeHost& h) { h.commandLine = L"\"C:\\App\\\\\""; }, L"Cannot restore to itselfC:/App/"},
      {"the installation folder spelled otherwise in path.conf",
       [](FakeHost& h) {
         h.commandLine = L"\"C:\\App\"";
         h.AddFile(kPathConf, "finalPath=c:/APP\r\n");
         h.folders.insert(L"c:\\APP");
       },
       L"Cannot restore to itselfc:/APP"},
      {"the backup folder spelled otherwise in the second item",
       [](FakeHost& h) {
         h.commandLine = L"\"C:\\BK\\\"";
         h.folders.insert(L"C:\\BK");
         h.AddFile(kPathConf, "finalPath=C:/App/\r\nfinalPath=c:/bk/\r\n");
         h.folders.insert(L"c:\\bk");
       },
       L"Cannot restore to itselfc:/bk/"},
      {"the same folder through a junction or short name",
       [](FakeHost& h) {
         h.commandLine = L"\"C:\\APP~1\"";
         h.folders.insert(L"C:\\APP~1");
         h.folderLinks[L"C:\\APP~1"] = L"C:\\App";
       },
       L"Cannot restore to itselfC:/App/"},
      {"backup folder gone when the second item comes",
       [](FakeHost& h) {
         h.AddFile(kPathConf, "finalPath=C:/App/\r\nfinalPath=C:/Other/\r\n");
         h.folders.insert(L"C:\\Other");
         h.folderCopy = [&h](const std::wstring&, const std::wstring&) {
           h.folders.erase(L"C:\\bk");
           return FolderCopy{CopyOutcome::kComplete, {}, 0};
         };
       },
       L"C:\\bkcan not be found. Pls. check"},
  };
  for (const StopCase& c : cases) {
    SCOPED_TRACE(c.name);
    TypicalRun fixture;
    c.arrange(fixture.host);
    EXPECT_EQ(RunProgram(fixture.host), kExitStopped);
    EXPECT_EQ(fixture.LastLogMessage(), c.lastMessage);
    EXPECT_EQ(fixture.host.openInputs, 0);
    EXPECT_EQ(fixture.host.openStreams, 0);
    EXPECT_TRUE(fixture.host.startedCommands.empty());
  }
}

TEST_F(RunTest, ARunThatDoesNotEndWellSaysWhatHappenedAndWhereTheLogIsLast) {
  const std::wstring inLog = L" (log: " + std::wstring(kLog) + L")";
  const struct {
    const char* name;
    std::function<void(FakeHost&)> arrange;
    std::vector<std::wstring> lines;
  } cases[] = {
      {"completed and verified", [](FakeHost&) {}, {}},
      {"stopped",
       [](FakeHost& h) { h.folders.erase(L"C:\\bk"); },
       {L"qelrestore: C:\\bkbackup directory not found. Pls. check" + inLog}},
      {"restore failed",
       [](FakeHost& h) { h.processes = {ProcessRunningFor(100, 1)}; },
       {L"qelrestore: SQL restore failed: the SQL client ended with status 1 and wrote no output "
        L"file C:\\qel\\qelRestorelog.txt07sql" +
        inLog}},
      {"error report",
       [](FakeHost& h) { h.AddFile(L"C:\\bk\\PLUV\\db.properties", "DB_PROVIDER\r\n"); },
       {L"qelrestore: error 9 at checkpoint 89: Subscript out of range" + inLog}},
      {"usage",
       [](FakeHost& h) { h.commandLine.clear(); },
       {L"qelrestore: nothing was done: no backup folder was given (see the usage above)"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TypicalRun run;
    c.arrange(run.host);
    RunProgram(run.host);
    EXPECT_EQ(run.host.failureLines, c.lines);
  }
}

TEST_F(RunTest, ASecondRunWhileOneRestoresChangesNothing) {
  host.runLockHolder = 4242;
  EXPECT_EQ(Execute(), kExitStopped);
  const std::wstring refusal = L"Another restore is running (PID 4242); nothing was changed";
  EXPECT_EQ(host.boxes, std::vector<std::wstring>{refusal});
  EXPECT_TRUE(host.writtenPaths.empty());
  EXPECT_TRUE(host.Called("LockRun C:\\qel\\qelrestore.lock"));
  EXPECT_EQ(host.failureLines, std::vector<std::wstring>{L"qelrestore: " + refusal});
}

struct TrapCase {
  const char* name;
  std::function<void(FakeHost&)> arrange;
  int32_t code;
  int32_t checkpoint;
};

TEST_F(RunTest, TrappedErrorsNameTheCheckpointOfTheirStep) {
  const TrapCase cases[] = {
      {"bare finalPath item", [](FakeHost& h) { h.AddFile(kPathConf, "finalPath\r\n"); }, 9, 58},
      {"keep with no db.properties in the installation folder",
       [](FakeHost& h) { h.commandLine = L"\"C:\\bk\" \"default\" \"N\" \"Y\""; }, 53, 58},
      {"keep with no finalPath item",
       [](FakeHost& h) {
         h.commandLine = L"\"C:\\bk\" \"default\" \"N\" \"Y\"";
         h.AddFile(kPathConf, "other=1\r\n");
       },
       53, 76},
      {"bare DB_PROVIDER item",
       [](FakeHost& h) { h.AddFile(L"C:\\bk\\PLUV\\db.properties", "DB_PROVIDER\r\n"); }, 9, 89},
      {"url without semicolon",
       [](FakeHost& h) {
         h.AddFile(L"C:\\bk\\PLUV\\db.properties", "dbconn.appl.url=x://dbhost:1433\r\n");
       },
       5, 102},
      {"client folder value missing", [](FakeHost& h) { h.registry32[kMsdeKey].erase(L"SQLPath"); },
       1001, 116},
      {"2005 client folder value missing",
       [](FakeHost& h) {
         h.AddFile(L"C:\\bk\\PLUV\\db.properties", "DB_PROVIDER=SQLNCLI.1\r\n");
         h.registry64[k2005Key][L"Other"] = {RegistryType::kString, std::string("x\0", 2)};
       },
       1001, 120},
  };
  for (const TrapCase& c : cases) {
    SCOPED_TRACE(c.name);
    TypicalRun fixture;
    c.arrange(fixture.host);
    EXPECT_EQ(RunProgram(fixture.host), kExitErrorReport);
    const auto messages = fixture.Log();
    ASSERT_FALSE(messages.empty());
    const std::wstring record = L"Error:" + std::to_wstring(c.code).insert(0, L" ") + L"line no: " +
                                std::to_wstring(c.checkpoint) + L"Desc:";
    EXPECT_EQ(messages.back().rfind(record, 0), 0u) << Narrow(messages.back());
    ASSERT_FALSE(fixture.host.boxes.empty());
    EXPECT_EQ(fixture.host.boxes.back().rfind(L"Unexpected error " + std::to_wstring(c.code) +
                                                  L" line no " + std::to_wstring(c.checkpoint) +
                                                  L" in printing.\r\n",
                                              0),
              0u);
    EXPECT_EQ(fixture.host.openInputs, 0);
    EXPECT_EQ(fixture.host.openStreams, 0);
  }
}

TEST_F(RunTest, AnErrorBeforeTheTrapGetsTheHostsReportAndStatus4) {
  host.commandLine = L"\"C:\\bk\" \"C:\\missing\\run.log\"";
  EXPECT_EQ(Execute(), kExitUnhandled);
  ASSERT_EQ(host.boxes.size(), 1u);
  EXPECT_EQ(host.boxes[0].rfind(L"Unhandled error 76\r\n", 0), 0u);
  EXPECT_EQ(host.files.count(L"C:\\missing\\run.log"), 0u);
  EXPECT_TRUE(host.LogMessages(kLog).empty());

  // path.conf there but not readable: before the trap as well.
  TypicalRun fixture;
  fixture.host.folders.insert(kPathConf);
  EXPECT_EQ(RunProgram(fixture.host), kExitUnhandled);
}

TEST_F(RunTest, WithoutAProfileNoPathConfOutsideAProfileIsEverTouched) {
  host.profile = std::nullopt;
  host.AddFile(L"\\.corvilane\\path.conf", "finalPath=C:/App/\r\n");
  EXPECT_EQ(Execute(), kExitStopped);
  EXPECT_FALSE(host.Called("FileExists \\.corvilane"));
  EXPECT_FALSE(host.Called("OpenForInput"));
}

TEST_F(RunTest, BoxFlagOtherThanExactlyNShowsEveryLoggedMessage) {
  for (const wchar_t* flag : {L"n", L" N", L"Y"}) {
    TypicalRun fixture;
    fixture.host.commandLine = std::wstring(L"\"C:\\bk\" \"default\" \"") + flag + L"\"";
    fixture.host.boxMilliseconds = 2000;
    EXPECT_EQ(RunProgram(fixture.host), kExitCompleted);
    EXPECT_EQ(fixture.host.boxes, fixture.Log());
    // Each line is stamped when its box has been dismissed.
    EXPECT_EQ(fixture.host.Lines(kLog)[0], L"2026-12-07 10:00:02: QEL start Restore");
  }
}

TEST_F(RunTest, RunWithoutDbPropertiesCompletesWithoutTheDatabase) {
  host.files.erase(L"C:\\bk\\PLUV\\db.properties");
  EXPECT_EQ(Execute(), kExitCompleted);
  EXPECT_EQ(LastLogMessage(), L"QEL Restore completed without SQLServer version");
  EXPECT_FALSE(host.Called("QueryRegistryValue"));

  TypicalRun noItem;
  noItem.host.AddFile(kPathConf, "\r\n,other=1\r\n");
  EXPECT_EQ(RunProgram(noItem.host), kExitIncomplete);
  EXPECT_TRUE(noItem.host.folderCopies.empty());
  EXPECT_EQ(noItem.Log(),
            (Messages{L"QEL start Restore", std::wstring(L"No finalPath item in ") + kPathConf,
                      L"QEL Restore completed without SQLServer version"}));
}

TEST_F(RunTest, IncompleteCopyAndUnstartableClientEndWithStatus5) {
  host.folderCopy = [](const std::wstring&, const std::wstring&) {
    return FolderCopy{CopyOutcome::kIncomplete, {}, 0};  // a shell copy names nothing
  };
  host.AddFile(L"C:\\App\\PLUV\\db.properties", host.files[L"C:\\bk\\PLUV\\db.properties"]);
  EXPECT_EQ(Execute(), kExitIncomplete);
  EXPECT_EQ(Log()[2], L"Restore Folder NOT complete");
  EXPECT_EQ(LastLogMessage(), L"SQL Restore Complete");

  TypicalRun noClient;
  noClient.host.processes = {ProcessNotStarting(Error(53, L"File not found: OSQL.exe"))};
  EXPECT_EQ(RunProgram(noClient.host), kExitIncomplete);
  const auto log = noClient.Log();
  EXPECT_EQ(log[log.size() - 2], L"SQL client could not be started: File not found: OSQL.exe");
  EXPECT_EQ(noClient.host.boxes, (Messages{L"error"}));
}

TEST_F(RunTest, ABlankLineOrAByteOrderMarkBeforeTheItemEndsNothing) {
  for (const char* pathConf : {"\r\n\r\nfinalPath=C:/App/\r\n",
                               "\xEF\xBB\xBF"
                               "finalPath=C:/App/\r\n"}) {
    TypicalRun run;
    run.host.AddFile(kPathConf, pathConf);
    EXPECT_EQ(RunProgram(run.host), kExitCompleted);
    EXPECT_EQ(run.host.folderCopies.size(), 1u);
  }
}

TEST_F(RunTest, TwoItemsCopyTwiceWithTheShortenedBackupFolder) {
  host.commandLine = L"\"C:\\bk\\\"";
  host.AddFile(kPathConf, "finalPath=C:/App/\r\nfinalPath=C:\\Other\r\n");
  host.folders.insert(L"C:\\Other");
  host.files.erase(L"C:\\bk\\PLUV\\db.properties");
  EXPECT_EQ(Execute(), kExitCompleted);
  ASSERT_EQ(host.folderCopies.size(), 2u);
  EXPECT_EQ(host.folderCopies[1].source, L"C:\\bk");
  EXPECT_EQ(host.folderCopies[1].destination, L"C:\\Other\\");
  EXPECT_EQ(Log()[3], L"Start copying from C:\\bkto C:\\Other\\");
  // The database part follows the last item; a value without its trailing separator names the
  // same folder.
  EXPECT_TRUE(host.Called("FileExists C:\\Other\\PLUV\\db.properties"));
}

TEST_F(RunTest, ALineCutByAFailedWriteLeavesTheErrorRecordALineOfItsOwn) {
  TypicalRun probe;
  probe.Execute();
  const auto& calls = probe.host.calls;
  const auto copying = std::find_if(calls.begin(), calls.end(), [](const std::string& call) {
    return call.rfind("writeLine ", 0) == 0 && call.find("Start copying") != std::string::npos;
  });
  ASSERT_NE(copying, calls.end());
  host.faults[copying - calls.begin()] = Fault::kHalfWay;
  EXPECT_EQ(Execute(), kExitErrorReport);
  const auto lines = host.Lines(kLog);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].find(L"Start copying"), std::wstring::npos);  // cut before the message
  EXPECT_EQ(lines[2].find(L"Error:"), 19u) << Narrow(lines[2]);
}

}  // namespace
}  // namespace qelrestore::test
