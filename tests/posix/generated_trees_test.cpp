// Backup and installation trees made by a seeded generator (owners root, nobody and a third
// account, set-ID bits, set-group-ID folders, default ACLs, attributes, hard links inside the
// backup and to files outside it, sparse files, FIFOs, symbolic links, deep chains, long and
// non-UTF-8 names), each copied by the folder copy and by cp -a into a fresh and into a
// pre-filled destination, the results compared entry by entry. QELRESTORE_TREES sets how many
// trees (a few dozen by default; the soak run asks for a few hundred), QELRESTORE_TREE_SEED the
// first seed (alone, unless QELRESTORE_TREES says more). Without it each run starts from a seed
// of its own, printed, so that runs cover new trees; a difference names its seed.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "copy/copy_engine.h"
#include "tests/posix/copy_workers.h"
#include "tests/posix/toolkit.h"

namespace qelrestore::posix {
namespace {

constexpr uid_t kOwners[] = {0, 65534, 1234};

// A POSIX ACL as the kernel stores it: owner, one named user, group, mask, others.
std::string Acl(uint32_t user, uint16_t userBits, uint16_t otherBits) {
  std::string acl;
  const auto put = [&acl](uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) acl.push_back(static_cast<char>(value >> (8 * i)));
  };
  put(2, 4);
  const uint32_t entries[][3] = {
      {1, 7, ~0u}, {2, userBits, user}, {4, 5, ~0u}, {0x10, 7, ~0u}, {0x20, otherBits, ~0u}};
  for (const auto& entry : entries) {
    put(entry[0], 2);
    put(entry[1], 2);
    put(entry[2], 4);
  }
  return acl;
}

class TreeGenerator {
 public:
  TreeGenerator(uint64_t seed, std::string outside) : random_(seed), outside_(std::move(outside)) {}

  // Fills `root` (an existing folder) with a tree.
  void Fill(const std::string& root, int depth) {
    const int entries = Pick(1, depth == 0 ? 8 : 5);
    for (int i = 0; i < entries; ++i) {
      const std::string path = root + "/" + Name(i);
      const int kind = Pick(0, 99);
      if (kind < 40) {
        File(path);
      } else if (kind < 60 && depth < 6) {
        Folder(path, depth);
      } else if (kind < 66 && depth == 0) {
        Chain(path);
      } else if (kind < 74) {
        ASSERT_EQ(::symlink(Pick(0, 1) == 0 ? "../elsewhere" : Name(0).c_str(), path.c_str()), 0);
        Own(path, true);
      } else if (kind < 79) {
        ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
        Own(path, false);
      } else if (kind < 87 && !files_.empty()) {
        ASSERT_EQ(::link(files_[Index(files_.size())].c_str(), path.c_str()), 0) << path;
      } else if (kind < 92) {
        const std::string far = outside_ + "/" + std::to_string(outsideCount_++);
        File(far);
        ASSERT_EQ(::link(far.c_str(), path.c_str()), 0);
      } else {
        Sparse(path);
      }
    }
  }

