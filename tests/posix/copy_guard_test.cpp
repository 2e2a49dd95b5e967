// The folder copy against an account that holds or changes what the copy works on: the
// installation's old files, the folders written into, the backup's files while they are read.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <string>

#include <gtest/gtest.h>

#include "copy/copy_engine.h"
#include "copy/copy_file_data.h"
#include "host/posix/unique_fd.h"
#include "tests/posix/toolkit.h"

namespace qelrestore::posix {
namespace {

using test::Sandbox;
using test::WriteFile;

// A POSIX default ACL as the kernel stores it: owner rwx, user 1234 rwx, group r-x, mask rwx,
// others ---.
std::string DefaultAclForUser1234() {
  return test::AclValue({{1, 7, ~0u}, {2, 7, 1234}, {4, 5, ~0u}, {0x10, 7, ~0u}, {0x20, 0, ~0u}});
}

class CopyGuardTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(src_.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(dst_.c_str(), 0755), 0);
  }
  // A file of the backup, and the same bytes and times at its destination.
  void MakePair(const std::string& name, mode_t mode) {
    WriteFile(src_ + "/" + name, "#!/bin/sh\nid\n");
    WriteFile(dst_ + "/" + name, "#!/bin/sh\nid\n");
    ASSERT_EQ(::chmod((src_ + "/" + name).c_str(), mode), 0);
    struct stat info {};
    ASSERT_EQ(::stat((src_ + "/" + name).c_str(), &info), 0);
    const struct timespec times[2] = {info.st_atim, info.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dst_ + "/" + name).c_str(), times, 0), 0);
  }

  Sandbox sandbox_;
  std::string src_ = sandbox_.root() / "backup";
  std::string dst_ = sandbox_.root() / "install";
};

// An old file already holding the backup's bytes and times is kept in place only when its owner,
// group and mode are the copy's; otherwise whoever holds it (open or mapped for writing, or by a
// second name) would keep a handle on a file that became root's, or set-user-ID.
TEST_F(CopyGuardTest, AnOldFileIsNeverGivenAnotherOwnerOrModeInPlace) {
  if (::geteuid() != 0) GTEST_SKIP() << "gives files other owners";
  struct Case {
    const char* name;
    uid_t oldOwner;
    mode_t oldMode;
    bool secondName;
    bool keptInPlace;
  };
  for (const Case& c :
       {Case{"other-owner", 1234, 04755, false, false}, Case{"other-mode", 0, 0755, false, false},
        Case{"second-name", 0, 04755, true, false}, Case{"in-line", 0, 04755, false, true}}) {
    SCOPED_TRACE(c.name);
    MakePair(c.name, 04755);
    const std::string old = dst_ + "/" + c.name;
    ASSERT_EQ(::chown(old.c_str(), c.oldOwner, 0), 0);
    ASSERT_EQ(::chmod(old.c_str(), c.oldMode), 0);
    if (c.secondName) {
      ASSERT_EQ(::link(old.c_str(), (old + ".held").c_str()), 0);
    }
    const UniqueFd held(::open(old.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat before {};
    ASSERT_EQ(::fstat(held.get(), &before), 0);

    EXPECT_TRUE(CopyFolderContents(src_, dst_).complete);
    struct stat after {};
    struct stat placed {};
    ASSERT_EQ(::fstat(held.get(), &after), 0);
    ASSERT_EQ(::lstat(old.c_str(), &placed), 0);
    EXPECT_EQ(placed.st_ino == before.st_ino, c.keptInPlace);
    EXPECT_EQ(after.st_uid, c.oldOwner);
    EXPECT_EQ(after.st_mode & 07777, c.oldMode);
    EXPECT_EQ(placed.st_uid, 0u);
    EXPECT_EQ(placed.st_mode & 07777, 04755u);
    ::unlink(old.c_str());
    ::unlink((old + ".held").c_str());
    ::unlink((src_ + "/" + c.name).c_str());
  }
}

// A default ACL given to a destination folder after the copy entered it hands the files made
// there entries that their final mode would make effective: a file of the backup without an ACL
// ends without one, whenever the folder got it.
TEST_F(CopyGuardTest, ADefaultAclGivenToTheFolderDuringTheCopyOpensNoFile) {
  for (const char* name : {"a.key", "b.key"}) WriteFile(src_ + "/" + name, "secret");
  for (const char* name : {"a.key", "b.key"})
    ASSERT_EQ(::chmod((src_ + "/" + name).c_str(), 0640), 0);
  const std::string acl = DefaultAclForUser1234();
  const auto report = CopyFolderContents(src_, dst_, {}, [&](const CopyCounts&) {
    ::setxattr(dst_.c_str(), "system.posix_acl_default", acl.data(), acl.size(), 0);
  });
  ASSERT_TRUE(report.complete);
  char value[256];
  ASSERT_GT(::getxattr(dst_.c_str(), "system.posix_acl_default", value, sizeof value), 0)
      << "the folder got no default ACL: the file system keeps none";
  for (const char* name : {"a.key", "b.key"}) {
    const std::string copy = dst_ + "/" + name;
    EXPECT_LT(::getxattr(copy.c_str(), "system.posix_acl_access", value, sizeof value), 0) << name;
  }
}

// An existing destination folder is filled under the backup folder's owner and no more rights than
// its final mode gives: the account that owned it, or anybody its old mode let in, never reads a
// file written into it that the folder's final state keeps from them.
TEST_F(CopyGuardTest, AnExistingFolderIsFilledOnlyOnceItGrantsNoMoreThanItsFinalState) {
  if (::geteuid() != 0) GTEST_SKIP() << "gives folders other owners";
  ASSERT_EQ(::mkdir((src_ + "/conf").c_str(), 0700), 0);
  WriteFile(src_ + "/conf/secret.key", "secret");
  ASSERT_EQ(::mkdir((dst_ + "/conf").c_str(), 0755), 0);
  ASSERT_EQ(::chown((dst_ + "/conf").c_str(), 1234, 1234), 0);
  struct stat during {};
  const auto report = CopyFolderContents(
      src_, dst_, {}, [&](const CopyCounts&) { ::stat((dst_ + "/conf").c_str(), &during); });
  ASSERT_TRUE(report.complete);
  EXPECT_EQ(during.st_uid, 0u);
  EXPECT_EQ(during.st_mode & 07777, 0700u);
}

// A backup file grown after the copy saw its length is copied no further than that length: an
// empty file grown to any length (as a hole) costs nothing.
TEST_F(CopyGuardTest, AFileIsCopiedNoFurtherThanTheLengthSeenAtItsOpen) {
  for (const off_t seen : {off_t{0}, off_t{4}}) {
    SCOPED_TRACE(seen);
    const std::string in = src_ + "/grown" + std::to_string(seen);
    const std::string out = dst_ + "/grown" + std::to_string(seen);
    WriteFile(in, std::string(static_cast<size_t>(seen), 'x'));
    const UniqueFd from(::open(in.c_str(), O_RDWR | O_CLOEXEC));
    struct stat info {};
    ASSERT_EQ(::fstat(from.get(), &info), 0);
    ASSERT_EQ(::ftruncate(from.get(), off_t{1} << 26), 0);  // grown after the fstat
    const UniqueFd to(::open(out.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    EXPECT_EQ(FileDataCopier().Copy(from.get(), to.get(), info), 0);
    struct stat copied {};
    ASSERT_EQ(::fstat(to.get(), &copied), 0);
    EXPECT_EQ(copied.st_size, seen);
  }
}

}  // namespace
}  // namespace qelrestore::posix
