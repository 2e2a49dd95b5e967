// Every host call of a complete run made to fail in turn. A fault-free run is recorded first; then
// for each of its calls a fresh run fails exactly that call (writes also half-way), and the end of
// the run is checked against what that kind of call failing must lead to. A half-way write fails
// with "disk full", which this machine cannot give the real program on demand.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "support/text.h"
#include "tests/unit/run_fixture.h"

namespace qelrestore::test {
namespace {

constexpr wchar_t kInjected[] = L"injected fault";
const std::string kLogPath = Narrow(kLog);
const std::string kPathConfPath = Narrow(kPathConf);
const std::string kClientOutputPath = Narrow(kClientOutput);
constexpr char kDbProperties[] = "C:\\App\\PLUV\\db.properties";

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0;
}
bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
  return text.rfind(prefix, 0) == 0;
}
bool EndsWith(const std::wstring& text, const std::wstring& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), std::wstring::npos, suffix) == 0;
}
std::string CallName(const std::string& call) {
  return call.substr(0, call.find(' '));
}
std::string CallArgument(const std::string& call) {
  const size_t blank = call.find(' ');
  return blank == std::string::npos ? std::string() : call.substr(blank + 1);
}

// The typical run, either as it is, or with every optional step taken: boxes shown for each
// message, the machine's db.properties kept across the restore, and a client that runs long enough
// for the wait to go round its loop, waited for to its end with its progress shown.
std::unique_ptr<TypicalRun> MakeRun(bool everyStep) {
  auto run = std::make_unique<TypicalRun>();
  if (everyStep) {
    run->host.commandLine = L"\"C:\\bk\" \"default\" \"Y\" \"Y\"";
    run->host.AddFile(L"C:\\App\\PLUV\\db.properties",
                      "DB_PROVIDER=SQLOLEDB\r\ndbconn.appl.url=jdbc:x://kept:1433;name=y\r\n");
    run->host.environment[L"QELRESTORE_CLIENT_WAIT"] = L"0";
    FakeProcess client = RestoringClient(600);
    client.output[kClientOutput].insert(0, "100 percent processed.\r\n");
    run->host.processes = {client};
  }
  return run;
}

size_t FirstIndex(const std::vector<std::string>& calls, const std::string& prefix) {
  const auto found = std::find_if(calls.begin(), calls.end(), [&](const std::string& call) {
    return StartsWith(call, prefix);
  });
  return static_cast<size_t>(found - calls.begin());
}

// The index of the last call that starts with `prefix`; calls.size() when there is none.
size_t LastIndex(const std::vector<std::string>& calls, const std::string& prefix) {
  for (size_t index = calls.size(); index > 0; --index) {
    if (StartsWith(calls[index - 1], prefix)) return index - 1;
  }
  return calls.size();
}

// The checkpoint of the step that makes call `index` of the typical run: a message's box, time
// reading, time text and line belong to the step that logs it; every other call to the step that
// needs it. -1 for a call no step of the typical run makes.
int32_t StepOf(const std::vector<std::string>& calls, size_t index) {
  const auto isLogCall = [](const std::string& call) {
    const std::string name = CallName(call);
    return name == "MessageBox" || name == "Now" || name == "FormatDateTime";
  };
  size_t line = index;
  while (line < calls.size() && isLogCall(calls[line])) ++line;
  if (line < calls.size() && CallName(calls[line]) == "writeLine" &&
      (line == index || isLogCall(calls[index]))) {
    const std::string message = CallArgument(calls[line]).substr(21);  // after the time text
    const struct {
      const char* prefix;
      int32_t checkpoint;
    } messageSteps[] = {{"QEL start Restore", 39},
                        {"Start copying from", 68},
                        {"Restore Folder completed", 691},
                        {"SQL start Restore", 113},
                        {"\"", 117},
                        {"SQL restore verified", 117},
                        {"SQL Restore Complete", 122}};
    for (const auto& step : messageSteps) {
      if (StartsWith(message, step.prefix)) return step.checkpoint;
    }
    return -1;
  }
  const std::string& call = calls[index];
  const size_t dbOpened = FirstIndex(calls, std::string("OpenForInput ") + kDbProperties);
  if (call == "Read") return index < dbOpened ? 54 : 84;
  // The kept db.properties goes to its folder before the copy and comes back after it.
  if (call == "KeptSettingsFolder")
    return index < FirstIndex(calls, "CopyFolderContents") ? 58 : 76;
  const struct {
    std::string prefix;
    int32_t checkpoint;
  } callSteps[] = {
      {std::string("CopyFileOwnerOnly ") + kDbProperties, 58},
      {"FolderExists C:\\App\\", 59},
      {"FolderExists C:\\bk", 63},
      {"CopyFolderContents", 69},
      // The saved copy's mark is made with the save, and goes with the put-back.
      {"CopyFileOwnerOnly C:\\qel\\curdb.properties.bak -> C:\\qel\\curdb.properties.bak.pending",
       58},
      {"CopyFileKeepingAccess C:\\qel\\curdb.properties.bak", 76},
      {"RemoveFile C:\\qel\\curdb.properties.bak.pending", 76},
      {std::string("FileExists ") + kDbProperties, 77},
      {std::string("OpenForInput ") + kDbProperties, 81},
      {"QueryRegistryValue", 116},
      {"Now", 117},  // the wait's clock
  };
  for (const auto& step : callSteps) {
    if (StartsWith(call, step.prefix)) return step.checkpoint;
  }
  return -1;
}

