// Files, errors and the profile of the POSIX host, on real temporary folders.
#include "host/posix/posix_file_system.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "host/posix/posix_errors.h"
#include "host/posix/posix_host.h"
#include "host/posix/posix_text.h"

namespace qelrestore::posix {
namespace {

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The code of the Error that `action` throws, or 0 when it throws none.
template <typename Action>
int32_t CodeOf(Action action) {
  try {
    action();
  } catch (const Error& error) {
    return error.code();
  }
  return 0;
}

class PosixFileSystemTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qelfs-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    std::ofstream(dir_ + "/db.properties") << "DB_PROVIDER=SQLOLEDB\n";
    ::chmod((dir_ + "/db.properties").c_str(), 0640);
    ::mkdir((dir_ + "/folder").c_str(), 0755);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // The logic's spelling of a path below the temporary folder.
  std::wstring Logic(const std::string& relative) const {
    return DecodeUtf8(dir_) + L"\\" + DecodeUtf8(relative);
  }

  std::string dir_;
  PosixFileSystem fs_;
};

TEST_F(PosixFileSystemTest, MissingEntryIsPathNotFoundOnlyWhenItsFolderIsMissing) {
  EXPECT_EQ(ErrnoError(ENOENT, "open", dir_ + "/missing").code(), code::kFileNotFound);
  EXPECT_EQ(ErrnoError(ENOENT, "open", dir_ + "/no/missing").code(), code::kPathNotFound);
  EXPECT_EQ(ErrnoError(ENOENT, "open", "relative").code(), code::kFileNotFound);
  const Error error = ErrnoError(ENOSPC, "write", dir_ + "/log");
  EXPECT_EQ(error.code(), code::kDiskFull);
  EXPECT_EQ(error.description().rfind(L"Disk full (write " + DecodeUtf8(dir_) + L"/log: ", 0), 0u);
}

TEST_F(PosixFileSystemTest, ExistenceTestsFollowLinksAndTellFilesFromFolders) {
  ::symlink("db.properties", (dir_ + "/link_to_file").c_str());
  ::symlink("folder", (dir_ + "/link_to_folder").c_str());
  ::symlink("missing", (dir_ + "/dangling").c_str());
  const struct {
    std::string name;
    bool file;
    bool folder;
  } cases[] = {{"db.properties", true, false},
               {"folder", false, true},
               {"link_to_file", true, false},
               {"link_to_folder", false, true},
               {"dangling", false, false},
               {"folder\\..\\db.properties", true, false},
               {std::string("db.properties\0x", 15), false, false}};
  for (const auto& c : cases) {
    EXPECT_EQ(fs_.FileExists(Logic(c.name)), c.file) << c.name;
    EXPECT_EQ(fs_.FolderExists(Logic(c.name)), c.folder) << c.name;
  }
}

TEST_F(PosixFileSystemTest, LogLinesReachTheFileAsTheyAreWritten) {
  const std::string path = dir_ + "/log.txt";
  std::ofstream(path) << "previous run\r\n";
  auto created = fs_.CreateTextFile(Logic("log.txt"), true);
  created->writeLine(L"09:00: QEL start Restore");
  EXPECT_EQ(Read(path), "09:00: QEL start Restore\r\n") << "truncated, line written unbuffered";
  created->Close();
  created->Close();
  EXPECT_THROW(created->writeLine(L"after close"), Error);

  auto appended = fs_.OpenTextFile(Logic("log.txt"), 8, -2);
  appended->writeLine(L"caf\u00E9 \xDCE9");
  EXPECT_EQ(Read(path), "09:00: QEL start Restore\r\ncaf\xC3\xA9 \xE9\r\n");
  fs_.OpenTextFile(Logic("new.txt"), 8, -2)->writeLine(L"");
  EXPECT_EQ(Read(dir_ + "/new.txt"), "\r\n");

  EXPECT_EQ(CodeOf([&] { fs_.CreateTextFile(Logic("no\\log.txt"), true); }), code::kPathNotFound);
  EXPECT_EQ(CodeOf([&] { fs_.OpenTextFile(Logic("absent"), 8, 0); }), code::kFileNotFound);
  EXPECT_EQ(CodeOf([&] { fs_.OpenTextFile(Logic("absent"), 2, -2); }), code::kInvalidCall);
  EXPECT_EQ(CodeOf([&] { fs_.CreateTextFile(Logic("folder"), true); }), code::kPathFileAccess);
  EXPECT_FALSE(fs_.FileExists(Logic("absent"))) << "a refused open creates nothing";
}

TEST_F(PosixFileSystemTest, InputFileReadsToTheEndAndRefusesFolders) {
  auto input = OpenInputFile(dir_ + "/db.properties");
  std::string content;
  char buffer[7];
  for (size_t got; (got = input->Read(buffer, sizeof buffer)) > 0;) content.append(buffer, got);
  EXPECT_EQ(content, "DB_PROVIDER=SQLOLEDB\n");
  EXPECT_EQ(CodeOf([&] { OpenInputFile(dir_ + "/folder"); }), code::kPathFileAccess);
  EXPECT_EQ(CodeOf([&] { OpenInputFile(dir_ + "/absent"); }), code::kFileNotFound);
}

TEST_F(PosixFileSystemTest, CopyFileReplacesContentAndPermissionsButNeverTheSourceItself) {
  std::ofstream(dir_ + "/curdb.properties.bak") << std::string(200, 'o');
  PosixHost host(0, nullptr);
  host.CopyFile(Logic("db.properties"), Logic("curdb.properties.bak"));
  EXPECT_EQ(Read(dir_ + "/curdb.properties.bak"), "DB_PROVIDER=SQLOLEDB\n");
  struct stat info {};
  ::stat((dir_ + "/curdb.properties.bak").c_str(), &info);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(CodeOf([&] { host.CopyFile(Logic("absent"), Logic("x")); }), code::kFileNotFound);
  EXPECT_EQ(CodeOf([&] { host.CopyFile(Logic("db.properties"), Logic("no\\x")); }),
            code::kPathNotFound);

  ::symlink("db.properties", (dir_ + "/alias").c_str());
  ::link((dir_ + "/db.properties").c_str(), (dir_ + "/hard").c_str());
  for (const char* other : {"db.properties", "alias", "hard", "folder\\..\\db.properties"}) {
    EXPECT_EQ(CodeOf([&] { host.CopyFile(Logic("db.properties"), Logic(other)); }),
              code::kPermissionDenied)
        << other;
    EXPECT_EQ(Read(dir_ + "/db.properties"), "DB_PROVIDER=SQLOLEDB\n") << other;
  }
}

TEST(PosixHostTest, ProfileIsHomeWithoutTrailingSlashWhateverItsLength) {
  const char* saved = std::getenv("HOME");
  const std::string savedHome = saved != nullptr ? saved : "";
  PosixHost host(0, nullptr);
  const auto token = host.OpenProcessToken();
  ASSERT_NE(token, nullptr);
  const std::string longHome = "/" + std::string(400, 'h');
  const struct {
    std::string home;
    bool found;
    std::wstring expected;
  } cases[] = {{"/home/qel/", true, L"/home/qel"},
               {longHome, true, std::wstring(longHome.begin(), longHome.end())},
               {"/", false, L"untouched"}};  // no profile, not the root of the file system
  for (const auto& c : cases) {
    ::setenv("HOME", c.home.c_str(), 1);
    std::wstring profile = L"untouched";
    EXPECT_EQ(host.GetUserProfileDirectory(token.get(), profile), c.found) << c.home;
    EXPECT_EQ(profile, c.expected) << c.home;
  }
  saved != nullptr ? ::setenv("HOME", savedHome.c_str(), 1) : ::unsetenv("HOME");
}

TEST(PosixHostTest, CommandLineQuotesEachArgumentAgain) {
  char program[] = "qelrestore", backup[] = "D:\\Backup\\", log[] = "default", flag[] = "N";
  char* argv[] = {program, backup, log, flag, nullptr};
  EXPECT_EQ(PosixHost(4, argv).CommandLine(), L"\"D:\\Backup\\\" \"default\" \"N\"");
  EXPECT_EQ(PosixHost(1, argv).CommandLine(), L"");
}

TEST(PosixHostTest, DateTimeTextIsIso) {
  const DateTime when{2024, 3, 5, 7, 8, 9, 0};
  EXPECT_EQ(PosixHost(0, nullptr).FormatDateTime(when), L"2024-03-05 07:08:09");
}

}  // namespace
}  // namespace qelrestore::posix
