// Bad input at scale, met by the real program: huge path.conf and db.properties files, a large
// registry file, a command line of 1 MiB, a backup tree deeper than any path may be long, names
// that are not UTF-8. Each run must end in its one clear outcome in bounded memory: the peak
// resident size of the program, as wait4() reports it, stays under 64 MiB.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "tests/posix/toolkit.h"
#include "tests/toolkit/sanitized.h"

namespace qelrestore {
namespace {

namespace fs = std::filesystem;
using test::kTypicalDbProperties;
using test::Messages;
using test::ReadFile;
using test::WriteFile;

constexpr size_t kMiB = 1 << 20;
// Sizes past every limit (an item's 4 MiB, a supplied file's 16 MiB): a sanitized run, whose
// every access is checked, takes a quarter of what the plain build reads.
constexpr size_t kScale = test::kSanitized ? 16 * kMiB : 64 * kMiB;
#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's shadow memory and its quarantine of freed blocks count as resident too.
constexpr long kRssLimitKiB = 512 * 1024;
#else
constexpr long kRssLimitKiB = 64 * 1024;
#endif

// Lines of `itemBytes`-byte "other=..." items up to `totalBytes`, then `tail`.
void WriteLines(const fs::path& path, size_t totalBytes, size_t itemBytes,
                const std::string& tail) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  std::string line = "other=" + std::string(itemBytes - 8, 'v') + "\r\n";
  for (size_t written = 0; written < totalBytes; written += line.size()) out << line;
  out << tail;
}

class ScaleTest : public test::InstalledProgramTest {
 protected:
  // The exit status of a run, whose peak resident size is printed under `what` and checked.
  int Measure(const std::string& what, const std::vector<std::string>& arguments) {
    // A sanitized run takes some 20 s here on an idle machine: the bound is for a busy one.
    Run(arguments, {.timeout = std::chrono::minutes(10)});
    std::cout << "[ peak rss ] " << what << ": " << last.maxRssKiB / 1024 << "."
              << last.maxRssKiB % 1024 * 10 / 1024 << " MiB, status " << last.status << "\n";
    EXPECT_LT(last.maxRssKiB, kRssLimitKiB) << what;
    return last.status;
  }
  int MeasureRestore(const std::string& what) { return Measure(what, {Backup(), Log(), "N"}); }
};

TEST_F(ScaleTest, HugePathConf) {
  // Many MiB of ordinary items before the one that names the folder.
  WriteLines(root / "home/.corvilane/path.conf", kScale, 100, sandbox.FinalPathItem());
  EXPECT_EQ(MeasureRestore("path.conf of lines"), 0);
  EXPECT_EQ(LastMessage(), "SQL Restore Complete");

  // One item of many MiB: too long for an item, reported by the step that reads it.
  fs::remove(Log());
  WriteLines(root / "home/.corvilane/path.conf", 0, 8, "finalPath=" + std::string(kScale, 'x'));
  EXPECT_EQ(MeasureRestore("path.conf, one long line"), 3);
  EXPECT_EQ(LastMessage().rfind("Error: 7line no: 55Desc:", 0), 0u) << LastMessage().substr(0, 200);
}

TEST_F(ScaleTest, HugeDbProperties) {
  // A supplied file holds at most 16 MiB.
  WriteLines(root / "backup/PLUV/db.properties", 15 * kMiB, 100, kTypicalDbProperties);
  EXPECT_EQ(MeasureRestore("db.properties, 15 MiB of lines"), 0);
  EXPECT_EQ(LastMessage(), "SQL Restore Complete");
  EXPECT_NE(ReadFile(Log() + "sql").find("dbhost,1433"), std::string::npos);

  fs::remove(Log());
  WriteLines(root / "backup/PLUV/db.properties", 0, 8,
             "DB_PROVIDER=SQLOLEDB\r\ndbconn.appl.url=" + std::string(kScale, 'u'));
  EXPECT_EQ(MeasureRestore("db.properties, one long line"), 3);
  EXPECT_EQ(LastMessage().rfind("Error: 7line no: 85Desc:", 0), 0u) << LastMessage().substr(0, 200);
}

TEST_F(ScaleTest, LargeRegistryFile) {
  std::string registry = "REGEDIT4\r\n\r\n";
  for (int key = 0; registry.size() < 10 * kMiB; ++key) {
    registry += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Filler\\" + std::to_string(key) +
                "]\r\n\"SQLPath\"=\"" + std::string(200, 'p') +
                "\"\r\n\"n\"=dword:00000001\r\n\r\n";
  }
  WriteFile(root / "program/registry.reg", registry + sandbox.ClientKey());
  EXPECT_EQ(MeasureRestore("registry file of 10 MiB"), 0);
  EXPECT_EQ(LastMessage(), "SQL Restore Complete");
  EXPECT_NE(ReadFile(Log() + "sql").find("dbhost,1433"), std::string::npos);
}

TEST_F(ScaleTest, CommandLineOfOneMebibyte) {
  // One argument may hold at most 128 KiB here: nine of them. The first names no folder.
  const std::string missing = (root / std::string(100 * 1024, 'm')).string();
  std::vector<std::string> arguments = {missing, Log(), "N", "N"};
  while (arguments.size() < 12) arguments.push_back(std::string(128 * 1024 - 1, 'a'));
  size_t total = 0;
  for (const std::string& argument : arguments) total += argument.size() + 3;
  ASSERT_GE(total, kMiB);
  EXPECT_EQ(Measure("command line of 1 MiB", arguments), 2);
  EXPECT_EQ(LastMessage(), missing + "backup directory not found. Pls. check");
}

TEST_F(ScaleTest, BackupTreeFortyLevelsDeepWithLongestNames) {
  // 40 names of 255 bytes: some 10 KiB of path, more than any path may be long, so the tree is
  // made and read one level at a time.
  constexpr int kLevels = 40;
  auto levelName = [](int level) { return std::string(255, static_cast<char>('a' + level % 26)); };
  int folder = ::open((root / "backup").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(folder, 0);
  for (int level = 0; level < kLevels; ++level) {
    const std::string name = levelName(level);
    ASSERT_EQ(::mkdirat(folder, name.c_str(), 0755), 0) << level;
    const int next = ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(folder);
    ASSERT_GE(next, 0) << level;
    folder = next;
  }
  const int leaf = ::openat(folder, "leaf.txt", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_EQ(::write(leaf, "deep", 4), 4);
  ::close(leaf);
  ::close(folder);

  EXPECT_EQ(MeasureRestore("backup tree 40 levels deep, names of 255 bytes"), 0);
  EXPECT_EQ(Messages(Log()).at(2), "Restore Folder completed");
  folder = ::open((root / "install").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int level = 0; level < kLevels && folder >= 0; ++level) {
    const int next = ::openat(folder, levelName(level).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(folder);
    folder = next;
  }
  ASSERT_GE(folder, 0) << "the copied tree is not as deep";
  char text[8] = {};
  const int copied = ::openat(folder, "leaf.txt", O_RDONLY | O_CLOEXEC);
  ::close(folder);
  ASSERT_GE(copied, 0);
  EXPECT_EQ(::read(copied, text, sizeof text), 4);
  ::close(copied);
  EXPECT_STREQ(text, "deep");
}

TEST_F(ScaleTest, NamesThatAreNotUtf8) {
  // Inside the backup, names are copied byte for byte.
  const std::vector<std::string> names = {"\xff\xfe.bin", "caf\xe9.txt", "\xc3(", "ok\x80\x80"};
  for (const std::string& name : names) WriteFile(root / "backup" / name, name);
  EXPECT_EQ(MeasureRestore("file names that are not UTF-8"), 0);
  EXPECT_EQ(Messages(Log()).at(2), "Restore Folder completed");
  for (const std::string& name : names) EXPECT_EQ(ReadFile(root / "install" / name), name);

  // A backup folder whose own name is not UTF-8 is still found and restored from.
  fs::rename(root / "backup", root / "back\xff");
  fs::remove(Log());
  for (const std::string& name : names) fs::remove(root / "install" / name);
  EXPECT_EQ(Measure("a backup folder named in bytes that are not UTF-8",
                    {(root / "back\xff").string(), Log(), "N"}),
            0);
  for (const std::string& name : names) EXPECT_EQ(ReadFile(root / "install" / name), name);
}

}  // namespace
}  // namespace qelrestore
