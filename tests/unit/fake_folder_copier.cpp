#include "tests/unit/fake_folder_copier.h"

#include <map>
#include <set>

namespace qelrestore::test {

FakeFolderCopier::FakeFolderCopier(FakeCalls& counter, FakeFiles& files)
    : counter_(counter), files_(files) {
  folderCopy = [this](const std::wstring& source, const std::wstring& destination) {
    const std::wstring from = WithoutTrailingBackslashes(source) + L"\\";
    const std::wstring to = WithoutTrailingBackslashes(destination) + L"\\";
    std::map<std::wstring, std::string> copies;
    for (const auto& [path, bytes] : files_.files) {
      if (path.rfind(from, 0) == 0) copies[to + path.substr(from.size())] = bytes;
    }
    std::set<std::wstring> copiedFolders;
    for (const std::wstring& folder : files_.folders) {
      if (folder.rfind(from, 0) == 0) copiedFolders.insert(to + folder.substr(from.size()));
    }
    for (auto& [path, bytes] : copies) files_.files[path] = bytes;
    files_.folders.insert(copiedFolders.begin(), copiedFolders.end());
    FolderCopy copy;
    copy.outcome = CopyOutcome::kComplete;
    return copy;
  };
}

FolderCopy FakeFolderCopier::CopyFolderContents(const std::wstring& source,
                                                const std::wstring& destination,
                                                const std::vector<std::wstring>& ownFiles) {
  const std::optional<Fault> fault =
      counter_.Enter("CopyFolderContents", source + L" -> " + destination);
  if (fault == Fault::kThrow) counter_.ThrowInjected();
  folderCopies.push_back({source, destination, ownFiles});
  FolderCopy copy;
  if (fault == Fault::kFail) {  // nothing copied, and only the outcome says so
    copy.notCopied.push_back({source, L"injected fault"});
    copy.notCopiedCount = 1;
    return copy;
  }
  std::map<std::wstring, std::string>& files = files_.files;
  const std::map<std::wstring, std::string> before = files;
  copy = folderCopy(source, destination);
  std::vector<std::wstring> changed;
  for (const auto& [path, bytes] : files) {
    const auto old = before.find(path);
    if (old == before.end() || old->second != bytes) changed.push_back(path);
  }
  files_.writtenPaths.insert(changed.begin(), changed.end());
  if (fault == Fault::kHalfWay) {
    // A copy cut short: every other file it wrote, the last one first, is put back as it was.
    copy.outcome = CopyOutcome::kIncomplete;
    for (size_t back = 0; back < changed.size(); back += 2) {
      const std::wstring& path = changed[changed.size() - 1 - back];
      const auto old = before.find(path);
      if (old == before.end()) {
        files.erase(path);
      } else {
        files[path] = old->second;
      }
      copy.notCopied.push_back({path, L"injected fault"});
      ++copy.notCopiedCount;
    }
  }
  return copy;
}

CopyPlan FakeFolderCopier::PlanFolderCopy(const std::wstring& source,
                                          const std::wstring& destination,
                                          const std::vector<std::wstring>& ownFiles) {
  planOwnFiles = ownFiles;
  counter_.EnterOrThrow("PlanFolderCopy", source + L" -> " + destination);
  CopyPlan plan;
  const std::wstring below = source + L"\\";
  for (const auto& [path, bytes] : files_.files) {
    if (path.rfind(below, 0) != 0) continue;
    ++plan.files;
    plan.bytes += bytes.size();
    const std::wstring target =
        WithoutTrailingBackslashes(destination) + L"\\" + path.substr(below.size());
    if (files_.files.count(target) != 0) ++plan.replacing;
  }
  return plan;
}

}  // namespace qelrestore::test