// How a run with one failed call must end.
enum class End {
  kUnchanged,         // as the fault-free run: the call's contract leaves the run its road
  kLogNotConfirmed,   // as the fault-free run, plus the box that the log could not be created
  kStopped,           // status 2 with `message` last in the log
  kRefused,           // status 2 with `message` in a box, before anything is written
  kCopyIncomplete,    // status 5: "Restore Folder NOT complete", the rest of the run done
  kWithoutDatabase,   // status 0, ended before the database part
  kNoClientFolder,    // status 5, the client named without a folder (the key was not readable)
  kClientNotStarted,  // status 5, the start's failure logged
  kNotVerified,       // status 6, `message` the verdict on the database restore
  kReported,          // status 3, the error report of `code` at `checkpoint`
  kUnhandled,         // status 4, the host's own report
};

struct Expected {
  Expected(End e, std::wstring m = {}, int32_t c = 0, int32_t at = 0)
      : end(e), message(std::move(m)), code(c), checkpoint(at) {}
  End end;
  std::wstring message;  // the last log message of a stopped run, the verdict of an unverified one
  int32_t code;          // the reported error's code and checkpoint
  int32_t checkpoint;
};

const std::wstring kNotVerified = L"SQL restore not verified: ";

// The end a failed call leads to wherever the run makes it, by the call's name and argument (a
// prefix of the recorded call); the fault kinds a rule names are the only ones it covers.
struct Rule {
  std::string call;
  std::vector<Fault> faults;
  Expected expected;
};

const std::vector<Rule>& Rules() {
  static const std::vector<Rule> rules = {
      // Calls whose contract has no failure, or whose failure the run takes in its stride.
      {"YieldToEvents", {Fault::kFail}, {End::kUnchanged}},
      {"DecodeText", {Fault::kFail}, {End::kUnchanged}},
      {"DecodeConsoleText", {Fault::kFail}, {End::kUnchanged}},
      {"PathAsOpened", {Fault::kFail}, {End::kUnchanged}},
      {"FullPath", {Fault::kFail}, {End::kUnchanged}},
      // A saved copy's mark not seen: the settings are saved afresh.
      {"FileExists C:\\qel\\curdb.properties.bak", {Fault::kFail}, {End::kUnchanged}},
      {"ShowProgress", {Fault::kFail}, {End::kUnchanged}},
      // Only a lock taken lets a run go on.
      {"LockRun",
       {Fault::kFail},
       {End::kRefused, std::wstring(L"The run lock C:\\qel\\qelrestore.lock could not be taken (") +
                           kInjected + L"); nothing was changed"}},
      {"EnvironmentVariable", {Fault::kFail}, {End::kUnchanged}},  // the default wait
      {"IdentifyFolder", {Fault::kFail}, {End::kUnchanged}},       // the text comparison decides
      {"FileExists " + kPathConfPath,
       {Fault::kFail},
       {End::kStopped, Wide(kPathConfPath) + L"not found. Pls. check"}},
      {std::string("FileExists ") + kDbProperties, {Fault::kFail}, {End::kWithoutDatabase}},
      {"FolderExists C:\\App\\", {Fault::kFail}, {End::kStopped, L"C:/App/not exist. Pls. check"}},
      {"ProfileFolder",
       {Fault::kFail},
       {End::kStopped, L"\\.corvilane\\path.confnot found. Pls. check"}},
      {"CopyFolderContents", {Fault::kFail, Fault::kHalfWay}, {End::kCopyIncomplete}},
      {"QueryRegistryValue32", {Fault::kFail}, {End::kNoClientFolder}},
      {"Start", {Fault::kFail}, {End::kClientNotStarted}},
      // An earlier run's output cannot speak for this one, nor can output that cannot be read.
      {"RemoveFile " + kClientOutputPath,
       {Fault::kFail},
       {End::kNotVerified,
        kNotVerified + L"the output of an earlier run could not be removed: " + kInjected}},
      {"Wait",
       {Fault::kFail},
       {End::kNotVerified, kNotVerified +
                               L"the end of the SQL client could not be watched; its output is "
                               L"in " +
                               Wide(kClientOutputPath)}},
      {"OpenForInput " + kClientOutputPath,
       {Fault::kFail},
       {End::kNotVerified, kNotVerified + kInjected}},
  };
  return rules;
}

