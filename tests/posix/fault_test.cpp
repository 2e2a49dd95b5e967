// Real faults met by the real program: folders and files it may not write or read, a kill in the
// middle of a large copy. Permission bits do not stop root, so when the tests run as root the
// program is run as the unprivileged user "nobody", in a sandbox that user owns.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/posix/toolkit.h"

namespace qelrestore {
namespace {

namespace fs = std::filesystem;
using test::Messages;
using test::ReadFile;
using test::WriteFile;

constexpr uid_t kNobody = 65534;
constexpr gid_t kNoGroup = 65534;

class FaultTest : public test::InstalledProgramTest {
 protected:
  FaultTest() {
    fs::create_directories(root / "logs");
    logFile = root / "logs/run.log";
  }

  // Makes permission bits bind: as root, hands the sandbox to "nobody" and runs the program as
  // that user. False when neither is possible (a container may refuse even root that).
  bool Unprivileged() {
    if (::geteuid() != 0) return true;
    if (test::RunProgram({"/bin/true"}, {.user = kNobody}).status != 0) return false;
    user = kNobody;
    EXPECT_EQ(::chown(root.c_str(), kNobody, kNoGroup), 0);
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      EXPECT_EQ(::lchown(entry.path().c_str(), kNobody, kNoGroup), 0) << entry.path();
    }
    return true;
  }
};

#define REQUIRE_UNPRIVILEGED()                                            \
  if (!Unprivileged())                                                    \
  GTEST_SKIP() << "running as root, and this machine refuses to run the " \
                  "program as the user nobody: permission bits cannot bind"

TEST_F(FaultTest, ReadOnlyLogFolder) {
  REQUIRE_UNPRIVILEGED();
  fs::permissions(root / "logs", fs::perms::owner_read | fs::perms::owner_exec);
  // No log can be created there: an error before the log is in place, and nothing restored. A
  // dry run says so first.
  EXPECT_EQ(RunRestore({.environment = {"QELRESTORE_DRY_RUN=1"}}), 4) << StandardError();
  EXPECT_EQ(RunRestore(), 4);
  EXPECT_NE(StandardError().find("Unhandled error 70"), std::string::npos) << StandardError();
  EXPECT_FALSE(fs::exists(Log()));
  EXPECT_EQ(ReadFile(root / "install/app.jar"), "old program");

  // A log that is already there may still be appended to: the folder's bits do not matter.
  fs::permissions(root / "logs", fs::perms::owner_all);
  WriteFile(Log(), "2026-12-07 10:00:00: earlier\r\n");
  EXPECT_EQ(::chown(Log().c_str(), ::geteuid() == 0 ? kNobody : ::geteuid(),
                    ::geteuid() == 0 ? kNoGroup : ::getegid()),
            0);
  fs::permissions(root / "logs", fs::perms::owner_read | fs::perms::owner_exec);
  // The client cannot write its output beside the log either: the restore is not taken for done.
  EXPECT_EQ(RunRestore(), 5) << StandardError();
  const auto messages = Messages(Log());
  ASSERT_EQ(messages.size(), 8u);
  EXPECT_EQ(messages.front(), "earlier");
  EXPECT_EQ(messages[6].rfind("SQL restore failed: ", 0), 0u) << messages[6];
  EXPECT_EQ(messages.back(), "SQL Restore Complete");
}

TEST_F(FaultTest, UnreadablePathConf) {
  REQUIRE_UNPRIVILEGED();
  fs::permissions(root / "home/.corvilane/path.conf", fs::perms::none);
  // It exists but cannot be opened: the open comes before the error trap, so the host reports.
  EXPECT_EQ(RunRestore(), 4);
  EXPECT_NE(StandardError().find("Unhandled error 70"), std::string::npos) << StandardError();
  EXPECT_EQ(Messages(Log()), std::vector<std::string>{"QEL start Restore"});
  EXPECT_EQ(ReadFile(root / "install/app.jar"), "old program");
}

TEST_F(FaultTest, UnreadableBackupFileMakesTheCopyIncompleteAndTheRestGoesOn) {
  WriteFile(root / "backup/lib/secret.dat", "secret");
  WriteFile(root / "backup/lib/open.dat", "open");
  REQUIRE_UNPRIVILEGED();
  fs::permissions(root / "backup/lib/secret.dat", fs::perms::none);
  EXPECT_EQ(RunRestore(), 5) << StandardError();
  const auto messages = Messages(Log());
  ASSERT_GE(messages.size(), 6u);
  EXPECT_EQ(messages[2], "Restore Folder NOT complete");
  EXPECT_EQ(messages.back(), "SQL Restore Complete");
  // The entry not copied is named in the log, where an unattended run's reader looks.
  EXPECT_NE(ReadFile(Log()).find("secret.dat"), std::string::npos) << ReadFile(Log());
  EXPECT_EQ(ReadFile(root / "install/app.jar"), "new program");
  EXPECT_EQ(ReadFile(root / "install/lib/open.dat"), "open");
  EXPECT_FALSE(fs::exists(root / "install/lib/secret.dat") &&
               fs::file_size(root / "install/lib/secret.dat") != 0);
}

TEST_F(FaultTest, ReadOnlyInstallationFolder) {
  REQUIRE_UNPRIVILEGED();
  fs::permissions(root / "install", fs::perms::owner_read | fs::perms::owner_exec);
  // PLUV cannot be made, so no db.properties was restored: the run ends without the database.
  EXPECT_EQ(RunRestore(), 5) << StandardError();
  const auto messages = Messages(Log());
  ASSERT_GE(messages.size(), 4u);
  EXPECT_EQ(messages[2], "Restore Folder NOT complete");
  EXPECT_EQ(messages.back(), "QEL Restore completed without SQLServer version");
  EXPECT_FALSE(fs::exists(root / "install/PLUV"));
}

constexpr size_t kMiB = 1 << 20;
constexpr size_t kSize = 256 * kMiB;

// 256 MiB in one file of the backup: long enough a copy to be caught in the middle of it.
void WriteLargeBackupFile(const fs::path& path) {
  std::string block(kMiB, '\0');
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7 + i / 4096);
  std::ofstream out(path, std::ios::binary);
  for (size_t written = 0; written < kSize; written += kMiB) {
    block[0] = static_cast<char>(written / kMiB);  // no two blocks alike
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
}

// True while a file of the copy in `folder` (the new file written before it takes the old one's
// place) holds part of the large file's data: no other file there is that large.
bool PartlyCopied(const fs::path& folder) {
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(folder, ignored)) {
    const uintmax_t size = entry.is_regular_file(ignored) ? entry.file_size(ignored) : 0;
    if (!ignored && size >= kMiB && size < kSize) return true;
  }
  return false;
}

