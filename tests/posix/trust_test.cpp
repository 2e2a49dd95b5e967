// What a backup or a folder that another account writes can do to a run as root: gain nothing,
// read nothing, break nothing. Each case runs the copy as root and, where permissions decide,
// as the user nobody.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "copy/copy_engine.h"
#include "host/posix/posix_file_system.h"
#include "tests/posix/toolkit.h"

namespace qelrestore::posix {
namespace {

constexpr uid_t kNobody = 65534;

// A POSIX ACL as the kernel stores it: version 2, then tag, permissions, id per entry.
std::string Acl(const std::vector<std::tuple<uint16_t, uint16_t, uint32_t>>& entries) {
  std::string acl;
  const auto put = [&acl](uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) acl.push_back(static_cast<char>(value >> (8 * i)));
  };
  put(2, 4);
  for (const auto& [tag, perm, id] : entries) {
    put(tag, 2);
    put(perm, 2);
    put(id, 4);
  }
  return acl;
}

// A default ACL that lets nobody do everything in what the folder receives.
const std::string kNobodyMayAll =
    Acl({{1, 7, ~0u}, {2, 7, kNobody}, {4, 5, ~0u}, {0x10, 7, ~0u}, {0x20, 5, ~0u}});

struct stat Stat(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) info.st_mode = 0;
  return info;
}

// Runs `body` in a child process as `user` (root stays root); true when it returned true.
template <typename Body>
bool AsUser(uid_t user, Body body) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (user != 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(user, user, user) != 0 ||
                      ::setresuid(user, user, user) != 0)) {
      ::_exit(3);
    }
    ::_exit(body() ? 0 : 1);
  }
  int status = 0;
  return ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class TrustTest : public testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "making other accounts' files needs root";
    ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
    for (const char* folder : {"/backup", "/install"}) {
      ASSERT_EQ(::mkdir((dir_ + folder).c_str(), 0777), 0);
      ASSERT_EQ(::chmod((dir_ + folder).c_str(), 0777), 0);
    }
  }
  void Make(const std::string& relative, const std::string& content, uid_t owner, mode_t mode) {
    test::WriteFile(dir_ + "/" + relative, content);
    ASSERT_EQ(::chown((dir_ + "/" + relative).c_str(), owner, owner), 0);
    ASSERT_EQ(::chmod((dir_ + "/" + relative).c_str(), mode), 0);
  }

  const test::Sandbox sandbox_;
  const std::string dir_ = sandbox_.root().string();
};

// A file another account owns keeps that owner and its set-user-ID bit, or loses the bit with
// the owner: a run never makes its own set-ID file of somebody else's content.
TEST_F(TrustTest, ACopyNeverMakesASetIdFileOfAnotherAccountsContent) {
  Make("backup/db.properties", "#!/bin/sh\nid\n", 1234, 06755);
  for (const uid_t user : {uid_t{0}, kNobody}) {
    SCOPED_TRACE("run as " + std::to_string(user));
    const std::string kept = dir_ + "/install/kept" + std::to_string(user);
    const std::string tree = dir_ + "/install/tree" + std::to_string(user);
    ASSERT_TRUE(AsUser(user, [&] {
      CopyWholeFile(dir_ + "/backup/db.properties", kept, KeptSettingsCopy::kPutBack);
      return CopyFolderContents(dir_ + "/backup", tree).complete;
    }));
    for (const std::string& copy : {kept, tree + "/db.properties"}) {
      const struct stat info = Stat(copy);
      EXPECT_EQ(info.st_uid, user == 0 ? 1234u : user) << copy;
      EXPECT_EQ(info.st_mode & 07777, user == 0 ? 06755u : 0755u) << copy;
    }
  }
}

