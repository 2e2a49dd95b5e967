// The folder copy on real temporary folders.
#include "copy/copy_engine.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <signal.h>
#include <sys/wait.h>
#include <sys/xattr.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/byte_text.h"
#include "tests/posix/copy_workers.h"
#include "tests/posix/toolkit.h"

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
  if (!in) return "<missing>";
  // Whole, not byte by byte: a sanitized build checks every step of an iterator.
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
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

// A POSIX access ACL as the kernel stores it: owner rw-, user 1234 r--, group r--, mask r--,
// others r--.
std::string AccessAcl() {
  return test::AclValue({{1, 6, ~0u}, {2, 4, 1234}, {4, 4, ~0u}, {0x10, 4, ~0u}, {0x20, 4, ~0u}});
}

// What cp -a keeps of an entry, in a form two trees can be compared by.
std::string Kept(const std::string& path) {
  const struct stat info = LStat(path);
  std::string text =
      std::to_string(info.st_mode) + " " + std::to_string(info.st_uid) + ":" +
      std::to_string(info.st_gid) + " size " + std::to_string(info.st_size) + " links " +
      std::to_string(info.st_nlink) + " mtime " + std::to_string(info.st_mtim.tv_sec) + "." +
      std::to_string(info.st_mtim.tv_nsec) +
      (info.st_blocks * 512 < info.st_size ? " sparse" : "") + " -> " + LinkTarget(path);
  return text + test::AttributesText(path);
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

  bool Copy(const std::string& from, const std::string& to) {
    report_ = CopyFolderContents(from, to, {.workers = test::CopyWorkersOfThisRun()});
    EXPECT_EQ(std::min<uint64_t>(report_.failureCount, kNotCopiedNamed), report_.failures.size());
    EXPECT_EQ(report_.complete, report_.failureCount == 0);
    return report_.complete;
  }
  bool CopyBackup() { return Copy(src_, dst_); }
  // "path: reason" of each failure named.
  std::vector<std::string> Failures() const {
    std::vector<std::string> lines;
    for (const CopyFailure& failure : report_.failures) {
      lines.push_back(failure.path + ": " + failure.reason);
    }
    return lines;
  }

  std::string root_, src_, dst_;
  CopyReport report_;
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

  EXPECT_TRUE(CopyBackup()) << testing::PrintToString(Failures());

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

// Destination entries that are, or lead to, entries of the backup: writing into them would
// destroy the backup before (or while) it is copied. Those that are the backup's entry itself
// are left alone and reported.
// A backup file rewritten after its copy with the same length, its modification time set back
// (as a rewrite within one tick of the file system's clock leaves it), is copied again by a
// re-run, with every number of workers.
TEST_F(CopyEngineTest, ABackupFileRewrittenToTheSameLengthAndTimeIsCopiedAgain) {
  for (const unsigned workers : {1u, 8u}) {
    Write(src_ + "/app.jar", "old program");
    ASSERT_FALSE(CopyFolderContents(src_, dst_, {.workers = workers}).failureCount);
    const struct stat before = LStat(src_ + "/app.jar");
    Write(src_ + "/app.jar", "new program");
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, (src_ + "/app.jar").c_str(), times, 0), 0);
    EXPECT_TRUE(CopyBackup());
    EXPECT_EQ(Read(dst_ + "/app.jar"), "new program") << workers << " workers";
  }
}

