#include "tests/posix/toolkit.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

#include "tests/toolkit/log_lines.h"

namespace qelrestore::test {

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void Close(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Removes `name` below `folder` with all it holds, through descriptors one name at a time (a
// deep tree's paths outgrow PATH_MAX). Each folder gets its owner's bits back first, so that a
// read-only one can be emptied too.
void RemoveAt(int folder, const char* name) {
  struct stat info {};
  if (::fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (!S_ISDIR(info.st_mode)) {
    ::unlinkat(folder, name, 0);
    return;
  }
  ::fchmodat(folder, name, S_IRWXU, 0);
  const int fd = ::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  DIR* entries = fd >= 0 ? ::fdopendir(fd) : nullptr;
  if (entries != nullptr) {
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(entries)) {
      const std::string child = entry->d_name;
      if (child != "." && child != "..") names.push_back(child);
    }
    for (const std::string& child : names) RemoveAt(::dirfd(entries), child.c_str());
    ::closedir(entries);
  } else if (fd >= 0) {
    ::close(fd);
  }
  ::unlinkat(folder, name, AT_REMOVEDIR);
}

std::vector<std::string> Environment(const std::vector<std::string>& additions) {
  std::vector<std::string> environment = {"PATH=/usr/bin:/bin"};
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name))
      environment.push_back(name + ("=" + std::string(value)));
  }
  environment.insert(environment.end(), additions.begin(), additions.end());
  return environment;
}

// Whether the process is blocked reading its standard input, as the kernel reports its system call.
bool ReadsItsInput(pid_t pid) {
  std::ifstream call("/proc/" + std::to_string(pid) + "/syscall");
  long number = -1;
  std::string descriptor;
  call >> number >> descriptor;
  return number == SYS_read && descriptor == "0x0";
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != text.npos; at = text.find(part, at + part.size()))
    ++count;
  return count;
}

// The standard files of a run: the child's three, and the ends the caller keeps.
struct StandardFiles {
  int child[3] = {-1, -1, -1};
  int heldInput = -1;
  int readers[2] = {-1, -1};  // standard output's and standard error's
  bool complete = false;
};

