#include <gtest/gtest.h>

#include "support/error.h"
#include "support/registry_reader.h"
#include "tests/unit/fake_host.h"

namespace qelrestore {
namespace {

constexpr wchar_t kKey[] = L"SOFTWARE\\Tools";

class RegistryReaderTest : public testing::Test {
 protected:
  RegistryValue Read(uint32_t type, const std::string& bytes) {
    host.registry32[kKey][L"V"] = {type, bytes};
    return ReadRegistryValue(host, HKEY_LOCAL_MACHINE, kKey, L"V");
  }
  size_t Queries() const {
    return static_cast<size_t>(std::count_if(host.calls.begin(), host.calls.end(), [](auto& c) {
      return c.rfind("RegQueryValueEx", 0) == 0;
    }));
  }
  void TearDown() override { EXPECT_EQ(host.openRegistryKeys, 0); }

  test::FakeHost host;
};

TEST_F(RegistryReaderTest, ConvertsByType) {
  EXPECT_EQ(Read(REG_SZ, std::string("C:\\Tools\0", 9)), RegistryValue(std::wstring(L"C:\\Tools")));
  EXPECT_EQ(Read(REG_EXPAND_SZ, std::string("%ProgramFiles%\\x\0", 17)),
            RegistryValue(std::wstring(L"%ProgramFiles%\\x")));
  EXPECT_EQ(Read(REG_MULTI_SZ, std::string("a\0b\0\0", 5)),
            RegistryValue(std::wstring(L"a\0b", 3)));
  EXPECT_EQ(Read(REG_DWORD, "\xff\xff\xff\xff"), RegistryValue(int32_t{-1}));
  EXPECT_EQ(Read(REG_DWORD, "\x01\x02"), RegistryValue(int32_t{0x0201}));
  EXPECT_EQ(Read(REG_BINARY, std::string(16, '\x07')), RegistryValue(std::vector<uint8_t>(16, 7)));
}

TEST_F(RegistryReaderTest, ZeroLengthDataGivesEmptyResults) {
  EXPECT_EQ(Read(REG_SZ, ""), RegistryValue(std::wstring()));
  EXPECT_EQ(Read(REG_MULTI_SZ, std::string(1, '\0')), RegistryValue(std::wstring()));
  EXPECT_EQ(Read(REG_BINARY, ""), RegistryValue(std::vector<uint8_t>()));
}

TEST_F(RegistryReaderTest, LargeValuesTakeExactlyOneMoreQuery) {
  EXPECT_EQ(std::get<std::wstring>(Read(REG_SZ, std::string(1023, 'a') + '\0')).size(), 1023u);
  EXPECT_EQ(Queries(), 1u);
  EXPECT_EQ(std::get<std::wstring>(Read(REG_SZ, std::string(2000, 'a') + '\0')).size(), 2000u);
  EXPECT_EQ(Queries(), 3u);
  EXPECT_EQ(std::get<std::vector<uint8_t>>(Read(REG_BINARY, std::string(1024, 'b'))).size(), 1024u);
  EXPECT_EQ(Queries(), 4u);
  EXPECT_EQ(std::get<std::vector<uint8_t>>(Read(REG_BINARY, std::string(3000, 'b'))).size(), 3000u);
  EXPECT_EQ(Queries(), 6u);
}

TEST_F(RegistryReaderTest, MissingValueAndOtherTypesAreError1001WithTheKeyClosed) {
  for (const uint32_t type : {REG_NONE, 5u, 6u, 8u, 11u}) {
    try {
      Read(type, "12345678");
      ADD_FAILURE() << "type " << type << " was accepted";
    } catch (const Error& e) {
      EXPECT_EQ(e.code(), 1001);
      EXPECT_EQ(e.description(), L"Unsupported value type");
    }
  }
  host.registry32[kKey].clear();
  EXPECT_THROW(ReadRegistryValue(host, HKEY_LOCAL_MACHINE, kKey, L"V"), Error);
}

TEST_F(RegistryReaderTest, MissingKeyGivesTheDefaultAfterBothViews) {
  EXPECT_EQ(ReadRegistryValue(host, HKEY_LOCAL_MACHINE, kKey, L"V"), RegistryValue());
  EXPECT_EQ(ReadRegistryValue(host, HKEY_LOCAL_MACHINE, kKey, L"V", RegistryValue(int32_t{7})),
            RegistryValue(int32_t{7}));
  EXPECT_TRUE(host.Called("RegOpenKeyEx32"));
  EXPECT_TRUE(host.Called("RegOpenKeyEx64"));
}

TEST_F(RegistryReaderTest, The32BitViewWinsAndThe64BitViewIsOnlyAFallback) {
  host.registry32[kKey][L"V"] = {REG_SZ, std::string("x32\0", 4)};
  host.registry64[kKey][L"V"] = {REG_SZ, std::string("x64\0", 4)};
  EXPECT_EQ(ReadRegistryValue(host, HKEY_LOCAL_MACHINE, kKey, L"V"),
            RegistryValue(std::wstring(L"x32")));
  EXPECT_FALSE(host.Called("RegOpenKeyEx64"));
  host.registry32.clear();
  EXPECT_EQ(ReadRegistryValue(host, HKEY_LOCAL_MACHINE, kKey, L"V"),
            RegistryValue(std::wstring(L"x64")));
}

}  // namespace
}  // namespace qelrestore
