#include "registry/reg_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <tuple>

#include "support/error.h"
#include "tests/toolkit/sanitized.h"

namespace qelrestore {
namespace {

using namespace std::string_literals;
using Type = RegistryType;

constexpr const wchar_t* kKey = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool";

std::string V5(const std::string& body) {
  return "Windows Registry Editor Version "
         "5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool]\r\n" +
         body;
}

// The body starts on line 3.
std::string R4(const std::string& body) {
  return "REGEDIT4\n[HKLM\\SOFTWARE\\Vendor\\Tool]\n" + body;
}

// What a lookup gives: found, type, bytes, and the line of a malformed value (0 if well formed).
using Seen = std::tuple<bool, Type, std::string, size_t>;

Seen ValueOf(const RegistryStore& store, const wchar_t* name, const wchar_t* key = kKey) {
  const StoredValue* value = store.FindValue(key, name);
  if (value == nullptr) return {false, Type::kOther, "", 0};
  return {true, value->type, std::string(value->data), value->malformedLine};
}

struct ValueCase {
  const char* what;
  std::string file;
  const wchar_t* name;
  Type type;
  std::string data;
  size_t malformedLine = 0;
  bool found = true;
};

class RegValueTest : public testing::TestWithParam<ValueCase> {};

TEST_P(RegValueTest, StoresTheNarrowQueryBytes) {
  const ValueCase& c = GetParam();
  const RegistryStore store = ParseRegFile(c.file, L"t.reg");
  EXPECT_EQ(ValueOf(store, c.name), Seen(c.found, c.type, c.data, c.malformedLine)) << c.what;
}

// A line the registry editor cannot read is kept as malformed with its line number; what it skips
// outright leaves nothing behind.
constexpr Type kBad = Type::kOther;

INSTANTIATE_TEST_SUITE_P(
    Forms, RegValueTest,
    testing::Values(
        ValueCase{"string with escapes", V5(R"("SQLPath"="C:\\Program Files\\\"SQL\"")"),
                  L"SQLPath", Type::kString, "C:\\Program Files\\\"SQL\"\0"s},
        ValueCase{"string is UTF-8 with its NUL", V5("\"N\"=\"caf\xC3\xA9\"\r\n"), L"n",
                  Type::kString, "caf\xC3\xA9\0"s},
        ValueCase{"default value", V5("@=\"dflt\"\n"), L"", Type::kString, "dflt\0"s},
        ValueCase{"dword little-endian", V5("\"D\"=dword:0000001f\n"), L"D", Type::kDword,
                  "\x1f\0\0\0"s},
        ValueCase{"dword all bits", V5("\"D\"=DWORD:FFFFFFFF\n"), L"D", Type::kDword,
                  "\xff\xff\xff\xff"s},
        ValueCase{"binary over continuation lines",
                  V5("\"B\"=hex:01,02,\\\r\n  03,ff,\\\n\t0a\r\n"), L"B", Type::kBinary,
                  "\x01\x02\x03\xff\x0a"s},
        ValueCase{"continuation right after the colon", V5("\"B\"=hex:\\\n  de,ad\n"), L"B",
                  Type::kBinary, "\xde\xad"s},
        ValueCase{"empty binary", V5("\"B\"=hex:\n"), L"B", Type::kBinary, ""},
        ValueCase{"expand string from UTF-16LE", V5("\"E\"=hex(2):25,00,50,00,25,00,e9,00,00,00\n"),
                  L"E", Type::kExpandString, "%P%\xC3\xA9\0"s},
        ValueCase{"multi string from UTF-16LE", V5("\"M\"=hex(7):61,00,00,00,62,00,00,00,00,00\n"),
                  L"M", Type::kMultiString, "a\0b\0\0"s},
        ValueCase{"surrogate pair", V5("\"E\"=hex(2):3d,d8,00,de,00,00\n"), L"E",
                  Type::kExpandString, "\xF0\x9F\x98\x80\0"s},
        ValueCase{"dword in hex form as given", V5("\"D\"=hex(4):01,02\n"), L"D", Type::kDword,
                  "\x01\x02"s},
        ValueCase{"qword as given", V5("\"Q\"=hex(b):01,00,00,00,00,00,00,80\n"), L"Q",
                  Type::kOther, "\x01\0\0\0\0\0\0\x80"s},
        ValueCase{"none", V5("\"Z\"=hex(0):\n"), L"Z", Type::kOther, ""},
        ValueCase{"any type number", V5("\"X\"=hex(100):07\n"), L"X", Type::kOther, "\x07"s},
        ValueCase{"REGEDIT4 text types are narrow bytes", R4("\"E\"=hex(2):25,50,25,00\n"), L"E",
                  Type::kExpandString, "%P%\0"s},
        ValueCase{"names fold case, comments and blanks skipped",
                  V5("; note\n# note\n\n  \"MixedCase\" = \"v\"  \n"), L"mIXEDcASE", Type::kString,
                  "v\0"s},
        ValueCase{"later value replaces earlier", V5("\"A\"=\"1\"\n\"a\"=\"2\"\n"), L"A",
                  Type::kString, "2\0"s},
        ValueCase{"deleted value", V5("\"A\"=\"1\"\n\"a\"=- ; gone\n"), L"A", kBad, "", 0, false},
        ValueCase{"comment after a dword", R4("\"D\"=dword:00000001 ; on\n"), L"D", Type::kDword,
                  "\x01\0\0\0"s},
        ValueCase{"';' inside quotes is text", R4("\"S\"=\"a;b\"\t; note\n"), L"S", Type::kString,
                  "a;b\0"s},
        ValueCase{"comment after a hex list", R4("\"B\"=hex:01,\\\n  02 ;c\n"), L"B", Type::kBinary,
                  "\x01\x02"s},
        ValueCase{"comment after the key",
                  "REGEDIT4\n[HKLM\\SOFTWARE\\Vendor\\Tool] ; x\n\"v\"=\"1\"\n", L"v",
                  Type::kString, "1\0"s},
        ValueCase{"stray text skipped", R4("stray text\n\"v\"=\"1\"\n"), L"v", Type::kString,
                  "1\0"s},
        ValueCase{"values under an unknown root go nowhere", R4("[HKEY_NOWHERE\\A]\n\"v\"=\"1\"\n"),
                  L"v", kBad, "", 0, false},
        ValueCase{"values under an unclosed key go nowhere", R4("[HKLM\\A\n\"v\"=\"1\"\n"), L"v",
                  kBad, "", 0, false},
        ValueCase{"unterminated text", R4("\"v\"=\"open\r\n"), L"v", kBad, "", 3},
        ValueCase{"text after the quote", R4("\"v\"=\"a\"b\"\n"), L"v", kBad, "", 3},
        ValueCase{"no '='", R4("\"v\"\"x\"\n"), L"v", kBad, "", 3},
        ValueCase{"nine dword digits", R4("\"v\"=dword:0ffffffff\n"), L"v", kBad, "", 3},
        ValueCase{"dword digit", R4("\"v\"=dword:12g4\n"), L"v", kBad, "", 3},
        ValueCase{"unknown type", R4("\"v\"=str:abc\n"), L"v", kBad, "", 3},
        ValueCase{"hex(type)", R4("\"v\"=hex(zz):00\n"), L"v", kBad, "", 3},
        ValueCase{"hex byte on a continuation", R4("\"v\"=hex:00,\\\n 01,0x\n"), L"v", kBad, "", 4},
        ValueCase{"hex without commas", R4("\"v\"=hex:00 01\n"), L"v", kBad, "", 3},
        ValueCase{"continuation without a comma", R4("\"v\"=hex:00\\\n01\n"), L"v", kBad, "", 3},
        ValueCase{"continuation past the end", R4("\"v\"=hex:00,\\\n"), L"v", kBad, "", 3},
        ValueCase{"last line for a name wins", R4("\"v\"=dword:1\n\"V\"=dword:\n"), L"v", kBad, "",
                  4},
        ValueCase{"a good line after a bad one", R4("\"v\"=dword:\n\"V\"=dword:1\n"), L"v",
                  Type::kDword, "\x01\0\0\0"s}));

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
            Seen(true, Type::kString, "C:\\T\xC3\xA9\0"s, 0));
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
      "REGEDIT4\n[HKLM\\S]\n\"w\"=\"1\"\n[HKLM\\S\\A\\1]\n[HKLM\\S\\A\\2]\n[HKLM\\S\\A0]\n"
      "[HKLM\\S\\A]\n\"v\"=\"x\"\n[-HKEY_LOCAL_MACHINE\\S\\a]\n[HKLM\\T\\X]\n[-HKLM\\T\\X]\n"
      "[-HKLM\\U\\V]\n[HKLM\\T\\Y]\n[-HKLM\\T\\Y]\n",
      L"t.reg");
  EXPECT_FALSE(store.HasKey(L"HKEY_LOCAL_MACHINE\\S\\A"));
  EXPECT_FALSE(store.HasKey(L"HKEY_LOCAL_MACHINE\\S\\A\\1"));
  EXPECT_TRUE(store.HasKey(L"HKEY_LOCAL_MACHINE\\S\\A0"));
  EXPECT_TRUE(store.HasKey(L"HKEY_LOCAL_MACHINE\\S"));
  EXPECT_TRUE(store.HasKey(L"HKEY_LOCAL_MACHINE\\T")) << "a parent outlives its only child";
  EXPECT_FALSE(store.HasKey(L"HKEY_LOCAL_MACHINE\\U")) << "deleting nothing creates nothing";
  // S is both named and kept, T kept twice: each is stored once, and S keeps its value.
  EXPECT_EQ(store.KeyCount(), 3u);
  EXPECT_EQ(ValueOf(store, L"w", L"HKEY_LOCAL_MACHINE\\S"), Seen(true, Type::kString, "1\0"s, 0));
}

