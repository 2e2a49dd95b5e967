// The dry run's count of what the copy would copy, and the status line's first walk: the walk the
// copy takes of the backup's folders, nothing written.
#include <fcntl.h>
#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

#include "copy/backup_walk.h"
#include "copy/copy_engine.h"

namespace qelrestore::posix {
namespace {

// Counts the files and links below the backup folder, and those of them a destination entry of
// the same name would be replaced by.
class Planner : public BackupWalk {
 public:
  Planner(std::optional<NodeId> destinationRoot, UniqueFd destination, CopyPlan& plan)
      : BackupWalk(destinationRoot), plan_(plan) {
    destinations_.push_back(std::move(destination));
  }

 private:
  // The matching destination folder, opened without following a link, or invalid when there is
  // none: then nothing below it replaces anything.
  void Entering(int, const char* name, const struct stat&) override {
    const UniqueFd& destination = destinations_.back();
    destinations_.emplace_back(
        destination.valid()
            ? ::openat(destination.get(), name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
            : -1);
  }
  void Left() override { destinations_.pop_back(); }

  void Met(int folder, const char* name) override {
    struct stat info {};
    if (::fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) return;
    ++plan_.files;
    plan_.bytes += static_cast<uint64_t>(info.st_size);
    const UniqueFd& destination = destinations_.back();
    struct stat existing {};
    if (destination.valid() &&
        ::fstatat(destination.get(), name, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
      ++plan_.replacing;
    }
  }

  CopyPlan& plan_;
  std::vector<UniqueFd> destinations_;  // from the destination folder down
};

}  // namespace

CopyPlan PlanFolderCopy(const std::string& source, const std::string& destination) {
  CopyPlan plan;
  if (source.find('\0') != std::string::npos || destination.find('\0') != std::string::npos) {
    return plan;
  }
  // The two named folders are followed when they are links, as the copy follows them.
  UniqueFd root(::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
  struct stat info {};
  if (!root.valid() || ::fstat(root.get(), &info) != 0) return plan;
  UniqueFd destinationRoot(::open(destination.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  std::optional<NodeId> destinationId;
  struct stat there {};
  if (destinationRoot.valid() && ::fstat(destinationRoot.get(), &there) == 0) {
    destinationId = IdOf(there);
  }
  Planner(destinationId, std::move(destinationRoot), plan).Walk(std::move(root), IdOf(info));
  return plan;
}

}  // namespace qelrestore::posix
