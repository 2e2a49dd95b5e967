#include "host/posix/posix_file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <optional>
#include <utility>

#include "copy/copy_engine.h"
#include "copy/copy_file_data.h"
#include "copy/copy_metadata.h"
#include "host/posix/posix_errors.h"
#include "support/byte_text.h"

namespace qelrestore::posix {
namespace {

constexpr int kMaxTemporaryNames = 100;

// A path with a NUL inside would silently name a shorter path at the system call.
const char* SystemPath(const std::string& nativePath, const char* call) {
  if (nativePath.find('\0') != std::string::npos) throw ErrnoError(EINVAL, call, nativePath);
  return nativePath.c_str();
}

// Writes all of `data`, going on after partial writes and interruptions. Returns 0 or errno.
int WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return 0;
}

bool StatPath(const std::string& nativePath, struct stat& info) {
  if (nativePath.find('\0') != std::string::npos) return false;
  return ::stat(nativePath.c_str(), &info) == 0;
}

// The log's stream. Nothing is buffered here: each line goes to the file in one write(), so a run
// that is killed keeps every line it logged, and concurrent appenders do not split a line.
class PosixTextStream final : public TextStream {
 public:
  PosixTextStream(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}

  void writeLine(const std::wstring& text) override {
    if (!fd_.valid()) throw Error(code::kBadFileNumber);
    std::string line = EncodeUtf8(text);
    line += "\r\n";
    if (const int failure = WriteAll(fd_.get(), line.data(), line.size()); failure != 0) {
      throw ErrnoError(failure, "write", path_);
    }
  }

  void Close() override {
    if (!fd_.valid()) return;
    if (const int failure = fd_.reset(); failure != 0) throw ErrnoError(failure, "close", path_);
  }

 private:
  UniqueFd fd_;
  std::string path_;
};

// Standard output's stream, for a run that writes no file: its lines are all it leaves, so a line
// that cannot be written is an error, not something to pass over.
class StandardOutputStream final : public TextStream {
 public:
  void writeLine(const std::wstring& text) override {
    if (closed_) throw Error(code::kBadFileNumber);
    std::string line = EncodeUtf8(text);
    line += '\n';
    if (const int failure = WriteAll(STDOUT_FILENO, line.data(), line.size()); failure != 0) {
      throw ErrnoError(failure, "write", "standard output");
    }
  }

  void Close() override { closed_ = true; }

 private:
  bool closed_ = false;
};

class PosixReader final : public Reader {
 public:
  PosixReader(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}

  size_t Read(char* buffer, size_t size) override {
    if (size > SSIZE_MAX) size = SSIZE_MAX;
    for (;;) {
      const ssize_t got = ::read(fd_.get(), buffer, size);
      if (got >= 0) return static_cast<size_t>(got);
      if (errno != EINTR) throw ErrnoError(errno, "read", path_);
    }
  }

  std::optional<uint64_t> Length() override {
    struct stat status {};
    if (::fstat(fd_.get(), &status) != 0) return std::nullopt;
    return static_cast<uint64_t>(status.st_size);
  }

