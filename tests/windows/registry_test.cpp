// The Windows registry as the host reads it: values past the first read's buffer, the two
// views, what is missing, and text outside the code page.
#include <optional>

#include "host/windows/windows_api.h"
#include "restore/registry_reader.h"
#include "tests/windows/windows_toolkit.h"

namespace qelrestore::test {
namespace {

using RegistryTest = WindowsHostTest;

TEST_F(RegistryTest, AValueOf3000CharactersIsReadWholeItsNulIncluded) {
  const RegistryAnswer value = host.QueryRegistryValue(RegistryView::k64Bit, kCheckKey, L"Long");
  EXPECT_EQ(value.found, RegistryAnswer::Found::kValue);
  EXPECT_EQ(value.type, RegistryType::kString);
  ASSERT_TRUE(value.text.has_value());
  EXPECT_EQ(value.text->size(), 3001u);
}

TEST_F(RegistryTest, WhatIsMissingIsToldApart) {
  EXPECT_EQ(host.QueryRegistryValue(RegistryView::k32Bit, kCheckKey, L"Long").found,
            RegistryAnswer::Found::kNoKey)
      << "a key of the 64-bit view is not in the 32-bit view";
  EXPECT_EQ(host.QueryRegistryValue(RegistryView::k64Bit, kCheckKey, L"Missing").found,
            RegistryAnswer::Found::kNoValue)
      << "a missing value of a present key is told apart from a missing key";
  const RegistryAnswer empty = host.QueryRegistryValue(RegistryView::k64Bit, kCheckKey, L"Empty");
  EXPECT_EQ(empty.found, RegistryAnswer::Found::kValue) << "zero-length data is a value";
  EXPECT_EQ(empty.type, RegistryType::kBinary);
  EXPECT_TRUE(empty.data.empty());
}

// SQLPath C:\qel\<fullwidth t>ools: read by a code page it would name C:\qel\tools.
TEST_F(RegistryTest, TextIsReadAsItStandsNotTurnedIntoALookAlike) {
  EXPECT_EQ(
      RegistryValueText(host, ReadRegistryValue(host, host, kCheckKey, L"LookAlike", std::nullopt)),
      L"C:\\qel\\\uFF54ools");
}

// A writer that passed the wrong size stored SQLPath without its terminating NUL: every
// character stored is the folder's.
TEST_F(RegistryTest, AStringStoredWithoutItsTerminatorKeepsItsLastCharacter) {
  HKEY key = nullptr;
  ASSERT_EQ(
      ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCheckKey, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &key),
      ERROR_SUCCESS);
  const std::wstring folder = L"C:\\qel\\tools";
  const LONG stored = ::RegSetValueExW(key, L"NoTerminator", 0, REG_SZ,
                                       reinterpret_cast<const BYTE*>(folder.data()),
                                       static_cast<DWORD>(folder.size() * sizeof(wchar_t)));
  ::RegCloseKey(key);
  ASSERT_EQ(stored, ERROR_SUCCESS);
  EXPECT_EQ(RegistryValueText(
                host, ReadRegistryValue(host, host, kCheckKey, L"NoTerminator", std::nullopt)),
            folder);
}

}  // namespace
}  // namespace qelrestore::test
