// A pass-through file system for the benchmark: every call reaches the folder given, after a
// pause of the given microseconds, as on a share across a network. Requests are served by
// several threads, so that calls made at once wait at once.
// Usage: latency_fs REAL-FOLDER MOUNT-POINT MICROSECONDS [fuse options, e.g. -f]
#define FUSE_USE_VERSION 35
#include <dirent.h>
#include <fcntl.h>
#include <fuse3/fuse.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string real;
useconds_t delay = 1000;

std::string At(const char* path) {
  ::usleep(delay);
  return real + path;
}

int Result(int value) {
  return value < 0 ? -errno : value;
}

int GetAttr(const char* path, struct stat* info, fuse_file_info* file) {
  if (file != nullptr) {
    ::usleep(delay);
    return Result(::fstat(static_cast<int>(file->fh), info));
  }
  return Result(::lstat(At(path).c_str(), info));
}

int ReadLink(const char* path, char* buffer, size_t size) {
  const ssize_t length = ::readlink(At(path).c_str(), buffer, size - 1);
  if (length < 0) return -errno;
  buffer[length] = '\0';
  return 0;
}

int ReadDir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
            fuse_readdir_flags) {
  DIR* dir = ::opendir(At(path).c_str());
  if (dir == nullptr) return -errno;
  while (const dirent* entry = ::readdir(dir)) {
    struct stat info {};
    info.st_ino = entry->d_ino;
    info.st_mode = static_cast<mode_t>(DTTOIF(entry->d_type));
    if (fill(buffer, entry->d_name, &info, 0, static_cast<fuse_fill_dir_flags>(0)) != 0) break;
  }
  ::closedir(dir);
  return 0;
}

int MakeNode(const char* path, mode_t mode, dev_t device) {
  return Result(::mknod(At(path).c_str(), mode, device));
}
int MakeDir(const char* path, mode_t mode) {
  return Result(::mkdir(At(path).c_str(), mode));
}
int Unlink(const char* path) {
  return Result(::unlink(At(path).c_str()));
}
int RemoveDir(const char* path) {
  return Result(::rmdir(At(path).c_str()));
}
int SymLink(const char* target, const char* path) {
  return Result(::symlink(target, At(path).c_str()));
}
int Rename(const char* from, const char* to, unsigned int flags) {
  return Result(::renameat2(AT_FDCWD, At(from).c_str(), AT_FDCWD, (real + to).c_str(), flags));
}
int Link(const char* from, const char* to) {
  return Result(::link(At(from).c_str(), (real + to).c_str()));
}
int ChMod(const char* path, mode_t mode, fuse_file_info*) {
  return Result(::chmod(At(path).c_str(), mode));
}
int ChOwn(const char* path, uid_t user, gid_t group, fuse_file_info*) {
  return Result(::lchown(At(path).c_str(), user, group));
}
int Truncate(const char* path, off_t size, fuse_file_info* file) {
  if (file != nullptr) {
    ::usleep(delay);
    return Result(::ftruncate(static_cast<int>(file->fh), size));
  }
  return Result(::truncate(At(path).c_str(), size));
}
int UTimens(const char* path, const timespec times[2], fuse_file_info*) {
  return Result(::utimensat(AT_FDCWD, At(path).c_str(), times, AT_SYMLINK_NOFOLLOW));
}
int Open(const char* path, fuse_file_info* file) {
  const int fd = ::open(At(path).c_str(), file->flags);
  if (fd < 0) return -errno;
  file->fh = static_cast<uint64_t>(fd);
  return 0;
}
int Create(const char* path, mode_t mode, fuse_file_info* file) {
  const int fd = ::open(At(path).c_str(), file->flags, mode);
  if (fd < 0) return -errno;
  file->fh = static_cast<uint64_t>(fd);
  return 0;
}
int Read(const char*, char* buffer, size_t size, off_t at, fuse_file_info* file) {
  ::usleep(delay);
  return Result(static_cast<int>(::pread(static_cast<int>(file->fh), buffer, size, at)));
}
int Write(const char*, const char* buffer, size_t size, off_t at, fuse_file_info* file) {
  ::usleep(delay);
  return Result(static_cast<int>(::pwrite(static_cast<int>(file->fh), buffer, size, at)));
}
int Release(const char*, fuse_file_info* file) {
  return Result(::close(static_cast<int>(file->fh)));
}
int StatFs(const char* path, struct statvfs* info) {
  return Result(::statvfs(At(path).c_str(), info));
}
int SetXattr(const char* path, const char* name, const char* value, size_t size, int flags) {
  return Result(::lsetxattr(At(path).c_str(), name, value, size, flags));
}
int GetXattr(const char* path, const char* name, char* value, size_t size) {
  return Result(static_cast<int>(::lgetxattr(At(path).c_str(), name, value, size)));
}
int ListXattr(const char* path, char* list, size_t size) {
  return Result(static_cast<int>(::llistxattr(At(path).c_str(), list, size)));
}
int RemoveXattr(const char* path, const char* name) {
  return Result(::lremovexattr(At(path).c_str(), name));
}

void* Init(fuse_conn_info*, fuse_config* config) {
  config->use_ino = 1;  // the real inodes: hard links stay known as one file
  config->entry_timeout = 0;
  config->attr_timeout = 0;
  config->negative_timeout = 0;
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: latency_fs REAL-FOLDER MOUNT-POINT MICROSECONDS [options]\n");
    return 2;
  }
  real = argv[1];
  delay = static_cast<useconds_t>(std::strtoul(argv[3], nullptr, 10));
  fuse_operations operations{};
  operations.getattr = GetAttr;
  operations.readlink = ReadLink;
  operations.mknod = MakeNode;
  operations.mkdir = MakeDir;
  operations.unlink = Unlink;
  operations.rmdir = RemoveDir;
  operations.symlink = SymLink;
  operations.rename = Rename;
  operations.link = Link;
  operations.chmod = ChMod;
  operations.chown = ChOwn;
  operations.truncate = Truncate;
  operations.open = Open;
  operations.read = Read;
  operations.write = Write;
  operations.statfs = StatFs;
  operations.release = Release;
  operations.setxattr = SetXattr;
  operations.getxattr = GetXattr;
  operations.listxattr = ListXattr;
  operations.removexattr = RemoveXattr;
  operations.readdir = ReadDir;
  operations.init = Init;
  operations.create = Create;
  operations.utimens = UTimens;
  std::vector<char*> arguments = {argv[0], argv[2]};
  for (int i = 4; i < argc; ++i) arguments.push_back(argv[i]);
  return fuse_main(static_cast<int>(arguments.size()), arguments.data(), &operations, nullptr);
}