  // Turns a copy of a backup into an installation it may be restored over: some files rewritten
  // (some to the same length, a nanosecond apart in time), owners and modes changed, folders made
  // set-group-ID or given a default ACL, files of its own added.
  void Mutate(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    ASSERT_NE(dir, nullptr) << folder;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) names.push_back(entry->d_name);
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      if (name == "." || name == "..") continue;
      const std::string path = folder + "/" + name;
      struct stat info {};
      ASSERT_EQ(::lstat(path.c_str(), &info), 0);
      if (S_ISDIR(info.st_mode)) {
        Mutate(path);
        if (Pick(0, 3) == 0) Own(path, false);
        if (Pick(0, 3) == 0) {
          ASSERT_EQ(::chmod(path.c_str(), 02777), 0);
        }
        if (Pick(0, 3) == 0) {
          const std::string acl = Acl(65534, 7, 7);
          ASSERT_EQ(::setxattr(path.c_str(), "system.posix_acl_default", acl.data(), acl.size(), 0),
                    0);
        }
      } else if (S_ISREG(info.st_mode) && Pick(0, 2) == 0) {
        std::string content = test::ReadFile(path);
        for (char& c : content) c = static_cast<char>(c ^ 0x5A);
        test::WriteFile(path, Pick(0, 1) == 0 ? content : content + "longer");
        // A rewrite of the same length keeps its time but for a nanosecond: length and time
        // decide for a file written well after its backup, whose bytes are not read again.
        struct timespec times[2] = {info.st_atim, info.st_mtim};
        times[1].tv_nsec += times[1].tv_nsec == 999'999'999 ? -1 : 1;
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
        if (Pick(0, 1) == 0) Own(path, false);
      }
    }
    if (Pick(0, 2) == 0) File(folder + "/own" + std::to_string(Pick(0, 999)));
  }

  int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
  size_t Index(size_t size) { return static_cast<size_t>(Pick(0, static_cast<int>(size) - 1)); }

  // A name unique in its folder (the index), sometimes long, hidden, spaced or not UTF-8.
  std::string Name(int index) {
    std::string name = std::to_string(index);
    switch (Pick(0, 9)) {
      case 0:
        name += std::string(static_cast<size_t>(Pick(150, 240)), 'L');
        break;
      case 1:
        name = "." + name;
        break;
      case 2:
        name += "\xE9t\xFF\xFE";
        break;  // Latin-1 bytes: not UTF-8
      case 3:
        name += " caf\xC3\xA9 \xE2\x80\xAE";
        break;
      default:
        name += "n";
        break;
    }
    return name;
  }

  void File(const std::string& path) {
    const size_t size = static_cast<size_t>(Pick(0, 3) == 0 ? 0 : Pick(1, 70000));
    std::string content(size, '\0');
    for (char& c : content) c = static_cast<char>(Pick(0, 255));
    test::WriteFile(path, content);
    if (Pick(0, 4) == 0) {
      ASSERT_EQ(::setxattr(path.c_str(), "user.note", "n", 1, 0), 0);
    }
    if (Pick(0, 5) == 0) {
      const std::string acl = Acl(kOwners[Index(3)], static_cast<uint16_t>(Pick(0, 7)), 4);
      ASSERT_EQ(::setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0), 0);
    }
    Own(path, false);
    files_.push_back(path);
  }

  void Sparse(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    const off_t length = off_t{Pick(1, 64)} << 20;
    for (int i = Pick(0, 3); i > 0; --i) {
      ASSERT_EQ(::pwrite(fd, "sparse", 6, Pick(0, static_cast<int>(length >> 12) - 1) * 4096L), 6);
    }
    ASSERT_EQ(::ftruncate(fd, length), 0);
    ::close(fd);
    Own(path, false);
  }

  void Folder(const std::string& path, int depth) {
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
    if (Pick(0, 4) == 0) {
      const std::string acl = Acl(kOwners[Index(3)], 7, static_cast<uint16_t>(Pick(0, 5)));
      ASSERT_EQ(::setxattr(path.c_str(), "system.posix_acl_default", acl.data(), acl.size(), 0), 0);
    }
    Fill(path, depth + 1);
    Own(path, false);
    if (Pick(0, 3) == 0) {
      ASSERT_EQ(::chmod(path.c_str(), 02775), 0);
    }
  }

  void Chain(const std::string& path) {
    std::string at = path;
    for (int level = Pick(10, 40); level > 0; --level) {
      ASSERT_EQ(::mkdir(at.c_str(), 0755), 0);
      at += "/c";
    }
    File(at);
  }

  // A random owner and mode (set-ID bits included), set in the order that keeps the bits.
  void Own(const std::string& path, bool link) {
    const uid_t owner = kOwners[Index(3)];
    const gid_t group = kOwners[Index(3)];
    ASSERT_EQ(::lchown(path.c_str(), owner, group), 0);
    if (link) return;
    static constexpr mode_t kModes[] = {0644, 0600, 0640, 0755, 0700, 04755, 02755, 06750, 0444};
    ASSERT_EQ(::chmod(path.c_str(), kModes[Index(std::size(kModes))]), 0);
  }

 private:
  std::mt19937_64 random_;
  std::string outside_;
  int outsideCount_ = 0;
  std::vector<std::string> files_;  // the backup's files, for hard links
};

