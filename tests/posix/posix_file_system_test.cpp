// Files, errors and the profile of the POSIX host, on real temporary folders.
#include "host/posix/posix_file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "host/posix/posix_errors.h"
#include "host/posix/posix_host.h"
#include "support/byte_text.h"
#include "tests/posix/toolkit.h"

namespace qelrestore::posix {
namespace {

// The Error that `action` throws, or one of code 0 when it throws none.
template <typename Action>
Error ErrorOf(Action action) {
  try {
    action();
  } catch (const Error& error) {
    return error;
  }
  return Error(0, L"");
}

template <typename Action>
int32_t CodeOf(Action action) {
  return ErrorOf(action).code();
}

class PosixFileSystemTest : public testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(dir_ + "/db.properties") << "DB_PROVIDER=SQLOLEDB\n";
    ::chmod((dir_ + "/db.properties").c_str(), 0640);
    ::mkdir((dir_ + "/folder").c_str(), 0755);
    ::mkfifo((dir_ + "/fifo").c_str(), 0644);
  }

  // The logic's spelling of a path below the temporary folder.
  std::wstring Logic(const std::string& relative) const {
    return DecodeUtf8(dir_) + L"\\" + DecodeUtf8(relative);
  }

  const test::Sandbox sandbox_;
  const std::string dir_ = sandbox_.root().string();
  PosixHost host_{0, nullptr, L"qel"};
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
    EXPECT_EQ(host_.FileExists(Logic(c.name)), c.file) << c.name;
    EXPECT_EQ(host_.FolderExists(Logic(c.name)), c.folder) << c.name;
  }
}

TEST_F(PosixFileSystemTest, AFolderHasOneIdentityWhicheverPathLeadsToIt) {
  ::symlink("folder", (dir_ + "/link_to_folder").c_str());
  const std::optional<FolderIdentity> folder = host_.IdentifyFolder(Logic("folder"));
  ASSERT_TRUE(folder.has_value());
  EXPECT_EQ(host_.IdentifyFolder(Logic("link_to_folder\\")), folder);
  EXPECT_EQ(host_.IdentifyFolder(Logic("folder\\..\\folder")), folder);
  EXPECT_NE(host_.IdentifyFolder(DecodeUtf8(dir_)), folder);
  EXPECT_FALSE(host_.IdentifyFolder(Logic("db.properties")).has_value());
}

TEST_F(PosixFileSystemTest, LogIsAppendedToAndLinesReachTheFileAsTheyAreWritten) {
  const std::string path = dir_ + "/log.txt";
  std::ofstream(path) << "previous run\r\n";
  auto log = host_.OpenLog(Logic("log.txt"));
  log->writeLine(L"09:00: QEL start Restore");
  EXPECT_EQ(test::ReadFile(path), "previous run\r\n09:00: QEL start Restore\r\n")
      << "line written unbuffered";
  log->writeLine(L"caf\u00E9 \xDCE9");
  EXPECT_EQ(test::ReadFile(path),
            "previous run\r\n09:00: QEL start Restore\r\ncaf\xC3\xA9 \xE9\r\n");
  log->Close();
  log->Close();
  EXPECT_THROW(log->writeLine(L"after close"), Error);
  host_.OpenLog(Logic("new.txt"))->writeLine(L"");
  EXPECT_EQ(test::ReadFile(dir_ + "/new.txt"), "\r\n");

  EXPECT_EQ(CodeOf([&] { host_.OpenLog(Logic("no\\log.txt")); }), code::kPathNotFound);
  EXPECT_EQ(CodeOf([&] { host_.OpenLog(Logic("folder")); }), code::kPathFileAccess);
}

