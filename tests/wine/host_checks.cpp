// Checks of the Windows host on a real (wine) system, for what the end-to-end table cannot reach:
// exit codes above 2^31, registry values past the first read's buffer or outside the code page,
// input paths that are no disk files, folder copies and their plan, folder identity, the kept
// settings file's copy, lines on standard output, the client's output in the console's code
// page. run_wine_tests.sh prepares the
// registry key, the files and the environment, runs it and looks for its standard output line:
//
//   host_checks.exe STANDIN-CLIENT-PATH SCRATCH-FOLDER
//
// Prints a line per failed check and exits 1 when any failed.
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "host/windows/windows_api.h"
#include "host/windows/windows_host.h"
#include "host/windows/windows_text.h"
#include "restore/client_output.h"
#include "support/error.h"
#include "restore/registry_reader.h"

namespace {

using qelrestore::Error;
using qelrestore::ProcessState;
using qelrestore::RegistryAnswer;
using qelrestore::RegistryType;
using qelrestore::RegistryView;

// The key run_wine_tests.sh fills in the 64-bit view only.
constexpr wchar_t kKey[] = L"SOFTWARE\\QelHostCheck";

int failures = 0;

void Check(bool passed, const char* what) {
  if (passed) return;
  std::printf("FAIL %s\n", what);
  ++failures;
}

// The code of the Error `action` throws; 0 when it throws none.
int32_t CodeThrown(const std::function<void()>& action) {
  try {
    action();
  } catch (const Error& error) {
    return error.code();
  }
  return 0;
}

// The content of a file, read through the host; empty when it cannot be read.
std::string Content(qelrestore::Host& host, const std::wstring& path) {
  std::string text;
  try {
    const auto reader = host.OpenForInput(path);
    char buffer[256];
    for (size_t got; (got = reader->Read(buffer, sizeof buffer)) != 0;) text.append(buffer, got);
  } catch (const Error&) {
  }
  return text;
}

// run_wine_tests.sh made wide\<name>\a.txt for each name below and wide\backup\a.txt, and
// audit\source and audit\destination (a file where the folder sub goes).
// The entries a copy did not copy, "PATH: REASON|" each.
std::wstring NotCopiedText(const qelrestore::FolderCopy& copy) {
  std::wstring named;
  for (const auto& entry : copy.notCopied) named += entry.path + L": " + entry.reason + L"|";
  return named;
}

void CheckFolderCopies(qelrestore::Host& host, const std::wstring& scratch) {
  const std::wstring wide = scratch + L"\\wide\\";
  // A fullwidth b (a code page makes it "backup", another folder), Cyrillic and an emoji.
  for (const std::wstring name : {L"\uFF42"
                                  L"ackup",
                                  L"\u0414\u043E\u043C\U0001F4C1"}) {
    const qelrestore::FolderCopy copy =
        host.CopyFolderContents(wide + name, wide + L"to-" + name, true);
    Check(copy.outcome == qelrestore::CopyOutcome::kComplete &&
              Content(host, wide + L"to-" + name + L"\\a.txt") == "wide",
          "a folder named outside the code page is copied, not another one");
    if (copy.outcome != qelrestore::CopyOutcome::kComplete)
      std::printf("  not copied: %s\n", qelrestore::windows::ToUtf8(NotCopiedText(copy)).c_str());
  }

  const std::wstring audit = scratch + L"\\audit\\";
  const qelrestore::CopyPlan plan = host.PlanFolderCopy(audit + L"source", audit + L"destination");
  Check(plan.files == 1 && plan.bytes == 6 && plan.replacing == 0,
        "the plan leaves out what the copy cannot copy: a folder where a file stands");
  const qelrestore::FolderCopy copy =
      host.CopyFolderContents(audit + L"source", audit + L"destination", true);
  const std::wstring named = NotCopiedText(copy);
  Check(copy.outcome == qelrestore::CopyOutcome::kIncomplete && copy.notCopiedCount == 1 &&
            named == audit + L"source\\sub: a file stands where a folder goes|",
        "a folder the shell left out without saying so is named");
  if (copy.notCopiedCount != 1)
    std::printf("  not copied: %s\n", qelrestore::windows::ToUtf8(named).c_str());
  Check(Content(host, audit + L"destination\\a.txt") == "copied", "the rest is copied");

  // long\source\d...\e...\f.txt is past 260 characters: wine's shell leaves it out unsaid.
  const std::wstring longer = scratch + L"\\long\\";
  const qelrestore::FolderCopy longCopy =
      host.CopyFolderContents(longer + L"source", longer + L"destination", true);
  const std::wstring deep = std::wstring(120, L'd') + L"\\" + std::wstring(120, L'e');
  const bool copied =
      Content(host, L"\\\\?\\" + longer + L"destination\\" + deep + L"\\f.txt") == "long";
  Check(copied ? longCopy.outcome == qelrestore::CopyOutcome::kComplete
               : longCopy.notCopiedCount == 1 &&
                     NotCopiedText(longCopy) ==
                         longer + L"source\\" + deep + L": it is not in the installation folder|",
        "a path past 260 characters is copied, or named as not copied");
}

// run_wine_tests.sh made kept\new.properties, a read-only kept\ro-source.properties, kept\link.bak
// a hard link to kept\victim, and a read-only kept\ro.bak.
void CheckKeptFileCopies(qelrestore::Host& host, const std::wstring& scratch) {
  const std::wstring kept = scratch + L"\\kept\\";
  host.CopyFile(kept + L"new.properties", kept + L"link.bak");
  Check(Content(host, kept + L"link.bak") == "new" && Content(host, kept + L"victim") == "victim",
        "a hard link at the destination is replaced, its target left as it was");
  host.CopyFile(kept + L"new.properties", kept + L"ro.bak");
  Check(Content(host, kept + L"ro.bak") == "new", "a read-only destination is replaced");
  host.CopyFile(kept + L"ro-source.properties", kept + L"fresh.bak");
  const DWORD attributes = ::GetFileAttributesW((kept + L"fresh.bak").c_str());
  Check(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) == 0,
        "the copy of a read-only file is not read-only");
  Check(CodeThrown([&] { host.CopyFile(kept + L"new.properties", kept + L"fresh.bak"); }) == 0,
        "a later save replaces the copy of a read-only file");
}

