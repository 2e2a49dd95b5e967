// A re-run copies every file over one that already exists. A file that differs is replaced whole
// by a new one; one of the same length and modification time is taken as up to date and only its
// metadata set, which is what makes a re-run cheap. These cases hold both to the result of a copy
// into an empty folder.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "copy/copy_engine.h"
#include "tests/posix/copy_workers.h"

namespace qelrestore::posix {
namespace {

namespace fs = std::filesystem;

std::string Pattern(size_t size, char seed) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>(seed + static_cast<char>(i % 251));
  return text;
}

void Write(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

ino_t Inode(const fs::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

class CopyRewriteTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qelrewrite-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    fs::create_directories(root_ / "backup");
    fs::create_directories(root_ / "install");
  }
  void TearDown() override { fs::remove_all(root_); }

  bool CopyBackup() {
    const CopyReport report = CopyFolderContents(root_ / "backup", root_ / "install",
                                                 {.workers = test::CopyWorkersOfThisRun()});
    for (const CopyFailure& failure : report.failures) {
      ADD_FAILURE() << failure.path << ": " << failure.reason;
    }
    return report.complete;
  }

  fs::path root_;
};

TEST_F(CopyRewriteTest, ExistingFilesOfEveryLengthEndUpExactlyAsTheBackup) {
  // Lengths on both sides of the copy's own buffer (256 KiB) and of the old content.
  const struct {
    const char* name;
    size_t oldSize;
    size_t newSize;
  } cases[] = {
      {"longer_before", 5000, 12},
      {"same_length", 4096, 4096},
      {"shorter_before", 10, 70000},
      {"emptied", 300, 0},
      {"was_empty", 0, 33},
      {"large_over_larger", 3 << 20, (1 << 20) + 7},
      {"large_over_small", 100, (2 << 20) + 3},
  };
  // The backup's files are older than the installation's, as after an update that is undone.
  const struct timespec times[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
  for (const auto& c : cases) {
    Write(root_ / "backup" / c.name, Pattern(c.newSize, 'a'));
    ASSERT_EQ(::utimensat(AT_FDCWD, (root_ / "backup" / c.name).c_str(), times, 0), 0);
    Write(root_ / "install" / c.name, Pattern(c.oldSize, 'Z'));
  }

  ASSERT_TRUE(CopyBackup());
  std::vector<ino_t> copied;
  for (const auto& c : cases) {
    const fs::path copy = root_ / "install" / c.name;
    EXPECT_EQ(fs::file_size(copy), c.newSize) << c.name;
    EXPECT_TRUE(Read(copy) == Pattern(c.newSize, 'a')) << c.name;
    copied.push_back(Inode(copy));
  }

  // A second run finds every file up to date: none is written again, but the one whose mode was
  // changed since, which is replaced rather than given another mode in place (somebody may hold
  // it open).
  ASSERT_EQ(::chmod((root_ / "install" / cases[0].name).c_str(), 0600), 0);
  ASSERT_TRUE(CopyBackup());
  for (size_t i = 0; i < std::size(cases); ++i) {
    const fs::path copy = root_ / "install" / cases[i].name;
    EXPECT_TRUE(Read(copy) == Pattern(cases[i].newSize, 'a')) << cases[i].name;
    EXPECT_EQ(Inode(copy) == copied[i], i != 0) << cases[i].name;
  }
  struct stat info {};
  ASSERT_EQ(::stat((root_ / "install" / cases[0].name).c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u);
}

}  // namespace
}  // namespace qelrestore::posix
