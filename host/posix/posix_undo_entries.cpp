#include "host/posix/posix_undo_entries.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "host/posix/posix_errors.h"
#include "support/byte_text.h"
#include "support/error.h"

namespace qelrestore::posix {
namespace {

constexpr int kFolderOpen = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// A path is written with every byte that could end or split a line escaped as %XX.
std::string Escape(std::string_view path) {
  if (path.empty()) return ".";  // the installation folder itself
  std::string text;
  for (const char byte : path) {
    const auto c = static_cast<unsigned char>(byte);
    if (c <= ' ' || c == '%' || c == 0x7f) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      text += hex;
    } else {
      text += byte;
    }
  }
  return text;
}

bool Unescape(std::string_view text, std::string& path) {
  path.clear();
  if (text == ".") return true;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      path += text[i];
      continue;
    }
    unsigned value = 0;
    if (i + 2 >= text.size() ||
        std::sscanf(std::string(text.substr(i + 1, 2)).c_str(), "%2x", &value) != 1) {
      return false;
    }
    path += static_cast<char>(value);
    i += 2;
  }
  return !path.empty();
}

}  // namespace

char TypeOf(const struct stat& info) {
  if (S_ISDIR(info.st_mode)) return 'd';
  if (S_ISREG(info.st_mode)) return 'f';
  if (S_ISLNK(info.st_mode)) return 'l';
  return 's';
}

std::string FormatEntry(const UndoEntry& entry) {
  char fields[256];
  std::snprintf(fields, sizeof fields,
                "%c %c %d %" PRIu64 " %" PRIu64 " %o %u %u %" PRId64 " %ld %" PRId64 " %ld ",
                entry.kind, entry.type, entry.copied ? 1 : 0, entry.size, entry.inode,
                static_cast<unsigned>(entry.mode), static_cast<unsigned>(entry.uid),
                static_cast<unsigned>(entry.gid), static_cast<int64_t>(entry.atime.tv_sec),
                entry.atime.tv_nsec, static_cast<int64_t>(entry.mtime.tv_sec), entry.mtime.tv_nsec);
  return fields + Escape(entry.path) + '\n';
}

bool ParseEntry(std::string_view line, UndoEntry& entry) {
  char kind = 0, type = 0;
  int copied = 0, fieldsEnd = -1;
  unsigned mode = 0, uid = 0, gid = 0;
  int64_t atime = 0, mtime = 0;
  long atimeNs = 0, mtimeNs = 0;
  const std::string text(line);
  // The path is the rest of the line, however long.
  if (std::sscanf(text.c_str(),
                  "%c %c %d %" SCNu64 " %" SCNu64 " %o %u %u %" SCNd64 " %ld %" SCNd64 " %ld %n",
                  &kind, &type, &copied, &entry.size, &entry.inode, &mode, &uid, &gid, &atime,
                  &atimeNs, &mtime, &mtimeNs, &fieldsEnd) != 12 ||
      fieldsEnd < 0 || std::strchr("KAD", kind) == nullptr ||
      std::strchr("flsd", type) == nullptr) {
    return false;
  }
  entry.kind = kind;
  entry.type = type;
  entry.copied = copied != 0;
  entry.mode = static_cast<mode_t>(mode);
  entry.uid = static_cast<uid_t>(uid);
  entry.gid = static_cast<gid_t>(gid);
  entry.atime = {static_cast<time_t>(atime), atimeNs};
  entry.mtime = {static_cast<time_t>(mtime), mtimeNs};
  return Unescape(std::string_view(text).substr(static_cast<size_t>(fieldsEnd)), entry.path) ||
         entry.path.empty();
}

LeftState StateOf(const struct stat* info) {
  if (info == nullptr) return {};
  const auto nanoseconds = [](const struct timespec& time) {
    return static_cast<int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
  };
  return {true, static_cast<uint64_t>(info->st_ino), static_cast<uint64_t>(info->st_size),
          nanoseconds(info->st_mtim), nanoseconds(info->st_ctim)};
}