int RunChecks(const std::wstring& standin, const std::wstring& scratch) {
  qelrestore::windows::WindowsHost host(L"host checks");

  // QEL_STANDIN_STATUS=3221225477 (0xC0000005, an access violation's status) is set by the script.
  const auto process = host.Start(L"\"" + standin + L"\" -o \"" + scratch + L"\\client.out\"",
                                  qelrestore::WindowStyle::kNormal, L"");
  Check(process != nullptr, "a started client can be waited for");
  if (process != nullptr) {
    // Only a failure bound: the wait returns as the client ends, but wine starts it slowly when
    // the machine is busy.
    const ProcessState ended = process->Wait(120000);
    Check(ended.kind == ProcessState::Kind::kExited && ended.code == 3221225477,
          "an exit status above 2^31 comes back unsigned");
    Check(process->Wait(0).code == 3221225477, "a later wait gives the same status at once");
  }
  Check(CodeThrown([&] {
          host.Start(scratch + L"\\missing.exe", qelrestore::WindowStyle::kNormal, L"");
        }) == qelrestore::code::kFileNotFound,
        "a missing program is error 53");

  const RegistryAnswer longValue = host.QueryRegistryValue(RegistryView::k64Bit, kKey, L"Long");
  Check(longValue.found == RegistryAnswer::Found::kValue &&
            longValue.type == RegistryType::kString && longValue.text &&
            longValue.text->size() == 3001,
        "a value of 3000 characters is read whole, its NUL included");
  Check(host.QueryRegistryValue(RegistryView::k32Bit, kKey, L"Long").found ==
            RegistryAnswer::Found::kNoKey,
        "a key of the 64-bit view is not in the 32-bit view");
  Check(host.QueryRegistryValue(RegistryView::k64Bit, kKey, L"Missing").found ==
            RegistryAnswer::Found::kNoValue,
        "a missing value of a present key is told apart from a missing key");
  const RegistryAnswer empty = host.QueryRegistryValue(RegistryView::k64Bit, kKey, L"Empty");
  Check(empty.found == RegistryAnswer::Found::kValue && empty.type == RegistryType::kBinary &&
            empty.data.empty(),
        "zero-length data is a value without bytes");

  Check(CodeThrown([&] { host.OpenForInput(L"NUL"); }) == qelrestore::code::kPathFileAccess,
        "a device is refused as input");
  Check(CodeThrown([&] { host.OpenForInput(scratch); }) == qelrestore::code::kPathFileAccess,
        "a folder is refused as input");
  Check(CodeThrown([&] { host.OpenForInput(scratch + L"\\missing.txt"); }) ==
            qelrestore::code::kFileNotFound,
        "a missing input file is error 53");
  Check(CodeThrown([&] {
          host.RemoveFile(scratch + L"\\missing.txt");
          host.RemoveFile(scratch + L"\\no folder\\missing.txt");
        }) == 0,
        "removing a file that is not there, or whose folder is not, is no failure");

  Check(!host.EnvironmentVariable(L"QEL_HOST_CHECK_UNSET").has_value(),
        "an unset variable is nothing");
  const auto emptyVariable = host.EnvironmentVariable(L"QEL_HOST_CHECK_EMPTY");
  Check(emptyVariable.has_value() && emptyVariable->empty(), "a variable set empty is empty text");

  // plan\source: a.txt (3 bytes), .hidden (7, hidden under wine), sub\b.txt (5), an empty
  // folder; plan\destination already has sub\b.txt.
  const qelrestore::CopyPlan plan =
      host.PlanFolderCopy(scratch + L"\\plan\\source", scratch + L"\\plan\\destination");
  Check(plan.files == 3 && plan.bytes == 15 && plan.replacing == 1,
        "the plan counts hidden and nested files, not folders, and the one it would replace");

  // The client writes its output file in the console's code page: 437 or 850 in a western
  // locale (wine's own is 437), where 0x94 is "ö"; it is "”" in the ANSI code page 1252.
  const std::wstring output = scratch + L"\\client-oem.out";
  if (FILE* file = _wfopen(output.c_str(), L"wb")) {
    std::fputs(
        "Meldung 3201, Ebene 16, Status 2, Zeile 1\r\nkann nicht ge\x94"
        "ffnet werden.\r\n",
        file);
    std::fclose(file);
  }
  const UINT console = ::GetOEMCP();
  Check((console == 437 || console == 850) && ::GetACP() != console,
        "a western locale: console code page 437 or 850, another ANSI code page");
  Check(qelrestore::ReadClientOutput(host, output).error ==
            L"Meldung 3201, Ebene 16, Status 2, Zeile 1 kann nicht ge\u00F6ffnet werden.",
        "the client's output is read in the console's code page");
  CheckFolderCopies(host, scratch);
  CheckKeptFileCopies(host, scratch);

  // Identity: spelled with other case, forward slashes and a trailing one, and reached through a
  // Unix link (wine's form of a junction), plan\source is one folder; its neighbour another.
  const auto source = host.IdentifyFolder(scratch + L"\\plan\\source");
  Check(source.has_value() && source == host.IdentifyFolder(scratch + L"/PLAN/Source/") &&
            source == host.IdentifyFolder(scratch + L"\\alias"),
        "every spelling of a folder and a second path to it have its identity");
  Check(source != host.IdentifyFolder(scratch + L"\\plan\\destination") &&
            !host.IdentifyFolder(scratch + L"\\plan\\source\\a.txt").has_value(),
        "another folder has another identity, a file none");

  // SQLPath C:\qel\<fullwidth t>ools: read by a code page it would name C:\qel\tools.
  Check(qelrestore::RegistryValueText(
            host, qelrestore::ReadRegistryValue(host, kKey, L"LookAlike", std::nullopt)) ==
            L"C:\\qel\\\uFF54ools",
        "a registry text is read as it stands, not turned into a look-alike");
  // The run lock: taken once; a second run (another host) is told the holder's process id.
  const std::wstring lockFile = scratch + L"\\qelrestore.lock";
  Check(!host.LockRun(lockFile).has_value(), "the first run takes the lock");
  qelrestore::windows::WindowsHost second(L"qelrestore");
  const std::optional<int64_t> holder = second.LockRun(lockFile);
  Check(holder.has_value() && *holder == static_cast<int64_t>(::GetCurrentProcessId()),
        "a second run is refused with the holder's process id");

  // run_wine_tests.sh looks for this line, CR LF included, among the output.
  host.OpenStandardOutput()->writeLine(L"standard output line");
  std::printf("host checks: %d failed\n", failures);
  return failures == 0 ? 0 : 1;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::printf("usage: host_checks STANDIN-CLIENT-PATH SCRATCH-FOLDER\n");
    return 2;
  }
  try {
    return RunChecks(argv[1], argv[2]);
  } catch (const Error& error) {
    std::printf("FAIL error %d thrown where none was expected\n", static_cast<int>(error.code()));
    return 1;
  }
}
