// What a run meets around it on Windows: its environment, the run lock, standard output.
#include <cstdint>
#include <optional>
#include <string>

#include "host/windows/windows_api.h"
#include "tests/windows/windows_toolkit.h"

namespace qelrestore::test {
namespace {

using RunTest = WindowsHostTest;

// The script leaves QEL_HOST_CHECK_UNSET out and sets QEL_HOST_CHECK_EMPTY empty.
TEST_F(RunTest, AnUnsetVariableIsNothingAndAnEmptyOneEmptyText) {
  EXPECT_FALSE(host.EnvironmentVariable(L"QEL_HOST_CHECK_UNSET").has_value());
  const auto empty = host.EnvironmentVariable(L"QEL_HOST_CHECK_EMPTY");
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());
}

TEST_F(RunTest, ASecondRunIsRefusedWithTheHoldersProcessId) {
  const std::wstring lockFile = files + L"\\qelrestore.lock";
  EXPECT_FALSE(host.LockRun(lockFile).has_value()) << "the first run takes the lock";
  windows::WindowsHost second(L"qelrestore");
  EXPECT_EQ(second.LockRun(lockFile), std::optional<int64_t>(::GetCurrentProcessId()));
}

// A drive without a medium reports its error to the run instead of showing the system's box.
TEST_F(RunTest, TheSystemsOwnErrorBoxesAreKeptAway) {
  ::SetErrorMode(0);
  const windows::WindowsHost fresh(L"qelrestore");
  EXPECT_NE(::GetErrorMode() & SEM_FAILCRITICALERRORS, 0u);
}

// Standard output sent to a file, as a caller's redirection does.
TEST_F(RunTest, StandardOutputLinesEndInCrLf) {
  const std::wstring path = files + L"\\standard-output.txt";
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  const HANDLE saved = ::GetStdHandle(STD_OUTPUT_HANDLE);
  ::SetStdHandle(STD_OUTPUT_HANDLE, file);
  host.OpenStandardOutput()->writeLine(L"standard output line");
  ::SetStdHandle(STD_OUTPUT_HANDLE, saved);
  ::CloseHandle(file);
  EXPECT_EQ(Content(host, path), "standard output line\r\n");
}

}  // namespace
}  // namespace qelrestore::test
