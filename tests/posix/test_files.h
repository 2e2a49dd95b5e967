// Files of the POSIX tests: whole-file reads and writes, and the messages of a run log.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace qelrestore::test {

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Writes the file, making the folders above it first.
inline void WriteFile(const std::filesystem::path& path, const std::string& content) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

// The messages of a log: each line without its time text ("YYYY-MM-DD HH:MM:SS") and the ": "
// after it; an error record keeps its "Error:". Every line must end in CR LF.
inline std::vector<std::string> Messages(const std::filesystem::path& log) {
  std::vector<std::string> messages;
  std::istringstream lines(ReadFile(log));
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(!line.empty() && line.back() == '\r') << "a line without CR LF: " << line;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string message = line.size() >= 19 ? line.substr(19) : line;
    if (message.rfind(": ", 0) == 0) message.erase(0, 2);
    messages.push_back(message);
  }
  return messages;
}

// A folder of the test's own below the temp folder, named after the test: "qel_KIND_PID_TEST".
inline std::filesystem::path TestFolder(const std::string& kind) {
  return std::filesystem::temp_directory_path() /
         ("qel_" + kind + "_" + std::to_string(::getpid()) + "_" +
          testing::UnitTest::GetInstance()->current_test_info()->name());
}

// A typical restore below `root`: program/ holding qelrestore and registry.reg (the MSDE client's
// folder tools/, holding the stand-in client as Binn/OSQL.exe), home/.corvilane/path.conf naming
// install/, and backup/ with app.jar and PLUV/db.properties (MSDE, dbhost:1433).
inline void MakeTypicalSandbox(const std::filesystem::path& root) {
  namespace fs = std::filesystem;
  fs::create_directories(root / "program");
  fs::create_directories(root / "home/.corvilane");
  fs::create_directories(root / "tools/Binn");
  fs::copy_file(QELRESTORE_EXE, root / "program/qelrestore");
  fs::copy_file(QEL_STANDIN_CLIENT, root / "tools/Binn/OSQL.exe");
  WriteFile(root / "backup/app.jar", "new program");
  WriteFile(root / "backup/PLUV/db.properties",
            "DB_PROVIDER=SQLOLEDB\r\ndbconn.appl.url=jdbc:x://dbhost:1433;name=y\r\n");
  WriteFile(root / "install/app.jar", "old program");
  WriteFile(root / "home/.corvilane/path.conf",
            "finalPath=" + (root / "install").string() + "/\r\n");
  WriteFile(root / "program/registry.reg",
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Microsoft SQL "
            "Server\\80\\Tools\\ClientSetup]\r\n\"SQLPath\"=\"" +
                (root / "tools").string() + "\"\r\n");
}

}  // namespace qelrestore::test
