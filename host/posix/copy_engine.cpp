#include "host/posix/copy_engine.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/posix/posix_file_system.h"
#include "host/posix/posix_text.h"

namespace qelrestore::posix {
namespace {

// O_NONBLOCK keeps an open from hanging on a FIFO that took a file's place; it has no effect on the
// regular files that are actually read and written.
constexpr int kOpenSource = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
constexpr int kCreateFile = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
constexpr int kOpenExisting = O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
constexpr int kOpenFolder = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// One file-system object, as the kernel identifies it.
struct NodeId {
  dev_t device;
  ino_t inode;
};

NodeId IdOf(const struct stat& info) {
  return {info.st_dev, info.st_ino};
}
bool Same(const struct stat& info, NodeId id) {
  return info.st_dev == id.device && info.st_ino == id.inode;
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

class CopyEngine {
 public:
  explicit CopyEngine(const CopyFailureReport& report) : report_(report) {}

  // Copies every entry of `folder`, or only `entry` when it is given, into `destination`. Returns
  // true when everything was copied (or already was its own destination).
  bool Run(const std::string& folder, const char* entry, const std::string& destination) {
    sourceRoot_ = folder;
    if (entry != nullptr &&
        (*entry == '\0' || std::strcmp(entry, ".") == 0 || std::strcmp(entry, "..") == 0)) {
      return Report(EINVAL, "copy", folder + "/" + entry);  // not an entry of the folder
    }
    // The two named folders are followed when they are links: the caller chose them.
    UniqueFd source(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat info {};
    if (!source.valid() || ::fstat(source.get(), &info) != 0) return Report(errno, "open", folder);
    UniqueFd target = OpenDestinationRoot(destination);
    if (!target.valid()) return false;
    if (entry != nullptr) {
      CopyEntry(source.get(), entry, DT_UNKNOWN, target.get());
    } else if (!Same(info, destinationRoot_)) {  // else a folder copied onto itself: nothing to do
      sourcePath_.assign(1, IdOf(info));
      CopyContents(std::move(source), target.get());
    }
    return !failed_;
  }

 private:
  // Opens the destination folder, creating it and any missing folder above it first.
  UniqueFd OpenDestinationRoot(const std::string& destination) {
    const std::string path = destination.empty() ? "." : destination;
    UniqueFd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid() && errno == ENOENT) {
      for (size_t end = 1; end <= path.size(); ++end) {
        // An existing part answers EEXIST; a real obstacle shows in the open that follows.
        if (end == path.size() || path[end] == '/') ::mkdir(path.substr(0, end).c_str(), 0777);
      }
      folder = UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    struct stat info {};
    if (!folder.valid() || ::fstat(folder.get(), &info) != 0) {
      Report(errno, "open", path);
      return UniqueFd();
    }
    destinationRoot_ = IdOf(info);
    return folder;
  }

  void CopyContents(UniqueFd sourceFolder, int destinationFolder) {
    DIR* dir = ::fdopendir(sourceFolder.get());
    if (dir == nullptr) {
      Fail(errno, "fdopendir", "");
      return;
    }
    sourceFolder.release();  // the DIR owns it now
    const std::unique_ptr<DIR, DirCloser> owner(dir);
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(dir);
      if (entry == nullptr) {
        if (errno != 0) Fail(errno, "readdir", "");
        return;
      }
      const char* name = entry->d_name;
      if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
      CopyEntry(::dirfd(dir), name, entry->d_type, destinationFolder);
    }
  }

  // The directory entry's type saves a stat for files and folders, which are opened and examined
  // through their descriptor anyway; only the rest (or where the file system gives no type) is
  // stat'ed here.
  bool CopyEntry(int sourceFolder, const char* name, unsigned char type, int destinationFolder) {
    if (type == DT_REG) return CopyRegularFile(sourceFolder, name, destinationFolder);
    if (type == DT_DIR) return CopyFolder(sourceFolder, name, destinationFolder);
    struct stat info {};
    if (::fstatat(sourceFolder, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
      return Fail(errno, "fstatat", name);
    }
    if (S_ISREG(info.st_mode)) return CopyRegularFile(sourceFolder, name, destinationFolder);
    if (S_ISDIR(info.st_mode)) return CopyFolder(sourceFolder, name, destinationFolder);
    if (S_ISLNK(info.st_mode)) return CopyLink(sourceFolder, name, info, destinationFolder);
    return CopySpecial(name, info, destinationFolder);
  }

  bool CopyRegularFile(int sourceFolder, const char* name, int destinationFolder) {
    UniqueFd in(::openat(sourceFolder, name, kOpenSource));
    struct stat info {};
    if (!in.valid() || ::fstat(in.get(), &info) != 0) return Fail(errno, "open", name);
    // Its type changed since the folder was read: the backup is being changed under the copy.
    if (!S_ISREG(info.st_mode)) return Fail(EAGAIN, "open", name);
    off_t oldLength = 0;
    UniqueFd out = OpenDestinationFile(destinationFolder, name, info, oldLength);
    if (!out.valid()) return false;
    const char* failedCall = "copy";
    if (const int failure = copier_.Copy(in.get(), out.get(), info.st_size, failedCall)) {
      return Fail(failure, failedCall, name);
    }
    // Cut last, and only what the copy did not write over: cutting a rewritten file to nothing
    // first frees every block only to allocate it again, and makes some file systems flush it.
    if (oldLength > copier_.copied() && ::ftruncate(out.get(), copier_.copied()) != 0) {
      return Fail(errno, "ftruncate", name);
    }
    if (!KeepModeAndTimes(out.get(), info, name)) return false;
    if (const int failure = out.reset()) return Fail(failure, "close", name);
    return true;
  }

  // Opens the destination of a regular file for writing from its start, and sets `oldLength` to
  // the length of what it already holds (the caller cuts what the copy does not overwrite); an
  // invalid descriptor when it was reported as impossible or when the destination is the source
  // itself. An existing file with no other name is rewritten in place; anything else that stands
  // there (a link, a FIFO, a file with other hard links, a read-only or busy file) is removed and
  // created anew, so nothing is ever written through to another object.
  UniqueFd OpenDestinationFile(int folder, const char* name, const struct stat& source,
                               off_t& oldLength) {
    oldLength = 0;
    UniqueFd out(::openat(folder, name, kCreateFile, 0600));
    if (out.valid()) return out;
    if (errno != EEXIST) {
      Fail(errno, "open", name);
      return out;
    }
    out = UniqueFd(::openat(folder, name, kOpenExisting));
    struct stat existing {};
    if (out.valid()) {
      if (::fstat(out.get(), &existing) != 0) {
        Fail(errno, "fstat", name);
        return UniqueFd();
      }
      if (Same(existing, IdOf(source))) return UniqueFd();
      if (S_ISREG(existing.st_mode) && existing.st_nlink == 1) {
        oldLength = existing.st_size;
        return out;
      }
      out.reset();
    } else if (errno != ELOOP && errno != ENXIO && errno != EACCES && errno != EPERM &&
               errno != ETXTBSY) {
      Fail(errno, "open", name);  // EISDIR among them: a folder stands where the file goes
      return out;
    }
    if (!ClearForReplacement(folder, name, source)) return UniqueFd();
    out = UniqueFd(::openat(folder, name, kCreateFile, 0600));
    if (!out.valid()) Fail(errno, "open", name);
    return out;
  }

  // Removes what stands at the destination name so that the source's copy can take its place.
  // False when it cannot (reported) or must not: a folder is never removed, nor the source itself.
  bool ClearForReplacement(int folder, const char* name, const struct stat& source) {
    struct stat existing {};
    if (::fstatat(folder, name, &existing, AT_SYMLINK_NOFOLLOW) != 0) {
      return errno == ENOENT || Fail(errno, "fstatat", name);
    }
    if (Same(existing, IdOf(source))) return false;
    if (S_ISDIR(existing.st_mode)) return Fail(EISDIR, "replace", name);
    if (::unlinkat(folder, name, 0) != 0) return Fail(errno, "unlinkat", name);
    return true;
  }

  bool CopyFolder(int sourceFolder, const char* name, int destinationFolder) {
    UniqueFd source(::openat(sourceFolder, name, kOpenFolder));
    struct stat info {};
    if (!source.valid() || ::fstat(source.get(), &info) != 0) return Fail(errno, "open", name);
    // The destination inside the backup: its content is the copy's own output.
    if (Same(info, destinationRoot_)) return true;
    if (OnSourcePath(info)) return Fail(ELOOP, "open", name);  // a bind mount looping back up

    const bool created = ::mkdirat(destinationFolder, name, 0700) == 0;
    if (!created && errno != EEXIST) return Fail(errno, "mkdirat", name);
    // O_NOFOLLOW here too: a link or a file standing where the folder goes is reported, not
    // written through.
    UniqueFd target(::openat(destinationFolder, name, kOpenFolder));
    if (!target.valid()) return Fail(errno, "open destination", name);
    if (!created) {
      struct stat existing {};
      if (::fstat(target.get(), &existing) != 0) return Fail(errno, "fstat", name);
      if (Same(existing, IdOf(info))) return true;  // the same folder under another name
      // Writing into a folder of the backup would overwrite what is still to be copied.
      if (OnSourcePath(existing)) return Fail(ELOOP, "open destination", name);
      if ((existing.st_mode & S_IRWXU) != S_IRWXU) {
        ::fchmod(target.get(), existing.st_mode | S_IRWXU);  // the source's bits are set below
      }
    }

    const size_t mark = relative_.size();
    relative_.append(name).push_back('/');
    sourcePath_.push_back(IdOf(info));
    CopyContents(std::move(source), target.get());
    sourcePath_.pop_back();
    relative_.resize(mark);
    // Last, so that the entries just written do not move the folder's time again.
    return KeepModeAndTimes(target.get(), info, name);
  }

  bool CopyLink(int sourceFolder, const char* name, const struct stat& info,
                int destinationFolder) {
    // st_size is the target's length, except on file systems that report 0; grow until it fits.
    size_t wanted = std::max<size_t>(static_cast<size_t>(info.st_size) + 1, PATH_MAX);
    ssize_t length = 0;
    for (;;) {
      if (linkTarget_.size() < wanted) linkTarget_.resize(wanted);
      length = ::readlinkat(sourceFolder, name, linkTarget_.data(), linkTarget_.size());
      if (length < 0) return Fail(errno, "readlinkat", name);
      if (static_cast<size_t>(length) < linkTarget_.size()) break;
      wanted = linkTarget_.size() * 2;
    }
    linkTarget_[static_cast<size_t>(length)] = '\0';
    const auto make = [&] { return ::symlinkat(linkTarget_.data(), destinationFolder, name); };
    if (!MakeReplacing(destinationFolder, name, info, "symlinkat", make)) return false;
    const struct timespec times[2] = {info.st_atim, info.st_mtim};
    if (::utimensat(destinationFolder, name, times, AT_SYMLINK_NOFOLLOW) != 0 &&
        errno != EOPNOTSUPP) {
      return Fail(errno, "utimensat", name);
    }
    return true;
  }

  // FIFOs, sockets and device nodes are made anew, as a recursive copy does; devices need the
  // privilege to make them, and are reported otherwise.
  bool CopySpecial(const char* name, const struct stat& info, int destinationFolder) {
    const auto make = [&] {
      return ::mknodat(destinationFolder, name, info.st_mode, info.st_rdev);
    };
    if (!MakeReplacing(destinationFolder, name, info, "mknodat", make)) return false;
    const struct timespec times[2] = {info.st_atim, info.st_mtim};
    if (::fchmodat(destinationFolder, name, info.st_mode & 07777, 0) != 0) {
      return Fail(errno, "fchmodat", name);
    }
    if (::utimensat(destinationFolder, name, times, AT_SYMLINK_NOFOLLOW) != 0) {
      return Fail(errno, "utimensat", name);
    }
    return true;
  }

  // Makes a link or node at `name` with `make` (0 on success, as the system call returns),
  // removing what stands there first when needed.
  template <typename Make>
  bool MakeReplacing(int folder, const char* name, const struct stat& source, const char* call,
                     Make make) {
    if (make() == 0) return true;
    if (errno != EEXIST) return Fail(errno, call, name);
    if (!ClearForReplacement(folder, name, source)) return false;
    return make() == 0 || Fail(errno, call, name);
  }

  bool KeepModeAndTimes(int fd, const struct stat& info, const char* name) {
    const struct timespec times[2] = {info.st_atim, info.st_mtim};
    if (::fchmod(fd, info.st_mode & 07777) != 0) return Fail(errno, "fchmod", name);
    if (::futimens(fd, times) != 0) return Fail(errno, "futimens", name);
    return true;
  }

  bool OnSourcePath(const struct stat& info) const {
    return std::any_of(sourcePath_.begin(), sourcePath_.end(),
                       [&info](NodeId id) { return Same(info, id); });
  }

  // Each reports the entry and returns false, so that a failing step can end with `return Fail`.
  bool Fail(int error, const char* call, std::string_view name) {
    std::string path = sourceRoot_;
    if (path.back() != '/') path += '/';
    path += relative_;
    path += name;
    return Report(error, call, path);
  }
  bool Report(int error, const char* call, const std::string& path) {
    failed_ = true;
    if (report_) {
      report_("cannot copy " + path + ": " + std::strerror(error) + " (" + call + ")");
    }
    return false;
  }

  const CopyFailureReport& report_;
  bool failed_ = false;
  std::string sourceRoot_;          // for messages only
  std::string relative_;            // folder being walked, below sourceRoot_ (messages only)
  NodeId destinationRoot_{};        // never descended into as a source folder
  std::vector<NodeId> sourcePath_;  // source folders from the root down to the one being walked
  ByteCopier copier_;
  std::vector<char> linkTarget_;
};

}  // namespace

int32_t RunFileOperation(FileOperation& operation, const CopyFailureReport& report) {
  operation.fAnyOperationsAborted = false;
  if (operation.wFunc != FO_COPY) {
    operation.fAnyOperationsAborted = true;
    return kFileOperationUnsupported;
  }
  // The platform's form of each field is a list ended by NULs; one entry is all the program uses.
  const auto firstEntry = [](const std::wstring& list) {
    return NativePath(std::wstring_view(list).substr(0, list.find(L'\0')));
  };
  std::string source = firstEntry(operation.pFrom);
  const std::string destination = firstEntry(operation.pTo);

  CopyEngine engine(report);
  bool complete = false;
  if (source == "*" || (source.size() >= 2 && source.compare(source.size() - 2, 2, "/*") == 0)) {
    source.resize(source.size() - 1);  // "FOLDER/", "/" or ""
    complete = engine.Run(source.empty() ? "." : source, nullptr, destination);
  } else {
    while (source.size() > 1 && source.back() == '/') source.pop_back();
    const size_t slash = source.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : source.substr(0, slash);
    complete = engine.Run(folder, source.c_str() + (slash == std::string::npos ? 0 : slash + 1),
                          destination);
  }
  if (complete) return kFileOperationDone;
  operation.fAnyOperationsAborted = true;
  return kFileOperationIncomplete;
}

}  // namespace qelrestore::posix