// What a re-run must not take for up to date, though length and modification time match and the
// copy was made well after the backup file: each row changes one side between two copies kept on
// the record's word. The other backup folder ("other", same names, lengths and times, other
// bytes) was made before the first copy.
TEST_F(CopyEngineTest, ARerunKeepsAFileUnreadOnlyOnItsRecordsWord) {
  const std::string records = root_ + "/records";
  const struct timespec fixed[2] = {{1'600'000'000, 123'456'789}, {1'600'000'000, 123'456'789}};
  const std::vector<std::pair<std::string, std::function<void()>>> rows = {
      {"another backup of the same times", [&] { src_ = root_ + "/other"; }},
      {"a backup folder moved into place",
       [&] {
         ASSERT_EQ(::rename((src_ + "/sub").c_str(), (root_ + "/old-sub").c_str()), 0);
         ASSERT_EQ(::rename((root_ + "/other/sub").c_str(), (src_ + "/sub").c_str()), 0);
       }},
      {"an attribute put on the installation's copy",
       [&] { ASSERT_EQ(::setxattr((dst_ + "/sub/app.jar").c_str(), "user.stale", "x", 1, 0), 0); }},
      {"an installation file changed in place, its time put back",
       [&] {
         Write(dst_ + "/sub/app.jar", "altered!!!");
         ASSERT_EQ(::utimensat(AT_FDCWD, (dst_ + "/sub/app.jar").c_str(), fixed, 0), 0);
       }},
  };
  for (const auto& [row, change] : rows) {
    RemoveTree(AT_FDCWD, root_.c_str());
    ASSERT_EQ(::mkdir(root_.c_str(), 0700), 0);
    src_ = root_ + "/backup";
    for (const auto& [folder, content] :
         {std::pair{src_, "version=1"}, {root_ + "/other", "version=2"}}) {
      ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
      ASSERT_EQ(::mkdir((folder + "/sub").c_str(), 0755), 0);
      Write(folder + "/sub/app.jar", std::string(content) + "!");
      ASSERT_EQ(::utimensat(AT_FDCWD, (folder + "/sub/app.jar").c_str(), fixed, 0), 0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150));  // past the times' window
    ASSERT_TRUE(CopyFolderContents(src_, dst_, {.workers = 2, .recordFolder = records}).complete)
        << row;
    ASSERT_TRUE(CopyFolderContents(src_, dst_, {.workers = 2, .recordFolder = records}).complete)
        << row;
    change();
    const CopyReport report =
        CopyFolderContents(src_, dst_, {.workers = 2, .recordFolder = records});
    EXPECT_TRUE(report.complete) << row;
    EXPECT_EQ(Read(dst_ + "/sub/app.jar"), Read(src_ + "/sub/app.jar")) << row;
    EXPECT_LT(::getxattr((dst_ + "/sub/app.jar").c_str(), "user.stale", nullptr, 0), 0) << row;
  }
}

TEST_F(CopyEngineTest, NeverWritesThroughDestinationEntriesThatAliasTheBackup) {
  const auto bind = [](const char* existing, const char* alias) {
    return ::mkdir(alias, 0755) == 0 ? ::mount(existing, alias, nullptr, MS_BIND, nullptr) : -1;
  };
  const struct {
    const char* what;
    int (*make)(const char* existing, const char* alias);
    const char* target;
    const char* alias;
    const char* failure;  // the entry reported and why, if any
  } cases[] = {
      {"hard link to another backup file", ::link, "/b", "/a", nullptr},
      {"symbolic link to another backup file", ::symlink, "/b", "/a", nullptr},
      {"hard link to the same backup file", ::link, "/a", "/a",
       "/a: the destination is this backup entry itself"},
      // Bind mounts last: without the privilege to make them, the test ends there, skipped.
      {"bind mount of the same backup folder", bind, "/f", "/f",
       "/f: the destination folder is a folder of the backup itself"},
      {"bind mount of the backup above it", bind, "", "/f",
       "/f: the destination folder is a folder of the backup itself"},
      {"bind mount of another backup folder", bind, "/g", "/f",
       "/f: the destination folder is a folder of the backup itself"}};
  ASSERT_EQ(::mkdir((src_ + "/f").c_str(), 0755), 0);
  Write(src_ + "/f/c", "CCCC");
  ASSERT_EQ(::mkdir((src_ + "/g").c_str(), 0755), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(::mkdir(dst_.c_str(), 0755), 0);
    Write(src_ + "/a", "AAAA");
    Write(src_ + "/b", "BBBB");
    if (c.make((src_ + c.target).c_str(), (dst_ + c.alias).c_str()) != 0) {
      if (errno == EPERM) GTEST_SKIP() << "cannot make a bind mount without root";
      FAIL() << "cannot make the alias: " << std::strerror(errno);
    }

    EXPECT_EQ(CopyBackup(), c.failure == nullptr);
    EXPECT_EQ(Failures(), c.failure == nullptr ? std::vector<std::string>{}
                                               : std::vector<std::string>{src_ + c.failure});
    for (const std::string& folder : {src_, dst_}) {
      EXPECT_EQ(Read(folder + "/a"), "AAAA") << folder;
      EXPECT_EQ(Read(folder + "/b"), "BBBB") << folder;
    }
    EXPECT_EQ(Read(src_ + "/f/c"), "CCCC");
    EXPECT_EQ(Read(src_ + "/g/c"), "<missing>");
    ::umount2((dst_ + "/f").c_str(), MNT_DETACH);
    RemoveTree(AT_FDCWD, dst_.c_str());
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
  } cases[] = {{root_ + "/alias", false},
               {src_ + "/backup/..", false},
               {src_ + "/apps/ledger", true},
               // root/backup/backup would land on the backup itself: refused, the rest copied
               {root_, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.to);
    EXPECT_EQ(Copy(src_, c.to), c.complete);
    EXPECT_EQ(Read(src_ + "/QEL_PLUV.bak"), "database");
    EXPECT_EQ(Read(src_ + "/backup/QEL_PLUV.bak"), "inner copy");
    EXPECT_EQ(Read(c.to + "/QEL_PLUV.bak"), "database");
  }
  EXPECT_EQ(Read(src_ + "/apps/ledger/backup/QEL_PLUV.bak"), "inner copy");
  EXPECT_EQ(LStat(src_ + "/apps/ledger/apps/ledger").st_mode, 0u) << "copied into its own output";
}