// Key lines act in file order even though the store settles them only at the end.
TEST(RegFile, KeyLinesActInFileOrder) {
  const RegistryStore store = ParseRegFile(
      "REGEDIT4\n[HKLM\\K]\n\"old\"=\"1\"\n\"v\"=\"1\"\n[-HKLM\\K]\n[HKLM\\K]\n\"v\"=\"2\"\n"
      "[HKLM\\M]\n\"a\"=\"1\"\n[HKLM\\N]\n[HKLM\\M]\n\"b\"=\"2\"\n"
      "[HKLM\\P\\Q\\R]\n[-HKLM\\P\\Q\\R]\n[-HKLM\\P\\Q]\n[-HKLM\\Z]\n[HKLM\\Z\\Y]\n",
      L"t.reg");
  const wchar_t* k = L"HKEY_LOCAL_MACHINE\\K";
  const wchar_t* m = L"HKEY_LOCAL_MACHINE\\M";
  EXPECT_EQ(ValueOf(store, L"v", k), Seen(true, Type::kString, "2\0"s, 0));
  EXPECT_FALSE(std::get<0>(ValueOf(store, L"old", k))) << "a re-created key starts empty";
  EXPECT_FALSE(std::get<0>(ValueOf(store, L"old", L"HKEY_LOCAL_MACHINE"))) << "nor go elsewhere";
  EXPECT_TRUE(std::get<0>(ValueOf(store, L"a", m)) && std::get<0>(ValueOf(store, L"b", m)));
  EXPECT_TRUE(store.HasKey(L"HKEY_LOCAL_MACHINE\\P")) << "kept by the deletion of its kept child";
  EXPECT_FALSE(store.HasKey(L"HKEY_LOCAL_MACHINE\\P\\Q"));
  EXPECT_TRUE(store.HasKey(L"HKEY_LOCAL_MACHINE\\Z\\Y")) << "a deletion takes earlier lines only";
  EXPECT_EQ(store.KeyCount(), 6u);  // K, M, N, P, Z\Y and the root that deleting K kept
}

