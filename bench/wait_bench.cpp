// Times the wait for the SQL client on the real POSIX host.
//
//   wait_bench WORKDIR [RUNS]
//
// "client-wait": RunAndWait on a client that exits after 100 ms; how long after the client's own
// end the wait returns (it must not sit out the rest of a 250 ms slice).
// "database-phase": the whole database part of a run (db.properties read, registry looked up,
// command line logged, client started and waited for, last line logged) with a client that exits
// at once.
//
// The clients are this binary again: "--child=sleep:MS:STAMPFILE" sleeps, writes the monotonic
// clock at its end to STAMPFILE and exits. The client that exits at once is /bin/true, or this
// binary started under the name OSQL.exe.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "config/db_properties.h"
#include "config/sequential_input.h"
#include "driver/program.h"
#include "host/posix/posix_host.h"
#include "log/run_log.h"
#include "restore/database_restore.h"
#include "restore/launch.h"
#include "support/byte_text.h"

namespace {

namespace fs = std::filesystem;
using qelrestore::DecodeUtf8;

constexpr int32_t kClientTimeLimitSeconds = 5;

double NowMilliseconds() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// --child=sleep:MS:STAMPFILE
int SleepingChild(const char* mode) {
  char* rest = nullptr;
  const long milliseconds = std::strtol(mode, &rest, 10);
  if (*rest != ':') return 2;
  timespec pause{milliseconds / 1000, (milliseconds % 1000) * 1000000};
  while (::nanosleep(&pause, &pause) != 0) {
  }
  char text[64];
  const int length = std::snprintf(text, sizeof text, "%.3f\n", NowMilliseconds());
  const int fd = ::open(rest + 1, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || ::write(fd, text, static_cast<size_t>(length)) != length) return 3;
  ::close(fd);
  return 0;
}

struct Summary {
  double median;
  double max;
};

Summary Summarize(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return {values[values.size() / 2], values.back()};
}

void ClientWait(const fs::path& work, const std::string& self, int runs, char** argv) {
  const fs::path stamp = work / "client-end";
  const std::wstring line =
      L"\"" + DecodeUtf8(self) + L"\" --child=sleep:100:" + DecodeUtf8(stamp.string());
  std::vector<double> afterEnd;
  std::vector<double> total;
  for (int i = 0; i < runs; ++i) {
    fs::remove(stamp);
    qelrestore::posix::PosixHost host(1, argv, qelrestore::kProgramTitle);
    const double start = NowMilliseconds();
    const qelrestore::LaunchResult result =
        qelrestore::RunAndWait(host, host, host, line, kClientTimeLimitSeconds);
    const double returned = NowMilliseconds();
    double ended = 0;
    std::ifstream(stamp) >> ended;
    if (result.end != qelrestore::LaunchResult::End::kExited || ended == 0) {
      std::fprintf(stderr, "wait_bench: the client did not run\n");
      std::exit(1);
    }
    afterEnd.push_back(returned - ended);
    total.push_back(returned - start);
  }
  const Summary late = Summarize(afterEnd);
  const Summary whole = Summarize(total);
  std::printf(
      "client-wait runs=%d return_after_end_ms median=%.2f max=%.2f total_ms median=%.2f "
      "max=%.2f\n",
      runs, late.median, late.max, whole.median, whole.max);
}

void DatabasePhase(const fs::path& work, const std::string& self, int runs, char** argv) {
  const fs::path tools = work / "tools";
  fs::create_directories(tools / "Binn");
  const fs::path client = tools / "Binn" / "OSQL.exe";
  fs::remove(client);
  // The smallest program at hand, so that the figure is the wait's and not the client's start-up;
  // this binary itself where there is none.
  fs::create_symlink(fs::exists("/bin/true") ? fs::path("/bin/true") : fs::path(self), client);
  const fs::path registry = work / "registry.reg";
  std::ofstream(registry) << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Microsoft SQL "
                             "Server\\80\\Tools\\ClientSetup]\n\"SQLPath\"=\""
                          << tools.string() << "\"\n";
  const fs::path properties = work / "db.properties";
  std::ofstream(properties) << "DB_PROVIDER=SQLOLEDB\r\n"
                               "dbconn.appl.url=jdbc:x://dbhost:1433;databaseName=QEL_PLUV\r\n";
  const fs::path log = work / "database.log";

  std::vector<double> phase;
  for (int i = 0; i < runs; ++i) {
    qelrestore::posix::PosixHost host(1, argv, qelrestore::kProgramTitle, {0, registry.string()});
    const std::wstring backup = DecodeUtf8(work.string());
    const std::wstring logPath = DecodeUtf8(log.string());
    const std::wstring dbProperties = DecodeUtf8(properties.string());
    const std::wstring background = L"N";
    qelrestore::RunLog runLog(host, host, host, background);
    runLog.Open(logPath);
    // From the open of db.properties to the last line of the run, as the driver runs them.
    const double start = NowMilliseconds();
    qelrestore::SequentialInput input(host);
    input.Open(dbProperties);
    qelrestore::ServerSettings server;
    qelrestore::Step step;
    qelrestore::ReadDbProperties(input, server, step);
    input.Close();
    const qelrestore::DatabaseRestoreRequest request{
        server, backup, logPath, dbProperties, kClientTimeLimitSeconds, false};
    const qelrestore::DatabaseOutcome outcome =
        qelrestore::DatabaseRestore({host, host, host, host, host}, runLog, step).Run(request);
    runLog.LogMessage(L"SQL Restore Complete");
    phase.push_back(NowMilliseconds() - start);
    runLog.CloseAndRelease();
    // The stand-in writes no output file, so the verdict is "failed"; only a client that was
    // never started makes the figure meaningless.
    std::ifstream written(log);
    const std::string text((std::istreambuf_iterator<char>(written)),
                           std::istreambuf_iterator<char>());
    if (outcome == qelrestore::DatabaseOutcome::kFailed &&
        text.find("SQL client could not be started") != std::string::npos) {
      std::fprintf(stderr, "wait_bench: the client was not started\n");
      std::exit(1);
    }
  }
  const Summary summary = Summarize(phase);
  std::printf("database-phase runs=%d ms median=%.2f max=%.2f\n", runs, summary.median,
              summary.max);
}

}  // namespace

int main(int argc, char** argv) {
  if (fs::path(argv[0]).filename() == "OSQL.exe") return 0;  // the client that exits at once
  if (argc == 2 && std::strncmp(argv[1], "--child=sleep:", 14) == 0) {
    return SleepingChild(argv[1] + 14);
  }
  if (argc < 2 || argc > 3) {
    std::fputs("usage: wait_bench WORKDIR [RUNS]\n", stderr);
    return 2;
  }
  const int runs = argc == 3 ? std::max(1, std::atoi(argv[2])) : 10;
  try {
    const fs::path work = fs::absolute(argv[1]);
    fs::create_directories(work);
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    ClientWait(work, self, runs, argv);
    DatabasePhase(work, self, runs, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "wait_bench: %s\n", error.what());
    return 1;
  }
  return 0;
}
