#include "copy/copy_leftovers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "copy/backup_walk.h"

namespace qelrestore::posix {
namespace {

bool HasLeftoverName(const char* name) {
  if (std::strncmp(name, ".qelrestore-", 12) != 0 || std::strlen(name) != 18) return false;
  for (const char* letter = name + 12; *letter != '\0'; ++letter) {
    const char c = *letter;
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) {
      return false;
    }
  }
  return true;
}

}  // namespace

uint64_t RemoveLeftovers(int folder, bool countOnly) {
  const int listed = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listed < 0) return 0;
  const Listing entries(::fdopendir(listed));
  if (!entries) {
    ::close(listed);
    return 0;
  }
  uint64_t found = 0;
  while (const dirent* entry = ::readdir(entries.get())) {
    if (!HasLeftoverName(entry->d_name)) continue;
    struct stat info {};
    if (::fstatat(folder, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() || (info.st_mode & 077) != 0) {
      continue;
    }
    if (countOnly || ::unlinkat(folder, entry->d_name, 0) == 0) ++found;
  }
  return found;
}

}  // namespace qelrestore::posix
