#include "host/windows/windows_walk.h"

#include <unordered_map>
#include <utility>

namespace qelrestore::windows {

namespace {

// A name as the file system compares it: without regard to letter case.
std::wstring Folded(std::wstring name) {
  if (!name.empty()) ::CharUpperBuffW(name.data(), static_cast<DWORD>(name.size()));
  return name;
}

// True when `text` and `other` are one name to the file system.
bool SameName(std::wstring_view text, std::wstring_view other) {
  return ::CompareStringOrdinal(text.data(), static_cast<int>(text.size()), other.data(),
                                static_cast<int>(other.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

std::wstring Joined(const std::wstring& folder, const std::wstring& name) {
  if (name.empty()) return folder;
  if (folder.empty() || folder.back() == L'\\' || folder.back() == L'/') return folder + name;
  return folder + L'\\' + name;
}

std::wstring Extended(std::wstring path) {
  if (path.rfind(L"\\\\?\\", 0) == 0) return path;
  // "D:" alone is the current folder of drive D; the backup folder "D:" is the drive's root.
  if (path.size() == 2 && path[1] == L':') path += L'\\';
  const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::wstring full(needed, L'\0');
  const DWORD got = ::GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
  if (got == 0 || got >= needed) return path;
  full.resize(got);
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

bool IsWalkedFolder(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

uint64_t SizeOf(DWORD high, DWORD low) {
  return (static_cast<uint64_t>(high) << 32) | low;
}

uint64_t TicksOf(const FILETIME& time) {
  return SizeOf(time.dwHighDateTime, time.dwLowDateTime);
}

// A stack rather than recursion keeps a deep tree off the call stack.
void Walk(const std::wstring& source, const Visit& visit) {
  const std::wstring root = Extended(source);
  std::vector<std::wstring> folders{L""};
  std::vector<WIN32_FIND_DATAW> entries;
  std::unordered_map<std::wstring, unsigned> names;
  while (!folders.empty()) {
    const std::wstring relative = std::move(folders.back());
    folders.pop_back();
    WIN32_FIND_DATAW found{};
    const HANDLE search =
        ::FindFirstFileExW(Joined(Joined(root, relative), L"*").c_str(), FindExInfoBasic, &found,
                           FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) {
      visit(relative, nullptr, false);
      continue;
    }
    entries.clear();
    names.clear();
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      entries.push_back(found);
      ++names[Folded(name)];
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    for (const WIN32_FIND_DATAW& entry : entries) {
      const std::wstring path = Joined(relative, entry.cFileName);
      const bool twin = names[Folded(entry.cFileName)] > 1;
      if (visit(path, &entry, twin) && !twin && IsWalkedFolder(entry.dwFileAttributes)) {
        folders.push_back(path);
      }
    }
  }
}

bool IsOwnFile(const std::vector<std::wstring>& ownFiles, std::wstring_view relative, bool below) {
  for (std::wstring_view own : ownFiles) {
    if (below) {
      if (own.size() > relative.size() && own[relative.size()] == L'\\' &&
          SameName(own.substr(0, relative.size()), relative)) {
        return true;
      }
      continue;
    }
    if (!own.ends_with(L'*')) {
      if (SameName(own, relative)) return true;
      continue;
    }
    own.remove_suffix(1);
    if (relative.size() >= own.size() && SameName(relative.substr(0, own.size()), own) &&
        relative.find(L'\\', own.size()) == std::wstring_view::npos) {
      return true;
    }
  }
  return false;
}

}  // namespace qelrestore::windows