TEST(RegFile, DeepKeyStoresOnePath) {
  std::string path = "HKEY_LOCAL_MACHINE";
  for (int level = 0; level < 8000; ++level) path += "\\k" + std::to_string(level);
  const RegistryStore store = ParseRegFile("REGEDIT4\n[" + path + "]\n\"v\"=\"1\"\n", L"t.reg");
  // Storing each key on the way with its full path would take 8,001 paths of up to 60,000
  // characters each.
  EXPECT_EQ(store.KeyCount(), 1u);
  EXPECT_TRUE(store.HasKey(L"HKEY_LOCAL_MACHINE\\k0\\k1\\K2"));
  EXPECT_FALSE(store.HasKey(L"HKEY_LOCAL_MACHINE\\k0\\k2"));
  const std::wstring wide(path.begin(), path.end());
  EXPECT_EQ(ValueOf(store, L"v", wide.c_str()), Seen(true, Type::kString, "1\0"s, 0));
}

// Hand-written exports of the kinds that stopped a whole restore: the rest of the file still
// counts, and only asking for a broken value fails, naming its line.
TEST(RegFile, ExportWithOddLinesReadsOn) {
  const RegistryStore store = ParseRegFile(
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "# settings for the tool, edited by hand\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Tool]\r\n"
      "\"Timeout\"=dword:0ffffffff\r\n"
      "\"Retries\"=dword:00000003 ; was 5\r\n"
      "\"Flags\"=hex(5:00,00,00,01\r\n"
      "\"SQLPath\"=\"C:\\\\Program Files\\\\Tool\"  ; 32-bit\r\n",
      L"C:\\x\\t.reg");
  EXPECT_EQ(ValueOf(store, L"Retries"), Seen(true, Type::kDword, "\x03\0\0\0"s, 0));
  EXPECT_EQ(ValueOf(store, L"SQLPath"), Seen(true, Type::kString, "C:\\Program Files\\Tool\0"s, 0));
  EXPECT_EQ(std::get<3>(ValueOf(store, L"Flags")), 7u);
  const StoredValue* timeout = store.FindValue(kKey, L"timeout");
  ASSERT_NE(timeout, nullptr);
  EXPECT_EQ(MalformedValueMessage(L"C:\\x\\t.reg", *timeout),
            L"Malformed registry file C:\\x\\t.reg line 5: a dword needs 1 to 8 hex digits");
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

// Only a file that is no registry file at all fails as a whole.
INSTANTIATE_TEST_SUITE_P(Lines, RegMalformedTest,
                         testing::Values(MalformedCase{"", 1}, MalformedCase{"REGEDIT5\n", 1},
                                         MalformedCase{"\n\nWindows Registry Editor\n", 3},
                                         MalformedCase{"R\0E\0G\0E\0D\0I\0T\0004\0\n\0"s, 1}));

TEST(RegFile, BigFileLoadsInLinearTime) {
  // A step quadratic in the file's length would take hours at either size.
  const size_t length = (test::kSanitized ? 2u : 10u) << 20;
  std::string file = "Windows Registry Editor Version 5.00\r\n";
  for (int key = 0; file.size() < length; ++key) {
    file += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Big\\Key" + std::to_string(key) + "]\r\n";
    file += "\"Text\"=\"some value text for key " + std::to_string(key) + "\"\r\n";
    file +=
        "\"Bin\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
        "  16,17,18,19,1a,1b,1c,1d,1e,1f\r\n";
  }
  const auto start = std::chrono::steady_clock::now();
  const RegistryStore store = ParseRegFile(file, L"big.reg");
  const auto elapsed = std::chrono::steady_clock::now() - start;
  // The bound leaves room for a sanitized build on a busy machine.
  EXPECT_LT(elapsed, std::chrono::minutes(10));
  EXPECT_GT(store.KeyCount(), length / 256);
  EXPECT_EQ(std::get<2>(ValueOf(store, L"bin", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Big\\Key7")).size(),
            32u);
}

}  // namespace
}  // namespace qelrestore
