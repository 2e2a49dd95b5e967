#include "tests/posix/child_modes.h"

#include <signal.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace qelrestore::test {
namespace {

void SleepSeconds(const std::string& seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(std::strtod(seconds.c_str(), nullptr)));
}

}  // namespace

int RunChild(int argc, char** argv, int index) {
  const std::string request = argv[index] + std::strlen("--child=");
  const size_t colon = request.find(':');
  const std::string mode = request.substr(0, colon);
  const std::string value = colon == std::string::npos ? "" : request.substr(colon + 1);

  if (mode == "exit") return std::atoi(value.c_str());
  if (mode == "sleep") {
    SleepSeconds(value);
    return 0;
  }
  if (mode == "ignore-term") {
    std::signal(SIGTERM, SIG_IGN);
    SleepSeconds(value);
    return 0;
  }
  if (mode == "record") {
    std::ofstream out(value, std::ios::binary);
    for (int i = index + 1; i < argc; ++i) out << argv[i] << '\n';
    return out ? 0 : 1;
  }
  if (mode == "files") {
    std::ofstream out(value, std::ios::binary);
    for (int fd = 0; fd <= 2; ++fd) {
      std::error_code failure;
      const auto target =
          std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), failure);
      out << fd << ' ' << (failure ? "closed" : target.string()) << '\n';
    }
    struct sigaction action {};
    ::sigaction(SIGPIPE, nullptr, &action);
    out << "SIGPIPE " << (action.sa_handler == SIG_DFL ? "default" : "not default") << '\n';
    return out ? 0 : 1;
  }
  std::fprintf(stderr, "unknown child mode: %s\n", request.c_str());
  return 125;
}

}  // namespace qelrestore::test
