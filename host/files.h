// The file system as the restore uses it beyond reading its input files: tests of what exists,
// the run log, whole-file copies of the kept settings, and folder identities.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "host/input_files.h"
#include "host/text_stream.h"

namespace qelrestore {

// Which file-system object a folder is, whatever path names it: two paths name the same folder
// exactly when their identities are equal.
struct FolderIdentity {
  uint64_t volume = 0;  // the volume (Windows: its serial number; POSIX: the device)
  uint64_t file = 0;    // the folder on that volume (Windows: the file index; POSIX: the inode)
  bool operator==(const FolderIdentity&) const = default;
};

class Files : public InputFiles {
 public:
  // True when a file (not a folder) of that path exists. Never throws.
  virtual bool FileExists(const std::wstring& path) = 0;
  // True when a folder of that path exists. Never throws.
  virtual bool FolderExists(const std::wstring& path) = 0;
  // Opens the log for appending, creating it when missing.
  virtual std::unique_ptr<TextStream> OpenLog(const std::wstring& path) = 0;
  // Throws what OpenLog would throw for `path`, making and writing nothing, for a dry run to
  // predict the real one: an existing file or folder is opened as the log would be and closed; a
  // missing file's folder must let the run make it where the host can tell.
  virtual void ProbeLog(const std::wstring& path) = 0;
  // The two whole-file copies of the kept settings. Each copies one whole file to `destination`
  // as a new file put in place of that name: a link standing at `destination` is replaced, never
  // written through, and a read-only destination is replaced too; the copy does not carry the
  // read-only attribute. A missing source is error 53.
  //
  // The save of a file that may hold credentials: the copy is readable by the running user only,
  // where the host can say so.
  virtual void CopyFileOwnerOnly(const std::wstring& source, const std::wstring& destination) = 0;
  // The put-back of a copy that CopyFileOwnerOnly saved to where it came from: it gets the access
  // (permissions and, where the run may set it, owner and group) that the saved file had, so that
  // it is read as before, and never that of the file it replaces, which the backup supplied.
  virtual void CopyFileKeepingAccess(const std::wstring& source,
                                     const std::wstring& destination) = 0;
  // Removes a file when it is there; nothing when it is not. Throws when it is there and cannot
  // be removed.
  virtual void RemoveFile(const std::wstring& path) = 0;
  // The identity of the folder `path` names, the same for every spelling of it (letter case,
  // either separator, a trailing one, a short name, a second path through a link, junction or
  // mount); nothing when no folder can be opened there. Never throws.
  virtual std::optional<FolderIdentity> IdentifyFolder(const std::wstring& path) = 0;
  // A path as the host opens it, as text: the form the SQL client takes on its command line (it
  // takes its arguments literally where it reads no Windows paths) and a reader of the system's
  // messages knows. The logic's own text on Windows, every "\" a "/" on POSIX. Never throws.
  virtual std::wstring PathAsOpened(const std::wstring& path) = 0;
  // The full path the host opens for `path`, made once so that the folder a run checks is the
  // folder it copies onto, reads from and names to the SQL server: a relative path joined to the
  // current folder; on Windows the system's own reading of it (each "/" a "\", the blanks and
  // dots that end its last name dropped). A path the host cannot make full comes back as it
  // stands. Never throws.
  virtual std::wstring FullPath(const std::wstring& path) = 0;
};

}  // namespace qelrestore