Expected ExpectedEnd(const std::vector<std::string>& calls, size_t index, Fault fault,
                     int32_t failCode) {
  const std::string& call = calls[index];
  // The last call before the trap is armed (checkpoint 53) opens path.conf.
  const bool trapArmed = index > FirstIndex(calls, "OpenForInput");

  if (call == "FileExists " + kLogPath) {
    // Asked before the log is opened the answer was already "no"; asked after, the program tells
    // that the log could not be created and goes on.
    return {index < FirstIndex(calls, "OpenLog") ? End::kUnchanged : End::kLogNotConfirmed};
  }
  if (call == "FolderExists C:\\bk") {
    return {End::kStopped, trapArmed ? L"C:\\bkcan not be found. Pls. check"
                                     : L"C:\\bkbackup directory not found. Pls. check"};
  }
  // The client's output is read by the verdict last; the looks of the progress display before it
  // are best effort and leave the run as it was.
  const size_t verdictOpen = LastIndex(calls, "OpenForInput " + kClientOutputPath);
  if (index > FirstIndex(calls, "Start") && index < verdictOpen &&
      (call == "Read" || StartsWith(call, "OpenForInput "))) {
    return {End::kUnchanged};
  }
  if (call == "Read" && index > verdictOpen) return {End::kNotVerified, kNotVerified + kInjected};
  for (const Rule& rule : Rules()) {
    if (StartsWith(call, rule.call) &&
        std::find(rule.faults.begin(), rule.faults.end(), fault) != rule.faults.end()) {
      return rule.expected;
    }
  }
  if (!trapArmed) return {End::kUnhandled};
  return {End::kReported, {}, failCode, StepOf(calls, index)};
}

// The fault-free run that the faults are injected into.
struct Reference {
  int status = 0;
  std::vector<std::string> calls;
  std::vector<std::wstring> lines;
  std::vector<std::wstring> messages;
  std::vector<std::wstring> boxes;
  std::vector<size_t> lineCalls;  // the index of the call that wrote each line
};

Reference Record(bool everyStep) {
  auto run = MakeRun(everyStep);
  Reference reference;
  reference.status = run->Execute();
  reference.calls = run->host.calls;
  reference.lines = run->host.Lines(kLog);
  reference.messages = run->Log();
  reference.boxes = run->host.boxes;
  for (size_t i = 0; i < reference.calls.size(); ++i) {
    if (StartsWith(reference.calls[i], "writeLine ")) reference.lineCalls.push_back(i);
  }
  return reference;
}

