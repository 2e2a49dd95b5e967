#include <gtest/gtest.h>

#include "log/run_log.h"
#include "support/error.h"
#include "support/text.h"

namespace qelrestore {
namespace {

int32_t CodeOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Error& e) {
    return e.code();
  }
  return 0;
}

TEST(SplitTest, KeepsEveryPieceAndGivesNoneForTheEmptyText) {
  EXPECT_TRUE(Split(L"", L'=').empty());
  EXPECT_EQ(Split(L"=", L'='), (std::vector<std::wstring>{L"", L""}));
  EXPECT_EQ(Split(L"a=b=c", L'='), (std::vector<std::wstring>{L"a", L"b", L"c"}));
  EXPECT_EQ(Split(std::wstring(L"a\0=b", 4), L'='),
            (std::vector<std::wstring>{std::wstring(L"a\0", 2), L"b"}));
  EXPECT_EQ(CodeOf([] { Piece(Split(L"finalPath", L'='), 1); }), code::kSubscriptOutOfRange);
}

TEST(NormalizeTrailingSeparatorTest, EndsInExactlyOneBackslash) {
  const struct {
    std::wstring path, expected;
  } cases[] = {
      {L"", L"\\"},
      {L"\\", L"\\"},
      {L"\\\\\\", L"\\"},
      {L"D:", L"D:\\"},
      {L"D:\\", L"D:\\"},
      {L"C:\\data\\\\\\", L"C:\\data\\"},
      {L"\\\\server\\share\\\\", L"\\\\server\\share\\"},
      {L"D:/Apps/", L"D:/Apps/\\"},
  };
  for (const auto& c : cases) EXPECT_EQ(NormalizeTrailingSeparator(c.path), c.expected);
}

TEST(NormalizeTrailingSeparatorTest, OverflowsPast32767Characters) {
  EXPECT_EQ(NormalizeTrailingSeparator(std::wstring(32767, L'a')).size(), 32768u);
  EXPECT_EQ(CodeOf([] { NormalizeTrailingSeparator(std::wstring(32768, L'\\')); }),
            code::kOverflow);
}

TEST(TrimAtNulTest, CutsAtTheFirstNul) {
  EXPECT_EQ(TrimAtNul(L""), L"");
  EXPECT_EQ(TrimAtNul(L"C:\\x"), L"C:\\x");
  EXPECT_EQ(TrimAtNul(std::wstring(L"\0ab", 3)), L"");
  EXPECT_EQ(TrimAtNul(std::wstring(L"ab\0cd\0\0", 7)), L"ab");
}

TEST(InStrMidTest, PositionsCountFromOneAndBadArgumentsAreError5) {
  EXPECT_EQ(InStr(1, L"x://a;b", L"://"), 2);
  EXPECT_EQ(InStr(2, L"x://a;b", L";"), 6);
  EXPECT_EQ(InStr(1, L"abc", L"zz"), 0);
  EXPECT_EQ(InStr(9, L"abc", L"c"), 0);
  EXPECT_EQ(Mid(L"abcdef", 2, 3), L"bcd");
  EXPECT_EQ(Mid(L"abc", 3, 10), L"c");
  EXPECT_EQ(Mid(L"abc", 4, 1), L"");
  EXPECT_EQ(CodeOf([] { InStr(0, L"abc", L";"); }), code::kInvalidCall);
  EXPECT_EQ(CodeOf([] { Mid(L"abc", 1, -1); }), code::kInvalidCall);
}

// Nothing in a report may act on the terminal or the log's lines; what prints stays as it is.
TEST(EscapeTest, EveryCharacterThatDoesNotPrintAsItselfIsEscaped) {
  const struct {
    std::wstring text;
    std::wstring escaped;
  } cases[] = {
      {L"a\r\nb\x1B[2J\x7F", L"a\\x0D\\x0Ab\\x1B[2J\\x7F"},
      {L"\x9B"
       L"31m \x85 \x80\x9F",
       L"\\u{009B}31m \\u{0085} \\u{0080}\\u{009F}"},
      {L"\x2028\x2029\x202E\x200B\xFEFF\x2066",
       L"\\u{2028}\\u{2029}\\u{202E}\\u{200B}\\u{FEFF}\\u{2066}"},
      {std::wstring(1, static_cast<wchar_t>(0xDC80)) + static_cast<wchar_t>(0xDCFF), L"\\x80\\xFF"},
      {std::wstring(1, static_cast<wchar_t>(0xD800)), L"\\u{D800}"},
      {L"a\x00AD"
       L"b",
       L"a\\u{00AD}b"},
      {L"\U000E0001\U000E007F\U000E0100", L"\\u{0E0001}\\u{0E007F}\\u{0E0100}"},
      {L"\x0600\x06DD\x034F\xFE0F\x3164\U0001BCA0\U0001D173",
       L"\\u{0600}\\u{06DD}\\u{034F}\\u{FE0F}\\u{3164}\\u{01BCA0}\\u{01D173}"},
      {L"caf\xE9 \x00A0 \x4E2D C:\\x", L"caf\xE9 \x00A0 \x4E2D C:\\x"},
  };
  for (const auto& c : cases) EXPECT_EQ(EscapeControlCharacters(c.text), c.escaped);
}

TEST(NumberTextTest, BlankBeforeZeroAndPositiveNumbers) {
  EXPECT_EQ(NumberText(76), L" 76");
  EXPECT_EQ(NumberText(0), L" 0");
  EXPECT_EQ(NumberText(-5), L"-5");
}

}  // namespace
}  // namespace qelrestore