TEST_F(PosixFileSystemTest, InputIsARegularFileReadToTheEndAndNothingElseIsWaitedOn) {
  auto input = host_.OpenForInput(Logic("db.properties"));
  std::string content;
  char buffer[7];
  for (size_t got; (got = input->Read(buffer, sizeof buffer)) > 0;) content.append(buffer, got);
  EXPECT_EQ(content, "DB_PROVIDER=SQLOLEDB\n");

  // A FIFO without a writer would block an ordinary open for ever.
  const struct {
    std::string path;
    int32_t code;
  } refused[] = {{dir_ + "/folder", code::kPathFileAccess},
                 {dir_ + "/absent", code::kFileNotFound},
                 {dir_ + "/fifo", code::kPathFileAccess},
                 {"/dev/zero", code::kPathFileAccess}};
  for (const auto& c : refused) {
    const Error error = ErrorOf([&] { OpenInputFile(c.path); });
    EXPECT_EQ(error.code(), c.code) << c.path;
    EXPECT_NE(error.description().find(DecodeUtf8(c.path)), std::wstring::npos) << c.path;
  }
}

TEST_F(PosixFileSystemTest, PutBackReplacesTheDestinationByANewFileWithItsMode) {
  const std::string destination = dir_ + "/curdb.properties.bak";
  std::ofstream(destination) << std::string(200, 'o');
  ::chmod(destination.c_str(), 0604);
  const int oldReader = ::open(destination.c_str(), O_RDONLY);
  host_.CopyFileKeepingAccess(Logic("db.properties"), Logic("curdb.properties.bak"));
  EXPECT_EQ(test::ReadFile(destination), "DB_PROVIDER=SQLOLEDB\n");
  struct stat info {};
  ::stat(destination.c_str(), &info);
  // A copy this run did not save (an earlier run's, left by a kill) is put back owner-only,
  // never with the mode of the file it replaces.
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  // Whoever had the old file open still reads the old content.
  char first[4] = {};
  EXPECT_EQ(::read(oldReader, first, 3), 3);
  EXPECT_STREQ(first, "ooo");
  ::close(oldReader);

  // A link at the destination is replaced, never written through.
  std::ofstream(dir_ + "/elsewhere") << "untouched";
  ::symlink("elsewhere", (dir_ + "/linked").c_str());
  host_.CopyFileKeepingAccess(Logic("db.properties"), Logic("linked"));
  EXPECT_EQ(test::ReadFile(dir_ + "/elsewhere"), "untouched");
  EXPECT_FALSE(std::filesystem::is_symlink(dir_ + "/linked"));
  EXPECT_EQ(test::ReadFile(dir_ + "/linked"), "DB_PROVIDER=SQLOLEDB\n");
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    EXPECT_EQ(entry.path().filename().string().find(".qel-"), std::string::npos) << entry.path();
  }
}

// The restored file may belong to the backup's account: the machine's settings put back over it
// get the access they had, never that file's owner.
TEST_F(PosixFileSystemTest, KeptSettingsAreSavedPrivatelyAndPutBackWithTheirOwnAccess) {
  const auto statOf = [](const std::string& path) {
    struct stat info {};
    ::stat(path.c_str(), &info);
    return info;
  };
  const bool root = ::geteuid() == 0;
  ::chmod((dir_ + "/db.properties").c_str(), 0640);
  if (root) {
    ASSERT_EQ(::chown((dir_ + "/db.properties").c_str(), 1234, 1234), 0);
  }
  host_.CopyFileOwnerOnly(Logic("db.properties"), Logic("curdb.properties.bak"));
  EXPECT_EQ(statOf(dir_ + "/curdb.properties.bak").st_mode & 07777, 0600u);
  EXPECT_EQ(statOf(dir_ + "/curdb.properties.bak").st_uid, ::geteuid());
  std::ofstream(dir_ + "/restored") << "from the backup";
  ::chmod((dir_ + "/restored").c_str(), 0644);
  if (root) {
    ASSERT_EQ(::chown((dir_ + "/restored").c_str(), 4321, 4321), 0);
  }
  host_.CopyFileKeepingAccess(Logic("curdb.properties.bak"), Logic("restored"));
  EXPECT_EQ(test::ReadFile(dir_ + "/restored"), "DB_PROVIDER=SQLOLEDB\n");
  EXPECT_EQ(statOf(dir_ + "/restored").st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(statOf(dir_ + "/restored").st_uid, 1234u);
  }
}

