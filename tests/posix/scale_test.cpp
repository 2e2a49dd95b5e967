// Bad input at scale, met by the real program: huge path.conf and db.properties files, a large
// registry file, a command line of 1 MiB, a backup tree deeper than any path may be long, names
// that are not UTF-8. Each run must end in its one clear outcome in bounded memory: the peak
// resident size of the program, as wait4() reports it, stays under 64 MiB.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/posix/test_files.h"

namespace qelrestore {
namespace {

namespace fs = std::filesystem;
using test::Messages;
using test::ReadFile;
using test::WriteFile;

constexpr size_t kMiB = 1 << 20;
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

// Removes a tree below `folder` however deep, one descriptor per level (no path is ever longer
// than one name).
void RemoveTreeAt(int folder, const char* name) {
  const int fd = ::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    ::unlinkat(folder, name, 0);
    return;
  }
  DIR* entries = ::fdopendir(fd);
  if (entries == nullptr) {
    ::close(fd);
    return;
  }
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(entries)) {
    const std::string child = entry->d_name;
    if (child != "." && child != "..") names.push_back(child);
  }
  for (const std::string& child : names) RemoveTreeAt(::dirfd(entries), child.c_str());
  ::closedir(entries);
  ::unlinkat(folder, name, AT_REMOVEDIR);
}

struct Outcome {
  int status = -1;
  long maxRssKiB = 0;
};

class ScaleTest : public testing::Test {
 protected:
  void SetUp() override {
    root =
        fs::temp_directory_path() / ("qel_scale_" + std::to_string(::getpid()) + "_" +
                                     testing::UnitTest::GetInstance()->current_test_info()->name());
    RemoveTreeAt(AT_FDCWD, root.c_str());
    fs::create_directories(root / "program");
    fs::create_directories(root / "home/.corvilane");
    fs::create_directories(root / "tools/Binn");
    fs::copy_file(QELRESTORE_EXE, root / "program/qelrestore");
    fs::copy_file(QEL_STANDIN_CLIENT, root / "tools/Binn/OSQL.exe");
    WriteFile(root / "backup/PLUV/db.properties", kDbProperties);
    fs::create_directories(root / "install");
    WriteFile(root / "home/.corvilane/path.conf", FinalPathItem());
    WriteFile(root / "program/registry.reg", "REGEDIT4\r\n\r\n" + ClientKey());
  }
  void TearDown() override { RemoveTreeAt(AT_FDCWD, root.c_str()); }

  static constexpr char kDbProperties[] =
      "DB_PROVIDER=SQLOLEDB\r\ndbconn.appl.url=jdbc:x://dbhost:1433;name=y\r\n";
  std::string FinalPathItem() const { return "finalPath=" + (root / "install").string() + "/\r\n"; }
  std::string ClientKey() const {
    return "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Microsoft SQL "
           "Server\\80\\Tools\\ClientSetup]\r\n\"SQLPath\"=\"" +
           (root / "tools").string() + "\"\r\n";
  }

  // Runs the program and measures it; prints the figure under `what`.
  Outcome Run(const std::string& what, const std::vector<std::string>& arguments) {
    std::vector<std::string> environment = {"HOME=" + (root / "home").string(),
                                            "PATH=/usr/bin:/bin"};
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
      if (const char* value = std::getenv(name)) {
        environment.push_back(name + ("=" + std::string(value)));
      }
    }
    const std::string program = (root / "program/qelrestore").string();
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments) {
      argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& variable : environment) envp.push_back(variable.data());
    envp.push_back(nullptr);
    const std::string errors = (root / "stderr.txt").string();

    const pid_t pid = ::fork();
    if (pid == 0) {
      const int in = ::open("/dev/null", O_RDONLY);
      const int err = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (in < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(err, 2) < 0) ::_exit(126);
      ::execve(program.c_str(), argv.data(), envp.data());
      ::_exit(127);
    }
    Outcome outcome;
    int status = 0;
    struct rusage usage {};
    EXPECT_EQ(::wait4(pid, &status, 0, &usage), pid);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.maxRssKiB = usage.ru_maxrss;
    std::cout << "[ peak rss ] " << what << ": " << outcome.maxRssKiB / 1024 << "."
              << outcome.maxRssKiB % 1024 * 10 / 1024 << " MiB, status " << outcome.status << "\n";
    EXPECT_LT(outcome.maxRssKiB, kRssLimitKiB) << what;
    return outcome;
  }
  Outcome RunRestore(const std::string& what) { return Run(what, {Backup(), Log(), "N"}); }

  std::string Backup() const { return (root / "backup").string(); }
  std::string Log() const { return (root / "run.log").string(); }
  std::string LastMessage() const {
    const auto messages = Messages(Log());
    return messages.empty() ? "" : messages.back();
  }

  fs::path root;
};

