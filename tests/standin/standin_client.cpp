// A stand-in for the SQL command-line client, for the tests and the demo of both forms. It writes
// what it received to the file named by the argument after -o: on POSIX every argument, one a line;
// on Windows its whole command line (GetCommandLineW, as UTF-8) on one line. A test compares that
// with the command line the restore logged. Then it appends an output of the real client, as the
// restore reads it afterwards, chosen by QEL_STANDIN_OUTPUT:
//   success (default)  the percent lines and the two closing lines of a restore that worked
//   error              the messages of a restore that could not open its backup
//   success-de         the closing lines of a restore that worked, from a server that speaks German
//   error-ja           the messages of a failed restore in Japanese; the whole file UTF-16LE after
//                      its byte-order mark, as the client writes it with -u
//   error-oem          a German error message with an umlaut in code page 850, as a Windows
//                      client writes it in a German console (not UTF-8)
//   connection         the client's own lines when the server cannot be reached (status 0 still)
//   none               nothing appended
//   nofile             no -o file written at all
//   link:PATH          no file written, but a symbolic link to PATH put at its name (POSIX)
// Then it sleeps QEL_STANDIN_SECONDS seconds when set (QEL_STANDIN_PROGRESS_SECONDS spreads the
// percent lines over that many seconds before), and exits with QEL_STANDIN_STATUS (default 0).
// On POSIX, QEL_STANDIN_IGNORE_TERM=1 makes it ignore SIGTERM, as a client busy in a restore may.
// QEL_STANDIN_HOLD=FILE holds it after its first percent line until FILE exists (a minute at
// most; it then exits 9), so that a test sees that line reach its reader while the client runs.
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

bool AppearsWithinAMinute(const std::filesystem::path& file) {
  for (int look = 0; look < 6000; ++look) {
    if (std::filesystem::exists(file)) return true;
    SleepSeconds(0.01);
  }
  return false;
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
    // As the real client on POSIX, it takes the path literally: a backslash is part of a name.
    if (i + 1 < argc && std::string(argv[i]) == "-o") received.outputFile = argv[i + 1];
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

const char* const kGermanSuccessEnd[] = {
    "10 Prozent verarbeitet.",
    "100 Prozent verarbeitet.",
    "RESTORE DATABASE hat erfolgreich 202 Seiten in 0.120 Sekunden verarbeitet (13.147 MB/s).",
};

const char* const kJapaneseError[] = {
    "\xE3\x83\xA1\xE3\x83\x83\xE3\x82\xBB\xE3\x83\xBC\xE3\x82\xB8 3201\xE3\x80\x81"
    "\xE3\x83\xAC\xE3\x83\x99\xE3\x83\xAB 16\xE3\x80\x81\xE7\x8A\xB6\xE6\x85\x8B 2"
    "\xE3\x80\x81\xE8\xA1\x8C 1",  // メッセージ 3201、レベル 16、状態 2、行 1
    "\xE3\x83\x90\xE3\x83\x83\xE3\x82\xAF\xE3\x82\xA2\xE3\x83\x83\xE3\x83\x97 "
    "\xE3\x83\x87\xE3\x83\x90\xE3\x82\xA4\xE3\x82\xB9 'QEL_PLUV.bak' "
    "\xE3\x82\x92\xE9\x96\x8B\xE3\x81\x91\xE3\x81\xBE\xE3\x81\x9B\xE3\x82\x93"
    "\xE3\x80\x82",  // バックアップ デバイス '...' を開けません。
    "RESTORE DATABASE \xE3\x81\x8C\xE7\x95\xB0\xE5\xB8\xB8\xE7\xB5\x82\xE4\xBA\x86"
    "\xE3\x81\x97\xE3\x81\xA6\xE3\x81\x84\xE3\x81\xBE\xE3\x81\x99\xE3\x80\x82",
};

const char* const kOemError[] = {
    "Meldung 3201, Ebene 16, Status 2, Zeile 1",
    "Das Sicherungsmedium 'QEL_PLUV.bak' kann nicht ge\x94"
    "ffnet werden.",
};

const char* const kConnectionFailure[] = {
    "[DBNETLIB]SQL Server does not exist or access denied.",
    "[DBNETLIB]ConnectionOpen (Connect()).",
};

const char* const kSuccessEnd[] = {
    "Processed 200 pages for database 'QEL_PLUV', file 'QEL_PLUV' on file 1.",
    "RESTORE DATABASE successfully processed 202 pages in 0.120 seconds (13.147 MB/sec).",
};

void WriteLine(std::ofstream& out, const std::string& line) {
  out << line << kLineEnd;
  out.flush();  // a reader watching the file sees each line as it comes
}

template <size_t N>
void WriteLines(std::ofstream& out, const char* const (&lines)[N]) {
  for (const char* line : lines) WriteLine(out, line);
}

// UTF-8 text as UTF-16LE bytes.
std::string Utf16le(const std::string& text) {
  std::string bytes;
  const auto unit = [&bytes](uint32_t value) {
    bytes += static_cast<char>(value & 0xFF);
    bytes += static_cast<char>(value >> 8);
  };
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    uint32_t value = length == 1 ? lead : lead & (0x3Fu >> (length - 1));
    for (size_t k = 1; k < length && i + k < text.size(); ++k)
      value = value << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
    i += length;
    if (value > 0xFFFF) {
      unit(0xD800 + ((value - 0x10000) >> 10));
      unit(0xDC00 + ((value - 0x10000) & 0x3FF));
    } else {
      unit(value);
    }
  }
  return bytes;
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
    if (output != "error-ja") out << received.text;
    if (output.empty() || output == "success") {
      const double pause = std::strtod(Variable("QEL_STANDIN_PROGRESS_SECONDS").c_str(), nullptr);
      const std::string hold = Variable("QEL_STANDIN_HOLD");
      for (int percent = 10; percent <= 100; percent += 10) {
        WriteLine(out, std::to_string(percent) + " percent processed.");
        if (percent == 10 && !hold.empty() && !AppearsWithinAMinute(hold)) return 9;
        SleepSeconds(pause / 10);
      }
      for (const char* line : kSuccessEnd) WriteLine(out, line);
    } else if (output == "error") {
      WriteLines(out, kErrorOutput);
    } else if (output == "success-de") {
      WriteLines(out, kGermanSuccessEnd);
    } else if (output == "error-oem") {
      WriteLines(out, kOemError);
    } else if (output == "connection") {
      WriteLines(out, kConnectionFailure);
    } else if (output == "error-ja") {
      std::string text = received.text;
      for (const char* line : kJapaneseError) text += std::string(line) + kLineEnd;
      out << "\xFF\xFE" << Utf16le(text);
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