TEST_F(PosixFileSystemTest, CopyRefusesSourcesThatAreNoRegularFileAndTheSourceItself) {
  ::symlink("db.properties", (dir_ + "/alias").c_str());
  ::symlink("/dev/zero", (dir_ + "/zeros").c_str());
  ::link((dir_ + "/db.properties").c_str(), (dir_ + "/hard").c_str());
  std::ofstream(dir_ + "/target") << "old";
  ::symlink("folder", (dir_ + "/linked").c_str());
  const struct {
    std::string source;
    std::string destination;
    int32_t code;
  } cases[] = {
      {"absent", "target", code::kFileNotFound},
      {"db.properties", "no\\target", code::kPathNotFound},
      {"alias", "target", code::kPathFileAccess},  // never followed, even to a regular file
      {"zeros", "target", code::kPathFileAccess},  // would fill the disk
      {"fifo", "target", code::kPathFileAccess},   // would wait for a writer
      {"folder", "target", code::kPathFileAccess},
      {"db.properties", "db.properties", code::kPermissionDenied},
      {"db.properties", "hard", code::kPermissionDenied},
      {"db.properties", "folder\\..\\db.properties", code::kPermissionDenied},
      {"db.properties", "folder", code::kPathFileAccess},
      {"db.properties", "linked\\target", code::kPathFileAccess},  // planted in place of PLUV
  };
  for (const auto& c : cases) {
    const Error error =
        ErrorOf([&] { host_.CopyFileKeepingAccess(Logic(c.source), Logic(c.destination)); });
    EXPECT_EQ(error.code(), c.code) << c.source << " -> " << c.destination;
    EXPECT_NE(error.description().find(L'/'), std::wstring::npos) << "no path named";
  }
  EXPECT_EQ(test::ReadFile(dir_ + "/target"), "old");
  EXPECT_EQ(test::ReadFile(dir_ + "/db.properties"), "DB_PROVIDER=SQLOLEDB\n");
  EXPECT_TRUE(std::filesystem::is_empty(dir_ + "/folder"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 8)
      << "a temporary file was left behind";
}

TEST_F(PosixFileSystemTest, RemoveFileRemovesWhatIsThereOnly) {
  host_.RemoveFile(Logic("db.properties"));
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/db.properties"));
  host_.RemoveFile(Logic("db.properties"));
  host_.RemoveFile(Logic("no\\such"));
  EXPECT_NE(CodeOf([&] { host_.RemoveFile(Logic("folder")); }), 0);
}

TEST(PosixHostTest, ProfileIsHomeWithoutTrailingSlashWhateverItsLength) {
  const char* saved = std::getenv("HOME");
  const std::string savedHome = saved != nullptr ? saved : "";
  PosixHost host(0, nullptr, L"qel");
  const std::string longHome = "/" + std::string(400, 'h');
  const struct {
    std::string home;
    std::optional<std::wstring> expected;
  } cases[] = {{"/home/qel/", L"/home/qel"},
               {longHome, std::wstring(longHome.begin(), longHome.end())},
               {"/", std::nullopt}};  // no profile, not the root of the file system
  for (const auto& c : cases) {
    ::setenv("HOME", c.home.c_str(), 1);
    EXPECT_EQ(host.ProfileFolder(), c.expected) << c.home;
  }
  saved != nullptr ? ::setenv("HOME", savedHome.c_str(), 1) : ::unsetenv("HOME");
}

TEST(PosixHostTest, CommandLineQuotesEachArgumentAgain) {
  char program[] = "qelrestore", backup[] = "D:\\Backup\\", log[] = "default", flag[] = "N";
  char* argv[] = {program, backup, log, flag, nullptr};
  EXPECT_EQ(PosixHost(4, argv, L"qel").CommandLine(), L"\"D:\\Backup\\\" \"default\" \"N\"");
  EXPECT_EQ(PosixHost(1, argv, L"qel").CommandLine(), L"");
}

TEST(PosixHostTest, DateTimeTextIsIso) {
  const DateTime when{2024, 3, 5, 7, 8, 9, 0};
  EXPECT_EQ(PosixHost(0, nullptr, L"qel").FormatDateTime(when), L"2024-03-05 07:08:09");
}

}  // namespace
}  // namespace qelrestore::posix
