// The scripted host's folder copy and its dry-run count, over the files' maps: by default every
// file and folder below the source lands below the destination and the copy is complete; a test
// may script another copy.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host/folder_copy.h"
#include "tests/unit/fake_calls.h"
#include "tests/unit/fake_files.h"

namespace qelrestore::test {

// One call of CopyFolderContents, as the logic made it.
struct FolderCopyCall {
  std::wstring source;
  std::wstring destination;
  std::vector<std::wstring> ownFiles;
};

class FakeFolderCopier {
 public:
  FakeFolderCopier(FakeCalls& counter, FakeFiles& files);

  // --- Script ---
  // The folder copy (source, destination); the default copies the files below the source folder
  // into the destination and reports it complete.
  std::function<FolderCopy(const std::wstring&, const std::wstring&)> folderCopy;

  // --- Observation ---
  std::vector<FolderCopyCall> folderCopies;
  std::vector<std::wstring> planOwnFiles;  // the restore's own files the last plan was told of

  // --- FolderCopier ---
  FolderCopy CopyFolderContents(const std::wstring& source, const std::wstring& destination,
                                const std::vector<std::wstring>& ownFiles);
  CopyPlan PlanFolderCopy(const std::wstring& source, const std::wstring& destination,
                          const std::vector<std::wstring>& ownFiles);

 private:
  FakeCalls& counter_;
  FakeFiles& files_;
};

}  // namespace qelrestore::test