// The saved settings lie in the run's own state folder: whoever owns the installation's file
// (after an earlier run, the backup's owner), the saved copy is the run's and nobody else's.
TEST_F(TrustTest, TheSavedSettingsAreTheRunsOwnWhoeverOwnedTheInstallationsFile) {
  Make("install/PLUV/db.properties", "settings", 1234, 0644);
  for (const uid_t user : {uid_t{0}, kNobody}) {
    SCOPED_TRACE("run as " + std::to_string(user));
    const std::string saved = dir_ + "/install/saved" + std::to_string(user);
    ASSERT_TRUE(AsUser(user, [&] {
      CopyWholeFile(dir_ + "/install/PLUV/db.properties", saved, KeptSettingsCopy::kSave);
      return true;
    }));
    EXPECT_EQ(Stat(saved).st_uid, user);
    EXPECT_EQ(Stat(saved).st_gid, user);
    EXPECT_EQ(Stat(saved).st_mode & 07777, 0600u);
  }
}

// A device node of the backup (made where its maker was root) would open that device to its
// owner: it is reported, never made.
TEST_F(TrustTest, ADeviceNodeOfTheBackupIsNeverMade) {
  ASSERT_EQ(::mknod((dir_ + "/backup/disk").c_str(), S_IFCHR | 0666, ::makedev(1, 3)), 0);
  ASSERT_EQ(::chown((dir_ + "/backup/disk").c_str(), kNobody, kNobody), 0);
  const CopyReport report = CopyFolderContents(dir_ + "/backup", dir_ + "/install");
  EXPECT_FALSE(report.complete);
  ASSERT_EQ(report.failures.size(), 1u);
  EXPECT_EQ(report.failures[0].reason, "a device node, not copied");
  EXPECT_EQ(Stat(dir_ + "/install/disk").st_mode, 0u);
}

// A set-group-ID folder gives what is made in it its own group; the copy sets the source's
// group over it, on the first run and on a re-run over a copy that has the folder's group.
TEST_F(TrustTest, OwnerAndGroupAreSetEvenWhereASetGroupIdFolderHandsOutItsGroup) {
  for (const uid_t user : {uid_t{0}, uid_t{1234}}) {
    SCOPED_TRACE("run as " + std::to_string(user));
    const std::string backup = "backup" + std::to_string(user);
    const std::string install = dir_ + "/install/" + std::to_string(user);
    Make(backup + "/PLUV/secret", "private", user, 0640);
    Make(backup + "/again", "private", user, 0640);
    ASSERT_EQ(::chmod((dir_ + "/" + backup).c_str(), 0777), 0);
    // A folder the run may not chmod stays as it is: root finds PLUV there, the other account
    // makes it inside the set-group-ID folder.
    ASSERT_EQ(::mkdir(install.c_str(), 02777), 0);
    if (user == 0) {
      ASSERT_EQ(::mkdir((install + "/PLUV").c_str(), 02777), 0);
    }
    for (const std::string& folder : {install + "/PLUV", install}) {
      if (user != 0 && folder != install) continue;
      ASSERT_EQ(::chown(folder.c_str(), kNobody, kNobody), 0);
      ASSERT_EQ(::chmod(folder.c_str(), 02777), 0);
    }
    const auto copy = [&] {
      return AsUser(user, [&] {
        CopyWholeFile(dir_ + "/" + backup + "/again", install + "/kept",
                      KeptSettingsCopy::kPutBack);
        return CopyFolderContents(dir_ + "/" + backup, install).complete;
      });
    };
    ASSERT_TRUE(copy());
    // As an earlier run left it.
    ASSERT_EQ(::chown((install + "/again").c_str(), user, kNobody), 0);
    ASSERT_TRUE(copy());
    for (const char* name : {"/PLUV/secret", "/again", "/kept"}) {
      EXPECT_EQ(Stat(install + name).st_gid, user) << name;
      EXPECT_EQ(Stat(install + name).st_mode & 07777, 0640u) << name;
    }
  }
}

