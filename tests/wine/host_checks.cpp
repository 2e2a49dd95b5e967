// Checks of the Windows host on a real (wine) system, for what the end-to-end table cannot reach:
// exit codes above 2^31, registry values past the first read's buffer, input paths that are no
// disk files, the plan of a folder copy, lines on standard output. run_wine_tests.sh prepares the
// registry key, the files and the environment, runs it and looks for its standard output line:
//
//   host_checks.exe STANDIN-CLIENT-PATH SCRATCH-FOLDER
//
// Prints a line per failed check and exits 1 when any failed.
#include <cstdio>
#include <functional>
#include <string>

#include "host/windows/windows_host.h"
#include "support/error.h"

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
            longValue.type == RegistryType::kString && longValue.data.size() == 3001,
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
