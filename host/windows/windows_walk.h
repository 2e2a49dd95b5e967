// The walk of a folder tree that the shell's copy, its plan and the undo set share, and the path
// forms they meet it in.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "host/windows/windows_api.h"

namespace qelrestore::windows {

// `folder` and `name` joined by one backslash (a drive's root already ends in one).
std::wstring Joined(const std::wstring& folder, const std::wstring& name);

// The path in its extended form (\\?\C:\... or \\?\UNC\server\...), which reaches entries whose
// path is longer than MAX_PATH, the very ones the shell may have left out. The path as given when
// it cannot be made absolute.
std::wstring Extended(std::wstring path);

// A folder whose entries are walked; a reparse point (a link or junction) is not walked.
bool IsWalkedFolder(DWORD attributes);

uint64_t SizeOf(DWORD high, DWORD low);
uint64_t TicksOf(const FILETIME& time);

// Calls `visit(relative path, found data, twin)` for every entry below `source`, folders before
// what they hold; `twin` tells an entry whose name another entry of its folder has in another
// letter case (a case-sensitive folder holds both; the installation can hold one). A folder for
// which `visit` returns false is not walked. A folder that cannot be listed is visited with no
// found data.
using Visit = std::function<bool(const std::wstring&, const WIN32_FIND_DATAW*, bool)>;
void Walk(const std::wstring& source, const Visit& visit);

// Whether `relative` is one of `ownFiles` (a last name ending in "*" stands for every name that
// begins so), or, with `below`, lies on the way to one.
bool IsOwnFile(const std::vector<std::wstring>& ownFiles, std::wstring_view relative,
               bool below = false);

}  // namespace qelrestore::windows
