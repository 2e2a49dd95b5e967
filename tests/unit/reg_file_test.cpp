#include "host/posix/reg_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/posix/posix_registry.h"
#include "support/error.h"

namespace qelrestore::posix {
namespace {

using namespace std::string_literals;

constexpr const wchar_t* kKey = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool";

std::string V5(const std::string& body) {
  return "Windows Registry Editor Version "
         "5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool]\r\n" +
         body;
}

// The value's type and bytes, or type 0xFFFF when it is missing.
std::pair<uint32_t, std::string> ValueOf(const RegistryStore& store, const wchar_t* name,
                                         const wchar_t* key = kKey) {
  const StoredValue* value = store.FindValue(key, name);
  if (value == nullptr) return {0xFFFFu, ""};
  return {value->type, value->data};
}

struct ValueCase {
  const char* what;
  std::string file;
  const wchar_t* name;
  uint32_t type;
  std::string data;
};

class RegValueTest : public testing::TestWithParam<ValueCase> {};

TEST_P(RegValueTest, StoresTheNarrowQueryBytes) {
  const ValueCase& c = GetParam();
  const RegistryStore store = ParseRegFile(c.file, L"t.reg");
  EXPECT_EQ(ValueOf(store, c.name), std::make_pair(c.type, c.data)) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, RegValueTest,
    testing::Values(
        ValueCase{"string with escapes", V5(R"("SQLPath"="C:\\Program Files\\\"SQL\"")"),
                  L"SQLPath", REG_SZ, "C:\\Program Files\\\"SQL\"\0"s},
        ValueCase{"string is UTF-8 with its NUL", V5("\"N\"=\"caf\xC3\xA9\"\r\n"), L"n", REG_SZ,
                  "caf\xC3\xA9\0"s},
        ValueCase{"default value", V5("@=\"dflt\"\n"), L"", REG_SZ, "dflt\0"s},
        ValueCase{"dword little-endian", V5("\"D\"=dword:0000001f\n"), L"D", REG_DWORD,
                  "\x1f\0\0\0"s},
        ValueCase{"dword all bits", V5("\"D\"=DWORD:FFFFFFFF\n"), L"D", REG_DWORD,
                  "\xff\xff\xff\xff"s},
        ValueCase{"binary over continuation lines",
                  V5("\"B\"=hex:01,02,\\\r\n  03,ff,\\\n\t0a\r\n"), L"B", REG_BINARY,
                  "\x01\x02\x03\xff\x0a"s},
        ValueCase{"continuation right after the colon", V5("\"B\"=hex:\\\n  de,ad\n"), L"B",
                  REG_BINARY, "\xde\xad"s},
        ValueCase{"empty binary", V5("\"B\"=hex:\n"), L"B", REG_BINARY, ""},
        ValueCase{"expand string from UTF-16LE", V5("\"E\"=hex(2):25,00,50,00,25,00,e9,00,00,00\n"),
                  L"E", REG_EXPAND_SZ, "%P%\xC3\xA9\0"s},
        ValueCase{"multi string from UTF-16LE", V5("\"M\"=hex(7):61,00,00,00,62,00,00,00,00,00\n"),
                  L"M", REG_MULTI_SZ, "a\0b\0\0"s},
        ValueCase{"surrogate pair", V5("\"E\"=hex(2):3d,d8,00,de,00,00\n"), L"E", REG_EXPAND_SZ,
                  "\xF0\x9F\x98\x80\0"s},
        ValueCase{"qword as given", V5("\"Q\"=hex(b):01,00,00,00,00,00,00,80\n"), L"Q", REG_QWORD,
                  "\x01\0\0\0\0\0\0\x80"s},
        ValueCase{"none", V5("\"Z\"=hex(0):\n"), L"Z", REG_NONE, ""},
        ValueCase{"any type number", V5("\"X\"=hex(100):07\n"), L"X", 0x100u, "\x07"s},
        ValueCase{"REGEDIT4 text types are narrow bytes",
                  "REGEDIT4\n[HKLM\\SOFTWARE\\Vendor\\Tool]\n\"E\"=hex(2):25,50,25,00\n", L"E",
                  REG_EXPAND_SZ, "%P%\0"s},
        ValueCase{"names fold case, comments and blanks skipped",
                  V5("; note\n\n  \"MixedCase\" = \"v\"  \n"), L"mIXEDcASE", REG_SZ, "v\0"s},
        ValueCase{"later value replaces earlier", V5("\"A\"=\"1\"\n\"a\"=\"2\"\n"), L"A", REG_SZ,
                  "2\0"s},
        ValueCase{"deleted value", V5("\"A\"=\"1\"\n\"a\"=-\n"), L"A", 0xFFFFu, ""}));

TEST(RegFile, Utf16FileWithByteOrderMark) {
  const std::wstring text =
      L"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\X]\r\n"
      L"\"P\"=\"C:\\\\T\u00e9\"\r\n";
  std::string bytes = "\xFF\xFE";
  for (const wchar_t ch : text) {
    bytes += static_cast<char>(ch & 0xFF);
    bytes += static_cast<char>((ch >> 8) & 0xFF);
  }
  const RegistryStore store = ParseRegFile(bytes, L"t.reg");
  EXPECT_EQ(ValueOf(store, L"p", L"hkey_local_machine\\SOFTWARE\\x"),
            std::make_pair(REG_SZ, "C:\\T\xC3\xA9\0"s));
}

TEST(RegFile, Utf8ByteOrderMarkAndAbbreviatedRoot) {
  const RegistryStore store =
      ParseRegFile("\xEF\xBB\xBFREGEDIT4\n[HKLM\\A\\B]\n\"v\"=\"1\"\n", L"t.reg");
  EXPECT_TRUE(store.HasKey(L"HKEY_LOCAL_MACHINE\\A\\B"));
  EXPECT_TRUE(store.HasKey(L"HKEY_LOCAL_MACHINE\\a"));  // the keys on the way exist
  EXPECT_TRUE(store.HasKey(L"HKEY_LOCAL_MACHINE\\A\\B\\"));
  EXPECT_FALSE(store.HasKey(L"HKEY_LOCAL_MACHINE\\A\\B\\C"));
  EXPECT_FALSE(store.HasKey(L"HKEY_CURRENT_USER\\A"));
}

TEST(RegFile, KeyDeletionTakesTheSubtreeOnly) {
  const RegistryStore store = ParseRegFile(
      "REGEDIT4\n[HKLM\\S\\A\\1]\n[HKLM\\S\\A\\2]\n[HKLM\\S\\A0]\n[HKLM\\S\\A]\n\"v\"=\"x\"\n"
      "[-HKEY_LOCAL_MACHINE\\S\\a]\n",
      L"t.reg");
  EXPECT_FALSE(store.HasKey(L"HKEY_LOCAL_MACHINE\\S\\A"));
  EXPECT_FALSE(store.HasKey(L"HKEY_LOCAL_MACHINE\\S\\A\\1"));
  EXPECT_TRUE(store.HasKey(L"HKEY_LOCAL_MACHINE\\S\\A0"));
  EXPECT_TRUE(store.HasKey(L"HKEY_LOCAL_MACHINE\\S"));
}

struct MalformedCase {
  std::string file;
  size_t line;
};

class RegMalformedTest : public testing::TestWithParam<MalformedCase> {};

TEST_P(RegMalformedTest, Error75NamesFileAndLine) {
  try {
    ParseRegFile(GetParam().file, L"/x/registry.reg");
    FAIL() << "no error for: " << GetParam().file;
  } catch (const Error& error) {
    EXPECT_EQ(error.code(), code::kPathFileAccess);
    const std::wstring prefix =
        L"Malformed registry file /x/registry.reg line " + std::to_wstring(GetParam().line) + L": ";
    EXPECT_EQ(error.description().substr(0, prefix.size()), prefix) << GetParam().file;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RegMalformedTest,
    testing::Values(MalformedCase{"", 1}, MalformedCase{"REGEDIT5\n", 1},
                    MalformedCase{"\n\nWindows Registry Editor\n", 3},
                    MalformedCase{"REGEDIT4\n\"v\"=\"outside\"\n", 2},
                    MalformedCase{"REGEDIT4\n[HKLM\\A]\n[-HKLM\\A]\n\"v\"=\"1\"\n", 4},
                    MalformedCase{"REGEDIT4\n[HKLM\\A\n", 2},
                    MalformedCase{"REGEDIT4\n[HKEY_NOWHERE\\A]\n", 2},
                    MalformedCase{"REGEDIT4\r\n[HKLM\\A]\r\n\"v\"=\"open\r\n", 3},
                    MalformedCase{"REGEDIT4\n[HKLM\\A]\n\"v\"=\"a\"b\"\n", 3},
                    MalformedCase{"REGEDIT4\n[HKLM\\A]\n\"v\"\"x\"\n", 3},
                    MalformedCase{"REGEDIT4\n[HKLM\\A]\n\"v\"=dword:123456789\n", 3},
                    MalformedCase{"REGEDIT4\n[HKLM\\A]\n\"v\"=dword:12g4\n", 3},
                    MalformedCase{"REGEDIT4\n[HKLM\\A]\n\"v\"=str:abc\n", 3},
                    MalformedCase{"REGEDIT4\n[HKLM\\A]\n\"v\"=hex(zz):00\n", 3},
                    MalformedCase{"REGEDIT4\n[HKLM\\A]\n\"v\"=hex:00,\\\n 01,0x\n", 4},
                    MalformedCase{"REGEDIT4\n[HKLM\\A]\n\"v\"=hex:00 01\n", 3},
                    MalformedCase{"REGEDIT4\n[HKLM\\A]\n\"v\"=hex:00\\\n01\n", 3},
                    MalformedCase{"REGEDIT4\n[HKLM\\A]\n\"v\"=hex:00,\\\n", 3},
                    MalformedCase{"REGEDIT4\n[HKLM\\A]\nstray text\n", 3}));

TEST(RegFile, BigFileLoadsInLinearTime) {
  std::string file = "Windows Registry Editor Version 5.00\r\n";
  for (int key = 0; file.size() < 10u * 1024 * 1024; ++key) {
    file += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Big\\Key" + std::to_string(key) + "]\r\n";
    file += "\"Text\"=\"some value text for key " + std::to_string(key) + "\"\r\n";
    file +=
        "\"Bin\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
        "  16,17,18,19,1a,1b,1c,1d,1e,1f\r\n";
  }
  const auto start = std::chrono::steady_clock::now();
  const RegistryStore store = ParseRegFile(file, L"big.reg");
  const auto elapsed = std::chrono::steady_clock::now() - start;
  // A quadratic step would take hours here; the bound leaves room for sanitizer builds.
  EXPECT_LT(elapsed, std::chrono::seconds(90));
  EXPECT_GT(store.KeyCount(), 40000u);
  EXPECT_EQ(ValueOf(store, L"bin", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Big\\Key7").second.size(), 32u);
}

// The registry as the host uses it, loaded from a file on disk.
class PosixRegistryTest : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("qel_reg_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
               testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string Write(const std::string& content) {
    const std::string path = (folder_ / "registry.reg").string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  std::filesystem::path folder_;
};

TEST_F(PosixRegistryTest, LongStringTakesASecondQuery) {
  const std::string text(2000, 'x');
  PosixRegistry registry(Write(V5("\"SQLPath\"=\"" + text + "\"\r\n")));
  RegistryKey key = 0;
  ASSERT_EQ(registry.Open(HKEY_LOCAL_MACHINE, L"software\\VENDOR\\tool", KEY_READ, key),
            ERROR_SUCCESS);

  std::vector<uint8_t> buffer(1024, 0);
  uint32_t type = 0;
  uint32_t count = 1024;
  EXPECT_EQ(registry.Query(key, L"sqlpath", type, buffer.data(), count), ERROR_MORE_DATA);
  EXPECT_EQ(count, 2001u);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(buffer[0], 0) << "data written although it did not fit";

  buffer.assign(count, 0);
  EXPECT_EQ(registry.Query(key, L"SQLPath", type, buffer.data(), count), ERROR_SUCCESS);
  EXPECT_EQ(count, 2001u);
  EXPECT_EQ(std::string(buffer.begin(), buffer.end()), text + '\0');

  uint32_t sizeOnly = 0;
  EXPECT_EQ(registry.Query(key, L"SQLPath", type, nullptr, sizeOnly), ERROR_SUCCESS);
  EXPECT_EQ(sizeOnly, 2001u);
  registry.Close(key);
  EXPECT_EQ(registry.Query(key, L"SQLPath", type, buffer.data(), count), 6);
}

TEST_F(PosixRegistryTest, MissingKeyValueAndFile) {
  PosixRegistry registry(Write(V5("\"A\"=dword:1\n")));
  RegistryKey key = 0;
  EXPECT_EQ(registry.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vendor\\Other", KEY_READ, key),
            ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(
      registry.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vendor\\Tool", KEY_READ | KEY_WOW64_32KEY, key),
      ERROR_SUCCESS);
  uint32_t type = 77;
  uint32_t count = 1024;
  uint8_t buffer[8] = {};
  EXPECT_EQ(registry.Query(key, L"B", type, buffer, count), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(type, 77u);
  EXPECT_EQ(count, 1024u);

  PosixRegistry empty((folder_ / "absent.reg").string());
  EXPECT_EQ(empty.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE", KEY_READ, key), ERROR_FILE_NOT_FOUND);
}

TEST_F(PosixRegistryTest, MalformedFileIsReportedOnFirstOpen) {
  const std::string path = Write("REGEDIT4\n[HKLM\\A]\n\"v\"=hex:zz\n");
  PosixRegistry registry(path);  // nothing is read yet
  RegistryKey key = 0;
  try {
    registry.Open(HKEY_LOCAL_MACHINE, L"A", KEY_READ, key);
    FAIL() << "malformed file accepted";
  } catch (const Error& error) {
    EXPECT_EQ(error.code(), code::kPathFileAccess);
    EXPECT_NE(error.description().find(std::wstring(path.begin(), path.end()) + L" line 3"),
              std::wstring::npos);
  }
}

}  // namespace
}  // namespace qelrestore::posix
