// Files and folders as the Windows host meets them: what it refuses as input, what it removes,
// the kept settings file's copy, and a folder's identity.
#include <string>

#include "host/windows/windows_api.h"
#include "support/error.h"
#include "tests/windows/windows_toolkit.h"

namespace qelrestore::test {
namespace {

using FileSystemTest = WindowsHostTest;

TEST_F(FileSystemTest, InputIsADiskFile) {
  const struct {
    std::wstring path;
    int32_t code;
  } cases[] = {
      {L"NUL", code::kPathFileAccess},                  // a device
      {files, code::kPathFileAccess},                   // a folder
      {files + L"\\missing.txt", code::kFileNotFound},  // nothing
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CodeThrown([&] { host.OpenForInput(c.path); }), c.code)
        << testing::PrintToString(c.path);
  }
}

TEST_F(FileSystemTest, RemovingAFileThatIsNotThereOrWhoseFolderIsNotIsNoFailure) {
  EXPECT_EQ(CodeThrown([&] {
              host.RemoveFile(files + L"\\missing.txt");
              host.RemoveFile(files + L"\\no folder\\missing.txt");
            }),
            0);
}

// The script made kept\new.properties, a read-only kept\ro-source.properties, kept\link.bak a
// hard link to kept\victim, and a read-only kept\ro.bak.
TEST_F(FileSystemTest, TheKeptSettingsFilesCopyReplacesWhatStandsThere) {
  const std::wstring kept = files + L"\\kept\\";
  host.CopyFileOwnerOnly(kept + L"new.properties", kept + L"link.bak");
  EXPECT_EQ(Content(host, kept + L"link.bak"), "new");
  EXPECT_EQ(Content(host, kept + L"victim"), "victim") << "a hard link's target is left as it was";
  host.CopyFileOwnerOnly(kept + L"new.properties", kept + L"ro.bak");
  EXPECT_EQ(Content(host, kept + L"ro.bak"), "new") << "a read-only destination is replaced";
  host.CopyFileOwnerOnly(kept + L"ro-source.properties", kept + L"fresh.bak");
  const DWORD attributes = ::GetFileAttributesW((kept + L"fresh.bak").c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(attributes & FILE_ATTRIBUTE_READONLY, 0u) << "the copy of a read-only file is not";
  EXPECT_EQ(
      CodeThrown([&] { host.CopyFileOwnerOnly(kept + L"new.properties", kept + L"fresh.bak"); }), 0)
      << "a later save replaces the copy of a read-only file";
}

// The log is in the ANSI code page, which lacks these: a look-alike would name the folder
// C:\qel\backup, and '?' no file at all. A '?' of the text stays one.
TEST_F(FileSystemTest, ALogLineNamesWhatTheCodePageLacksByItsCodePoint) {
  for (const wchar_t* lacking : {L"\uFF42", L"\u0444", L"\U0001F600"}) {
    BOOL replaced = FALSE;
    char bytes[8];
    ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, lacking, -1, bytes, sizeof bytes, nullptr,
                          &replaced);
    ASSERT_TRUE(replaced) << "code page " << ::GetACP() << " holds a character meant outside it";
  }
  const std::wstring path = files + L"\\ansi.log";
  host.OpenLog(path)->writeLine(L"C:\\qel\\\uFF42ackup \u0444\u0430\u0439\u043B.txt \U0001F600 ?");
  EXPECT_EQ(Content(host, path),
            "C:\\qel\\\\u{FF42}ackup \\u{0444}\\u{0430}\\u{0439}\\u{043B}.txt \\u{01F600} ?\r\n");
}

// Spelled with other case, forward slashes and a trailing one, and reached through a Unix link
// (wine's form of a junction), plan\source is one folder; its neighbour another.
TEST_F(FileSystemTest, EverySpellingOfAFolderHasItsIdentity) {
  const auto source = host.IdentifyFolder(files + L"\\plan\\source");
  ASSERT_TRUE(source.has_value());
  EXPECT_EQ(source, host.IdentifyFolder(files + L"/PLAN/Source/"));
  EXPECT_EQ(source, host.IdentifyFolder(files + L"\\alias"));
  EXPECT_NE(source, host.IdentifyFolder(files + L"\\plan\\destination"));
  EXPECT_FALSE(host.IdentifyFolder(files + L"\\plan\\source\\a.txt").has_value()) << "a file";
}

// The one full path a run uses for a folder is the one every file call reads: a relative path
// below the current folder, and a hand edit's blank after the last separator gone.
TEST_F(FileSystemTest, AFullPathIsTheFolderTheSystemOpens) {
  ASSERT_TRUE(SetCurrentDirectoryW((files + L"\\plan").c_str()));
  EXPECT_EQ(host.FullPath(L"source"), files + L"\\plan\\source");
  EXPECT_EQ(host.FullPath(files + L"/plan/source/ "), files + L"\\plan\\source\\");
  EXPECT_EQ(host.FullPath(L""), L"");
}

}  // namespace
}  // namespace qelrestore::test