// The account that owns a destination folder with a default ACL granting it everything watches
// each entry the copy makes there and tries to open it while it is written: it must never
// succeed, neither for a file nor for a folder and what is written into it.
TEST_F(TrustTest, NoEntryIsOpenToAnotherAccountWhileItIsWritten) {
  Make("backup/big", std::string(48 << 20, 's'), 0, 0640);
  Make("backup/d/small", "secret", 0, 0640);
  ASSERT_EQ(::chmod((dir_ + "/backup/d").c_str(), 0750), 0);
  const std::string install = dir_ + "/install";
  ASSERT_EQ(::chown(install.c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(::setxattr(install.c_str(), "system.posix_acl_default", kNobodyMayAll.data(),
                       kNobodyMayAll.size(), 0),
            0);
  int ready[2];
  int stop[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(stop), 0);
  const pid_t watcher = ::fork();
  if (watcher == 0) {
    ::close(ready[0]);
    ::close(stop[1]);
    if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
        ::setresuid(kNobody, kNobody, kNobody) != 0) {
      ::_exit(3);
    }
    const int events = ::inotify_init1(IN_CLOEXEC);
    const uint32_t mask = IN_CREATE | IN_ATTRIB | IN_MODIFY | IN_MOVED_TO;
    std::vector<std::string> watched;  // the folder of each watch
    const auto watch = [&](const std::string& folder) {
      const int id = ::inotify_add_watch(events, folder.c_str(), mask);
      if (id >= 0) watched.resize(std::max(watched.size(), static_cast<size_t>(id) + 1));
      if (id >= 0) watched[static_cast<size_t>(id)] = folder;
      return id >= 0;
    };
    if (events < 0 || !watch(install)) ::_exit(4);
    (void)!::write(ready[1], "r", 1);
    for (;;) {
      struct pollfd fds[2] = {{events, POLLIN, 0}, {stop[0], POLLIN, 0}};
      ::poll(fds, 2, -1);
      if ((fds[0].revents & POLLIN) == 0) ::_exit(0);  // the copy is over
      alignas(inotify_event) char buffer[4096];
      const ssize_t got = ::read(events, buffer, sizeof buffer);
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        if (event->len == 0) continue;
        const std::string path = watched[static_cast<size_t>(event->wd)] + "/" + event->name;
        if (::open(path.c_str(), O_RDONLY | O_NONBLOCK) >= 0) ::_exit(1);
        if ((event->mask & IN_ISDIR) != 0) watch(path);
      }
    }
  }
  ::close(ready[1]);
  ::close(stop[0]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  EXPECT_TRUE(CopyFolderContents(dir_ + "/backup", install).complete);
  ::close(stop[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(watcher, &status, 0), watcher);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "opened by nobody: " << status;
  ::close(ready[0]);
  EXPECT_EQ(::access((install + "/big").c_str(), F_OK), 0);
}

// A chain of folders far deeper than the walk goes, copied with barely more descriptors than two
// per level of that depth: the folder below the last level is reported, nothing else, and the
// dry run's count stops at the same level.
TEST_F(TrustTest, ADeepChainStopsAtTheDocumentedDepthWithBoundedDescriptors) {
  const size_t levels = kMaxFolderDepth + 200;
  int folder = ::open((dir_ + "/backup").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (size_t level = 1; level <= levels; ++level) {
    ASSERT_EQ(::mkdirat(folder, "d", 0755), 0);
    if (level == kMaxFolderDepth) {
      ASSERT_EQ(::close(::openat(folder, "d/last", O_CREAT | O_WRONLY, 0644)), 0);
    }
    ::close(std::exchange(folder, ::openat(folder, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
  }
  ::close(folder);
  struct rlimit limit {};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  const struct rlimit bounded = {2 * kMaxFolderDepth + 64, limit.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &bounded), 0);
  const CopyReport report = CopyFolderContents(dir_ + "/backup", dir_ + "/install");
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
  EXPECT_FALSE(report.complete);
  ASSERT_EQ(report.failures.size(), 1u);
  std::string tooDeep = dir_ + "/backup";
  for (size_t level = 0; level <= kMaxFolderDepth; ++level) tooDeep += "/d";
  EXPECT_EQ(report.failures[0].path, tooDeep);
  EXPECT_EQ(report.failures[0].reason, "folder too deep");
  EXPECT_EQ(PlanFolderCopy(dir_ + "/backup", dir_ + "/install").files, 1u);
}

// A re-run over an unchanged sparse file of 1 TiB compares its few data extents, not its length
// (read whole, that is most of an hour), where it compares at all; a byte of the backup file
// changed in one of them, its time set back, is still found.
TEST_F(TrustTest, ARerunComparesASparseFileByItsDataNotItsLength) {
  const std::string source = dir_ + "/backup/huge";
  const int fd = ::open(source.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  for (const off_t at : {off_t{0}, off_t{300} << 30, off_t{700} << 30}) {
    ASSERT_EQ(::pwrite(fd, "data", 4, at), 4);
  }
  ASSERT_EQ(::ftruncate(fd, off_t{1} << 40), 0);
  ::close(fd);
  ASSERT_TRUE(CopyFolderContents(dir_ + "/backup", dir_ + "/install").complete);
  const std::string copy = dir_ + "/install/huge";
  const ino_t first = Stat(copy).st_ino;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(CopyFolderContents(dir_ + "/backup", dir_ + "/install").complete);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_EQ(Stat(copy).st_ino, first) << "an unchanged file was written again";

  const struct stat before = Stat(source);
  const int changed = ::open(source.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_EQ(::pwrite(changed, "D", 1, off_t{700} << 30), 1);
  ::close(changed);
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, source.c_str(), times, 0), 0);
  ASSERT_TRUE(CopyFolderContents(dir_ + "/backup", dir_ + "/install").complete);
  EXPECT_NE(Stat(copy).st_ino, first) << "a changed file was taken as up to date";
}

// Files deep below long folder names, each with a second name outside the backup (so the copy
// expects their other name to the end): what the copy remembers of each must not grow with its
// path.
TEST_F(TrustTest, MemoryForFilesWithSeveralNamesDoesNotGrowWithTheirPaths) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the address sanitizer's quarantine keeps freed memory resident";
#endif
#ifdef __SANITIZE_THREAD__
  GTEST_SKIP() << "the thread sanitizer's shadow of each thread is resident memory";
#endif
  constexpr int kFiles = 2000;
  ASSERT_EQ(::mkdir((dir_ + "/outside").c_str(), 0755), 0);
  const int outside = ::open((dir_ + "/outside").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int folder = ::open((dir_ + "/backup").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const std::string name(250, 'n');
  for (int level = 0; level < 200; ++level) {
    ASSERT_EQ(::mkdirat(folder, name.c_str(), 0755), 0);
    ::close(std::exchange(folder, ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY)));
  }
  for (int i = 0; i < kFiles; ++i) {
    const std::string file = std::to_string(i);
    ASSERT_EQ(::close(::openat(folder, file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644)), 0);
    ASSERT_EQ(::linkat(folder, file.c_str(), outside, file.c_str(), 0), 0);
  }
  ::close(folder);
  ::close(outside);
  const pid_t child = ::fork();
  if (child == 0) {
    struct rusage start {};
    ::getrusage(RUSAGE_SELF, &start);
    const bool complete = CopyFolderContents(dir_ + "/backup", dir_ + "/install").complete;
    struct rusage end {};
    ::getrusage(RUSAGE_SELF, &end);
    const long grownKiB = end.ru_maxrss - start.ru_maxrss;
    ::_exit(!complete ? 2 : grownKiB > 8 * 1024 + kFiles * 64 / 1024 ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "1: memory grew, 2: incomplete";
}

}  // namespace
}  // namespace qelrestore::posix
