// The benchmark's helper: makes the trees it copies and times one command, so that neither depends
// on a tool the machine may lack or on a shell loop slow enough to dominate the set-up.
//
//   bench_tool files DIR COUNT FOLDERS MIN MAX SEED
//       COUNT files of MIN..MAX bytes spread over FOLDERS folders
//   bench_tool big DIR COUNT SIZE
//       COUNT files of SIZE bytes
//   bench_tool install DIR [DIVISOR]
//       an installation folder of realistic shape (large files divided by DIVISOR)
//   bench_tool pathconf FILE ITEMS FOLDER
//       a path.conf of ITEMS items, each naming FOLDER
//   bench_tool sparse FILE SIZE DATA
//       a file of SIZE bytes holding DATA bytes in its middle, the rest a hole
//   bench_tool copy FROM TO [RECORDS]
//       the engine's folder copy alone, keeping its records in RECORDS as the program does, with
//       $QELRESTORE_COPY_THREADS workers when it is set (the engine's default when not); each
//       entry not copied on standard error, status 1
//   bench_tool time -- PROGRAM ARG...
//       runs the program; prints "WALL_MS MAXRSS_KIB STATUS CPU_MS"
//
// Sizes take a K, M or G suffix (binary units). Content is pseudo-random, never sparse or zero, so
// that no file system can copy it cheaper than a real installation.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "copy/copy_engine.h"
#include "driver/run_settings.h"
#include "support/byte_text.h"

extern char** environ;

namespace {

// A small, fast generator: the same seed makes the same tree on every machine.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint64_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }
  // A value in [low, high].
  uint64_t Between(uint64_t low, uint64_t high) {
    return high <= low ? low : low + Next() % (high - low + 1);
  }

 private:
  uint64_t state_;
};

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

uint64_t ParseSize(const char* text) {
  char* end = nullptr;
  uint64_t value = std::strtoull(text, &end, 10);
  switch (*end) {
    case 'G':
      value <<= 10;
      [[fallthrough]];
    case 'M':
      value <<= 10;
      [[fallthrough]];
    case 'K':
      value <<= 10;
      break;
    case '\0':
      break;
    default:
      throw std::runtime_error(std::string("bad size: ") + text);
  }
  return value;
}

void MakeFolders(const std::string& path) {
  for (size_t end = 1; end <= path.size(); ++end) {
    if (end != path.size() && path[end] != '/') continue;
    if (::mkdir(path.substr(0, end).c_str(), 0755) != 0 && errno != EEXIST) Fail("mkdir " + path);
  }
}

// Writes `size` bytes taken from `pool` at a varying offset, so that no two files are alike.
void WriteFile(const std::string& path, uint64_t size, const std::vector<char>& pool,
               Random& random, mode_t mode = 0644) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) Fail("open " + path);
  const size_t half = pool.size() / 2;
  while (size > 0) {
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(size, half));
    const size_t offset = static_cast<size_t>(random.Next() % half);
    const ssize_t written = ::write(fd, pool.data() + offset, chunk);
    if (written <= 0) Fail("write " + path);
    size -= static_cast<uint64_t>(written);
  }
  if (::close(fd) != 0) Fail("close " + path);
}

std::vector<char> Pool(Random& random) {
  std::vector<char> pool(size_t{2} << 20);
  for (char& c : pool) c = static_cast<char>(random.Next() >> 56);
  return pool;
}

// COUNT files spread evenly over FOLDERS folders, themselves grouped under about sqrt(FOLDERS)
// parents, as an application's package folders are.
void MakeFiles(const std::string& root, uint64_t count, uint64_t folders, uint64_t low,
               uint64_t high, uint64_t seed) {
  Random random(seed);
  const std::vector<char> pool = Pool(random);
  uint64_t groups = 1;
  while (groups * groups < folders) ++groups;
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t folder = i % folders;
    const std::string dir =
        root + "/group" + std::to_string(folder % groups) + "/folder" + std::to_string(folder);
    if (i < folders) MakeFolders(dir);
    WriteFile(dir + "/file" + std::to_string(i) + ".dat", random.Between(low, high), pool, random);
  }
}

void MakeBig(const std::string& root, uint64_t count, uint64_t size) {
  Random random(count);
  const std::vector<char> pool = Pool(random);
  MakeFolders(root);
  for (uint64_t i = 0; i < count; ++i) {
    WriteFile(root + "/archive" + std::to_string(i) + ".bin", size, pool, random);
  }
}

