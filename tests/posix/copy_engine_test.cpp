// The folder copy on real temporary folders.
#include "host/posix/copy_engine.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "host/posix/posix_text.h"

namespace qelrestore::posix {
namespace {

// Removes a tree through directory descriptors: the deep tree below is longer than PATH_MAX.
void RemoveTree(int folder, const char* name) {
  const int fd = ::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    ::unlinkat(folder, name, 0);
    return;
  }
  DIR* dir = ::fdopendir(fd);
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      RemoveTree(fd, entry->d_name);
    }
  }
  ::closedir(dir);
  ::unlinkat(folder, name, AT_REMOVEDIR);
}

void Write(const std::string& path, const std::string& content, mode_t mode = 0644) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "<missing>";
}

struct stat LStat(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) info.st_mode = 0;
  return info;
}

std::string LinkTarget(const std::string& path) {
  char buffer[4096];
  const ssize_t length = ::readlink(path.c_str(), buffer, sizeof buffer);
  return length < 0 ? "<not a link>" : std::string(buffer, static_cast<size_t>(length));
}

class CopyEngineTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qelcopy-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    src_ = root_ + "/backup";
    dst_ = root_ + "/install";
    ASSERT_EQ(::mkdir(src_.c_str(), 0755), 0);
  }
  void TearDown() override { RemoveTree(AT_FDCWD, root_.c_str()); }

  // Copies `from` (native; "/*" meaning the folder's content) into `to`, in the logic's spelling.
  int32_t Copy(const std::string& from, const std::string& to, uint32_t function = FO_COPY) {
    const auto logic = [](const std::string& native) {
      std::wstring text = DecodeUtf8(native);
      for (wchar_t& ch : text) ch = ch == L'/' ? L'\\' : ch;
      return text;
    };
    operation_ = FileOperation{};
    operation_.wFunc = function;
    operation_.pFrom = logic(from);
    operation_.pTo = logic(to);
    operation_.fFlags = FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR;
    reports_.clear();
    return RunFileOperation(operation_,
                            [this](std::string_view line) { reports_.emplace_back(line); });
  }
  int32_t CopyBackup() { return Copy(src_ + "/*", dst_); }

  std::string root_, src_, dst_;
  FileOperation operation_;
  std::vector<std::string> reports_;
};