// Killed with the keep flag, so also between the save of the machine's settings and their
// put-back: the next run keeps that saved copy rather than saving the backup's over it.
TEST_F(FaultTest, KilledInTheMiddleOfALargeCopyThenRunAgainToCompletion) {
  WriteLargeBackupFile(root / "backup/data.bin");
  const fs::path copy = root / "install/data.bin";
  // An older, short file stands in its place: its replacement is written under a name of its
  // own until whole (where nothing stood, the copy is written without any name, and no partial
  // file can be seen).
  fs::create_directories(root / "install");
  std::ofstream(copy, std::ios::binary) << "old";
  const std::string machines =
      "DB_PROVIDER=SQLOLEDB\r\ndbconn.appl.url=jdbc:x://kepthost:1500;z\r\n";
  WriteFile(root / "install/PLUV/db.properties", machines);
  bool caught = false;
  Run({Backup(), Log(), "N", "Y"},
      {.killWhen = [&] { return caught = PartlyCopied(root / "install"); }});
  // A loaded machine may let the run end between the look and the kill.
  if (!caught || last.signal != SIGKILL) {
    GTEST_SKIP() << "the copy ended before it could be caught in the middle";
  }
  // path.conf's separators all become backslashes in the program's texts.
  std::string install = (root / "install").string() + "\\";
  std::replace(install.begin(), install.end(), '/', '\\');
  EXPECT_EQ(Messages(Log()),
            (std::vector<std::string>{"QEL start Restore",
                                      "Start copying from " + Backup() + "to " + install}));
  const fs::path saved = root / "program/curdb.properties.bak";
  EXPECT_EQ(ReadFile(saved.string() + ".pending"), machines);

  // The run again: it keeps the saved settings, removes the temporary file the killed one left,
  // says both, and puts the machine's settings back.
  EXPECT_EQ(Run({Backup(), Log(), "N", "Y"}), 0) << StandardError();
  const auto messages = Messages(Log());
  ASSERT_EQ(messages.size(), 11u);
  EXPECT_EQ(messages[2], "QEL start Restore");
  EXPECT_EQ(messages[3], "Kept settings of an earlier run that were not put back are kept: " +
                             (root / "program").string() + "\\curdb.properties.bak");
  // One a worker at most: the large file's, and on a loaded machine another worker's too.
  EXPECT_TRUE(messages[5] == "Removed 1 temporary files a stopped copy left in " + install ||
              messages[5] == "Removed 2 temporary files a stopped copy left in " + install)
      << messages[5];
  EXPECT_EQ(messages[6], "Restore Folder completed");
  EXPECT_NE(messages[8].find("kepthost"), std::string::npos) << messages[8];
  EXPECT_EQ(messages.back(), "SQL Restore Complete");
  EXPECT_EQ(ReadFile(root / "install/PLUV/db.properties"), machines);
  EXPECT_FALSE(fs::exists(saved.string() + ".pending"));
  for (const auto& entry : fs::directory_iterator(root / "install")) {
    EXPECT_NE(entry.path().filename().string().rfind(".qelrestore-", 0), 0u) << entry.path();
  }
  ASSERT_EQ(fs::file_size(copy), kSize);
  std::ifstream original(root / "backup/data.bin", std::ios::binary);
  std::ifstream restored(copy, std::ios::binary);
  std::string a(kMiB, '\0');
  std::string b(kMiB, '\0');
  for (size_t read = 0; read < kSize; read += kMiB) {
    original.read(a.data(), static_cast<std::streamsize>(kMiB));
    restored.read(b.data(), static_cast<std::streamsize>(kMiB));
    ASSERT_TRUE(a == b) << "the restored copy differs in MiB " << read / kMiB;
  }
}