// Each entry that cannot be copied is named with its reason, the first hundred of them, and
// counted; the rest is copied.
TEST_F(CopyEngineTest, NamesTheFirstHundredEntriesNotCopiedAndCountsAll) {
  ASSERT_EQ(::mkdir((src_ + "/PLUV").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((src_ + "/lib").c_str(), 0755), 0);
  Write(src_ + "/lib/a.jar", "jar");
  ASSERT_EQ(::symlink("lib", (src_ + "/link").c_str()), 0);
  ASSERT_EQ(::mkdir(dst_.c_str(), 0755), 0);
  Write(dst_ + "/PLUV", "a file standing where the folder goes");
  ASSERT_EQ(::mkdir((dst_ + "/link").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("elsewhere", (dst_ + "/lib").c_str()), 0);
  EXPECT_FALSE(CopyBackup());
  EXPECT_EQ(Failures(),
            (std::vector<std::string>{src_ + "/PLUV: a file stands where a folder goes",
                                      src_ + "/lib: a symbolic link stands where a folder goes",
                                      src_ + "/link: a folder stands where a symbolic link goes"}));
  EXPECT_EQ(Read(dst_ + "/PLUV"), "a file standing where the folder goes");

  RemoveTree(AT_FDCWD, dst_.c_str());
  for (int i = 0; i < 150; ++i) {
    const std::string name = "/f" + std::to_string(i);
    Write(src_ + "/lib" + name, "x");
    std::filesystem::create_directories(root_ + "/nested/lib" + name);  // where the file goes
  }
  EXPECT_FALSE(Copy(src_, root_ + "/nested"));
  EXPECT_EQ(report_.failureCount, 150u);
  // The first hundred by path, whichever order the workers met them in.
  std::vector<std::string> first;
  for (int i = 0; i < 150; ++i) first.push_back(src_ + "/lib/f" + std::to_string(i));
  std::sort(first.begin(), first.end());
  first.resize(kNotCopiedNamed);
  std::vector<std::string> named;
  for (const CopyFailure& failure : report_.failures) named.push_back(failure.path);
  EXPECT_EQ(named, first);
  EXPECT_EQ(Read(root_ + "/nested/lib/a.jar"), "jar");

  EXPECT_FALSE(Copy(root_ + "/no_such_backup", dst_));
  ASSERT_EQ(report_.failures.size(), 1u);
  EXPECT_EQ(report_.failures[0].reason, "No such file or directory");
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

  EXPECT_TRUE(Copy(backup, dst_)) << testing::PrintToString(Failures());
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

// A link renamed over the special file's name again and again while the backup's FIFOs are
// copied: setting their mode must never reach the file the link names.
TEST_F(CopyEngineTest, SpecialFileModesNeverFollowALinkSwappedIn) {
  for (int i = 0; i < 40; ++i) {
    const std::string fifo = src_ + "/p" + std::to_string(i);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::chmod(fifo.c_str(), 0606), 0);
  }
  const std::string victim = root_ + "/victim";
  Write(victim, "not a FIFO", 0640);
  ASSERT_EQ(::mkdir(dst_.c_str(), 0755), 0);
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    const std::string link = dst_ + "/.swap";
    for (unsigned i = 0; !stop; ++i) {
      ::symlink(victim.c_str(), link.c_str());
      ::rename(link.c_str(), (dst_ + "/p" + std::to_string(i % 40)).c_str());
    }
  });
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (std::chrono::steady_clock::now() < end && (LStat(victim).st_mode & 07777) == 0640) {
    CopyBackup();
  }
  stop = true;
  swapper.join();
  EXPECT_EQ(LStat(victim).st_mode & 07777, 0640u);
}

