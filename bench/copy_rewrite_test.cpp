// A re-run copies every file over one that already exists. The engine rewrites such a file in
// place and cuts only what the new content does not cover, which is what makes a re-run cheap;
// these cases hold it to the same result as a copy into an empty folder.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/posix/copy_engine.h"
#include "host/posix/posix_file_system.h"
#include "host/posix/posix_text.h"

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

  int32_t CopyBackup() {
    FileOperation operation;
    operation.wFunc = FO_COPY;
    operation.pFrom = DecodeUtf8((root_ / "backup").string()) + L"\\*";
    operation.pTo = DecodeUtf8((root_ / "install").string());
    return RunFileOperation(operation,
                            [this](std::string_view line) { reports_.emplace_back(line); });
  }

  fs::path root_;
  std::vector<std::string> reports_;
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
  for (const auto& c : cases) {
    Write(root_ / "backup" / c.name, Pattern(c.newSize, 'a'));
    Write(root_ / "install" / c.name, Pattern(c.oldSize, 'Z'));
  }
  std::vector<ino_t> before;
  for (const auto& c : cases) before.push_back(Inode(root_ / "install" / c.name));

  ASSERT_EQ(CopyBackup(), kFileOperationDone);
  EXPECT_TRUE(reports_.empty());
  for (size_t i = 0; i < std::size(cases); ++i) {
    const fs::path copy = root_ / "install" / cases[i].name;
    EXPECT_EQ(fs::file_size(copy), cases[i].newSize) << cases[i].name;
    EXPECT_TRUE(Read(copy) == Pattern(cases[i].newSize, 'a')) << cases[i].name;
    // Rewritten, not replaced: the file keeps its owner, links to it from elsewhere stay valid.
    EXPECT_EQ(Inode(copy), before[i]) << cases[i].name;
  }

  // A second run over the result changes nothing.
  ASSERT_EQ(CopyBackup(), kFileOperationDone);
  for (const auto& c : cases) {
    EXPECT_TRUE(Read(root_ / "install" / c.name) == Pattern(c.newSize, 'a')) << c.name;
  }
}

// The read/write path, taken where the kernel's copy calls are refused, records the same length
// as the fast paths, so a longer old file is cut at the right place there too.
TEST(ByteCopierLength, CountsWhatEachPathWrote) {
  char pattern[] = "/tmp/qelcopied-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path root = pattern;
  Write(root / "in", Pattern(300000, 'q'));
  {
    UniqueFd pipeEnds[2];
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    pipeEnds[0] = UniqueFd(fds[0]);
    pipeEnds[1] = UniqueFd(fds[1]);
    // Content that a size of 0 hides: the copier must find it by reading.
    ASSERT_EQ(::write(pipeEnds[1].get(), "abc", 3), 3);
    pipeEnds[1].reset();
    UniqueFd out(::open((root / "out0").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
    ByteCopier copier;
    const char* call = "";
    EXPECT_EQ(copier.Copy(pipeEnds[0].get(), out.get(), 0, call), 0);
    EXPECT_EQ(copier.copied(), 3);
  }
  {
    UniqueFd in(::open((root / "in").c_str(), O_RDONLY));
    UniqueFd out(::open((root / "out1").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
    ByteCopier copier;
    const char* call = "";
    EXPECT_EQ(copier.Copy(in.get(), out.get(), 300000, call), 0);
    EXPECT_EQ(copier.copied(), 300000);
  }
  fs::remove_all(root);
}

}  // namespace
}  // namespace qelrestore::posix