// A keeping run killed in the middle of its copy, with the keep flag: the undo set was whole
// before the copy began, so the undo puts every file back and takes off what the copy had made.
TEST_F(FaultTest, AKeepingRunKilledInTheMiddleOfItsCopyIsUndone) {
  WriteLargeBackupFile(root / "backup/data.bin");
  WriteFile(root / "backup/lib/new.jar", "new");
  WriteFile(root / "backup/app.jar", "new program");
  WriteFile(root / "install/app.jar", "old program");
  WriteFile(root / "install/data.bin", "old");
  WriteFile(root / "install/PLUV/db.properties", "DB_PROVIDER=none\r\n");
  fs::permissions(root / "install/app.jar", fs::perms(0640));
  const auto listing = [&] {
    return test::RunProgram({"/usr/bin/find", (root / "install").string(), "-printf",
                             "%P %y %m %U %G %s %T@ %i\n"})
        .out;
  };
  const std::string before = listing();
  bool caught = false;
  Run({Backup(), Log(), "N", "Y"}, {.environment = {"QELRESTORE_KEEP_REPLACED=1"}, .killWhen = [&] {
                                      return caught = PartlyCopied(root / "install");
                                    }});
  if (!caught || last.signal != SIGKILL) {
    GTEST_SKIP() << "the copy ended before it could be caught in the middle";
  }
  EXPECT_EQ(Run({Backup(), Log(), "N", "Y"}, {.environment = {"QELRESTORE_UNDO=1"}}), 0)
      << StandardError();
  EXPECT_EQ(Messages(Log()).back(), "Undo completed");
  EXPECT_EQ(listing(), before);
  EXPECT_EQ(ReadFile(root / "install/app.jar"), "old program");
  EXPECT_FALSE(fs::exists(root / "program/qelrestore.undo"));
}

}  // namespace
}  // namespace qelrestore
