// A stand-in for the SQL command-line client where none is installed. It writes every argument it
// received, one per line, to the file named after "-o" (when there is one), then sleeps for
// QEL_STANDIN_SECONDS seconds when that is set, and exits 0. Tests and the demo read the file to
// see exactly what the client was handed. With QEL_STANDIN_IGNORE_TERM=1 it ignores SIGTERM, as
// a client busy in a restore may.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  if (const char* ignore = std::getenv("QEL_STANDIN_IGNORE_TERM");
      ignore && std::string(ignore) == "1") {
    ::signal(SIGTERM, SIG_IGN);
  }
  std::string outputPath;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "-o") outputPath = argv[i + 1];
  }
  if (!outputPath.empty()) {
    // The real client takes Windows paths: a backslash is a folder separator to it.
    for (char& ch : outputPath) {
      if (ch == '\\') ch = '/';
    }
    std::ofstream out(outputPath, std::ios::binary);
    for (int i = 1; i < argc; ++i) out << argv[i] << '\n';
    if (!out) {
      std::fprintf(stderr, "standin_client: cannot write %s\n", outputPath.c_str());
      return 1;
    }
  }
  if (const char* seconds = std::getenv("QEL_STANDIN_SECONDS")) {
    std::this_thread::sleep_for(std::chrono::duration<double>(std::strtod(seconds, nullptr)));
  }
  return 0;
}
