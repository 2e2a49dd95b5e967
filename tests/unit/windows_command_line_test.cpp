#include "support/windows_command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qelrestore {
namespace {

struct SplitCase {
  const wchar_t* line;
  std::vector<std::wstring> pieces;
};

class SplitTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, GivesThePiecesWindowsGives) {
  EXPECT_EQ(SplitWindowsCommandLine(GetParam().line), GetParam().pieces)
      << "line: " << testing::PrintToString(std::wstring(GetParam().line));
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SplitTest,
    testing::Values(
        // Quotes protect blanks; backslashes not before a quote are literal.
        SplitCase{LR"(p "abc" d e)", {L"p", L"abc", L"d", L"e"}},
        SplitCase{LR"(p a\\\b d"e f"g h)", {L"p", LR"(a\\\b)", L"de fg", L"h"}},
        SplitCase{LR"(p a\\\"b c d)", {L"p", LR"(a\"b)", L"c", L"d"}},
        SplitCase{LR"(p a\\\\"b c" d e)", {L"p", LR"(a\\b c)", L"d", L"e"}},
        SplitCase{LR"(p "hello\"there")", {L"p", LR"(hello"there)"}},
        SplitCase{LR"(p "hello\\")", {L"p", LR"(hello\)"}},
        SplitCase{LR"(p "C:\Hello there.txt")", {L"p", LR"(C:\Hello there.txt)"}},
        SplitCase{LR"(p C:\dir\)", {L"p", LR"(C:\dir\)"}},
        // A doubled quote inside quotes is one literal quote and closes the quoted stretch.
        SplitCase{LR"(p a"b"" c d)", {L"p", LR"(ab")", L"c", L"d"}},
        SplitCase{LR"(p """a b""")", {L"p", LR"("a)", LR"(b")"}},
        SplitCase{LR"(p "" x)", {L"p", L"", L"x"}},
        // Blanks: runs of spaces and tabs separate, leading and trailing ones vanish.
        SplitCase{L"p \t a  \tb \t", {L"p", L"a", L"b"}},
        // The program name: no escapes, ends at its closing quote or the first blank.
        SplitCase{LR"("C:\Program Files\x\" arg)", {LR"(C:\Program Files\x\)", L"arg"}},
        SplitCase{LR"("C:\a b"next)", {LR"(C:\a b)", L"next"}},
        SplitCase{LR"(C:\a"b c)", {LR"(C:\a"b)", L"c"}},
        SplitCase{LR"("unclosed program)", {L"unclosed program"}},
        SplitCase{L" leading", {L"", L"leading"}}, SplitCase{L"", {}}));

TEST(SplitClientCommandLine, KeepsTheStatementWholeWithItsLeadingBlank) {
  const std::wstring statement =
      L" RESTORE DATABASE [QEL_PLUV] From DISK = N'D:\\Backup\\QEL_PLUV.bak' WITH  FILE = 1,  "
      L"NOUNLOAD,  REPLACE,  STATS = 10";
  const std::wstring line = L"\"C:\\Tools\\Binn\\OSQL.exe\" -S dbhost,1433 -E -Q \"" + statement +
                            L"\" -o \"C:\\App\\qelRestorelog.txt07sql\"";
  const std::vector<std::wstring> expected = {
      L"C:\\Tools\\Binn\\OSQL.exe",      L"-S", L"dbhost,1433", L"-E", L"-Q", statement, L"-o",
      L"C:\\App\\qelRestorelog.txt07sql"};
  EXPECT_EQ(SplitWindowsCommandLine(line), expected);
}

TEST(SplitClientCommandLine, EmptyHostAndMissingFolderStillSplit) {
  // No registry folder and no server in the settings: the line is still run as it stands.
  const std::vector<std::wstring> expected = {L"\\Binn\\OSQL.exe", L"-S", L",",       L"-E", L"-Q",
                                              L" RESTORE",         L"-o", L"log07sql"};
  EXPECT_EQ(
      SplitWindowsCommandLine(L"\"\\Binn\\OSQL.exe\" -S , -E -Q \" RESTORE\" -o \"log07sql\""),
      expected);
}

}  // namespace
}  // namespace qelrestore