// What cp -a keeps of every entry below `root`, by relative path; hard links shown as the
// smallest path of their group. `setIds`: whether set-ID bits count.
std::map<std::string, std::string> Describe(const std::string& root, bool setIds) {
  std::map<std::string, std::string> entries;
  std::map<ino_t, std::string> firstNames;
  std::vector<std::string> pending = {""};
  while (!pending.empty()) {
    const std::string relative = pending.back();
    pending.pop_back();
    DIR* dir = ::opendir((root + relative).c_str());
    if (dir == nullptr) continue;
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      const std::string path = relative + "/" + name;
      const std::string full = root + path;
      struct stat info {};
      if (::lstat(full.c_str(), &info) != 0) continue;
      std::string& text = entries[path];
      if (!setIds) info.st_mode &= ~mode_t{S_ISUID | S_ISGID};
      text = std::to_string(info.st_mode) + " " + std::to_string(info.st_uid) + ":" +
             std::to_string(info.st_gid) + " size " + std::to_string(info.st_size) + " blocks " +
             std::to_string(info.st_blocks) + " mtime " + std::to_string(info.st_mtim.tv_sec) +
             "." + std::to_string(info.st_mtim.tv_nsec);
      if (S_ISDIR(info.st_mode)) pending.push_back(path);
      if (S_ISLNK(info.st_mode)) {
        char target[4096];
        const ssize_t length = ::readlink(full.c_str(), target, sizeof target);
        text += " -> " + std::string(target, static_cast<size_t>(std::max<ssize_t>(length, 0)));
        continue;
      }
      if (S_ISREG(info.st_mode)) {
        text += " content " + std::to_string(std::hash<std::string>()(test::ReadFile(full)));
        if (info.st_nlink > 1) {
          auto [first, added] = firstNames.emplace(info.st_ino, path);
          if (!added && path < first->second) first->second = path;
          text += " inode " + std::to_string(info.st_ino);  // replaced by its group below
        }
      }
      text += test::AttributesText(full);
    }
    ::closedir(dir);
  }
  // Inode numbers differ between two copies; the group each belongs to does not.
  for (auto& [path, text] : entries) {
    const size_t at = text.find(" inode ");
    if (at == std::string::npos) continue;
    const size_t end = text.find(' ', at + 7);
    const ino_t inode = std::stoull(text.substr(at + 7, end - at - 7));
    text.replace(at, end - at, " linked with " + firstNames[inode]);
  }
  return entries;
}

// Rewrites every other regular file below `folder` in place, each byte another, and puts its times
// back: what a re-run sees as unchanged by length and time alone.
void RewriteKeepingTimes(const std::string& folder, bool& odd) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = folder + "/" + name;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      RewriteKeepingTimes(path, odd);
      continue;
    }
    if (!S_ISREG(info.st_mode) || info.st_size == 0 || (odd = !odd)) continue;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    std::string bytes(static_cast<size_t>(std::min<off_t>(info.st_size, 4096)), '\0');
    if (::pread(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size())) {
      for (char& byte : bytes) byte = static_cast<char>(~byte);
      EXPECT_EQ(::pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    }
    const struct timespec times[2] = {info.st_atim, info.st_mtim};
    EXPECT_EQ(::futimens(fd, times), 0) << path;
    ::close(fd);
  }
  ::closedir(dir);
}

bool CpArchive(const std::string& from, const std::string& to) {
  const std::string source = from + "/.";
  return test::RunProgram({"/bin/cp", "-a", source, to}).status == 0;
}

// The first few entries where two trees differ.
std::vector<std::string> Differences(const std::string& backup, const std::string& ours,
                                     const std::string& theirs, bool setIds = true) {
  const auto a = Describe(ours, setIds);
  const auto b = Describe(theirs, setIds);
  const auto source = Describe(backup, true);
  if (!setIds) {
    const auto full = Describe(ours, true);
    for (const auto& [path, text] : source) {
      const auto copy = full.find(path);
      if (copy != full.end() &&
          copy->second.substr(0, copy->second.find(' ')) != text.substr(0, text.find(' '))) {
        return {path + ": mode " + copy->second + " where the backup has " + text};
      }
    }
  }
  std::vector<std::string> lines;
  for (const auto& [path, text] : a) {
    const auto other = b.find(path);
    if (other == b.end()) {
      lines.push_back(path + ": only ours");
    } else if (other->second != text) {
      const auto original = source.find(path);
      lines.push_back(path + ":\n  ours   " + text + "\n  cp     " + other->second + "\n  backup " +
                      (original == source.end() ? "-" : original->second));
    }
    if (lines.size() == 5) return lines;
  }
  for (const auto& [path, text] : b) {
    if (!a.contains(path)) lines.push_back(path + ": only cp's");
    if (lines.size() == 5) return lines;
  }
  return lines;
}

