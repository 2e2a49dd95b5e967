#include <gtest/gtest.h>

#include "config/sequential_input.h"
#include "support/error.h"
#include "tests/unit/fake_host.h"

namespace qelrestore {
namespace {

using test::FakeHost;

std::vector<std::wstring> ReadAll(const std::string& content) {
  FakeHost host;
  host.AddFile(L"C:\\f", content);
  SequentialInput input(host);
  input.Open(L"C:\\f");
  std::vector<std::wstring> items;
  while (!input.AtEnd()) items.push_back(input.ReadItem());
  input.Close();
  EXPECT_EQ(host.openInputs, 0);
  return items;
}

TEST(SequentialInputTest, ItemRules) {
  using Items = std::vector<std::wstring>;
  const struct {
    std::string content;
    Items items;
  } cases[] = {
      {"", {}},
      {"finalPath=D:/x/\r\n", {L"finalPath=D:/x/"}},
      {"a\rb\nc\r\nd", {L"a", L"b", L"c", L"d"}},
      {"a\r\n\r\nb\n\nc", {L"a", L"", L"b", L"", L"c"}},
      {"finalPath=D:/x,y/\n", {L"finalPath=D:/x", L"y/"}},
      {"   \tDB_PROVIDER=SQLOLEDB\n", {L"DB_PROVIDER=SQLOLEDB"}},
      {"\"finalPath=D:/x,y/\"\r\nz", {L"finalPath=D:/x,y/", L"z"}},
      {"\"a\"junk,b", {L"a", L"b"}},
      {"\"unterminated", {L"unterminated"}},
      {"key=value  \n", {L"key=value  "}},
      {"a,", {L"a"}},
      {std::string("a\0b\n", 4), {std::wstring(L"a\0b", 3)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "content: " << c.content);
    EXPECT_EQ(ReadAll(c.content), c.items);
  }
}

TEST(SequentialInputTest, LongLinesCrossTheReadChunks) {
  const std::string longValue(1 << 20, 'x');
  const auto items = ReadAll("a=" + longValue + "\r\nb\r\n");
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].size(), longValue.size() + 2);
  EXPECT_EQ(items[1], L"b");
}

TEST(SequentialInputTest, AnItemPastTheLimitIsError7AndTheLimitItselfIsRead) {
  EXPECT_EQ(ReadAll(std::string(SequentialInput::kMaxItemBytes, 'x'))[0].size(),
            SequentialInput::kMaxItemBytes);
  EXPECT_THROW(ReadAll(std::string(SequentialInput::kMaxItemBytes + 1, 'x')), Error);
}

// A supplied file may say it is terabytes long (a sparse file): its reading stops at the limit,
// counted over the whole file, not per item.
TEST(SequentialInputTest, ASuppliedFilePastItsLimitIsError7NamingIt) {
  std::string line(1 << 20, 'x');
  line.back() = '\n';
  std::string content;
  while (content.size() <= SequentialInput::kMaxSuppliedFileBytes) content += line;
  FakeHost host;
  host.AddFile(L"C:\\f", content);
  SequentialInput input(host);
  input.Open(L"C:\\f", /*supplied=*/true);
  try {
    while (!input.AtEnd()) input.ReadItem();
    ADD_FAILURE() << "read to the end";
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), code::kOutOfMemory);
    EXPECT_NE(e.description().find(L"C:\\f longer than 16777216 bytes"), std::wstring::npos);
  }
}

TEST(SequentialInputTest, MisuseIsReportedWithItsCode) {
  FakeHost host;
  host.AddFile(L"C:\\f", "");
  SequentialInput input(host);
  auto codeOf = [](auto action) {
    try {
      action();
    } catch (const Error& e) {
      return e.code();
    }
    return 0;
  };
  EXPECT_EQ(codeOf([&] { input.AtEnd(); }), code::kBadFileNumber);
  EXPECT_EQ(codeOf([&] { input.Open(L"C:\\missing"); }), code::kFileNotFound);
  input.Open(L"C:\\f");
  EXPECT_EQ(codeOf([&] { input.Open(L"C:\\f"); }), code::kFileAlreadyOpen);
  EXPECT_EQ(codeOf([&] { input.ReadItem(); }), code::kInputPastEnd);
  input.Close();
  input.Close();  // closing twice does nothing
  EXPECT_EQ(host.openInputs, 0);
}

}  // namespace
}  // namespace qelrestore