StandardFiles OpenStandardFiles(const RunOptions& options) {
  StandardFiles files;
  int ends[2] = {-1, -1};
  if (options.input == Input::kOpenPipe && ::pipe2(ends, O_CLOEXEC) == 0) {
    files.child[0] = ends[0];
    files.heldInput = ends[1];
  } else if (options.input == Input::kTerminal) {
    files.heldInput = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (files.heldInput >= 0 && ::grantpt(files.heldInput) == 0 &&
        ::unlockpt(files.heldInput) == 0) {
      files.child[0] = ::open(::ptsname(files.heldInput), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
  } else if (options.input == Input::kDevNull) {
    files.child[0] = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  }
  for (int stream = 0; stream < 2; ++stream) {
    if (stream == 1 && options.output == Output::kReaderGone) {
      files.child[2] = files.child[1];
    } else if (::pipe2(ends, O_CLOEXEC) == 0) {
      files.readers[stream] = ends[0];
      files.child[stream + 1] = ends[1];
    }
  }
  if (options.output == Output::kReaderGone) Close(files.readers[0]);
  files.complete = files.child[0] >= 0 && files.child[1] >= 0 && files.child[2] >= 0;
  EXPECT_TRUE(files.complete) << "cannot make the standard files: " << std::strerror(errno);
  return files;
}

// Forks and runs argv[0] as the leader of a new process group; -1 when it cannot fork.
pid_t Start(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
            const StandardFiles& files, std::optional<uid_t> user) {
  std::vector<char*> args;
  for (const std::string& argument : argv) args.push_back(const_cast<char*>(argument.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& variable : environment)
    envp.push_back(const_cast<char*>(variable.c_str()));
  envp.push_back(nullptr);
  const passwd* entry = user ? ::getpwuid(*user) : nullptr;
  const gid_t group = entry != nullptr ? entry->pw_gid : user.value_or(0);

  const pid_t pid = ::fork();
  if (pid != 0) {
    if (pid > 0) ::setpgid(pid, pid);  // either side may come first
    return pid;
  }
  struct sigaction byDefault {};  // whatever this process does with SIGPIPE
  byDefault.sa_handler = SIG_DFL;
  ::sigaction(SIGPIPE, &byDefault, nullptr);
  ::setpgid(0, 0);
  for (int fd = 0; fd < 3; ++fd) {
    if (::dup2(files.child[fd], fd) < 0) ::_exit(126);
  }
  if (user && (::setgroups(0, nullptr) != 0 || ::setgid(group) != 0 || ::setuid(*user) != 0)) {
    ::_exit(126);
  }
  ::execve(args[0], args.data(), envp.data());
  ::_exit(127);
}

}  // namespace

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

std::vector<std::string> Messages(const fs::path& log) {
  std::vector<std::string> messages;
  std::istringstream lines(ReadFile(log));
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(!line.empty() && line.back() == '\r') << "a line without CR LF: " << line;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    messages.push_back(LogMessage(line));
  }
  return messages;
}

RunResult RunProgram(const std::vector<std::string>& argv, const RunOptions& options) {
  RunResult result;
  StandardFiles files = OpenStandardFiles(options);
  const auto start = Clock::now();
  const pid_t pid =
      files.complete ? Start(argv, Environment(options.environment), files, options.user) : -1;
  EXPECT_GT(pid, 0) << "cannot start " << argv[0];
  if (files.child[2] == files.child[1]) files.child[2] = -1;
  for (int& fd : files.child) Close(fd);

  bool ended = pid <= 0;
  bool killed = false;
  int status = 0;
  struct rusage usage {};
  const auto deadline = start + options.timeout;
  const timespec tick = {0, options.killWhen ? 200'000 : 10'000'000};
  while (!ended || files.readers[0] >= 0 || files.readers[1] >= 0) {
    if (!ended && ::wait4(pid, &status, WNOHANG, &usage) == pid) {
      ended = true;
      result.seconds = SecondsSince(start);
      continue;
    }
    if (pid > 0 && Clock::now() >= deadline) {
      result.timedOut = true;
      ::kill(-pid, SIGKILL);
      if (!ended) ::wait4(pid, &status, 0, &usage);
      if (!ended) result.seconds = SecondsSince(start);
      break;
    }
    if (!ended && options.pressEnter &&
        Occurrences(result.err, "Press Enter to go on") > size_t(result.entersPressed) &&
        ReadsItsInput(pid) && ::write(files.heldInput, "\n", 1) == 1) {
      ++result.entersPressed;
    }
    if (!ended && !killed && options.killWhen && options.killWhen()) {
      killed = true;
      ::kill(-pid, SIGKILL);
    }
    pollfd ready[] = {{files.readers[0], POLLIN, 0}, {files.readers[1], POLLIN, 0}};
    if (::ppoll(ready, 2, &tick, nullptr) <= 0) continue;
    for (int stream = 0; stream < 2; ++stream) {
      if (ready[stream].fd < 0 || ready[stream].revents == 0) continue;
      char buffer[65536];
      const ssize_t got = ::read(ready[stream].fd, buffer, sizeof buffer);
      if (got > 0) (stream == 0 ? result.out : result.err).append(buffer, size_t(got));
      if (got == 0 || (got < 0 && errno != EINTR)) Close(files.readers[stream]);
    }
  }
  result.outputSeconds = SecondsSince(start);
  for (int& fd : files.readers) Close(fd);
  Close(files.heldInput);
  if (pid <= 0) return result;
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  result.maxRssKiB = usage.ru_maxrss;
  return result;
}

Sandbox::Sandbox() {
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(test->test_suite_name()) + "." + test->name();
  std::replace(name.begin(), name.end(), '/', '_');  // parameterised tests
  root_ = fs::temp_directory_path() / ("qel_" + std::to_string(::getpid()) + "_" + name);
  RemoveAt(AT_FDCWD, root_.c_str());
  fs::create_directories(root_);
}

Sandbox::~Sandbox() {
  RemoveAt(AT_FDCWD, root_.c_str());
}

void Sandbox::InstallProgram() const {
  fs::create_directories(root_ / "program");
  fs::copy_file(QELRESTORE_EXE, root_ / "program/qelrestore");
}

void Sandbox::InstallTypical() const {
  InstallProgram();
  fs::create_directories(root_ / "tools/Binn");
  fs::copy_file(QEL_STANDIN_CLIENT, root_ / "tools/Binn/OSQL.exe");
  WriteFile(root_ / "program/registry.reg", "REGEDIT4\r\n\r\n" + ClientKey());
  WriteFile(root_ / "home/.corvilane/path.conf", FinalPathItem());
  WriteFile(root_ / "install/app.jar", "old program");
  WriteFile(root_ / "backup/app.jar", "new program");
  WriteFile(root_ / "backup/PLUV/db.properties", kTypicalDbProperties);
}

std::string Sandbox::FinalPathItem() const {
  return "finalPath=" + (root_ / "install").string() + "/\r\n";
}

std::string Sandbox::ClientKey() const {
  return "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Microsoft SQL "
         "Server\\80\\Tools\\ClientSetup]\r\n\"SQLPath\"=\"" +
         (root_ / "tools").string() + "\"\r\n";
}

RunResult Sandbox::Run(const std::vector<std::string>& arguments, RunOptions options) const {
  std::vector<std::string> argv = {(root_ / "program/qelrestore").string()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  options.environment.insert(options.environment.begin(), "HOME=" + (root_ / "home").string());
  return RunProgram(argv, options);
}

int InstalledProgramTest::Run(const std::vector<std::string>& arguments, RunOptions options) {
  if (!options.user) options.user = user;
  last = sandbox.Run(arguments, std::move(options));
  return last.status;
}

std::string InstalledProgramTest::LastMessage() const {
  const std::vector<std::string> messages = Messages(logFile);
  return messages.empty() ? "" : messages.back();
}

std::string AttributesText(const std::string& path) {
  char names[4096];
  const ssize_t length = ::llistxattr(path.c_str(), names, sizeof names);
  std::vector<std::string> attributes;
  for (ssize_t at = 0; at < length; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
    char value[512];
    const ssize_t size = ::lgetxattr(path.c_str(), names + at, value, sizeof value);
    attributes.push_back(std::string(names + at) + "=" +
                         std::string(value, static_cast<size_t>(std::max<ssize_t>(size, 0))));
  }
  std::sort(attributes.begin(), attributes.end());
  std::string text;
  for (const std::string& attribute : attributes) text += " " + attribute;
  return text;
}

std::string AclValue(std::initializer_list<AclEntry> entries) {
  std::string acl;
  const auto put = [&acl](uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) acl.push_back(static_cast<char>(value >> (8 * i)));
  };
  put(2, 4);  // version
  for (const AclEntry& entry : entries) {
    put(entry.tag, 2);
    put(entry.perm, 2);
    put(entry.id, 4);
  }
  return acl;
}

}  // namespace qelrestore::test
