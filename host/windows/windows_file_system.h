// Files on Windows: existence tests, the run log's and standard output's streams, sequential
// input, whole-file copy and removal, folder identity. Every file is
// opened with CreateFileW and owned by its object.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "host/host.h"

namespace qelrestore::windows {

// True when a file (not a folder) / a folder of that path exists. Never throw.
bool IsFile(const std::wstring& path);
bool IsFolder(const std::wstring& path);

// Opens the log for appending (OPEN_ALWAYS: created when missing); failures are mapped from the
// system's error.
std::unique_ptr<TextStream> OpenLogFile(const std::wstring& path);
// Throws what OpenLogFile would for an existing file or folder, which it opens as the log would
// be and closes, making and writing nothing. A missing file is no failure here: whether its folder
// lets the run make it is not told without making it.
void ProbeLogFile(const std::wstring& path);

// Lines on the process's standard output, in the log's own encoding and line ends. Closing the
// stream leaves standard output open.
std::unique_ptr<TextStream> OpenStandardOutputStream();

// Opens a regular disk file for reading. A missing file is error 53; a folder, a device (CON,
// NUL, COM1) or a pipe is error 75 naming the path, refused before anything is read from it.
std::unique_ptr<Reader> OpenInputFile(const std::wstring& path);

// Copies `source` to a new file beside `destination` and moves it over that name (a link there is
// replaced, not written through; a read-only one too); the copy is never read-only. A missing
// source is error 53 (also when its folder is missing), other failures are mapped from the
// system's error.
void CopyWholeFile(const std::wstring& source, const std::wstring& destination);

// The path as GetFullPathNameW reads it: relative paths joined to the current folder, "/" made
// "\", "." and ".." resolved, the blanks and dots that end the last name dropped, as every file
// call of the system reads it. The path as it stands when the system cannot. Never throws.
std::wstring FullPathOf(const std::wstring& path);

// The volume serial number and file index of the folder the path names, links and junctions
// followed; nothing when no folder can be opened there. Never throws.
std::optional<FolderIdentity> IdentityOfFolder(const std::wstring& path);

// Deletes the file; a file that is not there (nor its folder) is no failure.
void DeleteFileIfThere(const std::wstring& path);

}  // namespace qelrestore::windows
