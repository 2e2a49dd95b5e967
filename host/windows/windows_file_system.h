// Files on Windows: existence tests, the run log's and standard output's streams, sequential
// input, whole-file copy and removal, and the shell's folder copy and its plan. Every file is
// opened with CreateFileW and owned by its object.
#pragma once

#include <memory>
#include <string>

#include "host/host.h"

namespace qelrestore::windows {

// True when a file (not a folder) / a folder of that path exists. Never throw.
bool IsFile(const std::wstring& path);
bool IsFolder(const std::wstring& path);

// Opens the log for appending (OPEN_ALWAYS: created when missing); failures are mapped from the
// system's error.
std::unique_ptr<TextStream> OpenLogFile(const std::wstring& path);

// Lines on the process's standard output, in the log's own encoding and line ends. Closing the
// stream leaves standard output open.
std::unique_ptr<TextStream> OpenStandardOutputStream();

// Opens a regular disk file for reading. A missing file is error 53; a folder, a device (CON,
// NUL, COM1) or a pipe is error 75 naming the path, refused before anything is read from it.
std::unique_ptr<Reader> OpenInputFile(const std::wstring& path);

// Copies `source` over `destination`; a missing source is error 53 (also when its folder is
// missing), other failures are mapped from the system's error.
void CopyWholeFile(const std::wstring& source, const std::wstring& destination);

// Deletes the file; a file that is not there (nor its folder) is no failure.
void DeleteFileIfThere(const std::wstring& path);

// The shell's copy of every entry of `source` into `destination`. `unattended`: the shell shows
// neither progress nor error windows.
FolderCopy ShellCopyFolderContents(const std::wstring& source, const std::wstring& destination,
                                   bool unattended);

// What ShellCopyFolderContents would copy: the files (and links) under `source`, their bytes, and
// how many of them have an entry of the same path under `destination`. Changes nothing.
CopyPlan PlanShellFolderCopy(const std::wstring& source, const std::wstring& destination);

}  // namespace qelrestore::windows
