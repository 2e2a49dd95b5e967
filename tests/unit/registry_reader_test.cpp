#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>

#include "restore/registry_reader.h"
#include "support/error.h"
#include "tests/unit/fake_host.h"

namespace qelrestore {
namespace {

constexpr wchar_t kKey[] = L"SOFTWARE\\Tools";

class RegistryReaderTest : public testing::Test {
 protected:
  RegistryValue Read(RegistryType type, const std::string& bytes) {
    host.registry32[kKey][L"V"] = {type, bytes};
    return ReadRegistryValue(host, host, kKey, L"V");
  }

  test::FakeHost host;
};

TEST_F(RegistryReaderTest, ConvertsByType) {
  const struct {
    RegistryType type;
    std::string bytes;
    RegistryValue expected;
  } cases[] = {
      {RegistryType::kString, std::string("C:\\Tools\0", 9), std::wstring(L"C:\\Tools")},
      {RegistryType::kExpandString, std::string("%ProgramFiles%\\x\0", 17),
       std::wstring(L"%ProgramFiles%\\x")},
      {RegistryType::kMultiString, std::string("a\0b\0\0", 5), std::wstring(L"a\0b", 3)},
      // Stored without the terminators (a writer that passed the wrong size): every character
      // is the value's.
      {RegistryType::kString, "C:\\qel\\tools", std::wstring(L"C:\\qel\\tools")},
      {RegistryType::kMultiString, std::string("a\0b\0", 4), std::wstring(L"a\0b", 3)},
      {RegistryType::kString, std::string(2000, 'a') + '\0', std::wstring(2000, L'a')},
      {RegistryType::kDword, "\xff\xff\xff\xff", int32_t{-1}},
      {RegistryType::kDword, "\x01\x02", int32_t{0x0201}},  // short data reads as zero-padded
      {RegistryType::kBinary, std::string(16, '\x07'), std::vector<uint8_t>(16, 7)},
      // Zero-length data of any type gives the empty result of that type.
      {RegistryType::kString, "", std::wstring()},
      {RegistryType::kMultiString, std::string(1, '\0'), std::wstring()},
      {RegistryType::kBinary, "", std::vector<uint8_t>()},
      {RegistryType::kDword, "", int32_t{0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes.size());
    EXPECT_EQ(Read(c.type, c.bytes), c.expected);
  }
}

TEST_F(RegistryReaderTest, AMissingValueOrAnotherTypeIsError1001) {
  try {
    Read(RegistryType::kOther, "12345678");
    ADD_FAILURE() << "another type was accepted";
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), 1001);
    EXPECT_EQ(e.description(), L"Unsupported value type");
  }
  host.registry32[kKey].clear();
  EXPECT_THROW(ReadRegistryValue(host, host, kKey, L"V", RegistryValue(int32_t{7})), Error);
}

// The 32-bit view answers first; the 64-bit view is asked only when the key is missing there. A
// key that exists but cannot be opened gives the default, even when the other view has the value.
TEST_F(RegistryReaderTest, The64BitViewIsAskedOnlyWhenTheKeyIsMissingInThe32BitView) {
  enum class In { kNothing, kValue, kKeyNotOpened };
  const struct {
    In in32, in64;
    RegistryValue expected;  // monostate with a default of 7: the default came back
    bool asks64;
  } cases[] = {
      {In::kValue, In::kValue, std::wstring(L"x32"), false},
      {In::kNothing, In::kValue, std::wstring(L"x64"), true},
      {In::kKeyNotOpened, In::kValue, int32_t{7}, false},
      {In::kNothing, In::kKeyNotOpened, int32_t{7}, true},
      {In::kNothing, In::kNothing, int32_t{7}, true},
  };
  const auto script = [](In in, test::RegistryKeys& keys, std::set<std::wstring>& notOpened,
                         const char* text) {
    if (in == In::kValue) keys[kKey][L"V"] = {RegistryType::kString, std::string(text, 4)};
    if (in == In::kKeyNotOpened) notOpened.insert(kKey);
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    test::FakeHost fresh;
    script(c.in32, fresh.registry32, fresh.keysNotOpened32, "x32\0");
    script(c.in64, fresh.registry64, fresh.keysNotOpened64, "x64\0");
    EXPECT_EQ(ReadRegistryValue(fresh, fresh, kKey, L"V", RegistryValue(int32_t{7})), c.expected);
    EXPECT_EQ(fresh.Called("QueryRegistryValue64"), c.asks64);
  }
  // Without a default a missing key gives the empty value.
  EXPECT_EQ(ReadRegistryValue(host, host, kKey, L"V"), RegistryValue());
  // A key without the value is not a missing key: no fall-through, error 1001.
  host.registry32[kKey];
  host.registry64[kKey][L"V"] = {RegistryType::kString, std::string("x64\0", 4)};
  EXPECT_THROW(ReadRegistryValue(host, host, kKey, L"V"), Error);
}

}  // namespace
}  // namespace qelrestore
