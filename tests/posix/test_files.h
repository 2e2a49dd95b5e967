// Files of the POSIX tests: whole-file reads and writes, and the messages of a run log.
#pragma once

#include <gtest/gtest.h>

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

}  // namespace qelrestore::test
