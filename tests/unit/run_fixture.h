// A typical restore on the fake host, for the tests of the whole run to vary: backup folder C:\bk
// holding PLUV\db.properties (MSDE, dbhost:1433), path.conf naming C:/App/, the MSDE client's
// folder C:\Tools in the 32-bit registry view, and a client that ends after 100 ms with the output
// of a processed restore.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/program.h"
#include "tests/unit/fake_host.h"

namespace qelrestore::test {

inline constexpr wchar_t kLog[] = L"C:\\qel\\qelRestorelog.txt07";
inline constexpr wchar_t kPathConf[] = L"C:\\Users\\op\\.corvilane\\path.conf";
inline constexpr wchar_t kClientOutput[] = L"C:\\qel\\qelRestorelog.txt07sql";
inline constexpr wchar_t kMsdeKey[] =
    L"SOFTWARE\\Microsoft\\Microsoft SQL Server\\80\\Tools\\ClientSetup";
inline constexpr wchar_t k2005Key[] =
    L"SOFTWARE\\Microsoft\\Microsoft SQL Server\\90\\Tools\\ClientSetup";

// A SQL client that runs for `milliseconds` and reports the restore processed.
// A run of the program with the settings the fake's environment holds, read once as the program
// reads them.
inline int RunProgram(FakeHost& host) {
  return qelrestore::RunProgram(host, ReadRunSettings([&host](const std::wstring& name) {
                                  return host.EnvironmentVariable(name);
                                }));
}

inline FakeProcess RestoringClient(int64_t milliseconds) {
  FakeProcess client = ProcessRunningFor(milliseconds);
  client.output[kClientOutput] =
      "RESTORE DATABASE successfully processed 161 pages in 0.052 seconds (24.287 MB/sec).\r\n";
  return client;
}

struct TypicalRun {
  TypicalRun() {
    host.commandLine = L"\"C:\\bk\" \"default\" \"N\"";
    host.folders.insert({L"C:\\bk", L"C:\\bk\\PLUV", L"C:\\App", L"C:\\App\\PLUV"});
    host.AddFile(L"C:\\bk\\PLUV\\db.properties",
                 "DB_PROVIDER=SQLOLEDB\r\ndbconn.appl.url=jdbc:x://dbhost:1433;name=y\r\n");
    host.AddFile(L"C:\\bk\\QEL_PLUV.bak", "backup");
    host.AddFile(kPathConf, "finalPath=C:/App/\r\n");
    host.registry32[kMsdeKey][L"SQLPath"] = {RegistryType::kString, std::string("C:\\Tools\0", 9)};
    host.processes.push_back(RestoringClient(100));
  }

  int Execute() {
    const int status = RunProgram(host);
    EXPECT_EQ(host.openProcesses, 0);
    EXPECT_EQ(host.openStreams, 0);
    EXPECT_EQ(host.openInputs, 0);
    return status;
  }

  std::vector<std::wstring> Log() const { return host.LogMessages(kLog); }
  std::wstring LastLogMessage() const {
    const auto messages = Log();
    return messages.empty() ? L"" : messages.back();
  }

  FakeHost host;
};

class RunTest : public testing::Test, public TypicalRun {};

}  // namespace qelrestore::test