 private:
  UniqueFd fd_;
  std::string path_;
};

// The new file a copy is written to, in the open folder of its destination; removed unless it
// was renamed over the destination.
class TemporaryFile {
 public:
  TemporaryFile(int folder, const std::string& name, const std::string& destination)
      : folder_(folder) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0;; ++attempt) {
      name_ = "." + name + ".qel-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
      fd_ = UniqueFd(::openat(folder, name_.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (fd_.valid()) return;
      if (errno != EEXIST || attempt == kMaxTemporaryNames) {
        const int failure = errno;
        name_.clear();
        throw ErrnoError(failure, "create beside", destination);
      }
    }
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    fd_.reset();
    if (!name_.empty()) ::unlinkat(folder_, name_.c_str(), 0);
  }

  int fd() const { return fd_.get(); }
  // Closes the file and renames it over `name` of its folder; returns the errno of a failure,
  // else 0 with `failedCall` untouched.
  int Commit(const std::string& name, const char*& failedCall) {
    if (const int failure = fd_.reset(); failure != 0) {
      failedCall = "close";
      return failure;
    }
    if (::renameat(folder_, name_.c_str(), folder_, name.c_str()) != 0) {
      failedCall = "rename";
      return errno;
    }
    name_.clear();
    return 0;
  }

 private:
  int folder_;
  std::string name_;
  UniqueFd fd_;
};

// The folder of `nativePath`, open, and the file's name in it. With `lastFolderAsItIs` the folder
// is not followed when it is a link (the folder above it is opened as named: links there are the
// administrator's), so a link somebody planted in place of the folder leads nowhere.
UniqueFd OpenFolderOf(const std::string& nativePath, bool lastFolderAsItIs, std::string& name) {
  SystemPath(nativePath, "open");
  const size_t slash = nativePath.rfind('/');
  name = slash == std::string::npos ? nativePath : nativePath.substr(slash + 1);
  std::string folder = slash == std::string::npos ? "." : nativePath.substr(0, slash);
  if (folder.empty()) folder = "/";
  const size_t up = folder.rfind('/');
  if (!lastFolderAsItIs || folder == "/" || up == std::string::npos) {
    UniqueFd fd(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) throw ErrnoError(errno, "open", nativePath);
    return fd;
  }
  const std::string above = up == 0 ? "/" : folder.substr(0, up);
  const std::string last = folder.substr(up + 1);
  const UniqueFd parent(::open(above.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!parent.valid()) throw ErrnoError(errno, "open", nativePath);
  UniqueFd fd(::openat(parent.get(), last.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.valid()) return fd;
  const int failure = errno;
  struct stat info {};
  if (::fstatat(parent.get(), last.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(info.st_mode)) {
    throw PathError(code::kPathFileAccess, "open", folder, "a symbolic link, not followed");
  }
  throw ErrnoError(failure, "open", nativePath);
}

UniqueFd OpenRegularFileAt(int folder, const std::string& name, const std::string& nativePath,
                           int extraFlags, struct stat& info) {
  UniqueFd fd(
      ::openat(folder, name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | extraFlags));
  if (!fd.valid()) {
    const int failure = errno;
    if (failure == ELOOP && (extraFlags & O_NOFOLLOW) != 0) {
      throw PathError(code::kPathFileAccess, "open", nativePath, "a symbolic link, not followed");
    }
    throw ErrnoError(failure, "open", nativePath);
  }
  if (::fstat(fd.get(), &info) != 0) throw ErrnoError(errno, "fstat", nativePath);
  if (S_ISDIR(info.st_mode)) throw ErrnoError(EISDIR, "open", nativePath);
  if (!S_ISREG(info.st_mode)) {
    throw PathError(code::kPathFileAccess, "open", nativePath, "not a regular file");
  }
  return fd;
}
}  // namespace

UniqueFd OpenRegularFile(const std::string& nativePath, int extraFlags, struct stat& info) {
  return OpenRegularFileAt(AT_FDCWD, SystemPath(nativePath, "open"), nativePath, extraFlags, info);
}

bool IsFile(const std::string& nativePath) {
  struct stat info {};
  return StatPath(nativePath, info) && !S_ISDIR(info.st_mode);
}

bool IsFolder(const std::string& nativePath) {
  struct stat info {};
  return StatPath(nativePath, info) && S_ISDIR(info.st_mode);
}

std::optional<FolderIdentity> FolderIdentityOf(const std::string& nativePath) {
  struct stat info {};
  if (!StatPath(nativePath, info) || !S_ISDIR(info.st_mode)) return std::nullopt;
  return FolderIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

std::unique_ptr<TextStream> OpenLogFile(const std::string& nativePath) {
  const int fd = ::open(SystemPath(nativePath, "open"),
                        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) throw ErrnoError(errno, "open", nativePath);
  return std::make_unique<PosixTextStream>(UniqueFd(fd), nativePath);
}

void ProbeLogFile(const std::string& nativePath) {
  const char* path = SystemPath(nativePath, "open");
  // Without waiting for a reader, were a FIFO there.
  const int fd = ::open(path, O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd >= 0) {
    ::close(fd);
    return;
  }
  if (errno != ENOENT) throw ErrnoError(errno, "open", nativePath);
  const size_t separator = nativePath.find_last_of('/');
  const std::string folder = separator == std::string::npos ? "."
                             : separator == 0               ? "/"
                                                            : nativePath.substr(0, separator);
  if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0 && errno != ENOENT) {
    throw ErrnoError(errno, "open", nativePath);
  }
}

std::unique_ptr<TextStream> OpenStandardOutputStream() {
  return std::make_unique<StandardOutputStream>();
}

std::unique_ptr<Reader> OpenInputFile(const std::string& nativePath, int extraFlags) {
  struct stat info {};
  UniqueFd fd = OpenRegularFile(nativePath, extraFlags, info);
  return std::make_unique<PosixReader>(std::move(fd), nativePath);
}

std::unique_ptr<Reader> OpenSettingsFile(const std::string& nativePath) {
  std::string name;
  const UniqueFd folder = OpenFolderOf(nativePath, true, name);
  struct stat info {};
  UniqueFd fd = OpenRegularFileAt(folder.get(), name, nativePath, O_NOFOLLOW, info);
  return std::make_unique<PosixReader>(std::move(fd), nativePath);
}

void RemoveFileIfPresent(const std::string& nativePath) {
  if (::unlink(SystemPath(nativePath, "unlink")) == 0) return;
  const int failure = errno;
  if (failure == ENOENT || failure == ENOTDIR) return;
  throw ErrnoError(failure, "unlink", nativePath);
}

struct stat CopyWholeFile(const std::string& source, const std::string& destination,
                          KeptSettingsCopy direction, const std::optional<struct stat>& access) {
  const bool saving = direction == KeptSettingsCopy::kSave;
  std::string sourceName;
  const UniqueFd sourceFolder = OpenFolderOf(source, saving, sourceName);
  struct stat from {};
  const UniqueFd in = OpenRegularFileAt(sourceFolder.get(), sourceName, source, O_NOFOLLOW, from);

  std::string name;
  const UniqueFd folder = OpenFolderOf(destination, !saving, name);
  struct stat existing {};
  bool replacing = false;
  if (::fstatat(folder.get(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    if (existing.st_dev == from.st_dev && existing.st_ino == from.st_ino) {
      throw PathError(code::kPermissionDenied, "copy", destination, "the source itself");
    }
    if (S_ISDIR(existing.st_mode)) throw ErrnoError(EISDIR, "rename", destination);
    replacing = S_ISREG(existing.st_mode);
  } else if (errno != ENOENT) {
    throw ErrnoError(errno, "lstat", destination);
  }
  // The saved copy is the run's own, readable by nobody else, whoever owned the settings file;
  // without an access asked for, the put-back gives the settings file the owner and mode of the
  // one it replaces (the source's where there is none), never more than that file gave.
  struct stat given = from;
  if (access) {
    given = *access;
  } else if (saving) {
    given = OwnerOnlyAccess();
  } else if (replacing) {
    given = existing;
  }

  TemporaryFile out(folder.get(), name, destination);
  // Private (0600, none of the entries a default ACL of the folder hands a new file) until the
  // content is in; then the owner and group where the run may set them, and the mode last,
  // set-ID bits only where owner and group are kept.
  if (!MetadataCopier::DropInheritedAcls(out.fd())) throw ErrnoError(errno, "copy", destination);
  const char* failedCall = "copy";
  int failure = FileDataCopier().Copy(in.get(), out.fd(), from);
  if (failure == 0 && ::fsync(out.fd()) != 0) {
    failure = errno;
    failedCall = "fsync";
  }
  if (failure == 0 &&
      ::fchmod(out.fd(), MetadataCopier().SetOwnerAndGetMode(out.fd(), given)) != 0) {
    failure = errno;
    failedCall = "fchmod";
  }
  if (failure == 0) failure = out.Commit(name, failedCall);
  if (failure != 0) throw ErrnoError(failure, failedCall, destination);
  return from;
}

struct stat OwnerOnlyAccess() {
  struct stat access {};
  access.st_uid = ::geteuid();
  access.st_gid = ::getegid();
  access.st_mode = S_IFREG | S_IRUSR | S_IWUSR;
  return access;
}

}  // namespace qelrestore::posix
