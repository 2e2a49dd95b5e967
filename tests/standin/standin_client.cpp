// A stand-in for the SQL command-line client, for the tests and the demo of both forms. It writes
// what it received to the file named by the argument after -o: on POSIX every argument, one a line;
// on Windows its whole command line (GetCommandLineW, as UTF-8) on one line. A test compares that
// with the command line the restore logged. Then it appends an output of the real client, as the
// restore reads it afterwards, chosen by QEL_STANDIN_OUTPUT:
//   success (default)  the percent lines and the two closing lines of a restore that worked
//   error              the messages of a restore that could not open its backup
//   none               nothing appended
//   nofile             no -o file written at all
//   link:PATH          no file written, but a symbolic link to PATH put at its name (POSIX)
// Then it sleeps QEL_STANDIN_SECONDS seconds when set (QEL_STANDIN_PROGRESS_SECONDS spreads the
// percent lines over that many seconds before), and exits with QEL_STANDIN_STATUS (default 0).
// On POSIX, QEL_STANDIN_IGNORE_TERM=1 makes it ignore SIGTERM, as a client busy in a restore may.
// Lines end in CR LF on Windows, LF on POSIX.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#ifdef _WIN32
#include "host/windows/windows_api.h"
#else
#include <signal.h>
#endif

namespace {

#ifdef _WIN32
constexpr const char* kLineEnd = "\r\n";
#else
constexpr const char* kLineEnd = "\n";
#endif

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

void SleepSeconds(double seconds) {
  if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// What the client was handed, and the file after -o (empty path when there is none).
struct Received {
  std::filesystem::path outputFile;
  std::string text;  // the content recorded, each line ended
};

#ifdef _WIN32
std::string Utf8(const wchar_t* text) {
  const int needed = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (needed <= 1) return std::string();
  std::string bytes(static_cast<size_t>(needed), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes.data(), needed, nullptr, nullptr);
  bytes.pop_back();  // the terminating NUL
  return bytes;
}

// The argument after -o is found by the system's own splitting rules.
Received WhatWasReceived(int /*argc*/, char** /*argv*/) {
  Received received;
  const wchar_t* commandLine = ::GetCommandLineW();
  received.text = Utf8(commandLine) + kLineEnd;
  int count = 0;
  LPWSTR* arguments = ::CommandLineToArgvW(commandLine, &count);
  if (arguments == nullptr) return received;
  for (int i = 1; i + 1 < count; ++i) {
    if (std::wstring(arguments[i]) == L"-o") received.outputFile = arguments[i + 1];
  }
  ::LocalFree(arguments);
  return received;
}
#else
Received WhatWasReceived(int argc, char** argv) {
  Received received;
  for (int i = 1; i < argc; ++i) {
    received.text += std::string(argv[i]) + kLineEnd;
    if (i + 1 < argc && std::string(argv[i]) == "-o") {
      // The real client takes Windows paths: a backslash is a folder separator to it.
      std::string path = argv[i + 1];
      for (char& ch : path) {
        if (ch == '\\') ch = '/';
      }
      received.outputFile = path;
    }
  }
  return received;
}
#endif

const char* const kErrorOutput[] = {
    "Msg 3201, Level 16, State 2, Server QELHOST, Line 1",
    "Cannot open backup device 'C:\\backup\\QEL_PLUV.bak'. Operating system error 2(The system "
    "cannot find the file specified.).",
    "Msg 3013, Level 16, State 1, Server QELHOST, Line 1",
    "RESTORE DATABASE is terminating abnormally.",
};

const char* const kSuccessEnd[] = {
    "Processed 200 pages for database 'QEL_PLUV', file 'QEL_PLUV' on file 1.",
    "RESTORE DATABASE successfully processed 202 pages in 0.120 seconds (13.147 MB/sec).",
};

void WriteLine(std::ofstream& out, const std::string& line) {
  out << line << kLineEnd;
  out.flush();  // a reader watching the file sees each line as it comes
}

}  // namespace

int main(int argc, char** argv) {
#ifndef _WIN32
  if (Variable("QEL_STANDIN_IGNORE_TERM") == "1") ::signal(SIGTERM, SIG_IGN);
#endif
  const std::string output = Variable("QEL_STANDIN_OUTPUT");
  const Received received = WhatWasReceived(argc, argv);
#ifndef _WIN32
  if (!received.outputFile.empty() && output.rfind("link:", 0) == 0) {
    std::error_code ignored;
    std::filesystem::create_symlink(output.substr(5), received.outputFile, ignored);
  }
#endif
  if (!received.outputFile.empty() && output != "nofile" && output.rfind("link:", 0) != 0) {
    std::ofstream out(received.outputFile, std::ios::binary);
    out << received.text;
    if (output.empty() || output == "success") {
      const double pause = std::strtod(Variable("QEL_STANDIN_PROGRESS_SECONDS").c_str(), nullptr);
      for (int percent = 10; percent <= 100; percent += 10) {
        WriteLine(out, std::to_string(percent) + " percent processed.");
        SleepSeconds(pause / 10);
      }
      for (const char* line : kSuccessEnd) WriteLine(out, line);
    } else if (output == "error") {
      for (const char* line : kErrorOutput) WriteLine(out, line);
    }
    out.flush();
    if (!out) {
      std::fprintf(stderr, "standin_client: cannot write %s\n",
                   received.outputFile.string().c_str());
      return 1;
    }
  }
  SleepSeconds(std::strtod(Variable("QEL_STANDIN_SECONDS").c_str(), nullptr));
  // A status above 2^31 (an NTSTATUS on Windows) is passed on as the same 32 bits.
  const long long status = std::strtoll(Variable("QEL_STANDIN_STATUS").c_str(), nullptr, 0);
  return static_cast<int>(static_cast<uint32_t>(status));
}