// The trees are dealt to a few tests, which CTest runs side by side.
constexpr int kShards = 4;
class GeneratedTreesTest : public testing::TestWithParam<int> {};

TEST_P(GeneratedTreesTest, CopiesAsCpArchiveDoesFreshAndOverAnInstallation) {
  if (::geteuid() != 0) GTEST_SKIP() << "making the trees' owners needs root";
  const char* count = std::getenv("QELRESTORE_TREES");
  const char* only = std::getenv("QELRESTORE_TREE_SEED");
  static const uint64_t drawn = std::random_device()() % 1'000'000 + 1;  // one a process
  const uint64_t first = only != nullptr ? std::strtoull(only, nullptr, 10) : drawn;
  const uint64_t trees = count != nullptr ? std::strtoull(count, nullptr, 10) : only ? 1 : 24;
  const uint64_t shard = static_cast<uint64_t>(GetParam());
  std::cout << "[ trees    ] seeds " << first + shard << ", " << first + shard + kShards
            << " and on to " << first + trees - 1
            << " (QELRESTORE_TREE_SEED=N makes tree N alone)\n";
  for (uint64_t seed = first + shard; seed < first + trees; seed += kShards) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " (QELRESTORE_TREE_SEED=" + std::to_string(seed) +
                 " runs it alone)");
    const test::Sandbox sandbox;
    const std::string root = sandbox.root().string();
    for (const char* folder : {"/backup", "/outside", "/install", "/fresh", "/fresh-cp"}) {
      ASSERT_EQ(::mkdir((root + folder).c_str(), 0755), 0);
    }
    TreeGenerator generator(seed, root + "/outside");
    generator.Fill(root + "/backup", 0);
    if (testing::Test::HasFatalFailure()) return;
    ASSERT_TRUE(CpArchive(root + "/backup", root + "/install"));
    TreeGenerator(seed * 7919 + 1, root + "/outside").Mutate(root + "/install");
    if (testing::Test::HasFatalFailure()) return;
    ASSERT_TRUE(CpArchive(root + "/install", root + "/filled"));
    ASSERT_TRUE(CpArchive(root + "/install", root + "/filled-cp"));

    const unsigned workers = test::CopyWorkersOfThisRun();
    const CopyReport fresh =
        CopyFolderContents(root + "/backup", root + "/fresh", {.workers = workers});
    EXPECT_TRUE(fresh.complete) << (fresh.failures.empty() ? "" : fresh.failures[0].reason);
    ASSERT_TRUE(CpArchive(root + "/backup", root + "/fresh-cp"));
    EXPECT_EQ(Differences(root + "/backup", root + "/fresh", root + "/fresh-cp"),
              std::vector<std::string>{});

    // Over the filled installation twice, keeping a record, with the backup rewritten between
    // the two in ways that keep every length and time.
    const std::string records = root + "/records";
    for (int pass = 0; pass < 2; ++pass) {
      SCOPED_TRACE(pass == 0 ? "filled" : "filled again, the backup rewritten");
      if (pass == 1) {
        bool odd = false;
        RewriteKeepingTimes(root + "/backup", odd);
      }
      const CopyReport filled = CopyFolderContents(root + "/backup", root + "/filled",
                                                   {.workers = workers, .recordFolder = records});
      EXPECT_TRUE(filled.complete) << (filled.failures.empty() ? "" : filled.failures[0].reason);
      ASSERT_TRUE(CpArchive(root + "/backup", root + "/filled-cp"));
      // cp -a leaves set-ID bits of a file or folder that was there; the copy gives each the
      // backup's mode, those bits included.
      EXPECT_EQ(Differences(root + "/backup", root + "/filled", root + "/filled-cp", false),
                std::vector<std::string>{});
      if (testing::Test::HasFailure()) return;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shards, GeneratedTreesTest, testing::Range(0, kShards));

}  // namespace
}  // namespace qelrestore::posix
