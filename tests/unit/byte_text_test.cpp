// Text at the POSIX boundary: every byte string survives decoding and encoding unchanged.
#include "support/byte_text.h"

#include <string>

#include <gtest/gtest.h>

namespace qelrestore {
namespace {

using namespace std::string_literals;

TEST(PosixTextTest, DecodesValidUtf8AndEscapesEveryOtherByte) {
  const struct {
    const char* what;
    std::string bytes;
    std::wstring text;
  } cases[] = {
      {"ascii", "C:/QEL", L"C:/QEL"},
      {"NUL inside", "a\0b"s, L"a\0b"s},
      {"two-byte", "caf\xC3\xA9", L"caf\u00E9"},
      {"outside the BMP is one character", "\xF0\x9F\x98\x80", L"\U0001F600"},
      {"latin-1 byte", "caf\xE9", L"caf\xDCE9"},
      {"stray continuation, then a valid character",
       "\x80"
       "A",
       L"\xDC80"
       L"A"},
      {"truncated sequence", "\xE2\x82", L"\xDCE2\xDC82"},
      {"sequence broken by ascii",
       "\xE2"
       "A\xAC",
       L"\xDCE2"
       L"A\xDCAC"},
      {"overlong slash", "\xC0\xAF", L"\xDCC0\xDCAF"},
      {"encoded surrogate", "\xED\xA0\x80", L"\xDCED\xDCA0\xDC80"},
      {"encoded escape character", "\xED\xB2\x80", L"\xDCED\xDCB2\xDC80"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", L"\xDCF4\xDC90\xDC80\xDC80"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(DecodeUtf8(c.bytes), c.text);
    EXPECT_EQ(EncodeUtf8(c.text), c.bytes);
  }
}

// Every string of two bytes, and pairs around a valid character, come back as they went in.
TEST(PosixTextTest, AnyByteStringRoundTrips) {
  for (int first = 0; first < 256; ++first) {
    for (int second = 0; second < 256; ++second) {
      const std::string bytes{static_cast<char>(first), static_cast<char>(second)};
      const std::string framed = bytes + "\xC3\xA9" + bytes;
      ASSERT_EQ(EncodeUtf8(DecodeUtf8(bytes)), bytes) << first << "," << second;
      ASSERT_EQ(EncodeUtf8(DecodeUtf8(framed)), framed) << first << "," << second;
    }
  }
}

TEST(PosixTextTest, NativePathTurnsEveryBackslashIntoSlash) {
  EXPECT_EQ(NativePath(L"\\home\\qel\\.corvilane\\path.conf"), "/home/qel/.corvilane/path.conf");
  EXPECT_EQ(NativePath(L"/opt/app\\PLUV\\db.properties"), "/opt/app/PLUV/db.properties");
  EXPECT_EQ(NativePath(L"D:\\Backup\\\\"), "D:/Backup//");
  EXPECT_EQ(NativePath(L"\\caf\xDCE9\\\u00E9"), "/caf\xE9/\xC3\xA9");
  EXPECT_EQ(NativePath(L"a\xD800z"), "a\xEF\xBF\xBDz");  // no UTF-8 form: replacement character
}

}  // namespace
}  // namespace qelrestore
