// The undo set on real folders: a keeping copy and its undo leave the installation exactly as it
// was, its ACLs, attributes, owners and times included, wherever the set lies; an undo never
// writes through a link planted in the installation since.
#include "host/posix/posix_undo_set.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "copy/copy_engine.h"
#include "tests/posix/toolkit.h"

namespace qelrestore::posix {
namespace {

namespace fs = std::filesystem;

void Write(const fs::path& path, const std::string& text, fs::perms mode = fs::perms(0644)) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
  fs::permissions(path, mode);
}

// Every entry below `folder`: its type, mode, owner, size, link count, modification time, link
// target, content and extended attributes.
std::string Tree(const fs::path& folder) {
  std::string text = test::RunProgram({"/usr/bin/find", folder.string(), "-printf",
                                       "%P %y %m %U:%G %s %n %T@ %l\\n"})
                         .out;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    text += entry.path().string() + test::AttributesText(entry.path().string()) + "\n";
    if (entry.is_regular_file() && !entry.is_symlink()) {
      std::ifstream in(entry.path(), std::ios::binary);
      text += std::string(std::istreambuf_iterator<char>(in), {}) + "\n";
    }
  }
  return text;
}

class UndoSetTest : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qelundo-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    set_ = std::string(GetParam()) + "/qelundo-set-" + std::to_string(::getpid());
    // The installation: a file with an ACL and an attribute, a folder with a default ACL, a link.
    Write(root_ / "install/app.jar", "old program", fs::perms(0640));
    ASSERT_EQ(::setxattr((root_ / "install/app.jar").c_str(), "user.origin", "old", 3, 0), 0);
    const std::string access =
        test::AclValue({{1, 6, ~0u}, {2, 4, 1234}, {4, 4, ~0u}, {0x10, 4, ~0u}, {0x20, 0, ~0u}});
    ASSERT_EQ(::setxattr((root_ / "install/app.jar").c_str(), "system.posix_acl_access",
                         access.data(), access.size(), 0),
              0);
    Write(root_ / "install/lib/core.jar", "old library");
    fs::permissions(root_ / "install/lib", fs::perms(0750));
    const std::string inherited = test::AclValue({{1, 7, ~0u}, {4, 5, ~0u}, {0x20, 5, ~0u}});
    ASSERT_EQ(::setxattr((root_ / "install/lib").c_str(), "system.posix_acl_default",
                         inherited.data(), inherited.size(), 0),
              0);
    fs::create_symlink("app.jar", root_ / "install/current");
    // The backup: new contents, no ACLs, another link target, and what the copy adds.
    Write(root_ / "backup/app.jar", "new program");
    Write(root_ / "backup/lib/core.jar", "new library");
    Write(root_ / "backup/lib/extra.jar", "added");
    Write(root_ / "backup/plugins/one/p.jar", "added folder");
    fs::create_symlink("lib/core.jar", root_ / "backup/current");
    const struct timespec old[2] = {{1'500'000'000, 0}, {1'500'000'000, 5}};
    for (const char* path : {"install/app.jar", "install/lib/core.jar", "install/lib", "install"}) {
      ::utimensat(AT_FDCWD, (root_ / path).c_str(), old, AT_SYMLINK_NOFOLLOW);
    }
  }
  void TearDown() override {
    fs::remove_all(root_);
    fs::remove_all(set_);
  }
  // The keeping copy, as a keeping run makes it.
  void KeepAndCopy() {
    StartUndoSet(set_);
    const KeptForUndo kept = KeepReplaced(set_, Backup(), Install(), {});
    EXPECT_EQ(kept.files, 3u);
    EXPECT_EQ(kept.notKeptCount, 0u);
    EXPECT_EQ(kept.copied, std::string(GetParam()) == "/dev/shm");
    EXPECT_TRUE(CopyFolderContents(Backup(), Install()).complete);
    NoteLeft(set_, Install());
  }
  std::string Backup() const { return (root_ / "backup").string(); }
  std::string Install() const { return (root_ / "install").string(); }

  fs::path root_;
  std::string set_;
};

TEST_P(UndoSetTest, AKeepingCopyIsUndoneToTheInstallationExactlyAsItWas) {
  const std::string before = Tree(root_ / "install");
  KeepAndCopy();
  ASSERT_NE(Tree(root_ / "install"), before);
  const UndoCheck check = CheckUndo(set_, Install());
  EXPECT_TRUE(check.covered);
  EXPECT_EQ(check.changedCount, 0u);
  const UndoneFolder undone = PutBackKept(set_, Install());
  EXPECT_EQ(undone.outcome, CopyOutcome::kComplete);
  EXPECT_EQ(undone.files, 3u);
  DropUndoSet(set_);
  EXPECT_EQ(Tree(root_ / "install"), before);
  EXPECT_FALSE(fs::exists(set_));
}

// Killed after it put everything back but before the set was dropped: run again, the undo finds
// its own work, not a change, and ends.
TEST_P(UndoSetTest, AnUndoRunAgainFindsWhatItPutBackAndEnds) {
  const std::string before = Tree(root_ / "install");
  KeepAndCopy();
  ASSERT_EQ(PutBackKept(set_, Install()).outcome, CopyOutcome::kComplete);
  EXPECT_EQ(CheckUndo(set_, Install()).changedCount, 0u);
  EXPECT_EQ(PutBackKept(set_, Install()).outcome, CopyOutcome::kComplete);
  DropUndoSet(set_);
  EXPECT_EQ(Tree(root_ / "install"), before);
}

TEST_P(UndoSetTest, ALinkPlantedSinceIsNeitherFollowedNorWrittenThrough) {
  KeepAndCopy();
  Write(root_ / "outside/core.jar", "not the installation's");
  fs::remove_all(root_ / "install/lib");
  fs::create_directory_symlink(root_ / "outside", root_ / "install/lib");
  EXPECT_EQ(CheckUndo(set_, Install()).changedCount, 1u);
  const UndoneFolder undone = PutBackKept(set_, Install());
  EXPECT_EQ(undone.outcome, CopyOutcome::kIncomplete);
  EXPECT_EQ(test::ReadFile(root_ / "outside/core.jar"), "not the installation's");
  EXPECT_FALSE(fs::exists(root_ / "outside/extra.jar"));
}

// The set beside the installation (its files linked, no data copied), and on another file system
// (its files copies).
INSTANTIATE_TEST_SUITE_P(WhereTheSetLies, UndoSetTest, testing::Values("/tmp", "/dev/shm"));

}  // namespace
}  // namespace qelrestore::posix