std::string FormatLeft(const LeftState& state) {
  char text[128];
  std::snprintf(text, sizeof text, "%d %" PRIu64 " %" PRIu64 " %" PRId64 " %" PRId64 "\n",
                state.present ? 1 : 0, state.inode, state.size, state.modified, state.changed);
  return text;
}

bool ParseLeft(std::string_view line, LeftState& state) {
  int present = 0;
  const bool parsed =
      std::sscanf(std::string(line).c_str(), "%d %" SCNu64 " %" SCNu64 " %" SCNd64 " %" SCNd64,
                  &present, &state.inode, &state.size, &state.modified, &state.changed) == 5;
  state.present = present != 0;
  return parsed;
}

bool ReadLines(int folder, const char* name, std::vector<std::string>& lines) {
  UniqueFd fd(::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return false;
  std::string text;
  char buffer[65536];
  for (ssize_t got; (got = ::read(fd.get(), buffer, sizeof buffer)) != 0;) {
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.append(buffer, static_cast<size_t>(got));
  }
  // A line cut short by a kill is no line.
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return true;
}

void WriteWhole(int folder, const char* name, const std::string& text) {
  const std::string temporary = std::string(name) + ".new";
  UniqueFd fd(::openat(folder, temporary.c_str(),
                       O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  size_t done = 0;
  while (fd.valid() && done < text.size()) {
    const ssize_t wrote = ::write(fd.get(), text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) break;
    done += static_cast<size_t>(wrote);
  }
  if (!fd.valid() || done < text.size() || ::fsync(fd.get()) != 0 ||
      ::renameat(folder, temporary.c_str(), folder, name) != 0 || ::fsync(folder) != 0) {
    const int error = errno;
    ::unlinkat(folder, temporary.c_str(), 0);
    throw ErrnoError(error, "write", name);
  }
}

std::string ItemName(const struct stat& installation) {
  char name[64];
  std::snprintf(name, sizeof name, "%" PRIx64 "-%" PRIx64,
                static_cast<uint64_t>(installation.st_dev),
                static_cast<uint64_t>(installation.st_ino));
  return name;
}

UniqueFd OpenItem(const std::string& set, const std::string& installation, UniqueFd* root) {
  UniqueFd setFd(::open(set.c_str(), kFolderOpen));
  struct stat info {};
  if (!setFd.valid() || ::stat(installation.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return UniqueFd();
  }
  UniqueFd item(::openat(setFd.get(), ItemName(info).c_str(), kFolderOpen));
  if (root != nullptr) *root = UniqueFd(::open(installation.c_str(), kFolderOpen));
  return item;
}

UniqueFd OpenBelow(int root, std::string_view relative, bool make) {
  UniqueFd fd(::openat(root, ".", kFolderOpen));
  size_t start = 0;
  while (fd.valid() && start < relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string_view::npos) end = relative.size();
    const std::string name(relative.substr(start, end - start));
    start = end + 1;
    if (name.empty()) continue;
    if (make && ::mkdirat(fd.get(), name.c_str(), 0700) != 0 && errno != EEXIST) return UniqueFd();
    fd = UniqueFd(::openat(fd.get(), name.c_str(), kFolderOpen));
  }
  return fd;
}

std::string_view FolderOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

std::string NameOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

bool RemoveTree(int folder, const char* name) {
  if (::unlinkat(folder, name, 0) == 0 || errno == ENOENT) return true;
  if (errno != EISDIR && errno != EPERM) return false;
  UniqueFd inner(::openat(folder, name, kFolderOpen));
  DIR* listing = inner.valid() ? ::fdopendir(::dup(inner.get())) : nullptr;
  if (listing == nullptr) return false;
  bool whole = true;
  while (const struct dirent* entry = ::readdir(listing)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    whole = RemoveTree(inner.get(), entry->d_name) && whole;
  }
  ::closedir(listing);
  return whole && (::unlinkat(folder, name, AT_REMOVEDIR) == 0 || errno == ENOENT);
}

int FolderCache::Open(std::string_view folder) {
  if (folder != path_) {
    fd_ = OpenBelow(root_, folder);
    path_ = folder;
  }
  return fd_.get();
}

}  // namespace qelrestore::posix