// An installed application: launchers and libraries, a bundled runtime with one large archive,
// a web application whose classes sit eighteen folders deep under long names, settings (hidden ones
// too), read-only and executable files, and links between versions.
// A `divisor` above 1 shrinks the large files (never below 4 KiB) for a quick run of the same
// shape.
void MakeInstallation(const std::string& root, uint64_t divisor) {
  Random random(7);
  const std::vector<char> pool = Pool(random);
  const uint64_t kib = 1024;
  const uint64_t mib = std::max<uint64_t>(kib * kib / divisor, 4 * kib);
  MakeFolders(root + "/bin");
  WriteFile(root + "/bin/qelapp", 24 * mib, pool, random, 0755);
  for (int i = 0; i < 12; ++i) {
    WriteFile(root + "/bin/module" + std::to_string(i) + ".so", random.Between(64 * kib, 4 * mib),
              pool, random, 0755);
  }
  MakeFolders(root + "/lib");
  for (int i = 0; i < 120; ++i) {
    WriteFile(root + "/lib/component-" + std::to_string(i) + "-1.4.2.jar",
              random.Between(8 * kib, 2 * mib), pool, random);
  }
  if (::symlink("component-0-1.4.2.jar", (root + "/lib/component-current.jar").c_str()) != 0) {
    Fail("symlink");
  }
  const std::string runtime = root + "/runtime/lib";
  MakeFolders(runtime + "/security");
  WriteFile(runtime + "/modules", 128 * mib, pool, random);
  WriteFile(runtime + "/classes.jsa", 48 * mib, pool, random, 0444);
  for (int i = 0; i < 60; ++i) {
    WriteFile(runtime + "/security/policy" + std::to_string(i), random.Between(kib, 32 * kib), pool,
              random);
  }
  std::string deep = root + "/webapps/qel/WEB-INF/classes";
  for (const char* part : {"com", "corvilane", "qel", "application", "restore", "administration",
                           "configuration", "persistence", "implementation", "internal",
                           "generated", "serialization", "protocol", "version0002"}) {
    deep += '/';
    deep += part;
    MakeFolders(deep);
    for (int i = 0; i < 16; ++i) {
      WriteFile(deep + "/GeneratedPersistenceHandlerForEntity" + std::to_string(i) + ".class",
                random.Between(kib, 8 * kib), pool, random);
    }
  }
  MakeFolders(root + "/PLUV");
  WriteFile(root + "/PLUV/application.properties", 3 * kib, pool, random);
  WriteFile(root + "/PLUV/.settings", 512, pool, random, 0600);
  WriteFile(root + "/.installation", 200, pool, random);
  MakeFolders(root + "/logs");  // empty, as after an installation
}

void MakePathConf(const std::string& path, uint64_t items, const std::string& folder) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) Fail("fopen " + path);
  for (uint64_t i = 0; i < items; ++i) std::fprintf(file, "finalPath=%s/\r\n", folder.c_str());
  if (std::fclose(file) != 0) Fail("fclose " + path);
}

void MakeSparse(const std::string& path, uint64_t size, uint64_t data) {
  Random random(size);
  const std::vector<char> pool = Pool(random);
  WriteFile(path, 0, pool, random);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) Fail("open " + path);
  for (uint64_t done = 0; done < data;) {
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(data - done, pool.size()));
    const auto at = static_cast<off_t>(size / 2 + done);
    const ssize_t written = ::pwrite(fd, pool.data(), chunk, at);
    if (written <= 0) Fail("write " + path);
    done += static_cast<uint64_t>(written);
  }
  if (::ftruncate(fd, static_cast<off_t>(size)) != 0 || ::close(fd) != 0) Fail("truncate " + path);
}

// The workers the program would copy with: the engine reads no environment, the program hands
// the variable's count in.
unsigned CopyWorkers() {
  const qelrestore::RunSettings settings =
      qelrestore::ReadRunSettings([](const std::wstring& name) -> std::optional<std::wstring> {
        const char* value = std::getenv(qelrestore::EncodeUtf8(name).c_str());
        if (value == nullptr) return std::nullopt;
        return qelrestore::DecodeUtf8(value);
      });
  if (!settings.copyWorkersValid) {
    throw std::runtime_error(qelrestore::EncodeUtf8(qelrestore::kCopyWorkersMessage));
  }
  return settings.copyWorkers;
}

int CopyFolder(const std::string& from, const std::string& to, const std::string& records) {
  const qelrestore::posix::CopyReport report = qelrestore::posix::CopyFolderContents(
      from, to, {.workers = CopyWorkers(), .recordFolder = records});
  for (const auto& failure : report.failures) {
    std::fprintf(stderr, "%s: %s\n", failure.path.c_str(), failure.reason.c_str());
  }
  return report.complete ? 0 : 1;
}

// Wall time from just before the start to the reap, and the child's peak resident set.
int TimeCommand(char** argv) {
  timespec start{};
  timespec end{};
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t pid = 0;
  if (const int error = ::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv, environ)) {
    errno = error;
    Fail(std::string("spawn ") + argv[0]);
  }
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) Fail("wait4");
  }
  ::clock_gettime(CLOCK_MONOTONIC, &end);
  const double milliseconds = static_cast<double>(end.tv_sec - start.tv_sec) * 1e3 +
                              static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e6;
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  // Processor time (user and system) does not grow when other work holds the disk or the cores.
  const auto cpu = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
  };
  std::printf("%.3f %ld %d %.3f\n", milliseconds, usage.ru_maxrss, code,
              cpu(usage.ru_utime) + cpu(usage.ru_stime));
  return 0;
}

int Usage() {
  std::fputs(
      "usage: bench_tool files|big|install|pathconf|sparse|copy|time ... (see bench_tool.cpp)\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string command = argv[1];
  try {
    if (command == "files" && argc == 8) {
      MakeFiles(argv[2], ParseSize(argv[3]), ParseSize(argv[4]), ParseSize(argv[5]),
                ParseSize(argv[6]), ParseSize(argv[7]));
    } else if (command == "big" && argc == 5) {
      MakeBig(argv[2], ParseSize(argv[3]), ParseSize(argv[4]));
    } else if (command == "install" && (argc == 3 || argc == 4)) {
      MakeInstallation(argv[2], argc == 4 ? std::max<uint64_t>(ParseSize(argv[3]), 1) : 1);
    } else if (command == "pathconf" && argc == 5) {
      MakePathConf(argv[2], ParseSize(argv[3]), argv[4]);
    } else if (command == "sparse" && argc == 5) {
      MakeSparse(argv[2], ParseSize(argv[3]), ParseSize(argv[4]));
    } else if (command == "copy" && (argc == 4 || argc == 5)) {
      return CopyFolder(argv[2], argv[3], argc == 5 ? argv[4] : "");
    } else if (command == "time" && argc >= 4 && std::strcmp(argv[2], "--") == 0) {
      return TimeCommand(argv + 3);
    } else {
      return Usage();
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_tool: %s\n", error.what());
    return 1;
  }
  return 0;
}
