// The dry run's count of what the copy would copy, and the status line's first walk: the walk the
// copy takes of the backup's folders, nothing written.
#include <fcntl.h>
#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

#include "copy/backup_walk.h"
#include "copy/copy_engine.h"
#include "copy/copy_leftovers.h"
#include "support/byte_text.h"

namespace qelrestore::posix {
namespace {

// Counts the files and links below the backup folder, and those of them a destination entry of
// the same name would be replaced by; names the entries the copy will refuse for what stands in
// their place, with the copy's own reasons.
class Planner : public BackupWalk {
 public:
  Planner(std::optional<NodeId> destinationRoot, UniqueFd destination, CopyPlan& plan,
          std::string sourceRoot, const std::vector<std::string>& ownFiles)
      : BackupWalk(destinationRoot),
        plan_(plan),
        ownFiles_(ownFiles),
        rootLength_(sourceRoot.size()) {
    destinations_.push_back(std::move(destination));
    paths_.push_back(std::move(sourceRoot));
    blocked_.push_back(false);
  }

  // The entries refused, as the copy names them: the first by path.
  void NameRefused() {
    SortFirstByPath(refused_);
    for (const CopyFailure& entry : refused_) {
      plan_.notCopied.push_back({DecodeUtf8(entry.path), DecodeUtf8(entry.reason)});
    }
  }

 private:
  // The matching destination folder, opened without following a link, or invalid when there is
  // none: then nothing below it replaces anything. A file or link in its place blocks the folder
  // and all it holds.
  void Entering(int, const char* name, const struct stat&) override {
    const UniqueFd& destination = destinations_.back();
    bool blocked = blocked_.back();
    if (!blocked && IsOwnFile(name)) {
      blocked = true;
      Refused(name, kFileOfThisRestore);
    }
    UniqueFd below(-1);
    if (!blocked && destination.valid()) {
      below = UniqueFd(
          ::openat(destination.get(), name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      struct stat existing {};
      if (!below.valid() &&
          ::fstatat(destination.get(), name, &existing, AT_SYMLINK_NOFOLLOW) == 0 &&
          !S_ISDIR(existing.st_mode)) {
        blocked = true;
        Refused(name, S_ISLNK(existing.st_mode) ? "a symbolic link stands where a folder goes"
                                                : "a file stands where a folder goes");
      }
    }
    if (below.valid()) plan_.leftovers += RemoveLeftovers(below.get(), /*countOnly=*/true);
    destinations_.push_back(std::move(below));
    paths_.push_back(paths_.back() + name + "/");
    blocked_.push_back(blocked);
  }
  void Left() override {
    destinations_.pop_back();
    paths_.pop_back();
    blocked_.pop_back();
  }

  void Met(int folder, const char* name) override {
    if (blocked_.back()) return;
    if (IsOwnFile(name)) {
      Refused(name, kFileOfThisRestore);
      return;
    }
    struct stat info {};
    if (::fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) return;
    const UniqueFd& destination = destinations_.back();
    struct stat existing {};
    const bool present = destination.valid() &&
                         ::fstatat(destination.get(), name, &existing, AT_SYMLINK_NOFOLLOW) == 0;
    if (present && S_ISDIR(existing.st_mode)) {
      Refused(name, S_ISLNK(info.st_mode) ? "a folder stands where a symbolic link goes"
                                          : "a folder stands where a file goes");
      return;
    }
    ++plan_.files;
    plan_.bytes += static_cast<uint64_t>(info.st_size);
    if (present) ++plan_.replacing;
  }

  bool IsOwnFile(const char* name) const {
    return ownFiles_.Contains(name, [this] { return paths_.back().substr(rootLength_); });
  }

  void Refused(const char* name, const char* reason) {
    KeepFirstByPath(refused_, {paths_.back() + name, reason});
    ++plan_.notCopiedCount;
  }

  CopyPlan& plan_;
  std::vector<UniqueFd> destinations_;  // from the destination folder down
  std::vector<std::string> paths_;      // the backup folders' paths, each ending in '/'
  std::vector<bool> blocked_;           // a file or link stands in the folder's place
  std::vector<CopyFailure> refused_;
  const OwnFiles ownFiles_;
  const size_t rootLength_;  // of the backup folder's path, ending in '/'
};

}  // namespace

CopyPlan PlanFolderCopy(const std::string& source, const std::string& destination,
                        const CopyOptions& options) {
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
    plan.leftovers = RemoveLeftovers(destinationRoot.get(), /*countOnly=*/true);
  }
  std::string sourceRoot = source.empty() ? "." : source;
  if (sourceRoot.back() != '/') sourceRoot += '/';
  Planner planner(destinationId, std::move(destinationRoot), plan, std::move(sourceRoot),
                  options.ownFiles);
  planner.Walk(std::move(root), IdOf(info));
  planner.NameRefused();
  return plan;
}

}  // namespace qelrestore::posix
