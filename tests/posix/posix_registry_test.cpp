// The .reg file store behind the POSIX host's registry queries: the two views, and a file that
// cannot be read.
#include "host/posix/posix_registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/error.h"
#include "tests/posix/toolkit.h"

namespace qelrestore::posix {
namespace {

using Found = RegistryAnswer::Found;

TEST(PosixRegistryTest, ThirtyTwoBitViewOfSoftwareIsItsWow6432NodeKey) {
  const test::Sandbox sandbox;
  const auto& folder = sandbox.root();
  test::WriteFile(
      folder / "registry.reg",
      "REGEDIT4\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432NODE\\Tools]\r\n\"Path\"=\"thirty-two\"\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tools]\r\n\"Path\"=\"sixty-four\"\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Only64]\r\n\"Path\"=\"x\"\r\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\Setup]\r\n\"Path\"=\"both\"\r\n");
  PosixRegistry registry((folder / "registry.reg").string());
  const struct {
    RegistryView view;
    std::wstring key;
    Found found;
    std::string data;
  } cases[] = {
      {RegistryView::k32Bit, L"software\\tools", Found::kValue, "thirty-two"},
      {RegistryView::k64Bit, L"SOFTWARE\\Tools", Found::kValue, "sixty-four"},
      {RegistryView::k32Bit, L"SOFTWARE\\Only64", Found::kNoKey, ""},
      {RegistryView::k64Bit, L"SOFTWARE\\Only64", Found::kValue, "x"},
      {RegistryView::k32Bit, L"SYSTEM\\Setup", Found::kValue, "both"},
      {RegistryView::k64Bit, L"SYSTEM\\Setup", Found::kValue, "both"},
  };
  for (const auto& c : cases) {
    const RegistryAnswer answer = registry.Query(c.view, c.key, L"path");
    EXPECT_EQ(answer.found, c.found) << std::string(c.key.begin(), c.key.end());
    if (c.found != Found::kValue) continue;
    EXPECT_EQ(answer.type, RegistryType::kString);
    EXPECT_EQ(std::string(answer.data.begin(), answer.data.end()), c.data + '\0');
  }
  EXPECT_EQ(registry.Query(RegistryView::k64Bit, L"SOFTWARE\\Tools", L"other").found,
            Found::kNoValue);
}

TEST(PosixRegistryTest, FileThatIsNoRegularFileIsRefusedAtOnceNamingIt) {
  const test::Sandbox sandbox;
  const auto& folder = sandbox.root();
  const std::string fifo = (folder / "registry.reg").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  PosixRegistry registry(fifo);
  try {
    registry.Query(RegistryView::k32Bit, L"SOFTWARE\\X", L"v");
    ADD_FAILURE() << "a FIFO was read as the registry";
  } catch (const Error& error) {
    EXPECT_NE(error.description().find(std::wstring(fifo.begin(), fifo.end())), std::wstring::npos);
  }
  EXPECT_EQ(PosixRegistry((folder / "absent.reg").string())
                .Query(RegistryView::k64Bit, L"SOFTWARE\\X", L"v")
                .found,
            Found::kNoKey);
}

}  // namespace
}  // namespace qelrestore::posix
