// The SQL client as the Windows host starts it, waits for it and reads what it wrote.
#include <cstdio>
#include <string>

#include "host/windows/windows_api.h"
#include "restore/client_output.h"
#include "support/error.h"
#include "tests/windows/windows_toolkit.h"

namespace qelrestore::test {
namespace {

using ClientTest = WindowsHostTest;

// The script starts this test with QEL_STANDIN_STATUS=3221225477 (0xC0000005, an access
// violation's status), which the stand-in client ends with.
TEST_F(ClientTest, AnExitStatusAbove2To31ComesBackUnsigned) {
  const auto process = host.Start(L"\"" + standin + L"\" -o \"" + files + L"\\client.out\"");
  ASSERT_NE(process, nullptr);
  // Only a failure bound: the wait returns as the client ends, but wine starts it slowly when the
  // machine is busy.
  const ProcessState ended = process->Wait(120000);
  EXPECT_EQ(ended.kind, ProcessState::Kind::kExited);
  EXPECT_EQ(ended.code, 3221225477);
  EXPECT_EQ(process->Wait(0).code, 3221225477) << "a later wait gives the same status at once";
}

TEST_F(ClientTest, AMissingProgramIsError53) {
  EXPECT_EQ(CodeThrown([&] { host.Start(files + L"\\missing.exe"); }), code::kFileNotFound);
}

// The client writes its output file in the console's code page: 437 or 850 in a western locale
// (wine's own is 437), where 0x94 is "ö"; it is "”" in the ANSI code page 1252.
TEST_F(ClientTest, ItsOutputIsReadInTheConsolesCodePage) {
  const UINT console = ::GetOEMCP();
  ASSERT_TRUE((console == 437 || console == 850) && ::GetACP() != console)
      << "a western locale: console code page 437 or 850, another ANSI code page";
  const std::wstring output = files + L"\\client-oem.out";
  FILE* file = _wfopen(output.c_str(), L"wb");
  ASSERT_NE(file, nullptr);
  std::fputs(
      "Meldung 3201, Ebene 16, Status 2, Zeile 1\r\nkann nicht ge\x94"
      "ffnet werden.\r\n",
      file);
  std::fclose(file);
  EXPECT_EQ(ReadClientOutput(host, output).error,
            L"Meldung 3201, Ebene 16, Status 2, Zeile 1 kann nicht ge\u00F6ffnet werden.");
}

}  // namespace
}  // namespace qelrestore::test