TEST_F(ScaleTest, HugePathConf) {
  // 64 MiB of ordinary items before the one that names the folder.
  WriteLines(root / "home/.corvilane/path.conf", 64 * kMiB, 100, FinalPathItem());
  EXPECT_EQ(RunRestore("path.conf, 64 MiB of lines").status, 0);
  EXPECT_EQ(LastMessage(), "SQL Restore Complete");

  // One item of 64 MiB: too long for an item, reported by the step that reads it.
  fs::remove(Log());
  WriteLines(root / "home/.corvilane/path.conf", 0, 8, "finalPath=" + std::string(64 * kMiB, 'x'));
  EXPECT_EQ(RunRestore("path.conf, one line of 64 MiB").status, 3);
  EXPECT_EQ(LastMessage().rfind("Error: 7line no: 55Desc:", 0), 0u) << LastMessage();
}

TEST_F(ScaleTest, HugeDbProperties) {
  WriteLines(root / "backup/PLUV/db.properties", 64 * kMiB, 100, kDbProperties);
  EXPECT_EQ(RunRestore("db.properties, 64 MiB of lines").status, 0);
  EXPECT_EQ(LastMessage(), "SQL Restore Complete");
  EXPECT_NE(ReadFile(Log() + "sql").find("dbhost,1433"), std::string::npos);

  fs::remove(Log());
  WriteLines(root / "backup/PLUV/db.properties", 0, 8,
             "DB_PROVIDER=SQLOLEDB\r\ndbconn.appl.url=" + std::string(64 * kMiB, 'u'));
  EXPECT_EQ(RunRestore("db.properties, one line of 64 MiB").status, 3);
  EXPECT_EQ(LastMessage().rfind("Error: 7line no: 85Desc:", 0), 0u) << LastMessage();
}

TEST_F(ScaleTest, LargeRegistryFile) {
  std::string registry = "REGEDIT4\r\n\r\n";
  for (int key = 0; registry.size() < 10 * kMiB; ++key) {
    registry += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Filler\\" + std::to_string(key) +
                "]\r\n\"SQLPath\"=\"" + std::string(200, 'p') +
                "\"\r\n\"n\"=dword:00000001\r\n\r\n";
  }
  WriteFile(root / "program/registry.reg", registry + ClientKey());
  EXPECT_EQ(RunRestore("registry file of 10 MiB").status, 0);
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
  EXPECT_EQ(Run("command line of 1 MiB", arguments).status, 2);
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

  EXPECT_EQ(RunRestore("backup tree 40 levels deep, names of 255 bytes").status, 0);
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
  EXPECT_EQ(RunRestore("file names that are not UTF-8").status, 0);
  EXPECT_EQ(Messages(Log()).at(2), "Restore Folder completed");
  for (const std::string& name : names) EXPECT_EQ(ReadFile(root / "install" / name), name);

  // A backup folder whose own name is not UTF-8 is still found and restored from.
  fs::rename(root / "backup", root / "back\xff");
  fs::remove(Log());
  for (const std::string& name : names) fs::remove(root / "install" / name);
  EXPECT_EQ(Run("a backup folder named in bytes that are not UTF-8",
                {(root / "back\xff").string(), Log(), "N"})
                .status,
            0);
  for (const std::string& name : names) EXPECT_EQ(ReadFile(root / "install" / name), name);
}

}  // namespace
}  // namespace qelrestore
