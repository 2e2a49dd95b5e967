#include "tests/unit/fake_files.h"

#include <algorithm>

#include "support/utf8_text.h"
#include "tests/toolkit/log_lines.h"
#include "tests/unit/fake_streams.h"

namespace qelrestore::test {

std::wstring WithoutTrailingBackslashes(std::wstring path) {
  while (!path.empty() && path.back() == L'\\') path.pop_back();
  return path;
}

namespace {

// A path as the fake's folder identity sees it: lower case, backslashes, no trailing one.
std::wstring IdentityText(std::wstring path) {
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return WithoutTrailingBackslashes(path);
}

}  // namespace

std::vector<std::wstring> FakeFiles::Lines(const std::wstring& path) const {
  std::vector<std::wstring> lines;
  const auto found = files.find(path);
  if (found == files.end()) return lines;
  const std::string& text = found->second;
  size_t begin = 0;
  for (size_t end; (end = text.find("\r\n", begin)) != std::string::npos; begin = end + 2) {
    lines.push_back(Wide(std::string_view(text).substr(begin, end - begin)));
  }
  if (begin < text.size()) lines.push_back(Wide(std::string_view(text).substr(begin)));
  return lines;
}

std::vector<std::wstring> FakeFiles::LogMessages(const std::wstring& path) const {
  std::vector<std::wstring> messages;
  for (const std::wstring& line : Lines(path)) messages.push_back(LogMessage(line));
  return messages;
}

void FakeFiles::AddFile(const std::wstring& path, const std::string& content) {
  files[path] = content;
}

bool FakeFiles::ParentFolderExists(const std::wstring& path) const {
  const size_t cut = path.rfind(L'\\');
  return cut == std::wstring::npos || folders.count(path.substr(0, cut)) != 0;
}

std::unique_ptr<Reader> FakeFiles::OpenForInput(const std::wstring& path) {
  counter_.EnterOrThrow("OpenForInput", path);
  if (folders.count(path) != 0) throw Error(code::kPathFileAccess);
  if (path == growingFile) return std::make_unique<FakeReader>(counter_, *this, files[path], true);
  const auto found = files.find(path);
  if (found == files.end()) throw Error(code::kFileNotFound);
  return std::make_unique<FakeReader>(counter_, *this, found->second);
}

// Recorded as OpenForInput calls: the fake has no links to refuse.
std::unique_ptr<Reader> FakeFiles::OpenSuppliedFile(const std::wstring& path) {
  return OpenForInput(path);
}

std::unique_ptr<Reader> FakeFiles::OpenSuppliedSettings(const std::wstring& path) {
  return OpenForInput(path);
}

std::wstring FakeFiles::DecodeText(std::string_view bytes) {
  if (counter_.Enter("DecodeText") == Fault::kThrow) counter_.ThrowInjected();
  return Wide(bytes);
}

std::wstring FakeFiles::DecodeConsoleText(std::string_view bytes) {
  if (counter_.Enter("DecodeConsoleText") == Fault::kThrow) counter_.ThrowInjected();
  return DecodeUtf8Escaping(bytes);
}

bool FakeFiles::FileExists(const std::wstring& path) {
  const std::optional<Fault> fault = counter_.Enter("FileExists", path);
  if (fault == Fault::kThrow) counter_.ThrowInjected();
  return !fault && files.count(path) != 0;
}

bool FakeFiles::FolderExists(const std::wstring& path) {
  const std::optional<Fault> fault = counter_.Enter("FolderExists", path);
  if (fault == Fault::kThrow) counter_.ThrowInjected();
  return !fault && !path.empty() && folders.count(WithoutTrailingBackslashes(path)) != 0;
}

std::unique_ptr<TextStream> FakeFiles::OpenLog(const std::wstring& path) {
  counter_.EnterOrThrow("OpenLog", path);
  if (folders.count(path) != 0) throw Error(code::kPathFileAccess);
  if (files.count(path) == 0) {
    if (!ParentFolderExists(path)) throw Error(code::kPathNotFound);
    files[path];
    writtenPaths.insert(path);
  }
  return std::make_unique<FakeLogStream>(counter_, *this, path);
}

void FakeFiles::ProbeLog(const std::wstring& path) {
  counter_.EnterOrThrow("ProbeLog", path);
  if (folders.count(path) != 0) throw Error(code::kPathFileAccess);
}

void FakeFiles::CopyWholeFile(const std::string& call, const std::wstring& source,
                              const std::wstring& destination) {
  const std::optional<Fault> fault = counter_.Enter(call, source + L" -> " + destination);
  if (fault && fault != Fault::kHalfWay) counter_.ThrowInjected();
  const auto found = files.find(source);
  if (found == files.end()) throw Error(code::kFileNotFound);
  if (!ParentFolderExists(destination) || destination.empty()) throw Error(code::kPathNotFound);
  writtenPaths.insert(destination);
  if (fault == Fault::kHalfWay) {
    files[destination] = found->second.substr(0, found->second.size() / 2);
    counter_.ThrowInjected();
  }
  files[destination] = found->second;
  if (ownerOnlyPaths.count(source) != 0) {
    ownerOnlyPaths.insert(destination);
  } else {
    ownerOnlyPaths.erase(destination);
  }
}

// The save and the put-back fail alike; only the access of the copy differs.
void FakeFiles::CopyFileOwnerOnly(const std::wstring& source, const std::wstring& destination) {
  CopyWholeFile("CopyFileOwnerOnly", source, destination);
  ownerOnlyPaths.insert(destination);
}

void FakeFiles::CopyFileKeepingAccess(const std::wstring& source, const std::wstring& destination) {
  const bool existed = files.count(destination) != 0;
  const bool wasOwnerOnly = ownerOnlyPaths.count(destination) != 0;
  CopyWholeFile("CopyFileKeepingAccess", source, destination);
  if (existed && !wasOwnerOnly) ownerOnlyPaths.erase(destination);
}

void FakeFiles::RemoveFile(const std::wstring& path) {
  counter_.EnterOrThrow("RemoveFile", path);
  if (folders.count(path) != 0) throw Error(code::kPathFileAccess);
  if (files.erase(path) != 0) writtenPaths.insert(path);
}

std::optional<FolderIdentity> FakeFiles::IdentifyFolder(const std::wstring& path) {
  const std::optional<Fault> fault = counter_.Enter("IdentifyFolder", path);
  if (fault == Fault::kThrow) counter_.ThrowInjected();
  if (fault) return std::nullopt;
  std::wstring wanted = IdentityText(path);
  for (const auto& [link, target] : folderLinks) {
    if (IdentityText(link) == wanted) wanted = IdentityText(target);
  }
  uint64_t index = 1;
  for (const std::wstring& folder : folders) {
    if (IdentityText(folder) == wanted) return FolderIdentity{7, index};
    ++index;
  }
  return std::nullopt;
}

std::wstring FakeFiles::PathAsOpened(const std::wstring& path) {
  counter_.Enter("PathAsOpened", path);
  std::wstring mapped = path;
  if (opensSlashPaths) std::replace(mapped.begin(), mapped.end(), L'\\', L'/');
  return mapped;
}

// As Windows reads a path: a relative one below currentFolder, the blanks and dots that end the
// last name dropped.
std::wstring FakeFiles::FullPath(const std::wstring& path) {
  if (counter_.Enter("FullPath", path)) return path;
  const bool full = path.starts_with(L"\\\\") ||
                    (path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/'));
  std::wstring result = full || path.empty() ? path : currentFolder + L"\\" + path;
  const size_t name = result.find_last_of(L"\\/") + 1;
  while (result.size() > name && (result.back() == L' ' || result.back() == L'.'))
    result.pop_back();
  return result;
}

}  // namespace qelrestore::test