bool Contains(const std::vector<std::wstring>& texts, const std::wstring& text) {
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

// What holds after any fault: the lines logged before it are there, nothing was written outside
// the installation folder and the program folder (which holds the log), and no wait was left.
void CheckInvariants(const FakeHost& host, const Reference& reference, size_t firstFault) {
  const std::vector<std::wstring> lines = host.Lines(kLog);
  for (size_t line = 0; line < reference.lineCalls.size(); ++line) {
    if (reference.lineCalls[line] >= firstFault) break;
    ASSERT_LT(line, lines.size()) << "a line logged before the fault is missing";
    EXPECT_EQ(lines[line], reference.lines[line]);
  }
  for (const std::wstring& path : host.writtenPaths) {
    EXPECT_TRUE(StartsWith(path, L"C:\\App\\") || StartsWith(path, L"C:\\qel\\"))
        << "written: " << Narrow(path);
  }
  EXPECT_LT(host.clockMilliseconds, 7000);
  EXPECT_EQ(host.openProcesses, 0);
}

void CheckEnd(const Expected& expected, int status, const TypicalRun& run,
              const Reference& reference) {
  const FakeHost& host = run.host;
  const std::vector<std::wstring> messages = run.Log();
  const std::wstring last = messages.empty() ? L"" : messages.back();
  switch (expected.end) {
    case End::kUnchanged:
      EXPECT_EQ(status, reference.status);
      EXPECT_EQ(messages, reference.messages);
      EXPECT_EQ(host.boxes, reference.boxes);
      break;
    case End::kLogNotConfirmed:
      EXPECT_EQ(status, reference.status);
      EXPECT_EQ(messages, reference.messages);
      EXPECT_TRUE(Contains(
          host.boxes,
          L"Cannot Create logfile because path incorrect, directory not found.Pls. check"));
      break;
    case End::kStopped:
      EXPECT_EQ(status, kExitStopped);
      EXPECT_EQ(last, expected.message);
      EXPECT_EQ(host.inputsOpenWhenStreamReleased, 0);
      EXPECT_TRUE(host.startedCommands.empty());
      break;
    case End::kRefused:
      EXPECT_EQ(status, kExitStopped);
      EXPECT_EQ(host.boxes, std::vector<std::wstring>{expected.message});
      EXPECT_TRUE(host.writtenPaths.empty());
      break;
    case End::kCopyIncomplete:
      EXPECT_EQ(status, kExitIncomplete);
      EXPECT_TRUE(Contains(messages, L"Restore Folder NOT complete"));
      EXPECT_FALSE(Contains(messages, L"Restore Folder completed"));
      // The database part needs a db.properties, restored or kept.
      EXPECT_EQ(last, host.files.count(Wide(kDbProperties)) != 0
                          ? L"SQL Restore Complete"
                          : L"QEL Restore completed without SQLServer version");
      break;
    case End::kWithoutDatabase:
      EXPECT_EQ(status, kExitCompleted);
      EXPECT_EQ(last, L"QEL Restore completed without SQLServer version");
      EXPECT_TRUE(host.startedCommands.empty());
      break;
    case End::kNoClientFolder:
      // Nothing is started from the drive's root; the run says the client was not started.
      EXPECT_EQ(status, kExitIncomplete);
      EXPECT_TRUE(host.startedCommands.empty());
      ASSERT_GE(messages.size(), 2u);
      EXPECT_EQ(messages[messages.size() - 2],
                L"SQL client could not be started: no folder is registered for the SQL client (the "
                L"value SQLPath of HKEY_LOCAL_MACHINE\\" +
                    std::wstring(kMsdeKey) + L", in the registry)");
      EXPECT_EQ(last, L"SQL Restore Complete");
      break;
    case End::kNotVerified:
      EXPECT_EQ(status, kExitNotVerified);
      ASSERT_GE(messages.size(), 2u);
      EXPECT_EQ(messages[messages.size() - 2], expected.message);
      EXPECT_EQ(last, L"SQL Restore Complete");
      break;
    case End::kClientNotStarted:
      EXPECT_EQ(status, kExitIncomplete);
      ASSERT_GE(messages.size(), 2u);
      EXPECT_EQ(messages[messages.size() - 2], L"SQL client could not be started: injected fault");
      EXPECT_EQ(last, L"SQL Restore Complete");
      EXPECT_TRUE(Contains(host.boxes, L"error"));
      break;
    case End::kReported: {
      EXPECT_EQ(status, kExitErrorReport);
      ASSERT_NE(expected.checkpoint, -1) << "a call no step of the run makes";
      const std::wstring where =
          NumberText(expected.code) + L"line no:" + NumberText(expected.checkpoint) + L"Desc:";
      ASSERT_FALSE(host.boxes.empty());
      EXPECT_TRUE(StartsWith(host.boxes.back(), L"Unexpected error" + NumberText(expected.code) +
                                                    L" line no" + NumberText(expected.checkpoint) +
                                                    L" in printing.\r\n"))
          << Narrow(host.boxes.back());
      // A line torn by a half-way write has the record right after it.
      EXPECT_NE(last.find(L"Error:" + where), std::wstring::npos) << Narrow(last);
      EXPECT_TRUE(EndsWith(last, where + kInjected)) << Narrow(last);
      // File number 1 closed by the run's clean-up, before the log was let go.
      EXPECT_EQ(host.inputsOpenWhenStreamReleased, 0);
      EXPECT_EQ(host.openStreams, 0);
      break;
    }
    case End::kUnhandled:
      EXPECT_EQ(status, kExitUnhandled);
      ASSERT_FALSE(host.boxes.empty());
      EXPECT_TRUE(StartsWith(host.boxes.back(), L"Unhandled error" + NumberText(host.failCode)));
      EXPECT_TRUE(EndsWith(host.boxes.back(), kInjected));
      for (const std::wstring& box : host.boxes) {
        EXPECT_FALSE(StartsWith(box, L"Unexpected error"));
      }
      EXPECT_TRUE(host.startedCommands.empty());
      break;
  }
}

std::vector<Fault> FaultsFor(const std::string& name) {
  if (name == "writeLine" || name == "CopyFileOwnerOnly" || name == "CopyFileKeepingAccess") {
    return {Fault::kFail, Fault::kHalfWay};
  }
  if (name == "CopyFolderContents") return {Fault::kFail, Fault::kHalfWay, Fault::kThrow};
  if (name == "QueryRegistryValue32") return {Fault::kFail, Fault::kThrow};
  return {Fault::kFail};
}

const char* FaultName(Fault fault) {
  switch (fault) {
    case Fault::kFail:
      return "fails";
    case Fault::kHalfWay:
      return "fails half-way";
    case Fault::kThrow:
      return "throws";
  }
  return "";
}

TEST(FaultInjectionTest, EveryCallOfACompleteRunFailingEndsTheRunAsItsKindRequires) {
  int faults = 0;
  int reportFaults = 0;
  size_t callsCounted = 0;
  for (const bool everyStep : {false, true}) {
    const Reference reference = Record(everyStep);
    ASSERT_EQ(reference.status, kExitCompleted);
    ASSERT_EQ(reference.messages.back(), L"SQL Restore Complete");
    callsCounted += reference.calls.size();
    for (size_t index = 0; index < reference.calls.size(); ++index) {
      for (const Fault fault : FaultsFor(CallName(reference.calls[index]))) {
        SCOPED_TRACE(std::string(everyStep ? "every step, " : "typical, ") + "call " +
                     std::to_string(index) + " " + reference.calls[index] + " " + FaultName(fault));
        const int32_t failCode = fault == Fault::kHalfWay ? code::kDiskFull : code::kDeviceIo;
        auto run = MakeRun(everyStep);
        run->host.failCode = failCode;
        run->host.faults[static_cast<int64_t>(index)] = fault;
        const int status = run->Execute();
        ++faults;
        ASSERT_EQ(run->host.calls[index], reference.calls[index]) << "the run changed its road";
        const Expected expected = ExpectedEnd(reference.calls, index, fault, failCode);
        CheckEnd(expected, status, *run, reference);
        CheckInvariants(run->host, reference, index);
        if (expected.end != End::kReported) continue;

        // The error report is not trapped again: a fault in its box, its time text or its
        // record ends the run in the host's own report.
        const std::vector<std::string>& calls = run->host.calls;
        const size_t box = FirstIndex(calls, "MessageBox Unexpected error");
        ASSERT_LT(box + 3, calls.size());
        ASSERT_TRUE(StartsWith(calls[box + 3], "writeLine ")) << calls[box + 3];
        for (size_t reportCall = box; reportCall <= box + 4; ++reportCall) {
          const size_t at = std::min(reportCall, box + 3);
          const Fault reportFault = reportCall == box + 4 ? Fault::kHalfWay : Fault::kFail;
          SCOPED_TRACE("then the report's " + calls[at].substr(0, 20) + " " +
                       FaultName(reportFault));
          auto second = MakeRun(everyStep);
          second->host.failCode = failCode;
          second->host.faults = {{static_cast<int64_t>(index), fault},
                                 {static_cast<int64_t>(at), reportFault}};
          EXPECT_EQ(second->Execute(), kExitUnhandled);
          ++reportFaults;
          ASSERT_FALSE(second->host.boxes.empty());
          EXPECT_TRUE(
              StartsWith(second->host.boxes.back(), L"Unhandled error" + NumberText(failCode)))
              << Narrow(second->host.boxes.back());
          CheckInvariants(second->host, reference, index);
        }
      }
    }
  }
  std::cout << "[ faults   ] " << faults << " faults injected at the " << callsCounted
            << " calls of two complete runs, " << reportFaults
            << " more during their error reports\n";
  EXPECT_GT(faults, 100);
}

}  // namespace
}  // namespace qelrestore::test
