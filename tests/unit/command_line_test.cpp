#include <gtest/gtest.h>

#include "driver/command_line.h"

namespace qelrestore {
namespace {

constexpr wchar_t kDefaultLog[] = L"C:\\qel\\qelRestorelog.txt07";

struct Case {
  const wchar_t* commandLine;
  bool accepted;
  Settings expected;
};

TEST(CommandLineTest, FillsThePositionsFromTheNonBlankPieces) {
  const Case cases[] = {
      {L"\"D:\\bk\"", true, {L"D:\\bk", kDefaultLog, L"N", L"N"}},
      {L"\"D:\\bk\" \"default\" \"N\" \"Y\"", true, {L"D:\\bk", kDefaultLog, L"N", L"Y"}},
      {L"\"D:\\bk\" \"DEFAULT\" \"Y\"", true, {L"D:\\bk", kDefaultLog, L"Y", L"N"}},
      {L"\"D:\\bk\" \"Default\"", true, {L"D:\\bk", kDefaultLog, L"N", L"N"}},
      // A blank before the word makes it a path.
      {L"\"D:\\bk\" \" default\"", true, {L"D:\\bk", L" default", L"N", L"N"}},
      // An empty argument fills nothing.
      {L"\"D:\\bk\" \"\" \"N\"", true, {L"D:\\bk", L"N", L"N", L"N"}},
      // The unquoted rest after the closing quote is one piece, leading blank included.
      {L"\"D:\\bk\" D:\\run.log", true, {L"D:\\bk", L" D:\\run.log", L"N", L"N"}},
      {L"\" D:\\bk \"", true, {L" D:\\bk ", kDefaultLog, L"N", L"N"}},
      {L"\"\"", true, {L"", kDefaultLog, L"N", L"N"}},
      {L"\"a\" \"b\" \"c\" \"d\" \"e\"", true, {L"a", L"b", L"c", L"d"}},
      {L"\"D:\\bk\" \"x\" \" N\" \"y\"", true, {L"D:\\bk", L"x", L" N", L"y"}},
      // A tab is not a blank: the piece between two arguments fills a position.
      {L"\"a\"\t\"b\"", true, {L"a", L"\t", L"b", L"N"}},
      {L"", false, {L"", kDefaultLog, L"N", L"N"}},
      {L"D:\\bk", false, {L"", kDefaultLog, L"N", L"N"}},
      {L"\"D:\\bk", false, {L"", kDefaultLog, L"N", L"N"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "command line: " << c.commandLine);
    Settings settings;
    settings.logFilePath = kDefaultLog;
    Step step;
    EXPECT_EQ(ParseCommandLine(c.commandLine, settings, step), c.accepted);
    EXPECT_EQ(step.now(), c.accepted ? 35 : 33);
    EXPECT_EQ(settings.backupDirectory, c.expected.backupDirectory);
    EXPECT_EQ(settings.logFilePath, c.expected.logFilePath);
    EXPECT_EQ(settings.backgroundFlag, c.expected.backgroundFlag);
    EXPECT_EQ(settings.keepCurrentDbProperties, c.expected.keepCurrentDbProperties);
  }
}

TEST(CommandLineTest, SurvivesHugeAndOddInput) {
  std::wstring huge = L"\"" + std::wstring(100000, L'x') + L"\"";
  Settings settings;
  Step step;
  ASSERT_TRUE(ParseCommandLine(huge, settings, step));
  EXPECT_EQ(settings.backupDirectory.size(), 100000u);

  const std::wstring odd(L"\"a\0b\" \"\u00e9\u4e2d\" \"N\"", 14);
  ASSERT_TRUE(ParseCommandLine(odd, settings, step));
  EXPECT_EQ(settings.backupDirectory, std::wstring(L"a\0b", 3));
  EXPECT_EQ(settings.logFilePath, L"\u00e9\u4e2d");
}

}  // namespace
}  // namespace qelrestore
