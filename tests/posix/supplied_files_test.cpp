// Files the run reads that the backup or the SQL client supplied, on the real program.
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "driver/program.h"
#include "tests/posix/toolkit.h"

namespace qelrestore {
namespace {

namespace fs = std::filesystem;

class SuppliedFilesTest : public test::InstalledProgramTest {};

// The backup's db.properties and the client's output are what the backup and the client wrote:
// a link in their place or in place of PLUV, to settings or an output nobody meant for this run,
// is an error of its step naming the path, in a real run and in a dry run, and in the save of the
// keep flag, and none of its content shows.
TEST_F(SuppliedFilesTest, ALinkInPlaceOfDbPropertiesOrTheClientOutputIsNotFollowed) {
  test::WriteFile(root / "secret/db.properties",
                  "DB_PROVIDER=SQLOLEDB\r\ndbconn.appl.url=jdbc:x://secrethost:1999;n=y\r\n");
  ASSERT_EQ(::chmod((root / "secret/db.properties").c_str(), 0600), 0);
  ASSERT_EQ(::chmod((root / "secret").c_str(), 0700), 0);
  const fs::path settings = root / "backup/PLUV/db.properties";
  for (const bool atFolder : {false, true}) {
    SCOPED_TRACE(atFolder ? "link at PLUV" : "link at db.properties");
    fs::remove_all(root / "backup/PLUV");
    fs::remove_all(root / "install/PLUV");
    if (atFolder) {
      fs::create_symlink(root / "secret", root / "backup/PLUV");
    } else {
      fs::create_directory(root / "backup/PLUV");
      fs::create_symlink(root / "secret/db.properties", settings);
    }
    for (const bool dry : {false, true}) {
      SCOPED_TRACE(dry ? "dry run" : "real run");
      fs::remove(Log());
      test::RunOptions options;
      if (dry) options.environment = {"QELRESTORE_DRY_RUN=1"};
      EXPECT_EQ(RunRestore(options), 3) << StandardError();
      const std::string report = dry ? last.out : test::ReadFile(Log());
      EXPECT_EQ(report.find("secrethost"), std::string::npos) << report;
      EXPECT_NE(report.find("Error: 75line no: 81Desc:"), std::string::npos) << report;
      EXPECT_NE(report.find(atFolder ? "PLUV: a symbolic link" : "PLUV/db.properties"),
                std::string::npos)
          << report;
    }
    // The installation now holds the backup's link: the keep flag's save refuses it too.
    fs::remove(Log());
    EXPECT_EQ(Run({Backup(), Log(), "N", "Y"}), 3) << StandardError();
    EXPECT_NE(test::ReadFile(Log()).find("Error: 75line no: 58Desc:"), std::string::npos);
    EXPECT_FALSE(fs::exists(root / "program/curdb.properties.bak"));
  }

  // The client leaves a link to a finished restore's output where its own output goes.
  fs::remove(root / "backup/PLUV");
  fs::remove(root / "install/PLUV");
  test::WriteFile(settings, test::kTypicalDbProperties);
  test::WriteFile(root / "other.out",
                  "RESTORE DATABASE successfully processed 1 pages in 0.1 "
                  "seconds (1.0 MB/sec).\n");
  test::RunOptions options;
  options.environment = {"QEL_STANDIN_OUTPUT=link:" + (root / "other.out").string()};
  EXPECT_EQ(RunRestore(options), kExitNotVerified) << StandardError();
  const std::string log = test::ReadFile(Log());
  EXPECT_NE(log.find("SQL restore not verified: "), std::string::npos) << log;
  EXPECT_NE(log.find("a symbolic link, not followed"), std::string::npos) << log;
}

}  // namespace
}  // namespace qelrestore