TEST_F(CopyEngineTest, SparseFilesStaySparse) {
  const std::string sparse = src_ + "/sparse";
  const int fd = ::open(sparse.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  const std::string data(4096, 'D');
  ASSERT_EQ(::pwrite(fd, data.data(), data.size(), off_t{512} << 20), 4096);
  ASSERT_EQ(::ftruncate(fd, off_t{1} << 30), 0);
  ::close(fd);
  if (LStat(sparse).st_blocks * 512 > (64 << 10)) GTEST_SKIP() << "/tmp keeps no holes";

  ASSERT_TRUE(CopyBackup()) << testing::PrintToString(Failures());
  const struct stat copy = LStat(dst_ + "/sparse");
  EXPECT_EQ(copy.st_size, off_t{1} << 30);
  EXPECT_LE(copy.st_blocks * 512, 64 << 10);
  std::string read(4096, '\0');
  const int in = ::open((dst_ + "/sparse").c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(::pread(in, read.data(), read.size(), off_t{512} << 20), 4096);
  EXPECT_EQ(read, data);
  EXPECT_EQ(::pread(in, read.data(), read.size(), 0), 4096);
  EXPECT_EQ(read, std::string(4096, '\0'));
  ::close(in);
}

// A copy killed at any moment leaves the file it was replacing whole: old or new, never a mix.
TEST_F(CopyEngineTest, AKilledCopyLeavesEachFileWholeOldOrWholeNew) {
  const std::string fresh(32 << 20, 'N');
  const std::string old(1 << 20, 'O');
  ASSERT_EQ(::mkdir(dst_.c_str(), 0755), 0);
  for (int i = 0; i < 8; ++i) Write(src_ + "/data" + std::to_string(i), fresh);
  for (const unsigned workers : {1u, 8u}) {
    for (int delay : {0, 1, 2, 4, 8, 16, 32}) {
      for (int i = 0; i < 8; ++i) Write(dst_ + "/data" + std::to_string(i), old);
      const pid_t child = ::fork();
      if (child == 0) {
        CopyFolderContents(src_, dst_, {.workers = workers});
        ::_exit(0);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(delay));
      ::kill(child, SIGKILL);
      ::waitpid(child, nullptr, 0);
      for (int i = 0; i < 8; ++i) {
        const std::string copy = Read(dst_ + "/data" + std::to_string(i));
        EXPECT_TRUE(copy == old || copy == fresh)
            << "killed after " << delay << " ms, " << workers << " workers";
      }
    }
  }
}

// The temporary files a killed copy left are the next run's to remove, wherever it passes, and
// only they: the dry run counts them, and a file of another name, mode or owner is left alone.
TEST_F(CopyEngineTest, TemporaryFilesAKilledCopyLeftAreRemovedByTheNextCopy) {
  ASSERT_EQ(::mkdir((src_ + "/sub").c_str(), 0755), 0);
  Write(src_ + "/sub/a", "a");
  ASSERT_EQ(::mkdir(dst_.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((dst_ + "/sub").c_str(), 0755), 0);
  for (const char* left : {"/.qelrestore-Ab12cD", "/sub/.qelrestore-zzzzzz"}) {
    Write(dst_ + left, std::string(4096, 'x'), 0600);
  }
  Write(dst_ + "/.qelrestore-notes", "not the copy's", 0600);
  Write(dst_ + "/sub/.qelrestore-abcdef", "readable by others", 0644);
  EXPECT_EQ(PlanFolderCopy(src_, dst_).leftovers, 2u);
  ASSERT_TRUE(CopyBackup()) << testing::PrintToString(Failures());
  EXPECT_EQ(report_.leftoversRemoved, 2u);
  EXPECT_EQ(Read(dst_ + "/.qelrestore-Ab12cD"), "<missing>");
  EXPECT_EQ(Read(dst_ + "/sub/.qelrestore-zzzzzz"), "<missing>");
  EXPECT_EQ(Read(dst_ + "/.qelrestore-notes"), "not the copy's");
  EXPECT_EQ(Read(dst_ + "/sub/.qelrestore-abcdef"), "readable by others");
}

// A failure that is not an entry's (here the progress callback's) stops every worker: the
// entries each had begun are ended, whole or removed, no other is begun, no temporary is left,
// and the failure reaches the caller.
// The restore's own files in the installation (a log, the kept settings by their names' beginning)
// keep what they hold: the backup's entries of those paths, a folder among them, are named and
// not copied, and the dry run names the same; the rest is copied.
TEST_F(CopyEngineTest, TheRestoresOwnFilesAreNeverWrittenOver) {
  for (const char* folder : {"/prog", "/prog/curdb.properties.bak.2"}) {
    ASSERT_EQ(::mkdir((src_ + folder).c_str(), 0755), 0);
  }
  for (const char* file : {"/run.log", "/prog/curdb.properties.bak", "/prog/app.exe"}) {
    Write(src_ + file, "backup's");
  }
  ASSERT_EQ(::mkdir(dst_.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((dst_ + "/prog").c_str(), 0755), 0);
  Write(dst_ + "/run.log", "the run's log");
  Write(dst_ + "/prog/curdb.properties.bak", "the machine's");
  const std::vector<std::string> own{"run.log", "prog/curdb.properties.bak*", "prog/app"};
  std::vector<std::string> refused{src_ + "/prog/curdb.properties.bak: " + kFileOfThisRestore,
                                   src_ + "/prog/curdb.properties.bak.2: " + kFileOfThisRestore,
                                   src_ + "/run.log: " + kFileOfThisRestore};
  std::sort(refused.begin(), refused.end());
  std::vector<std::string> planned;
  for (const NotCopied& entry : PlanFolderCopy(src_, dst_, {.ownFiles = own}).notCopied) {
    planned.push_back(EncodeUtf8(entry.path + L": " + entry.reason));
  }
  std::sort(planned.begin(), planned.end());
  EXPECT_EQ(planned, refused);
  report_ = CopyFolderContents(src_, dst_, {.workers = 2, .ownFiles = own});
  std::vector<std::string> failures = Failures();
  std::sort(failures.begin(), failures.end());
  EXPECT_EQ(failures, refused);
  EXPECT_EQ(Read(dst_ + "/run.log"), "the run's log");
  EXPECT_EQ(Read(dst_ + "/prog/curdb.properties.bak"), "the machine's");
  EXPECT_EQ(Read(dst_ + "/prog/curdb.properties.bak.2"), "<missing>");
  EXPECT_EQ(Read(dst_ + "/prog/app.exe"), "backup's");
}

TEST_F(CopyEngineTest, OneWorkersFailureStopsTheOthersAndLeavesNoTemporary) {
  constexpr unsigned kWorkers = 8;
  for (int i = 0; i < 200; ++i) Write(src_ + "/f" + std::to_string(i), std::string(65536, 'x'));
  const CopyProgress failing = [](const CopyCounts&) { throw std::runtime_error("stopped"); };
  EXPECT_THROW(CopyFolderContents(src_, dst_, {.workers = kWorkers}, failing), std::runtime_error);
  size_t copied = 0;
  DIR* dir = ::opendir(dst_.c_str());
  ASSERT_NE(dir, nullptr);
  while (const dirent* entry = ::readdir(dir)) {
    EXPECT_NE(std::string(entry->d_name).rfind(".qelrestore-", 0), 0u) << entry->d_name;
    if (entry->d_name[0] == 'f') ++copied;
  }
  ::closedir(dir);
  // One entry at most in each worker's hands when the first failed.
  EXPECT_LE(copied, kWorkers);
}

// A full disk: the files that do not fit are reported, each destination file stays whole (old or
// new), and no temporary file is left behind.
TEST_F(CopyEngineTest, AFullDiskLeavesEveryFileWholeAndNoTemporaryBehind) {
  ASSERT_EQ(::mkdir(dst_.c_str(), 0755), 0);
  if (::mount("tmpfs", dst_.c_str(), "tmpfs", 0, "size=2m") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs (needs root): " << std::strerror(errno);
  }
  const struct {
    const char* name;
    std::string old, fresh;
  } files[] = {{"a", std::string(300 << 10, 'a'), std::string(1 << 20, 'A')},
               {"b", std::string(300 << 10, 'b'), std::string(1 << 20, 'B')},
               {"c", "", std::string(1 << 10, 'C')}};
  for (const auto& file : files) {
    Write(src_ + "/" + file.name, file.fresh);
    if (!file.old.empty()) Write(dst_ + "/" + file.name, file.old);
  }
  EXPECT_FALSE(CopyBackup());
  for (const CopyFailure& failure : report_.failures) {
    EXPECT_EQ(failure.reason, "No space left on device") << failure.path;
  }
  // Which files find the space depends on the order the workers take them in: each one is whole,
  // and each one not brought up to date is named.
  const std::vector<std::string> failures = Failures();
  for (const auto& file : files) {
    const std::string copy = Read(dst_ + "/" + file.name);
    EXPECT_TRUE(copy == file.fresh || (file.old.empty() ? copy == "<missing>" : copy == file.old))
        << file.name;
    const std::string named = src_ + "/" + file.name + ": No space left on device";
    EXPECT_EQ(copy != file.fresh,
              std::find(failures.begin(), failures.end(), named) != failures.end())
        << file.name;
  }
  for (const auto& entry : std::filesystem::directory_iterator(dst_)) {
    EXPECT_EQ(entry.path().filename().string().rfind(".qelrestore-", 0), std::string::npos)
        << entry.path();
  }
  ::umount2(dst_.c_str(), MNT_DETACH);
}

// A small tree copied by cp -a and by the engine, as root and as an unprivileged user: the same
// owners, modes (set-ID bits dropped where the owner cannot be kept), times, hard links,
// extended attributes, ACLs (with the group bits they imply) and holes.
TEST_F(CopyEngineTest, KeepsWhatCpArchiveKeeps) {
  if (::geteuid() != 0) GTEST_SKIP() << "making the tree's owners needs root";
  ASSERT_EQ(::mkdir((src_ + "/d").c_str(), 0755), 0);
  Write(src_ + "/d/suid", "#!/bin/sh\n", 0755);
  Write(src_ + "/a", "hard", 0644);
  ASSERT_EQ(::link((src_ + "/a").c_str(), (src_ + "/d/b").c_str()), 0);
  Write(src_ + "/x", "attributes", 0600);
  const std::string acl = AccessAcl();
  ASSERT_EQ(::setxattr((src_ + "/x").c_str(), "user.note", "kept", 4, 0), 0);
  ASSERT_EQ(::setxattr((src_ + "/x").c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0),
            0);
  const int sparse = ::open((src_ + "/s").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_EQ(::pwrite(sparse, "data", 4, 8 << 20), 4);
  ASSERT_EQ(::ftruncate(sparse, 16 << 20), 0);
  ::close(sparse);
  ASSERT_EQ(::mkfifo((src_ + "/p").c_str(), 0644), 0);
  ASSERT_EQ(::symlink("a", (src_ + "/l").c_str()), 0);
  for (const char* path : {"/d", "/d/suid", "/a", "/x"}) {
    ASSERT_EQ(::chown((src_ + path).c_str(), 1234, 1234), 0);
  }
  ASSERT_EQ(::chmod((src_ + "/d/suid").c_str(), 04755), 0);  // chown took the bit away
  ASSERT_EQ(::chmod(root_.c_str(), 0755), 0);                // open to the unprivileged user
  const struct timespec times[2] = {{999'999'900, 0}, {1'000'000'000, 500}};
  for (const char* path : {"/d/suid", "/a", "/x", "/s", "/p", "/l", "/d"}) {
    ASSERT_EQ(::utimensat(AT_FDCWD, (src_ + path).c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  }

  for (const uid_t user : {uid_t{0}, uid_t{65534}}) {
    SCOPED_TRACE("user " + std::to_string(user));
    const std::string base = root_ + "/as" + std::to_string(user);
    ASSERT_EQ(::mkdir(base.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(base.c_str(), 0777), 0);
    const pid_t child = ::fork();
    if (child == 0) {
      if (user != 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(user, user, user) != 0 ||
                        ::setresuid(user, user, user) != 0)) {
        ::_exit(3);
      }
      const int copied = CopyFolderContents(src_, base + "/ours").complete ? 0 : 1;
      const std::string from = src_ + "/.";
      const std::string to = base + "/cp";
      ::execlp("cp", "cp", "-a", from.c_str(), to.c_str(), static_cast<char*>(nullptr));
      ::_exit(copied + 4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // cp's exit status is the child's; ours is checked through the tree.
    for (const char* path : {"/d", "/d/suid", "/a", "/d/b", "/x", "/s", "/p", "/l"}) {
      EXPECT_EQ(Kept(base + "/ours" + path), Kept(base + "/cp" + path)) << path;
    }
    EXPECT_EQ(LStat(base + "/ours/a").st_ino, LStat(base + "/ours/d/b").st_ino);
    EXPECT_EQ(LStat(base + "/ours/d/suid").st_mode & 07777, user == 0 ? 04755u : 0755u);
  }
}

// A re-run over an earlier copy leaves each entry with exactly the backup's attributes, as a
// fresh copy has them: an ACL taken off the backup file (its mode unchanged), an attribute taken
// off a backup file or folder, a default ACL taken off a backup folder, and an attribute another
// hand put on the copy since, are all gone from the copy.
TEST_F(CopyEngineTest, AReRunTakesOffTheCopyWhatTheBackupNoLongerHas) {
  const std::string acl = AccessAcl();
  const std::string defaultAcl = test::AclValue({{1, 7, ~0u}, {4, 5, ~0u}, {0x20, 5, ~0u}});
  Write(src_ + "/acl", "read by user 1234");
  Write(src_ + "/note", "noted");
  ASSERT_EQ(::mkdir((src_ + "/d").c_str(), 0755), 0);
  const struct {
    const char* path;
    const char* name;
    std::string value;
    bool onCopy;  // put on the copy after the first copy, else taken off the backup
  } changes[] = {{"/acl", "system.posix_acl_access", acl, false},
                 {"/acl", "user.stale", "x", true},
                 {"/note", "user.gone", "g", false},
                 {"/d", "user.gone", "g", false},
                 {"/d", "system.posix_acl_default", defaultAcl, false},
                 {"/d", "user.stale", "x", true}};
  for (const char* path : {"/note", "/d"}) {
    ASSERT_EQ(::setxattr((src_ + path).c_str(), "user.kept", "k", 1, 0), 0) << path;
  }
  for (const auto& change : changes) {
    if (change.onCopy) continue;
    ASSERT_EQ(::setxattr((src_ + change.path).c_str(), change.name, change.value.data(),
                         change.value.size(), 0),
              0)
        << change.path << " " << change.name;
  }
  ASSERT_TRUE(CopyBackup()) << testing::PrintToString(Failures());
  for (const auto& change : changes) {
    const std::string path = (change.onCopy ? dst_ : src_) + change.path;
    ASSERT_EQ(change.onCopy ? ::setxattr(path.c_str(), change.name, change.value.data(),
                                         change.value.size(), 0)
                            : ::removexattr(path.c_str(), change.name),
              0)
        << path << " " << change.name;
  }
  ASSERT_TRUE(CopyBackup()) << testing::PrintToString(Failures());
  for (const char* path : {"/acl", "/note", "/d"}) {
    EXPECT_EQ(test::AttributesText(dst_ + path), test::AttributesText(src_ + path)) << path;
    EXPECT_EQ(LStat(dst_ + path).st_mode, LStat(src_ + path).st_mode) << path;
  }
}

// A destination whose file system keeps no ACLs (ramfs keeps no extended attributes at all): an
// ACL that kept the owning group out while it granted a named user through the mask is not
// dropped in silence, leaving the mask's bits to the owning group. Each entry whose ACL said more
// than its mode is named; the file gets its content with its group bits narrowed to the owning
// group's, a folder its entries; a re-run names them again.
TEST_F(CopyEngineTest, AnAclTheDestinationCannotHoldIsNamedAndNeverWidened) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a file system without ACLs needs root";
  ASSERT_EQ(::mkdir(dst_.c_str(), 0755), 0);
  if (::mount("ramfs", dst_.c_str(), "ramfs", 0, nullptr) != 0) {
    GTEST_SKIP() << "cannot mount a ramfs: " << std::strerror(errno);
  }
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{dst_};
  const struct {
    const char* path;
    const char* name;
    std::string acl;
    mode_t copyMode;  // the copy's, without the ACL
  } entries[] = {
      // group::---, user 1234 r-- through mask::r--: mode 0640, the copy 0600
      {"/group_out", "system.posix_acl_access",
       test::AclValue({{1, 6, ~0u}, {2, 4, 1234}, {4, 0, ~0u}, {0x10, 4, ~0u}, {0x20, 0, ~0u}}),
       0600},
      // group::r--, mask::r--: the mode is already the owning group's
      {"/group_in", "system.posix_acl_access", AccessAcl(), 0644},
      {"/d", "system.posix_acl_default", test::AclValue({{1, 7, ~0u}, {4, 5, ~0u}, {0x20, 5, ~0u}}),
       0755},
  };
  Write(src_ + "/group_out", "kept from the group", 0600);
  Write(src_ + "/group_in", "read by the group", 0600);
  ASSERT_EQ(::mkdir((src_ + "/d").c_str(), 0755), 0);
  Write(src_ + "/d/in", "inside");
  std::vector<std::string> named;
  for (const auto& entry : entries) {
    const std::string path = src_ + entry.path;
    ASSERT_EQ(::setxattr(path.c_str(), entry.name, entry.acl.data(), entry.acl.size(), 0), 0);
    named.push_back(path + ": the file system here keeps no ACLs");
  }
  std::sort(named.begin(), named.end());
  for (int run = 1; run <= 2; ++run) {
    SCOPED_TRACE("copy " + std::to_string(run));
    EXPECT_FALSE(CopyBackup());
    EXPECT_EQ(Failures(), named);
    for (const auto& entry : entries) {
      EXPECT_EQ(LStat(dst_ + entry.path).st_mode & 07777, entry.copyMode) << entry.path;
    }
    EXPECT_EQ(Read(dst_ + "/group_out"), "kept from the group");
    EXPECT_EQ(Read(dst_ + "/d/in"), "inside");
  }
}

}  // namespace
}  // namespace qelrestore::posix