TEST_F(CopyEngineTest, CopiesWholeTreeOverExistingFilesKeepingModesTimesAndLinks) {
  std::string big(3 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919) >> 3);
  for (const char* folder : {"/PLUV", "/PLUV/deep", "/.hidden_dir"}) {
    ASSERT_EQ(::mkdir((src_ + folder).c_str(), 0750), 0);
  }
  Write(src_ + "/PLUV/db.properties", "DB_PROVIDER=SQLOLEDB\n", 0640);
  Write(src_ + "/PLUV/deep/big.bin", big, 0600);
  Write(src_ + "/.hidden_dir/.hidden", "dot file");
  Write(src_ + "/run.sh", "#!/bin/sh\n", 0755);
  ASSERT_EQ(::symlink("../outside/secret", (src_ + "/to_file").c_str()), 0);
  ASSERT_EQ(::symlink("/nowhere", (src_ + "/dangling").c_str()), 0);
  const struct {
    const char* path;
    mode_t mode;
  } kept[] = {{"/PLUV/db.properties", 0640},
              {"/PLUV/deep/big.bin", 0600},
              {"/run.sh", 0755},
              {"/PLUV/deep", 0750},
              {"/PLUV", 0750}};
  const struct timespec times[2] = {{999'999'900, 0}, {1'000'000'000, 500}};
  for (const auto& entry : kept) {
    ASSERT_EQ(::utimensat(AT_FDCWD, (src_ + entry.path).c_str(), times, 0), 0);
  }
  // The destination has an older, longer file of the same name, a file where the backup has a
  // link, and a file the backup lacks.
  ASSERT_EQ(::mkdir(dst_.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((dst_ + "/PLUV").c_str(), 0777), 0);
  Write(dst_ + "/PLUV/db.properties", std::string(100, 'x'), 0666);
  Write(dst_ + "/PLUV/local.cfg", "keep me", 0600);
  Write(dst_ + "/to_file", "old file");

  EXPECT_EQ(CopyBackup(), kFileOperationDone);
  EXPECT_FALSE(operation_.fAnyOperationsAborted);
  EXPECT_TRUE(reports_.empty());

  // Modes and times first: reading the copies moves their access times.
  for (const auto& entry : kept) {
    const struct stat info = LStat(dst_ + entry.path);
    EXPECT_EQ(info.st_mode & 07777, entry.mode) << entry.path;
    EXPECT_EQ(info.st_mtim.tv_sec, times[1].tv_sec) << entry.path;
    EXPECT_EQ(info.st_mtim.tv_nsec, times[1].tv_nsec) << entry.path;
    EXPECT_EQ(info.st_atim.tv_sec, times[0].tv_sec) << entry.path;
  }
  EXPECT_EQ(Read(dst_ + "/PLUV/db.properties"), "DB_PROVIDER=SQLOLEDB\n");
  EXPECT_EQ(Read(dst_ + "/PLUV/local.cfg"), "keep me");
  EXPECT_TRUE(Read(dst_ + "/PLUV/deep/big.bin") == big);
  EXPECT_EQ(Read(dst_ + "/.hidden_dir/.hidden"), "dot file");
  for (const char* link : {"/to_file", "/dangling"}) {
    EXPECT_EQ(LinkTarget(dst_ + link), LinkTarget(src_ + link)) << link;
  }
}

// Destination entries that are, or lead to, files of the backup: writing into them in place would
// destroy the backup before (or while) it is copied.
TEST_F(CopyEngineTest, NeverWritesThroughDestinationEntriesThatAliasTheBackup) {
  const struct {
    const char* what;
    int (*make)(const char* existing, const char* alias);
    const char* target;
  } cases[] = {{"hard link to another backup file", ::link, "/b"},
               {"symbolic link to another backup file", ::symlink, "/b"},
               {"hard link to the same backup file", ::link, "/a"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RemoveTree(AT_FDCWD, dst_.c_str());
    ASSERT_EQ(::mkdir(dst_.c_str(), 0755), 0);
    Write(src_ + "/a", "AAAA");
    Write(src_ + "/b", "BBBB");
    ASSERT_EQ(c.make((src_ + c.target).c_str(), (dst_ + "/a").c_str()), 0);

    EXPECT_EQ(CopyBackup(), kFileOperationDone);
    for (const std::string& folder : {src_, dst_}) {
      EXPECT_EQ(Read(folder + "/a"), "AAAA") << folder;
      EXPECT_EQ(Read(folder + "/b"), "BBBB") << folder;
    }
  }
}

// The backup copied onto itself under another spelling, into a folder of its own, or over a
// folder that holds it: the backup stays as it was, and the copy does not feed on its output.
TEST_F(CopyEngineTest, CopiesOntoOrIntoTheBackupItselfDestroyNothing) {
  ASSERT_EQ(::mkdir((src_ + "/backup").c_str(), 0755), 0);
  Write(src_ + "/backup/QEL_PLUV.bak", "inner copy");
  Write(src_ + "/QEL_PLUV.bak", "database");
  ASSERT_EQ(::symlink(src_.c_str(), (root_ + "/alias").c_str()), 0);
  const struct {
    std::string to;
    bool complete;
  } cases[] = {{root_ + "/alias", true},
               {src_ + "/backup/..", true},
               {src_ + "/apps/ledger", true},
               // root/backup/backup would land on the backup itself: refused, the rest copied
               {root_, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.to);
    EXPECT_EQ(Copy(src_ + "/*", c.to) == kFileOperationDone, c.complete);
    EXPECT_EQ(operation_.fAnyOperationsAborted, !c.complete);
    EXPECT_EQ(Read(src_ + "/QEL_PLUV.bak"), "database");
    EXPECT_EQ(Read(src_ + "/backup/QEL_PLUV.bak"), "inner copy");
    EXPECT_EQ(Read(c.to + "/QEL_PLUV.bak"), "database");
  }
  EXPECT_EQ(Read(src_ + "/apps/ledger/backup/QEL_PLUV.bak"), "inner copy");
  EXPECT_EQ(LStat(src_ + "/apps/ledger/apps/ledger").st_mode, 0u) << "copied into its own output";
}

TEST_F(CopyEngineTest, EntryThatCannotBeCopiedAbortsButTheRestIsCopied) {
  for (const char* folder : {"/PLUV", "/lib"}) ASSERT_EQ(::mkdir((src_ + folder).c_str(), 0755), 0);
  Write(src_ + "/PLUV/db.properties", "settings");
  Write(src_ + "/lib/a.jar", "jar");
  Write(src_ + "/z_last", "last");
  ASSERT_EQ(::mkdir(dst_.c_str(), 0755), 0);
  Write(dst_ + "/PLUV", "a file standing where the folder goes");

  EXPECT_NE(CopyBackup(), kFileOperationDone);
  EXPECT_TRUE(operation_.fAnyOperationsAborted);
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_NE(reports_[0].find(src_ + "/PLUV"), std::string::npos) << reports_[0];
  EXPECT_EQ(Read(dst_ + "/PLUV"), "a file standing where the folder goes");
  EXPECT_EQ(Read(dst_ + "/lib/a.jar"), "jar");
  EXPECT_EQ(Read(dst_ + "/z_last"), "last");
}

TEST_F(CopyEngineTest, OtherFormsOfTheRecord) {
  ASSERT_EQ(::mkdir((src_ + "/PLUV").c_str(), 0755), 0);
  Write(src_ + "/PLUV/db.properties", "settings");
  Write(src_ + "/other", "not asked for");
  // Without the wildcard: that one entry, into a destination made on the way.
  EXPECT_EQ(Copy(src_ + "/PLUV", dst_ + "/nested"), kFileOperationDone);
  EXPECT_EQ(Read(dst_ + "/nested/PLUV/db.properties"), "settings");
  EXPECT_EQ(LStat(dst_ + "/nested/other").st_mode, 0u);

  EXPECT_NE(Copy(root_ + "/no_such_backup/*", dst_), kFileOperationDone);
  EXPECT_TRUE(operation_.fAnyOperationsAborted);
  EXPECT_NE(Copy(src_ + "/*", root_ + "/moved", 1), kFileOperationDone);
  EXPECT_TRUE(operation_.fAnyOperationsAborted);
  EXPECT_EQ(LStat(root_ + "/moved").st_mode, 0u) << "nothing is done for another function";
}

// 40 levels of 255-byte names (far beyond PATH_MAX) with names that are not UTF-8, below a backup
// folder whose own name is not UTF-8 either.
TEST_F(CopyEngineTest, CopiesDeepTreesWithLongAndNonUtf8Names) {
  const std::string odd = "caf\xE9-\xFF\xFE";
  const std::string backup = root_ + "/" + odd;
  ASSERT_EQ(::mkdir(backup.c_str(), 0755), 0);
  std::vector<std::string> names;
  int folder = ::open(backup.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int level = 0; level < 40; ++level) {
    names.push_back(std::to_string(level) + odd);
    names.back().resize(255, static_cast<char>('a' + level % 26));
    ASSERT_EQ(::mkdirat(folder, names.back().c_str(), 0755), 0);
    const int next = ::openat(folder, names.back().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(std::exchange(folder, next));
  }
  const int file = ::openat(folder, odd.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_EQ(::write(file, "bottom", 6), 6);
  ::close(file);
  ::close(folder);

  EXPECT_EQ(Copy(backup + "/*", dst_), kFileOperationDone);
  EXPECT_TRUE(reports_.empty()) << reports_.front();
  folder = ::open(dst_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (const std::string& name : names) {
    ::close(std::exchange(folder, ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY)));
    ASSERT_GE(folder, 0) << "level missing";
  }
  char buffer[16] = {};
  const int copied = ::openat(folder, odd.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(::read(copied, buffer, sizeof buffer), 6);
  EXPECT_STREQ(buffer, "bottom");
  ::close(copied);
  ::close(folder);
}

}  // namespace
}  // namespace qelrestore::posix
