// The folder copy's walk: one object per copy, holding the open folders' state, the report and
// the buffers reused from entry to entry. copy_engine.cpp walks the folders; copy_entries.cpp
// copies files, links and special files into them.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/posix/copy_engine.h"
#include "host/posix/copy_file_data.h"
#include "host/posix/copy_metadata.h"
#include "host/posix/copy_node.h"

namespace qelrestore::posix {

class CopyWalker {
 public:
  explicit CopyWalker(const CopyProgress& progress) : progress_(progress) {}
  CopyReport Run(const std::string& sourceFolder, const std::string& destinationFolder);

 private:
  // A destination folder being filled.
  struct Target {
    int fd;
    bool defaultAcl;  // its new entries inherit an ACL, which those of the backup may not have
  };
  // The copy of a backup file with several names, made for its first name; its later names
  // become links to it. Known by the file system's handle of it: a few bytes, whatever the
  // length and depth of its path, so that memory stays bounded per file.
  static constexpr size_t kHandleBytes = 20;  // ext4, xfs, tmpfs and btrfs handles fit
  struct FirstName {
    uint32_t namesLeft;
    int32_t handleType;
    uint8_t handleLength;
    unsigned char handle[kHandleBytes];
  };
  // Where the run cannot open files by handle (it lacks the privilege, or the file system gives
  // no handle): the first name's path below the destination folder, and its copy's identity.
  struct FirstPath {
    std::string path;
    NodeId copy;
    nlink_t namesLeft;
  };

  // copy_engine.cpp: the walk.
  UniqueFd OpenDestinationRoot(const std::string& destination, struct stat& info);
  struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
  };
  std::unique_ptr<DIR, DirCloser> OpenEntries(UniqueFd fd);
  void CopyContents(DIR* dir, const Target& to);
  void CopyEntry(int from, const char* name, unsigned char type, const Target& to);
  void CopyFolder(int from, const char* name, const Target& to);
  bool OnSourcePath(const struct stat& info) const;
  // Notes the identity of every folder below `folder` (taken over), `depth` levels below the
  // backup folder, as far down as the copy goes.
  void CollectBackupFolders(UniqueFd folder, size_t depth);
  bool IsBackupFolder(const struct stat& info) const;

  // copy_entries.cpp: what a folder holds.
  void CopyRegularFile(int from, const char* name, const Target& to);
  bool BringInLine(int in, const struct stat& info, const struct stat& existing, const char* name,
                   const Target& to);
  bool WriteReplacement(int in, const struct stat& info, const char* name, const Target& to,
                        NodeId& made);
  bool LinkToFirstName(const struct stat& info, const char* name, const Target& to,
                       const struct stat* existing);
  void RememberFirstName(const struct stat& info, const char* name, const Target& to, NodeId made);
  UniqueFd OpenByHandle(const FirstName& first) const;
  void CopyLink(int from, const char* name, const struct stat& info, const Target& to);
  void CopySpecial(int from, const char* name, const struct stat& info, const Target& to);
  bool CheckDestination(const Target& to, const char* name, const struct stat& source,
                        std::string_view folderThere, struct stat& existing, bool& exists);
  template <typename Make>
  int MakeTemporary(Make make);
  // A new name (in temporary_) for the node `nodePath` leads to; 0 or the errno of the failure.
  int LinkTemporary(const char* nodePath, const Target& to);
  bool Replace(const Target& to, const char* name);
  // Replace, then checks that the destination name leads to the node `made`.
  bool Publish(const Target& to, const char* name, NodeId made);
  bool Discard(const Target& to, int error, std::string_view name);

  // Each reports the entry and returns false, so that a failing step can end with `return Fail`.
  bool Fail(std::string_view reason, std::string_view name);
  bool FailErrno(int error, std::string_view name);

  CopyReport report_;
  const CopyProgress& progress_;
  CopyCounts done_;
  std::string sourceRoot_;  // for messages, ending in '/'
  std::string relative_;    // folder being walked, below both named folders, ending in '/'
  NodeId backupRoot_;
  NodeId destinationRoot_;  // never descended into as a source folder
  UniqueFd destinationFd_;
  std::vector<NodeId> sourcePath_;     // source folders from the root down to the one being walked
  std::vector<NodeId> backupFolders_;  // every folder of the backup, sorted, known before writing
  std::unordered_map<NodeId, FirstName, NodeIdHash> firstNames_;
  std::unordered_map<NodeId, FirstPath, NodeIdHash> firstPaths_;
  bool handlesChecked_ = false;  // a handle was opened once, so that the run may
  bool handlesRefused_ = false;
  FileDataCopier data_;
  MetadataCopier metadata_;
  std::vector<char> linkTarget_;
  std::vector<char> existingTarget_;
  char temporary_[32] = {};  // the name of the node being made, until it replaces its destination
  uint64_t nameState_ = 0;
};

}  // namespace qelrestore::posix
