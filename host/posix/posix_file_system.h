// Files on POSIX: the file-system object with its text streams, sequential input, whole-file copy,
// and the pieces the folder-copy engine shares with them (an owned descriptor, the byte mover).
// Paths given to these functions are native (already turned into UTF-8 with `/` separators).
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "host/host.h"

namespace qelrestore::posix {

// Owns one file descriptor; closes it when destroyed.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int release();
  // Closes the descriptor held (if any); returns the errno of a failed close, else 0.
  int reset();

 private:
  int fd_ = -1;
};

// Moves the bytes of one open file into another, using the kernel's fast paths where the file
// systems allow: a reflink clone first, then copy_file_range, and a read/write loop when both are
// refused. A refusal is remembered, so a large copy asks the kernel once, not once per file.
class ByteCopier {
 public:
  // Copies the content of `in` (at offset 0) into `out` (at offset 0), writing over what `out`
  // holds; what it holds beyond copied() is left for the caller to cut. `size` is the size of `in`
  // when it was opened: the file as it was then is copied, as far as the fast paths go. Returns 0,
  // or the errno of the failure with `failedCall` naming the call.
  int Copy(int in, int out, off_t size, const char*& failedCall);
  // The length of the content the last successful Copy gave `out`.
  off_t copied() const { return copied_; }

 private:
  int ReadWrite(int in, int out, const char*& failedCall);

  off_t copied_ = 0;
  bool cloneRefused_ = false;
  bool rangeRefused_ = false;
  std::vector<char> buffer_;  // the read/write loop's buffer, allocated on first use
};

// The file-system object: existence tests and the log's text streams. Failures throw Error via
// ErrnoError; an ioMode other than 8 (appending) is error 5.
class PosixFileSystem final : public FileSystem {
 public:
  bool FileExists(const std::wstring& path) override;
  bool FolderExists(const std::wstring& path) override;
  std::unique_ptr<TextStream> CreateTextFile(const std::wstring& path, bool overwrite) override;
  std::unique_ptr<TextStream> OpenTextFile(const std::wstring& path, int ioMode,
                                           int create) override;
};

// Opens `nativePath` for sequential reading. A missing file is error 53 (76 when its folder is
// missing too); a folder is error 75.
std::unique_ptr<ByteSource> OpenInputFile(const std::string& nativePath);

// Replaces the content and permission bits of `destination` with those of `source`. A missing
// source is error 53, a missing destination folder 76; a destination that is the source itself
// is refused with error 70 before anything is written.
void CopyWholeFile(const std::string& source, const std::string& destination);

}  // namespace qelrestore::posix
